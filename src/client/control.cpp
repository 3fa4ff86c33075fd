#include "client/control.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "client/command_pipe.h"
#include "client/now_playing.h"
#include "client/queue_report.h"
#include "client/status_source.h"
#include "core/paths.h"
#include "protocol/commands.h"

namespace pipd::client {

namespace {

using clock_type = std::chrono::steady_clock;

// Waits until a fresh record satisfies done.
bool wait_for(status_source &src, const std::function<bool(const status &)> &done) {
    auto until = clock_type::now() + std::chrono::milliseconds(STATUS_WAIT_MS);
    while (clock_type::now() < until && !stop_requested) {
        auto s = src.latest(STATUS_WAIT_MS);
        if (!s) return false;
        if (done(*s)) return true;
    }
    return false;
}

} // namespace

int no_status() {
    std::fprintf(stderr,
                 "pipd-ctl: no status from the daemon within %d s: is pipd running, with a "
                 "sink reading its output?\n",
                 STATUS_WAIT_MS / 1000);
    return EXIT_NO_DAEMON;
}

// ---- Commands -----------------------------------------------------------

int send_word(int32_t word) {
    auto w = pipd::client::write_command_word(pipd::CMD_FIFO_PATH, word);
    if (w.what == w.not_opened) {
        if (w.error == ENXIO)
            std::fprintf(stderr, "pipd-ctl: pipd is not running (nobody reads %s)\n",
                         pipd::CMD_FIFO_PATH);
        else if (w.error == ENOENT)
            std::fprintf(stderr, "pipd-ctl: %s is missing: is pipd installed and started?\n",
                         pipd::CMD_FIFO_PATH);
        else
            std::fprintf(stderr, "pipd-ctl: cannot write %s: %s\n", pipd::CMD_FIFO_PATH,
                         std::strerror(w.error));
        return EXIT_NO_DAEMON;
    }
    if (w.what == w.not_written) {
        std::fprintf(stderr, "pipd-ctl: the command was not taken: %s\n",
                     w.error == EAGAIN ? "the command pipe is full (the daemon is stuck?)"
                                       : std::strerror(w.error));
        return EXIT_NO_DAEMON;
    }
    return EXIT_OK;
}

// A fresh status of a player that is on; nothing, after saying why, with
// the exit code in *code.
std::optional<status> status_when_on(status_source &src, int *code) {
    auto s = src.fresh(STATUS_WAIT_MS);
    if (!s) {
        *code = no_status();
    } else if (s->state == "poweroff") {
        std::fprintf(stderr, "pipd-ctl: the player is off (pipd-ctl on)\n");
        *code = EXIT_REFUSED;
        s.reset();
    }
    return s;
}

// pause and resume: the channel has one toggle, sent only when it changes
// something.
int pause_or_resume(bool pause) {
    auto src = open_status_source();
    if (!src) return EXIT_NO_DAEMON;
    int code = EXIT_OK;
    auto s = status_when_on(*src, &code);
    if (!s) return code;
    const char *want = pause ? "pause" : "play";
    if (s->state == want) {
        std::printf("already %s\n", pause ? "paused" : "playing");
        return EXIT_OK;
    }
    if (int r = send_word(pipd::PLAYER_ACTION_PAUSE)) return r;
    if (!wait_for(*src, [want](const status &t) { return t.state == want; })) {
        std::fprintf(stderr, "pipd-ctl: the status does not show %s\n", want);
        return EXIT_NO_DAEMON;
    }
    std::printf("%s\n", pause ? "paused" : "playing");
    return EXIT_OK;
}

// on: a power-on while the player is on restarts the entry playing, so it
// is only sent to a player that is off (or that shows no status).
int power_on() {
    auto src = open_status_source();
    if (!src) return EXIT_NO_DAEMON;
    auto s = src->fresh(STATUS_WAIT_MS);
    if (s && s->state != "poweroff") {
        std::printf("already on\n");
        return EXIT_OK;
    }
    return send_word(pipd::PLAYER_ACTION_POWER_ON);
}

// repeat [MODE]: the channel steps through the modes all, one, dir.
int repeat(const std::optional<int> &target) {
    auto src = open_status_source();
    if (!src) return EXIT_NO_DAEMON;
    auto s = src->fresh(STATUS_WAIT_MS);
    if (!s) return no_status();
    long mode = s->repeat;
    int steps = target ? (*target - static_cast<int>(mode) + 3) % 3 : 1;
    for (int i = 0; i < steps; ++i) {
        if (int r = send_word(pipd::PLAYER_ACTION_REPEAT)) return r;
        long next = (mode + 1) % 3;
        if (!wait_for(*src, [next](const status &t) { return t.repeat == next; })) {
            std::fprintf(stderr, "pipd-ctl: the status does not show repeat mode %s\n",
                         REPEAT_NAMES[next]);
            return EXIT_NO_DAEMON;
        }
        mode = next;
    }
    std::printf("repeat %s\n", REPEAT_NAMES[mode]);
    return EXIT_OK;
}

// ---- The queue ----------------------------------------------------------

int show_queue(bool as_json) {
    if (as_json) {
        auto text = read_queue_text();
        if (!text) return EXIT_NO_DAEMON;
        std::fwrite(text->data(), 1, text->size(), stdout);
        std::fputc('\n', stdout);
        return EXIT_OK;
    }
    auto q = load_queue();
    if (!q) return EXIT_NO_DAEMON;
    if (q->empty()) std::printf("the queue is empty\n");
    for (std::size_t i = 0; i < q->size(); ++i) {
        const queue_entry &e = (*q)[i];
        std::printf("%4zu  %s\n", i + 1, e.title.c_str());
        for (std::size_t k = 0; k < e.cues.size(); ++k)
            std::printf("      %3zu  %-8s %s\n", k + 1, clock_text(e.cue_ms[k]).c_str(),
                        e.cues[k].c_str());
    }
    return EXIT_OK;
}

// play N [TRACK]: entries and cue tracks are numbered from 1, as the queue
// lists them.
int play(long entry, long track) {
    auto q = load_queue();
    if (!q) return EXIT_NO_DAEMON;
    if (entry < 1 || entry > static_cast<long>(q->size())) {
        std::fprintf(stderr, "pipd-ctl: no entry %ld: the queue has %zu\n", entry, q->size());
        return EXIT_REFUSED;
    }
    const queue_entry &e = (*q)[static_cast<std::size_t>(entry - 1)];
    if (track > 1 && track > static_cast<long>(e.cues.size())) {
        std::fprintf(stderr, "pipd-ctl: entry %ld has %zu cue tracks\n", entry, e.cues.size());
        return EXIT_REFUSED;
    }
    // Entry in bits 7 and up, cue position in bits 0 to 6 (0: the start).
    int32_t word =
        pipd::queue_jump_word(static_cast<int32_t>(entry - 1), static_cast<int32_t>(track - 1));
    if (int r = send_word(word)) return r;
    std::printf("playing %ld: %s%s%s\n", entry, e.title.c_str(), track > 1 ? " > " : "",
                track > 1 ? e.cues[static_cast<std::size_t>(track - 1)].c_str() : "");
    return EXIT_OK;
}

// ---- Seeking --------------------------------------------------------------

std::optional<seek_target> parse_seek_time(const std::string &text) {
    seek_target t;
    std::string_view v = text;
    if (!v.empty() && (v[0] == '+' || v[0] == '-')) {
        t.sign = v[0] == '+' ? 1 : -1;
        v.remove_prefix(1);
    }
    auto digit = [](char c) { return c >= '0' && c <= '9'; };
    // Up to three fields split by ':', those after the first two digits
    // below 60; nine digits are more than any position needs.
    int64_t seconds = 0;
    for (int field = 0;; ++field) {
        std::size_t n = 0;
        int64_t value = 0;
        for (; n < v.size() && digit(v[n]); ++n) {
            if (n == 9) return std::nullopt;
            value = value * 10 + (v[n] - '0');
        }
        if (n == 0 || (field > 0 && (n != 2 || value >= 60))) return std::nullopt;
        seconds = seconds * 60 + value;
        v.remove_prefix(n);
        if (v.empty() || v[0] != ':') break;
        if (field == 2) return std::nullopt;
        v.remove_prefix(1);
    }
    t.ms = seconds * 1000;
    if (v.empty()) return t;
    // A fraction of a second, to the millisecond.
    if (v[0] != '.' || v.size() == 1) return std::nullopt;
    int64_t scale = 100;
    for (char c : v.substr(1)) {
        if (!digit(c)) return std::nullopt;
        t.ms += (c - '0') * scale;
        scale /= 10;
    }
    return t;
}

int seek(const seek_target &t) {
    int64_t ms = t.ms;
    if (t.sign != 0) {
        auto src = open_status_source();
        if (!src) return EXIT_NO_DAEMON;
        int code = EXIT_OK;
        auto s = status_when_on(*src, &code);
        if (!s) return code;
        // The status counts from the file's start; a cue track's time from its own.
        std::vector<queue_entry> q;
        if (auto text = read_queue_text())
            if (auto parsed = parse_queue(*text)) q = std::move(*parsed);
        const int64_t at = s->elapsed_ms - locate(*s, q).cue_start_ms;
        ms = std::max<int64_t>(0, at + t.sign * t.ms);
    }
    ms = std::min<int64_t>(ms, pipd::SEEK_MS_MAX);
    if (int r = send_word(pipd::seek_word(static_cast<uint64_t>(ms)))) return r;
    std::printf("seeking to %s\n", clock_text(static_cast<long>(ms)).c_str());
    return EXIT_OK;
}

// ---- Showing the status -------------------------------------------------

int show_status(bool as_json) {
    auto src = open_status_source();
    if (!src) return EXIT_NO_DAEMON;
    auto s = src->fresh(STATUS_WAIT_MS);
    if (!s) return no_status();
    std::vector<queue_entry> q;
    if (auto text = read_queue_text())
        if (auto parsed = parse_queue(*text)) q = std::move(*parsed);
    const now_playing now = describe(*s, q);
    if (as_json) {
        nlohmann::json record = nlohmann::json::parse(s->text, nullptr, false);
        if (!record.is_object()) record = nlohmann::json::object();
        record["tags"] = tags_json(now.tags);
        if (now.track > 0) record["tags"]["track"] = now.track;
        std::printf("%s\n",
                    record.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
        return EXIT_OK;
    }
    position p = locate(*s, q);
    std::printf("%s\n", headline(now, s->state != "poweroff").c_str());
    std::printf("state:    %s\n", s->state.c_str());
    std::printf("track:    %s\n", s->track.c_str());
    if (p.entry > 0) std::printf("entry:    %ld of %zu\n", p.entry, q.size());
    if (!p.cue.empty()) std::printf("cue:      %s\n", p.cue.c_str());
    std::printf("time:     %s / %s\n", clock_text(s->elapsed_ms).c_str(),
                clock_text(s->length_ms).c_str());
    std::printf("format:   %ld Hz, %ld bit, %ld channel%s\n", s->frequency, s->bps, s->channels,
                s->channels == 1 ? "" : "s");
    std::printf("repeat:   %s\n", REPEAT_NAMES[std::clamp(s->repeat, 0L, 2L)]);
    std::printf("queue:    %ld entries\n", s->queue_count);
    return EXIT_OK;
}

int watch(double seconds) {
    auto src = open_status_source();
    if (!src) return EXIT_NO_DAEMON;
    auto until = clock_type::now() + std::chrono::duration<double>(seconds);
    std::vector<queue_entry> q;
    long randid = -1;
    std::string shown;
    bool told = false;
    while (!stop_requested && (seconds <= 0 || clock_type::now() < until)) {
        auto s = src->latest(200);
        if (!s) {
            if (!told && shown.empty())
                std::fprintf(stderr, "pipd-ctl: waiting for the daemon's status\n");
            told = true;
            continue;
        }
        // A new scan draws a new randid: the queue was rewritten.
        if (s->randid != randid || q.size() != static_cast<std::size_t>(s->queue_count)) {
            randid = s->randid;
            q.clear();
            if (auto text = read_queue_text())
                if (auto parsed = parse_queue(*text)) q = std::move(*parsed);
        }
        std::string line = status_line(*s, q);
        if (line != shown) {
            std::printf("%s\n", line.c_str());
            std::fflush(stdout);
            shown = line;
        }
    }
    return EXIT_OK;
}

} // namespace pipd::client
