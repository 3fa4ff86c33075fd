// The SACD codec as the track runner plays it: every track of the
// two-channel area into one stream, checked sample for sample against the
// converter model; next and previous inside the image; refusals and damage;
// titles; images beyond 4 GiB; pipd-decode on an image.

#include <fstream>
#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "codecs/dsd/dsd2pcm.h"
#include "codecs/dsd/dst_decoder.h"
#include "codecs/dsd/sacd_codec.h"
#include "codecs/dsd/sacd_disc.h"
#include "support/dsd_files.h"
#include "support/dsd_model.h"
#include "support/flac_files.h"
#include "support/fuzz_replay.h"
#include "support/run_tool.h"
#include "support/sacd_image.h"
#include "support/sandbox.h"

using namespace pipd;
using namespace pipd::testing;

namespace {

// What the codec handed over, insert by insert.
struct host_record {
    std::vector<int32_t> pcm;        // channel 0 first
    std::vector<std::string> titles; // the status title
    std::vector<uint32_t> elapsed;   // the elapsed time
};

// Frames of a track: (track, first frame, end frame).
struct span {
    int track;
    std::size_t from, to;
};

class SacdCodec : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.ok());
        DiagCapture quiet;
        dsd2pcm_init();
    }

    // Plays the image through the track runner in a fresh sandbox, the
    // decoder's polls answered by actions; the decoder's result.
    int play(const image &img, std::vector<int> actions = {}) {
        host = host_record{};
        sb.emplace();
        sb->script(std::move(actions));
        sb->on_insert = [this](const int32_t *first, const int32_t *second, int count) {
            for (int k = 0; k < count; ++k) // planar, or interleaved in first
                host.pcm.insert(host.pcm.end(), {second ? first[k] : first[2 * k],
                                                 second ? second[k] : first[2 * k + 1]});
            host.titles.emplace_back(iso_psong ? iso_psong : "(null)");
            host.elapsed.push_back(playstat.elapsed);
        };
        const std::string path = dir_.file("disc.iso");
        EXPECT_TRUE(img.write(path));
        const int result = sb->play(path);
        log_ = sb->diag.text();
        EXPECT_EQ(isplayiso, 0) << "cleared after the decoder";
        EXPECT_EQ(sd.master_toc, nullptr) << "the reader's tables are released";
        EXPECT_EQ(sd.areas[0].toc, nullptr);
        EXPECT_EQ(sd.areas[1].toc, nullptr);
        return result;
    }

    // The converter's output for these frames of the two-channel area, in
    // this order, from one reset: each channel's bytes through the model
    // (those of an incomplete last byte pair of a frame are never used),
    // channel 0 first in each sample pair.
    static std::vector<int32_t> model(const image &img, const std::vector<span> &spans) {
        std::vector<uint8_t> ch[2];
        for (const span &s : spans)
            for (std::size_t k = s.from; k < s.to; ++k) {
                const bytes &f = img.areas[0].tracks[s.track].frames[k];
                for (std::size_t i = 0; i < f.size() / 4 * 4; ++i) ch[i & 1].push_back(f[i]);
            }
        const std::vector<int32_t> left = model_pcm(ch[0]), right = model_pcm(ch[1]);
        std::vector<int32_t> out;
        for (std::size_t k = 0; k < left.size(); ++k) out.insert(out.end(), {left[k], right[k]});
        return out;
    }
    static std::vector<span> whole(const image &img) {
        std::vector<span> all;
        for (std::size_t t = 0; t < img.areas[0].tracks.size(); ++t)
            all.push_back({static_cast<int>(t), 0, img.areas[0].tracks[t].frames.size()});
        return all;
    }
    bool said(const std::string &text) const { return has(log_, text); }
    std::size_t times(const std::string &text) const { return sb->diag.count(text); }

    TempDir dir_;
    std::optional<Sandbox> sb;
    host_record host;
    std::string log_;
};

image with_multichannel_area(image img) {
    area multi;
    multi.id = "MULCHTOC";
    multi.channels = 5;
    multi.speakers = 3;
    multi.tracks.resize(2);
    multi.tracks[0].frames = {dsd_frame(90), dsd_frame(91)};
    multi.tracks[1].frames = {dsd_frame(92)};
    img.areas.push_back(multi);
    return img;
}

} // namespace

TEST_F(SacdCodec, PlaysEveryTwoChannelTrackIntoOneStream) {
    const struct {
        const char *name;
        uint32_t sector_size;
        packing pk;
        bool multichannel_first;
    } cases[] = {
        {"whole sectors", 2048, {}, false},
        {"raw sectors, small packets, side packets, lead-in, empty sectors",
         2064,
         {700, 3, 2000, 4},
         true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        image img = with_multichannel_area(one_area(sample_tracks(), c.pk, c.sector_size));
        if (c.multichannel_first) std::swap(img.areas[0], img.areas[1]);
        img.build();
        if (c.multichannel_first) std::swap(img.areas[0], img.areas[1]); // model reads areas[0]
        EXPECT_EQ(play(img), 0);
        // History runs on from track to track: one model over all of them.
        EXPECT_EQ(host.pcm, model(img, whole(img)));
        EXPECT_EQ(sb->inserts, (std::vector<int>{2352, 2352, 2352, 1250, 2352, 2352, 25, 2352}));
        const std::string adagio = "Adagio \xE2\x80\x94 \"live\"";
        EXPECT_EQ(host.titles, (std::vector<std::string>{"Allegro", "Allegro", "Allegro", "Allegro",
                                                         "", "", "", adagio}));
        for (const char *line :
             {"iso_playmax = 3\n", "len=62000\n", "len=13\n", "len=59986\n", "dsize=5001\n",
              "dsize=100\n", "0 allsize=33225 Allegro\n", "1 allsize=18916 \n"})
            EXPECT_TRUE(said(line)) << line << log_;
        EXPECT_TRUE(said("2 allsize=9408 " + adagio + "\n"));
        EXPECT_EQ(times("has invalid frame\n"), 3u) << "the end of every track";
        EXPECT_EQ(times("freq = 176400\n"), 1u);
        EXPECT_EQ(iso_playcnt, 3);
        EXPECT_EQ(iso_playmax, 3);
        EXPECT_EQ(playstat.bps, 1);
        EXPECT_EQ(playstat.channel, 2);
        EXPECT_EQ(playstat.frequency, 2822400);
        EXPECT_EQ(playstat.length, 59986);
    }
}

TEST_F(SacdCodec, ElapsedTimeMovesInWholeSeconds) {
    std::vector<track> t(1);
    for (uint32_t k = 0; k < 76; ++k) t[0].frames.push_back(dsd_frame(k));
    image img = one_area(t);
    EXPECT_EQ(play(img.build()), 0);
    ASSERT_EQ(host.elapsed.size(), 76u);
    // At each insert: the time after the frames before it.
    for (std::size_t k = 0; k < 76; ++k) EXPECT_EQ(host.elapsed[k], k < 75 ? 0u : 1000u) << k;
    EXPECT_EQ(playstat.elapsed, 1000u);
}

TEST_F(SacdCodec, NextAndPreviousMoveBetweenTracks) {
    std::vector<track> t(3);
    for (int k = 0; k < 3; ++k) {
        for (uint32_t f = 0; f < 4; ++f) t[k].frames.push_back(dsd_frame(10 * k + f));
        t[k].text = {{1, "T" + std::to_string(k)}};
    }
    image img = one_area(t);
    img.build();
    constexpr int N = CODEC_ACTION_NONE, NEXT = CODEC_ACTION_ISO_NEXT, PREV = CODEC_ACTION_ISO_PREV,
                  HALT = CODEC_ACTION_HALT, PAUSE = CODEC_ACTION_PAUSE;
    const struct {
        const char *name;
        std::vector<int> actions;
        std::vector<span> played;
        int32_t playcnt;
        std::size_t configured; // times the rate was reported
        int64_t sleeps;
    } cases[] = {
        {"next, then previous back to the first track, previous leaves",
         {N, NEXT, N, N, PREV, N, PREV},
         {{0, 0, 1}, {1, 0, 2}, {0, 0, 1}},
         0,
         2,
         0},
        {"next to the last track, next leaves", {NEXT, NEXT, N, NEXT}, {{2, 0, 1}}, 3, 1, 0},
        {"pause changes nothing", {N, PAUSE, PAUSE, N, N, HALT}, {{0, 0, 3}}, 0, 1, 2},
        {"previous from the second track, then the image plays to its end",
         {N, N, NEXT, N, PREV, N, N, N, N, N},
         {{0, 0, 2}, {1, 0, 1}, {0, 0, 4}, {1, 0, 4}, {2, 0, 4}},
         3,
         2,
         0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(play(img, c.actions), 0);
        EXPECT_EQ(host.pcm, model(img, c.played));
        EXPECT_EQ(iso_playcnt, c.playcnt);
        EXPECT_EQ(times("freq = 176400\n"), c.configured);
        EXPECT_EQ(sb->platform.slept, c.sleeps);
        // The title follows the track.
        std::vector<std::string> titles;
        for (const span &s : c.played)
            for (std::size_t k = s.from; k < s.to; ++k)
                titles.push_back("T" + std::to_string(s.track));
        EXPECT_EQ(host.titles, titles);
    }
}

// A track whose entry runs far past its audio, over sectors without any
// packet: the codec still takes commands while it reads them, and the last
// frame, assembled across those calls, plays whole.
TEST_F(SacdCodec, CommandsAreTakenInLongRunsWithoutAudio) {
    constexpr uint32_t EMPTY = 100 * SD_SCAN_SECTORS;
    std::vector<track> t(1);
    t[0].frames = {dsd_frame(1), dsd_frame(2)};
    image img = one_area(t);
    img.build();
    const auto [start, length] = img.areas[0].placed[0];
    img.areas[0].tracks[0].length_entry = length + EMPTY;
    img.build();
    img.file_size = (start + length + EMPTY) * img.sector_size; // sparse zeros

    EXPECT_EQ(play(img), 0);
    EXPECT_EQ(host.pcm, model(img, whole(img)));
    EXPECT_GE(sb->polls, EMPTY / SD_SCAN_SECTORS);

    constexpr int N = CODEC_ACTION_NONE, HALT = CODEC_ACTION_HALT;
    EXPECT_EQ(play(img, {N, N, N, N, HALT}), 0);
    EXPECT_EQ(sb->polls, 5u) << "the halt is taken inside the run";
    EXPECT_EQ(host.pcm, model(img, {{0, 0, 1}}));
}

TEST_F(SacdCodec, RefusedAndDamagedImages) {
    const struct {
        const char *name;
        image (*make)();
        int result;
        std::vector<const char *> lines;
        std::vector<span> played;
        int32_t playmax;
    } cases[] = {
        {"not an image",
         [] {
             image i = one_area(sample_tracks());
             i.build().sector(510)[3] = 'X';
             return i;
         },
         -1,
         {"sd open error\n"},
         {},
         0},
        {"multichannel only",
         [] {
             image i = with_multichannel_area(one_area({}));
             i.areas.erase(i.areas.begin());
             return i.build();
         },
         0,
         {"iso_playmax = 0\n"},
         {},
         0},
        {"an area TOC too large to be read",
         [] {
             image i = one_area(sample_tracks());
             i.areas[0].master_size = 40000;
             return i.build();
         },
         0,
         {"iso_playmax = 0\n"},
         {},
         0},
        {"a track beyond the image",
         [] {
             image i = one_area(sample_tracks());
             i.areas[0].tracks[1].start_entry = 50000000;
             return i.build();
         },
         0,
         {"has invalid frame\n1 allsize=0 \n"},
         {{0, 0, 4}, {2, 0, 1}},
         3},
        {"a frame too large for the buffer",
         [] {
             image i = one_area(sample_tracks());
             i.areas[0].tracks[1].frames[1] = dsd_frame(77, 9412);
             return i.build();
         },
         0,
         {"1 allsize=9408 \n"},
         {{0, 0, 4}, {1, 0, 1}, {2, 0, 1}},
         3},
        {"a frame of no bytes is passed over",
         [] {
             image i = one_area(sample_tracks());
             i.areas[0].tracks[0].frames[2].clear();
             return i.build();
         },
         0,
         {"0 allsize=23817 Allegro\n"},
         {{0, 0, 4}, {1, 0, 3}, {2, 0, 1}},
         3},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const image img = c.make();
        EXPECT_EQ(play(img), c.result);
        for (const char *line : c.lines) EXPECT_TRUE(said(line)) << line << log_;
        EXPECT_EQ(host.pcm, model(img, c.played));
        EXPECT_EQ(iso_playmax, c.playmax);
        if (c.result == -1) {
            EXPECT_FALSE(said("freq = ")) << "nothing is configured";
            EXPECT_EQ(iso_playcnt, -1);
        }
    }
}

// Frames the image marks DST-coded are decoded; a damaged one plays as a
// frame of silence, with a message.
TEST_F(SacdCodec, DstFramesAreDecoded) {
    const std::string tone = PIPD_SOURCE_DIR "/../shared/media/dst-stereo-dsd64-tone.dff";
    if (!std::ifstream(tone)) GTEST_SKIP() << "no sample media";
    std::vector<track> t(2);
    t[0].frames = dstf_bodies(read_bytes(tone));
    t[1].frames = {dff_cat({bytes{0}, dsd_frame(5)}), bytes{0xFB}};
    std::vector<track> decoded = t;
    for (track &k : decoded)
        for (bytes &f : k.frames) {
            bytes dsd(FRAME);
            dst_decode_frame(f.data(), f.size(), 2, 64, dsd.data());
            f = dsd;
        }
    packing dst;
    dst.dst = true;
    EXPECT_EQ(play(one_area(t, dst).build()), 0);
    const image plain = one_area(decoded).build();
    EXPECT_EQ(host.pcm, model(plain, whole(plain)));
    EXPECT_TRUE(said("sacd: DST frame of track 2: header runs past the frame; silence in its "
                     "place\n"))
        << log_;
}

TEST_F(SacdCodec, TitlesAreCutAtACharacterBoundary) {
    const std::string euro = "\xE2\x82\xAC";
    const struct {
        std::string title;
        std::size_t kept;
    } cases[] = {
        {"short", 5},
        {std::string(511, 'a'), 511},
        {std::string(512, 'a'), 511},
        {std::string(508, 'a') + euro, 511},
        {std::string(509, 'a') + euro, 509},
        {std::string(510, 'a') + euro, 510},
        {std::string(600, '\x80'), 511}, // not UTF-8: a plain cut
        {"", 0},
    };
    for (const auto &c : cases) {
        char out[ISO_SONG_SIZE];
        EXPECT_EQ(sacd_copy_title(out, sizeof out, c.title.c_str()), c.kept);
        EXPECT_EQ(std::string(out), c.title.substr(0, c.kept));
    }
    char one[1] = {'x'};
    EXPECT_EQ(sacd_copy_title(one, 1, "abc"), 0u);
    EXPECT_EQ(one[0], '\0');

    // A stored title of 1000 bytes of two-byte characters, behind a quote.
    std::string long_title = "\"";
    while (long_title.size() < 1000) long_title += "\xC3\xA9";
    std::vector<track> t(1);
    t[0].frames = {dsd_frame(3)};
    t[0].text = {{1, long_title}};
    EXPECT_EQ(play(one_area(t).build()), 0);
    ASSERT_EQ(host.titles.size(), 1u);
    EXPECT_EQ(host.titles[0], long_title.substr(0, 511));
}

TEST_F(SacdCodec, ImagesBeyondFourGiBPlayExactly) {
    for (uint32_t sector_size : {2048u, 2064u}) {
        SCOPED_TRACE(sector_size);
        constexpr uint64_t four_gib = uint64_t{1} << 32;
        std::vector<track> t = sample_tracks();
        t[1].lsn = four_gib / sector_size - 2; // across byte 4 GiB
        t[2].lsn = four_gib / sector_size + 123457;
        image img = one_area(t, {}, sector_size);
        img.build();
        ASSERT_GT(img.areas[0].placed[2].first * sector_size, four_gib);
        EXPECT_EQ(play(img), 0);
        EXPECT_EQ(host.pcm, model(img, whole(img)));
        EXPECT_TRUE(said("2 allsize=9408 ")) << log_;
    }
}

TEST_F(SacdCodec, PipdDecodePlaysTheWholeImage) {
    image img = with_multichannel_area(one_area(sample_tracks(), {}, 2064));
    img.build();
    const std::string in = dir_.file("album.iso");
    const std::string out = dir_.file("album.wav");
    ASSERT_TRUE(img.write(in));
    const ToolResult r = run_pipd_decode({"--wav", in, out}, dir_);
    EXPECT_EQ(r.status, 0) << r.err;
    int rate = 0;
    const std::vector<int32_t> samples = read_wav24(out, &rate);
    EXPECT_EQ(rate, 176400);
    EXPECT_EQ(samples, halved(model(img, whole(img))))
        << "every track of the two-channel area, halved by the host";
    EXPECT_NE(r.err.find("iso_playmax = 3\n"), std::string::npos);
    // --dsd: the frames' bytes as they are (whole byte pairs).
    ASSERT_EQ(run_pipd_decode({"--dsd", in, out}, dir_).status, 0);
    bytes dsd;
    for (const auto &track : img.areas[0].tracks)
        for (const bytes &f : track.frames)
            dsd.insert(dsd.end(), f.begin(), f.end() - f.size() % 2);
    EXPECT_TRUE(read_bytes(out) == dsd);
}

TEST(SacdFuzzRegressions, KeptInputsPlayWithoutFault) {
    // Every run ends with the codec's own words: a refusal or the track count.
    const bool any = replay_fuzz_inputs(
        "sacd", "iso",
        [](const host_play_result &r) {
            EXPECT_TRUE(r.ran);
            EXPECT_TRUE(r.messages.find("sd open error") != std::string::npos ||
                        r.messages.find("iso_playmax = ") != std::string::npos)
                << r.messages;
        },
        fuzz_file_start);
    EXPECT_TRUE(any);
}
