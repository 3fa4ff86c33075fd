// The DSD output stage: the converters of the rates above DSD64 measured on
// sigma-delta modulated tones against the DSD64 converter, and the stereo
// fold-down against the FLAC decoder's.

#include "codecs/dsd/dsd_output.h"

#include <gtest/gtest.h>
#include <vector>

#include "codecs/dsd/dsd2pcm.h"
#include "support/dsd_model.h"
#include "support/flac_frames.h"
#include "support/sandbox.h"

using namespace pipd;
using namespace pipd::testing;

namespace {

// 8192 samples (bins of 21.5 Hz) of a modulated tone at bin `bin`, amplitude
// 0.5, converted at rate Hz after 64 samples to settle.
std::vector<int32_t> converted_tone(uint32_t rate, int bin) {
    Sandbox sb;
    ci = &cim;
    std::vector<int32_t> pcm;
    sb.on_insert = [&](const int32_t *l, const int32_t *, int n) {
        pcm.insert(pcm.end(), l, l + n);
    };
    const auto dsd =
        sigma_delta(rate, bin * 176400.0 / 8192, 0.5, (8192 + 64) * (rate / 176400) / 8);
    EXPECT_TRUE(dsd_begin(rate, 1));
    dsd_convert(dsd.data(), 0, 1, static_cast<uint32_t>(dsd.size()), false);
    return {pcm.end() - 8192, pcm.end()};
}

// Power of the bins from 64 Hz to 20 kHz but the tone's and three either side.
double in_band_noise_db(const std::vector<int32_t> &pcm, int tone) {
    double power = 0.0;
    for (int k = 3; k <= 929; ++k)
        if (std::abs(k - tone) > 3) power += std::pow(10.0, bin_db(pcm, k) / 10);
    return 10 * std::log10(power);
}

TEST(DsdOutput, HigherRatesKeepDsd64sLoudnessAreFlatAndFoldNoNoiseBack) {
    {
        DiagCapture quiet;
        dsd2pcm_init();
    }
    constexpr int KHZ1 = 46; // 990.5 Hz
    const std::vector<int32_t> dsd64 = converted_tone(DSD_RATE, KHZ1);
    for (uint32_t rate : {5644800u, 11289600u, 22579200u}) {
        SCOPED_TRACE(rate);
        const std::vector<int32_t> tone = converted_tone(rate, KHZ1);
        const double level = bin_db(tone, KHZ1);
        EXPECT_NEAR(level, bin_db(dsd64, KHZ1), 0.2);
        EXPECT_LT(in_band_noise_db(tone, KHZ1), in_band_noise_db(dsd64, KHZ1) + 3);
        for (int bin : {1, 232, 464, 697, 929}) // 21.5 Hz, 5, 10, 15 and 20 kHz
            EXPECT_NEAR(bin_db(converted_tone(rate, bin), bin), level, 0.2) << bin;
    }
}

TEST(DsdOutput, FoldDownIsTheFlacDecodersForOneToSixChannels) {
    const std::vector<uint8_t> v = dsd_noise(6 * 16 * 3, 5);
    std::vector<std::vector<int32_t>> ch(6, std::vector<int32_t>(16, -8388608)); // 24-bit values
    for (std::size_t i = 0; i < 6 * 16; ++i)
        if (i % 7) ch[i / 16][i % 16] += v[3 * i] << 16 | v[3 * i + 1] << 8 | v[3 * i + 2];
    const int32_t *in[6] = {ch[0].data(), ch[1].data(), ch[2].data(),
                            ch[3].data(), ch[4].data(), ch[5].data()};
    std::vector<int32_t> left(16), right(16);
    dsd_fold_down(in, 1, 16, left.data(), right.data());
    EXPECT_EQ(left, ch[0]);
    EXPECT_EQ(right, ch[0]);
    for (int channels = 3; channels <= 6; ++channels) {
        frame_header h;
        h.ch_code = channels - 1;
        h.ss_code = 6; // 24 bits
        bit_writer w;
        write_header(w, h);
        for (int c = 0; c < channels; ++c) {
            w.put(0x02, 8); // VERBATIM
            for (int32_t x : ch[c]) w.put_signed(x, 24);
        }
        test_context flac(channels, 24);
        ASSERT_EQ(flac.decode(finish_frame(w)), 0);
        dsd_fold_down(in, channels, 16, left.data(), right.data());
        for (int i = 0; i < 16; ++i)
            EXPECT_TRUE(left[i] == flac.left(i) && right[i] == flac.right(i))
                << channels << " " << i;
    }
}

} // namespace
