// Test helper: deterministic RIFF/WAVE files built chunk by chunk, so tests
// know every sample and can also write broken or unusual files.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "support/files.h"

namespace pipd::testing {

// A signed test signal of the given bit depth: the extremes, zero and its
// neighbours first, then a pseudo-random sequence (xorshift) over the full
// range. The same seed gives the same samples.
inline std::vector<int32_t> test_signal(std::size_t count, unsigned bits, uint32_t seed) {
    const int64_t max = (int64_t{1} << (bits - 1)) - 1;
    const int64_t min = -max - 1;
    std::vector<int32_t> out;
    out.reserve(count);
    const int64_t fixed[] = {max, min, 0, 1, -1, min + 1, max - 1};
    for (int64_t v : fixed)
        if (out.size() < count) out.push_back(static_cast<int32_t>(v));
    uint32_t x = seed ? seed : 1;
    while (out.size() < count) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        const uint64_t range = uint64_t(max - min) + 1;
        out.push_back(static_cast<int32_t>(min + int64_t(x % range)));
    }
    return out;
}

// Samples in containers of width bytes, least significant byte first; 8-bit
// samples are stored unsigned, as WAVE has them.
inline bytes pack_samples(const std::vector<int32_t> &samples, unsigned width) {
    bytes out;
    out.reserve(samples.size() * width);
    for (int32_t s : samples) {
        const int64_t v = width == 1 ? s + 128 : s;
        put_le(out, static_cast<uint64_t>(v), width);
    }
    return out;
}

struct fmt_fields {
    uint16_t tag = 1;
    uint16_t channels = 2;
    uint32_t rate = 44100;
    uint16_t blockalign = 0; // 0: channels x container bytes
    uint16_t bits = 16;
};

class WavWriter {
  public:
    // A chunk whose size field says declared (the payload's size by default);
    // an odd payload gets its pad byte.
    WavWriter &chunk(const char (&id)[5], const bytes &payload, int64_t declared = -1) {
        out_.insert(out_.end(), id, id + 4);
        put_le(out_, declared < 0 ? payload.size() : static_cast<uint64_t>(declared), 4);
        out_.insert(out_.end(), payload.begin(), payload.end());
        if (payload.size() & 1) out_.push_back(0);
        return *this;
    }

    static bytes fmt_payload(const fmt_fields &f) {
        const uint16_t align =
            f.blockalign ? f.blockalign : static_cast<uint16_t>(f.channels * ((f.bits + 7) / 8));
        bytes p;
        put_le(p, f.tag, 2);
        put_le(p, f.channels, 2);
        put_le(p, f.rate, 4);
        put_le(p, uint64_t{f.rate} * align, 4);
        put_le(p, align, 2);
        put_le(p, f.bits, 2);
        return p;
    }

    WavWriter &fmt(const fmt_fields &f) { return chunk("fmt ", fmt_payload(f)); }

    // WAVE_FORMAT_EXTENSIBLE: container bits in the base fields, then cbSize,
    // valid bits, channel mask and the sub-format GUID.
    WavWriter &fmt_extensible(fmt_fields f, uint16_t valid_bits, uint16_t subformat,
                              uint16_t extsize = 22) {
        f.tag = 0xFFFE;
        bytes p = fmt_payload(f);
        put_le(p, extsize, 2);
        put_le(p, valid_bits, 2);
        put_le(p, f.channels == 1 ? 0x4 : 0x3, 4);
        put_le(p, subformat, 2);
        const uint8_t guid_tail[] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                     0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
        p.insert(p.end(), guid_tail, guid_tail + sizeof guid_tail);
        return chunk("fmt ", p);
    }

    WavWriter &data(const bytes &payload, int64_t declared = -1) {
        return chunk("data", payload, declared);
    }

    WavWriter &raw(const bytes &b) {
        out_.insert(out_.end(), b.begin(), b.end());
        return *this;
    }

    // The file: RIFF header with its size, then the chunks.
    bytes file() const {
        bytes f = {'R', 'I', 'F', 'F'};
        put_le(f, out_.size() + 4, 4);
        f.insert(f.end(), {'W', 'A', 'V', 'E'});
        f.insert(f.end(), out_.begin(), out_.end());
        return f;
    }

    bool write(const std::string &path) const { return write_file(path, file()); }

    static bool write_file(const std::string &path, const bytes &content) {
        std::FILE *f = std::fopen(path.c_str(), "wb");
        if (!f) return false;
        const bool ok = std::fwrite(content.data(), 1, content.size(), f) == content.size();
        return std::fclose(f) == 0 && ok;
    }

  private:
    bytes out_;
};

} // namespace pipd::testing
