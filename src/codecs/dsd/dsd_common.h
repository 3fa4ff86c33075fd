// Small helpers shared by the DSD file codecs.
#pragma once

#include <algorithm>
#include <cstdint>

#include "host/bytes.h"
#include "host/codec_api.h"

namespace pipd::dsd {

// Playing position in ms of a count of DSD samples per channel at rate Hz.
// The count is 64-bit, so the position does not wrap after 2^32 samples (25
// minutes of DSD64).
inline uint32_t dsd_elapsed_ms(uint64_t dsd_samples, uint32_t rate = DSD_RATE) {
    return rate ? static_cast<uint32_t>(dsd_samples * 1000 / rate) : 0;
}

// DSD bytes of a channel per PCM sample of the output stage: 2 at DSD64 to
// 16 at DSD512.
inline uint32_t dsd_bytes_per_pcm(uint32_t rate) {
    return 2 * std::max<uint32_t>(rate / static_cast<uint32_t>(DSD_RATE), 1);
}

// The DSD byte of a channel that holds the sample at ms, at rate Hz.
inline uint64_t dsd_byte_at(uint32_t ms, uint32_t rate) {
    return uint64_t{ms} * rate / 8000;
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
