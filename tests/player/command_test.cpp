#include "player/command.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <string>
#include <unistd.h>

#include "core/paths.h"
#include "core/state.h"
#include "host/codec_api.h"
#include "player/scan.h"
#include "player/webfile_gen.h"
#include "support/player_state_fixture.h"

using namespace pipd;
using namespace pipd::testing;

namespace {

constexpr int32_t WORD_PAUSE = PLAYER_ACTION_PAUSE;
constexpr int32_t WORD_NEXT = PLAYER_ACTION_NEXT;
constexpr int32_t WORD_PREV = PLAYER_ACTION_PREV;
constexpr int32_t WORD_POWER_OFF = PLAYER_ACTION_POWER_OFF;
constexpr int32_t WORD_POWER_ON = PLAYER_ACTION_POWER_ON;
constexpr int32_t WORD_REPEAT = PLAYER_ACTION_REPEAT;
constexpr int32_t WORD_NEXT_DIR = PLAYER_ACTION_NEXT_DIR;
constexpr int32_t WORD_PREV_DIR = PLAYER_ACTION_PREV_DIR;

int32_t jump_word(int32_t entry, int32_t cue) {
    return entry << 7 | cue;
}

// Player state with a six-entry queue, entry 3 split into 10 cue tracks
// starting at 1 s, 61 s, 121 s, ...; the pipes are anonymous pipes owned by
// the test: commands go in through cmd_write, status records come out of
// status_read.
class Commands : public ::testing::Test {
  protected:
    void SetUp() override {
        reset_player_globals();
        set_queue({"/m/A/1.flac", "/m/A/2.flac", "/m/A/3.flac", "/m/B/cd.flac", "/m/B/4.wav",
                   "/m/C/5.ape"});
        set_cues(3, even_cues(10, 1000, 60000));
        filesystem_init = 1;
        poweron = 1;
        plaction = PLAYER_ACTION_NONE;
        int fds[2];
        ASSERT_EQ(pipe2(fds, O_NONBLOCK), 0);
        cmd_fd = fds[0];
        cmd_write = fds[1];
        ASSERT_EQ(pipe2(fds, O_NONBLOCK), 0);
        status_read = fds[0];
        statusfd = fds[1];
    }
    void TearDown() override {
        close(cmd_fd);
        close(cmd_write);
        close(status_read);
        close(statusfd);
        cmd_fd = -1;
        statusfd = -1;
        reset_player_globals();
    }

    void send(int32_t word) { ASSERT_EQ(write(cmd_write, &word, 4), 4); }

    // Status records written since the last call.
    int status_records() {
        char block[STATUS_SIZE];
        int n = 0;
        while (read(status_read, block, sizeof(block)) == static_cast<ssize_t>(STATUS_SIZE)) ++n;
        return n;
    }

    void expect_state(int32_t cnt, int32_t offset, int32_t action) {
        EXPECT_EQ(plcnt, cnt);
        EXPECT_EQ(ploffset, offset);
        EXPECT_EQ(plaction, action);
    }

    DiagCapture diag;
    int cmd_write = -1;
    int status_read = -1;
};

uint32_t cue_offset(int32_t entry, int32_t k) {
    return plinfo.entries[entry].cues[k].offset;
}

} // namespace

// ---- Single commands against the player state ----

TEST_F(Commands, PauseTogglesAndReplacesWhatWasPending) {
    plaction = PLAYER_ACTION_NEXT;
    checkcmd(WORD_PAUSE);
    EXPECT_EQ(plaction, PLAYER_ACTION_PAUSE);
    checkcmd(WORD_PAUSE);
    EXPECT_EQ(plaction, PLAYER_ACTION_RESUME);
    checkcmd(WORD_PAUSE);
    EXPECT_EQ(plaction, PLAYER_ACTION_PAUSE);
    EXPECT_EQ(diag.take(), "check action is 40000000 plaction=40000001\n"
                           "check action is 40000000 plaction=40000000\n"
                           "check action is 40000000 plaction=40000004\n");
}

TEST_F(Commands, RepeatCyclesThroughThreeModes) {
    plaction = PLAYER_ACTION_PAUSE;
    int seen[3];
    for (int &m : seen) {
        checkcmd(WORD_REPEAT);
        m = repeatmode;
    }
    EXPECT_EQ(seen[0], 1);
    EXPECT_EQ(seen[1], 2);
    EXPECT_EQ(seen[2], 0);
    EXPECT_EQ(plaction, PLAYER_ACTION_PAUSE) << "repeat is never stored as an action";
}

TEST_F(Commands, PowerOffAndOn) {
    checkcmd(WORD_POWER_OFF);
    EXPECT_EQ(poweron, 0);
    EXPECT_EQ(plaction, PLAYER_ACTION_POWER_OFF);
    checkcmd(WORD_POWER_ON);
    EXPECT_EQ(poweron, 1);
    EXPECT_EQ(plaction, PLAYER_ACTION_POWER_ON);
}

TEST_F(Commands, QueueJumps) {
    // Entry 3 from its beginning while entry 5 plays.
    plcnt = 5;
    ploffset = 7000;
    checkcmd(0x180);
    expect_state(3, -1, PLAYER_ACTION_GOTO);
    EXPECT_EQ(diag.take(), "check action is 180 plaction=0\ngo 384\ngo plsize 6\nbut_nok 384\n");

    // Cue position 2 of the entry playing: only a seek, and a pause ends.
    plaction = PLAYER_ACTION_PAUSE;
    checkcmd(0x182);
    expect_state(3, static_cast<int32_t>(cue_offset(3, 2)), PLAYER_ACTION_NONE);
    EXPECT_EQ(diag.take(), "check action is 182 plaction=40000000\ngo 386\ngo plsize 6\n"
                           "but_nok 386\ncue go 3 2\n");

    // Cue position of another entry: change entry, seek at its first poll.
    plcnt = 0;
    checkcmd(jump_word(3, 9));
    expect_state(3, static_cast<int32_t>(cue_offset(3, 9)), PLAYER_ACTION_GOTO);

    // Position 0 of the entry playing restarts it.
    checkcmd(jump_word(3, 0));
    expect_state(3, -1, PLAYER_ACTION_GOTO);

    // Cue position beyond the list: the start of the file.
    plaction = PLAYER_ACTION_NONE;
    ploffset = 5;
    checkcmd(jump_word(3, 10));
    expect_state(3, -1, PLAYER_ACTION_NONE);
    checkcmd(jump_word(1, 1)); // entry without cue tracks
    expect_state(1, -1, PLAYER_ACTION_GOTO);

    // Entry beyond the queue: entry 0.
    checkcmd(jump_word(6, 0));
    expect_state(0, -1, PLAYER_ACTION_GOTO);
    checkcmd(0x03FFFFFF);
    expect_state(0, -1, PLAYER_ACTION_NONE);

    // Word 0 is a jump to entry 0, and is not logged as an action.
    plcnt = 4;
    diag.take();
    checkcmd(0);
    expect_state(0, -1, PLAYER_ACTION_GOTO);
    EXPECT_EQ(diag.take(), "go 0\ngo plsize 6\nbut_nok 0\n");
}

TEST_F(Commands, NextAndPreviousWrapAroundTheQueue) {
    plcnt = 5;
    ploffset = 3000;
    checkcmd(WORD_NEXT);
    expect_state(0, -1, PLAYER_ACTION_NEXT);
    EXPECT_EQ(diag.take(), "check action is 40000001 plaction=0\nplcnt=5,plsize=6\n"
                           "plcnt=0,ploffset=-1,plaction=40000001\n");
    checkcmd(WORD_PREV);
    expect_state(5, -1, PLAYER_ACTION_PREV);
    checkcmd(WORD_PREV);
    expect_state(4, -1, PLAYER_ACTION_PREV);
    checkcmd(WORD_NEXT);
    expect_state(5, -1, PLAYER_ACTION_NEXT);
}

TEST_F(Commands, NextAndPreviousStepThroughCueTracks) {
    plcnt = 3;
    // Inside the 4th cue track: seek to the 5th.
    playstat.elapsed = cue_offset(3, 3) + 500;
    checkcmd(WORD_NEXT);
    expect_state(3, static_cast<int32_t>(cue_offset(3, 4)), PLAYER_ACTION_NONE);
    std::string log = diag.take();
    EXPECT_NE(log.find("plcnt=3,plsize=6\nels=181500,ploffset=1000\nels=181500,ploffset=61000\n"
                       "els=181500,ploffset=121000\nels=181500,ploffset=181000\n"
                       "els=181500,ploffset=241000\nplcnt=3,ploffset=241000,plaction=0\n"),
              std::string::npos)
        << log;
    // ... and previous from there seeks to the start of the 3rd, not the 4th.
    checkcmd(WORD_PREV);
    expect_state(3, static_cast<int32_t>(cue_offset(3, 2)), PLAYER_ACTION_NONE);

    // Inside the last cue track: next entry; previous seeks to the 9th.
    playstat.elapsed = cue_offset(3, 9) + 1;
    checkcmd(WORD_PREV);
    expect_state(3, static_cast<int32_t>(cue_offset(3, 8)), PLAYER_ACTION_NONE);
    checkcmd(WORD_NEXT);
    expect_state(4, -1, PLAYER_ACTION_NEXT);

    // Before the first cue track starts: next and previous leave the entry.
    plcnt = 3;
    playstat.elapsed = 999;
    checkcmd(WORD_NEXT);
    expect_state(4, -1, PLAYER_ACTION_NEXT);
    plcnt = 3;
    checkcmd(WORD_PREV);
    expect_state(2, -1, PLAYER_ACTION_PREV);

    // In the first cue track of entry 0: previous goes to the last entry.
    set_cues(0, even_cues(4, 0, 1000));
    plcnt = 0;
    playstat.elapsed = 500;
    checkcmd(WORD_PREV);
    expect_state(5, -1, PLAYER_ACTION_PREV);
}

TEST_F(Commands, NextAndPreviousInsideADiscImage) {
    plcnt = 5;
    isplayiso = 1;
    iso_playmax = 4;
    ploffset = 9000;
    // Within the image the queue index stays; the pending seek is untouched.
    iso_playcnt = 1;
    checkcmd(WORD_NEXT);
    expect_state(5, 9000, PLAYER_ACTION_NEXT);
    checkcmd(WORD_PREV);
    expect_state(5, 9000, PLAYER_ACTION_PREV);
    // Stepping out of the image moves in the queue.
    iso_playcnt = 3;
    checkcmd(WORD_NEXT);
    expect_state(0, 9000, PLAYER_ACTION_NEXT);
    iso_playcnt = 0;
    checkcmd(WORD_PREV);
    expect_state(5, 9000, PLAYER_ACTION_PREV);
}

TEST_F(Commands, DirectoryCommands) {
    set_queue({"/m/A/1", "/m/A/2", "/m/B/1"});
    plcnt = 1;
    ploffset = 400;
    checkcmd(WORD_NEXT_DIR);
    expect_state(2, -1, PLAYER_ACTION_GOTO);
    EXPECT_EQ(diag.take(), "check action is 40000009 plaction=0\nNEXTDIR\n /m/A/2\ntmpcnt 5\n"
                           "go to 2 /m/B/1\n");
    checkcmd(WORD_PREV_DIR);
    expect_state(0, -1, PLAYER_ACTION_GOTO);
    EXPECT_EQ(diag.take(), "check action is 4000000a plaction=40000005\ntmpcnt 5\n"
                           "first to /m/A/2\nthen go to 0 /m/A/1\n");

    // Both wrap around the end of the queue.
    set_queue({"/m/A/1", "/m/A/2", "/m/B/1", "/m/B/2", "/m/C/1"});
    plcnt = 4;
    checkcmd(WORD_NEXT_DIR);
    EXPECT_EQ(plcnt, 0);
    plcnt = 1;
    checkcmd(WORD_PREV_DIR);
    EXPECT_EQ(plcnt, 4);
    plcnt = 3;
    checkcmd(WORD_PREV_DIR);
    EXPECT_EQ(plcnt, 0);
    checkcmd(WORD_NEXT_DIR);
    EXPECT_EQ(plcnt, 2);

    // Every entry in the current directory: nowhere to go, nothing changes.
    set_queue({"/m/A/1", "/m/A/2", "/m/A/sub/3"});
    diag.take();
    for (int32_t word : {WORD_NEXT_DIR, WORD_PREV_DIR}) {
        plcnt = 1;
        ploffset = 1234;
        plaction = PLAYER_ACTION_PAUSE;
        checkcmd(word);
        expect_state(1, 1234, PLAYER_ACTION_PAUSE);
        EXPECT_EQ(diag.take().find("go to"), std::string::npos);
    }
}

TEST_F(Commands, EmptyQueueAndIndexOutsideIt) {
    clear_list();
    plcnt = 0;
    ploffset = 1500;
    checkcmd(WORD_NEXT);
    expect_state(0, 1500, PLAYER_ACTION_NEXT);
    checkcmd(WORD_PREV);
    expect_state(0, 1500, PLAYER_ACTION_PREV);
    plaction = PLAYER_ACTION_NONE;
    checkcmd(WORD_NEXT_DIR);
    checkcmd(WORD_PREV_DIR);
    expect_state(0, 1500, PLAYER_ACTION_NONE);
    checkcmd(jump_word(2, 3));
    expect_state(0, -1, PLAYER_ACTION_NONE);
    checkcmd(jump_word(2, 0));
    expect_state(0, -1, PLAYER_ACTION_GOTO);

    // plcnt outside the queue: the result lands inside it.
    set_queue({"/m/A/1", "/m/A/2", "/m/B/1"});
    plcnt = 10;
    checkcmd(WORD_NEXT);
    EXPECT_EQ(plcnt, 2);
    plcnt = -4;
    checkcmd(WORD_NEXT);
    EXPECT_EQ(plcnt, 0);
    plcnt = -1;
    checkcmd(WORD_PREV);
    EXPECT_EQ(plcnt, 1);
    plcnt = INT32_MAX;
    checkcmd(WORD_NEXT);
    EXPECT_EQ(plcnt, 2);
    plcnt = 7; // taken as entry 0 by the directory commands
    checkcmd(WORD_NEXT_DIR);
    EXPECT_EQ(plcnt, 2);
}

TEST_F(Commands, UnknownWordsAreOnlyLogged) {
    plcnt = 2;
    ploffset = 77;
    plaction = PLAYER_ACTION_PAUSE;
    repeatmode = 1;
    for (int32_t word : {0x04000000, 0x40000003, 0x4000000b, 0x3FFFFFFF, -1, 0x7FFFFFFF}) {
        checkcmd(word);
        expect_state(2, 77, PLAYER_ACTION_PAUSE);
        EXPECT_EQ(poweron, 1);
        EXPECT_EQ(repeatmode, 1);
        char line[64];
        std::snprintf(line, sizeof(line), "check action is %x plaction=40000000\n",
                      static_cast<unsigned>(word));
        EXPECT_EQ(diag.take(), line);
    }
}

TEST_F(Commands, RandomWordsKeepTheStateSound) {
    diag_set_stream(nullptr);
    std::mt19937 rng(20240611);
    const int32_t known[] = {WORD_PAUSE,    WORD_NEXT,   WORD_PREV,     WORD_POWER_OFF,
                             WORD_POWER_ON, WORD_REPEAT, WORD_NEXT_DIR, WORD_PREV_DIR};
    const char *dirs[] = {"/m/A/", "/m/B/", "/m/B/x/", "/m/C/", "", "/"};
    for (int round = 0; round < 200; ++round) {
        std::vector<std::string> paths;
        int n = static_cast<int>(rng() % 12);
        for (int k = 0; k < n; ++k)
            paths.push_back(std::string(dirs[rng() % 6]) + std::to_string(rng() % 100));
        std::sort(paths.begin(), paths.end());
        set_queue(paths);
        for (int k = 0; k < n; ++k)
            if (rng() % 3 == 0)
                set_cues(k, even_cues(1 + static_cast<int>(rng() % 5), rng() % 2000, 500));
        isplayiso = static_cast<int32_t>(rng() % 2);
        iso_playmax = static_cast<int32_t>(rng() % 5);
        iso_playcnt = static_cast<int32_t>(rng() % 6) - 1;
        plcnt = n > 0 ? static_cast<int32_t>(rng() % n) : 0;
        for (int step = 0; step < 30; ++step) {
            int32_t word;
            switch (rng() % 4) {
            case 0:
                word = static_cast<int32_t>(rng());
                break;
            case 1:
                word = jump_word(static_cast<int32_t>(rng() % 16), static_cast<int32_t>(rng() % 8));
                break;
            default:
                word = known[rng() % 8];
            }
            playstat.elapsed = rng() % 4000;
            checkcmd(word);
            if (n > 0) {
                ASSERT_TRUE(plcnt >= 0 && plcnt < n) << "word " << word;
            }
            ASSERT_TRUE(repeatmode >= 0 && repeatmode <= 2);
            int32_t param = -5;
            ci_get_command(&param);
            status_records();
        }
        // Indices outside the queue do not crash anything either.
        plcnt = static_cast<int32_t>(rng() % 40) - 20;
        for (int32_t word : known) checkcmd(word);
    }
}

// ---- ci_get_command ----

TEST_F(Commands, PollReadsOneWordAtATime) {
    send(WORD_NEXT);
    send(WORD_PAUSE);
    int32_t param = -5;
    EXPECT_EQ(ci_get_command(&param), CODEC_ACTION_HALT);
    EXPECT_EQ(plaction, PLAYER_ACTION_NEXT);
    EXPECT_EQ(diag.take(), "read from cmd fifo 40000001\ncheck action is 40000001 plaction=0\n"
                           "plcnt=0,plsize=6\nplcnt=1,ploffset=-1,plaction=40000001\n"
                           "check_cmd_fifo()=40000001\n");
    EXPECT_EQ(ci_get_command(&param), CODEC_ACTION_PAUSE);
    EXPECT_EQ(ci_get_command(&param), CODEC_ACTION_PAUSE);
    EXPECT_EQ(status_records(), 2) << "a status record at every poll while paused";
    EXPECT_EQ(param, -5);
}

TEST_F(Commands, PollPrecedence) {
    int32_t param = -5;
    // Nothing pending: none, param untouched, nothing printed.
    EXPECT_EQ(ci_get_command(&param), CODEC_ACTION_NONE);
    EXPECT_EQ(param, -5);
    EXPECT_EQ(diag.take(), "");

    // Pause comes before a pending seek.
    ploffset = 30000;
    plaction = PLAYER_ACTION_PAUSE;
    EXPECT_EQ(ci_get_command(&param), CODEC_ACTION_PAUSE);
    EXPECT_EQ(param, -5);
    EXPECT_EQ(status_records(), 1);

    // A track change comes before it too.
    for (int32_t a : {PLAYER_ACTION_NEXT, PLAYER_ACTION_PREV, PLAYER_ACTION_GOTO}) {
        plaction = a;
        EXPECT_EQ(ci_get_command(&param), CODEC_ACTION_HALT);
    }
    EXPECT_NE(diag.take().find("check_cmd_fifo()=40000005\nplaction act go return halt\n"),
              std::string::npos);

    // The seek comes before power, and repeats until it is acknowledged.
    plaction = PLAYER_ACTION_POWER_OFF;
    for (int k = 0; k < 3; ++k) {
        param = -5;
        EXPECT_EQ(ci_get_command(&param), CODEC_ACTION_SEEK_TIME);
        EXPECT_EQ(param, 30000);
    }
    std::string seek_lines = "check_cmd_fifo()=40000006\nCODEC_ACTION_SEEK_TIME,goto 30000\n";
    EXPECT_EQ(diag.take(), seek_lines + seek_lines + seek_lines);
    ci_seek_complete();
    param = -5;
    EXPECT_EQ(ci_get_command(&param), CODEC_ACTION_HALT);
    plaction = PLAYER_ACTION_POWER_ON;
    EXPECT_EQ(ci_get_command(&param), CODEC_ACTION_HALT);
    EXPECT_EQ(param, -5);

    // After a resume: nothing to do, or the seek still pending.
    plaction = PLAYER_ACTION_RESUME;
    EXPECT_EQ(ci_get_command(&param), CODEC_ACTION_NONE);
    ploffset = 0;
    EXPECT_EQ(ci_get_command(&param), CODEC_ACTION_SEEK_TIME);
    EXPECT_EQ(param, 0);
}

TEST_F(Commands, DiscImageStepIsDeliveredOnce) {
    plcnt = 5;
    isplayiso = 1;
    iso_playmax = 4;
    iso_playcnt = 1;
    int32_t param = -5;

    // A step inside the image: once, then nothing is left pending.
    send(WORD_NEXT);
    EXPECT_EQ(ci_get_command(&param), CODEC_ACTION_ISO_NEXT);
    EXPECT_EQ(ci_get_command(&param), CODEC_ACTION_NONE);
    EXPECT_EQ(ci_get_command(&param), CODEC_ACTION_NONE);
    EXPECT_EQ(plaction, PLAYER_ACTION_NONE) << "the image ending later is a normal end";
    EXPECT_EQ(plcnt, 5);

    // Each press is one step.
    iso_playcnt = 2;
    send(WORD_PREV);
    EXPECT_EQ(ci_get_command(&param), CODEC_ACTION_ISO_PREV);
    iso_playcnt = 1;
    send(WORD_PREV);
    EXPECT_EQ(ci_get_command(&param), CODEC_ACTION_ISO_PREV);
    EXPECT_EQ(ci_get_command(&param), CODEC_ACTION_NONE);
}

TEST_F(Commands, DiscImageStepOutReachesThePlayerTask) {
    plcnt = 5;
    isplayiso = 1;
    iso_playmax = 4;
    iso_playcnt = 3;
    int32_t param = -5;

    send(WORD_NEXT);
    EXPECT_EQ(ci_get_command(&param), CODEC_ACTION_ISO_NEXT);
    // The decoder leaves the image; polls before it returns see no new step
    // but still a pending seek.
    EXPECT_EQ(ci_get_command(&param), CODEC_ACTION_NONE);
    ploffset = 2000;
    EXPECT_EQ(ci_get_command(&param), CODEC_ACTION_SEEK_TIME);
    ploffset = -1;
    expect_state(0, -1, PLAYER_ACTION_NEXT); // what the player task acts on

    // A second press is a new step, delivered again.
    send(WORD_NEXT);
    EXPECT_EQ(ci_get_command(&param), CODEC_ACTION_ISO_NEXT);
    EXPECT_EQ(plcnt, 1);

    // The player task clears the action; a step from the first track of the
    // next image goes back out of it.
    plaction = PLAYER_ACTION_NONE;
    plcnt = 5;
    iso_playcnt = 0;
    EXPECT_EQ(ci_get_command(&param), CODEC_ACTION_NONE);
    send(WORD_PREV);
    EXPECT_EQ(ci_get_command(&param), CODEC_ACTION_ISO_PREV);
    EXPECT_EQ(ci_get_command(&param), CODEC_ACTION_NONE);
    expect_state(4, -1, PLAYER_ACTION_PREV);

    // Outside an image, next halts at every poll until the player task acts.
    isplayiso = 0;
    plaction = PLAYER_ACTION_NEXT;
    EXPECT_EQ(ci_get_command(&param), CODEC_ACTION_HALT);
    EXPECT_EQ(ci_get_command(&param), CODEC_ACTION_HALT);
}

// ---- The command pipe itself ----

TEST_F(Commands, NamedPipeAppliesOnlyWholeWords) {
    if (!make_private_tmp()) GTEST_SKIP() << "no private root";
    close(cmd_fd);
    close(cmd_write);
    cmd_write = -1;
    ASSERT_TRUE(make_fifo(CMD_FIFO_PATH));
    ASSERT_GE(open_cmd_fifo(), 0);
    EXPECT_EQ(diag.take(), "");

    // No writer yet: nothing to read.
    EXPECT_EQ(check_cmd_fifo(), 0);

    cmd_write = open(CMD_FIFO_PATH, O_WRONLY | O_NONBLOCK);
    ASSERT_GE(cmd_write, 0);
    send(WORD_REPEAT);
    send(WORD_POWER_OFF);
    EXPECT_EQ(check_cmd_fifo(), 1);
    EXPECT_EQ(repeatmode, 1);
    EXPECT_EQ(plaction, PLAYER_ACTION_NONE) << "one word per read";
    EXPECT_EQ(check_cmd_fifo(), 1);
    EXPECT_EQ(plaction, PLAYER_ACTION_POWER_OFF);
    EXPECT_EQ(check_cmd_fifo(), 0);
    EXPECT_EQ(diag.take(), "read from cmd fifo 40000008\ncheck action is 40000008 plaction=0\n"
                           "read from cmd fifo 40000006\ncheck action is 40000006 plaction=0\n");

    // Half a word is read and dropped; the next whole word still counts.
    int32_t word = WORD_POWER_ON;
    ASSERT_EQ(write(cmd_write, &word, 2), 2);
    EXPECT_EQ(check_cmd_fifo(), 0);
    EXPECT_EQ(plaction, PLAYER_ACTION_POWER_OFF);
    EXPECT_EQ(diag.take(), "");
    send(WORD_POWER_ON);
    EXPECT_EQ(ci_get_command(nullptr), CODEC_ACTION_HALT);
    EXPECT_EQ(plaction, PLAYER_ACTION_POWER_ON);

    // The writer goes away: end of file is no word.
    close(cmd_write);
    cmd_write = -1;
    EXPECT_EQ(check_cmd_fifo(), 0);
    EXPECT_EQ(plaction, PLAYER_ACTION_POWER_ON);
}

TEST_F(Commands, MissingPipeIsReportedOnce) {
    if (!make_private_tmp()) GTEST_SKIP() << "no private root";
    close(cmd_fd);
    unlink(CMD_FIFO_PATH);
    EXPECT_EQ(open_cmd_fifo(), -1);
    EXPECT_EQ(cmd_fd, -1);
    EXPECT_EQ(diag.take(), std::string(41, '#') + "\nopen_cmd_fifo error\n");
    EXPECT_EQ(check_cmd_fifo(), 0);
    int32_t param = -5;
    EXPECT_EQ(ci_get_command(&param), CODEC_ACTION_NONE);
    EXPECT_EQ(diag.take(), "");
}
