// Seeking in DSF, DSDIFF (plain, DST) and disc images: after a seek, what the
// file cut at the landing point sends; a seek at or past the end ends the track.

#include <algorithm>
#include <gtest/gtest.h>

#include "codecs/dsd/dsd2pcm.h"
#include "support/dsd_files.h"
#include "support/sacd_image.h"
#include "support/sandbox.h"

using namespace pipd;
using namespace pipd::testing;

namespace {

// n channels of 80 groups from byte at on.
bytes dsf(int n, uint32_t rate, std::size_t at) {
    dsf_fields s{.channels = static_cast<uint32_t>(n), .rate = rate};
    s.sample_count = static_cast<int64_t>((80 * 4096 - at) * 8);
    std::vector<bytes> ch;
    for (int k = 0; k < n; ++k) ch.push_back(dsd_noise(80 * 4096, 90 + k));
    for (std::size_t g = at; g < 80 * 4096; g += 4096)
        for (const bytes &b : ch) {
            bytes block(b.begin() + g, b.begin() + std::min<std::size_t>(g + 4096, b.size()));
            block.resize(4096);
            s.data = dff_cat({s.data, block});
        }
    return dsf_file(s);
}
// n DST frames stored plainly, from frame first of a noise stream on, after
// junk other chunks; with an index ("DSTI") before or after the sound chunk,
// or none (""), its entries in reverse order when damaged.
bytes dst(std::size_t first, std::size_t n, const std::string &index, std::size_t junk = 0,
          bool damaged = false) {
    const bytes dsd = dsd_noise(9408 * (first + n), 97),
                prop = dff_standard_prop(2822400, 2, "DST ");
    bytes frames, entries;
    for (std::size_t j = 0; j < junk; ++j) frames = dff_cat({frames, dff_chunk("JUNK", {})});
    const std::size_t before = index == "before" ? 12 + 12 * n : 0;
    for (std::size_t k = 0; k < n; ++k) {
        const auto at = dsd.begin() + static_cast<std::ptrdiff_t>(9408 * (first + k));
        frames = dff_cat({frames, dff_chunk("DSTF", dff_cat({bytes{0}, bytes(at, at + 9408)}))});
        const std::size_t body = 16 + prop.size() + before + 30 + 12 * junk + 9422 * k + 12;
        entries = dff_cat({entries, dff_be(body, 8), dff_be(9409, 4)});
    }
    for (std::size_t k = 0; damaged && k < n / 2; ++k)
        std::swap_ranges(entries.begin() + 12 * k, entries.begin() + 12 * (k + 1),
                         entries.end() - 12 * (k + 1));
    const bytes dsti = index.empty() ? bytes{} : dff_chunk("DSTI", entries);
    const bytes sound = dff_dst(static_cast<uint32_t>(n), 75, frames);
    return dff_file(before ? dff_cat({prop, dsti, sound}) : dff_cat({prop, sound, dsti}));
}
// A disc: track 1 of 120 frames from frame first on (none from 120 on),
// track 2 of one frame.
bytes disc(std::size_t first, packing pk = {}, uint32_t sector = 2048) {
    std::vector<track> t(first < 120 ? 2 : 1);
    for (std::size_t k = first; k < 120; ++k)
        t[0].frames.push_back(pk.dst ? dff_cat({bytes{0}, dsd_frame(k)}) : dsd_frame(k));
    t[0].time = {0, 1, 45};
    t.back().frames = {dsd_frame(500)};
    TempDir d;
    EXPECT_TRUE(one_area(t, pk, sector).build().write(d.file("i")));
    return read_bytes(d.file("i"));
}

TEST(DsdSeek, PlaysOnAsTheFileCutWhereItLanded) {
    DiagCapture quiet;
    dsd2pcm_init();
    const bytes noise = dsd_noise(69 * 9408, 91); // 69 frames of 1/75 s, 919 ms
    const auto dff = [&](std::size_t at) {
        return dff_file(dff_cat(
            {dff_standard_prop(), dff_chunk("DSD ", bytes(noise.begin() + at, noise.end()))}));
    };
    packing dst_pk;
    dst_pk.dst = true;
    const struct {
        const char *name, *ext;
        bytes file, cut; // cut empty: the seek ends the track
        int32_t ms;
        uint32_t landed_ms; // the first elapsed time after the seek
        const char *said = "";
    } cases[] = {
        // 200 ms: byte 70560 of each channel, in the 18th group.
        {"dsf", ".dsf", dsf(2, 2822400, 0), dsf(2, 2822400, 70560), 200, 200},
        // DSD128: byte 4939, down to the PCM sample (4 bytes).
        {"dsf128", ".dsf", dsf(3, 5644800, 0), dsf(3, 5644800, 4936), 7, 6},
        {"dsf end", ".dsf", dsf(2, 2822400, 0), {}, 929, 0},
        // 333 ms: byte 117482 of each channel.
        {"dff", ".dff", dff(0), dff(2 * 117482), 333, 332},
        {"dff end", ".dff", dff(0), {}, 920, 0},
        // 333 ms: frame 24, at 320 ms; counted over two polls.
        {"dst walked", ".dff", dst(0, 40, "", 1500), dst(24, 16, ""), 333, 320},
        {"dst indexed after", ".dff", dst(0, 40, "after"), dst(24, 16, ""), 333, 320},
        {"dst indexed before", ".dff", dst(0, 40, "before"), dst(24, 16, ""), 333, 320},
        {"dst index damaged", ".dff", dst(0, 40, "after", 0, true), dst(24, 16, ""), 333, 320,
         "dff: the DST index has no sane entry for frame 24; it is not used\n"},
        {"dst end", ".dff", dst(0, 40, "after"), {}, 534, 0},
        // 1250 ms: frame 93 of the first disc track, in whole seconds.
        {"disc", ".iso", disc(0), disc(93), 1250, 1000},
        {"disc dst raw", ".iso", disc(0, dst_pk, 2064), disc(93, dst_pk, 2064), 1250, 1000},
        // Past the end of the first disc track: on with the second.
        {"disc end", ".iso", disc(0), disc(120), 1600, 0},
    };
    TempDir dir;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<int32_t> want;
        if (!c.cut.empty()) {
            Sandbox cut;
            cut.play(dir.write(std::string("c") + c.ext, c.cut));
            want = cut.samples();
            ASSERT_FALSE(want.empty());
        }
        Sandbox sb;
        ploffset = c.ms;
        sb.play(dir.write(std::string("f") + c.ext, c.file));
        EXPECT_EQ(ploffset, -1) << "acknowledged";
        EXPECT_TRUE(has(sb.diag.text(), c.said)) << sb.diag.text();
        if (c.cut.empty()) {
            EXPECT_TRUE(sb.samples().empty());
            continue;
        }
        // Up to the end of the cut file's last whole frame.
        const std::vector<int32_t> got = sb.samples();
        ASSERT_GE(got.size(), want.size());
        EXPECT_TRUE(std::equal(want.begin(), want.end(), got.begin()));
        ASSERT_FALSE(sb.elapsed.empty());
        EXPECT_EQ(sb.elapsed[0], c.landed_ms);
    }
}

} // namespace
