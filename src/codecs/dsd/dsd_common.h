// Small helpers shared by the DSD file codecs.
#pragma once

#include <cstdint>

#include "host/codec_api.h"

namespace pipd::dsd {

inline uint32_t le32(const uint8_t *p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

// n bytes (at most 8), most significant first.
inline uint64_t be(const uint8_t *p, int n) {
    uint64_t v = 0;
    for (int i = 0; i < n; ++i) v = v << 8 | p[i];
    return v;
}

// Playing position in ms of a count of DSD64 samples per channel. The count
// is 64-bit, so the position does not wrap after 2^32 samples (25 minutes).
inline uint32_t dsd_elapsed_ms(uint64_t dsd_samples) {
    return static_cast<uint32_t>(dsd_samples * 1000 / static_cast<uint64_t>(DSD_RATE));
}

} // namespace pipd::dsd
