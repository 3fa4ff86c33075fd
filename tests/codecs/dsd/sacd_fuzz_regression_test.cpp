// Replays the inputs kept in fuzz/regressions/sacd exactly as the sacd fuzz
// target plays them: control byte, then the image from sector 510 on. Kept
// there: every input that ever made the codec fail under the sanitizers,
// and small inputs the fuzzer found that reach a refusal, tracks that end
// without frames, and a DST frame after them.

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "host/codec_api.h"
#include "host/outudp.h"
#include "host/platform.h"
#include "host/player_main.h"
#include "player/state.h"
#include "player/webfile_gen.h"
#include "support/capture.h"
#include "support/run_tool.h"
#include "support/sacd_image.h"

using namespace pipd;
using namespace pipd::testing;

TEST(SacdFuzzRegressions, KeptInputsPlayWithoutFault) {
    const std::string dir = PIPD_SOURCE_DIR "/fuzz/regressions/sacd";
    std::vector<std::string> names;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d))
            if (e->d_name[0] != '.') names.push_back(e->d_name);
        closedir(d);
    }
    if (names.empty()) GTEST_SKIP() << "no kept inputs";
    TempDir work;
    ASSERT_TRUE(work.ok());
    static const platform_ops ops = {[] { return int64_t{0}; }, [](unsigned) {}, [](unsigned) {},
                                     [] { return 0; }};
    platform_set(&ops);
    status_fifo_detach();
    PacketCapture packets;
    DiagCapture diag;
    for (const auto &name : names) {
        SCOPED_TRACE(name);
        const std::string input = read_file(dir + "/" + name);
        if (input.empty()) continue;
        const std::string path = work.file("input.iso");
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        const uint64_t start = sacd::fuzz_file_start(static_cast<uint8_t>(input[0]));
        ASSERT_EQ(pwrite(fd, input.data() + 1, input.size() - 1, static_cast<off_t>(start)),
                  static_cast<ssize_t>(input.size() - 1));
        close(fd);
        reset_player_state();
        outfifo_reset();
        poweron = 1;
        plaction = PLAYER_ACTION_NONE;
        playstat_reset(path.c_str());
        const std::size_t before = diag.text().size();
        player_main(path.c_str());
        EXPECT_TRUE(last_track_outcome().decoder_ran);
        // Every run ends with the codec's last word: a refusal or a track's end.
        const std::string said = diag.text().substr(before);
        EXPECT_TRUE(said.find("sd open error") != std::string::npos ||
                    said.find("iso_playmax = ") != std::string::npos)
            << said;
        PacketCapture::packets().clear();
    }
    platform_set(nullptr);
}
