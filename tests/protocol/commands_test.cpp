// The command words by name: every name the clients list but play has one.

#include <gtest/gtest.h>

#include "protocol/commands.h"

using namespace pipd;

TEST(CommandWords, EveryNameButPlayHasItsWord) {
    for (const char *name : COMMAND_NAMES) {
        auto word = command_word(name);
        EXPECT_EQ(word.has_value(), std::string_view(name) != "play") << name;
        EXPECT_GE(word.value_or(QUEUE_JUMP_LIMIT), QUEUE_JUMP_LIMIT) << name; // never a jump
    }
    EXPECT_EQ(command_word("toggle"), std::nullopt);
}
