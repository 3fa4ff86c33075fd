// Numbers as files store them, little- or big-endian: the one set of readers
// every decoder uses. The caller has checked that the bytes are there.
#pragma once

#include <cstdint>

namespace pipd {

constexpr uint16_t le16(const uint8_t *p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}
constexpr uint32_t le32(const uint8_t *p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}
constexpr uint64_t le64(const uint8_t *p) {
    return le32(p) | uint64_t{le32(p + 4)} << 32;
}

// n bytes (at most 8), most significant first.
constexpr uint64_t be(const uint8_t *p, int n) {
    uint64_t v = 0;
    for (int i = 0; i < n; ++i) v = v << 8 | p[i];
    return v;
}
constexpr uint16_t be16(const uint8_t *p) {
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}
constexpr uint32_t be32(const uint8_t *p) {
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}
constexpr uint64_t be64(const uint8_t *p) {
    return uint64_t{be32(p)} << 32 | be32(p + 4);
}

// Four bytes of seven bits each, most significant first, as ID3v2 stores
// sizes (a byte with a stray top bit is added as it comes).
constexpr uint32_t syncsafe32(const uint8_t *p) {
    return (uint32_t{p[0]} << 21) + (uint32_t{p[1]} << 14) + (uint32_t{p[2]} << 7) + p[3];
}

} // namespace pipd
