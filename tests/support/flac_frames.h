// Test helpers: FLAC frames written bit by bit, and a walk over the frames
// of an encoded file.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "codecs/pcm/flac_decoder.h"
#include "support/flac_files.h"

namespace pipd::testing {

class bit_writer {
  public:
    void put(uint64_t v, int n) {
        for (int i = n - 1; i >= 0; --i) bit((v >> i) & 1);
    }
    void put_signed(int64_t v, int n) { put(static_cast<uint64_t>(v) & mask(n), n); }
    void unary(uint32_t zeros) {
        for (uint32_t i = 0; i < zeros; ++i) bit(0);
        bit(1);
    }
    void rice(int32_t r, int k) {
        uint32_t u = (static_cast<uint32_t>(r) << 1) ^ static_cast<uint32_t>(r >> 31);
        unary(u >> k);
        put(u & mask(k), k);
    }
    void align() {
        while (nbits_ % 8) bit(0);
    }
    std::size_t bits() const { return nbits_; }
    std::vector<uint8_t> &bytes() { return bytes_; }

  private:
    static uint64_t mask(int n) { return n >= 64 ? ~0ull : (1ull << n) - 1; }
    void bit(uint64_t b) {
        if (nbits_ % 8 == 0) bytes_.push_back(0);
        if (b) bytes_.back() |= static_cast<uint8_t>(0x80 >> (nbits_ % 8));
        ++nbits_;
    }
    std::vector<uint8_t> bytes_;
    std::size_t nbits_ = 0;
};

inline uint8_t crc8(const uint8_t *p, std::size_t n) {
    uint8_t crc = 0;
    for (std::size_t i = 0; i < n; ++i) {
        crc ^= p[i];
        for (int b = 0; b < 8; ++b)
            crc = static_cast<uint8_t>((crc & 0x80) ? (crc << 1) ^ 0x07 : crc << 1);
    }
    return crc;
}

// Header fields of a hand-made frame.
struct frame_header {
    int sync_low = 0; // 0: 0xF8, 1: 0xF9
    int bs_code = 7;  // 16-bit block size - 1 follows
    int blocksize = 16;
    int sr_code = 9; // 44100
    int ch_code = 1; // two independent channels
    int ss_code = 4; // 16 bits
    int reserved = 0;
    uint32_t number = 0; // frame number, below 128
};

// Writes the header (CRC-8 included) into w.
inline void write_header(bit_writer &w, const frame_header &h) {
    w.put(0xFFF8 | static_cast<unsigned>(h.sync_low), 16);
    w.put(static_cast<unsigned>(h.bs_code), 4);
    w.put(static_cast<unsigned>(h.sr_code), 4);
    w.put(static_cast<unsigned>(h.ch_code), 4);
    w.put(static_cast<unsigned>(h.ss_code), 3);
    w.put(static_cast<unsigned>(h.reserved), 1);
    w.put(h.number & 0x7F, 8);
    if (h.bs_code == 6) w.put(static_cast<unsigned>(h.blocksize - 1), 8);
    if (h.bs_code == 7) w.put(static_cast<unsigned>(h.blocksize - 1), 16);
    w.put(crc8(w.bytes().data(), w.bytes().size()), 8);
}

// Closes a frame: padding to a byte and a (zero) CRC-16.
inline std::vector<uint8_t> finish_frame(bit_writer &w) {
    w.align();
    w.put(0, 16);
    return w.bytes();
}

// A context set up like the codec does from STREAMINFO, with its own
// channel buffers.
struct test_context {
    flac_context fc{};
    std::vector<std::array<int32_t, FLAC_MAX_BLOCKSIZE>> buffers =
        std::vector<std::array<int32_t, FLAC_MAX_BLOCKSIZE>>(FLAC_MAX_CHANNELS);
    test_context(int channels, int bps, int min_bs = 16, int max_bs = 4608, int rate = 44100) {
        fc.channels = channels;
        fc.bps = bps;
        fc.min_blocksize = min_bs;
        fc.max_blocksize = max_bs;
        fc.samplerate = rate;
        fc.rate = rate;
        for (int c = 0; c < FLAC_MAX_CHANNELS; ++c) fc.decoded[c] = buffers[c].data();
    }
    // Decodes from an exact-size heap copy, so that any read past the bytes
    // handed in is caught by the address sanitizer.
    int decode(const std::vector<uint8_t> &frame, std::size_t size = SIZE_MAX) {
        if (size > frame.size()) size = frame.size();
        std::vector<uint8_t> copy(frame.begin(), frame.begin() + static_cast<long>(size));
        int r = flac_decode_frame(&fc, copy.data(), static_cast<int>(copy.size()), nullptr);
        fc.data = fc.data_end = nullptr;
        return r;
    }
    int32_t left(int i) const { return buffers[0][static_cast<std::size_t>(i)]; }
    int32_t right(int i) const { return buffers[1][static_cast<std::size_t>(i)]; }
};

// The stream facts of an encoded file and where its frames start.
struct flac_layout {
    bool ok = false;
    int min_blocksize = 0, max_blocksize = 0, min_framesize = 0, max_framesize = 0;
    int rate = 0, channels = 0, bps = 0;
    uint64_t total_samples = 0;
    std::size_t first_frame = 0; // offset just past the metadata
    std::size_t streaminfo = 0;  // offset of the STREAMINFO body
    std::size_t seektable = 0;   // offset of the SEEKTABLE body, 0 for none
    std::size_t seektable_length = 0;
};

inline flac_layout parse_layout(const std::vector<uint8_t> &f) {
    flac_layout l;
    std::size_t p = 0;
    if (f.size() >= 10 && std::memcmp(f.data(), "ID3", 3) == 0)
        p = 10 + (static_cast<std::size_t>(f[6]) << 21 | static_cast<std::size_t>(f[7]) << 14 |
                  static_cast<std::size_t>(f[8]) << 7 | f[9]);
    if (p + 4 > f.size() || std::memcmp(f.data() + p, "fLaC", 4) != 0) return l;
    p += 4;
    for (bool last = false; !last;) {
        if (p + 4 > f.size()) return l;
        last = f[p] & 0x80;
        int type = f[p] & 0x7F;
        std::size_t len = static_cast<std::size_t>(f[p + 1]) << 16 |
                          static_cast<std::size_t>(f[p + 2]) << 8 | f[p + 3];
        p += 4;
        if (p + len > f.size()) return l;
        const uint8_t *b = f.data() + p;
        if (type == 0) {
            l.streaminfo = p;
            l.min_blocksize = b[0] << 8 | b[1];
            l.max_blocksize = b[2] << 8 | b[3];
            l.min_framesize = b[4] << 16 | b[5] << 8 | b[6];
            l.max_framesize = b[7] << 16 | b[8] << 8 | b[9];
            l.rate = b[10] << 12 | b[11] << 4 | b[12] >> 4;
            l.channels = ((b[12] >> 1) & 7) + 1;
            l.bps = ((b[12] & 1) << 4 | b[13] >> 4) + 1;
            l.total_samples = static_cast<uint64_t>(b[13] & 0xF) << 32 |
                              static_cast<uint64_t>(b[14]) << 24 | b[15] << 16 | b[16] << 8 | b[17];
        } else if (type == 3) {
            l.seektable = p;
            l.seektable_length = len;
        }
        p += len;
    }
    l.first_frame = p;
    l.ok = true;
    return l;
}

inline uint16_t crc16(const uint8_t *p, std::size_t n) {
    uint16_t crc = 0;
    for (std::size_t i = 0; i < n; ++i) {
        crc ^= static_cast<uint16_t>(p[i] << 8);
        for (int b = 0; b < 8; ++b)
            crc = static_cast<uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x8005 : crc << 1);
    }
    return crc;
}

// The frame number in the header's UTF-8 style coding.
inline void put_utf8_number(bit_writer &w, uint32_t v) {
    if (v < 0x80) {
        w.put(v, 8);
        return;
    }
    int n = 2;
    while (n < 6 && v >= (1u << (5 * n + 1))) ++n;
    w.put(((0xFF00u >> n) & 0xFF) | (v >> (6 * (n - 1))), 8);
    for (int i = n - 2; i >= 0; --i) w.put(0x80 | ((v >> (6 * i)) & 0x3F), 8);
}

// A whole FLAC file written here rather than by the reference encoder: one
// FIXED order 2 subframe per channel whose partitions alternate between
// escaped (plain signed values of the width needed, 0 for all zeros) and
// Rice-coded ones. Independent channels, fixed block size.
inline std::vector<uint8_t> write_escaped_flac(const audio &a, int blocksize) {
    const int ss_code = a.bps == 8 ? 1 : a.bps == 12 ? 2 : a.bps == 16 ? 4 : a.bps == 20 ? 5 : 6;
    std::vector<uint8_t> f = {'f', 'L', 'a', 'C', 0x80, 0, 0, 34};
    bit_writer si;
    si.put(static_cast<uint64_t>(blocksize), 16);
    si.put(static_cast<uint64_t>(blocksize), 16);
    si.put(0, 24);
    si.put(0, 24);
    si.put(static_cast<uint64_t>(a.rate), 20);
    si.put(static_cast<uint64_t>(a.channels - 1), 3);
    si.put(static_cast<uint64_t>(a.bps - 1), 5);
    si.put(a.frames(), 36);
    for (int i = 0; i < 16; ++i) si.put(0, 8); // no MD5
    f.insert(f.end(), si.bytes().begin(), si.bytes().end());

    const std::size_t total = a.frames();
    for (std::size_t start = 0, frame = 0; start < total;
         start += static_cast<std::size_t>(blocksize), ++frame) {
        const int n = static_cast<int>(
            std::min<std::size_t>(static_cast<std::size_t>(blocksize), total - start));
        bit_writer w;
        w.put(0xFFF8, 16);
        w.put(7, 4); // block size - 1 in 16 bits
        w.put(0, 4); // rate from STREAMINFO
        w.put(static_cast<uint64_t>(a.channels - 1), 4);
        w.put(static_cast<uint64_t>(ss_code), 3);
        w.put(0, 1);
        put_utf8_number(w, static_cast<uint32_t>(frame));
        w.put(static_cast<uint64_t>(n - 1), 16);
        w.put(crc8(w.bytes().data(), w.bytes().size()), 8);
        for (int c = 0; c < a.channels; ++c) {
            auto x = [&](int i) { return a.at(start + static_cast<std::size_t>(i), c); };
            const int order = n >= 2 ? 2 : 0;
            w.put((8 + order) << 1, 8);
            for (int i = 0; i < order; ++i) w.put_signed(x(i), a.bps);
            std::vector<int32_t> res(static_cast<std::size_t>(n));
            for (int i = order; i < n; ++i)
                res[static_cast<std::size_t>(i)] = x(i) - (2 * x(i - 1) - x(i - 2));
            const int porder = n % 4 == 0 && n / 4 >= order ? 2 : 0;
            w.put(1, 2); // 5-bit parameters, escape 31
            w.put(static_cast<uint64_t>(porder), 4);
            const int psize = n >> porder;
            for (int p = 0; p < (1 << porder); ++p) {
                const int from = p == 0 ? order : p * psize;
                const int to = (p + 1) * psize;
                if (p % 2 == 0) {
                    int width = 0;
                    for (int i = from; i < to; ++i) {
                        int32_t r = res[static_cast<std::size_t>(i)];
                        while (width < 31 && (r < -(1 << (width > 0 ? width - 1 : 0)) ||
                                              r >= (width > 0 ? (1 << (width - 1)) : 1)))
                            ++width;
                    }
                    w.put(31, 5);
                    w.put(static_cast<uint64_t>(width), 5);
                    for (int i = from; i < to; ++i)
                        w.put_signed(res[static_cast<std::size_t>(i)], width);
                } else {
                    uint64_t sum = 0;
                    for (int i = from; i < to; ++i)
                        sum += static_cast<uint64_t>(std::abs(res[static_cast<std::size_t>(i)]));
                    int k = 0;
                    while (k < 30 && (sum >> k) > static_cast<uint64_t>(to - from)) ++k;
                    w.put(static_cast<uint64_t>(k), 5);
                    for (int i = from; i < to; ++i) w.rice(res[static_cast<std::size_t>(i)], k);
                }
            }
        }
        w.align();
        w.put(crc16(w.bytes().data(), w.bytes().size()), 16);
        f.insert(f.end(), w.bytes().begin(), w.bytes().end());
    }
    return f;
}

} // namespace pipd::testing
