// PCM output pipe: fixed 4112-byte packets with magic and rate code.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pipd {

inline constexpr uint32_t OUTPUT_MAGIC = 0xABAABAAA;
inline constexpr int PACKET_WORDS = 1028; // 4 header words, 1024 samples
inline constexpr int PACKET_HEADER_WORDS = 4;
inline constexpr std::size_t PACKET_BYTES = PACKET_WORDS * 4;
inline constexpr int MAX_INSERT_FRAMES = 8192;

// Rate code of the packet header; -1 for a rate without a code.
int32_t rate_code(int32_t rate);
// Sample rate of a rate code; 0 for a code without a rate.
int32_t rate_of_code(int32_t code);

extern int32_t tcpbuffer[PACKET_WORDS];
extern int tcpbuffptr;
extern int sockfd;
extern int32_t dsdout;

int init_outfifo();
[[noreturn]] void error(const char *message);
void initbuf_fifo(int32_t rate);
int write_outfifo(int n, const int32_t *words);
int flash_outfifo();

// Sets the output up for a stream at this rate. One bit per sample at
// 2822400 Hz is DSD64, which goes out at 176400 Hz, halved; anything else
// is PCM. What is still pending of the stream before goes out first, at its
// own rate, as at the end of a track. Returns the table rate the packets
// carry; 0 when no table rate can carry the stream at its true speed: that
// is said, naming the rate, and the stream's samples are dropped until the
// track ends (output_refused).
int32_t output_start_stream(int32_t rate, bool one_bit);
// True from a refused rate until the end of the track (flash_outfifo).
bool output_refused();

// Where whole packets go instead of the pipe (a tool's output file); the
// hook receives each packet as it would be written, with the number of words
// (header included) that hold this packet's samples: PACKET_WORDS but for a
// flushed packet. nullptr restores the pipe.
using packet_sink = void (*)(const int32_t *packet, std::size_t bytes, int valid_words);
void outfifo_set_sink(packet_sink sink);

// Back to the state before the first rate report (tests).
void outfifo_reset();

} // namespace pipd
