// The APE entropy decoder against an encoder written here from the format:
// an ideal range encoder (its base kept as a number of any length, so it
// needs no carry handling) with the same Rice adaptation, for both schemes.
// Chosen values go in, the decoder must give them back and stop exactly at
// the end of the frame; with fewer bytes it reports an overrun and reads
// nothing beyond what it was given.

#include <algorithm>
#include <bit>
#include <gtest/gtest.h>
#include <random>
#include <vector>

#include "codecs/ape/ape.h"

using namespace pipd;

namespace {

constexpr uint32_t counts_3980[] = {0,     19578, 36160, 48417, 56323, 60899, 63265,
                                    64435, 64971, 65232, 65351, 65416, 65447, 65466,
                                    65476, 65482, 65485, 65488, 65490, 65491};
constexpr uint32_t counts_3970[] = {0,     14824, 28224, 39348, 47855, 53994, 58171, 60926,
                                    62682, 63786, 64463, 64878, 65126, 65276, 65365, 65419,
                                    65450, 65469, 65480, 65487, 65491, 65493};

template <std::size_t M> uint32_t cumulative(const uint32_t (&head)[M], uint32_t s) {
    return s < M ? head[s] : head[M - 1] + (s - (M - 1));
}

struct rice {
    uint32_t k = 10;
    uint32_t sum = 16384;
    void update(uint32_t x) {
        sum += static_cast<uint32_t>(static_cast<int32_t>(x + 1) / 2) - ((sum + 16) >> 5);
        if (k > 0 && sum < (uint64_t{1} << (k + 4)))
            --k;
        else if (sum >= (uint64_t{1} << (k + 5)))
            ++k;
    }
};

class range_encoder {
  public:
    // Stream bytes of the frame: CRC word, flags word when given, the
    // skipped byte, then the range coder's bytes.
    range_encoder(uint32_t crc, bool with_flags, uint32_t flags) {
        for (int i = 3; i >= 0; --i) head_.push_back(static_cast<uint8_t>(crc >> (8 * i)));
        if (with_flags)
            for (int i = 3; i >= 0; --i) head_.push_back(static_cast<uint8_t>(flags >> (8 * i)));
        head_.push_back(0xA5);
    }

    void value(int32_t v, rice &r, bool new_scheme) {
        const uint32_t x =
            v > 0 ? 2 * static_cast<uint32_t>(v) - 1 : 2 * (0u - static_cast<uint32_t>(v));
        if (new_scheme)
            value_3990(x, r);
        else
            value_3970(x, r);
        r.update(x);
    }

    // The closing normalisation, and the stream bytes: the code value is
    // the base, one bit behind the bytes.
    std::vector<uint8_t> finish() {
        normalise();
        std::vector<uint8_t> out = head_;
        const std::size_t start = out.size();
        out.resize(start + base_.size() + 1, 0);
        // base_ holds 7 + 8k bits: shifted left by one it fills k + 1 bytes.
        uint32_t carry = 0;
        for (std::size_t i = base_.size() + 1; i-- > 0;) {
            const uint32_t digit = i > 0 ? base_[i - 1] : top_;
            out[start + i] = static_cast<uint8_t>(digit << 1 | carry);
            carry = digit >> 7;
        }
        return out;
    }

  private:
    void normalise() {
        while (range_ <= (1u << 23)) {
            range_ <<= 8;
            base_.push_back(0);
        }
    }
    void add(uint64_t v) {
        for (std::size_t i = base_.size(); v && i-- > 0;) {
            v += base_[i];
            base_[i] = static_cast<uint8_t>(v);
            v >>= 8;
        }
        top_ += static_cast<uint32_t>(v); // the first 7 bits
    }
    void encode_total(uint32_t total, uint32_t start, uint32_t size) {
        normalise();
        const uint32_t step = range_ / total;
        add(uint64_t{step} * start);
        range_ = step * size;
    }
    void encode_shift(int shift, uint32_t start, uint32_t size = 1) {
        normalise();
        const uint32_t step = range_ >> shift;
        add(uint64_t{step} * start);
        range_ = step * size;
    }
    void bits(int n, uint32_t v) {
        if (n == 0)
            normalise();
        else
            encode_shift(n, v);
    }
    template <std::size_t M> void symbol(const uint32_t (&counts)[M], uint32_t s) {
        const uint32_t lo = cumulative(counts, s);
        encode_shift(16, lo, cumulative(counts, s + 1) - lo);
    }
    void value_3990(uint32_t x, const rice &r) {
        const uint32_t pivot = std::max(r.sum >> 5, 1u);
        const uint32_t overflow = x / pivot;
        const uint32_t base = x % pivot;
        if (overflow >= 63) {
            symbol(counts_3980, 63);
            bits(16, overflow >> 16);
            bits(16, overflow & 0xFFFF);
        } else {
            symbol(counts_3980, overflow);
        }
        if (pivot >= 65536) {
            const int lo = std::bit_width(pivot) - 16;
            encode_total((pivot >> lo) + 1, base >> lo, 1);
            bits(lo, base & ((1u << lo) - 1));
        } else {
            encode_total(pivot, base, 1);
        }
    }
    void value_3970(uint32_t x, const rice &r) {
        int n = r.k > 0 ? static_cast<int>(r.k) - 1 : 0;
        uint32_t overflow = x >> n;
        if (overflow >= 63) {
            symbol(counts_3970, 63);
            n = std::bit_width(x);
            bits(5, static_cast<uint32_t>(n));
        } else {
            symbol(counts_3970, overflow);
            x &= (1u << n) - 1;
        }
        if (n <= 16) {
            bits(n, x);
        } else {
            bits(16, x & 0xFFFF);
            bits(n - 16, x >> 16);
        }
    }

    std::vector<uint8_t> head_;
    uint32_t top_ = 0;          // the code value's first 7 bits
    std::vector<uint8_t> base_; // and the bytes after them
    uint32_t range_ = 128;
};

struct frame_spec {
    int16_t version = 3990;
    uint32_t crc = 0x12345678;
    uint32_t flags = 0;
    bool stereo = true;
    int offset = 0; // stream offset of the frame's first byte in its word
};

// The frame in memory: stream bytes placed most significant first in each
// little-endian word, from offset on; the bytes used (a whole number of
// words).
struct encoded_frame {
    std::vector<uint8_t> memory;
    std::size_t stream_end; // stream offset just past the frame
};

encoded_frame encode(const frame_spec &f, const std::vector<int32_t> &y,
                     const std::vector<int32_t> &x) {
    const bool flags_word = f.flags != 0 && f.version > 3820;
    range_encoder e(flags_word ? f.crc | 0x80000000u : f.crc, flags_word, f.flags);
    rice ry, rx;
    const bool silent = (f.flags & 1) && ((f.flags & 2) || !f.stereo);
    for (std::size_t i = 0; i < y.size() && !silent; ++i) {
        e.value(y[i], ry, f.version >= 3990);
        if (f.stereo) e.value(x[i], rx, f.version >= 3990);
    }
    const std::vector<uint8_t> stream = e.finish();
    encoded_frame out;
    out.stream_end = static_cast<std::size_t>(f.offset) + stream.size();
    out.memory.assign((out.stream_end + 3) / 4 * 4, 0xEE);
    for (std::size_t j = 0; j < stream.size(); ++j)
        out.memory[(static_cast<std::size_t>(f.offset) + j) ^ 3] = stream[j];
    return out;
}

struct decoded {
    int status = 0;
    std::vector<int32_t> y, x;
    std::size_t stream_end = 0; // where the decoder stopped
    ape_context ctx{};
};

// Decodes a frame of n samples in the given chunks, from a buffer of
// exactly the bytes available.
decoded decode(const frame_spec &f, const std::vector<uint8_t> &memory, std::size_t available,
               std::size_t n, const std::vector<int> &chunks) {
    decoded d;
    d.ctx.fileversion = f.version;
    d.ctx.frame_blocks = static_cast<int32_t>(n);
    std::vector<uint8_t> buf(memory.begin(), memory.begin() + static_cast<long>(available));
    d.y.assign(n, 0);
    d.x.assign(n, 0);
    int byte_index = 3 - f.offset;
    int consumed = 0;
    std::size_t at = 0;
    d.status = init_entropy_decoder(&d.ctx, buf.data(), static_cast<uint32_t>(buf.size()),
                                    &byte_index, &consumed);
    at += static_cast<std::size_t>(consumed);
    std::size_t done = 0;
    for (std::size_t c = 0; d.status == 0 && done < n; ++c) {
        const int count = static_cast<int>(
            std::min<std::size_t>(static_cast<std::size_t>(chunks[c % chunks.size()]), n - done));
        d.status = entropy_decode(&d.ctx, buf.data() + at, static_cast<uint32_t>(buf.size() - at),
                                  &byte_index, &consumed, d.y.data() + done,
                                  f.stereo ? d.x.data() + done : nullptr, count);
        at += static_cast<std::size_t>(consumed);
        done += static_cast<std::size_t>(count);
    }
    d.stream_end = at + static_cast<std::size_t>(3 - byte_index);
    return d;
}

std::vector<int32_t> values(std::size_t n, uint32_t seed, int32_t scale, int spikes = 0) {
    std::mt19937 rng(seed);
    std::vector<int32_t> v(n);
    for (std::size_t i = 0; i < n; ++i) {
        const int32_t r =
            static_cast<int32_t>(rng() % (2 * static_cast<uint32_t>(scale) + 1)) - scale;
        v[i] = r;
        if (spikes && i % static_cast<std::size_t>(spikes) == 7) v[i] = r * 4000 + 1;
    }
    return v;
}

TEST(ApeEntropy, ValuesComeBackAndTheFrameEndsWhereItWasWritten) {
    const struct {
        const char *what;
        int32_t scale;
        int spikes;
    } signals[] = {
        {"quiet", 40, 0},
        {"zeros", 0, 0},
        {"loud", 30000, 0},
        {"24-bit wide: pivots of 65536 and more", 1 << 22, 0},
        {"spikes: escapes", 300, 50},
    };
    for (int16_t version : {3990, 3980, 3950}) {
        for (const auto &s : signals) {
            for (bool stereo : {true, false}) {
                for (int offset : {0, 1, 3}) {
                    SCOPED_TRACE(testing::Message() << version << " " << s.what << " stereo "
                                                    << stereo << " offset " << offset);
                    frame_spec f;
                    f.version = version;
                    f.stereo = stereo;
                    f.offset = offset;
                    const std::size_t n = 2500;
                    const auto y = values(n, 1 + static_cast<uint32_t>(offset), s.scale, s.spikes);
                    const auto x = values(n, 99, s.scale / 3, s.spikes);
                    const encoded_frame e = encode(f, y, x);
                    decoded d = decode(f, e.memory, e.memory.size(), n, {1024, 300, 1, 723});
                    ASSERT_EQ(d.status, 0);
                    EXPECT_EQ(d.y, y);
                    if (stereo) {
                        EXPECT_EQ(d.x, x);
                    }
                    EXPECT_EQ(d.stream_end, e.stream_end);
                    EXPECT_EQ(d.ctx.frame_crc, 0x12345678u);
                    EXPECT_EQ(d.ctx.frame_flags, 0u);
                    EXPECT_EQ(d.ctx.frame_blocks_done, static_cast<int32_t>(n));
                }
            }
        }
    }
}

TEST(ApeEntropy, FrameHeaderAndSilence) {
    const std::vector<int32_t> y = values(3000, 5, 500), x = values(3000, 6, 500);
    // Flags word from 3830 on, when bit 31 of the CRC word is set; a stereo
    // frame with only the first silence bit set decodes as usual.
    {
        frame_spec f;
        f.flags = 1;
        const encoded_frame e = encode(f, y, x);
        decoded d = decode(f, e.memory, e.memory.size(), y.size(), {1024});
        ASSERT_EQ(d.status, 0);
        EXPECT_EQ(d.ctx.frame_crc, 0x12345678u);
        EXPECT_EQ(d.ctx.frame_flags, 1u);
        EXPECT_EQ(d.y, y);
        EXPECT_EQ(d.x, x);
    }
    // Up to 3820 there is no flags word: bit 31 stays in the CRC.
    {
        frame_spec f;
        f.version = 3820;
        f.crc = 0x92345678;
        const encoded_frame e = encode(f, y, x);
        decoded d = decode(f, e.memory, e.memory.size(), y.size(), {1024});
        EXPECT_EQ(d.ctx.frame_crc, 0x92345678u);
        EXPECT_EQ(d.ctx.frame_flags, 0u);
        EXPECT_EQ(d.y, std::vector<int32_t>(y.begin(), y.end()));
    }
    // Silent frames: a stereo frame with both bits, a mono frame with bit
    // 0. Zeros, and no byte read until the call that completes the frame,
    // whose closing normalisation reads three (from a range of 128).
    for (bool stereo : {true, false}) {
        frame_spec f;
        f.stereo = stereo;
        f.flags = stereo ? 3 : 1;
        const encoded_frame e = encode(f, y, x);
        ape_context ctx{};
        ctx.fileversion = f.version;
        ctx.frame_blocks = 2048;
        int byte_index = 3, consumed = 0;
        ASSERT_EQ(init_entropy_decoder(&ctx, e.memory.data(),
                                       static_cast<uint32_t>(e.memory.size()), &byte_index,
                                       &consumed),
                  0);
        EXPECT_EQ(ctx.frame_flags, f.flags);
        // CRC, flags, the skipped byte and the range coder's first: 10 bytes.
        EXPECT_EQ(consumed, 8);
        EXPECT_EQ(byte_index, 1);
        std::vector<int32_t> a(1024, 7), b(1024, 7);
        const uint8_t *p = e.memory.data() + consumed;
        const uint32_t left = static_cast<uint32_t>(e.memory.size()) - 8;
        ASSERT_EQ(entropy_decode(&ctx, p, left, &byte_index, &consumed, a.data(),
                                 stereo ? b.data() : nullptr, 1024),
                  0);
        EXPECT_EQ(consumed, 0);
        EXPECT_EQ(byte_index, 1);
        EXPECT_EQ(a, std::vector<int32_t>(1024, 0));
        if (stereo) {
            EXPECT_EQ(b, std::vector<int32_t>(1024, 0));
        }
        ASSERT_EQ(entropy_decode(&ctx, p, left, &byte_index, &consumed, a.data(),
                                 stereo ? b.data() : nullptr, 1024),
                  0);
        EXPECT_EQ(consumed, 4);
        EXPECT_EQ(byte_index, 2);
        EXPECT_EQ(e.stream_end, 13u);
    }
}

// Bytes short of the frame: an overrun, found by the sanitizers if the
// decoder read past the buffer (which is exactly the bytes given).
TEST(ApeEntropy, RunningOutOfBytesIsAnOverrun) {
    for (int16_t version : {3990, 3950}) {
        frame_spec f;
        f.version = version;
        const std::vector<int32_t> y = values(2000, 8, 20000), x = values(2000, 9, 200);
        const encoded_frame e = encode(f, y, x);
        EXPECT_EQ(decode(f, e.memory, e.memory.size(), y.size(), {1024}).status, 0);
        for (std::size_t cut : {e.memory.size() - 1, e.memory.size() / 2, std::size_t{9},
                                std::size_t{3}, std::size_t{0}})
            EXPECT_EQ(decode(f, e.memory, cut, y.size(), {1024}).status, APE_ERR_OVERRUN) << cut;
    }
}

// Arbitrary bytes: the decoder ends every call, whatever they say.
TEST(ApeEntropy, ArbitraryBytesNeverStallOrOverread) {
    std::mt19937 rng(4);
    for (int trial = 0; trial < 40; ++trial) {
        std::vector<uint8_t> junk(64 + rng() % 4000);
        for (auto &b : junk) b = static_cast<uint8_t>(rng() >> (trial % 3 == 0 ? 29 : 0));
        frame_spec f;
        f.version = trial % 2 ? 3990 : 3960;
        f.stereo = trial % 4 < 2;
        decoded d = decode(f, junk, junk.size(), 4096, {1024});
        EXPECT_TRUE(d.status == 0 || d.status == APE_ERR_OVERRUN);
    }
}

} // namespace
