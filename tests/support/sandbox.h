// Test sandbox: one track played in this process as the daemon plays it.
// Every piece of player state is reset first (player state, output, play
// status, input window) and put back after; the clock is the fake platform;
// diagnostics, packets and status records are captured; the decoder's polls
// for commands can be answered from a script.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <fcntl.h>
#include <functional>
#include <string>
#include <unistd.h>
#include <vector>

#include "core/state.h"
#include "host/buffer.h"
#include "host/codec_api.h"
#include "host/outudp.h"
#include "player/player_main.h"
#include "player/webfile_gen.h"
#include "support/capture.h"
#include "support/fake_platform.h"

namespace pipd::testing {

class Sandbox {
  public:
    struct packet {
        std::vector<int32_t> words; // header included, as written
        int valid;                  // words that hold this packet's samples
    };

    // The player as the daemon has it when a track starts: no status pipe,
    // state, output and window cleared, power on, no action pending.
    explicit Sandbox(const char *name = "") : saved_(cim) {
        EXPECT_EQ(current(), nullptr) << "one sandbox at a time";
        current() = this;
        status_fifo_detach();
        reset_player_state();
        outfifo_reset();
        bufinfo_reset();
        poweron = 1;
        plaction = PLAYER_ACTION_NONE;
        playstat_reset(name);
        outfifo_set_sink(collect);
        outfifo_set_status_hook([] { ++current()->status_records; });
        cim.ci_pcmbuf_insert = insert;
        cim.ci_set_elapsed = [](uint32_t ms) {
            current()->elapsed.push_back(ms);
            ci_set_elapsed(ms);
        };
    }
    ~Sandbox() {
        cim = saved_;
        outfifo_set_sink(nullptr);
        outfifo_set_status_hook(nullptr);
        outfifo_reset();
        plaction = PLAYER_ACTION_NONE;
        ploffset = -1;
        current() = nullptr;
    }
    Sandbox(const Sandbox &) = delete;
    Sandbox &operator=(const Sandbox &) = delete;

    FakePlatform platform; // platform.slept: the seconds the host waited
    DiagCapture diag;
    std::vector<packet> packets;
    std::function<void()> on_packet; // after each packet
    std::vector<int> inserts;        // frames of each ci_pcmbuf_insert
    std::vector<uint32_t> elapsed;   // each ci_set_elapsed
    int status_records = 0;          // runs of the status hook
    std::function<void(const int32_t *, const int32_t *, int)> on_insert;

    // The decoder's polls answered in turn from answers (CODEC_ACTION_NONE
    // after them), a seek with seek_ms; on_poll runs before each answer.
    void script(std::vector<int> answers, int32_t seek_ms = 0) {
        answers_ = std::move(answers);
        seek_ms_ = seek_ms;
        cim.ci_get_command = scripted;
    }
    std::size_t polls = 0;
    std::function<void()> on_poll;
    // A next command once the host has slept n times.
    void next_after_sleeps(int n) {
        platform.on_sleep = [this, n] {
            if (platform.sleeps == n) plaction = PLAYER_ACTION_NEXT;
        };
    }

    // Plays path through the track runner; the decoder's result. Unless
    // the next play goes on with the stream (gapless), the stream ends.
    int play(const std::string &path, bool stream_ends = true) {
        player_main(path.c_str());
        if (stream_ends) flash_outfifo();
        EXPECT_TRUE(last_track_outcome().decoder_ran) << path;
        return last_track_outcome().decoder_result;
    }
    // The track runner's preparation and end around run, without its
    // refusal of files shorter than the first window: the window holds what
    // the file has.
    int play_window(const std::string &path, int (*run)()) {
        ci = &cim;
        const int fd = open(path.c_str(), O_RDONLY);
        EXPECT_TRUE(fd >= 0 && player_malloc()) << path;
        cim.filesize = static_cast<uint32_t>(lseek(fd, 0, SEEK_END));
        lseek(fd, 0, SEEK_SET);
        bufinfo.fd = fd;
        ssize_t r = 0;
        while (bufinfo.bufsize < static_cast<uint32_t>(INPUT_WINDOW_SIZE) &&
               (r = read(fd, bufinfo.buf + bufinfo.bufsize, INPUT_WINDOW_SIZE - bufinfo.bufsize)) >
                   0)
            bufinfo.bufsize += static_cast<uint32_t>(r);
        bufinfo.fpos = bufinfo.bufsize;
        bufinfo.cur = bufinfo.buf;
        playstat.name = path.c_str();
        const int result = run();
        flash_outfifo();
        bufinfo.fd = -1;
        close(fd);
        return result;
    }

    // The samples of the packets, left and right in turn.
    std::vector<int32_t> samples() const {
        std::vector<int32_t> out;
        for (const packet &p : packets)
            for (int i = PACKET_HEADER_WORDS; i + 1 < p.valid; i += 2)
                out.insert(out.end(), {p.words[i + 1], p.words[i]});
        return out;
    }
    // The bytes of the packets as the pipe would carry them.
    std::string stream() const {
        std::string out;
        for (const packet &p : packets)
            out.append(reinterpret_cast<const char *>(p.words.data()), p.words.size() * 4);
        return out;
    }

  private:
    static Sandbox *&current() {
        static Sandbox *s = nullptr;
        return s;
    }
    static void collect(const int32_t *words, std::size_t bytes, int valid) {
        current()->packets.push_back({std::vector<int32_t>(words, words + bytes / 4), valid});
        if (current()->on_packet) current()->on_packet();
    }
    static int insert(const int32_t *first, const int32_t *second, int count) {
        current()->inserts.push_back(count);
        if (current()->on_insert) current()->on_insert(first, second, count);
        return ci_pcmbuf_insert(first, second, count);
    }
    static int scripted(int32_t *param) {
        Sandbox &s = *current();
        if (s.on_poll) s.on_poll();
        const std::size_t i = s.polls++;
        const int action = i < s.answers_.size() ? s.answers_[i] : CODEC_ACTION_NONE;
        if (action == CODEC_ACTION_SEEK_TIME && param) *param = s.seek_ms_;
        return action;
    }

    codec_api saved_;
    std::vector<int> answers_;
    int32_t seek_ms_ = 0;
};

// What host_play collects: the samples of the packets per channel, their
// rate codes, the diagnostics and the play status.
struct host_play_result {
    bool ran = false;
    int result = 0; // the decoder's
    std::vector<int32_t> left, right;
    std::vector<int32_t> codes; // rate code of each packet
    std::string messages;
    play_status stat{};
    int sleeps = 0;
};

// How the player is steered while the track plays.
struct host_play_script {
    int32_t action = PLAYER_ACTION_NONE; // pending when the track starts
    int32_t seek_ms = -1;                // pending seek when the track starts
    int halt_after_sleeps = -1;          // a next command after that many sleeps
};

// Plays path in a sandbox through the track runner; with direct set, runs
// that decoder itself over a window of whatever the file holds (files
// shorter than the first window).
inline host_play_result host_play(const std::string &path, const host_play_script &script = {},
                                  int (*direct)() = nullptr) {
    host_play_result r;
    Sandbox sb(path.c_str());
    plaction = script.action;
    ploffset = script.seek_ms;
    sb.next_after_sleeps(script.halt_after_sleeps);
    if (direct) {
        r.result = sb.play_window(path, direct);
        r.ran = true;
    } else {
        player_main(path.c_str());
        flash_outfifo();
        r.ran = last_track_outcome().decoder_ran;
        r.result = last_track_outcome().decoder_result;
    }
    r.messages = sb.diag.text();
    r.sleeps = sb.platform.sleeps;
    for (const Sandbox::packet &p : sb.packets) {
        r.codes.push_back(p.words[1]);
        for (int i = PACKET_HEADER_WORDS; i + 1 < p.valid; i += 2) {
            r.right.push_back(p.words[i]);
            r.left.push_back(p.words[i + 1]);
        }
    }
    r.stat = playstat;
    r.stat.name = nullptr;
    return r;
}

} // namespace pipd::testing
