// Replays the fuzz inputs kept in fuzz/regressions/ape exactly as the fuzz
// target plays them: small inputs the fuzzer found that reach a damaged
// header, a refusal and damaged frames, and every input that ever made the
// codec fail under the sanitizers.

#include <gtest/gtest.h>

#include "support/fuzz_replay.h"

using namespace pipd::testing;

namespace {

TEST(ApeFuzzRegressions, KeptInputsPlayWithoutFault) {
    const bool any = replay_fuzz_inputs("ape", "ape", [](const host_play_result &r) {
        EXPECT_TRUE(r.ran);
        EXPECT_TRUE(r.result == 0 || r.result == -1);
        // Every run ends with the codec's own last word.
        EXPECT_TRUE(r.messages.find("APE: ") != std::string::npos) << r.messages;
    });
    EXPECT_TRUE(any);
}

} // namespace
