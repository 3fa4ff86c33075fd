// The commands of pipd-ctl: each sends its words and shows what the daemon
// says, on standard output, or a message on standard error; each returns
// the program's exit status.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace pipd::client {

// Exit status.
inline constexpr int EXIT_OK = 0;
inline constexpr int EXIT_NO_DAEMON = 1; // not running, a pipe missing, no answer
inline constexpr int EXIT_REFUSED = 2;   // the request does not fit the player's state
inline constexpr int EXIT_USAGE = 64;

// How long the daemon has to show a status record, or a command's effect.
// It writes one at least every second, more often while it plays.
inline constexpr int STATUS_WAIT_MS = 3000;

int no_status();
// One word into the command pipe.
int send_word(int32_t word);
// pause and resume: the channel has one toggle, sent only when it changes
// something.
int pause_or_resume(bool pause);
// on: a power-on while the player is on restarts the entry playing, so it
// is only sent to a player that is off (or that shows no status).
int power_on();
// repeat [MODE]: the channel steps through the modes all, one, dir.
int repeat(const std::optional<int> &target);
int show_queue(bool as_json);
// play N [TRACK]: entries and cue tracks are numbered from 1, as the queue
// lists them.
int play(long entry, long track);
// seek [+|-]TIME: TIME is seconds with maybe a fraction (12.5), or m:ss or
// h:mm:ss (a fraction on the seconds too); a sign makes it relative to the
// position playing. Nothing for anything else.
struct seek_target {
    int sign = 0; // 0: from the track's start; 1 or -1: from where it plays
    int64_t ms = 0;
};
std::optional<seek_target> parse_seek_time(const std::string &text);
// Positions count in the track's own timeline (its cue track's, for a cue
// entry); a relative one reads where it plays from the status, and stops at
// the start.
int seek(const seek_target &t);
int show_status(bool as_json);
// The status live, one line whenever it changes; for seconds (0: until
// interrupted).
int watch(double seconds);

} // namespace pipd::client
