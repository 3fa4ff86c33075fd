// pipd-ctl: the command-line client. Sends the daemon its command words and
// shows its status and queue.

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "client/command_pipe.h"
#include "client/queue_report.h"
#include "client/status_source.h"
#include "core/paths.h"
#include "protocol/commands.h"

namespace {

using namespace pipd::client;
using clock_type = std::chrono::steady_clock;

// Exit status.
constexpr int EXIT_OK = 0;
constexpr int EXIT_NO_DAEMON = 1; // not running, a pipe missing, no answer
constexpr int EXIT_REFUSED = 2;   // the request does not fit the player's state
constexpr int EXIT_USAGE = 64;

// How long the daemon has to show a status record, or a command's effect.
// It writes one at least every second, more often while it plays.
constexpr int STATUS_WAIT_MS = 3000;

void on_signal(int) {
    pipd::client::stop_requested = 1;
}

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

// Waits until a fresh record satisfies done.
bool wait_for(status_source &src, const std::function<bool(const status &)> &done) {
    auto until = clock_type::now() + std::chrono::milliseconds(STATUS_WAIT_MS);
    while (clock_type::now() < until && !pipd::client::stop_requested) {
        auto s = src.latest(STATUS_WAIT_MS);
        if (!s) return false;
        if (done(*s)) return true;
    }
    return false;
}

// pause and resume: the channel has one toggle, sent only when it changes
// something.
int pause_or_resume(bool pause) {
    auto src = open_status_source();
    if (!src) return EXIT_NO_DAEMON;
    auto s = src->fresh(STATUS_WAIT_MS);
    if (!s) return no_status();
    if (s->state == "poweroff") {
        std::fprintf(stderr, "pipd-ctl: the player is off (pipd-ctl on)\n");
        return EXIT_REFUSED;
    }
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

// ---- Showing the status -------------------------------------------------

int show_status(bool as_json) {
    auto src = open_status_source();
    if (!src) return EXIT_NO_DAEMON;
    auto s = src->fresh(STATUS_WAIT_MS);
    if (!s) return no_status();
    if (as_json) {
        std::printf("%s\n", s->text.c_str());
        return EXIT_OK;
    }
    std::vector<queue_entry> q;
    if (auto text = read_queue_text())
        if (auto parsed = parse_queue(*text)) q = std::move(*parsed);
    position p = locate(*s, q);
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
    while (!pipd::client::stop_requested && (seconds <= 0 || clock_type::now() < until)) {
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

// ---- The command line ---------------------------------------------------

struct subcommand {
    const char *name;
    const char *args;
    const char *help;
};

const subcommand subcommands[] = {
    {"on", "", "Powers the player on (unless it is on already: that would restart the entry)."},
    {"off", "", "Powers the player off."},
    {"pause", "", "Pauses playback; nothing is sent when it is paused already."},
    {"resume", "", "Resumes paused playback; nothing is sent when it plays already."},
    {"toggle", "", "Sends the pause toggle as it is: pauses or resumes."},
    {"next", "", "Next track: the next cue track inside a cue-split file, else the next entry."},
    {"prev", "", "Previous track, likewise."},
    {"next-dir", "", "First entry of the next directory."},
    {"prev-dir", "", "First entry of the previous directory."},
    {"play", "N [TRACK]",
     "Plays queue entry N from its start, or from its cue track TRACK. Both count from 1,\n"
     "as 'pipd-ctl queue' lists them."},
    {"repeat", "[MODE]",
     "Without MODE, steps to the next repeat mode; with MODE (all, one or dir; or\n"
     "0, 1, 2) steps until the player shows it. all: the whole queue repeats; one:\n"
     "the entry repeats; dir: its directory repeats."},
    {"status", "[--json]", "Shows the player's status once; --json prints the record as it came."},
    {"watch", "[--for SECONDS]",
     "Shows the status live, one line whenever it changes: state, entry, track and cue\n"
     "track, elapsed and length with a progress bar. Runs until interrupted, or for\n"
     "SECONDS."},
    {"queue", "[--json]",
     "Lists the play queue, numbered from 1, with the cue tracks of each entry;\n"
     "--json prints the queue report as it is."},
    {"send", "WORD...", "Sends raw command words (numbers such as 0x40000001)."},
};

const char exit_text[] =
    "Exit status: 0 done; 1 the daemon is not running, a pipe is missing, or the\n"
    "daemon did not show the change in time; 2 the request does not fit the player\n"
    "(no such entry or cue track, the player is off); 64 usage error.\n";

void usage(std::FILE *to) {
    std::fprintf(to, "usage: pipd-ctl COMMAND [ARGS]\n       pipd-ctl COMMAND --help\n"
                     "       pipd-ctl --help | --version\n\n"
                     "Steers the pipd daemon through its command pipe and shows its status\n"
                     "and queue. Commands:\n");
    for (const auto &c : subcommands) std::fprintf(to, "  %-8s %s\n", c.name, c.args);
    std::fprintf(to, "\n%s", exit_text);
}

int usage_error(const subcommand *c, const std::string &what) {
    std::fprintf(stderr, "pipd-ctl: %s\n", what.c_str());
    if (c)
        std::fprintf(stderr, "usage: pipd-ctl %s %s\n", c->name, c->args);
    else
        usage(stderr);
    return EXIT_USAGE;
}

bool parse_number(const std::string &text, long min, long max, long *out) {
    char *end = nullptr;
    errno = 0;
    long v = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end || errno || v < min || v > max) return false;
    *out = v;
    return true;
}

int run(const subcommand &c, const std::vector<std::string> &args) {
    const std::string name = c.name;
    auto only_flag = [&args](const char *flag) -> std::optional<bool> {
        if (args.empty()) return false;
        if (args.size() == 1 && args[0] == flag) return true;
        return std::nullopt;
    };
    // The words sent as they are: toggle is the pause word; on, pause and
    // repeat look at the status first.
    if (name != "on" && name != "pause" && name != "repeat")
        if (auto word = pipd::command_word(name == "toggle" ? "pause" : name))
            return args.empty() ? send_word(*word) : usage_error(&c, "too many arguments");
    if (name == "on" || name == "pause" || name == "resume") {
        if (!args.empty()) return usage_error(&c, "too many arguments");
        return name == "on" ? power_on() : pause_or_resume(name == "pause");
    }
    if (name == "play") {
        long entry = 0, track = 1;
        if (args.empty() || args.size() > 2) return usage_error(&c, "play takes N and maybe TRACK");
        if (!parse_number(args[0], 1, 1L << 18, &entry))
            return usage_error(&c, "N is a queue entry, counted from 1");
        if (args.size() == 2 && !parse_number(args[1], 1, 128, &track))
            return usage_error(&c, "TRACK is a cue track from 1 to 128");
        return play(entry, track);
    }
    if (name == "repeat") {
        if (args.size() > 1) return usage_error(&c, "too many arguments");
        std::optional<int> mode;
        if (args.size() == 1) {
            mode = parse_repeat(args[0]);
            if (*mode < 0) return usage_error(&c, "MODE is all, one or dir");
        }
        return repeat(mode);
    }
    if (name == "status" || name == "queue") {
        auto as_json = only_flag("--json");
        if (!as_json) return usage_error(&c, "the only option is --json");
        return name == "status" ? show_status(*as_json) : show_queue(*as_json);
    }
    if (name == "watch") {
        double seconds = 0;
        if (args.size() == 2 && args[0] == "--for") {
            char *end = nullptr;
            seconds = std::strtod(args[1].c_str(), &end);
            if (*end || seconds <= 0) return usage_error(&c, "SECONDS is a positive number");
        } else if (!args.empty()) {
            return usage_error(&c, "the only option is --for SECONDS");
        }
        return watch(seconds);
    }
    // send
    if (args.empty()) return usage_error(&c, "send needs at least one WORD");
    std::vector<int32_t> words;
    for (const auto &a : args) {
        char *end = nullptr;
        errno = 0;
        unsigned long v = std::strtoul(a.c_str(), &end, 0);
        if (a.empty() || *end || errno || v > 0xFFFFFFFFul || a[0] == '-')
            return usage_error(&c, "not a command word: " + a);
        words.push_back(static_cast<int32_t>(static_cast<uint32_t>(v)));
    }
    for (int32_t w : words)
        if (int r = send_word(w)) return r;
    return EXIT_OK;
}

} // namespace

int main(int argc, char **argv) {
    std::signal(SIGPIPE, SIG_IGN);
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    if (argc < 2) return usage_error(nullptr, "no command");
    const std::string name = argv[1];
    if (name == "--help" || name == "help") {
        usage(stdout);
        return EXIT_OK;
    }
    if (name == "--version") {
        std::printf("pipd-ctl %s\n", PIPD_VERSION_TEXT);
        return EXIT_OK;
    }
    for (const auto &c : subcommands) {
        if (name != c.name) continue;
        std::vector<std::string> args(argv + 2, argv + argc);
        if (std::find(args.begin(), args.end(), "--help") != args.end()) {
            std::printf("usage: pipd-ctl %s %s\n\n%s\n\n%s", c.name, c.args, c.help, exit_text);
            return EXIT_OK;
        }
        return run(c, args);
    }
    return usage_error(nullptr, "unknown command " + name);
}
