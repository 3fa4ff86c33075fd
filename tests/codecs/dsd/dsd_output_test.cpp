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

constexpr int BITS = 13;   // 8192 samples analysed: bins of 21.5 Hz
constexpr int SETTLE = 64; // samples before them
constexpr int TOP = 929;   // the bin of 20 kHz

// Level and in-band noise of a modulated tone at bin `bin`, amplitude 0.5,
// converted at rate Hz (mono).
spectrum_levels measure(uint32_t rate, int bin) {
    Sandbox sb;
    ci = &cim;
    std::vector<int32_t> pcm;
    sb.on_insert = [&](const int32_t *l, const int32_t *, int n) {
        pcm.insert(pcm.end(), l, l + n);
    };
    const std::size_t n = (std::size_t{1} << BITS) + SETTLE;
    const auto dsd = sigma_delta(rate, bin * 176400.0 / (1 << BITS), 0.5, n * (rate / 176400) / 8);
    EXPECT_TRUE(dsd_begin(rate, 1));
    dsd_convert(dsd.data(), 0, 1, static_cast<uint32_t>(dsd.size()), false);
    EXPECT_EQ(pcm.size(), n);
    return spectrum(std::vector<int32_t>(pcm.begin() + SETTLE, pcm.end()), BITS, bin, TOP);
}

TEST(DsdOutput, HigherRatesKeepDsd64sLoudnessAreFlatAndFoldNoNoiseBack) {
    {
        DiagCapture quiet;
        dsd2pcm_init();
    }
    constexpr int KHZ1 = 46; // 990.5 Hz
    const spectrum_levels dsd64 = measure(DSD_RATE, KHZ1);
    for (uint32_t rate : {5644800u, 11289600u, 22579200u}) {
        SCOPED_TRACE(rate);
        const spectrum_levels at1k = measure(rate, KHZ1);
        EXPECT_NEAR(at1k.tone_db, dsd64.tone_db, 0.2);
        EXPECT_LT(at1k.rest_db, dsd64.rest_db + 3) << "DSD64 " << dsd64.rest_db;
        for (int bin : {1, 232, 464, 697, TOP}) // 21.5 Hz, 5, 10, 15 and 20 kHz
            EXPECT_NEAR(measure(rate, bin).tone_db, at1k.tone_db, 0.2) << bin;
    }
}

TEST(DsdOutput, FoldDownIsTheFlacDecodersForOneToSixChannels) {
    const std::vector<uint8_t> v = dsd_noise(6 * 16 * 3, 5);
    std::vector<std::vector<int32_t>> ch(6, std::vector<int32_t>(16));
    for (std::size_t i = 0; i < 6 * 16; ++i) // 24-bit values, the extremes among them
        ch[i / 16][i % 16] =
            i % 7 ? (v[3 * i] << 16 | v[3 * i + 1] << 8 | v[3 * i + 2]) - 8388608 : -8388608;
    const int32_t *in[6] = {ch[0].data(), ch[1].data(), ch[2].data(),
                            ch[3].data(), ch[4].data(), ch[5].data()};
    int32_t left[16], right[16];
    dsd_fold_down(in, 1, 16, left, right);
    EXPECT_EQ(std::vector<int32_t>(left, left + 16), ch[0]);
    EXPECT_EQ(std::vector<int32_t>(right, right + 16), ch[0]);
    for (int channels = 3; channels <= 6; ++channels) {
        SCOPED_TRACE(channels);
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
        dsd_fold_down(in, channels, 16, left, right);
        for (int i = 0; i < 16; ++i) {
            EXPECT_EQ(left[i], flac.left(i)) << i;
            EXPECT_EQ(right[i], flac.right(i)) << i;
        }
    }
}

} // namespace
