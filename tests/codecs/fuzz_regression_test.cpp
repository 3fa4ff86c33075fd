// Replays the fuzz inputs kept in fuzz/regressions/TARGET exactly as the
// fuzz target plays them: control byte, then the file, padded with zeros to
// the first window. Kept there: every input that ever made a codec fail
// under the sanitizers, and small inputs the fuzzer found that reach each
// refusal (damaged headers and frames, overruns, seeks into damage).

#include <dirent.h>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "host/codec_api.h"
#include "host/outudp.h"
#include "host/platform.h"
#include "host/player_main.h"
#include "player/state.h"
#include "player/webfile_gen.h"
#include "support/capture.h"
#include "support/flac_files.h"

using namespace pipd;
using namespace pipd::testing;
using namespace pipd::flac_testing;

namespace {

TEST(FuzzRegressions, KeptInputsPlayWithoutFault) {
    const struct {
        const char *target;   // directory under fuzz/regressions, and the file ending
        const char *last_word; // what the codec's final message begins with
    } targets[] = {{"flac", "FLAC: "}, {"ape", "APE: "}};
    scratch_dir work(PIPD_BINARY_DIR "/scratch");
    ASSERT_FALSE(work.path().empty());
    static const platform_ops ops = {[] { return int64_t{0}; }, [](unsigned) {}, [](unsigned) {},
                                     [] { return 0; }};
    platform_set(&ops);
    status_fifo_detach();
    PacketCapture packets;
    DiagCapture diag;
    for (const auto &t : targets) {
        const std::string dir = std::string(PIPD_SOURCE_DIR "/fuzz/regressions/") + t.target;
        std::vector<std::string> names;
        if (DIR *d = opendir(dir.c_str())) {
            while (dirent *e = readdir(d))
                if (e->d_name[0] != '.') names.push_back(e->d_name);
            closedir(d);
        }
        EXPECT_FALSE(names.empty()) << "no kept inputs for " << t.target;
        for (const auto &name : names) {
            SCOPED_TRACE(std::string(t.target) + "/" + name);
            std::vector<uint8_t> input = read_file(dir + "/" + name);
            if (input.empty()) continue;
            std::vector<uint8_t> file(input.begin() + 1, input.end());
            if (file.size() < 131072) file.resize(131072, 0);
            const std::string path = work.file(std::string("input.") + t.target);
            ASSERT_TRUE(write_file(path, file));
            reset_player_state();
            outfifo_reset();
            poweron = 1;
            plaction = PLAYER_ACTION_NONE;
            ploffset = (input[0] & 1) ? static_cast<int32_t>(input[0] >> 1) * 97 : -1;
            playstat_reset(path.c_str());
            const std::size_t before = diag.text().size();
            player_main(path.c_str());
            EXPECT_TRUE(last_track_outcome().decoder_ran);
            // Every run ends with the codec's own last word: a refusal or the count.
            const std::string said = diag.text().substr(before);
            EXPECT_TRUE(said.find(t.last_word) != std::string::npos) << said;
            PacketCapture::packets().clear();
        }
    }
    platform_set(nullptr);
}

} // namespace
