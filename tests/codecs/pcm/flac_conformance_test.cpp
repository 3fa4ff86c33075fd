// Files made by the reference encoder in many shapes, played by pipd-decode
// exactly as the daemon plays them: the output must be the source, sample
// for sample, at 24-bit scale (three to six channels folded to two, one
// channel on both sides).

#include <gtest/gtest.h>
#include <string>
#include <sys/wait.h>
#include <vector>

#include "support/flac_files.h"
#include "support/flac_frames.h"

using namespace pipd::testing;

namespace {

// Files shorter than the first input window are never played.
constexpr std::size_t MIN_PLAYABLE = 140000;

class FlacConformance : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!have_program("flac")) GTEST_SKIP() << "no flac encoder";
        ASSERT_FALSE(dir_.path().empty());
    }

    // Encodes the source, lengthened until the file can be played.
    std::string encode(audio &a, const std::string &options, source_kind kind, uint32_t seed) {
        const std::string path = dir_.file("t.flac");
        for (int tries = 0; tries < 8; ++tries) {
            if (!flac_encode(a, path, options, dir_.path())) return "";
            if (read_file(path).size() >= MIN_PLAYABLE) return path;
            a = make_audio(kind, a.channels, a.bps, a.rate, a.frames() * 2 + 1, seed);
        }
        return "";
    }

    struct shape {
        source_kind kind = source_kind::music;
        int channels = 2, bps = 16, rate = 44100;
        std::size_t frames = 44100;
        std::string options = "-5";
    };

    // Encodes, plays and compares; returns the source for further checks.
    audio check(const shape &s, uint32_t seed = 3) {
        SCOPED_TRACE(std::to_string(s.channels) + " ch, " + std::to_string(s.bps) + " bits, " +
                     std::to_string(s.rate) + " Hz, " + s.options);
        audio a = make_audio(s.kind, s.channels, s.bps, s.rate, s.frames, seed);
        std::string path = encode(a, s.options, s.kind, seed);
        EXPECT_FALSE(path.empty()) << "encoder failed";
        if (path.empty()) return a;
        decode_result r = run_decode(path, dir_);
        EXPECT_EQ(r.status, 0) << r.messages;
        std::vector<int32_t> want = expected_stereo(a);
        EXPECT_EQ(r.samples.size(), want.size());
        long d = first_difference(r.samples, want);
        EXPECT_EQ(d, -1) << "first difference at frame " << d / 2;
        return a;
    }

    TempDir dir_;
};

TEST_F(FlacConformance, BlockSizes) {
    for (const char *bs : {"192", "576", "1152", "4096", "4608", "1001", "4607", "17"}) {
        shape s;
        s.frames = 44100 + 77; // not a multiple of any of them
        s.options = std::string("-5 --blocksize=") + bs;
        check(s);
    }
}

TEST_F(FlacConformance, BitDepthsAndChannels) {
    for (int bps : {8, 12, 16, 20, 24}) {
        for (int ch = 1; ch <= 6; ++ch) {
            shape s;
            s.bps = bps;
            s.channels = ch;
            s.kind = bps <= 12 ? source_kind::noise : source_kind::music;
            s.frames = bps <= 12 ? 30000 : 20000;
            s.rate = 48000;
            check(s, static_cast<uint32_t>(bps * 10 + ch));
        }
    }
}

TEST_F(FlacConformance, SampleRates) {
    // Table rates, sample for sample.
    for (int rate : {44100, 48000, 88200, 96000, 176400, 192000}) {
        shape s;
        s.rate = rate;
        s.frames = static_cast<std::size_t>(rate) / 2;
        check(s);
    }
    // Other rates, written into the header in kHz, Hz and tens of Hz: they
    // reach the sink resampled to a table rate, every frame of them.
    for (int rate : {8000, 16000, 22050, 24000, 32000, 11025, 44000, 37800, 12345, 64000}) {
        SCOPED_TRACE(rate);
        audio a = make_audio(source_kind::music, 2, 16, rate, static_cast<std::size_t>(rate), 3);
        const std::string path = encode(a, "-5", source_kind::music, 3);
        ASSERT_FALSE(path.empty());
        decode_result r = run_decode(path, dir_);
        EXPECT_EQ(r.status, 0) << r.messages;
        const int target = rate % 11025 == 0 ? 44100 : rate <= 48000 ? 48000 : 96000;
        int out_rate = 0;
        read_wav24(dir_.file("out.wav"), &out_rate);
        EXPECT_EQ(out_rate, target);
        EXPECT_NEAR(static_cast<double>(r.samples.size() / 2),
                    static_cast<double>(a.frames()) * target / rate, 2.0);
    }
}

TEST_F(FlacConformance, CompressionLevels) {
    for (int level = 0; level <= 8; ++level) {
        shape s;
        s.options = "-" + std::to_string(level);
        s.frames = 50000;
        check(s, static_cast<uint32_t>(level));
        s.bps = 24;
        s.rate = 96000;
        check(s, static_cast<uint32_t>(level + 100));
    }
}

TEST_F(FlacConformance, EncoderOptions) {
    const char *options[] = {
        "--lax -l 32 -q 15",
        "--lax -l 32 -q 15 -b 4608",
        "-8 -e",
        "-8 -p",
        "-8 -r 8",
        "-5 -r 0",
        "-8 -A 'tukey(0.1)' -A 'partial_tukey(2)' -A 'punchout_tukey(3)'",
        "-5 --no-seektable",
        "-5 --padding=300000",
        "-5 -S 100x",
        "-0 -M",
        "-5 --disable-constant-subframes --disable-fixed-subframes",
    };
    for (const char *o : options) {
        for (source_kind k : {source_kind::music, source_kind::low_level,
                              source_kind::silence_and_music, source_kind::square}) {
            shape s;
            s.kind = k;
            s.options = o;
            s.frames = 30000;
            s.bps = k == source_kind::low_level ? 24 : 16;
            check(s);
        }
    }
}

// A small generated PNG: 16x16, one color, stored (uncompressed) deflate.
std::vector<uint8_t> small_png() {
    auto crc32 = [](const uint8_t *p, std::size_t n) {
        uint32_t c = 0xFFFFFFFFu;
        for (std::size_t i = 0; i < n; ++i) {
            c ^= p[i];
            for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1)));
        }
        return ~c;
    };
    auto be32 = [](std::vector<uint8_t> &v, uint32_t x) {
        for (int i = 3; i >= 0; --i) v.push_back(static_cast<uint8_t>(x >> (8 * i)));
    };
    std::vector<uint8_t> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    auto chunk = [&](const char *type, const std::vector<uint8_t> &body) {
        be32(png, static_cast<uint32_t>(body.size()));
        std::vector<uint8_t> t(type, type + 4);
        t.insert(t.end(), body.begin(), body.end());
        png.insert(png.end(), t.begin(), t.end());
        be32(png, crc32(t.data(), t.size()));
    };
    std::vector<uint8_t> ihdr;
    be32(ihdr, 16);
    be32(ihdr, 16);
    ihdr.insert(ihdr.end(), {8, 2, 0, 0, 0});
    chunk("IHDR", ihdr);
    std::vector<uint8_t> raw;
    for (int y = 0; y < 16; ++y) {
        raw.push_back(0);
        for (int x = 0; x < 16; ++x) raw.insert(raw.end(), {0xFF, 0xF8, static_cast<uint8_t>(y)});
    }
    uint32_t a = 1, b = 0;
    for (uint8_t c : raw) {
        a = (a + c) % 65521;
        b = (b + a) % 65521;
    }
    std::vector<uint8_t> z = {0x78,
                              0x01,
                              0x01,
                              static_cast<uint8_t>(raw.size()),
                              static_cast<uint8_t>(raw.size() >> 8),
                              static_cast<uint8_t>(~raw.size()),
                              static_cast<uint8_t>(~raw.size() >> 8)};
    z.insert(z.end(), raw.begin(), raw.end());
    be32(z, b << 16 | a);
    chunk("IDAT", z);
    chunk("IEND", {});
    return png;
}

TEST_F(FlacConformance, PictureAndId3Tag) {
    const std::string png = dir_.file("cover.png");
    ASSERT_TRUE(write_file(png, small_png()));
    shape s;
    s.options = "-5 --picture=" + shell_quote(png);
    audio a = make_audio(s.kind, 2, 16, 44100, 60000, 5);
    std::string path = encode(a, s.options, s.kind, 5);
    if (path.empty()) GTEST_SKIP() << "the encoder refused the picture";
    decode_result r = run_decode(path, dir_);
    EXPECT_EQ(r.status, 0) << r.messages;
    EXPECT_EQ(first_difference(r.samples, expected_stereo(a)), -1);

    // The same file behind a 2048-byte ID3v2 tag, then with the footer flag.
    std::vector<uint8_t> flac = read_bytes(path);
    for (bool footer : {false, true}) {
        const std::size_t tag_size = 2048 + (footer ? 10 : 0);
        std::vector<uint8_t> f = {'I', 'D', '3',  4,   0, static_cast<uint8_t>(footer ? 0x10 : 0),
                                  0,   0,   0x10, 0x00}; // 2048 as 7-bit groups
        f.resize(10 + tag_size, 0xFF);                   // frame-like bytes in the tag
        f.insert(f.end(), flac.begin(), flac.end());
        const std::string tagged = dir_.file("tagged.flac");
        ASSERT_TRUE(write_file(tagged, f));
        r = run_decode(tagged, dir_);
        EXPECT_EQ(r.status, 0) << r.messages;
        EXPECT_NE(r.messages.find("the id3 size is " + std::to_string(10 + tag_size) + "\n"),
                  std::string::npos)
            << r.messages;
        EXPECT_EQ(first_difference(r.samples, expected_stereo(a)), -1);
    }
}

// A frame of another stream hidden in an APPLICATION block: decoding starts
// at the end of the metadata, never at frame-like bytes inside it.
TEST_F(FlacConformance, FrameLikeBytesInMetadataAreNotPlayed) {
    audio a = make_audio(source_kind::music, 2, 16, 44100, 60000, 9);
    std::string path = encode(a, "-5 --no-padding", source_kind::music, 9);
    ASSERT_FALSE(path.empty());
    std::vector<uint8_t> f = read_bytes(path);
    flac_layout l = parse_layout(f);
    ASSERT_TRUE(l.ok);
    // The decoy: a real frame of a different (noise) source.
    audio other = make_audio(source_kind::noise, 2, 16, 44100, 60000, 10);
    const std::string other_path = dir_.file("other.flac");
    ASSERT_TRUE(flac_encode(other, other_path, "-5", dir_.path()));
    std::vector<uint8_t> o = read_bytes(other_path);
    flac_layout ol = parse_layout(o);
    ASSERT_TRUE(ol.ok);
    std::vector<uint8_t> decoy(o.begin() + static_cast<long>(ol.first_frame),
                               o.begin() + static_cast<long>(ol.first_frame) + 20000);
    // Insert an APPLICATION block as the first block after STREAMINFO.
    std::size_t after_streaminfo = l.streaminfo + 34;
    std::vector<uint8_t> block = {2,
                                  static_cast<uint8_t>((decoy.size() + 4) >> 16),
                                  static_cast<uint8_t>((decoy.size() + 4) >> 8),
                                  static_cast<uint8_t>(decoy.size() + 4),
                                  't',
                                  'e',
                                  's',
                                  't'};
    block.insert(block.end(), decoy.begin(), decoy.end());
    // STREAMINFO may have been the last block: then the new block is.
    if (f[l.streaminfo - 4] & 0x80) {
        f[l.streaminfo - 4] &= 0x7F;
        block[0] |= 0x80;
    }
    f.insert(f.begin() + static_cast<long>(after_streaminfo), block.begin(), block.end());
    const std::string hidden = dir_.file("hidden.flac");
    ASSERT_TRUE(write_file(hidden, f));
    decode_result r = run_decode(hidden, dir_);
    EXPECT_EQ(r.status, 0) << r.messages;
    EXPECT_EQ(first_difference(r.samples, expected_stereo(a)), -1);
}

// The reference encoder never writes escaped partitions; files written here
// have them in every frame. The reference decoder checks the files first.
TEST_F(FlacConformance, EscapedPartitions) {
    struct {
        source_kind kind;
        int channels, bps, blocksize;
    } cases[] = {{source_kind::music, 2, 16, 4096},
                 {source_kind::silence_and_music, 2, 24, 1152},
                 {source_kind::noise, 1, 8, 576},
                 {source_kind::low_level, 3, 20, 4608}};
    for (auto &c : cases) {
        audio a = make_audio(c.kind, c.channels, c.bps, 44100, 150001, 11);
        std::vector<uint8_t> f = write_escaped_flac(a, c.blocksize);
        ASSERT_GE(f.size(), MIN_PLAYABLE);
        const std::string path = dir_.file("escaped.flac");
        ASSERT_TRUE(write_file(path, f));
        const std::string ref = dir_.file("ref.raw");
        const std::string cmd =
            "flac -d -s -f --force-raw-format --endian=little --sign=signed -o " +
            shell_quote(ref) + " " + shell_quote(path) + " 2>/dev/null";
        if (c.bps % 8 == 0) {
            ASSERT_EQ(std::system(cmd.c_str()), 0);
            EXPECT_EQ(read_bytes(ref), raw_bytes(a)) << "hand-written file is wrong";
        }
        decode_result r = run_decode(path, dir_);
        EXPECT_EQ(r.status, 0) << r.messages;
        EXPECT_EQ(first_difference(r.samples, expected_stereo(a)), -1);
    }
}

TEST_F(FlacConformance, OneChannelPlaysOnBothSides) {
    shape s;
    s.channels = 1;
    audio a = check(s);
    // expected_stereo duplicates the channel; spot-check it does.
    std::vector<int32_t> want = expected_stereo(a);
    ASSERT_GT(want.size(), 2001u);
    EXPECT_EQ(want[2000], want[2001]);
    EXPECT_NE(want[2000], 0);
}

} // namespace
