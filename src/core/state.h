// Player state shared by the player task, the command channel, the reports
// and the decoders. One thread touches it; nothing is locked.
#pragma once

#include <cstdint>

#include "protocol/commands.h"

namespace pipd {

extern int32_t plaction;        // pending player action
extern int32_t plcnt;           // index of the current queue entry
extern int32_t ploffset;        // pending seek target in ms, -1 for none
extern int32_t poweron;         // 0 or 1
extern int32_t repeatmode;      // 0 whole queue, 1 one entry, 2 one directory
extern int32_t filesystem_init; // 1 while a scanned, non-empty queue is in use
extern int32_t myrandid;        // drawn after each scan
extern int32_t file_errcnt;     // consecutive failed or short plays
extern int32_t isplayiso;       // 1 while a disc image plays
extern int32_t iso_playcnt;     // track index inside the image playing
extern int32_t iso_playmax;     // track count of the image playing
extern const char *iso_psong;   // title of the image track playing

// Back to the start-up values (tests and the player task's start-up).
void reset_player_state();

} // namespace pipd
