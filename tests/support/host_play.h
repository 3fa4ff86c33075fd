// Test helper: one file played in this process through the host layer, as
// the daemon plays it, with everything the host hands on collected: the
// samples of the packets per channel, their rate codes, the diagnostics
// and the play status.
#pragma once

#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <functional>
#include <string>
#include <unistd.h>
#include <vector>

#include "host/buffer.h"
#include "host/codec_api.h"
#include "host/outudp.h"
#include "core/platform.h"
#include "player/player_main.h"
#include "core/state.h"
#include "player/webfile_gen.h"
#include "support/capture.h"

namespace pipd::testing {

// The player as the daemon has it when a track starts: no status pipe, the
// state and the output buffer cleared, power on, no action pending.
inline void power_on_player(const char *name = "") {
    status_fifo_detach();
    reset_player_state();
    outfifo_reset();
    poweron = 1;
    plaction = PLAYER_ACTION_NONE;
    playstat_reset(name);
}

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

namespace host_play_detail {
inline host_play_result *current = nullptr;
inline host_play_script script;

inline void collect(const int32_t *words, std::size_t, int valid) {
    current->codes.push_back(words[1]);
    for (int i = PACKET_HEADER_WORDS; i + 1 < valid; i += 2) {
        current->right.push_back(words[i]);
        current->left.push_back(words[i + 1]);
    }
}
inline int64_t no_time() {
    return 0;
}
inline void count_sleep(unsigned) {
    if (++current->sleeps == script.halt_after_sleeps) plaction = PLAYER_ACTION_NEXT;
}
inline void no_seed(unsigned) {}
inline int no_random() {
    return 0;
}

// The track runner's preparation and end, without its refusal of files
// shorter than the first window: the window holds what the file has.
inline void run_short(const std::string &path, int (*run)()) {
    cim.ci_read_filebuf_raw = ci_read_filebuf_raw;
    cim.ci_seek_buffer_raw = ci_seek_buffer_raw;
    cim.ci_advance_buffer_raw = ci_advance_buffer_raw;
    cim.ci_request_buffer_raw = ci_request_buffer_raw;
    ci = &cim;
    bufinfo_reset();
    if (!player_malloc()) return;
    const int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) return;
    cim.filesize = static_cast<uint32_t>(lseek(fd, 0, SEEK_END));
    lseek(fd, 0, SEEK_SET);
    bufinfo.fd = fd;
    uint32_t got = 0;
    for (ssize_t r; got < static_cast<uint32_t>(INPUT_WINDOW_SIZE); got += static_cast<uint32_t>(r))
        if ((r = read(fd, bufinfo.buf + got, INPUT_WINDOW_SIZE - got)) <= 0) break;
    bufinfo.bufsize = got;
    bufinfo.fpos = got;
    bufinfo.cur = bufinfo.buf;
    playstat.name = path.c_str();
    current->result = run();
    current->ran = true;
    flash_outfifo();
    bufinfo.fd = -1;
    close(fd);
}
} // namespace host_play_detail

// Plays path through the track runner; with direct set, runs that decoder
// itself over a window of whatever the file holds (files shorter than the
// first window).
inline host_play_result host_play(const std::string &path, const host_play_script &script = {},
                                  int (*direct)() = nullptr) {
    namespace d = host_play_detail;
    host_play_result r;
    d::current = &r;
    d::script = script;
    static const platform_ops ops = {d::no_time, d::count_sleep, d::no_seed, d::no_random};
    platform_set(&ops);
    power_on_player(path.c_str());
    plaction = script.action;
    ploffset = script.seek_ms;
    outfifo_set_sink(d::collect);
    {
        DiagCapture diag;
        if (direct) {
            d::run_short(path, direct);
        } else {
            player_main(path.c_str());
            r.ran = last_track_outcome().decoder_ran;
            r.result = last_track_outcome().decoder_result;
        }
        r.messages = diag.text();
    }
    r.stat = playstat;
    r.stat.name = nullptr;
    outfifo_set_sink(nullptr);
    platform_set(nullptr);
    plaction = PLAYER_ACTION_NONE;
    ploffset = -1;
    d::current = nullptr;
    return r;
}

} // namespace pipd::testing
