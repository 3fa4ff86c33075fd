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

// Packets of a 1 kHz tone at rate, channel 1 its inverse.
std::vector<int32_t> tone_packet(int32_t rate, int index, double amp = 4194304) {
    std::vector<int32_t> w = packet(0, 0);
    w[1] = rate_code(rate);
    for (int k = 0; k < PACKET_FRAMES; ++k) {
        const double v = amp * std::sin(2 * M_PI * 1000.0 * (index * PACKET_FRAMES + k) / rate);
        w[PACKET_HEADER_WORDS + 2 * k] = static_cast<int32_t>(std::lrint(-v));
        w[PACKET_HEADER_WORDS + 2 * k + 1] = static_cast<int32_t>(std::lrint(v));
    }
    return w;
}

std::basic_string<unsigned char> convert_all(pcm_converter &c,
                                             const std::vector<std::vector<int32_t>> &packets) {
    std::basic_string<unsigned char> out;
    for (const auto &p : packets) out += c.convert(p.data());
    return out += c.drain();
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
                            {"48000:24:2x", false},
                            {":24:2", false}}) {
        auto f = parse_snapcast_format(text);
        EXPECT_EQ(f.has_value(), ok) << text;
        if (f) {
            EXPECT_EQ(snapcast_format_text(*f), text);
        }
    }
}

// Each packet rate reaches the format's rate at its true pitch and length
// (the tail the resampler holds is drained at the end); at the format's own
// rate the samples pass untouched.
TEST(SnapcastConverter, EveryRateKeepsPitchAndLength) {
    pcm_converter c(snapcast_format{});
    for (int32_t rate : {44100, 48000, 88200, 96000, 176400, 192000, 44100}) {
        SCOPED_TRACE(rate);
        std::vector<std::vector<int32_t>> packets;
        for (int i = 0; i < 100; ++i) packets.push_back(tone_packet(rate, i));
        const auto out = convert_all(c, packets);
        const double frames = 100.0 * PACKET_FRAMES * 48000 / rate;
        EXPECT_NEAR(static_cast<double>(out.size()) / 8, frames, 2);
        const auto left = pcm_channel(out, 4, 0), right = pcm_channel(out, 4, 1);
        EXPECT_NEAR(tone_frequency(left, 48000), 1000.0, 0.01);
        EXPECT_NEAR(tone_frequency(std::vector<double>(right.begin() + 1, right.end()), 48000),
                    1000.0, 0.01);
        EXPECT_EQ(c.resampling(), rate != 48000);
        if (rate == 48000) {
            std::vector<unsigned char> exact(PACKET_FRAMES * 8);
            pack_frames(packets[7].data(), formats[0], exact.data());
            EXPECT_TRUE(std::equal(exact.begin(), exact.end(), out.begin() + 7 * 4096));
        }
    }
}

// A rate change drains the old rate's resampler into the stream: nothing is
// lost at the junction.
TEST(SnapcastConverter, RateChangeKeepsTheOldRatesTail) {
    pcm_converter c(snapcast_format{});
    std::vector<std::vector<int32_t>> packets;
    for (int i = 0; i < 40; ++i) packets.push_back(tone_packet(i < 20 ? 44100 : 96000, i));
    EXPECT_NEAR(static_cast<double>(convert_all(c, packets).size()) / 8,
                20.0 * PACKET_FRAMES * (48000.0 / 44100 + 0.5), 3);
}

// 16 bits: rounded with TPDF dither, so that a level between two steps
// comes out on average where it is, and no sample is off by more than one
// step beyond the rounding.
TEST(SnapcastConverter, SixteenBitsAreDitheredWithoutBias) {
    snapcast_format f;
    f.bits = 16;
    for (int32_t rate : {48000, 44100}) {
        pcm_converter c(f);
        std::vector<int32_t> w = packet(0, 0);
        w[1] = rate_code(rate);
        for (int k = 0; k < 2 * PACKET_FRAMES; ++k) w[PACKET_HEADER_WORDS + k] = 64; // 1/4 step
        const auto out = convert_all(c, std::vector<std::vector<int32_t>>(200, w));
        const auto left = pcm_channel(out, 2, 0);
        double sum = 0;
        for (std::size_t i = 1000; i < left.size() - 1000; ++i) {
            ASSERT_LE(std::abs(left[i] - 0.25), 1.75) << i;
            sum += left[i];
        }
        EXPECT_NEAR(sum / static_cast<double>(left.size() - 2000), 0.25, 0.02) << rate;
    }
}
