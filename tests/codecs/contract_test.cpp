// What every decoder owes the host, whatever its format: a pause poll waits
// through the host's pause helper and then goes on, a halt ends the track
// normally, a seek is acknowledged or ignored as the decoder documents, and
// every insert publishes the status. A new decoder is one more row.

#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "codecs/dsd/dsd2pcm.h"
#include "support/ape_files.h"
#include "support/dsd_files.h"
#include "support/flac_files.h"
#include "support/mp3_files.h"
#include "support/sacd_image.h"
#include "support/sandbox.h"

using namespace pipd;
using namespace pipd::testing;

namespace {

struct decoder_row {
    const char *name;
    // Writes a file of a few seconds, at least the first window; "" when
    // the reference encoder it needs is missing.
    std::string (*make)(const TempDir &dir);
    bool acknowledges_seek; // false: a seek is ignored
};

audio pcm16() {
    return make_audio(source_kind::noise, 2, 16, 44100, 3 * 44100, 5);
}

const decoder_row rows[] = {
    {"WAV", [](const TempDir &d) { return d.write("t.wav", wav_bytes(pcm16())); }, true},
    {"FLAC",
     [](const TempDir &d) {
         return flac_encode(pcm16(), d.file("t.flac"), "-5", d.path()) ? d.file("t.flac") : "";
     },
     true},
    {"MP3",
     [](const TempDir &d) {
         const audio a = make_audio(source_kind::music, 2, 16, 44100, 5 * 44100, 5);
         return lame_encode(a, d.file("t.mp3"), "-b 320", d.path()) ? d.file("t.mp3") : "";
     },
     true},
    {"APE",
     [](const TempDir &d) {
         const std::string made = jmac_file(pcm16(), "contract16", "c2000");
         return made.empty() ? "" : d.write("t.ape", padded(read_bytes(made)));
     },
     true},
    {"DSF",
     [](const TempDir &d) {
         dsf_fields s;
         s.data = dsd_noise(100 * 8192, 1); // 1.16 s
         return d.write("t.dsf", dsf_file(s));
     },
     true},
    {"DFF",
     [](const TempDir &d) {
         const bytes sound = dff_chunk("DSD ", dsd_noise(90 * 9408, 2)); // 1.2 s
         return d.write("t.dff", dff_file(dff_cat({dff_standard_prop(), sound})));
     },
     true},
    {"SACD",
     [](const TempDir &d) {
         return one_area(sample_tracks()).build().write(d.file("t.iso")) ? d.file("t.iso") : "";
     },
     true},
};

class DecoderContract : public ::testing::TestWithParam<decoder_row> {
  protected:
    void SetUp() override {
        DiagCapture quiet;
        dsd2pcm_init();
        path_ = GetParam().make(dir_);
        if (path_.empty()) GTEST_SKIP() << "no reference encoder for " << GetParam().name;
    }
    TempDir dir_;
    std::string path_;
};

TEST_P(DecoderContract, PauseWaitsThroughTheHostThenGoesOnAndHaltEndsNormally) {
    Sandbox sb;
    sb.script({CODEC_ACTION_NONE, CODEC_ACTION_PAUSE, CODEC_ACTION_PAUSE, CODEC_ACTION_NONE,
               CODEC_ACTION_HALT});
    EXPECT_EQ(sb.play(path_), 0) << sb.diag.text();
    EXPECT_EQ(sb.platform.sleeps, 2) << "one wait of the host per pause poll";
    EXPECT_EQ(sb.platform.slept, 2);
    EXPECT_EQ(sb.polls, 5u) << "polled on after the pause, up to the halt";
    // Every insert publishes the status first.
    EXPECT_FALSE(sb.inserts.empty());
    EXPECT_EQ(sb.status_records, static_cast<int>(sb.inserts.size()));
}

TEST_P(DecoderContract, SeekIsAcknowledgedOrIgnored) {
    Sandbox sb;
    sb.script({CODEC_ACTION_NONE, CODEC_ACTION_SEEK_TIME, CODEC_ACTION_NONE, CODEC_ACTION_HALT},
              1000);
    ploffset = 1000; // as the player has it while the seek is pending
    EXPECT_EQ(sb.play(path_), 0) << sb.diag.text();
    EXPECT_EQ(ploffset, GetParam().acknowledges_seek ? -1 : 1000);
    EXPECT_EQ(sb.polls, 4u);
}

INSTANTIATE_TEST_SUITE_P(EveryDecoder, DecoderContract, ::testing::ValuesIn(rows),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
