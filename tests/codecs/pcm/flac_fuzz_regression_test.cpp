// Replays the fuzz inputs kept in fuzz/regressions/flac exactly as the fuzz
// target plays them. Kept there: every input that ever made the codec fail
// under the sanitizers, and small inputs the fuzzer found that reach each
// refusal (damaged headers and subframes, overruns, seeks into damage).

#include <gtest/gtest.h>

#include "support/fuzz_replay.h"

using namespace pipd::testing;

namespace {

TEST(FlacFuzzRegressions, KeptInputsPlayWithoutFault) {
    const bool any = replay_fuzz_inputs("flac", "flac", [](const host_play_result &r) {
        EXPECT_TRUE(r.ran);
        // Every run ends with the codec's own last word: a refusal or the count.
        EXPECT_TRUE(r.messages.find("FLAC: ") != std::string::npos) << r.messages;
    });
    if (!any) GTEST_SKIP() << "no kept inputs";
}

} // namespace
