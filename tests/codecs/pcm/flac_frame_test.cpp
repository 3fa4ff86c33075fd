// The frame decoder on its own: frames of files made by the reference
// encoder, and frames written bit by bit for the corners.

#include "codecs/pcm/flac_decoder.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "support/flac_files.h"
#include "support/flac_frames.h"

using namespace pipd;
using namespace pipd::testing;

namespace {

// ---------------------------------------------------------------------------
// Encoded files, decoded frame by frame.

struct encoded_case {
    const char *name;
    source_kind kind;
    int channels, bps, rate;
    std::size_t frames;
    const char *options;
};

void decode_whole_file(const encoded_case &c) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    audio a = make_audio(c.kind, c.channels, c.bps, c.rate, c.frames, 7);
    const std::string path = dir.file("t.flac");
    ASSERT_TRUE(flac_encode(a, path, c.options, dir.path()));
    std::vector<uint8_t> file = read_bytes(path);
    flac_layout l = parse_layout(file);
    ASSERT_TRUE(l.ok);

    test_context t(l.channels, l.bps, l.min_blocksize, l.max_blocksize, l.rate);
    std::vector<int32_t> want = expected_stereo(a);
    std::size_t pos = l.first_frame;
    std::size_t frame_no = 0;
    std::size_t sample = 0;
    while (pos < file.size()) {
        std::vector<uint8_t> rest(file.begin() + static_cast<long>(pos), file.end());
        int r = t.decode(rest);
        ASSERT_EQ(r, 0) << "frame " << frame_no;
        ASSERT_EQ(t.fc.first_sample, sample) << "frame " << frame_no;
        ASSERT_EQ(t.fc.bit_index % 8, 0u);
        ASSERT_EQ(static_cast<uint32_t>(t.fc.frame_bytes), t.fc.bit_index / 8);
        for (int i = 0; i < t.fc.blocksize; ++i) {
            const std::size_t k = 2 * (sample + static_cast<std::size_t>(i));
            ASSERT_LT(k + 1, want.size());
            ASSERT_EQ(t.left(i), want[k]) << "frame " << frame_no << " sample " << i;
            // One channel: the decoder leaves the second buffer alone.
            ASSERT_EQ(t.right(i), c.channels == 1 ? 0 : want[k + 1])
                << "frame " << frame_no << " sample " << i;
        }
        sample += static_cast<std::size_t>(t.fc.blocksize);
        pos += static_cast<std::size_t>(t.fc.frame_bytes);
        ++frame_no;
    }
    EXPECT_EQ(pos, file.size());
    EXPECT_EQ(sample, a.frames());
}

TEST(FlacFrame, DecodesEncoderOutputExactly) {
    if (!have_program("flac")) GTEST_SKIP() << "no flac encoder";
    const encoded_case cases[] = {
        {"stereo 16 -5", source_kind::music, 2, 16, 44100, 30000, "-5"},
        {"stereo 16 -8 mid/side", source_kind::music, 2, 16, 48000, 20000, "-8"},
        {"stereo 24 -8", source_kind::music, 2, 24, 96000, 20000, "-8"},
        {"stereo 24 lax order 32", source_kind::music, 2, 24, 96000, 12000,
         "--lax -l 32 -q 15 -b 4608 -e"},
        {"mono 8", source_kind::music, 1, 8, 8000, 10000, "-5"},
        {"three 20", source_kind::music, 3, 20, 44100, 9000, "-5"},
        {"four 12", source_kind::music, 4, 12, 32000, 9000, "-6"},
        {"five 16", source_kind::noise, 5, 16, 44100, 9000, "-3"},
        {"six 24", source_kind::music, 6, 24, 48000, 9000, "-8"},
        {"wasted bits", source_kind::low_level, 2, 16, 44100, 20000, "-8"},
        {"square", source_kind::square, 2, 16, 44100, 20000, "-0"},
        {"silence and music, partition order 8", source_kind::silence_and_music, 2, 24, 44100,
         20000, "-8 -r 8 -b 4096"},
        {"odd block size", source_kind::music, 2, 16, 44100, 20000, "-5 --blocksize=1001"},
        {"fixed only", source_kind::music, 2, 16, 44100, 20000, "-2 -b 192"},
    };
    for (const auto &c : cases) decode_whole_file(c);
}

// ---------------------------------------------------------------------------
// Hand-made frames.

// A stereo frame of two CONSTANT subframes.
std::vector<uint8_t> constant_frame(const frame_header &h, int32_t a, int a_bits, int32_t b,
                                    int b_bits) {
    bit_writer w;
    write_header(w, h);
    w.put(0x00, 8); // CONSTANT, no wasted bits
    w.put_signed(a, a_bits);
    w.put(0x00, 8);
    w.put_signed(b, b_bits);
    return finish_frame(w);
}

TEST(FlacFrame, MidSideAndSyncVariants) {
    test_context t(2, 16);
    frame_header h;
    h.ch_code = 10; // mid/side: the side channel has 17 bits
    auto f = constant_frame(h, 100, 16, 3, 17);
    ASSERT_EQ(t.decode(f), 0);
    EXPECT_EQ(t.fc.channel_mode, 3);
    EXPECT_EQ(t.left(0), 102 * 256);
    EXPECT_EQ(t.right(15), 99 * 256);
    EXPECT_EQ(t.fc.blocksize, 16);
    EXPECT_EQ(t.fc.frame_bytes, static_cast<int32_t>(f.size()));

    h.sync_low = 1; // 0xFFF9 decodes the same
    ASSERT_EQ(t.decode(constant_frame(h, 100, 16, 3, 17)), 0);
    EXPECT_EQ(t.left(3), 102 * 256);

    h.sync_low = 0;
    h.ch_code = 8; // left/side: right = left - side
    ASSERT_EQ(t.decode(constant_frame(h, 100, 16, -5, 17)), 0);
    EXPECT_EQ(t.right(0), 105 * 256);
    h.ch_code = 9; // right/side: the first subframe is the side
    ASSERT_EQ(t.decode(constant_frame(h, -5, 17, 100, 16)), 0);
    EXPECT_EQ(t.left(0), 95 * 256);
    EXPECT_EQ(t.right(0), 100 * 256);

    // A changed header CRC is caught, a changed frame CRC is not.
    auto bad = constant_frame(h, 1, 17, 2, 16);
    bad[6] ^= 1;
    EXPECT_EQ(t.decode(bad), FLAC_ERR_HEADER_CRC);
    auto footer = constant_frame(h, 1, 17, 2, 16);
    footer.back() ^= 0x5A;
    EXPECT_EQ(t.decode(footer), 0);

    std::vector<uint8_t> nosync = constant_frame(h, 1, 17, 2, 16);
    nosync[1] = 0xFA;
    EXPECT_EQ(t.decode(nosync), FLAC_ERR_SYNC);
}

TEST(FlacFrame, ScalesByBitDepth) {
    struct {
        int ss_code, bps;
        int32_t v, want;
    } cases[] = {{1, 8, -3, -3 << 16},
                 {2, 12, 1000, 1000 << 12},
                 {4, 16, -32768, -32768 << 8},
                 {5, 20, 524287, 524287 << 4},
                 {6, 24, -8388608, -8388608}};
    for (auto &c : cases) {
        test_context t(2, 16); // the header's size wins over the stream's
        frame_header h;
        h.ss_code = c.ss_code;
        ASSERT_EQ(t.decode(constant_frame(h, c.v, c.bps, c.v, c.bps)), 0) << c.bps;
        EXPECT_EQ(t.fc.bps, c.bps);
        EXPECT_EQ(t.left(7), c.want) << c.bps;
        EXPECT_EQ(t.right(7), c.want) << c.bps;
    }
    // Code 0 keeps the stream's size.
    test_context t(2, 20);
    frame_header h;
    h.ss_code = 0;
    ASSERT_EQ(t.decode(constant_frame(h, -7, 20, 7, 20)), 0);
    EXPECT_EQ(t.left(0), -7 * 16);
}

TEST(FlacFrame, MonoLeavesSecondBufferAndFoldsSixChannels) {
    test_context mono(1, 16);
    mono.buffers[1].fill(0);
    frame_header h;
    h.ch_code = 0;
    bit_writer w;
    write_header(w, h);
    w.put(0x02, 8); // VERBATIM
    for (int i = 0; i < 16; ++i) w.put_signed(i * 100 - 700, 16);
    ASSERT_EQ(mono.decode(finish_frame(w)), 0);
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(mono.left(i), (i * 100 - 700) * 256);
        EXPECT_EQ(mono.right(i), 0);
    }

    for (int32_t x : {1000, -32768, 32767}) {
        test_context six(6, 16);
        bit_writer s;
        h.ch_code = 5;
        write_header(s, h);
        for (int c = 0; c < 6; ++c) {
            s.put(0x00, 8);
            s.put_signed(x, 16);
        }
        ASSERT_EQ(six.decode(finish_frame(s)), 0);
        EXPECT_EQ(six.left(5), ((6 * x * 5) >> 5) * 256);
        EXPECT_EQ(six.right(5), ((6 * x * 5) >> 5) * 256);
    }
}

TEST(FlacFrame, HeaderFieldsAndTheirRefusals) {
    // Block size code 0 in a fixed block size stream takes the minimum,
    // and a frame number counts blocks.
    {
        test_context t(2, 16, 32, 32);
        frame_header h;
        h.bs_code = 0;
        h.number = 5;
        ASSERT_EQ(t.decode(constant_frame(h, 1, 16, 2, 16)), 0);
        EXPECT_EQ(t.fc.blocksize, 32);
        EXPECT_EQ(t.fc.first_sample, 160u);
    }
    // Variable block size: the number is the sample number.
    {
        test_context t(2, 16, 16, 4096);
        frame_header h;
        h.number = 100;
        ASSERT_EQ(t.decode(constant_frame(h, 1, 16, 2, 16)), 0);
        EXPECT_EQ(t.fc.first_sample, 100u);
    }
    struct {
        const char *what;
        void (*edit)(frame_header &);
        int channels;
        int want;
    } cases[] = {
        {"sample size 3", [](frame_header &h) { h.ss_code = 3; }, 2, FLAC_ERR_SAMPLE_SIZE},
        {"sample size 7", [](frame_header &h) { h.ss_code = 7; }, 2, FLAC_ERR_SAMPLE_SIZE},
        {"reserved bit", [](frame_header &h) { h.reserved = 1; }, 2, FLAC_ERR_RESERVED_BIT},
        {"rate code 15", [](frame_header &h) { h.sr_code = 15; }, 2, FLAC_ERR_SAMPLE_RATE},
        {"channels differ", [](frame_header &h) { h.ch_code = 2; }, 2, FLAC_ERR_CHANNELS},
        {"side coding in mono", [](frame_header &h) { h.ch_code = 8; }, 1, FLAC_ERR_CHANNELS},
        {"assignment 11", [](frame_header &h) { h.ch_code = 11; }, 2, FLAC_ERR_CHANNELS},
        {"block above maximum", [](frame_header &h) { h.blocksize = 4097; }, 2, FLAC_ERR_BLOCKSIZE},
        {"seven channels", [](frame_header &h) { h.ch_code = 6; }, 7, FLAC_ERR_TOO_MANY_CHANNELS},
        {"eight channels", [](frame_header &h) { h.ch_code = 7; }, 8, FLAC_ERR_TOO_MANY_CHANNELS},
    };
    for (auto &c : cases) {
        test_context t(c.channels, 16, 16, 4096);
        frame_header h;
        c.edit(h);
        EXPECT_EQ(t.decode(constant_frame(h, 1, 16, 2, 16)), c.want) << c.what;
    }
    // A fixed stream claiming blocks above the buffers is refused even with
    // code 0.
    test_context big(2, 16, 8192, 8192);
    frame_header h;
    h.bs_code = 0;
    EXPECT_EQ(big.decode(constant_frame(h, 1, 16, 2, 16)), FLAC_ERR_BLOCKSIZE);
}

// Header for a one-channel 16-bit frame of n samples.
bit_writer mono_frame(int n) {
    bit_writer w;
    frame_header h;
    h.ch_code = 0;
    h.blocksize = n;
    write_header(w, h);
    return w;
}

TEST(FlacFrame, SubframeKinds) {
    const int n = 32;
    std::vector<int32_t> sig(n);
    for (int i = 0; i < n; ++i) sig[static_cast<std::size_t>(i)] = (i * i * 7) % 901 - 450;

    // FIXED order 2 with two partitions, the second one escaped.
    {
        bit_writer w = mono_frame(n);
        w.put(10 << 1, 8); // FIXED order 2
        w.put_signed(sig[0], 16);
        w.put_signed(sig[1], 16);
        w.put(0, 2); // method 0
        w.put(1, 4); // two partitions of 16
        w.put(3, 4); // k = 3
        for (int i = 2; i < 16; ++i) {
            int32_t pred =
                2 * sig[static_cast<std::size_t>(i - 1)] - sig[static_cast<std::size_t>(i - 2)];
            w.rice(sig[static_cast<std::size_t>(i)] - pred, 3);
        }
        w.put(15, 4); // escape
        w.put(13, 5);
        for (int i = 16; i < n; ++i) {
            int32_t pred =
                2 * sig[static_cast<std::size_t>(i - 1)] - sig[static_cast<std::size_t>(i - 2)];
            w.put_signed(sig[static_cast<std::size_t>(i)] - pred, 13);
        }
        test_context t(1, 16);
        ASSERT_EQ(t.decode(finish_frame(w)), 0);
        for (int i = 0; i < n; ++i) EXPECT_EQ(t.left(i), sig[static_cast<std::size_t>(i)] * 256);
    }
    // An escaped partition of width 0 gives zero residuals: FIXED order 1
    // holds the warm-up value.
    {
        bit_writer w = mono_frame(n);
        w.put(0x09 << 1, 8);
        w.put_signed(-1234, 16);
        w.put(1, 2);  // method 1, 5-bit parameters
        w.put(0, 4);  // one partition
        w.put(31, 5); // escape
        w.put(0, 5);  // width 0
        test_context t(1, 16);
        ASSERT_EQ(t.decode(finish_frame(w)), 0);
        for (int i = 0; i < n; ++i) EXPECT_EQ(t.left(i), -1234 * 256);
    }
    // LPC order 3 with wasted bits.
    {
        const int32_t coef[3] = {3, -2, 1};
        const int shift = 1;
        std::vector<int32_t> s(n); // samples before the wasted-bits shift
        for (int i = 0; i < 3; ++i) s[static_cast<std::size_t>(i)] = 10 * i - 7;
        std::vector<int32_t> res(n);
        for (int i = 3; i < n; ++i) {
            int64_t sum = 0;
            for (int j = 0; j < 3; ++j)
                sum += int64_t{coef[j]} * s[static_cast<std::size_t>(i - 1 - j)];
            res[static_cast<std::size_t>(i)] = (i % 5) - 2;
            s[static_cast<std::size_t>(i)] =
                static_cast<int32_t>((sum >> shift) + res[static_cast<std::size_t>(i)]);
        }
        bit_writer w = mono_frame(n);
        w.put((0x20 | 2) << 1 | 1, 8); // LPC order 3, wasted bits follow
        w.unary(2);                    // k = 3
        for (int i = 0; i < 3; ++i) w.put_signed(s[static_cast<std::size_t>(i)], 13);
        w.put(4 - 1, 4); // precision 4
        w.put_signed(shift, 5);
        for (int j = 0; j < 3; ++j) w.put_signed(coef[j], 4);
        w.put(0, 2);
        w.put(0, 4);
        w.put(2, 4);
        for (int i = 3; i < n; ++i) w.rice(res[static_cast<std::size_t>(i)], 2);
        test_context t(1, 16);
        ASSERT_EQ(t.decode(finish_frame(w)), 0);
        for (int i = 0; i < n; ++i)
            EXPECT_EQ(t.left(i), s[static_cast<std::size_t>(i)] * 8 * 256) << i;
    }
}

// A left/side frame whose side channel is an LPC subframe of the given
// order: warm-up samples -65536 (17 bits), coefficients -16384, -16384, 0...
// (precision 15), shift 9. Summed exactly, the prediction of sample `order`
// is 2^31 >> 9 = 2^22; summed in 32 bits, -2^31 >> 9 = -2^22. Returns the
// right channel there (left - side), unscaled.
int32_t lpc_sum_probe(int order) {
    const int n = 16;
    bit_writer w;
    frame_header h;
    h.ch_code = 8;
    h.blocksize = n;
    write_header(w, h);
    w.put(0x00, 8); // left: constant 0
    w.put_signed(0, 16);
    w.put((0x20 | (order - 1)) << 1, 8);
    for (int i = 0; i < order; ++i) w.put_signed(-65536, 17);
    w.put(15 - 1, 4);
    w.put_signed(9, 5);
    for (int j = 0; j < order; ++j) w.put_signed(j < 2 ? -16384 : 0, 15);
    w.put(0, 2);
    w.put(0, 4);
    w.put(0, 4);
    for (int i = order; i < n; ++i) w.rice(0, 0);
    test_context t(2, 16);
    EXPECT_EQ(t.decode(finish_frame(w)), 0);
    return t.right(order) / 256;
}

TEST(FlacFrame, LpcSumWidthFollowsFrameBitsPerSample) {
    // 16 + 15 + log2(2) = 32 with the frame's 16 bits (not the side
    // channel's 17): summed in 32 bits.
    EXPECT_EQ(lpc_sum_probe(2), 1 << 22);
    // 16 + 15 + log2(4) = 33: summed in 64 bits.
    EXPECT_EQ(lpc_sum_probe(4), -(1 << 22));
}

TEST(FlacFrame, DamagedSubframesAreRefused) {
    struct {
        const char *what;
        void (*body)(bit_writer &);
        int want;
    } cases[] = {
        {"pad bit", [](bit_writer &w) { w.put(0x80, 8); }, FLAC_ERR_SUBFRAME_PAD},
        {"type 2", [](bit_writer &w) { w.put(2 << 1, 8); }, FLAC_ERR_SUBFRAME_TYPE},
        {"type 13", [](bit_writer &w) { w.put(13 << 1, 8); }, FLAC_ERR_SUBFRAME_TYPE},
        {"fixed method 2",
         [](bit_writer &w) {
             w.put(8 << 1, 8);
             w.put(2, 2);
         },
         FLAC_ERR_FIXED},
        {"lpc precision 16",
         [](bit_writer &w) {
             w.put(0x20 << 1, 8);
             w.put(0, 16);
             w.put(15, 4);
         },
         FLAC_ERR_LPC},
        {"lpc negative shift",
         [](bit_writer &w) {
             w.put(0x20 << 1, 8);
             w.put(0, 16);
             w.put(3, 4);
             w.put_signed(-1, 5);
         },
         FLAC_ERR_LPC},
        {"lpc method 3",
         [](bit_writer &w) {
             w.put(0x20 << 1, 8);
             w.put(0, 16);
             w.put(3, 4);
             w.put(0, 5);
             w.put(0, 4);
             w.put(3, 2);
         },
         FLAC_ERR_LPC},
        {"lpc order above block", [](bit_writer &w) { w.put((0x20 | 31) << 1, 8); },
         FLAC_ERR_ORDER},
        {"wasted bits as wide as the sample",
         [](bit_writer &w) {
             w.put(1, 8);
             w.unary(15);
         },
         FLAC_ERR_WASTED_BITS},
        {"partition smaller than the order",
         [](bit_writer &w) {
             w.put(12 << 1, 8); // FIXED order 4
             for (int i = 0; i < 4; ++i) w.put(0, 16);
             w.put(0, 2);
             w.put(3, 4); // 8 partitions of 2 samples
         },
         FLAC_ERR_PARTITIONS},
        {"partitions that do not divide the block",
         [](bit_writer &w) {
             w.put(8 << 1, 8); // FIXED order 0
             w.put(0, 2);
             w.put(5, 4); // 32 partitions of a 16-sample block
         },
         FLAC_ERR_PARTITIONS},
    };
    for (auto &c : cases) {
        bit_writer w = mono_frame(16);
        c.body(w);
        for (int i = 0; i < 64; ++i) w.put(0xA5, 8); // plenty of bytes after
        test_context t(1, 16);
        EXPECT_EQ(t.decode(finish_frame(w)), c.want) << c.what;
    }
}

TEST(FlacFrame, NeverReadsPastTheBytesHandedIn) {
    // Every truncation of real frames, of a Rice-coded frame with a long
    // unary run, and of a frame that is zero after its header.
    std::vector<std::vector<uint8_t>> frames;
    {
        bit_writer w = mono_frame(64);
        w.put(8 << 1, 8);
        w.put(0, 2);
        w.put(0, 4);
        w.put(0, 4);
        for (int i = 0; i < 64; ++i) w.rice(i % 2 ? 400 : -3, 0);
        frames.push_back(finish_frame(w));
    }
    {
        bit_writer w = mono_frame(4608);
        w.put(2, 8);
        for (int i = 0; i < 4608; ++i) w.put_signed(i * 7, 16);
        frames.push_back(finish_frame(w));
    }
    {
        bit_writer w = mono_frame(4608);
        w.put(8 << 1, 8);
        frames.push_back(w.bytes()); // residual section missing: all zeros
    }
    for (std::size_t f = 0; f < frames.size(); ++f) {
        const auto &frame = frames[f];
        for (std::size_t size = 0; size < frame.size(); ++size) {
            test_context t(1, 16);
            int r = t.decode(frame, size);
            ASSERT_LT(r, 0) << "frame " << f << " size " << size;
            if (size >= 7) {
                ASSERT_EQ(r, FLAC_ERR_OVERRUN) << "frame " << f << " size " << size;
            }
        }
    }
    test_context t(1, 16);
    EXPECT_EQ(t.decode(frames[0]), 0);
    EXPECT_EQ(t.left(1), 400 * 256);
}

} // namespace
