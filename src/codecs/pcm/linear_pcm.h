// Linear PCM: raw integer samples (1 to 32 bits, either byte order, signed
// or unsigned) to signed 32-bit values at 24-bit scale. Also the two types
// the WAV codec shares with its decoders.
#pragma once

#include <cstdint>

namespace pipd {

// The WAVE format record: filled by the WAV codec from the "fmt " and
// "data" chunks, completed by the decoder's set_format.
struct wave_format {
    uint32_t formattag; // 1 = PCM (for the extensible format, the sub-format's tag)
    uint16_t channels;
    uint32_t samplerate;
    uint16_t blockalign;      // bytes per block (one frame for PCM)
    uint16_t bitspersample;   // valid bits for the extensible format
    uint16_t extsize;         // size of the fmt extension
    uint16_t samplesperblock; // frames per block (set_format)
    uint32_t bytespersample;  // bitspersample / 8 (set_format)
    uint32_t chunksize;       // bytes per decoding step (set_format, may be lowered)
    uint32_t databytes;       // size of the data chunk's payload
    uint8_t little_endian;    // 1: least significant byte first
    uint8_t signed_samples;   // 1: two's complement; 0: unsigned, zero at half range
};

// A block-aligned position in the data payload.
struct pcm_pos {
    uint32_t pos;     // byte offset from the start of the payload
    uint32_t samples; // frames before that offset
};

// A decoder's operations, in this order.
struct pcm_codec_ops {
    // Remembers and validates the record; fills bytespersample,
    // samplesperblock, chunksize (and blockalign when it is 0). False, with a
    // message, for a format the decoder cannot handle.
    bool (*set_format)(wave_format *format);
    // The block-aligned position of a time in milliseconds (a static record,
    // overwritten by every call).
    const pcm_pos *(*get_seek_pos)(uint32_t time_ms);
    // Converts n bytes into interleaved values at dst; *count is the number of
    // frames (two channels) or samples (one channel). Returns 0.
    int (*decode)(const uint8_t *src, uint32_t n, int32_t *dst, uint32_t *count);
};

const pcm_codec_ops *get_linear_pcm_codec();

} // namespace pipd
