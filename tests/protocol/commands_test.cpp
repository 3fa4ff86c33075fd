// The command words by name: every name the clients list has one, but play
// and seek, which take arguments.

#include <gtest/gtest.h>

#include "protocol/commands.h"

using namespace pipd;

TEST(CommandWords, EveryNameButPlayAndSeekHasItsWord) {
    for (const char *name : COMMAND_NAMES) {
        auto word = command_word(name);
        const std::string_view n = name;
        EXPECT_EQ(word.has_value(), n != "play" && n != "seek") << name;
        EXPECT_GE(word.value_or(QUEUE_JUMP_LIMIT), QUEUE_JUMP_LIMIT) << name; // never a jump
    }
    EXPECT_EQ(command_word("toggle"), std::nullopt);
}
