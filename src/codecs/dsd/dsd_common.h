// Small helpers shared by the DSD file codecs.
#pragma once

#include <algorithm>
#include <cstdint>

#include "host/codec_api.h"

namespace pipd::dsd {

inline uint32_t le32(const uint8_t *p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}
inline uint64_t le64(const uint8_t *p) {
    return le32(p) | uint64_t{le32(p + 4)} << 32;
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

// Bytes of a chunk that claims size bytes from offset on that the file
// holds. The host's file size saturates at 4 GiB - 1: a file that large is
// taken at its word.
inline uint64_t bytes_present(uint64_t offset, uint64_t size) {
    const uint64_t file = ci->filesize;
    if (file == UINT32_MAX) return size;
    return offset >= file ? 0 : std::min(size, file - offset);
}

// A length in ms as the status carries it.
inline int32_t length_ms(uint64_t ms) {
    return static_cast<int32_t>(std::min<uint64_t>(ms, INT32_MAX));
}

} // namespace pipd::dsd
