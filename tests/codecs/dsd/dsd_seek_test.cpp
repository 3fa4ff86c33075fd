// Seeking in DSF, DSDIFF (plain and DST) and disc images: after a seek the
// player sends what it sends for the file cut where the seek landed, from a
// fresh filter history, and the elapsed time says where that is; a seek at
// or past the end ends the track.

#include <algorithm>
#include <gtest/gtest.h>

#include "codecs/dsd/dsd2pcm.h"
#include "support/dsd_files.h"
#include "support/sacd_image.h"
#include "support/sandbox.h"

using namespace pipd;
using namespace pipd::testing;

namespace {

std::vector<bytes> streams(int n) {
    std::vector<bytes> ch;
    for (int k = 0; k < n; ++k) ch.push_back(dsd_noise(80 * 4096, 90 + k));
    return ch;
}
std::vector<bytes> from(std::vector<bytes> ch, std::size_t at) {
    for (bytes &b : ch) b.erase(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(at));
    return ch;
}
bytes dsf(const std::vector<bytes> &ch, uint32_t rate) {
    dsf_fields s{.channels = static_cast<uint32_t>(ch.size()), .rate = rate};
    for (std::size_t g = 0; g < ch[0].size(); g += 4096)
        for (const bytes &b : ch) {
            bytes block(b.begin() + g, b.begin() + std::min(g + 4096, b.size()));
            block.resize(4096);
            s.data = dff_cat({s.data, block});
        }
    s.sample_count = static_cast<int64_t>(ch[0].size() * 8);
    return dsf_file(s);
}
bytes dff(const bytes &sound) {
    return dff_file(dff_cat({dff_standard_prop(), dff_chunk("DSD ", sound)}));
}
// n DST frames stored plainly, from frame first of a noise stream on, after
// junk other chunks; with an index ("DSTI") before or after the sound chunk,
// or none (""); damage edits the index's entries.
bytes dst(std::size_t first, std::size_t n, const std::string &index, std::size_t junk = 0,
          void (*damage)(bytes &) = nullptr) {
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
    if (damage) damage(entries);
    const bytes dsti = index.empty() ? bytes{} : dff_chunk("DSTI", entries);
    const bytes sound = dff_dst(static_cast<uint32_t>(n), 75, frames);
    return dff_file(before ? dff_cat({prop, dsti, sound}) : dff_cat({prop, sound, dsti}));
}
// A disc: track 1 of 120 frames (from frame first on; none from 120 on)
// and track 2 of one frame.
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

struct seek_run {
    std::vector<int32_t> pcm;
    std::vector<uint32_t> elapsed;
    std::string diag;
};
seek_run play(const std::string &path, int32_t seek_ms) {
    Sandbox sb;
    ploffset = seek_ms;
    sb.play(path);
    EXPECT_EQ(ploffset, -1) << "acknowledged";
    return {sb.samples(), sb.elapsed, sb.diag.text()};
}

TEST(DsdSeek, PlaysOnAsTheFileCutWhereItLanded) {
    DiagCapture quiet;
    dsd2pcm_init();
    const std::vector<bytes> st = streams(2), s3 = streams(3);
    bytes inter; // 69 whole frames of 1/75 s, 919 ms
    for (std::size_t j = 0; j < 69 * 9408; ++j) inter.push_back(st[j & 1][j / 2]);
    packing dst_pk;
    dst_pk.dst = true;
    const auto reversed = [](bytes &e) {
        for (std::size_t k = 0; k < e.size() / 24; ++k)
            std::swap_ranges(e.begin() + 12 * k, e.begin() + 12 * (k + 1), e.end() - 12 * (k + 1));
    };
    const struct {
        const char *name, *ext;
        bytes file, cut; // cut empty: the seek ends the track
        int32_t ms;
        uint32_t landed_ms; // the first elapsed time after the seek
        const char *said = "";
    } cases[] = {
        // 200 ms: byte 70560 of each channel, in the 18th group.
        {"dsf", ".dsf", dsf(st, 2822400), dsf(from(st, 70560), 2822400), 200, 200},
        // DSD128: byte 4939, down to the PCM sample (4 bytes).
        {"dsf128", ".dsf", dsf(s3, 5644800), dsf(from(s3, 4936), 5644800), 7, 6},
        {"dsf end", ".dsf", dsf(st, 2822400), {}, 929, 0},
        // 333 ms: byte 117482 of each channel.
        {"dff", ".dff", dff(inter), dff(bytes(inter.begin() + 2 * 117482, inter.end())), 333, 332},
        {"dff end", ".dff", dff(inter), {}, 920, 0},
        // 333 ms: frame 24, at 320 ms.
        {"dst walked past many chunks", ".dff", dst(0, 40, "", 1500), dst(24, 16, ""), 333, 320},
        {"dst indexed after", ".dff", dst(0, 40, "after"), dst(24, 16, ""), 333, 320},
        {"dst indexed before", ".dff", dst(0, 40, "before"), dst(24, 16, ""), 333, 320},
        {"dst index damaged", ".dff", dst(0, 40, "after", 0, reversed), dst(24, 16, ""), 333, 320,
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
        const seek_run r = play(dir.write(std::string("f") + c.ext, c.file), c.ms);
        EXPECT_TRUE(has(r.diag, c.said)) << r.diag;
        if (c.cut.empty()) {
            EXPECT_TRUE(r.pcm.empty());
            continue;
        }
        const seek_run want = play(dir.write(std::string("c") + c.ext, c.cut), -1);
        // Up to the end of the cut file's last whole frame.
        ASSERT_FALSE(want.pcm.empty());
        ASSERT_GE(r.pcm.size(), want.pcm.size());
        EXPECT_TRUE(std::equal(want.pcm.begin(), want.pcm.end(), r.pcm.begin()));
        ASSERT_FALSE(r.elapsed.empty());
        EXPECT_EQ(r.elapsed[0], c.landed_ms);
    }
}

} // namespace
