#include "sink/sample_pack.h"

#include "protocol/packets.h"

namespace pipd::sink {

static_assert(PACKET_FRAMES == (PACKET_WORDS - PACKET_HEADER_WORDS) / 2);

int32_t clamp24(int32_t v) {
    return v > 8388607 ? 8388607 : v < -8388608 ? -8388608 : v;
}

void pack_frames(const int32_t *words, const format_entry &f, unsigned char *out) {
    for (int k = 0; k < PACKET_FRAMES; ++k) {
        // The pipe carries channel 1 first.
        const int32_t ch[2] = {words[PACKET_HEADER_WORDS + 2 * k + 1],
                               words[PACKET_HEADER_WORDS + 2 * k]};
        for (int32_t v : ch) {
            uint32_t s = static_cast<uint32_t>(clamp24(v));
            if (f.format == sample_format::s32_le) s <<= 8;
            if (f.format == sample_format::s16_le) s = static_cast<uint32_t>(clamp24(v) >> 8);
            for (int b = 0; b < f.bytes; ++b) *out++ = static_cast<unsigned char>(s >> (8 * b));
        }
    }
}

} // namespace pipd::sink
