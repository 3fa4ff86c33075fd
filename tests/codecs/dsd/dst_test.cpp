// The DST frame decoder on frames damaged on purpose: each error ends the
// frame with its status and DSD silence in the frame's place. (The shared
// sample files, decoded whole and compared with their digests, are the
// tests of what valid frames decode to.)

#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "codecs/dsd/dst_decoder.h"
#include "support/dsd_files.h"
#include "support/flac_frames.h"

using namespace pipd;
using namespace pipd::testing;

namespace {

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

TEST(DstDecoder, DamagedFramesBecomeSilenceWithTheirReason) {
    const std::vector<bytes> tone = dstf_bodies(read_bytes(TONE));
    ASSERT_EQ(tone.size(), 15u);
    bytes out(2 * B);
    ASSERT_EQ(dst_decode_frame(tone[0].data(), tone[0].size(), 2, 64, out.data()), DST_OK);
    const bytes first{0x33, 0x33, 0x33, 0x33, 0x4d, 0x4d, 0x55, 0x55,
                      0x55, 0x66, 0x9a, 0x6a, 0x71, 0xab, 0xd3, 0x4e};
    EXPECT_EQ(bytes(out.begin(), out.begin() + 16), first);

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
        {"Rice code beyond any residual",
         [&] {
             bytes b = rice.bytes();
             b.resize(300);
             return b;
         }(),
         2, DST_BAD_RICE},
        {"rebuilt coefficient below -256", range.bytes(), 2, DST_BAD_ENTRY},
        {"seven channels", tone[0], 7, DST_BAD_ARGUMENTS},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        bytes silence(c.channels * B, 0);
        EXPECT_EQ(dst_decode_frame(c.frame.data(), c.frame.size(), c.channels, 64, silence.data()),
                  c.status);
        if (c.status != DST_BAD_ARGUMENTS) {
            EXPECT_EQ(silence, bytes(c.channels * B, 0x69));
        }
    }
}

} // namespace
