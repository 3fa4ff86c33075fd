// pipd-ctl: the command-line client. Sends the daemon its command words and
// shows its status and queue.

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "client/control.h"
#include "client/queue_report.h"
#include "client/status_source.h"
#include "core/diag.h"
#include "pipd_config.h"
#include "protocol/commands.h"

namespace {

using namespace pipd::client;

void on_signal(int) {
    pipd::client::stop_requested = 1;
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
    {"seek", "[+|-]TIME",
     "Plays the track from TIME: seconds (12.5), m:ss or h:mm:ss from its start (a cue\n"
     "track's own start inside a cue-split file); with + or -, that far forward or back\n"
     "from where it plays (not before the start). A time past the end ends the track."},
    {"repeat", "[MODE]",
     "Without MODE, steps to the next repeat mode; with MODE (all, one or dir; or\n"
     "0, 1, 2) steps until the player shows it. all: the whole queue repeats; one:\n"
     "the entry repeats; dir: its directory repeats."},
    {"status", "[--json]",
     "Shows what plays (Artist — Title (Album) where the file has tags, else its\n"
     "name) and the player's status once; --json prints the status record with the\n"
     "track's tags under \"tags\" (null for what the file does not say)."},
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
    if (name == "seek") {
        if (args.size() != 1) return usage_error(&c, "seek takes one TIME");
        auto target = parse_seek_time(args[0]);
        if (!target) return usage_error(&c, "TIME is seconds, m:ss or h:mm:ss: " + args[0]);
        return seek(*target);
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
    // What the tag reader has to say about a file goes with the errors, never
    // into what the program prints.
    pipd::diag_set_stream(stderr);
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
