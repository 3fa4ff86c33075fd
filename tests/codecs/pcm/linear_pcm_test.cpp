#include "codecs/pcm/linear_pcm.h"

#include <cstdint>
#include <gtest/gtest.h>
#include <vector>

#include "support/capture.h"

using namespace pipd;
using pipd::testing::DiagCapture;

namespace {

wave_format pcm_format(uint16_t channels, uint32_t rate, uint16_t bits, bool little_endian = true,
                       bool signed_samples = true, uint16_t blockalign = 0) {
    wave_format f{};
    f.formattag = 1;
    f.channels = channels;
    f.samplerate = rate;
    f.bitspersample = bits;
    f.blockalign = blockalign;
    f.little_endian = little_endian ? 1 : 0;
    f.signed_samples = signed_samples ? 1 : 0;
    return f;
}

// Decodes the bytes with the format and returns the values written.
std::vector<int32_t> decode_all(wave_format &f, const std::vector<uint8_t> &in,
                                uint32_t *count = nullptr) {
    const pcm_codec_ops *codec = get_linear_pcm_codec();
    EXPECT_TRUE(codec->set_format(&f));
    std::vector<int32_t> out(in.size() + 1, 0x5A5A5A5A);
    uint32_t n = 0;
    EXPECT_EQ(codec->decode(in.data(), static_cast<uint32_t>(in.size()), out.data(), &n), 0);
    if (count) *count = n;
    const uint32_t w = (f.bitspersample + 7) / 8;
    out.resize(in.size() / w);
    return out;
}

// What a sample of width bytes means at 24-bit scale, computed from the
// whole sample: scaled up below 24 bits, the lowest byte dropped above.
int32_t reference_value(const uint8_t *p, unsigned width, bool little_endian, bool signed_samples) {
    uint64_t raw = 0;
    for (unsigned i = 0; i < width; ++i) {
        const uint8_t b = little_endian ? p[i] : p[width - 1 - i];
        raw |= uint64_t{b} << (8 * i);
    }
    const unsigned bits = 8 * width;
    int64_t v = signed_samples ? (raw >= (uint64_t{1} << (bits - 1))
                                      ? static_cast<int64_t>(raw) - (int64_t{1} << bits)
                                      : static_cast<int64_t>(raw))
                               : static_cast<int64_t>(raw) - (int64_t{1} << (bits - 1));
    if (bits <= 24) return static_cast<int32_t>(v * (int64_t{1} << (24 - bits)));
    return static_cast<int32_t>(v >> (bits - 24));
}

} // namespace

TEST(LinearPcm, ConvertsKnownSamples) {
    auto f16 = pcm_format(1, 44100, 16);
    EXPECT_EQ(decode_all(f16, {0x34, 0x12, 0x00, 0x80, 0xFF, 0x7F}),
              (std::vector<int32_t>{0x1234 * 256, -8388608, 0x7FFF * 256}));

    auto f8 = pcm_format(1, 44100, 8, true, false);
    EXPECT_EQ(decode_all(f8, {0x80, 0xFF, 0x00}),
              (std::vector<int32_t>{0, 127 * 65536, -128 * 65536}));

    auto f24be = pcm_format(1, 44100, 24, false, false);
    EXPECT_EQ(decode_all(f24be, {0x80, 0x00, 0x01}), (std::vector<int32_t>{1}));

    auto f32 = pcm_format(1, 44100, 32);
    EXPECT_EQ(decode_all(f32, {0x78, 0x56, 0x34, 0x12}),
              (std::vector<int32_t>{0x3456 + 0x12 * 65536}));
}

TEST(LinearPcm, EveryWidthOrderAndSignednessMatchesTheWholeSampleValue) {
    std::vector<uint8_t> in(4 * 3 * 64);
    uint32_t x = 12345;
    for (auto &b : in) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(x >> 16);
    }
    // Extremes at the start of each width's view.
    const uint8_t edge[] = {0x00, 0x00, 0x00, 0x80, 0xFF, 0xFF, 0xFF, 0x7F, 0x00, 0x00, 0x00, 0x00};
    std::copy(std::begin(edge), std::end(edge), in.begin());
    for (unsigned width = 1; width <= 4; ++width) {
        for (int le = 0; le < 2; ++le) {
            for (int sg = 0; sg < 2; ++sg) {
                auto f = pcm_format(2, 48000, static_cast<uint16_t>(8 * width), le, sg);
                const auto out = decode_all(f, in);
                ASSERT_EQ(out.size(), in.size() / width);
                for (std::size_t i = 0; i < out.size(); ++i)
                    ASSERT_EQ(out[i], reference_value(&in[i * width], width, le, sg))
                        << "width " << width << " le " << le << " signed " << sg << " at " << i;
            }
        }
    }
}

TEST(LinearPcm, CountsFramesForStereoAndSamplesForMono) {
    std::vector<uint8_t> step(3528);
    auto stereo = pcm_format(2, 44100, 16);
    uint32_t count = 0;
    decode_all(stereo, step, &count);
    EXPECT_EQ(count, 882u);

    auto mono = pcm_format(1, 44100, 16);
    decode_all(mono, step, &count);
    EXPECT_EQ(count, 1764u);

    // A trailing partial sample is not counted, nor is the half of a frame.
    auto s24 = pcm_format(2, 44100, 24);
    decode_all(s24, std::vector<uint8_t>(3 * 5 + 2), &count);
    EXPECT_EQ(count, 2u);
    decode_all(mono, std::vector<uint8_t>(7), &count);
    EXPECT_EQ(count, 3u);
}

TEST(LinearPcm, PartialSampleAtTheEndIsNotRead) {
    // The source ends exactly at the allocation; a sample that would reach
    // past it must not be touched (AddressSanitizer watches the heap block).
    auto f = pcm_format(2, 44100, 32);
    const pcm_codec_ops *codec = get_linear_pcm_codec();
    ASSERT_TRUE(codec->set_format(&f));
    auto *src = new uint8_t[10]{0, 0, 0, 1, 0, 0, 0, 2, 9, 9};
    int32_t dst[3] = {7, 7, 7};
    uint32_t count = 0;
    codec->decode(src, 10, dst, &count);
    delete[] src;
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(dst[0], 65536);
    EXPECT_EQ(dst[1], 2 * 65536);
    EXPECT_EQ(dst[2], 7) << "nothing is written for a partial sample";
}

TEST(LinearPcm, SetFormatDerivesTheStepLayout) {
    const pcm_codec_ops *codec = get_linear_pcm_codec();

    auto cd = pcm_format(2, 44100, 16);
    ASSERT_TRUE(codec->set_format(&cd));
    EXPECT_EQ(cd.bytespersample, 2u);
    EXPECT_EQ(cd.blockalign, 4);
    EXPECT_EQ(cd.samplesperblock, 1);
    EXPECT_EQ(cd.chunksize, 3528u);

    auto dat = pcm_format(2, 48000, 16);
    ASSERT_TRUE(codec->set_format(&dat));
    EXPECT_EQ(dat.chunksize, 960u * 4);

    // 12 bits in 2-byte containers: one "byte per sample", two frames a block.
    auto twelve = pcm_format(2, 44100, 12, true, true, 4);
    ASSERT_TRUE(codec->set_format(&twelve));
    EXPECT_EQ(twelve.bytespersample, 1u);
    EXPECT_EQ(twelve.samplesperblock, 2);
    EXPECT_EQ(twelve.chunksize, 4u * (44100 / 100));
    uint32_t count = 0;
    EXPECT_EQ(decode_all(twelve, {0x10, 0x32, 0x54, 0x76}, &count),
              (std::vector<int32_t>{0x321000, 0x765400}));
    EXPECT_EQ(count, 1u) << "2-byte containers whatever bytespersample says";

    auto hires = pcm_format(2, 96000, 24);
    ASSERT_TRUE(codec->set_format(&hires));
    EXPECT_EQ(hires.blockalign, 6) << "a missing block alignment is one frame";
    EXPECT_EQ(hires.chunksize, 6u * 1920);
}

TEST(LinearPcm, SetFormatRefusesWhatItCannotDecode) {
    const pcm_codec_ops *codec = get_linear_pcm_codec();
    struct refusal {
        wave_format format;
        const char *message;
    };
    const refusal cases[] = {
        {pcm_format(0, 44100, 16), "CODEC_ERROR: channels is 0\n"},
        {pcm_format(2, 44100, 0), "CODEC_ERROR: bitspersample is 0\n"},
        {pcm_format(2, 44100, 33),
         "CODEC_ERROR: pcm with more than 32 bitspersample is unsupported\n"},
        {pcm_format(2, 44100, 7),
         "CODEC_ERROR: pcm with 7 bitspersample (fewer than 8) is unsupported\n"},
        {pcm_format(2, 44100, 16, true, true, 3),
         "CODEC_ERROR: blockalign 3 is smaller than one frame (4 bytes)\n"},
        // A frame wider than 16 bits can count: the block alignment wraps to 0.
        {pcm_format(16384, 44100, 32), "CODEC_ERROR: blockalign 0 is smaller than one frame "
                                       "(65536 bytes)\n"},
    };
    for (const auto &c : cases) {
        DiagCapture diag;
        wave_format f = c.format;
        EXPECT_FALSE(codec->set_format(&f)) << c.message;
        EXPECT_EQ(diag.text(), c.message);
    }
}

TEST(LinearPcm, SeekPositionsAreBlockAligned) {
    const pcm_codec_ops *codec = get_linear_pcm_codec();
    auto cd = pcm_format(2, 44100, 16);
    ASSERT_TRUE(codec->set_format(&cd));
    const pcm_pos *p = codec->get_seek_pos(1000);
    EXPECT_EQ(p->pos, 176400u);
    EXPECT_EQ(p->samples, 44100u);
    p = codec->get_seek_pos(1);
    EXPECT_EQ(p->pos, 44u * 4);
    EXPECT_EQ(p->samples, 44u);
    // The product is formed in 64 bits: 10000 s at 96 kHz.
    auto hires = pcm_format(2, 96000, 24);
    ASSERT_TRUE(codec->set_format(&hires));
    p = codec->get_seek_pos(10000000);
    EXPECT_EQ(p->samples, 96000u * 10000);
    EXPECT_EQ(p->pos, UINT32_MAX) << "a position past 4 GiB saturates instead of wrapping";

    auto twelve = pcm_format(2, 44100, 12, true, true, 4);
    ASSERT_TRUE(codec->set_format(&twelve));
    p = codec->get_seek_pos(1000);
    EXPECT_EQ(p->samples, 44100u); // 22050 blocks of two frames
    EXPECT_EQ(p->pos, 22050u * 4);
    p = codec->get_seek_pos(0);
    EXPECT_EQ(p->pos, 0u);
}
