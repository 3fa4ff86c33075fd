#include "player/player_main.h"

#include <gtest/gtest.h>
#include <string>

#include "core/state.h"
#include "host/codec_api.h"
#include "host/outudp.h"
#include "support/capture.h"
#include "support/fake_platform.h"
#include "support/run_tool.h"
#include "support/wav_writer.h"

using namespace pipd;
using namespace pipd::testing;

namespace {

struct TrackRunner : ::testing::Test {
    void SetUp() override {
        reset_player_state();
        plaction = PLAYER_ACTION_NONE;
        ASSERT_TRUE(dir.ok());
    }
    void TearDown() override { outfifo_reset(); }

    // A playable WAV of 2 s, 16-bit stereo.
    std::string wav(const std::string &name) {
        bytes pcm(2 * 44100 * 4, 0);
        fmt_fields f;
        std::string path = dir.file(name);
        EXPECT_TRUE(WavWriter().fmt(f).data(pcm).write(path));
        return path;
    }

    TempDir dir;
    DiagCapture diag;
    PacketCapture packets;
    FakePlatform clock;
};

} // namespace

TEST_F(TrackRunner, PlaysTheFileAndJudgesThePlayByItsDuration) {
    std::string path = wav("a.wav");
    // The fake clock stands still while the decoder runs.
    EXPECT_EQ(player_main(path.c_str()), -1) << "a play of under 10 seconds does not count";
    EXPECT_TRUE(last_track_outcome().decoder_ran);
    EXPECT_EQ(last_track_outcome().decoder_result, 0);
    EXPECT_TRUE(diag.contains("filesize is 352844\n"));
    EXPECT_TRUE(diag.contains("the filetype = 1\n"));
    EXPECT_TRUE(diag.contains("++++++++finish play song\nstart flash outfifo\n"));
    EXPECT_TRUE(diag.contains("++++++++the decoder time is 0s\n"));
    EXPECT_EQ(ci, &cim);
    EXPECT_EQ(cim.filesize, 352844u);
    EXPECT_EQ(playstat.name, path.c_str());

    // Paused for 12 s in the middle: wall-clock time counts pauses.
    int polls = 0;
    plaction = PLAYER_ACTION_PAUSE;
    clock.on_sleep = [&] {
        if (++polls == 12) plaction = PLAYER_ACTION_RESUME;
    };
    EXPECT_EQ(player_main(path.c_str()), 0);
    EXPECT_TRUE(diag.contains("++++++++the decoder time is 12s\n"));
    EXPECT_EQ(isplayiso, 0);
}

TEST_F(TrackRunner, FilesThatCannotBePlayed) {
    EXPECT_EQ(player_main(dir.file("missing.wav").c_str()), -1);
    EXPECT_TRUE(diag.contains("can't open file " + dir.file("missing.wav") + "\n"));
    EXPECT_FALSE(last_track_outcome().decoder_ran);

    // Shorter than the first window: closed at once, nothing flushed.
    bytes small(100000, 0);
    ASSERT_TRUE(WavWriter::write_file(dir.file("short.wav"), small));
    EXPECT_EQ(player_main(dir.file("short.wav").c_str()), -1);
    EXPECT_FALSE(last_track_outcome().decoder_ran);
    EXPECT_TRUE(packets.packets().empty());
    EXPECT_FALSE(diag.contains("the filetype"));

    // A type without a decoder still ends with one flushed packet.
    bytes big(200000, 0);
    ASSERT_TRUE(WavWriter::write_file(dir.file("x.mbi"), big));
    EXPECT_EQ(player_main(dir.file("x.mbi").c_str()), -1);
    EXPECT_FALSE(last_track_outcome().decoder_ran);
    EXPECT_EQ(packets.packets().size(), 1u);
    EXPECT_TRUE(diag.contains("the filetype = 32\n"));
}
