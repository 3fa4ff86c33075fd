// The command words a client writes to the command pipe, 4 bytes each in the
// daemon's byte order. A word that is none of these and not negative asks for
// the queue entry of that index.
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

} // namespace pipd
