// The commands of pipd-ctl: each sends its words and shows what the daemon
// says, on standard output, or a message on standard error; each returns
// the program's exit status.
#pragma once

#include <cstdint>
#include <optional>

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
int show_status(bool as_json);
// The status live, one line whenever it changes; for seconds (0: until
// interrupted).
int watch(double seconds);

} // namespace pipd::client
