#include "player/playtask.h"

#include <cstring>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "core/paths.h"
#include "core/state.h"
#include "host/codec_api.h"
#include "player/command.h"
#include "player/resume.h"
#include "support/capture.h"
#include "support/fake_platform.h"
#include "support/files.h"

using namespace pipd;
using pipd::testing::DiagCapture;
using pipd::testing::FakePlatform;
using pipd::testing::read_file;
namespace fs = std::filesystem;

namespace {

// What the fake track runner does for one play.
struct play_script {
    int64_t seconds = 15;        // how long the play takes
    int32_t command = 0;         // a command word the "decoder" receives, 0 for none
    bool halted_by_power = true; // a pending power-on halts at the first poll
};

struct PlayTask : ::testing::Test {
    static inline std::vector<std::string> played;
    static inline std::vector<int32_t> seeks; // the pending seek at each play's start
    static inline std::vector<play_script> script;
    static inline FakePlatform *clock = nullptr;

    static int fake_runner(const char *path) {
        played.emplace_back(path);
        seeks.push_back(ploffset);
        play_script s = script.empty() ? play_script{} : script.front();
        if (!script.empty()) script.erase(script.begin());
        int64_t start = clock->now;
        // A decoder's first poll halts at once while power-on is pending.
        if (s.halted_by_power &&
            (plaction == PLAYER_ACTION_POWER_ON || plaction == PLAYER_ACTION_POWER_OFF))
            return -1;
        if (s.command) checkcmd(s.command);
        clock->advance(s.seconds);
        return clock->now - start >= 10 ? 0 : -1;
    }

    void SetUp() override {
        if (ROOT_PREFIX_LEN == 0) GTEST_SKIP() << "needs a build with PIPD_ROOT";
        fs::remove_all(SCAN_ROOT);
        fs::create_directories(SCAN_ROOT);
        reset_player_state();
        played.clear();
        script.clear();
        clock = &platform;
        playtask_set_runner(fake_runner);
        player_setup();
    }
    void TearDown() override {
        playtask_set_runner(nullptr);
        clear_list();
        if (ROOT_PREFIX_LEN) fs::remove_all(SCAN_ROOT);
    }

    static std::string media(const std::string &rel) { return std::string(SCAN_ROOT) + "/" + rel; }
    static void touch(const std::string &rel) {
        fs::create_directories(fs::path(media(rel)).parent_path());
        std::ofstream(media(rel)) << "x";
    }
    static void write_last(const std::string &volume, int32_t count, const std::string &name) {
        std::ofstream f(media(volume + "/last"), std::ios::binary);
        char buf[LAST_FILE_BYTES] = {};
        std::memcpy(buf, &count, 4);
        std::memcpy(buf + 4, name.data(), name.size());
        f.write(buf, sizeof buf);
    }
    static std::pair<int32_t, std::string> read_last(const std::string &volume) {
        std::ifstream f(media(volume + "/last"), std::ios::binary);
        std::string all((std::istreambuf_iterator<char>(f)), {});
        EXPECT_EQ(all.size(), LAST_FILE_BYTES);
        int32_t count = 0;
        if (all.size() >= 4) std::memcpy(&count, all.data(), 4);
        return {count, all.size() > 4 ? std::string(all.c_str() + 4) : std::string()};
    }

    FakePlatform platform;
    DiagCapture diag;
};

} // namespace

TEST_F(PlayTask, NothingPlaysUntilPowerOnThenTheFirstEntryStartsTwice) {
    touch("USB/a.wav");
    touch("USB/b.wav");
    ASSERT_TRUE(scan_pass());
    int waits = 0;
    platform.on_sleep = [&] {
        if (++waits == 3) checkcmd(PLAYER_ACTION_POWER_ON);
    };
    ASSERT_TRUE(track_pass());
    EXPECT_EQ(waits, 3) << "the loop waits, a second at a time, until power-on";
    ASSERT_TRUE(track_pass());
    ASSERT_EQ(played.size(), 2u);
    EXPECT_EQ(played[0], media("USB/a.wav"));
    EXPECT_EQ(played[1], media("USB/a.wav"));
    EXPECT_EQ(plcnt, 1) << "after a full play the next entry";
    EXPECT_EQ(file_errcnt, 0);
    std::string start_line = "start " + media("USB/a.wav") + " \n";
    std::string text = diag.text();
    ASSERT_NE(text.find(start_line), std::string::npos);
    EXPECT_NE(text.find(start_line), text.rfind(start_line)) << "started twice";
    EXPECT_EQ(read_last("USB"), (std::pair<int32_t, std::string>{1, media("USB/a.wav")}));
}

TEST_F(PlayTask, LastPlayedEntryResumesOnlyWhileItsCountAllows) {
    touch("USB/a.wav");
    touch("USB/b.wav");
    touch("USB/c.wav");
    poweron = 1;
    plaction = PLAYER_ACTION_NONE;
    write_last("USB", 3, media("USB/b.wav"));
    ASSERT_TRUE(scan_pass());
    EXPECT_EQ(plcnt, 1);
    EXPECT_TRUE(diag.contains("last cnt = 3 t=1\n"));
    script = {{.seconds = 3}};
    ASSERT_TRUE(track_pass());
    EXPECT_EQ(read_last("USB"), (std::pair<int32_t, std::string>{4, media("USB/b.wav")}));

    // The next start of the player: count 4 sends it to the top.
    reset_player_state();
    poweron = 1;
    plaction = PLAYER_ACTION_NONE;
    ASSERT_TRUE(scan_pass());
    EXPECT_EQ(plcnt, 0);
    ASSERT_TRUE(track_pass());
    EXPECT_EQ(read_last("USB"), (std::pair<int32_t, std::string>{0, media("USB/a.wav")}));
}

TEST_F(PlayTask, EmptyOrMissingLastFileStartsAtTheTop) {
    touch("USB/a.wav");
    touch("USB/b.wav");
    std::ofstream(media("USB/last")).close();
    ASSERT_TRUE(scan_pass());
    EXPECT_EQ(plcnt, 0);
    EXPECT_TRUE(diag.contains("last cnt = 0 t=0\n"));
    EXPECT_TRUE(
        diag.contains("---------------------------------lasname is " + media("USB/last") + "\n"));
}

TEST_F(PlayTask, LastFileOfAnEntryInTheScanRootStaysInTheScanRoot) {
    touch("a.wav");
    ASSERT_TRUE(scan_pass());
    EXPECT_EQ(std::string(lastfilename), media("last"));
}

TEST_F(PlayTask, LastFileKeepsItsFormatAndStaleBytes) {
    touch("USB/long-name-first.wav");
    touch("USB/z.wav");
    poweron = 1;
    plaction = PLAYER_ACTION_NONE;
    ASSERT_TRUE(scan_pass());
    ASSERT_TRUE(track_pass()); // long name
    ASSERT_TRUE(track_pass()); // z.wav over it
    std::ifstream f(media("USB/last"), std::ios::binary);
    std::string all((std::istreambuf_iterator<char>(f)), {});
    ASSERT_EQ(all.size(), LAST_FILE_BYTES);
    std::string z = media("USB/z.wav");
    EXPECT_EQ(std::string(all.c_str() + 4), z);
    // Bytes past the terminator are what the buffer held: the longer path.
    std::string longer = media("USB/long-name-first.wav");
    EXPECT_EQ(all.substr(4 + z.size() + 1, longer.size() - z.size() - 1),
              longer.substr(z.size() + 1));
    EXPECT_FALSE(fs::exists(media("USB/.last.tmp")));
}

TEST_F(PlayTask, UnwritableMediumIsNoError) {
    touch("USB/a.wav");
    touch("USB/b.wav");
    poweron = 1;
    plaction = PLAYER_ACTION_NONE;
    ASSERT_TRUE(scan_pass());
    fs::create_directories(media("USB/last")); // a directory where the file should be
    ASSERT_TRUE(track_pass());
    ASSERT_TRUE(track_pass());
    EXPECT_EQ(played.size(), 2u);
    EXPECT_FALSE(fs::exists(media("USB/.last.tmp")));
}

TEST_F(PlayTask, RepeatModesChooseTheNextEntry) {
    for (auto f : {"USB/A/1.wav", "USB/A/2.wav", "USB/A/sub/3.wav", "USB/B/1.wav", "USB/C/1.wav",
                   "USB/C/2.wav"})
        touch(f);
    poweron = 1;
    plaction = PLAYER_ACTION_NONE;
    ASSERT_TRUE(scan_pass());
    // Mode 2: the last of a directory goes back to its first; the group of a
    // directory takes in its subdirectories, and a subdirectory is a group.
    repeatmode = 2;
    plcnt = 5;
    EXPECT_EQ(next_index_by_repeat(), 4);
    plcnt = 1;
    EXPECT_EQ(next_index_by_repeat(), 2);
    plcnt = 2;
    EXPECT_EQ(next_index_by_repeat(), 2);
    plcnt = 3;
    EXPECT_EQ(next_index_by_repeat(), 3) << "a directory of one entry repeats it";
    // Mode 0 wraps at the end of the queue; mode 1 stays.
    repeatmode = 0;
    plcnt = 5;
    EXPECT_EQ(next_index_by_repeat(), 0);
    repeatmode = 1;
    EXPECT_EQ(next_index_by_repeat(), 5);

    // Through the loop: mode 2 at the last of C/.
    repeatmode = 2;
    plcnt = 5;
    ASSERT_TRUE(track_pass());
    EXPECT_EQ(plcnt, 4);
}

TEST_F(PlayTask, FailedPlayTakesTheNextEntryOrTheCommandedOne) {
    for (auto f : {"USB/a.wav", "USB/b.wav", "USB/c.wav", "USB/d.wav"}) touch(f);
    poweron = 1;
    plaction = PLAYER_ACTION_NONE;
    ASSERT_TRUE(scan_pass());
    repeatmode = 1;
    script = {{.seconds = 2}};
    ASSERT_TRUE(track_pass());
    EXPECT_EQ(plcnt, 1) << "a short play ignores the repeat mode";
    EXPECT_EQ(file_errcnt, 1);

    // Next pressed after 4 seconds: the command's entry, and the play still counts as failed.
    script = {{.seconds = 4, .command = PLAYER_ACTION_NEXT}};
    ASSERT_TRUE(track_pass());
    EXPECT_EQ(plcnt, 2);
    EXPECT_EQ(file_errcnt, 2);
    EXPECT_EQ(plaction, PLAYER_ACTION_NONE);

    // A jump during a long play.
    script = {{.seconds = 30, .command = 0x80}};
    ASSERT_TRUE(track_pass());
    EXPECT_EQ(plcnt, 1);
    EXPECT_EQ(file_errcnt, 0);
}

TEST_F(PlayTask, ElevenFailuresInARowEndTheTrackLoop) {
    for (int i = 0; i < 13; ++i)
        touch("USB/" + std::string(1, static_cast<char>('a' + i)) + ".wav");
    poweron = 1;
    plaction = PLAYER_ACTION_NONE;
    ASSERT_TRUE(scan_pass());
    script.assign(20, play_script{.seconds = 1});
    int passes = 0;
    while (track_pass()) ++passes;
    EXPECT_EQ(passes, 10);
    EXPECT_EQ(file_errcnt, 11);
    EXPECT_EQ(read_last("USB").second, media("USB/k.wav")) << "the 11th entry is remembered";
}

TEST_F(PlayTask, AfterElevenFailuresTheLoopPausesAndRescans) {
    for (auto f : {"USB/a.wav", "USB/b.wav", "USB/c.wav"}) touch(f);
    poweron = 1;
    plaction = PLAYER_ACTION_NONE;
    script.assign(11, play_script{.seconds = 2});
    int64_t slept_before = platform.slept;
    scan_loop_turn();
    EXPECT_EQ(played.size(), 11u);
    EXPECT_EQ(file_errcnt, 0);
    EXPECT_EQ(platform.slept - slept_before, 1 + 5)
        << "a second after the sort, 5 before the rescan";
    // The rescan resumes at the 11th entry played (a b c a b c a b c a b).
    script.assign(1, play_script{.seconds = 30});
    ASSERT_TRUE(scan_pass());
    EXPECT_EQ(plcnt, 1);
}

TEST_F(PlayTask, MediaThatDisappearsLeadsToARescan) {
    touch("USB/a.wav");
    poweron = 1;
    plaction = PLAYER_ACTION_NONE;
    ASSERT_TRUE(scan_pass());
    fs::remove_all(SCAN_ROOT);    // the stick is pulled
    playtask_set_runner(nullptr); // the real track runner: the file is gone
    for (int i = 0; i < 10; ++i) ASSERT_TRUE(track_pass());
    EXPECT_FALSE(track_pass()) << "the 11th failed play in a row ends the track loop";
    EXPECT_TRUE(diag.contains("can't open file " + media("USB/a.wav") + "\n"));
    EXPECT_FALSE(scan_pass()) << "no media: rescan";
    EXPECT_EQ(plinfo.count, 0);
    EXPECT_EQ(filesystem_init, 0);
}

TEST_F(PlayTask, NoMediaRescansAndWaits) {
    EXPECT_FALSE(scan_pass());
    EXPECT_EQ(platform.slept, 2);
    EXPECT_TRUE(diag.contains("the disk is err\n"));
    EXPECT_EQ(filesystem_init, 0);
    plaction = PLAYER_ACTION_POWER_ON;
    EXPECT_FALSE(scan_pass());
    EXPECT_EQ(platform.slept, 3) << "one second while power-on is pending";
    EXPECT_EQ(poweron, 1);
    EXPECT_EQ(myrandid, 4242);
    EXPECT_EQ(platform.seeded, static_cast<unsigned>(platform.now - 1));
}

TEST_F(PlayTask, ThePositionIsSavedSparinglyAndResumedAlittleEarlier) {
    touch("USB/a.wav");
    touch("USB/b.wav");
    ASSERT_TRUE(scan_pass());
    const std::string b = media("USB/b.wav");
    playstat.name = plinfo.entries[1].path;
    auto note = [&](int64_t seconds_later, uint32_t ms, bool force) {
        platform.advance(seconds_later);
        playstat.elapsed = ms;
        resume_note(force);
        return resume_position(b.c_str()).value_or(UINT32_MAX);
    };
    resume_track_started();
    EXPECT_EQ(note(29, 29000, false), UINT32_MAX) << "not before 30 s";
    EXPECT_EQ(note(1, 30000, false), 30000u);
    EXPECT_EQ(note(10, 40000, false), 30000u) << "not again within 30 s";
    EXPECT_EQ(note(0, 41000, true), 41000u) << "a pause writes at once";
    fs::remove(resume_file_name());
    EXPECT_EQ(note(60, 41000, true), UINT32_MAX) << "an unchanged position is not written";
    EXPECT_EQ(note(0, 50000, true), 50000u);

    // A torn, damaged or foreign file is no position.
    const std::string good = read_file(resume_file_name());
    for (const std::string &bad : {good.substr(0, good.size() - 3), "pipd-resume 1 50000 0\n" + b,
                                   std::string("\x00\x01garbage", 9), good + good}) {
        std::ofstream(resume_file_name(), std::ios::binary) << bad;
        EXPECT_FALSE(resume_position(b.c_str())) << bad;
    }
    std::ofstream(resume_file_name(), std::ios::binary) << good;
    EXPECT_FALSE(resume_position(media("USB/a.wav").c_str())) << "another entry's position";

    // At start the entry of the last file resumes 5 s early, not before its
    // start; the count that guards against a crashing track still holds.
    struct {
        int32_t count;
        uint32_t saved;
        int32_t plcnt, ploffset;
    } const starts[] = {{0, 50000, 1, 45000}, {2, 3000, 1, -1}, {4, 50000, 0, -1}};
    for (const auto &s : starts) {
        write_last("USB", s.count, b);
        playstat.name = plinfo.entries[1].path;
        playstat.elapsed = s.saved;
        resume_note(true);
        reset_player_state();
        poweron = 1;
        plaction = PLAYER_ACTION_NONE;
        ASSERT_TRUE(scan_pass());
        EXPECT_EQ(plcnt, s.plcnt) << s.count;
        ASSERT_TRUE(track_pass());
        EXPECT_EQ(seeks.back(), s.ploffset) << s.count;
    }
    cue_item cues[2] = {{"", 0}, {"", 60000}};
    const play_entry album = {"x", 0, cues, 2};
    EXPECT_EQ(resume_target(62000, album), 60000u) << "not before the cue track's start";
    EXPECT_EQ(resume_target(70000, album), 65000u);
}
