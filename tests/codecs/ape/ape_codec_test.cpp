// The APE codec as the player runs it: files made by the reference encoder
// decode to their source sample for sample, the shared sample media to
// their published digests; seeks land where the seek table says; refusals,
// damaged files, pause and halt.

#include <algorithm>
#include <cstdio>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "codecs/ape/ape.h"
#include "support/ape_files.h"
#include "support/flac_files.h"
#include "support/sandbox.h"

using namespace pipd;
using namespace pipd::testing;

namespace {

constexpr std::size_t FRAME = 73728;         // samples per frame at c1000 to c3000
constexpr std::size_t SHORT = FRAME + 1272;  // one whole frame and a part
constexpr std::size_t LONG = 6 * FRAME + 18; // past the 10 s seek of the worked example
const std::string MEDIA = PIPD_SOURCE_DIR "/../shared/media/";

enum class shape { plain, silent_start, same_channels, mono16 };

struct source {
    const char *name;
    source_kind kind;
    int channels;
    int bps;
    std::size_t frames;
    shape form = shape::plain;
};

audio make_source(const source &s) {
    audio a = make_audio(s.kind, s.channels, s.bps, 44100, s.frames, 7);
    if (s.form == shape::silent_start) {
        // More than a whole frame of digital silence: a silent frame.
        std::fill(a.samples.begin(), a.samples.begin() + static_cast<long>(2 * (FRAME + 500)), 0);
    } else if (s.form == shape::same_channels) {
        for (std::size_t i = 0; i < a.frames(); ++i) a.samples[2 * i + 1] = a.samples[2 * i];
    }
    return a;
}

// The samples the player sends for the source: the source itself, at
// 24-bit scale, one channel on both sides.
std::vector<int32_t> expected(const audio &a, std::size_t from = 0) {
    return expected_stereo(a, from);
}

class ApeCodec : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!have_program("jmac")) GTEST_SKIP() << "no jmac encoder";
        ASSERT_FALSE(dir_.path().empty());
    }

    // The source encoded at the level, padded to the first read, in the
    // scratch directory.
    std::string encoded(const source &s, const std::string &level, audio *a = nullptr,
                        std::vector<uint8_t> *bytes = nullptr) {
        const audio src = make_source(s);
        const std::string made = jmac_file(src, s.name, level);
        if (made.empty()) return "";
        if (a) *a = src;
        std::vector<uint8_t> f = read_bytes(made);
        if (bytes) *bytes = f;
        return write(padded(f), std::string(s.name) + "-" + level + ".ape");
    }

    std::string write(const bytes &b, const std::string &name = "x.ape") {
        return dir_.write(name, b);
    }

    TempDir dir_;
};

const source music16 = {"music16", source_kind::music, 2, 16, SHORT};
const source long8 = {"long8", source_kind::music, 2, 8, LONG};

// ---------------------------------------------------------------------------
// Lossless: what the encoder was given comes back.

TEST_F(ApeCodec, ReferenceFilesDecodeToTheirSource) {
    const struct {
        source src;
        std::vector<const char *> levels;
    } cases[] = {
        {music16, {"c1000", "c2000", "c3000", "c4000"}},
        {{"music24", source_kind::music, 2, 24, SHORT}, {"c1000", "c2000", "c3000", "c4000"}},
        // Wide residuals: escapes and large Rice parameters; at c4000 the
        // filter coefficients of 24-bit noise run past 16 bits and wrap.
        {{"noise24", source_kind::noise, 2, 24, SHORT}, {"c2000", "c4000"}},
        {{"noise16", source_kind::noise, 2, 16, SHORT / 2}, {"c3000"}},
        {{"square8", source_kind::square, 2, 8, SHORT}, {"c1000", "c3000"}},
        {{"mono8", source_kind::music, 1, 8, SHORT}, {"c2000", "c4000"}},
        {{"mono24", source_kind::music, 1, 24, SHORT}, {"c1000", "c3000", "c4000"}},
        {{"silent16", source_kind::music, 2, 16, SHORT + 9000, shape::silent_start}, {"c2000"}},
        {{"dual16", source_kind::music, 2, 16, SHORT, shape::same_channels}, {"c3000"}},
    };
    for (const auto &c : cases) {
        for (const char *level : c.levels) {
            SCOPED_TRACE(std::string(c.src.name) + " " + level);
            audio a;
            const std::string p = encoded(c.src, level, &a);
            ASSERT_FALSE(p.empty()) << "jmac failed";
            decode_result r = run_decode(p, dir_);
            EXPECT_EQ(r.status, 0) << r.messages;
            EXPECT_EQ(first_difference(r.samples, expected(a)), -1);
            EXPECT_TRUE(
                has(r.messages, "APE: Decoded " + std::to_string(a.frames()) + " samples\n"))
                << r.messages;
        }
    }
}

// The sources above do reach the frame kinds they are meant for.
TEST_F(ApeCodec, ReferenceFilesHoldSilentAndPseudoStereoFrames) {
    const struct {
        source src;
        uint32_t mask;
        uint32_t flags;
    } cases[] = {
        {{"silent16", source_kind::music, 2, 16, SHORT + 9000, shape::silent_start},
         3,
         APE_FRAME_SILENT_Y | APE_FRAME_SILENT_X},
        {{"dual16", source_kind::music, 2, 16, SHORT, shape::same_channels},
         7,
         APE_FRAME_PSEUDO_STEREO},
    };
    for (const auto &c : cases) {
        std::vector<uint8_t> f;
        const std::string level = c.flags == APE_FRAME_PSEUDO_STEREO ? "c3000" : "c2000";
        ASSERT_FALSE(encoded(c.src, level, nullptr, &f).empty());
        ape_layout l = parse_ape_layout(f);
        ASSERT_TRUE(l.ok);
        ape_context ctx{};
        DiagCapture quiet;
        ASSERT_EQ(ape_parseheaderbuf(f.data(), static_cast<uint32_t>(f.size()), &ctx), 0);
        int byte_index = 3, consumed = 0;
        ASSERT_EQ(init_entropy_decoder(&ctx, f.data() + l.firstframe,
                                       static_cast<uint32_t>(f.size() - l.firstframe), &byte_index,
                                       &consumed),
                  0);
        EXPECT_EQ(ctx.frame_flags & c.mask, c.flags) << c.src.name;
    }
}

// ---------------------------------------------------------------------------
// Files of other encoders.

std::string md5_of_s16(const std::vector<int32_t> &samples, const TempDir &dir) {
    std::vector<uint8_t> pcm;
    for (int32_t s : samples) {
        const int32_t v = s >> 8;
        pcm.push_back(static_cast<uint8_t>(v));
        pcm.push_back(static_cast<uint8_t>(v >> 8));
    }
    const std::string path = dir.file("pcm.raw");
    if (!write_file(path, pcm)) return "";
    std::FILE *p = popen(("md5sum " + shell_quote(path)).c_str(), "r");
    if (!p) return "";
    char buf[33] = {};
    const std::size_t n = std::fread(buf, 1, 32, p);
    pclose(p);
    return std::string(buf, n);
}

TEST_F(ApeCodec, SharedMediaMatchTheirDigests) {
    const struct {
        const char *file;
        const char *md5;
    } cases[] = {
        {"level2000-music.ape", "b7391319f9ef5f89504c35499a44960c"},
        {"level3000-short.ape", "cfe3d9dabadeab2cbf2ca235274b7f76"},
        {"level3000-id3v2.ape", "cfe3d9dabadeab2cbf2ca235274b7f76"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.file);
        std::vector<uint8_t> f = read_bytes(MEDIA + c.file);
        if (f.empty()) GTEST_SKIP() << "no shared media";
        decode_result r = run_decode(write(padded(f)), dir_);
        EXPECT_EQ(r.status, 0) << r.messages;
        EXPECT_EQ(md5_of_s16(r.samples, dir_), c.md5);
    }
    // Above 4000, and two damaged headers: refused, no samples.
    for (const char *file :
         {"level5000-music.ape", "malformed-zerodiv.ape", "malformed-longloop.ape"}) {
        SCOPED_TRACE(file);
        decode_result r = run_decode(write(padded(read_bytes(MEDIA + file))), dir_);
        EXPECT_TRUE(r.status == 0 || r.status == 1);
        EXPECT_TRUE(r.samples.empty());
    }
    decode_result r = run_decode(write(padded(read_bytes(MEDIA + "level5000-music.ape"))), dir_);
    EXPECT_TRUE(has(r.messages, "APE: high compression type\nAPE: compression level 5000"))
        << r.messages;
}

// ---------------------------------------------------------------------------
// Seeking: to frame (t / 10) * (rate / 100) / blocksperframe by the seek
// table, then the samples before the target are dropped.

TEST_F(ApeCodec, SeekLandsOnTheComputedSample) {
    const struct {
        source src;
        const char *level;
        std::vector<long> ms;
    } cases[] = {
        // In the first frame, and in the second (73728 samples are 1671 ms).
        {music16, "c2000", {1234, 1700}},
        // Frames of 294912 samples (6687 ms).
        {long8, "c4000", {6689, 10000}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.level);
        audio a;
        const std::string p = encoded(c.src, c.level, &a);
        ASSERT_FALSE(p.empty());
        for (long ms : c.ms) {
            const std::size_t target = static_cast<std::size_t>(ms / 10 * 441);
            decode_result r = run_decode(p, dir_, ms);
            EXPECT_EQ(r.status, 0) << r.messages;
            EXPECT_EQ(first_difference(r.samples, expected(a, target)), -1) << ms << " ms";
        }
    }
    // Past the last frame: refused, the track plays from where it was.
    audio a;
    const std::string p = encoded(music16, "c2000", &a);
    decode_result r = run_decode(p, dir_, 5000);
    EXPECT_EQ(first_difference(r.samples, expected(a)), -1);
}

// Seek-table entries count from the start of the stream: behind an ID3v2
// tag (of 3943 bytes, not a whole number of words) the seek lands on the
// same samples.
TEST_F(ApeCodec, SeekBehindAnId3TagLandsLikeWithout) {
    const std::vector<uint8_t> plain = read_bytes(MEDIA + "level3000-short.ape");
    const std::vector<uint8_t> tagged = read_bytes(MEDIA + "level3000-id3v2.ape");
    if (plain.empty() || tagged.empty()) GTEST_SKIP() << "no shared media";
    const decode_result whole = run_decode(write(padded(plain), "plain.ape"), dir_);
    ASSERT_EQ(whole.status, 0);
    for (long ms : {1700L, 2500L, 3400L}) {
        SCOPED_TRACE(ms);
        const decode_result a = run_decode(write(padded(plain), "plain.ape"), dir_, ms);
        const decode_result b = run_decode(write(padded(tagged), "tagged.ape"), dir_, ms);
        const std::size_t target = static_cast<std::size_t>(ms / 10 * 441);
        const std::vector<int32_t> tail(whole.samples.begin() + static_cast<long>(2 * target),
                                        whole.samples.end());
        EXPECT_EQ(first_difference(a.samples, tail), -1);
        EXPECT_EQ(first_difference(b.samples, tail), -1);
    }
}

// ---------------------------------------------------------------------------
// In the player's own process.

class ApeInProcess : public ApeCodec {
  protected:
    void SetUp() override {
        ApeCodec::SetUp();
        sb.on_insert = [this](const int32_t *a, const int32_t *b, int n) {
            for (int i = 0; i < n; ++i) stream_.insert(stream_.end(), {a[i], b[i]});
        };
    }

    // Plays the bytes as an APE file; the decoder's result.
    int play(const std::vector<uint8_t> &bytes) {
        const std::string p = write(padded(bytes));
        playstat_reset(p.c_str());
        sb.inserts.clear();
        sb.elapsed.clear();
        stream_.clear();
        return sb.play(p);
    }

    Sandbox sb;
    DiagCapture &diag_ = sb.diag;
    std::vector<int32_t> stream_; // channel 0, channel 1, ...
};

// 10000 ms at 44100 Hz, 73728 samples per frame: sample 441000 in frame 5,
// which starts at 368640 (8359 ms); 72360 samples are dropped, 70 whole
// chunks and 680 of the 71st, whose last 344 are the first heard; then the
// position is 441344 samples, 10007 ms.
TEST_F(ApeInProcess, SeekOfTheWorkedExample) {
    std::vector<uint8_t> f;
    audio a;
    ASSERT_FALSE(encoded(long8, "c2000", &a, &f).empty());
    ploffset = 10000;
    ASSERT_EQ(play(f), 0) << diag_.text();
    ASSERT_GE(sb.elapsed.size(), 4u);
    EXPECT_EQ(sb.elapsed[0], 0u);
    EXPECT_EQ(sb.elapsed[1], 8359u);
    EXPECT_EQ(sb.elapsed[2], 10007u);
    ASSERT_FALSE(sb.inserts.empty());
    EXPECT_EQ(sb.inserts[0], 344);
    EXPECT_EQ(sb.inserts[1], 1024);
    EXPECT_EQ(first_difference(stream_, expected(a, 441000)), -1);
    EXPECT_EQ(playstat.elapsed, static_cast<uint32_t>(a.frames() * 10 / 441));
    // Frames of 73728 samples go in chunks of 1024, the last of 18 in one.
    EXPECT_EQ(std::count(sb.inserts.begin(), sb.inserts.end(), 1024),
              static_cast<long>((LONG - 441000 - 344 - 18) / 1024));
    EXPECT_EQ(sb.inserts.back(), 18);
    EXPECT_EQ(ploffset, -1);
}

// The encoder writes 16-bit mono with 65536 added to every negative sample
// (its file is larger than its source); the decoder gives back what the
// stream holds, which is beyond 24 bits for those samples.
TEST_F(ApeInProcess, SixteenBitMonoComesBackAsTheEncoderWroteIt) {
    std::vector<uint8_t> f;
    audio a;
    ASSERT_FALSE(encoded({"mono16", source_kind::music, 1, 16, SHORT}, "c2000", &a, &f).empty());
    ASSERT_EQ(play(f), 0);
    std::vector<int32_t> want;
    for (int32_t s : a.samples) {
        const int32_t v = static_cast<int32_t>(static_cast<uint32_t>(s < 0 ? s + 65536 : s) << 8);
        want.push_back(v);
        want.push_back(v);
    }
    EXPECT_EQ(first_difference(stream_, want), -1);
}

TEST_F(ApeInProcess, HaltDuringPauseEndsTheTrackNormally) {
    std::vector<uint8_t> f;
    ASSERT_FALSE(encoded(music16, "c2000", nullptr, &f).empty());
    sb.next_after_sleeps(3);
    plaction = PLAYER_ACTION_PAUSE;
    EXPECT_EQ(play(f), 0);
    EXPECT_EQ(sb.platform.sleeps, 3);
    EXPECT_EQ(sb.platform.slept, 3);
    EXPECT_TRUE(sb.inserts.empty());
    EXPECT_TRUE(
        diag_.contains("compression type = 2000\nlen=" + std::to_string(SHORT * 10 / 441) + "\n"))
        << diag_.text();
    EXPECT_TRUE(diag_.contains("APE: Decoded 0 samples\n")) << diag_.text();
    EXPECT_EQ(playstat.frequency, 44100);
    EXPECT_EQ(playstat.bps, 16);
    EXPECT_EQ(playstat.channel, 2);
    EXPECT_EQ(playstat.length, static_cast<int32_t>(SHORT * 10 / 441));
}

// Headers the decoder does not play, or that are damaged: a message, and
// the track ends at once.
TEST_F(ApeInProcess, RefusesWhatItDoesNotPlay) {
    std::vector<uint8_t> f;
    ASSERT_FALSE(encoded(music16, "c2000", nullptr, &f).empty());
    const ape_layout l = parse_ape_layout(f);
    ASSERT_TRUE(l.ok);
    const std::string bad_header = "APE: Error reading header\n";
    const struct {
        const char *what;
        std::size_t at;
        int width;
        uint32_t value;
        int result;
        std::string said;
        bool plays = false;
    } cases[] = {
        {"rate above 48000", l.field_samplerate(), 4, 48001, -1,
         "APE: sample rate 48001 Hz is not supported (100 to 48000 Hz are)\n"},
        {"rate below 100", l.field_samplerate(), 4, 99, -1, "APE: sample rate 99 Hz is not"},
        {"rate 0", l.field_samplerate(), 4, 0, -1, "APE: sample rate 0 Hz is not"},
        {"rate the output cannot carry", l.field_samplerate(), 4, 3999, -1,
         "CODEC_ERROR: a sample rate of 3999 Hz cannot be played\nAPE: Decoded 0 samples\n"},
        {"level 5000", l.compressiontype(), 2, 5000, -1,
         "APE: high compression type\nAPE: compression level 5000 is not supported (up to 4000 "
         "are)\nAPE: Decoded 0 samples\n"},
        {"version 3899", 4, 2, 3899, -1,
         "APE: file version 3899 is not supported (3900 and later are)\n"},
        {"25 bits", l.field_bps(), 2, 25, -1, "APE: 25 bits per sample are not supported"},
        {"no magic", 3, 1, 'X', -1, bad_header},
        {"header beyond the bytes read", 8, 4, 40000, -1, bad_header},
        {"frames of no samples", l.field_blocksperframe(), 4, 0, -1, bad_header},
        {"frames of 2^31 samples", l.field_blocksperframe(), 4, 0x80000000u, -1, bad_header},
        {"seek table longer than the file", 16, 4, 0x7FFFFFF0u, -1, bad_header},
        {"no frames", l.field_totalframes(), 4, 0, 0, "APE: Decoded 0 samples\n"},
        // Frames the file cannot hold: decoding runs out of input.
        {"a billion frames", l.field_totalframes(), 4, 1000000000u, -1, "APE: Frame ", true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<uint8_t> g = f;
        if (c.width == 4) store_le(&g[c.at], c.value, 4);
        if (c.width == 2) store_le(&g[c.at], c.value, 2);
        if (c.width == 1) g[c.at] = static_cast<uint8_t>(c.value);
        diag_.take();
        EXPECT_EQ(play(g), c.result);
        const std::string said = diag_.take();
        EXPECT_TRUE(has(said, c.said)) << said;
        EXPECT_EQ(has(said, "high compression"), c.value == 5000) << said;
        EXPECT_EQ(!sb.inserts.empty(), c.plays);
    }
    // 48000 Hz is played.
    std::vector<uint8_t> g = f;
    store_le(&g[l.field_samplerate()], 48000, 4);
    EXPECT_EQ(play(g), 0);
    EXPECT_EQ(playstat.frequency, 48000);
}

// A stream cut short: what decodes plays, then the frame that runs out of
// input ends the track as a frame error.
TEST_F(ApeInProcess, FrameThatRunsOutOfInputIsAFrameError) {
    std::vector<uint8_t> f;
    audio a;
    ASSERT_FALSE(encoded(long8, "c2000", &a, &f).empty());
    const ape_layout l = parse_ape_layout(f);
    ASSERT_TRUE(l.ok);
    const uint32_t sixth = static_cast<uint32_t>(load_le(&f[l.seektable + 4 * 5], 4));
    const std::vector<uint8_t> g(f.begin(), f.begin() + static_cast<long>(sixth + 100));
    ASSERT_GE(g.size(), 131072u) << "long enough to play without padding";
    ASSERT_EQ(play(g), -1);
    EXPECT_TRUE(diag_.contains("APE: Frame 5, error -2\n")) << diag_.text();
    ASSERT_GE(stream_.size(), 2 * 5 * FRAME);
    const std::vector<int32_t> want = expected(a);
    EXPECT_EQ(
        first_difference(std::vector<int32_t>(stream_.begin(), stream_.begin() + 2 * 5 * FRAME),
                         std::vector<int32_t>(want.begin(), want.begin() + 2 * 5 * FRAME)),
        -1);
}

// Truncated files, flipped bytes in the headers, the seek table and the
// frames, zeroed fields: every one ends, with or without an error, and
// nothing is read outside the input (the sanitizers watch).
TEST_F(ApeInProcess, DamagedFilesEndCleanly) {
    std::vector<std::vector<uint8_t>> variants;
    std::vector<uint8_t> f;
    for (const char *level : {"c2000", "c4000"}) {
        ASSERT_FALSE(encoded(music16, level, nullptr, &f).empty());
        const ape_layout l = parse_ape_layout(f);
        // Cut anywhere (and padded with zeros to be played).
        for (std::size_t cut = level[1] == '2' ? 8 : 30; cut < f.size(); cut = cut * 2 + 7)
            variants.emplace_back(f.begin(), f.begin() + static_cast<long>(cut));
        // Bytes of the descriptor, header and seek table; fields zeroed.
        for (std::size_t at = level[1] == '2' ? 0 : 3; at < l.firstframe + 8; at += 7) {
            std::vector<uint8_t> g = f;
            g[at] ^= 0xFF;
            variants.push_back(g);
        }
        for (std::size_t at : {l.field_blocksperframe(), l.field_finalframeblocks(),
                               l.field_totalframes(), l.field_bps(), l.field_channels()}) {
            std::vector<uint8_t> g = f;
            store_le(&g[at], 0, 2);
            variants.push_back(g);
        }
        // Bytes of the frames.
        uint32_t x = 12345;
        for (int i = 0; i < 8; ++i) {
            std::vector<uint8_t> g = f;
            for (int k = 0; k <= i % 4; ++k) {
                x = x * 1103515245 + 12345;
                const std::size_t at = l.firstframe + (x >> 8) % (f.size() - l.firstframe);
                g[at] = static_cast<uint8_t>(x >> 3);
            }
            variants.push_back(g);
        }
    }
    for (std::size_t i = 0; i < variants.size(); ++i) {
        SCOPED_TRACE("variant " + std::to_string(i));
        const int r = play(variants[i]);
        EXPECT_TRUE(r == 0 || r == -1);
        EXPECT_NE(diag_.take().find("APE: "), std::string::npos);
    }
}

// Lengths, positions and seeks beyond 2^32 / 10 samples (2 h 42 min at
// 44100 Hz): a file that claims 7000 frames, every seek-table entry but the
// first pointing at its second frame.
TEST_F(ApeInProcess, TimesBeyondTwoHoursFortyTwoMinutes) {
    std::vector<uint8_t> f;
    audio a;
    ASSERT_FALSE(encoded(long8, "c2000", &a, &f).empty());
    const ape_layout l = parse_ape_layout(f);
    ASSERT_TRUE(l.ok);
    const uint32_t frames = 7000;
    const uint32_t grow = (frames - l.seekpoints) * 4;
    std::vector<uint8_t> g(f.begin(), f.begin() + static_cast<long>(l.seektable));
    const uint32_t second = static_cast<uint32_t>(load_le(&f[l.seektable + 4], 4)) + grow;
    for (uint32_t i = 0; i < frames; ++i) {
        g.resize(g.size() + 4);
        store_le(&g[g.size() - 4],
                 i == 0 ? static_cast<uint32_t>(load_le(&f[l.seektable], 4)) + grow : second, 4);
    }
    g.insert(g.end(), f.begin() + static_cast<long>(l.seektable + 4 * l.seekpoints), f.end());
    store_le(&g[16], frames * 4, 4);
    store_le(&g[l.field_totalframes()], frames, 4);
    store_le(&g[l.field_finalframeblocks()], FRAME, 4);

    // 3 h: frame 6459 (of 73728 samples) starts at 476209152 samples.
    ploffset = 3 * 3600 * 1000;
    EXPECT_EQ(play(g), -1) << "the file runs out of frames";
    EXPECT_TRUE(diag_.contains("len=" + std::to_string(uint64_t{frames} * FRAME * 10 / 441) + "\n"))
        << diag_.text();
    // 70848 samples are dropped: 69 chunks and 192 of the 70th.
    ASSERT_GE(sb.elapsed.size(), 3u);
    EXPECT_EQ(sb.elapsed[1], 476209152ull * 10 / 441);
    EXPECT_EQ(sb.elapsed[2], (476209152ull + 70 * 1024) * 10 / 441);
    ASSERT_FALSE(sb.inserts.empty());
    EXPECT_EQ(sb.inserts[0], 1024 - 192);
    // What plays is the second frame's audio from 70848 samples on, and the
    // frames after it, up to the last whole one.
    const std::vector<int32_t> want = expected(a, FRAME + 70848);
    const std::size_t n = 2 * (LONG - 18 - FRAME - 70848);
    ASSERT_GE(stream_.size(), n);
    EXPECT_EQ(first_difference(
                  std::vector<int32_t>(stream_.begin(), stream_.begin() + static_cast<long>(n)),
                  std::vector<int32_t>(want.begin(), want.begin() + static_cast<long>(n))),
              -1);
}

} // namespace
