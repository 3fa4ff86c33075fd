// The MP3 codec: files made by lame in many shapes, played by pipd-decode
// exactly as the daemon plays them, checked sample for sample against
// madplay; damaged and hostile files; the length estimate; pause, halt and
// seeks through the command state.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <map>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

#include "support/mp3_files.h"
#include "support/sandbox.h"

using namespace pipd;
using namespace pipd::testing;

namespace {

std::size_t count_of(const std::string &text, const std::string &needle) {
    std::size_t n = 0;
    for (auto p = text.find(needle); p != std::string::npos; p = text.find(needle, p + 1)) ++n;
    return n;
}

class Mp3 : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!have_program("lame") || !have_program("madplay"))
            GTEST_SKIP() << "lame or madplay missing";
        ASSERT_FALSE(dir_.path().empty());
    }

    // Music of the shape, encoded with the options.
    std::string make(int rate, int channels, double seconds, const std::string &options,
                     const std::string &name = "t.mp3", bool info_frame = false) {
        const audio a = make_audio(source_kind::music, channels, 16, rate,
                                   static_cast<std::size_t>(seconds * rate), 5);
        const std::string path = dir_.file(name);
        return lame_encode(a, path, options, dir_.path(), info_frame) ? path : "";
    }

    std::string write(const bytes &b, const std::string &name = "x.mp3") {
        return dir_.write(name, b);
    }

    // Plays the file and compares every sample with madplay's.
    decode_result check(const std::string &path, long seek_ms = -1) {
        decode_result r = run_decode(path, dir_, seek_ms);
        EXPECT_EQ(r.status, 0) << r.messages;
        const std::vector<int32_t> want = madplay_samples(path, dir_.path());
        EXPECT_FALSE(want.empty());
        EXPECT_EQ(r.samples.size(), want.size());
        const long d = first_difference(r.samples, want);
        EXPECT_EQ(d, -1) << "first difference at frame " << d / 2;
        return r;
    }

    TempDir dir_;
};

TEST_F(Mp3, EveryShapePlaysAsMadplayPlaysIt) {
    struct shape {
        const char *name;
        int rate, channels;
        double seconds;
        const char *options;
        int kbits; // of the first frame, for the length estimate (0: VBR)
    } shapes[] = {
        {"CBR 320 stereo", 44100, 2, 4, "-b 320 -m s", 320},
        {"CBR 128 joint stereo", 48000, 2, 9, "-b 128 -m j", 128},
        {"CBR 32 mono", 44100, 1, 34, "-b 32 --resample 44.1", 32},
        {"VBR joint stereo", 44100, 2, 8, "-V 2", 0},
        {"VBR mono", 48000, 1, 16, "-V 5", 0},
        {"ID3v2 and ID3v1 tags", 44100, 2, 9, "-b 128 --tt Title --ta Artist --add-id3v2", 128},
        // No bitrate in the header: libmad finds it from the distance
        // between frames and reports it.
        {"free format", 44100, 2, 4, "--freeformat -b 400", 400},
    };
    for (const shape &s : shapes) {
        SCOPED_TRACE(s.name);
        const std::string p = make(s.rate, s.channels, s.seconds, s.options);
        ASSERT_FALSE(p.empty()) << "lame failed";
        const std::size_t size = read_file(p).size();
        ASSERT_GT(size, 131072u);
        const decode_result r = check(p);
        // The stream's rate once, on the first frame; never a resampler.
        EXPECT_EQ(count_of(r.messages, "freq = " + std::to_string(s.rate) + "\n"), 1u)
            << r.messages;
        EXPECT_EQ(count_of(r.messages, "resampling"), 0u);
        EXPECT_EQ(count_of(r.messages, "len="), 2u);
        if (s.kbits) {
            EXPECT_EQ(count_of(r.messages, "len=" + std::to_string(size * 8 / s.kbits) + "\n"), 1u)
                << r.messages;
        }
    }
}

TEST_F(Mp3, DamagedFilesPlayWhatLibmadFindsInThem) {
    const std::string p = make(44100, 2, 8, "-b 320 -m j");
    ASSERT_FALSE(p.empty());
    const std::vector<uint8_t> f = read_bytes(p);
    std::mt19937 rng(9);
    std::vector<uint8_t> junk(3000);
    for (auto &b : junk) b = static_cast<uint8_t>(rng());
    struct damaged {
        const char *name;
        std::vector<uint8_t> bytes;
    } files[] = {
        {"garbage spliced in", {}},
        {"zeros spliced in", {}},
        {"truncated mid-frame", {f.begin(), f.begin() + 200517}},
        {"a window's worth of junk before the first frame", {}},
    };
    files[0].bytes = f;
    files[0].bytes.insert(files[0].bytes.begin() + 100000, junk.begin(), junk.end());
    files[1].bytes = f;
    files[1].bytes.insert(files[1].bytes.begin() + 150001, 20000, 0);
    files[3].bytes = junk;
    files[3].bytes.insert(files[3].bytes.end(), junk.begin(), junk.end());
    files[3].bytes.insert(files[3].bytes.end(), junk.begin(), junk.end());
    files[3].bytes.insert(files[3].bytes.end(), f.begin(), f.end());
    for (auto &d : files) {
        SCOPED_TRACE(d.name);
        check(write(d.bytes));
    }
}

TEST_F(Mp3, HostileFilesEndTheirTrack) {
    // Random bytes, a file that is one ID3v2 tag, a stream of only the sync
    // pattern, and 50 MB of zeros (sparse: quick to make).
    std::mt19937 rng(4);
    std::vector<uint8_t> random(300000);
    for (auto &b : random) b = static_cast<uint8_t>(rng());
    std::vector<uint8_t> id3 = {'I', 'D', '3', 4, 0, 0, 0x0F, 0x7F, 0x7F, 0x7F};
    const char frame_head[] = {'T', 'I', 'T', '2', 0, 0x0F, 0x7F, 0x70, 0, 0, 3};
    id3.insert(id3.end(), frame_head, frame_head + sizeof frame_head);
    id3.resize(250000, 'x');
    std::vector<uint8_t> syncs(200000);
    for (std::size_t i = 0; i < syncs.size(); ++i) syncs[i] = i % 2 ? 0xFB : 0xFF;
    for (const auto &bytes : {random, id3, syncs}) {
        decode_result r = run_decode(write(bytes), dir_);
        EXPECT_EQ(r.status, 0) << r.messages;
    }
    const std::string zeros = dir_.file("zeros.mp3");
    {
        const int fd = ::open(zeros.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::ftruncate(fd, 50 << 20), 0);
        ::close(fd);
    }
    decode_result r = run_decode(zeros, dir_);
    EXPECT_EQ(r.status, 0) << r.messages;
    EXPECT_TRUE(r.samples.empty());
}

// lame's encoder delay, plus libmad's own: what a LAME tag trims in front.
constexpr std::size_t TRIM = 576 + 529;

// With a LAME tag the track is the encoder's input: madplay's output less
// the delays in front and the padding behind. Trims beyond the stream trim
// nothing; padding under libmad's delay trims nothing behind.
TEST_F(Mp3, TaggedFilesPlayExactlyTheEncodersInput) {
    struct shape {
        const char *name;
        int rate, channels;
        std::size_t frames; // of the source; 0: madplay's from `front` on
        const char *options;
        std::size_t front = TRIM;
        uint32_t trims = 0; // delay and padding written into the tag
    } shapes[] = {
        {"CBR 128", 44100, 2, 44100, "-b 128"},
        {"VBR stereo", 44100, 2, 176400, "-V 2"},
        {"VBR mono", 48000, 1, 150000, "-V 5"},
        {"trims beyond the stream", 44100, 2, 0, "-b 128", 0, 0xFFFFFF},
        {"padding 100", 44100, 2, 0, "-b 128", TRIM, 0x240064},
    };
    for (const shape &s : shapes) {
        SCOPED_TRACE(s.name);
        std::string p = make(s.rate, s.channels, s.frames ? s.frames * 1.0 / s.rate : 0.05,
                             s.options, "t.mp3", true);
        if (s.trims) {
            bytes b = read_bytes(p);
            const std::size_t lame = std::string(b.begin(), b.end()).find("LAME");
            ASSERT_LT(lame, b.size() - 24);
            store_be(&b[lame + 21], s.trims, 3);
            p = write(b);
        }
        const decode_result r = run_decode(p, dir_);
        const std::vector<int32_t> all = madplay_samples(p, dir_.path());
        const std::size_t n = s.frames ? s.frames : all.size() / 2 - s.front;
        ASSERT_GE(all.size(), 2 * (s.front + n));
        EXPECT_EQ(r.samples.size(), 2 * n);
        EXPECT_EQ(first_difference(r.samples,
                                   {all.begin() + 2 * s.front, all.begin() + 2 * (s.front + n)}),
                  -1);
        EXPECT_TRUE(has(r.messages, "len=" + std::to_string(n * 1000 / s.rate) + "\n"))
            << r.messages;
    }
}

// Without a seek table the headers are walked and the track goes on from
// the very sample; with one it goes on from a frame near the target. At or
// past the end the track ends.
TEST_F(Mp3, SeeksLandWhereTheyShould) {
    const std::string plain = make(48000, 2, 9, "-b 128");
    ASSERT_FALSE(plain.empty());
    std::vector<int32_t> all = madplay_samples(plain, dir_.path());
    decode_result r = run_decode(plain, dir_, 2000);
    EXPECT_EQ(first_difference(r.samples, {all.begin() + 2 * 96000, all.end()}), -1);
    EXPECT_TRUE(run_decode(plain, dir_, 9500).samples.empty());

    const std::string tagged = make(44100, 2, 9, "-V 2", "v.mp3", true);
    all = madplay_samples(tagged, dir_.path());
    r = run_decode(tagged, dir_, 4000);
    ASSERT_GT(r.samples.size(), 2000u);
    // Frame-aligned in libmad's output; within 1% of the length and a frame.
    long landed = -1;
    for (std::size_t k = 1; k * 1152 * 2 < all.size() && landed < 0; ++k)
        if (std::equal(r.samples.begin(), r.samples.begin() + 2000, all.begin() + 2 * k * 1152))
            landed = static_cast<long>(k * 1152 - TRIM);
    EXPECT_NEAR(landed, 4000 * 44.1, 9 * 441 + 1152);
    EXPECT_EQ(first_difference(r.samples, {all.begin() + 2 * (landed + TRIM),
                                           all.begin() + 2 * (landed + TRIM) + r.samples.size()}),
              -1);
    EXPECT_EQ(r.samples.size(), static_cast<std::size_t>(2 * (9 * 44100 - landed)))
        << "the end trimmed as without a seek";
    EXPECT_TRUE(run_decode(tagged, dir_, 9000).samples.empty());
}

// ---------------------------------------------------------------------------
// In the player's own process.

class Mp3InProcess : public Mp3 {
  protected:
    Sandbox sb;
};

TEST_F(Mp3InProcess, LengthIsEstimatedFromTheFirstFrame) {
    // 320 kbit/s: 8,000,000 bytes are 200000 ms, whatever follows the audio.
    const std::string p = make(44100, 2, 4, "-b 320");
    ASSERT_FALSE(p.empty());
    std::vector<uint8_t> f = read_bytes(p);
    f.resize(8000000, 0);
    const std::string big = write(f, "big.mp3");
    EXPECT_EQ(sb.play(big), 0);
    EXPECT_EQ(playstat.length, 200000);
    EXPECT_TRUE(sb.diag.contains("len=333440\nlen=200000\n")) << sb.diag.text();
    EXPECT_EQ(playstat.frequency, 44100);
}

TEST_F(Mp3InProcess, PauseWaitsAndHaltStops) {
    const std::string p = make(44100, 2, 10, "-b 128");
    ASSERT_FALSE(p.empty());
    // Paused from the start: nothing is decoded while paused; a next ends it.
    sb.next_after_sleeps(3);
    plaction = PLAYER_ACTION_PAUSE;
    EXPECT_EQ(sb.play(p), 0);
    EXPECT_EQ(sb.platform.sleeps, 3);
    EXPECT_EQ(sb.platform.slept, 3);
    EXPECT_EQ(sb.packets.size(), 0u) << "nothing decoded, nothing sent";

    // A next while playing: the track stops within a window of frames, and
    // what was played is the file's beginning.
    plaction = PLAYER_ACTION_NONE;
    sb.packets.clear();
    sb.on_packet = [this] {
        if (sb.packets.size() == 20) plaction = PLAYER_ACTION_NEXT;
    };
    EXPECT_EQ(sb.play(p), 0);
    const std::vector<int32_t> all = madplay_samples(p, dir_.path()), played = sb.samples();
    // 8192 bytes of 128 kbit/s frames are under 25 frames of 1152.
    EXPECT_GT(sb.packets.size(), 20u);
    EXPECT_LT(played.size(), 2u * (20 * 512 + 25 * 1152 + 512));
    ASSERT_LE(played.size(), all.size());
    EXPECT_EQ(
        first_difference(played, {all.begin(), all.begin() + static_cast<long>(played.size())}),
        -1);
}

// A stream whose rate changes between frames reaches the sink whole, each
// part at its own rate (32000 Hz resampled to 48000, within a frame a part).
TEST_F(Mp3InProcess, RateChangesLoseNoAudio) {
    std::vector<uint8_t> stream;
    std::map<int, double> in; // madplay's frames per rate
    for (int rate : {44100, 32000, 44100, 32000}) {
        const std::string p = make(rate, 2, 3, "-b 128", "part.mp3");
        const std::vector<uint8_t> b = read_bytes(p);
        stream.insert(stream.end(), b.begin(), b.end());
        in[rate] += static_cast<double>(madplay_samples(p, dir_.path()).size() / 2);
    }
    sb.play(write(stream, "changing.mp3"));
    std::map<int32_t, double> out; // frames per rate code
    for (const auto &pk : sb.packets) out[pk.words[1]] += (pk.valid - PACKET_HEADER_WORDS) / 2;
    EXPECT_EQ(out.size(), 2u);
    EXPECT_EQ(out[rate_code(44100)], in[44100]);
    EXPECT_NEAR(out[rate_code(48000)], in[32000] * 1.5, 2);
    // Elapsed: the start of the last frame (1152 samples at 32000 Hz).
    EXPECT_NEAR(playstat.elapsed, 1000 * (in[44100] / 44100 + in[32000] / 32000) - 36, 2);
}

} // namespace
