// The sink's packet reader and its sample packing, without a device.

#include <cmath>
#include <gtest/gtest.h>
#include <unistd.h>
#include <vector>

#include "sink/packet_reader.h"
#include "sink/sample_pack.h"
#include "sink/snapcast_output.h"
#include "support/pcm_tone.h"

using namespace pipd;
using namespace pipd::sink;
using namespace pipd::testing;

namespace {

std::vector<int32_t> packet(int32_t left, int32_t right) {
    std::vector<int32_t> w(PACKET_WORDS, 0);
    w[0] = static_cast<int32_t>(OUTPUT_MAGIC);
    w[1] = rate_code(44100);
    w[PACKET_HEADER_WORDS] = right; // the pipe: channel 1 first
    w[PACKET_HEADER_WORDS + 1] = left;
    return w;
}

} // namespace

TEST(SinkPacking, FirstFrameInEachFormat) {
    const auto w = packet(0x123456, -0x900000); // the right one beyond 24 bits: clamped
    for (auto [format, bytes] :
         {std::pair{0, std::vector<int>{0x56, 0x34, 0x12, 0, 0, 0, 0x80, 0xff}},
          {1, {0, 0x56, 0x34, 0x12, 0, 0, 0, 0x80}},
          {2, {0x56, 0x34, 0x12, 0, 0, 0x80}},
          {3, {0x34, 0x12, 0, 0x80}}}) {
        std::vector<unsigned char> out(PACKET_FRAMES * 2 * 4);
        pack_frames(w.data(), formats[format], out.data());
        EXPECT_EQ(std::vector<int>(out.begin(), out.begin() + static_cast<long>(bytes.size())),
                  bytes)
            << formats[format].name;
    }
}

TEST(SinkReader, SkipsToTheNextHeader) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    std::vector<int32_t> bytes(5, 0x11223344); // not a header, at no alignment
    const auto a = packet(1, 2), b = packet(3, 4);
    bytes.insert(bytes.end(), a.begin() + 300, a.end()); // the tail of a packet
    bytes.insert(bytes.end(), b.begin(), b.end());
    const std::size_t size = bytes.size() * 4 - 3;
    ASSERT_EQ(write(p[1], reinterpret_cast<const char *>(bytes.data()) + 3, size),
              static_cast<ssize_t>(size));
    close(p[1]);
    counters c;
    packet_reader reader(c);
    reader.attach(p[0]);
    std::vector<int32_t> got(PACKET_WORDS);
    EXPECT_EQ(reader.next(got.data(), [] {}), packet_reader::PACKET);
    EXPECT_EQ(got, b);
    EXPECT_EQ(reader.next(got.data(), [] {}), packet_reader::END);
    EXPECT_EQ(c.packets, 1u);
    EXPECT_EQ(c.lost, 1u);
    EXPECT_EQ(c.skipped, size - PACKET_BYTES);
    close(p[0]);
}

// ---- The Snapcast output's conversion --------------------------------------

namespace {

// A packet of a 1 kHz tone at rate (or of level when given), channel 1 the
// tone's inverse.
std::vector<int32_t> tone_packet(int32_t rate, int index, int32_t level = 0) {
    std::vector<int32_t> w = packet(0, 0);
    w[1] = rate_code(rate);
    for (int k = 0; k < PACKET_FRAMES; ++k) {
        const double v = std::sin(2 * M_PI * 1000.0 * (index * PACKET_FRAMES + k) / rate);
        w[PACKET_HEADER_WORDS + 2 * k] = level ? level : static_cast<int32_t>(-v * 4194304);
        w[PACKET_HEADER_WORDS + 2 * k + 1] = level ? level : static_cast<int32_t>(v * 4194304);
    }
    return w;
}

} // namespace

TEST(SnapcastFormat, ParsesSnapserversNotation) {
    for (auto [text, ok] : {std::pair{"48000:24:2", true},
                            {"44100:16:2", true},
                            {"96000:32:2", true},
                            {"48000:24:1", false},
                            {"48000:20:2", false},
                            {"4000:16:2", false},
                            {"48000:24", false},
                            {"48000:24:2x", false}}) {
        auto f = parse_snapcast_format(text);
        EXPECT_EQ(f.has_value(), ok) << text;
        EXPECT_TRUE(!f || snapcast_format_text(*f) == text);
    }
}

// A change of rate drains the old rate's resampler into the stream: the
// tone keeps its pitch and nothing is lost at the junction.
TEST(SnapcastConverter, RateChangeKeepsPitchAndTheOldRatesTail) {
    pcm_converter c(snapcast_format{});
    std::basic_string<unsigned char> out;
    for (int i = 0; i < 80; ++i) out += c.convert(tone_packet(i < 40 ? 44100 : 96000, i).data());
    out += c.drain();
    EXPECT_NEAR(out.size() / 8.0, 40.0 * PACKET_FRAMES * (48000.0 / 44100 + 0.5), 3);
    const auto left = pcm_channel(out, 4, 0);
    EXPECT_NEAR(tone_frequency({left.begin() + 100, left.begin() + 18000}, 48000), 1000, 0.01);
}

// 16 bits: rounded with TPDF dither, so that a level between two steps
// comes out on average where it is, no sample more than a step beyond.
TEST(SnapcastConverter, SixteenBitsAreDitheredWithoutBias) {
    for (int32_t rate : {48000, 44100}) {
        pcm_converter c(snapcast_format{48000, 16, 2});
        std::basic_string<unsigned char> out;
        for (int i = 0; i < 200; ++i) out += c.convert(tone_packet(rate, i, 64).data()); // 1/4 step
        const auto left = pcm_channel(out, 2, 0);
        double sum = 0;
        for (std::size_t i = 1000; i < left.size(); ++i) {
            ASSERT_LE(std::abs(left[i] - 0.25), 1.75) << i;
            sum += left[i];
        }
        EXPECT_NEAR(sum / static_cast<double>(left.size() - 1000), 0.25, 0.02) << rate;
    }
}
