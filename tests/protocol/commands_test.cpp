// The command words by name, and the jump words as the player takes them apart.

#include <gtest/gtest.h>

#include "protocol/commands.h"

using namespace pipd;

TEST(CommandWords, EveryNameButPlayHasItsWord) {
    for (const char *name : COMMAND_NAMES) {
        auto word = command_word(name);
        EXPECT_EQ(word.has_value(), std::string_view(name) != "play") << name;
        EXPECT_GE(word.value_or(QUEUE_JUMP_LIMIT), QUEUE_JUMP_LIMIT) << name;
    }
    EXPECT_EQ(command_word("toggle"), std::nullopt);
    EXPECT_EQ(command_word("next-dir"), PLAYER_ACTION_NEXT_DIR);
}

TEST(CommandWords, JumpWordsCarryEntryAndCue) {
    for (auto [entry, cue] : {std::pair{0, 0}, {1, 1}, {2047, 127}, {5, 0}}) {
        int32_t word = queue_jump_word(entry, cue);
        EXPECT_EQ(word >> QUEUE_JUMP_SHIFT, entry);
        EXPECT_EQ(word & CUE_POSITION_MASK, cue);
        EXPECT_LT(word, QUEUE_JUMP_LIMIT);
    }
}
