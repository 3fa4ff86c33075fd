// MPEG audio frame headers and the info frame an encoder may put first in
// an MP3 file (a "Xing" or "Info" header with frame count, byte count and a
// seek table, often followed by a LAME tag with the encoder's delay and
// padding). Pure functions over bytes; every read is bounds-checked.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pipd {

// The decoder's own delay in samples: what libmad's output lags the
// encoder's input by, beyond the encoder delay.
inline constexpr uint32_t MP3_DECODER_DELAY = 529;

struct mp3_header {
    uint32_t rate;    // Hz
    uint32_t length;  // bytes of the whole frame, header included
    uint32_t samples; // per channel: 384, 576 or 1152
    uint8_t mpeg1;    // 1: MPEG-1; 0: MPEG-2 or 2.5
    uint8_t mono;     // 1: single channel
    uint8_t crc;      // 1: a 16-bit CRC follows the header
};

// Parses the 4 bytes at p as a frame header; false for anything that is
// not one with a known length (free format included).
bool mp3_parse_header(const uint8_t *p, std::size_t n, mp3_header *h);

struct mp3_info {
    uint8_t has_frames, has_bytes, has_toc, has_lame;
    uint32_t frames;    // audio frames, the info frame not counted
    uint32_t bytes;     // of the stream as the encoder wrote it
    uint8_t toc[100];   // toc[i]: byte position of i% of the time, in 256ths
    uint32_t delay;     // encoder delay, samples
    uint32_t padding;   // samples added at the end
    uint32_t frame_len; // bytes of the info frame
    uint32_t frame_samples;
    uint32_t rate;
};

// Reads the frame starting at p (n bytes available). True when it is an
// info frame, with *info filled; a flag is set only for a field that is
// wholly inside the frame and the bytes given.
bool mp3_parse_info(const uint8_t *p, std::size_t n, mp3_info *info);

// True when the table never goes down (a table that does is not used).
bool mp3_toc_usable(const mp3_info &info);

// Byte offset into a stream of `bytes` bytes for the time `ms` of a stream
// of `total_ms`, interpolated within the table; and back: the time of a
// byte offset. The table must be usable and total_ms non-zero.
uint64_t mp3_toc_offset(const mp3_info &info, uint64_t bytes, uint64_t ms, uint64_t total_ms);
uint64_t mp3_toc_time(const mp3_info &info, uint64_t bytes, uint64_t offset, uint64_t total_ms);

// Size of an ID3v2 tag at p (header, body and footer), 0 when none.
uint32_t mp3_id3v2_size(const uint8_t *p, std::size_t n);

} // namespace pipd
