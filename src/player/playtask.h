// The player task: start-up, scan loop, track loop with repeat modes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "player/scan.h"

namespace pipd {

extern char lastfilename[PATH_SIZE]; // path of the last-played file

inline constexpr std::size_t LAST_FILE_BYTES = 4 + PATH_SIZE;

// Runs forever: opens the pipes, sets up, then scans and plays.
[[noreturn]] void playtask();

// Start-up after the pipes are open: converter tables, queue, cue record,
// input window, empty queue report. Exits the process when the queue memory
// cannot be had.
void player_setup();

// One pass of the scan loop up to the choice of the first entry. False when
// no media was found (the pass has already waited its seconds).
bool scan_pass();
// One pass of the track loop: the command words that came since the last
// track act first. False when too many plays in a row failed; the caller
// then rests and rescans.
bool track_pass();

// One turn of the scan loop: a scan and, when it found media, the track loop
// until too many plays failed in a row, then a rest of 5 seconds in which
// commands still act (a jump, a step or power off or on ends it and the track
// loop goes on without a new scan).
void scan_loop_turn();

void gen_lastname();
void read_lastname(int32_t *count, char *name);
void save_lastname(const int32_t *count, const char *name);

// The entry that follows plcnt after a normal end, by the repeat mode.
int32_t next_index_by_repeat();

// The track runner the loop calls (player_main unless a test puts another).
using track_runner = int (*)(const char *path);
void playtask_set_runner(track_runner runner);

} // namespace pipd
