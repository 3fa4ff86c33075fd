// The command words a client writes to the command pipe, 4 bytes each in the
// daemon's byte order. A word that is none of these and not negative asks for
// the queue entry of that index; a negative one is a seek word (below) or
// nothing.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

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

// Queue jump words: entry index from bit 7 up, cue position in bits 0 to 6
// (0: the entry's start, k: its cue track k). Words from the limit on are
// actions.
inline constexpr int32_t QUEUE_JUMP_LIMIT = 0x04000000;
inline constexpr int QUEUE_JUMP_SHIFT = 7;
inline constexpr int32_t CUE_POSITION_MASK = 0x7F;

// The jump word to queue entry index entry (from 0), at cue position cue.
constexpr int32_t queue_jump_word(int32_t entry, int32_t cue) {
    return entry << QUEUE_JUMP_SHIFT | cue;
}

// Seek word: bit 31 set, bit 30 clear, and in bits 0 to 29 the position in
// milliseconds from the start of the track playing (of its cue track, when
// the entry has cue tracks; of its disc track in a disc image). Every other
// word with bit 31 set is left unused.
inline constexpr uint32_t SEEK_WORD_FLAG = 0x80000000u;
inline constexpr uint32_t SEEK_WORD_MASK = 0xC0000000u;
inline constexpr uint32_t SEEK_MS_MAX = 0x3FFFFFFFu; // 12.4 days

// The seek word to ms from the track's start; ms beyond SEEK_MS_MAX is
// SEEK_MS_MAX (past the end of any track: the track ends).
constexpr int32_t seek_word(uint64_t ms) {
    return static_cast<int32_t>(SEEK_WORD_FLAG |
                                static_cast<uint32_t>(ms < SEEK_MS_MAX ? ms : SEEK_MS_MAX));
}

// The position of a seek word; nothing for any other word.
constexpr std::optional<uint32_t> seek_ms(int32_t word) {
    const auto w = static_cast<uint32_t>(word);
    if ((w & SEEK_WORD_MASK) != SEEK_WORD_FLAG) return std::nullopt;
    return w & SEEK_MS_MAX;
}

// The command words that clients name, each a word of its own.
struct named_command {
    const char *name;
    int32_t word;
};
inline constexpr named_command NAMED_COMMANDS[] = {
    {"on", PLAYER_ACTION_POWER_ON},       {"off", PLAYER_ACTION_POWER_OFF},
    {"pause", PLAYER_ACTION_PAUSE},       {"next", PLAYER_ACTION_NEXT},
    {"prev", PLAYER_ACTION_PREV},         {"repeat", PLAYER_ACTION_REPEAT},
    {"next-dir", PLAYER_ACTION_NEXT_DIR}, {"prev-dir", PLAYER_ACTION_PREV_DIR},
};

// Every command name, in the order the usage lists them: the named words,
// then "play", which takes a queue entry and a cue track, and "seek", which
// takes a position.
inline constexpr const char *COMMAND_NAMES[] = {"on",     "off",      "pause",    "next", "prev",
                                                "repeat", "next-dir", "prev-dir", "play", "seek"};

// The word of a named command; nothing for any other name ("play" and
// "seek" too).
constexpr std::optional<int32_t> command_word(std::string_view name) {
    for (const auto &c : NAMED_COMMANDS)
        if (name == c.name) return c.word;
    return std::nullopt;
}

} // namespace pipd
