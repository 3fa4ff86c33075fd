// Player state shared by the player task, the command channel, the reports
// and the decoders. One thread touches it; nothing is locked.
#pragma once

#include <cstdint>

namespace pipd {

// Pending player actions (also the command words that set them).
inline constexpr int32_t PLAYER_ACTION_NONE = 0;
inline constexpr int32_t PLAYER_ACTION_PAUSE = 0x40000000;
inline constexpr int32_t PLAYER_ACTION_NEXT = 0x40000001;
inline constexpr int32_t PLAYER_ACTION_PREV = 0x40000002;
inline constexpr int32_t PLAYER_ACTION_RESUME = 0x40000004;
inline constexpr int32_t PLAYER_ACTION_GOTO = 0x40000005;
inline constexpr int32_t PLAYER_ACTION_POWER_OFF = 0x40000006;
inline constexpr int32_t PLAYER_ACTION_POWER_ON = 0x40000007;
// Command words that are never stored in plaction.
inline constexpr int32_t PLAYER_ACTION_REPEAT = 0x40000008;
inline constexpr int32_t PLAYER_ACTION_NEXT_DIR = 0x40000009;
inline constexpr int32_t PLAYER_ACTION_PREV_DIR = 0x4000000a;

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
