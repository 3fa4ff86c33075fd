#include "codecs/pcm/linear_pcm.h"

#include <algorithm>

#include "core/diag.h"

namespace pipd {

namespace {

// The record given to the last set_format; the other operations read it.
wave_format *fmt = nullptr;
// The result of the last seek computation.
pcm_pos newpos = {0, 0};

uint32_t saturate32(uint64_t v) {
    return static_cast<uint32_t>(std::min<uint64_t>(v, UINT32_MAX));
}

// Bytes per sample container: 1 to 8 bits take 1, 9 to 16 take 2, and so on.
uint32_t container_bytes(uint32_t bitspersample) {
    return (bitspersample + 7) / 8;
}

bool set_format(wave_format *format) {
    fmt = format;
    if (fmt->channels == 0) {
        diag_puts("CODEC_ERROR: channels is 0");
        return false;
    }
    if (fmt->bitspersample == 0) {
        diag_puts("CODEC_ERROR: bitspersample is 0");
        return false;
    }
    if (fmt->bitspersample > 32) {
        diag_puts("CODEC_ERROR: pcm with more than 32 bitspersample is unsupported");
        return false;
    }
    fmt->bytespersample = fmt->bitspersample >> 3;
    if (fmt->bytespersample == 0) {
        diag("CODEC_ERROR: pcm with %u bitspersample (fewer than 8) is unsupported\n",
             static_cast<unsigned>(fmt->bitspersample));
        return false;
    }
    const uint32_t frame_bytes = fmt->channels * fmt->bytespersample;
    if (fmt->blockalign == 0) fmt->blockalign = static_cast<uint16_t>(frame_bytes);
    fmt->samplesperblock = static_cast<uint16_t>(fmt->blockalign / frame_bytes);
    if (fmt->samplesperblock == 0) {
        diag("CODEC_ERROR: blockalign %u is smaller than one frame (%u bytes)\n",
             static_cast<unsigned>(fmt->blockalign), static_cast<unsigned>(frame_bytes));
        return false;
    }
    // About a fiftieth of a second per step.
    const uint64_t blocks = fmt->samplerate / (50u * fmt->samplesperblock);
    fmt->chunksize = saturate32(uint64_t{fmt->blockalign} * blocks);
    return true;
}

const pcm_pos *get_seek_pos(uint32_t time_ms) {
    if (!fmt || fmt->samplesperblock == 0) {
        newpos = {0, 0};
        return &newpos;
    }
    const uint64_t blocks = uint64_t{time_ms} * fmt->samplerate / 1000 / fmt->samplesperblock;
    newpos.pos = saturate32(blocks * fmt->blockalign);
    newpos.samples = saturate32(blocks * fmt->samplesperblock);
    return &newpos;
}

// Converts `samples` whole containers of W bytes. The most significant byte
// (sign-flipped for unsigned samples) and up to two following bytes make a
// signed value at 24-bit scale; a fourth, least significant byte is dropped.
template <unsigned W, bool LittleEndian, bool Signed>
void convert(const uint8_t *src, uint32_t samples, int32_t *dst) {
    constexpr uint8_t flip = Signed ? 0x00 : 0x80;
    for (uint32_t i = 0; i < samples; ++i, src += W) {
        int32_t hi;
        int32_t mid = 0;
        int32_t lo = 0;
        if constexpr (W == 1) {
            hi = static_cast<int8_t>(src[0] ^ flip);
        } else if constexpr (LittleEndian) {
            hi = static_cast<int8_t>(src[W - 1] ^ flip);
            mid = src[W - 2];
            if constexpr (W >= 3) lo = src[W - 3];
        } else {
            hi = static_cast<int8_t>(src[0] ^ flip);
            mid = src[1];
            if constexpr (W >= 3) lo = src[2];
        }
        dst[i] = hi * 65536 + mid * 256 + lo;
    }
}

template <unsigned W>
void convert_width(const uint8_t *src, uint32_t samples, int32_t *dst, bool little_endian,
                   bool signed_samples) {
    if (little_endian) {
        if (signed_samples)
            convert<W, true, true>(src, samples, dst);
        else
            convert<W, true, false>(src, samples, dst);
    } else {
        if (signed_samples)
            convert<W, false, true>(src, samples, dst);
        else
            convert<W, false, false>(src, samples, dst);
    }
}

int decode(const uint8_t *src, uint32_t n, int32_t *dst, uint32_t *count) {
    const uint32_t w = fmt ? container_bytes(fmt->bitspersample) : 0;
    if (w == 0 || w > 4) { // no accepted format
        *count = 0;
        return 0;
    }
    // A trailing partial sample is neither counted nor read.
    const uint32_t samples = n / w;
    const bool le = fmt->little_endian != 0;
    const bool sg = fmt->signed_samples != 0;
    switch (w) {
    case 1:
        convert_width<1>(src, samples, dst, le, sg);
        break;
    case 2:
        convert_width<2>(src, samples, dst, le, sg);
        break;
    case 3:
        convert_width<3>(src, samples, dst, le, sg);
        break;
    default:
        convert_width<4>(src, samples, dst, le, sg);
        break;
    }
    *count = fmt->channels == 2 ? samples >> 1 : samples;
    return 0;
}

constexpr pcm_codec_ops codec = {set_format, get_seek_pos, decode};

} // namespace

const pcm_codec_ops *get_linear_pcm_codec() {
    return &codec;
}

} // namespace pipd
