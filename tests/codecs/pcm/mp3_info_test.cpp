// The info frame parser over frames written byte by byte: each header shape
// (side information of 9 to 32 bytes) and ways a tag can be cut or damaged.

#include "codecs/pcm/mp3_info.h"

#include <gtest/gtest.h>

#include "support/files.h"

using namespace pipd;
using namespace pipd::testing;

namespace {

// An info frame behind the header h (side information of `side` bytes),
// all four fields and a LAME tag with delay 576 and padding 1404.
bytes info_frame(uint32_t h, std::size_t side, const char *tag = "Xing",
                 const char *encoder = "LAME3.100") {
    bytes f;
    put_be(f, h, 4);
    f.resize(4 + side, 0);
    f.insert(f.end(), tag, tag + 4);
    put_be(f, 15, 4);
    put_be(f, 40, 4);    // frames
    put_be(f, 17135, 4); // bytes
    for (int i = 0; i < 100; ++i) f.push_back(static_cast<uint8_t>(i * 255 / 99));
    put_be(f, 57, 4);
    f.insert(f.end(), encoder, encoder + 9);
    f.resize(f.size() + 12, 0);
    put_be(f, 0x24057C, 3);
    f.resize(417, 0);
    return f;
}

TEST(Mp3Info, HeaderShapesAndDamagedTags) {
    const bytes good = info_frame(0xFFFB9064, 32);
    bytes descending = good;
    descending[36 + 8 + 8 + 50] = 0;
    struct row {
        const char *name;
        bytes frame;
        std::size_t n; // bytes given (0: all)
        bool info, frames, toc, lame, toc_usable;
    } rows[] = {
        {"MPEG-1 stereo", good, 0, true, true, true, true, true},
        {"MPEG-1 mono", info_frame(0xFFFB90C4, 17, "Info"), 0, true, true, true, true, true},
        {"MPEG-2 stereo", info_frame(0xFFF39064, 17), 0, true, true, true, true, true},
        {"MPEG-2 mono", info_frame(0xFFF390C4, 9), 0, true, true, true, true, true},
        {"side information of the wrong size", info_frame(0xFFFB9064, 17), 0, false, false, false,
         false, false},
        {"another encoder's tag", info_frame(0xFFFB9064, 32, "Xing", "XYZ3.100 "), 0, true, true,
         true, false, true},
        {"cut in the table", good, 100, true, true, false, false, false},
        {"cut in the LAME tag", good, 170, true, true, true, false, true},
        {"one byte", good, 1, false, false, false, false, false},
        {"descending table", descending, 0, true, true, true, true, false},
        {"not a frame header", bytes(417, 0xFF), 0, false, false, false, false, false},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
        mp3_info info;
        ASSERT_EQ(mp3_parse_info(r.frame.data(), r.n ? r.n : r.frame.size(), &info), r.info);
        if (!r.info) continue;
        EXPECT_EQ(info.has_frames && info.frames == 40, r.frames);
        EXPECT_EQ(info.has_toc, r.toc);
        EXPECT_EQ(mp3_toc_usable(info), r.toc_usable);
        EXPECT_EQ(info.has_lame && info.delay == 576 && info.padding == 1404, r.lame);
    }
}

} // namespace
