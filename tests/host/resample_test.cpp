// Rates the sink does not take reach it resampled to a table rate of their
// family, at their true pitch and length; table rates pass bit for bit.

#include <cmath>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "host/resample.h"
#include "support/mp3_files.h"
#include "support/sandbox.h"

using namespace pipd;
using namespace pipd::testing;

namespace {

TEST(Resample, TargetIsTheSmallestTableRateOfTheFamilyAtOrAbove) {
    const std::pair<int32_t, int32_t> cases[] = {
        {4000, 48000},    {8000, 48000},    {11025, 44100},   {22050, 44100},
        {32000, 48000},   {37800, 48000},   {44100, 44100},   {47999, 48000},
        {50000, 96000},   {64000, 96000},   {88200, 88200},   {100000, 192000},
        {352800, 176400}, {384000, 192000}, {705600, 176400}, {2822399, 192000}};
    for (auto [rate, target] : cases) EXPECT_EQ(resample_target(rate), target) << rate;
    // Outside the resampled range: none.
    for (int32_t rate : {3999, 0, -5, 2822400, 5644800})
        EXPECT_EQ(resample_target(rate), 0) << rate;
}

TEST(Resample, ConfigureSendsTheTableRateAndReportsTheStreamRate) {
    outfifo_reset();
    playstat_reset(nullptr);
    DiagCapture diag;
    ci_configure(CODEC_CONFIG_FREQUENCY, 32000);
    EXPECT_EQ(tcpbuffer[1], 3);
    EXPECT_EQ(playstat.frequency, 32000);
    EXPECT_TRUE(resample_active());
    EXPECT_TRUE(diag.contains("resampling 32000 Hz to 48000 Hz\nfreq = 48000\n")) << diag.text();
    // A table rate and DSD: no resampler.
    ci_configure(CODEC_CONFIG_FREQUENCY, 88200);
    EXPECT_FALSE(resample_active());
    EXPECT_EQ(tcpbuffer[1], 0x11);
    ci_configure(CODEC_CONFIG_FREQUENCY, 22050);
    EXPECT_EQ(tcpbuffer[1], 0x13);
    ci_configure(CODEC_CONFIG_BPS, 1);
    ci_configure(CODEC_CONFIG_FREQUENCY, DSD_RATE);
    EXPECT_FALSE(resample_active());
    EXPECT_EQ(tcpbuffer[1], 0x10);
    outfifo_reset();
}

class ResampledPlayback : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!have_program("flac") || !have_program("lame") || !have_program("madplay"))
            GTEST_SKIP() << "flac, lame or madplay missing";
        ASSERT_FALSE(dir_.path().empty());
    }
    TempDir dir_;
};

TEST_F(ResampledPlayback, ToneKeepsItsPitchAndLengthInEveryContainer) {
    constexpr double tone = 997;
    struct rate_case {
        int rate, channels, target;
    } rates[] = {{32000, 2, 48000}, {22050, 1, 44100}, {44100, 2, 44100}, {48000, 1, 48000}};
    for (const rate_case &rc : rates) {
        const audio a = sine(rc.channels, rc.rate, static_cast<std::size_t>(12 * rc.rate), tone);
        for (const std::string kind : {"wav", "flac", "mp3"}) {
            SCOPED_TRACE(kind + " " + std::to_string(rc.rate));
            const std::string path = dir_.file("tone." + kind);
            char khz[16];
            std::snprintf(khz, sizeof khz, "%g", rc.rate / 1000.0);
            ASSERT_TRUE(
                kind == "wav" ? write_file(path, wav_bytes(a))
                : kind == "flac"
                    ? flac_encode(a, path, "-5", dir_.path())
                    : lame_encode(a, path, std::string("-b 128 --resample ") + khz, dir_.path()));
            decode_result r = run_decode(path, dir_);
            ASSERT_EQ(r.status, 0) << r.messages;
            int out_rate = 0;
            read_wav24(dir_.file("out.wav"), &out_rate);
            EXPECT_EQ(out_rate, rc.target);
            // What the decoder produced at the stream's own rate.
            const std::size_t in_frames =
                kind == "mp3" ? madplay_samples(path, dir_.path()).size() / 2 : a.frames();
            const std::size_t out_frames = r.samples.size() / 2;
            if (rc.rate == rc.target) {
                EXPECT_EQ(r.messages.find("resampling"), std::string::npos);
                if (kind != "mp3") {
                    EXPECT_EQ(first_difference(r.samples, expected_stereo(a)), -1);
                }
                EXPECT_EQ(out_frames, in_frames);
                continue;
            }
            // Set up once for the stream, never per block or frame.
            const std::string once = "resampling " + std::to_string(rc.rate) + " Hz to " +
                                     std::to_string(rc.target) + " Hz\n";
            EXPECT_EQ(r.messages.find(once), r.messages.rfind(once)) << r.messages;
            EXPECT_NE(r.messages.find(once), std::string::npos) << r.messages;
            const double f = tone_frequency(r.samples, rc.target);
            EXPECT_NEAR(f, tone, tone * 0.001);
            // Every input sample comes out: the length scaled exactly.
            const double want = static_cast<double>(in_frames) * rc.target / rc.rate;
            EXPECT_NEAR(static_cast<double>(out_frames), want, 2.0);
            // The tone runs to the end (the source has it up to its last sample).
            if (kind != "mp3") {
                double sum = 0;
                for (std::size_t i = r.samples.size() - 200; i < r.samples.size(); ++i)
                    sum += static_cast<double>(r.samples[i]) * r.samples[i];
                EXPECT_GT(std::sqrt(sum / 200), 0.5 * 16384 * 256 / std::sqrt(2.0));
            }
            if (rc.channels == 1) {
                bool same = true;
                for (std::size_t i = 0; i + 1 < r.samples.size(); i += 2)
                    same = same && r.samples[i] == r.samples[i + 1];
                EXPECT_TRUE(same) << "mono reaches both channels alike";
            }
        }
    }
}

TEST_F(ResampledPlayback, EachTrackStartsTheResamplerAfresh) {
    const audio a = sine(2, 32000, 5 * 32000, 440);
    const std::string path = dir_.file("tone.wav");
    ASSERT_TRUE(write_file(path, wav_bytes(a)));
    std::vector<std::string> tracks;
    Sandbox sb; // one output for both tracks
    for (int i = 0; i < 2; ++i) {
        sb.packets.clear();
        playstat_reset(path.c_str());
        sb.play(path);
        tracks.push_back(sb.stream());
    }
    // The same packets twice, the last one included: the first track's
    // resampler left nothing behind for the second.
    ASSERT_FALSE(tracks[0].empty());
    EXPECT_EQ(tracks[0], tracks[1]);
    EXPECT_EQ(tracks[0].size(), (5 * 48000 / 512 + 1) * PACKET_BYTES);
}

} // namespace
