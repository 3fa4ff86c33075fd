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

TEST_F(TrackRunner, APlayIsJudgedByItsOutcomeNotItsLength) {
    std::string path = wav("a.wav");
    // Two seconds, ended by itself: a success, its stream held for the next.
    EXPECT_EQ(player_main(path.c_str()), 0);
    EXPECT_FALSE(diag.contains("start flash outfifo"));

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
    struct row {
        const char *name;
        std::size_t bytes; // of a silent WAV; SIZE_MAX: no file
        int result;
        bool decoder_ran;
        const char *said;
    } const rows[] = {
        {"missing.wav", SIZE_MAX, -1, false, "can't open file "},
        {"empty.wav", 0, -1, false, "can't read file "},
        {"x.mbi", 200000, -1, false, "the filetype = 32\n"},  // no decoder for the type
        {"short.wav", 100000, 0, true, "the filetype = 1\n"}, // under one window: it plays
    };
    for (const row &r : rows) {
        const std::string path = dir.file(r.name);
        if (r.bytes == 0) {
            ASSERT_TRUE(write_file(path, bytes{}));
        } else if (r.bytes != SIZE_MAX) {
            ASSERT_TRUE(WavWriter().fmt(fmt_fields{}).data(bytes(r.bytes, 0)).write(path));
        }
        const std::size_t before = packets.packets().size();
        EXPECT_EQ(player_main(path.c_str()), r.result) << r.name;
        // A failure leaves nothing pending: no packet waits on the pipe.
        if (r.result < 0) {
            EXPECT_EQ(packets.packets().size(), before) << r.name;
        }
        EXPECT_EQ(last_track_outcome().decoder_ran, r.decoder_ran) << r.name;
        EXPECT_TRUE(diag.contains(r.said)) << r.name;
    }
}
