// The command-line programs: usage, exit status, output forms.

#include <cstring>
#include <gtest/gtest.h>
#include <string>

#include "host/outudp.h"
#include "pipd_config.h"
#include "support/run_tool.h"
#include "support/wav_writer.h"

using namespace pipd;
using namespace pipd::testing;

namespace {

// 2 s of 16-bit audio at 48000 Hz; mono or stereo, sample k = k * 7 (and its negation on the
// right).
std::string write_input(const TempDir &dir, const std::string &name, uint16_t channels) {
    bytes pcm;
    for (uint32_t k = 0; k < 96000; ++k)
        for (uint16_t c = 0; c < channels; ++c)
            put_le(pcm,
                   static_cast<uint16_t>(
                       static_cast<int16_t>(c ? -int(k % 4000) * 7 : int(k % 4000) * 7)),
                   2);
    fmt_fields f;
    f.rate = 48000;
    f.channels = channels;
    std::string path = dir.file(name);
    EXPECT_TRUE(WavWriter().fmt(f).data(pcm).write(path));
    return path;
}

int32_t le24(const std::string &s, std::size_t at) {
    int32_t v = static_cast<uint8_t>(s[at]) | static_cast<uint8_t>(s[at + 1]) << 8 |
                static_cast<int8_t>(s[at + 2]) * 65536;
    return v;
}

} // namespace

TEST(PipdDecode, UsageAndExitStatus) {
    TempDir dir;
    ToolResult help = run_pipd_decode({"--help"}, dir);
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(
        help.out.find("usage: pipd-decode [--packets | --wav | --dsd] [--seek MS] INPUT OUTPUT"),
        std::string::npos);
    EXPECT_NE(help.out.find("Exit status"), std::string::npos);
    for (auto args : std::vector<std::vector<std::string>>{{},
                                                           {"only-input"},
                                                           {"--bogus", "a", "b"},
                                                           {"--seek", "x", "a", "b"},
                                                           {"--seek"},
                                                           {"a", "b", "c"}}) {
        ToolResult r = run_pipd_decode(args, dir);
        EXPECT_EQ(r.status, 64);
        EXPECT_NE(r.err.find("usage:"), std::string::npos);
    }
    EXPECT_EQ(run_pipd_decode({dir.file("missing.wav"), dir.file("out")}, dir).status, 2);
    std::string bytes(200000, 'x');
    ASSERT_TRUE(WavWriter::write_file(dir.file("noise.txt"), {bytes.begin(), bytes.end()}));
    EXPECT_EQ(run_pipd_decode({dir.file("noise.txt"), dir.file("out")}, dir).status, 2)
        << "no decoder";
}

TEST(PipdDecode, StandardOutputGetsTheSamePackets) {
    TempDir dir;
    std::string in = write_input(dir, "in.wav", 2);
    ASSERT_EQ(run_pipd_decode({in, dir.file("out.bin")}, dir).status, 0);
    ToolResult to_stdout = run_pipd_decode({"--packets", in, "-"}, dir);
    ASSERT_EQ(to_stdout.status, 0);
    std::string file = read_file(dir.file("out.bin"));
    EXPECT_EQ(file.size() % PACKET_BYTES, 0u);
    EXPECT_EQ(to_stdout.out, file);
    EXPECT_NE(to_stdout.err.find("freq = 48000"), std::string::npos)
        << "diagnostics on standard error";
}

TEST(PipdDecode, WavOfAMonoStreamHasItOnBothChannels) {
    TempDir dir;
    std::string in = write_input(dir, "mono.wav", 1);
    ToolResult r = run_pipd_decode({"--wav", in, dir.file("out.wav")}, dir);
    ASSERT_EQ(r.status, 0) << r.err;
    std::string wav = read_file(dir.file("out.wav"));
    ASSERT_EQ(wav.size(), 44u + 96000u * 6u);
    EXPECT_EQ(wav.compare(0, 4, "RIFF"), 0);
    uint32_t rate;
    std::memcpy(&rate, wav.data() + 24, 4);
    EXPECT_EQ(rate, 48000u);
    for (uint32_t k : {0u, 1u, 3999u, 4000u, 95999u}) {
        int32_t expect = static_cast<int32_t>(k % 4000) * 7 * 256;
        EXPECT_EQ(le24(wav, 44 + 6 * k), expect) << k;
        EXPECT_EQ(le24(wav, 44 + 6 * k + 3), expect) << k;
    }
    // Streamed to standard output, the samples are the same.
    ToolResult streamed = run_pipd_decode({"--wav", in, "-"}, dir);
    ASSERT_EQ(streamed.status, 0);
    EXPECT_EQ(streamed.out.substr(44), wav.substr(44));
}

TEST(Pipd, VersionAndHelpTouchNoPipe) {
    TempDir dir;
    ToolResult v = run_tool(PIPD_BINARY_DIR "/pipd", {"--version"}, dir);
    EXPECT_EQ(v.status, 0);
    EXPECT_EQ(v.out.rfind("pipd ", 0), 0u);
    ToolResult h = run_tool(PIPD_BINARY_DIR "/pipd", {"--help"}, dir);
    EXPECT_EQ(h.status, 0);
    EXPECT_NE(h.out.find("usage: pipd"), std::string::npos);
    EXPECT_EQ(run_tool(PIPD_BINARY_DIR "/pipd", {"--frobnicate"}, dir).status, 64);
}

// The man pages are made from --help and --version: every program answers both.
TEST(Tools, EveryProgramTellsItsVersion) {
    TempDir dir;
    for (std::string tool : {"pipd", "pipd-sink", "pipd-ctl", "pipd-web", "pipd-decode"}) {
        ToolResult v = run_tool(PIPD_BINARY_DIR "/" + tool, {"--version"}, dir);
        EXPECT_EQ(v.status, 0) << tool;
        EXPECT_EQ(v.out, tool + " " PIPD_VERSION_TEXT "\n");
        EXPECT_EQ(run_tool(PIPD_BINARY_DIR "/" + tool, {"--help"}, dir).status, 0) << tool;
    }
}
