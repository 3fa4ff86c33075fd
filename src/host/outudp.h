// PCM output pipe: fixed 4112-byte packets with magic and rate code.
#pragma once

#include <cstddef>
#include <cstdint>

#include "protocol/packets.h"

namespace pipd {

inline constexpr int MAX_INSERT_FRAMES = 8192; // frames one ci_pcmbuf_insert takes

extern int32_t tcpbuffer[PACKET_WORDS];
extern int tcpbuffptr;
extern int sockfd;
extern int32_t dsdout;

int init_outfifo();
[[noreturn]] void error(const char *message);
void initbuf_fifo(int32_t rate);
int write_outfifo(int n, const int32_t *words);
int flash_outfifo();

// Sets the output up for a stream at this rate (or goes on with a held one
// of the same rate, see output_end_track). One bit per sample at
// 2822400 Hz is DSD64, which goes out at 176400 Hz, halved; anything else
// is PCM. What is still pending of the stream before goes out first, at its
// own rate, as at the end of a track. Returns the table rate the packets
// carry; 0 when no table rate can carry the stream at its true speed: that
// is said, naming the rate, and the stream's samples are dropped until the
// track ends (output_refused).
int32_t output_start_stream(int32_t rate, bool one_bit);
// The end of a track. By itself (at its natural end, with audio), the
// stream is held open: a next track at the same rate goes on filling the
// same packet, and the resampler keeps its state (gapless playback). Any
// other end sends what is pending, as flash_outfifo.
void output_end_track(bool by_itself);
// True while a track's stream is held open for a next one of this rate.
bool output_holds_stream(int32_t rate, bool one_bit);
// True from a refused rate until the end of the track (flash_outfifo).
bool output_refused();
// Frames ci_pcmbuf_insert has taken since the process started (a track's
// share is the difference over the track).
uint64_t output_frames_accepted();

// Where whole packets go instead of the pipe (a tool's output file); the
// hook receives each packet as it would be written, with the number of words
// (header included) that hold this packet's samples: PACKET_WORDS but for a
// flushed packet. nullptr restores the pipe.
using packet_sink = void (*)(const int32_t *packet, std::size_t bytes, int valid_words);
void outfifo_set_sink(packet_sink sink);
// Called by every ci_pcmbuf_insert before its samples go out: the player
// publishes its status there. nullptr for none.
void outfifo_set_status_hook(void (*hook)());

// Back to the state before the first rate report (tests).
void outfifo_reset();

} // namespace pipd
