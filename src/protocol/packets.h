// The packets of the PCM pipe: 4112 bytes each, four header words (the
// magic, the rate code, two reserved) and 1024 samples of 32 bits.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pipd {

inline constexpr uint32_t OUTPUT_MAGIC = 0xABAABAAA;
inline constexpr int PACKET_WORDS = 1028; // 4 header words, 1024 samples
inline constexpr int PACKET_HEADER_WORDS = 4;
inline constexpr std::size_t PACKET_BYTES = PACKET_WORDS * 4;

// Rate code of the packet header; -1 for a rate without a code.
int32_t rate_code(int32_t rate);
// Sample rate of a rate code; 0 for a code without a rate.
int32_t rate_of_code(int32_t code);

} // namespace pipd
