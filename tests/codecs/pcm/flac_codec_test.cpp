// The FLAC codec as the player runs it: refusals, seeking, damaged files,
// pause and halt, and the seek table.

#include <algorithm>
#include <gtest/gtest.h>
#include <string>
#include <sys/wait.h>
#include <vector>

#include "codecs/pcm/flac_decoder.h"
#include "support/flac_files.h"
#include "support/flac_frames.h"
#include "support/sandbox.h"

using namespace pipd;
using namespace pipd::testing;

namespace {

class FlacCodec : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!have_program("flac")) GTEST_SKIP() << "no flac encoder";
        ASSERT_FALSE(dir_.path().empty());
    }

    // Three seconds and a bit of music, encoded with the options.
    std::string make(const std::string &options, audio *a_out = nullptr, int channels = 2,
                     int bps = 16, std::size_t frames = 3 * 44100 + 1305,
                     const std::string &name = "t.flac") {
        audio a = make_audio(source_kind::music, channels, bps, 44100, frames, 21);
        const std::string path = dir_.file(name);
        if (!flac_encode(a, path, options, dir_.path())) return "";
        if (a_out) *a_out = a;
        return path;
    }

    std::string write(const bytes &b, const std::string &name = "x.flac") {
        return dir_.write(name, b);
    }

    TempDir dir_;
};

// ---------------------------------------------------------------------------
// Streams that are not served.

TEST_F(FlacCodec, RefusesStreamsItCannotPlay) {
    for (int ch : {7, 8}) {
        std::string p = make("-5", nullptr, ch, 16, 30000);
        ASSERT_FALSE(p.empty());
        decode_result r = run_decode(p, dir_);
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(has(r.messages, "FLAC: Frame 0, error -501\n")) << r.messages;
        EXPECT_TRUE(r.samples.empty());
    }
    {
        std::string p = make("-5 --lax --blocksize=8192");
        ASSERT_FALSE(p.empty());
        decode_result r = run_decode(p, dir_);
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(has(r.messages, "FLAC: Maximum blocksize is too large (8192 > 4608)\n"
                                    "FLAC: Error initialising codec\n"))
            << r.messages;
        EXPECT_FALSE(has(r.messages, "freq = "));
    }
    {
        std::string p = make("-5", nullptr, 2, 32, 40000);
        ASSERT_FALSE(p.empty());
        decode_result r = run_decode(p, dir_);
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(has(r.messages, "FLAC: Bits per sample is too large (32 > 24)\n"))
            << r.messages;
    }
    // STREAMINFO patched: a sample rate of 0, a block of 35 bytes.
    std::string p = make("-5");
    ASSERT_FALSE(p.empty());
    std::vector<uint8_t> f = read_bytes(p);
    flac_layout l = parse_layout(f);
    ASSERT_TRUE(l.ok);
    {
        std::vector<uint8_t> g = f;
        g[l.streaminfo + 10] = 0;
        g[l.streaminfo + 11] = 0;
        g[l.streaminfo + 12] &= 0x0F;
        decode_result r = run_decode(write(g), dir_);
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(has(r.messages, "FLAC: Sample rate is 0\n")) << r.messages;
        g[l.streaminfo + 11] = 1000 >> 4; // 1000 Hz: beyond what the output carries
        g[l.streaminfo + 12] |= (1000 & 15) << 4;
        r = run_decode(write(g), dir_);
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(has(r.messages, "a sample rate of 1000 Hz cannot be played\n"));
    }
    {
        std::vector<uint8_t> g = f;
        g[l.streaminfo - 1] = 35;
        decode_result r = run_decode(write(g), dir_);
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(has(r.messages, "FLAC: STREAMINFO block of 35 bytes, not 34\n")) << r.messages;
    }
}

// ---------------------------------------------------------------------------
// Seeking.

TEST_F(FlacCodec, SeekLandsOnTheTargetSample) {
    struct {
        const char *options;
        int bps;
    } files[] = {{"-5", 16},
                 {"-5 --no-seektable", 16},
                 {"-8 -S 100x -b 1152", 24},
                 {"-5 --no-seektable --blocksize=1001", 16},
                 {"-0 --no-seektable -b 192", 16}};
    for (auto &file : files) {
        SCOPED_TRACE(file.options);
        audio a;
        std::string p = make(file.options, &a, 2, file.bps);
        ASSERT_FALSE(p.empty());
        const long duration_ms = static_cast<long>(a.frames() * 1000 / 44100);
        // Start, inside a frame, on a frame boundary, in the last frame.
        for (long ms : {0L, 1234L, 2322L, duration_ms - 10, duration_ms}) {
            const std::size_t target = static_cast<std::size_t>(44100LL * ms / 1000);
            decode_result r = run_decode(p, dir_, ms);
            EXPECT_EQ(r.status, 0) << r.messages;
            EXPECT_EQ(first_difference(r.samples, expected_stereo(a, target)), -1) << ms << " ms";
        }
        // Beyond the end no frame is found: playback goes on from where it was.
        decode_result r = run_decode(p, dir_, duration_ms + 5000);
        EXPECT_EQ(r.status, 0) << r.messages;
        EXPECT_EQ(first_difference(r.samples, expected_stereo(a)), -1);
    }
}

TEST_F(FlacCodec, SeekWithoutTotalSamplesAndWithDisorderedSeekTable) {
    audio a;
    std::string p = make("-5 -S 20x", &a);
    ASSERT_FALSE(p.empty());
    std::vector<uint8_t> f = read_bytes(p);
    flac_layout l = parse_layout(f);
    ASSERT_TRUE(l.ok);
    ASSERT_GE(l.seektable_length, 18u * 20);

    // Total samples unknown: the target bounds the search.
    std::vector<uint8_t> g = f;
    g[l.streaminfo + 13] &= 0xF0;
    std::fill(g.begin() + static_cast<long>(l.streaminfo) + 14,
              g.begin() + static_cast<long>(l.streaminfo) + 18, 0);
    decode_result r = run_decode(write(g), dir_, 1500);
    EXPECT_EQ(r.status, 0) << r.messages;
    EXPECT_EQ(first_difference(r.samples, expected_stereo(a, 44100 * 3 / 2)), -1);

    // Points in reverse order: no crash, no hang; the seek either lands on
    // the target or is given up, and the track then plays from where it was.
    g = f;
    const std::size_t n = l.seektable_length / 18;
    for (std::size_t i = 0; i < n / 2; ++i)
        std::swap_ranges(g.begin() + static_cast<long>(l.seektable + 18 * i),
                         g.begin() + static_cast<long>(l.seektable + 18 * i + 18),
                         g.begin() + static_cast<long>(l.seektable + 18 * (n - 1 - i)));
    for (long ms : {0L, 700L, 2500L}) {
        r = run_decode(write(g), dir_, ms);
        EXPECT_EQ(r.status, 0) << r.messages;
        const std::size_t target = static_cast<std::size_t>(44100LL * ms / 1000);
        EXPECT_TRUE(first_difference(r.samples, expected_stereo(a, target)) == -1 ||
                    first_difference(r.samples, expected_stereo(a)) == -1)
            << ms;
    }
}

// ---------------------------------------------------------------------------
// Damaged files.

TEST_F(FlacCodec, DamagedFilesPlayUpToTheDamage) {
    audio a;
    std::string p = make("-5 --no-seektable --no-padding -b 4096", &a);
    ASSERT_FALSE(p.empty());
    std::vector<uint8_t> f = read_bytes(p);
    flac_layout l = parse_layout(f);
    ASSERT_TRUE(l.ok);
    // Frame starts, from the decoder itself.
    std::vector<std::size_t> starts;
    {
        test_context t(2, 16, l.min_blocksize, l.max_blocksize);
        for (std::size_t pos = l.first_frame; pos < f.size();) {
            starts.push_back(pos);
            std::vector<uint8_t> rest(f.begin() + static_cast<long>(pos), f.end());
            ASSERT_EQ(t.decode(rest), 0);
            pos += static_cast<std::size_t>(t.fc.frame_bytes);
        }
    }
    ASSERT_GT(starts.size(), 20u);
    const std::vector<int32_t> all = expected_stereo(a);
    auto prefix = [&all](std::size_t frames) {
        return std::vector<int32_t>(all.begin(), all.begin() + static_cast<long>(2 * frames));
    };

    // A damaged header in frame 20: frames 0..19 play, then the error.
    {
        std::vector<uint8_t> g = f;
        g[starts[20] + 4] ^= 0x01; // frame number 20 -> 21: the CRC-8 fails
        decode_result r = run_decode(write(g), dir_);
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(has(r.messages, "FLAC: Frame 20, error -18\n")) << r.messages;
        EXPECT_EQ(first_difference(r.samples, prefix(20 * 4096)), -1);
    }
    // Cut in the middle of frame 25: what was whole plays, the cut frame
    // is refused without reading past the end of the file.
    {
        std::vector<uint8_t> g(f.begin(), f.begin() + static_cast<long>(starts[25] + 100));
        decode_result r = run_decode(write(g), dir_);
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(has(r.messages, "FLAC: Frame 25, error -19\n")) << r.messages;
        EXPECT_EQ(first_difference(r.samples, prefix(25 * 4096)), -1);
    }
    // Damage inside the audio data of frames: any outcome but a crash or
    // a hang (the frame CRC is not checked, so a frame may pass).
    for (std::size_t k : {3u, 10u, 27u}) {
        std::vector<uint8_t> g = f;
        for (std::size_t i = starts[k] + 30; i < starts[k] + 60; ++i) g[i] = 0xFF;
        decode_result r = run_decode(write(g), dir_);
        EXPECT_TRUE(r.status == 0 || r.status == 1) << r.messages;
    }
    // Truncated inside the metadata.
    {
        std::vector<uint8_t> g(f.begin(), f.begin() + static_cast<long>(l.streaminfo + 10));
        g.resize(200000, 0);
        decode_result r = run_decode(write(g), dir_);
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(r.samples.empty());
    }
}

TEST_F(FlacCodec, GarbageAndBrokenMetadata) {
    {
        decode_result r = run_decode(write(std::vector<uint8_t>(200000, 0xFF)), dir_);
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(has(r.messages, "FLAC: Error initialising codec\n")) << r.messages;
    }
    {
        // "fLaC" and then 0xFF bytes: a block header claiming 16 MiB.
        std::vector<uint8_t> g(200000, 0xFF);
        std::copy_n("fLaC", 4, g.begin());
        decode_result r = run_decode(write(g), dir_);
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(has(r.messages, "FLAC: Error initialising codec\n")) << r.messages;
    }
    // A damaged metadata chain after STREAMINFO: the frames are searched for
    // from the damage on and every one plays.
    audio a;
    std::string p = make("-5 --padding=1000", &a);
    ASSERT_FALSE(p.empty());
    const std::vector<uint8_t> f = read_bytes(p);
    const flac_layout l = parse_layout(f);
    ASSERT_TRUE(l.ok);
    ASSERT_NE(l.seektable, 0u);
    const std::size_t padding = l.first_frame - 1000 - 4; // the last block's header
    ASSERT_EQ(f[padding] & 0x80, 0x80);
    struct damage {
        const char *what;
        void (*apply)(std::vector<uint8_t> &g, const flac_layout &l, std::size_t padding);
    };
    const damage cases[] = {
        {"the seek table runs past the end",
         [](auto &g, auto &l, auto) { g[l.seektable - 3] = 0x7F; }},
        {"the last block runs past the end", [](auto &g, auto &, auto pad) { g[pad + 1] = 0x7F; }},
        {"no block is marked last", [](auto &g, auto &, auto pad) { g[pad] &= 0x7F; }},
        {"the blocks after STREAMINFO are zero",
         [](auto &g, auto &l, auto) {
             std::fill(g.begin() + static_cast<long>(l.streaminfo + 34),
                       g.begin() + static_cast<long>(l.first_frame), 0);
         }},
    };
    const std::vector<int32_t> all = expected_stereo(a);
    for (const damage &d : cases) {
        SCOPED_TRACE(d.what);
        std::vector<uint8_t> g = f;
        d.apply(g, l, padding);
        decode_result r = run_decode(write(g), dir_);
        EXPECT_EQ(r.status, 0) << r.messages;
        EXPECT_EQ(first_difference(r.samples, all), -1) << r.messages;
    }
}

// ---------------------------------------------------------------------------
// In the player's own process.

class FlacInProcess : public FlacCodec {
  protected:
    Sandbox sb;
};

TEST_F(FlacInProcess, HaltDuringPauseEndsTheTrackNormally) {
    std::string p = make("-5");
    ASSERT_FALSE(p.empty());
    sb.next_after_sleeps(3);
    plaction = PLAYER_ACTION_PAUSE;
    EXPECT_EQ(sb.play(p), 0);
    EXPECT_EQ(sb.platform.sleeps, 3);
    EXPECT_EQ(sb.platform.slept, 3);
    EXPECT_TRUE(sb.diag.contains("FLAC: Decoded 0 samples\n")) << sb.diag.text();
    EXPECT_EQ(playstat.frequency, 44100);
    EXPECT_EQ(playstat.bps, 16);
    EXPECT_EQ(playstat.channel, 2);
    EXPECT_EQ(playstat.length, static_cast<int32_t>((3 * 44100 + 1305) * 1000LL / 44100));
}

TEST_F(FlacInProcess, SeeksWhilePlayingAlsoAfterTheEndWasReached) {
    // Long enough for several input windows.
    audio a;
    std::string p = make("-5 --no-seektable", &a, 2, 16, 20 * 44100);
    ASSERT_FALSE(p.empty());
    ASSERT_GT(read_bytes(p).size(), 3u * 131072);
    // Near the end first (the input meets the end of the file), then back
    // to the start and through every window once more.
    sb.on_packet = [this] {
        if (sb.packets.size() == 20) ploffset = 19500;
        if (sb.packets.size() == 40) ploffset = 1000;
    };
    EXPECT_EQ(sb.play(p), 0) << sb.diag.text();
    EXPECT_EQ(ploffset, -1);
    // The tail of what was played is the source from 1 s on.
    std::vector<int32_t> want = expected_stereo(a, 44100);
    const std::vector<int32_t> played = sb.samples();
    ASSERT_GE(played.size(), want.size());
    std::vector<int32_t> tail(played.end() - static_cast<long>(want.size()), played.end());
    EXPECT_EQ(first_difference(tail, want), -1);
    EXPECT_EQ(playstat.elapsed, 20000u);
}

TEST_F(FlacInProcess, SeekTableKeepsFiveThousandRealPoints) {
    audio a;
    std::string p = make("-5 --no-seektable --no-padding", &a);
    ASSERT_FALSE(p.empty());
    std::vector<uint8_t> f = read_bytes(p);
    flac_layout l = parse_layout(f);
    ASSERT_TRUE(l.ok);
    // A SEEKTABLE of 3 placeholders, a point beyond 32 bits and 6000 points.
    std::vector<uint8_t> body;
    auto point = [&body](uint64_t sample, uint64_t offset, uint16_t n) {
        for (int i = 7; i >= 0; --i) body.push_back(static_cast<uint8_t>(sample >> (8 * i)));
        for (int i = 7; i >= 0; --i) body.push_back(static_cast<uint8_t>(offset >> (8 * i)));
        body.push_back(static_cast<uint8_t>(n >> 8));
        body.push_back(static_cast<uint8_t>(n));
    };
    for (int i = 0; i < 3; ++i) point(~0ull, 0, 0);
    point(1ull << 32, 0, 4096);
    for (uint32_t i = 0; i < 6000; ++i) point(i * 7, i * 3, 4096);
    std::vector<uint8_t> head = {3, static_cast<uint8_t>(body.size() >> 16),
                                 static_cast<uint8_t>(body.size() >> 8),
                                 static_cast<uint8_t>(body.size())};
    head.insert(head.end(), body.begin(), body.end());
    std::vector<uint8_t> g = f;
    ASSERT_EQ(g[l.streaminfo - 4] & 0x80, 0); // a comment block follows STREAMINFO
    g.insert(g.begin() + static_cast<long>(l.streaminfo + 34), head.begin(), head.end());
    const std::string path = write(g);
    EXPECT_EQ(sb.play(path), 0) << sb.diag.text();
    EXPECT_EQ(nseekpoints, FLAC_MAX_SEEKPOINTS);
    EXPECT_EQ(seekpoints[0].sample, 0u);
    EXPECT_EQ(seekpoints[4999].sample, 4999u * 7);
    EXPECT_EQ(seekpoints[4999].offset, 4999u * 3);
    EXPECT_EQ(fc.metadata_length, l.first_frame + head.size());
}

} // namespace

// A declared maximum frame size far above what the frames can need does not
// make the requests larger: the file is read with the same window moves.
TEST_F(FlacInProcess, HugeDeclaredFrameSizeDoesNotShiftTheWindowPerFrame) {
    std::string p = make("-5 -b 192 --no-seektable", nullptr, 2, 16, 8 * 44100);
    ASSERT_FALSE(p.empty());
    std::vector<uint8_t> f = read_bytes(p);
    flac_layout l = parse_layout(f);
    ASSERT_TRUE(l.ok);
    f[l.streaminfo + 7] = f[l.streaminfo + 8] = f[l.streaminfo + 9] = 0xFF;
    const std::string patched = write(f, "huge.flac");
    auto reads = [this](const std::string &path) {
        const uint64_t before = window_reads;
        sb.play(path);
        return window_reads - before;
    };
    const uint64_t plain = reads(p);
    EXPECT_LT(plain, 20u);
    EXPECT_LE(reads(patched), plain + 1);
}
