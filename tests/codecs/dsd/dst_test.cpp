// The DST frame decoder: the shared sample files of a DST encoder decode, by
// pipd-decode --dsd, to the digests of the DSD they were made from; frames
// damaged on purpose end with their status and DSD silence in their place.

#include <cstdio>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "codecs/dsd/dst_decoder.h"
#include "support/dsd_files.h"
#include "support/flac_frames.h"
#include "support/run_tool.h"

using namespace pipd;
using namespace pipd::testing;

namespace {

constexpr const char *MEDIA = PIPD_SOURCE_DIR "/../shared/media/";
constexpr const char *TONE = PIPD_SOURCE_DIR "/../shared/media/dst-stereo-dsd64-tone.dff";
constexpr uint32_t B = dst_channel_bytes(64);

bytes with_bits(bytes f, std::size_t first, std::size_t count) {
    for (std::size_t i = first; i < first + count; ++i) f[i / 8] |= 0x80 >> i % 8;
    return f;
}

// A coded frame's first fields: one segment per channel, filters and tables
// mapped alike, one filter for all channels, no half flags (two channels).
bit_writer coded_start(int filter_length) {
    bit_writer w;
    w.put(0b111111, 6);
    w.put(0, 2);
    w.put(filter_length - 1, 7);
    return w;
}

std::string sha256_of(const std::string &path) {
    char digest[65] = {};
    if (std::FILE *p = popen(("sha256sum " + shell_quote(path)).c_str(), "r")) {
        if (std::fscanf(p, "%64s", digest) != 1) digest[0] = 0;
        pclose(p);
    }
    return digest;
}

// Each file is padded (a chunk after the sound data) to the player's first
// read, which shorter files do not pass.
TEST(DstFiles, DecodeToTheDigestsOfTheirSource) {
    if (!std::ifstream(TONE)) GTEST_SKIP() << "no sample media";
    const struct {
        const char *file;
        std::size_t bytes;
        const char *sha256;
    } cases[] = {
        {"dst-stereo-dsd64-tone.dff", 141120,
         "3c0f1ec3bdb9cb36ee4faf06801ec54150a4977a2dddd9934f9382ab0cd3761b"},
        {"dst-plain-frames.dff", 75264,
         "be23cbc218decab43153d7e900c48960aeec45225cca14452f58490ae38c3b05"},
        {"dst-mono-dsd64.dff", 47040,
         "37eff513c86d671903a2ee16c67dffa0749935b2101effcc432e1789db5ff086"},
        {"dst-6ch-dsd64.dff", 169344,
         "e7192dc1799f45147e31071c18ffd1348c951e2a7f697ab195bc4da4f78d1db8"},
        {"dst-stereo-dsd128.dff", 150528,
         "4a659fa4c5ce545ba2b69865a8e23e1060a394d3522c4eec9399535ac90f7960"},
        {"dst-stereo-dsd256.dff", 188160,
         "12040ab572280ac88592747100df88d34ee9f4a46dd14e144489e8ac142f0bb3"},
        {"dst-silence.dff", 37632,
         "8cb883bdeb9a051e38eda227565a74b1382d73df0396e71cb1a2f4bc53b00334"},
        {"dst-coded-tables.dff", 84672,
         "ab97144d7aeb29519a56cc25f27bf1871d19d37dcde2f6ddd59cba4a12a2aecc"},
        {"dst-compressed.dff", 0,
         "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
    };
    TempDir dir;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.file);
        bytes f = read_bytes(std::string(MEDIA) + c.file);
        ASSERT_GT(f.size(), 16u);
        const bytes pad = dff_chunk("PAD ", bytes(131072));
        f.insert(f.end(), pad.begin(), pad.end());
        uint64_t form = 0;
        for (int i = 0; i < 8; ++i) form = form << 8 | f[4 + i];
        store_be(f.data() + 4, form + pad.size(), 8);
        const ToolResult r =
            run_pipd_decode({"--dsd", dir.write("in.dff", f), dir.file("out.dsd")}, dir);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(read_bytes(dir.file("out.dsd")).size(), c.bytes);
        EXPECT_EQ(sha256_of(dir.file("out.dsd")), c.sha256);
        EXPECT_FALSE(has(r.err, "silence in its place")) << r.err;
    }
}

TEST(DstDecoder, DamagedFramesBecomeSilenceWithTheirReason) {
    if (!std::ifstream(TONE)) GTEST_SKIP() << "no sample media";
    const std::vector<bytes> tone = dstf_bodies(read_bytes(TONE));
    ASSERT_EQ(tone.size(), 15u);
    bytes segmented = tone[0];
    segmented[0] &= ~0x10; // "end of channel segmentation" 0
    bit_writer map;        // three channels: channel 2 names filter 3 of 2
    map.put(0b11111, 5), map.put(0, 1), map.put(1, 1), map.put(3, 2);
    bit_writer method = coded_start(2);
    method.put(0b111, 3);
    bit_writer rice = coded_start(2); // method 0, first entry, m = 0, then only zeros
    rice.put(0b100, 3), rice.put(0, 9 + 3);
    bit_writer range = coded_start(2); // -256, then a residual of -1
    range.put(0b100, 3), range.put_signed(-256, 9), range.put(0, 3), range.put(0b011, 3);
    const struct {
        const char *name;
        bytes frame;
        int channels;
        int status;
    } cases[] = {
        {"no bytes", {}, 2, DST_BAD_SIZE},
        {"longer than a plain frame", bytes(2 * B + 2), 2, DST_BAD_SIZE},
        {"plain, reserved bits set", with_bits(bytes(2 * B + 1), 7, 1), 2, DST_BAD_PLAIN},
        {"plain, short", bytes(100), 2, DST_BAD_PLAIN},
        {"segmented", segmented, 2, DST_SEGMENTED},
        {"header cut short", bytes(tone[0].begin(), tone[0].begin() + 100), 2, DST_TRUNCATED},
        {"start bit 1", with_bits(tone[0], 3239, 1), 2, DST_BAD_START},
        {"initial code 4095", with_bits(tone[0], 3240, 12), 2, DST_BAD_START},
        {"map value beyond the next element", map.bytes(), 3, DST_BAD_MAP},
        {"prediction method 3", method.bytes(), 2, DST_BAD_METHOD},
        {"Rice code running off the frame", rice.bytes(), 2, DST_BAD_RICE},
        {"rebuilt coefficient below -256", range.bytes(), 2, DST_BAD_ENTRY},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        bytes silence(c.channels * B, 0);
        EXPECT_EQ(dst_decode_frame(c.frame.data(), c.frame.size(), c.channels, 64, silence.data()),
                  c.status);
        EXPECT_EQ(silence, bytes(c.channels * B, 0x69));
    }
}

} // namespace
