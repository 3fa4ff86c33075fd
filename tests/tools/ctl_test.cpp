// pipd-ctl against the real daemon, with the real sink recording at the pace
// of a device.

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <string>

#include "support/daemon_harness.h"

using namespace pipd;
using namespace pipd::testing;
namespace fs = std::filesystem;

namespace {

struct CtlTest : ::testing::Test {
    void SetUp() override {
        if (ROOT_PREFIX_LEN == 0) GTEST_SKIP() << "needs a build with PIPD_ROOT";
        fs::remove_all(SCAN_ROOT);
        for (auto d : {"USB/A", "USB/B"}) fs::create_directories(Daemon::media(d));
        ASSERT_TRUE(write_tone_wav(Daemon::media("USB/A/a1.wav"), 1, 88200));
        ASSERT_TRUE(write_tone_wav(Daemon::media("USB/A/a2.wav"), 2, 88200));
        ASSERT_TRUE(write_tone_wav(Daemon::media("USB/B/album.wav"), 3, 88200));
        std::ofstream(Daemon::media("USB/B/album.cue"))
            << "TITLE \"Record\"\nFILE \"album.wav\" WAVE\n"
               "  TRACK 01 AUDIO\n    TITLE \"One\"\n    INDEX 01 00:00:00\n"
               "  TRACK 02 AUDIO\n    TITLE \"Two\"\n    INDEX 01 00:01:00\n";
        Daemon::make_pipes();
    }
    void TearDown() override {
        daemon.stop();
        sink.kill_now();
        if (ROOT_PREFIX_LEN) fs::remove_all(SCAN_ROOT);
    }
    ToolResult ctl(std::vector<std::string> args) {
        return run_tool(PIPD_BINARY_DIR "/pipd-ctl", args, dir);
    }
    // The status record as pipd-ctl status --json prints it.
    nlohmann::json status() {
        ToolResult r = ctl({"status", "--json"});
        EXPECT_EQ(r.status, 0) << r.err;
        return nlohmann::json::parse(r.out, nullptr, false);
    }

    TempDir dir;
    Child sink;
    Daemon daemon;
};

} // namespace

TEST_F(CtlTest, SteersTheDaemon) {
    ASSERT_TRUE(sink.start(PIPD_BINARY_DIR "/pipd-sink", {"--record", dir.file("rec.wav")},
                           dir.file("sink.out"), dir.file("sink.err")));
    ASSERT_TRUE(daemon.start(0));
    EXPECT_EQ(status()["status"], "poweroff");

    ToolResult q = ctl({"queue"});
    EXPECT_EQ(q.status, 0);
    EXPECT_EQ(q.out, "   1  media/pi/USB/A/a1.wav\n"
                     "   2  media/pi/USB/A/a2.wav\n"
                     "   3  media/pi/USB/B/album.wav\n"
                     "        1  0:00     One\n"
                     "        2  0:01     Two\n");
    EXPECT_EQ(ctl({"queue", "--json"}).out, read_file(QUEUE_FILE_PATH) + "\n");

    ToolResult on = ctl({"on"});
    EXPECT_EQ(on.status, 0) << on.err;
    ToolResult again = ctl({"on"});
    EXPECT_EQ(again.out, "already on\n") << again.err;

    EXPECT_EQ(ctl({"pause"}).out, "paused\n");
    EXPECT_EQ(ctl({"pause"}).out, "already paused\n");
    EXPECT_EQ(ctl({"resume"}).out, "playing\n");
    EXPECT_EQ(ctl({"resume"}).out, "already playing\n");

    EXPECT_EQ(ctl({"repeat", "dir"}).out, "repeat dir\n");
    EXPECT_EQ(status()["repeat"], "2");
    EXPECT_EQ(ctl({"repeat"}).out, "repeat all\n");

    // Entry 3, cue track 2: the album from 1 s on.
    ToolResult play = ctl({"play", "3", "2"});
    EXPECT_EQ(play.out, "playing 3: media/pi/USB/B/album.wav > Two\n") << play.err;
    ToolResult shown = ctl({"status"});
    // The sheet's texts, the time in the cue track's own (which the seek may not show yet).
    EXPECT_NE(shown.out.find(" (Record)  0:0"), std::string::npos) << shown.out;
    EXPECT_EQ(status()["tags"]["album"], "Record");
    ToolResult watch = ctl({"watch", "--for", "1.5"});
    EXPECT_EQ(watch.status, 0);
    EXPECT_NE(
        watch.out.find("play     3/3  media/pi/USB/B/album.wav - Two  0:01 / 0:02 [##########"),
        std::string::npos)
        << watch.out;
    shown = ctl({"status"});
    EXPECT_NE(shown.out.find("state:    play\n"), std::string::npos) << shown.out;
    EXPECT_NE(shown.out.find("format:   44100 Hz, 16 bit, 2 channels\n"), std::string::npos);

    EXPECT_EQ(ctl({"play", "4"}).status, 2);
    EXPECT_EQ(ctl({"play", "1", "2"}).status, 2) << "entry 1 has no cue tracks";

    EXPECT_EQ(ctl({"off"}).status, 0);
    ToolResult off = ctl({"pause"});
    EXPECT_EQ(off.status, 2);
    EXPECT_NE(off.err.find("the player is off"), std::string::npos);
}

TEST_F(CtlTest, ClearErrorsWithoutTheDaemon) {
    ToolResult r = ctl({"next"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("pipd is not running"), std::string::npos) << r.err;
    r = ctl({"status"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("no status from the daemon"), std::string::npos) << r.err;
    unlink(CMD_FIFO_PATH);
    r = ctl({"prev-dir"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("/tmp/cmdfifo is missing"), std::string::npos) << r.err;
}

TEST_F(CtlTest, UsageOfEveryCommand) {
    for (const char *c :
         {"on", "off", "pause", "resume", "toggle", "next", "prev", "next-dir", "prev-dir", "play",
          "seek", "repeat", "status", "watch", "queue", "send"}) {
        ToolResult h = ctl({c, "--help"});
        EXPECT_EQ(h.status, 0) << c;
        EXPECT_EQ(h.out.rfind(std::string("usage: pipd-ctl ") + c, 0), 0u) << c;
    }
    EXPECT_EQ(ctl({"--help"}).status, 0);
    for (auto args : std::vector<std::vector<std::string>>{{},
                                                           {"dance"},
                                                           {"next", "now"},
                                                           {"play"},
                                                           {"play", "0"},
                                                           {"play", "1", "x"},
                                                           {"seek"},
                                                           {"seek", "1:5"},
                                                           {"repeat", "shuffle"},
                                                           {"status", "--yaml"},
                                                           {"watch", "--for", "-1"},
                                                           {"send", "0x1FFFFFFFF"}}) {
        ToolResult r = ctl(args);
        EXPECT_EQ(r.status, 64) << (args.empty() ? "" : args[0]);
        EXPECT_NE(r.err.find("usage: pipd-ctl"), std::string::npos);
    }
}

// Names from the medium reach the terminal with their control characters
// and stray bytes escaped; --json stays as the daemon wrote it.
TEST_F(CtlTest, NamesReachTheTerminalEscaped) {
    fs::create_directories(fs::path(QUEUE_FILE_PATH).parent_path());
    std::string queue = "[{\"title\":\"USB/\\u001b]0;owned\\u0007\\u007f\xc3\xa9.wav\","
                        "\"count\":\"1\",\"cue\":[\"\\u009b31mX\"],\"cueoffset\":[\"0\"]}]";
    std::ofstream(QUEUE_FILE_PATH) << queue;
    EXPECT_EQ(ctl({"queue"}).out,
              "   1  USB/\\x1b]0;owned\\x07\\x7f\xc3\xa9.wav\n        1  0:00     \\u009b31mX\n");
    EXPECT_EQ(ctl({"queue", "--json"}).out, queue + "\n");
}
