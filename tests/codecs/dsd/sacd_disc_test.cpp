// The SACD image reader on generated images: frames reassembled from every
// way of cutting audio into packets and sectors, area classification, TOCs
// that are refused, texts and tracks that point where they must not.

#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "codecs/dsd/sacd_disc.h"
#include "support/sacd_host.h"
#include "support/sacd_image.h"

using namespace pipd;
using namespace pipd::testing;

namespace {

struct track_read {
    std::vector<bytes> frames;
    std::vector<int32_t> types; // of every frame delivered
    int32_t end_type = 0;       // the type of the call that ended the track
    int end_result = -1;
    int pending = 0; // calls that ended without a frame, before more sectors
};

// Every frame of the current track, up to the call that ends it.
track_read read_track(int32_t capacity = FRAME) {
    track_read r;
    std::vector<uint8_t> buffer(capacity > 0 ? capacity : 1);
    for (int guard = 0; guard < 100000; ++guard) {
        int32_t size = capacity;
        int32_t type = 99;
        const int result = sd_read_frame(buffer.data(), &size, &type);
        if (type == SD_FRAME_PENDING) {
            EXPECT_EQ(result, 0);
            EXPECT_EQ(size, 0);
            ++r.pending;
            continue;
        }
        if (type != SD_FRAME_DSD && type != SD_FRAME_DST) {
            r.end_type = type;
            r.end_result = result;
            break;
        }
        EXPECT_EQ(result, 1);
        r.frames.emplace_back(buffer.begin(), buffer.begin() + size);
        r.types.push_back(type);
    }
    return r;
}

class SacdReader : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(dir_.ok()); }
    bool load(const image &img) { return input_.load(img); }

    TempDir dir_;
    image_input input_{dir_};
};

} // namespace

TEST_F(SacdReader, FramesComeOutAsTheyWentIn) {
    const struct {
        const char *name;
        uint32_t sector_size;
        packing pk;
    } cases[] = {
        {"whole sectors", 2048, {}},
        {"raw sectors", 2064, {}},
        {"small packets, supplementary and padding packets", 2048, {300, 2}},
        {"raw, lead-in audio before the first frame start, empty sectors",
         2064,
         {1000, 0, 3000, 3}},
        {"side packets after every packet, a tiny lead-in, an empty sector after each",
         2048,
         {2047, 1, 5, 1}},
        {"frames spread over runs of empty sectors longer than one call reads",
         2048,
         {2047, 0, 0, 1, false, static_cast<int>(SD_SCAN_SECTORS) + 6}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        image img = one_area(sample_tracks(), c.pk, c.sector_size);
        ASSERT_TRUE(load(img.build()));
        ASSERT_EQ(sd_open(), 1);
        EXPECT_EQ(sd.sector_size, c.sector_size);
        EXPECT_EQ(sd.twoch_area, 0);
        EXPECT_EQ(sd.mulch_area, -1);
        ASSERT_EQ(sd_track_count(SD_AREA_TWO_CHANNEL), 3);
        for (int t = 0; t < 3; ++t) {
            SCOPED_TRACE(t);
            ASSERT_EQ(sd_set_track(t, SD_AREA_TWO_CHANNEL, 0), 1);
            EXPECT_EQ(sd.start_lsn, img.areas[0].placed[t].first);
            const track_read r = read_track();
            EXPECT_EQ(r.frames, img.areas[0].tracks[t].frames);
            EXPECT_EQ(r.types, std::vector<int32_t>(r.frames.size(), SD_FRAME_DSD));
            EXPECT_EQ(r.end_type, SD_FRAME_END);
            EXPECT_EQ(r.end_result, 0);
            EXPECT_EQ(r.pending > 0, c.pk.empty_sectors > static_cast<int>(SD_SCAN_SECTORS));
            // The end is lasting.
            int32_t size = FRAME, type = 0;
            uint8_t b[FRAME];
            EXPECT_EQ(sd_read_frame(b, &size, &type), 0);
            EXPECT_EQ(type, SD_FRAME_END);
        }
        // Titles as stored (the last title item wins; none without one).
        EXPECT_STREQ(sd_track_title(SD_AREA_TWO_CHANNEL, 0), "Allegro");
        EXPECT_EQ(sd_track_title(SD_AREA_TWO_CHANNEL, 1), nullptr);
        EXPECT_STREQ(sd_track_title(SD_AREA_TWO_CHANNEL, 2), "Adagio \xE2\x80\x94 \"live\"");
        uint8_t m = 0, s = 0, f = 0;
        ASSERT_TRUE(sd_track_time(SD_AREA_TWO_CHANNEL, 2, &m, &s, &f));
        EXPECT_EQ((std::array<int, 3>{m, s, f}), (std::array<int, 3>{0, 59, 74}));
        // Back to a track already read, and tracks that are not there.
        ASSERT_EQ(sd_set_track(1, SD_AREA_TWO_CHANNEL, 0), 1);
        EXPECT_EQ(read_track().frames, img.areas[0].tracks[1].frames);
        EXPECT_EQ(sd_set_track(3, SD_AREA_TWO_CHANNEL, 0), 0);
        EXPECT_EQ(sd_set_track(-1, SD_AREA_TWO_CHANNEL, 0), 0);
        EXPECT_EQ(sd_set_track(0, SD_AREA_MULTI_CHANNEL, 0), 0);
        EXPECT_EQ(sd_set_track(0, 3, 0), 0);
        EXPECT_EQ(sd.area_type, SD_AREA_NONE);
        EXPECT_EQ(read_track().end_result, 0) << "no track, no frames";
        EXPECT_EQ(sd_close(), 1);
        EXPECT_EQ(sd_close(), 1) << "closing twice is harmless";
    }
}

TEST_F(SacdReader, AreasAreClassifiedByChannelsAndSpeakers) {
    auto make = [](const char *id, uint8_t channels, uint8_t speakers, uint32_t seed) {
        area a;
        a.id = id;
        a.channels = channels;
        a.speakers = speakers;
        a.tracks.resize(2);
        a.tracks[0].frames = {dsd_frame(seed)};
        a.tracks[1].frames = {dsd_frame(seed + 1)};
        return a;
    };
    area bad_id = make("TWOCHTOX", 2, 0, 30);
    area bad_version = make("TWOCHTOC", 2, 0, 40);
    bad_version.version_minor = 21;
    area absurd = make("TWOCHTOC", 2, 0, 50);
    absurd.master_size = 0xFFFF;
    area past_end = make("TWOCHTOC", 2, 0, 60);
    past_end.master_lsn = 4000000000u;
    area empty = make("TWOCHTOC", 2, 0, 70);
    empty.master_size = 0;
    const area two = make("TWOCHTOC", 2, 0, 10);
    const area multi = make("MULCHTOC", 6, 3, 20);
    // Area indices, records filled, and which area of the image each class plays.
    const struct {
        const char *name;
        std::vector<area> areas;
        int32_t twoch, mulch, count;
        int twoch_source, mulch_source;
    } cases[] = {
        {"two-channel only", {two}, 0, -1, 1, 0, -1},
        {"multichannel only", {multi}, -1, 0, 1, -1, 0},
        {"both", {two, multi}, 0, 1, 2, 0, 1},
        {"multichannel first", {multi, two}, 1, 0, 2, 1, 0},
        {"the id does not decide",
         {make("MULCHTOC", 2, 0, 10), make("TWOCHTOC", 2, 1, 20)},
         0,
         1,
         2,
         0,
         1},
        {"a second of one class replaces the first",
         {two, make("MULCHTOC", 2, 0, 80)},
         1,
         -1,
         2,
         1,
         -1},
        {"a rejected id leaves its record to the next", {bad_id, two}, 0, -1, 1, 1, -1},
        {"a bad version", {bad_version, two}, 0, -1, 1, 1, -1},
        {"an absurd size is refused", {absurd, two}, 0, -1, 1, 1, -1},
        {"a TOC beyond the image", {two, past_end}, 0, -1, 1, 0, -1},
        {"an empty TOC", {empty, multi}, -1, 0, 1, -1, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        image img;
        img.areas = c.areas;
        ASSERT_TRUE(load(img.build()));
        ASSERT_EQ(sd_open(), 1) << "the master TOC is good";
        EXPECT_EQ(sd.twoch_area, c.twoch);
        EXPECT_EQ(sd.mulch_area, c.mulch);
        EXPECT_EQ(sd.area_count, c.count);
        for (int type : {SD_AREA_TWO_CHANNEL, SD_AREA_MULTI_CHANNEL}) {
            const int source = type == SD_AREA_TWO_CHANNEL ? c.twoch_source : c.mulch_source;
            EXPECT_EQ(sd_track_count(type), source >= 0 ? 2 : 0);
            if (source < 0) continue;
            ASSERT_EQ(sd_set_track(1, type, 0), 1);
            EXPECT_EQ(read_track().frames, c.areas[source].tracks[1].frames);
        }
        sd_close();
    }
}

TEST_F(SacdReader, ImagesThatAreNotOpened) {
    const struct {
        const char *name;
        void (*damage)(image &);
    } cases[] = {
        {"no master TOC", [](image &i) { i.sector(510)[0] = 'X'; }},
        {"master TOC major version 2", [](image &i) { i.sector(510)[8] = 2; }},
        {"master TOC minor version 21", [](image &i) { i.sector(510)[9] = 21; }},
        {"a text sector missing", [](image &i) { i.drop_sector(514); }},
        {"no manufacturer sector", [](image &i) { i.sector(519)[7] = 'x'; }},
        {"the image ends inside the master TOC",
         [](image &i) {
             for (uint64_t s = 516; s < 4000; ++s) i.drop_sector(s);
         }},
    };
    for (uint32_t sector_size : {2048u, 2064u})
        for (const auto &c : cases) {
            SCOPED_TRACE(std::string(c.name) + " " + std::to_string(sector_size));
            image img = one_area(sample_tracks(), {}, sector_size);
            img.build();
            c.damage(img);
            img.file_size = 0;
            ASSERT_TRUE(load(img));
            EXPECT_EQ(sd_open(), 0);
            EXPECT_EQ(sd.master_toc, nullptr) << "everything released";
            EXPECT_EQ(sd.area_count, 0);
            EXPECT_EQ(sd.twoch_area, -1);
            EXPECT_EQ(sd.mulch_area, -1);
            EXPECT_EQ(sd_set_track(0, SD_AREA_TWO_CHANNEL, 0), 0);
            EXPECT_EQ(sd_close(), 1);
        }
}

TEST_F(SacdReader, TextIsReadOnlyInsideItsSector) {
    // Raw text blocks at chosen offsets of the text sector.
    struct text_at {
        uint16_t offset;
        bytes block;
    };
    auto item = [](uint8_t type, const std::string &s, int zeros = 1) {
        bytes b{type, 0};
        b.insert(b.end(), s.begin(), s.end());
        b.insert(b.end(), zeros, 0);
        return b;
    };
    auto cat = [](std::initializer_list<bytes> parts) {
        bytes out;
        for (const auto &p : parts) out.insert(out.end(), p.begin(), p.end());
        return out;
    };
    const std::string stored = "\x01\x7F\xFF\xC3(\"\\%s";
    const struct {
        const char *name;
        text_at text;
        const char *title; // null: none
    } cases[] = {
        {"title after other items, zeros between",
         {600, cat({{3, 0, 0, 0}, item(2, "P", 4), item(5, "", 2), item(1, "Name", 3)})},
         "Name"},
        {"bytes as stored", {600, cat({{1, 0, 0, 0}, item(1, stored)})}, stored.c_str()},
        {"no title item", {600, cat({{2, 0, 0, 0}, item(2, "A"), item(3, "B")})}, nullptr},
        {"offset 0", {0, {}}, nullptr},
        {"count beyond the items: the sector ends them",
         {2030, cat({{255, 0, 0, 0}, item(1, "T"), item(1, "Last")})},
         "Last"},
        {"unterminated at the sector's end", {2040, cat({{1, 0, 0, 0}, {1, 0, 'a', 'b'}})}, "ab"},
        {"header beyond the sector", {2046, {}}, nullptr},
        {"offset far beyond the sector", {0xFFFF, {}}, nullptr},
        {"items of zeros to the end", {1000, {200, 0, 0, 0}}, nullptr},
        {"an item's header at the sector's end", {2042, cat({{2, 0, 0, 0}, {2, 0}})}, nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<track> tracks(2);
        tracks[0].frames = tracks[1].frames = {dsd_frame(1)};
        tracks[1].text = {{1, "Untouched"}};
        image img = one_area(tracks);
        img.build();
        bytes &tx = img.sector(img.areas[0].toc_lsn + img.areas[0].toc_sectors - 1);
        ASSERT_EQ(std::memcmp(tx.data(), "SACDTTxt", 8), 0);
        store_be(&tx[8], c.text.offset, 2);
        if (c.text.offset > 8 + 2 * 255 && c.text.offset < USER) {
            // The block, then zeros to the sector's end.
            ASSERT_LE(c.text.offset + c.text.block.size(), USER);
            std::copy(c.text.block.begin(), c.text.block.end(), tx.begin() + c.text.offset);
            std::fill(tx.begin() + c.text.offset + c.text.block.size(), tx.end(), 0);
        }
        ASSERT_TRUE(load(img));
        ASSERT_EQ(sd_open(), 1);
        if (c.title)
            EXPECT_STREQ(sd_track_title(SD_AREA_TWO_CHANNEL, 0), c.title);
        else
            EXPECT_EQ(sd_track_title(SD_AREA_TWO_CHANNEL, 0), nullptr);
        EXPECT_STREQ(sd_track_title(SD_AREA_TWO_CHANNEL, 1), "Untouched");
        sd_close();
    }
}

TEST_F(SacdReader, DamageEndsTheTrack) {
    const struct {
        const char *name;
        void (*change)(image &); // before build, to the tracks
        void (*damage)(image &); // after build, to the sectors
        int track;
        std::size_t frames; // delivered before the end
        int32_t end_type;
        int end_result;
    } cases[] = {
        {"a packet beyond its sector", nullptr,
         [](image &i) {
             // The second sector goes on with frame 0: its first packet
             // now claims 2047 bytes.
             bytes &s = i.sector(i.areas[0].placed[0].first + 1);
             store_be(&s[1], (s[1] << 8 | s[2]) | 0x7FF, 2);
         },
         0, 0, SD_FRAME_END, 1},
        {"a start beyond 32 bits of sectors",
         [](image &i) {
             i.areas[0].tracks[1].start_entry = 0xFFFFFFF0u;
             i.areas[0].tracks[1].length_entry = 0x20;
         },
         nullptr, 1, 0, SD_FRAME_END, 0},
        {"a length beyond the image plays what there is",
         [](image &i) { i.areas[0].tracks[2].length_entry = 0xFFFFFFFFu; }, nullptr, 2, 1,
         SD_FRAME_END, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        image img = one_area(sample_tracks());
        if (c.change) c.change(img);
        img.build();
        if (c.damage) c.damage(img);
        if (HasFatalFailure()) return;
        ASSERT_TRUE(load(img));
        ASSERT_EQ(sd_open(), 1);
        ASSERT_EQ(sd_set_track(c.track, SD_AREA_TWO_CHANNEL, 0), 1);
        const track_read r = read_track();
        ASSERT_EQ(r.frames.size(), c.frames);
        for (std::size_t k = 0; k < c.frames; ++k)
            EXPECT_EQ(r.frames[k], img.areas[0].tracks[c.track].frames[k]);
        EXPECT_EQ(r.end_type, c.end_type);
        EXPECT_EQ(r.end_result, c.end_result);
        // The next track is whole.
        if (c.track < 2) {
            ASSERT_EQ(sd_set_track(c.track + 1, SD_AREA_TWO_CHANNEL, 0), 1);
            EXPECT_EQ(read_track().frames, img.areas[0].tracks[c.track + 1].frames);
        }
        sd_close();
    }
}

TEST_F(SacdReader, DstFramesAreFlagged) {
    image img = one_area(sample_tracks(), {1500, 0, 0, 0, true}, 2064);
    ASSERT_TRUE(load(img.build()));
    ASSERT_EQ(sd_open(), 1);
    ASSERT_EQ(sd_set_track(0, SD_AREA_TWO_CHANNEL, 0), 1);
    const track_read r = read_track();
    EXPECT_EQ(r.frames, img.areas[0].tracks[0].frames) << "4-byte frame infos are stepped over";
    EXPECT_EQ(r.types, std::vector<int32_t>(4, SD_FRAME_DST));
}
