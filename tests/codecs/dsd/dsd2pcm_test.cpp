#include "codecs/dsd/dsd2pcm.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "support/capture.h"
#include "support/dsd_model.h"

using namespace pipd;
using namespace pipd::testing;

namespace {

constexpr int32_t ALL_ONES = 9780256; // settled output of a stream of one bits
constexpr int32_t PEAK = 9792617;     // largest possible magnitude

struct Dsd2PcmTest : ::testing::Test {
    void SetUp() override {
        {
            DiagCapture quiet;
            dsd2pcm_init();
        }
        dsd2pcm_reset(0);
        dsd2pcm_reset(1);
    }
};

std::vector<int32_t> translate(int channel, const std::vector<uint8_t> &src, int reverse = 0) {
    std::vector<int32_t> out(src.size() / 2);
    dsd2pcm_translate(channel, static_cast<unsigned>(out.size()), src.data(), 1, reverse,
                      out.data(), 1);
    return out;
}

} // namespace

TEST(Dsd2PcmFilter, CoefficientsAreSymmetricWithTheKnownGain) {
    for (int k = 0; k < DSD2PCM_TAPS; ++k) EXPECT_EQ(B[k], B[DSD2PCM_TAPS - 1 - k]) << k;
    EXPECT_EQ(B[0], -1.968045242858e-05);
    EXPECT_EQ(B[72], 0.02441711021212);
    double half = 0.0, sum = 0.0, magnitude = 0.0;
    for (int k = 0; k < DSD2PCM_TAPS / 2; ++k) half += B[k];
    for (double b : B) {
        sum += b;
        magnitude += std::fabs(b);
    }
    EXPECT_EQ(2.0 * half, 1.1658974649132843);
    EXPECT_NEAR(sum, 1.1658974649132843, 1e-15);
    EXPECT_EQ(magnitude, 1.1673709468877032);
}

TEST(Dsd2PcmFilter, InitPrintsEachTablesEntryForByteZero) {
    DiagCapture diag;
    dsd2pcm_init();
    EXPECT_EQ(diag.text(), "dsd2pcm_init 0.000178\n"
                           "dsd2pcm_init 0.000178\n"
                           "dsd2pcm_init -0.001720\n"
                           "dsd2pcm_init -0.009646\n"
                           "dsd2pcm_init -0.029136\n"
                           "dsd2pcm_init -0.063617\n"
                           "dsd2pcm_init -0.109943\n"
                           "dsd2pcm_init -0.156714\n"
                           "dsd2pcm_init -0.188111\n"
                           "dsd2pcm_init -0.191928\n"
                           "dsd2pcm_init -0.166611\n"
                           "dsd2pcm_init -0.122189\n"
                           "dsd2pcm_init -0.074401\n"
                           "dsd2pcm_init -0.036332\n"
                           "dsd2pcm_init -0.013228\n"
                           "dsd2pcm_init -0.002926\n"
                           "dsd2pcm_init 0.000001\n"
                           "dsd2pcm_init 0.000217\n"
                           "dsd2pcm_init 0.000032\n");
    // The newest byte's table weighs only its two top bits.
    for (int e = 0; e < 256; ++e) EXPECT_EQ(ctables[18][e], ctables[18][e & 0xC0]) << e;
    // Building twice gives the same tables.
    const auto first = ctables;
    dsd2pcm_init();
    EXPECT_EQ(ctables, first);
}

TEST_F(Dsd2PcmTest, ResetFillsTheWindowWithTheNeutralPattern) {
    d2p[0].window.fill(0);
    d2p[0].pos = 7;
    dsd2pcm_reset(0);
    for (uint8_t b : d2p[0].window) EXPECT_EQ(b, 0x69);
    EXPECT_EQ(d2p[0].pos, 0);
    // The neutral pattern gives 25 from the very first output on.
    for (int32_t v : translate(0, std::vector<uint8_t>(200, 0x69))) ASSERT_EQ(v, 25);
}

TEST_F(Dsd2PcmTest, ConstantStreamsSettleAtTheTenthOutput) {
    const auto ones = translate(0, std::vector<uint8_t>(100, 0xFF));
    const std::vector<int32_t> rise{-1980,   22712,   438529,  2087214, 5094522,
                                    7987528, 9443831, 9769041, 9781846};
    EXPECT_EQ(std::vector<int32_t>(ones.begin(), ones.begin() + 9), rise);
    for (std::size_t i = 9; i < ones.size(); ++i) ASSERT_EQ(ones[i], ALL_ONES) << i;

    const struct {
        uint8_t byte;
        int32_t settled;
    } cases[] = {{0x00, -ALL_ONES}, {0x96, -25}, {0x55, 0}, {0xAA, 0}, {0x69, 25}};
    for (const auto &c : cases) {
        dsd2pcm_reset(1);
        const auto out = translate(1, std::vector<uint8_t>(100, c.byte));
        for (std::size_t i = 9; i < out.size(); ++i)
            ASSERT_EQ(out[i], c.settled) << "byte " << int(c.byte) << " output " << i;
    }
}

TEST_F(Dsd2PcmTest, AgreesWithTheFilterEvaluatedBitByBit) {
    // 19-byte windows of a random stream after the 0x69 reset history.
    const auto in = dsd_noise(4000, 1);
    const auto out = translate(0, in);
    std::vector<uint8_t> stream(19, 0x69);
    stream.insert(stream.end(), in.begin(), in.end());
    int32_t peak = 0;
    for (std::size_t i = 0; i < out.size(); ++i) {
        const double expected = direct_fir(&stream[2 * i + 2]) * 8388608.0;
        // Summed in another order, so a value may land on the other side of an integer.
        ASSERT_LE(std::fabs(out[i] - std::trunc(expected)), 1.0) << i;
        peak = std::max(peak, std::abs(out[i]));
    }
    // Summed byte by byte in the converter's order, it agrees to the bit.
    EXPECT_EQ(out, model_pcm(in));
    EXPECT_LE(peak, PEAK);
    // The extremes: the worst-case window of bits following the filter's signs.
    uint8_t worst[19] = {};
    for (int t = 0; t < DSD2PCM_TAPS; ++t)
        if (B[DSD2PCM_TAPS - 1 - t] > 0) worst[t / 8] |= static_cast<uint8_t>(0x80 >> (t % 8));
    // One byte ahead of it, so that 20 bytes give 10 outputs, the last over `worst`.
    std::vector<uint8_t> worst_stream(20, 0);
    std::copy(worst, worst + 19, worst_stream.begin() + 1);
    const auto w = translate(1, worst_stream);
    EXPECT_EQ(w.back(), PEAK);
}

TEST_F(Dsd2PcmTest, ReverseMatchesPreReversedInput) {
    EXPECT_EQ(translate(0, std::vector<uint8_t>(60, 0x01), 1),
              translate(1, std::vector<uint8_t>(60, 0x80)));

    dsd2pcm_reset(0);
    dsd2pcm_reset(1);
    const auto lsb_first = dsd_noise(3000, 2);
    std::vector<uint8_t> msb_first(lsb_first.size());
    std::transform(lsb_first.begin(), lsb_first.end(), msb_first.begin(), bit_reversed);
    const auto out = translate(0, lsb_first, 1);
    EXPECT_EQ(out, translate(1, msb_first));
    dsd2pcm_reset(1);
    EXPECT_NE(out, translate(1, lsb_first)); // and the flag does matter
}

TEST_F(Dsd2PcmTest, SplittingTheStreamChangesNothing) {
    const auto in = dsd_noise(2 * 1000, 3);
    const auto whole = translate(0, in);
    const std::vector<std::vector<unsigned>> splits{
        {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1},
        {0, 9, 0, 10, 19, 38, 3},
        {7, 13, 2, 500},
        {999, 1},
        {333, 333, 334}};
    for (const auto &sizes : splits) {
        dsd2pcm_reset(1);
        std::vector<int32_t> pieces(whole.size(), 0x5A5A5A5A);
        std::size_t done = 0;
        for (std::size_t i = 0; done < whole.size(); ++i) {
            unsigned n = i < sizes.size() ? sizes[i] : static_cast<unsigned>(whole.size() - done);
            n = std::min<unsigned>(n, static_cast<unsigned>(whole.size() - done));
            dsd2pcm_translate(1, n, in.data() + 2 * done, 1, 0, pieces.data() + done, 1);
            done += n;
        }
        EXPECT_EQ(pieces, whole) << "first piece " << sizes.front();
    }
}

TEST_F(Dsd2PcmTest, CountZeroTouchesNothing) {
    translate(0, dsd_noise(14, 4)); // pos 14
    const dsd2pcm_ctx before = d2p[0];
    int32_t dst = 123;
    dsd2pcm_translate(0, 0, nullptr, 1, 0, &dst, 1);
    EXPECT_EQ(dst, 123);
    EXPECT_EQ(d2p[0].pos, before.pos);
    EXPECT_EQ(d2p[0].window, before.window);
}

TEST_F(Dsd2PcmTest, InterleavedStereoEqualsPlanar) {
    const auto left = dsd_noise(2 * 700, 5);
    const auto right = dsd_noise(2 * 700, 6);
    const auto planar_l = translate(0, left);
    const auto planar_r = translate(1, right);

    std::vector<uint8_t> interleaved(2 * left.size());
    for (std::size_t i = 0; i < left.size(); ++i) {
        interleaved[2 * i] = left[i];
        interleaved[2 * i + 1] = right[i];
    }
    // Byte-interleaved input, interleaved output, in two calls per channel.
    dsd2pcm_reset(0);
    dsd2pcm_reset(1);
    std::vector<int32_t> out(2 * planar_l.size() + 1, -7);
    const unsigned first = 301, rest = static_cast<unsigned>(planar_l.size()) - first;
    dsd2pcm_translate(0, first, interleaved.data(), 2, 0, out.data(), 2);
    dsd2pcm_translate(1, first, interleaved.data() + 1, 2, 0, out.data() + 1, 2);
    dsd2pcm_translate(0, rest, interleaved.data() + 4 * first, 2, 0, out.data() + 2 * first, 2);
    dsd2pcm_translate(1, rest, interleaved.data() + 4 * first + 1, 2, 0, out.data() + 2 * first + 1,
                      2);
    for (std::size_t i = 0; i < planar_l.size(); ++i) {
        ASSERT_EQ(out[2 * i], planar_l[i]) << i;
        ASSERT_EQ(out[2 * i + 1], planar_r[i]) << i;
    }
    EXPECT_EQ(out.back(), -7); // nothing past the last frame

    // Byte-interleaved input into planar buffers, as the DSDIFF codec does.
    dsd2pcm_reset(0);
    dsd2pcm_reset(1);
    std::vector<int32_t> l(planar_l.size()), r(planar_r.size());
    dsd2pcm_translate(0, static_cast<unsigned>(l.size()), interleaved.data(), 2, 0, l.data(), 1);
    dsd2pcm_translate(1, static_cast<unsigned>(r.size()), interleaved.data() + 1, 2, 0, r.data(),
                      1);
    EXPECT_EQ(l, planar_l);
    EXPECT_EQ(r, planar_r);
}

TEST_F(Dsd2PcmTest, ChannelsKeepTheirOwnHistory) {
    const auto a = dsd_noise(2 * 400, 7);
    const auto b = dsd_noise(2 * 400, 8);
    const auto alone = translate(0, a);

    dsd2pcm_reset(0);
    std::vector<int32_t> mixed(alone.size());
    for (std::size_t done = 0; done < alone.size(); done += 50) {
        dsd2pcm_translate(0, 50, a.data() + 2 * done, 1, 0, mixed.data() + done, 1);
        const dsd2pcm_ctx ch0 = d2p[0];
        int32_t scratch[50];
        dsd2pcm_translate(1, 50, b.data() + 2 * done, 1, 0, scratch, 1);
        ASSERT_EQ(d2p[0].window, ch0.window);
        ASSERT_EQ(d2p[0].pos, ch0.pos);
    }
    EXPECT_EQ(mixed, alone);
    // Resetting one channel leaves the other alone.
    const dsd2pcm_ctx ch1 = d2p[1];
    dsd2pcm_reset(0);
    EXPECT_EQ(d2p[1].window, ch1.window);
    EXPECT_EQ(d2p[1].pos, ch1.pos);
}

TEST_F(Dsd2PcmTest, OtherChannelNumbersAreIgnored) {
    translate(0, dsd_noise(10, 9));
    translate(1, dsd_noise(22, 10));
    const auto before = d2p;
    int32_t dst[4] = {1, 2, 3, 4};
    for (int channel : {-1, DSD2PCM_CHANNELS, 1000}) {
        // Nothing is read (a null source would crash) and nothing is written.
        dsd2pcm_translate(channel, 4, nullptr, 1, 0, dst, 1);
        dsd2pcm_reset(channel);
    }
    EXPECT_EQ(dst[0], 1);
    EXPECT_EQ(dst[3], 4);
    EXPECT_EQ(d2p[0].window, before[0].window);
    EXPECT_EQ(d2p[0].pos, before[0].pos);
    EXPECT_EQ(d2p[1].window, before[1].window);
    EXPECT_EQ(d2p[1].pos, before[1].pos);
}
