// The real daemon on real named pipes, with the test as sink and client.

#include <cstring>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <thread>

#include "core/state.h"
#include "support/daemon_harness.h"
#include "support/dsd_model.h"
#include "support/sacd_image.h"

using namespace pipd;
using namespace pipd::testing;
namespace fs = std::filesystem;

namespace {

constexpr uint32_t FRAMES = 66150; // 1.5 s at 44100 Hz

// Queue order: 0 A/a1, 1 A/a2, 2 B/b1, 3 B/b2, 4 C/album (3 cue tracks).
struct DaemonTest : ::testing::Test {
    void SetUp() override {
        if (ROOT_PREFIX_LEN == 0) GTEST_SKIP() << "needs a build with PIPD_ROOT";
        fs::remove_all(SCAN_ROOT);
        ASSERT_TRUE(write_test_tree(
            FRAMES, "PERFORMER \"Band\"\nFILE \"album.wav\" WAVE\n"
                    "  TRACK 01 AUDIO\n    TITLE \"One\"\n    INDEX 01 00:00:00\n"
                    "  TRACK 02 AUDIO\n    TITLE \"Two\"\n    INDEX 01 00:00:30\n"
                    "  TRACK 03 AUDIO\n    TITLE \"Three\"\n    INDEX 01 00:01:00\n"));
        daemon.make_pipes();
    }
    void TearDown() override {
        daemon.stop();
        if (HasFailure())
            std::cerr << "---- daemon log tail ----\n" << tail(daemon.log(), 4000) << "\n";
        if (ROOT_PREFIX_LEN) fs::remove_all(SCAN_ROOT);
    }
    static std::string tail(const std::string &s, std::size_t n) {
        return s.size() > n ? s.substr(s.size() - n) : s;
    }
    static std::pair<int32_t, std::string> last_file() {
        std::string all = read_file(Daemon::media("USB/last"));
        if (all.size() != 516) return {-1, "size " + std::to_string(all.size())};
        int32_t count;
        std::memcpy(&count, all.data(), 4);
        return {count, std::string(all.c_str() + 4)};
    }
    // Powers on and waits for the first entry's audio.
    void power_on_and_expect(int id, uint32_t from_frame = 0) {
        daemon.send(PLAYER_ACTION_POWER_ON);
        auto p = daemon.until_playing(id);
        ASSERT_TRUE(p) << "no audio of file " << id;
        EXPECT_EQ(p->position(), from_frame);
    }

    Daemon daemon;
};

} // namespace

TEST_F(DaemonTest, PowerTransportAndJumps) {
    ASSERT_TRUE(daemon.start());
    EXPECT_TRUE(daemon.status_shows("{ \"status\":\"poweroff\",\"playqueueCount\":\"5\","));
    EXPECT_TRUE(daemon.silent_for(700)) << "nothing plays before power-on";

    // The queue report.
    nlohmann::json queue = nlohmann::json::parse(read_file(QUEUE_FILE_PATH));
    ASSERT_EQ(queue.size(), 5u);
    EXPECT_EQ(queue[0]["title"], "media/pi/USB/A/a1.wav");
    EXPECT_EQ(queue[4]["count"], "512");
    EXPECT_EQ(queue[4]["cue"], (nlohmann::json{"One", "Two", "Three"}));
    EXPECT_EQ(queue[4]["cueoffset"], (nlohmann::json{"0", "390", "1000"}));

    // Words sent while off or paused are taken as they come, not one a
    // second: nine repeat presses (three full turns) delay nothing.
    auto nine_repeats = [&] {
        for (int i = 0; i < 9; ++i) daemon.send(PLAYER_ACTION_REPEAT);
    };
    nine_repeats();
    power_on_and_expect(1);
    std::string start_a1 = "start " + Daemon::media("USB/A/a1.wav") + " \n";
    std::string log = daemon.log();
    ASSERT_NE(log.find(start_a1), std::string::npos);
    EXPECT_NE(log.find(start_a1), log.rfind(start_a1))
        << "halted by the pending power-on, then again";
    EXPECT_TRUE(daemon.status_shows("\"status\":\"play\""));
    EXPECT_TRUE(daemon.status_shows("\"track\":\"media/pi/USB/A/a1.wav\" }"));

    daemon.send(PLAYER_ACTION_NEXT);
    EXPECT_EQ(daemon.until_other_than(1), 2);
    daemon.send(PLAYER_ACTION_PREV);
    EXPECT_EQ(daemon.until_other_than(2), 1);

    // Pause: what is in the pipe drains, then nothing; resume plays on.
    daemon.send(PLAYER_ACTION_PAUSE);
    daemon.drain(400);
    EXPECT_TRUE(daemon.silent_for(1200));
    EXPECT_TRUE(daemon.status_shows("\"status\":\"pause\""));
    nine_repeats();
    daemon.send(PLAYER_ACTION_PAUSE);
    auto resumed = daemon.packet();
    ASSERT_TRUE(resumed);
    EXPECT_TRUE(daemon.status_shows("\"status\":\"play\""));

    // Jump to entry 3, then to the third cue track of entry 4.
    daemon.send(3 << 7);
    EXPECT_EQ(daemon.until_other_than(1), 4);
    daemon.send((4 << 7) | 2);
    auto album = daemon.until_playing(5);
    ASSERT_TRUE(album);
    EXPECT_EQ(album->position(), 44100u) << "the cue track starts at 1000 ms";
    EXPECT_EQ(album->rate_code(), 19);
    EXPECT_TRUE(daemon.alive());
}

// A medium where every file is refused before its decoder asks for a
// command: words still act between the files and in the rest after too many
// failures.
TEST_F(DaemonTest, ObeysCommandsOnAMediumOfUnplayableFiles) {
    fs::remove_all(SCAN_ROOT);
    fs::create_directories(Daemon::media("USB/bad"));
    for (int i = 0; i < 12; ++i)
        std::ofstream(Daemon::media("USB/bad/" + std::to_string(10 + i) + ".wav")) << "RIFF junk";
    ASSERT_TRUE(daemon.start());
    daemon.send(PLAYER_ACTION_POWER_ON);
    // In the rest after eleven failures a jump starts its entry at once.
    ASSERT_NE(daemon.log_at("a rest of"), std::string::npos);
    std::size_t from = daemon.log().size();
    daemon.send(7 << 7);
    std::string start_17 = "start " + Daemon::media("USB/bad/17.wav") + " \n";
    std::size_t at = daemon.log_at(start_17, from);
    ASSERT_NE(at, std::string::npos) << "nothing started within 3 s of the jump";
    EXPECT_EQ(daemon.log_at("start /", from), at) << "the jump is the next start";
    // Between two refused files, off powers off.
    daemon.send(PLAYER_ACTION_POWER_OFF);
    EXPECT_TRUE(daemon.status_shows("\"status\":\"poweroff\"", 3000));
    EXPECT_TRUE(daemon.alive());
}

TEST_F(DaemonTest, DirectoriesAndASinkRestart) {
    ASSERT_TRUE(daemon.start());
    power_on_and_expect(1);
    daemon.send(PLAYER_ACTION_NEXT_DIR);
    auto b = daemon.until_playing(3);
    ASSERT_TRUE(b) << "next directory from A/a1 is B/b1";
    EXPECT_EQ(b->position(), 0u);
    daemon.send(PLAYER_ACTION_NEXT_DIR);
    EXPECT_EQ(daemon.until_other_than(3), 5);
    daemon.send(PLAYER_ACTION_PREV_DIR);
    EXPECT_EQ(daemon.until_other_than(5), 3) << "previous directory from C is B's first";
    daemon.send(PLAYER_ACTION_PREV_DIR);
    EXPECT_EQ(daemon.until_other_than(3), 1);

    // The sink goes away mid-track and comes back: the daemon waits for it
    // and goes on with the same track.
    auto before = daemon.packet();
    ASSERT_TRUE(before);
    ASSERT_EQ(before->id(), 1);
    // The daemon may not write (and so notice) for a while on a slow machine:
    // wait for it to see the sink gone, else the reopening goes untested.
    std::size_t from = daemon.log().size();
    daemon.close_sink();
    daemon.log_at("no reader", from);
    EXPECT_TRUE(daemon.alive());
    daemon.open_sink();
    std::optional<packet_view> after;
    for (int i = 0; i < 50 && !(after && after->is_tone_run()); ++i) after = daemon.packet();
    ASSERT_TRUE(after && after->is_tone_run());
    EXPECT_EQ(after->id(), 1);
    EXPECT_GT(after->position(), before->position());
    EXPECT_TRUE(daemon.alive());
    EXPECT_NE(daemon.log().find("outfifo reopened"), std::string::npos);

    // Garbage words and a partial word change nothing; the daemon plays on.
    std::mt19937 rng(7);
    for (int i = 0; i < 500; ++i)
        daemon.send(static_cast<int32_t>(0x40000010u + rng() % 0x10000000u));
    daemon.send_bytes("\x01\x00", 2);
    for (int i = 0; i < 300; ++i) ASSERT_TRUE(daemon.packet()) << "stalled after the flood";
    EXPECT_TRUE(daemon.alive());
}

TEST_F(DaemonTest, RepeatModesAtTheEndOfAnEntry) {
    // A play only counts, and only then follows the repeat mode, after ten
    // seconds: each case pauses the track for that long.
    ASSERT_TRUE(daemon.start());
    power_on_and_expect(1);
    auto long_play = [this] {
        daemon.send(PLAYER_ACTION_PAUSE);
        daemon.drain(300);
        std::this_thread::sleep_for(std::chrono::milliseconds(10500));
        daemon.send(PLAYER_ACTION_PAUSE);
    };

    daemon.send(PLAYER_ACTION_REPEAT); // 1: the same entry again
    long_play();
    EXPECT_TRUE(daemon.status_shows("\"repeat\":\"1\""));
    // Read on until the entry starts over.
    std::optional<packet_view> p;
    uint32_t last_pos = 0;
    for (int i = 0; i < 400; ++i) {
        p = daemon.packet();
        ASSERT_TRUE(p);
        if (!p->is_tone_run()) continue;
        if (p->position() < last_pos) break;
        last_pos = p->position();
    }
    ASSERT_TRUE(p && p->is_tone_run());
    EXPECT_EQ(p->id(), 1);
    // Gapless: the entry's start shares a packet with its end before.
    EXPECT_LT(p->position(), 512u);

    daemon.send(PLAYER_ACTION_REPEAT); // 2: the directory again
    daemon.send(PLAYER_ACTION_NEXT);
    ASSERT_TRUE(daemon.until_playing(2));
    long_play();
    EXPECT_EQ(daemon.until_other_than(2), 1) << "after A's last entry, A's first";

    daemon.send(PLAYER_ACTION_REPEAT); // 0: the whole queue
    daemon.send(4 << 7);
    ASSERT_TRUE(daemon.until_playing(5));
    long_play();
    EXPECT_EQ(daemon.until_other_than(5), 1) << "after the last entry, the first";
}

TEST_F(DaemonTest, LastPlayedEntrySurvivesRestartsWithinItsCount) {
    ASSERT_TRUE(daemon.start());
    power_on_and_expect(1);
    daemon.send(2 << 7);
    ASSERT_TRUE(daemon.until_playing(3));
    daemon.stop(); // the sink stopped reading: b1 is still playing
    EXPECT_EQ(last_file(), (std::pair<int32_t, std::string>{0, Daemon::media("USB/B/b1.wav")}));

    // Started again: b1 resumes (halted once by the power-on, then played).
    for (int32_t expect_count : {2, 4}) {
        daemon.make_pipes();
        ASSERT_TRUE(daemon.start());
        EXPECT_TRUE(daemon.silent_for(500));
        power_on_and_expect(3);
        daemon.stop();
        EXPECT_EQ(last_file(),
                  (std::pair<int32_t, std::string>{expect_count, Daemon::media("USB/B/b1.wav")}));
    }
    // Started four times in a row: back to the top of the queue.
    daemon.make_pipes();
    ASSERT_TRUE(daemon.start());
    power_on_and_expect(1);
    daemon.stop();
    EXPECT_EQ(last_file(), (std::pair<int32_t, std::string>{1, Daemon::media("USB/A/a1.wav")}));
}

TEST_F(DaemonTest, DiscImageTracksAreStepsOfNextAndPrevious) {
    // Entry 5: a disc image of three tracks, each of one DSD byte repeated,
    // which the sink hears as one level per track. A track lasts 460
    // packets; a step shows within 100 (the pipe holds 16), so a step that
    // was not taken cannot pass for the image playing on. The frames are
    // DST frames (stored plain), as on most discs.
    const uint8_t pattern[3] = {0xFF, 0x0F, 0x3C};
    const char *titles[3] = {"First", "Second \"2\"", "Third"};
    std::vector<track> tracks(3);
    int32_t level[3];
    for (int k = 0; k < 3; ++k) {
        bytes frame(pipd::testing::FRAME + 1, pattern[k]);
        frame[0] = 0; // a plain DST frame: header byte, then the DSD
        tracks[k].frames.assign(100, frame);
        tracks[k].text = {{1, titles[k]}};
        level[k] = halved(model_pcm(bytes(100, pattern[k]))).back();
    }
    fs::create_directories(Daemon::media("USB/D"));
    packing dst;
    dst.dst = true;
    ASSERT_TRUE(one_area(tracks, dst).build().write(Daemon::media("USB/D/disc.iso")));
    // Reads packets until one plays track k of the image throughout.
    auto image_track = [this, &level](int k) {
        for (int i = 0; i < 100; ++i) {
            auto p = daemon.packet();
            if (!p) return false;
            bool all = true;
            for (int f = 0; f < 512 && all; ++f)
                all = p->left(f) == level[k] && p->right(f) == level[k];
            if (all) return true;
        }
        return false;
    };

    ASSERT_TRUE(daemon.start());
    power_on_and_expect(1);
    daemon.send(PLAYER_ACTION_PREV); // from the first entry back to the last: the image
    EXPECT_TRUE(image_track(0));
    EXPECT_TRUE(daemon.status_shows("\"frequency\":\"2822400\",\"bps\":\"1\""));
    EXPECT_TRUE(daemon.status_shows("\"track\":\"media/pi/USB/D/disc.iso >First\" }"));
    daemon.send(PLAYER_ACTION_NEXT);
    EXPECT_TRUE(image_track(1));
    EXPECT_TRUE(daemon.status_shows("disc.iso >Second \\\"2\\\"\" }"));
    daemon.send(PLAYER_ACTION_NEXT);
    EXPECT_TRUE(image_track(2));
    daemon.send(PLAYER_ACTION_PREV);
    EXPECT_TRUE(image_track(1));
    daemon.send(PLAYER_ACTION_PREV);
    EXPECT_TRUE(image_track(0));
    daemon.send(PLAYER_ACTION_PREV); // previous on the first track leaves the image
    EXPECT_TRUE(daemon.until_playing(5, 100));
    daemon.send(5 << 7); // back by a jump (next would step the album's cue tracks)
    EXPECT_TRUE(image_track(0));
    daemon.send(PLAYER_ACTION_NEXT);
    EXPECT_TRUE(image_track(1));
    daemon.send(PLAYER_ACTION_NEXT);
    EXPECT_TRUE(image_track(2));
    daemon.send(PLAYER_ACTION_NEXT); // next on the last track: the queue wraps to the first entry
    EXPECT_TRUE(daemon.until_playing(1, 100));
    EXPECT_TRUE(daemon.alive());
}

TEST_F(DaemonTest, MakesMissingPipesForItsGroup) {
    for (const char *p : {CMD_FIFO_PATH, STATUS_FIFO_PATH, OUTPUT_FIFO_PATH}) unlink(p);
    ASSERT_TRUE(daemon.start(0));
    struct want {
        const char *path;
        mode_t mode;
    };
    for (want w :
         {want{CMD_FIFO_PATH, 0620}, want{STATUS_FIFO_PATH, 0640}, want{OUTPUT_FIFO_PATH, 0640}}) {
        struct stat st {};
        for (int i = 0; i < 300 && stat(w.path, &st) != 0; ++i) usleep(10000);
        EXPECT_TRUE(S_ISFIFO(st.st_mode)) << w.path;
        EXPECT_EQ(st.st_mode & 07777, w.mode) << w.path;
        // The system makes them at boot the same way.
        char line[128];
        std::snprintf(line, sizeof line, "p %s %04o pipd pipd -", w.path, w.mode);
        std::string tmpfiles = read_file(PIPD_BINARY_DIR "/packaging/pipd.tmpfiles");
        std::string squeezed;
        for (char c : tmpfiles)
            if (c != ' ' || squeezed.empty() || squeezed.back() != ' ') squeezed += c;
        EXPECT_NE(squeezed.find(line), std::string::npos) << line << "\n" << tmpfiles;
    }
    daemon.open_cmd();
    daemon.open_sink(); // the daemon goes on once a sink reads
    power_on_and_expect(1);
}

// Short tracks play in order with no gap between them, and a run of quick
// steps is no failure of the medium: neither rests nor rescans.
TEST_F(DaemonTest, ShortTracksPlayGaplessAndQuickStepsAreNoFailures) {
    fs::remove_all(SCAN_ROOT);
    const double seconds[] = {0.5, 0.7, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0.5, 0.5};
    for (int id = 1; id <= 13; ++id) {
        const std::string name = "USB/S/" + std::to_string(10 + id) + ".wav";
        fs::create_directories(Daemon::media("USB/S"));
        ASSERT_TRUE(write_tone_wav(Daemon::media(name), id,
                                   static_cast<uint32_t>(seconds[id - 1] * 44100)));
    }
    ASSERT_TRUE(daemon.start());
    daemon.send(PLAYER_ACTION_POWER_ON);
    // Every frame follows the one before: within a file, or from the last
    // frame of one file to the first of the next.
    int id = 0;
    uint32_t next = 0;
    while (id < 12) {
        auto p = daemon.packet();
        ASSERT_TRUE(p) << "the audio stopped in file " << id;
        for (int k = 0; k < 512; ++k) {
            auto f = p->frame(k);
            if (id == 0 && !f) continue; // before the first file
            ASSERT_TRUE(f) << "a gap after frame " << next << " of file " << id;
            const bool goes_on = f->first == id && f->second == next;
            const bool next_file = f->first == id + 1 && f->second == 0 &&
                                   (id == 0 || next == uint32_t(seconds[id - 1] * 44100));
            ASSERT_TRUE(goes_on || next_file) << f->first << ":" << f->second;
            id = f->first;
            next = f->second + 1;
        }
    }
    // Twelve quick steps from the first entry reach the thirteenth.
    daemon.send(queue_jump_word(0, 0));
    ASSERT_TRUE(daemon.until_playing(1, 2000));
    for (int i = 0; i < 12; ++i) daemon.send(PLAYER_ACTION_NEXT);
    EXPECT_EQ(daemon.until_other_than(1, 2000), 13);
    EXPECT_EQ(daemon.log().find("a rest of"), std::string::npos);
}

// Killed mid-track after a pause, the player starts again where the music
// stopped, five seconds earlier.
TEST_F(DaemonTest, ResumesWhereTheMusicStopped) {
    ASSERT_TRUE(write_tone_wav(Daemon::media("USB/B/b1.wav"), 3, 30 * 44100));
    ASSERT_TRUE(daemon.start());
    power_on_and_expect(1);
    daemon.send(queue_jump_word(2, 0));
    std::optional<packet_view> p;
    do p = daemon.until_playing(3);
    while (p && p->position() < 12 * 44100);
    ASSERT_TRUE(p);
    daemon.send(PLAYER_ACTION_PAUSE);
    ASSERT_TRUE(daemon.status_shows("\"status\":\"pause\"", 3000));
    daemon.stop();
    const uint32_t heard = p->position();

    daemon.make_pipes();
    ASSERT_TRUE(daemon.start());
    daemon.send(PLAYER_ACTION_POWER_ON);
    auto q = daemon.until_playing(3);
    ASSERT_TRUE(q);
    // The pipe held a little more than the test had read when it paused.
    EXPECT_GE(q->position() + 5 * 44100, heard);
    EXPECT_LE(q->position() + 5 * 44100, heard + 44100);
}
