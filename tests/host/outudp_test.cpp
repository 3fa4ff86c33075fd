#include "host/outudp.h"

#include <algorithm>
#include <array>
#include <csignal>
#include <gtest/gtest.h>
#include <unistd.h>
#include <vector>

#include "host/codec_api.h"
#include "support/capture.h"

using namespace pipd;
using pipd::testing::DiagCapture;
using pipd::testing::PacketCapture;

namespace {

struct OutputTest : ::testing::Test {
    void SetUp() override {
        outfifo_reset();
        playstat_reset(nullptr);
    }
    void TearDown() override { outfifo_reset(); }
    // Samples staged in the current, unsent packet.
    std::vector<int32_t> pending() const {
        return {tcpbuffer + PACKET_HEADER_WORDS, tcpbuffer + tcpbuffptr};
    }
    DiagCapture diag_;
};

} // namespace

TEST_F(OutputTest, RateCodesAndHeader) {
    const std::array<std::pair<int32_t, int32_t>, 6> table{
        {{44100, 19}, {48000, 3}, {88200, 17}, {96000, 1}, {176400, 16}, {192000, 0}}};
    for (auto [rate, code] : table) {
        ci_configure(CODEC_CONFIG_FREQUENCY, rate);
        EXPECT_EQ(static_cast<uint32_t>(tcpbuffer[0]), OUTPUT_MAGIC);
        EXPECT_EQ(tcpbuffer[1], code) << rate;
        EXPECT_EQ(rate_of_code(code), rate);
        EXPECT_EQ(dsdout, 0);
    }
    // A rate no table rate carries at its true speed is refused, and what
    // its stream hands over is dropped.
    ci_configure(CODEC_CONFIG_FREQUENCY, 3000);
    EXPECT_TRUE(output_refused());
    EXPECT_EQ(playstat.frequency, 3000);
    EXPECT_TRUE(diag_.contains("CODEC_ERROR: a sample rate of 3000 Hz cannot be played\n"));
    ci_pcmbuf_insert(std::vector<int32_t>{7, 7}.data(), nullptr, 1);
    EXPECT_TRUE(pending().empty());
    EXPECT_EQ(tcpbuffer[2], 0);
    EXPECT_EQ(tcpbuffer[3], 0);
}

TEST_F(OutputTest, BeforeAnyRateTheHeaderIsZero) {
    PacketCapture cap;
    flash_outfifo();
    EXPECT_EQ(cap.packets().size(), 0u) << "an empty stream ends without a packet";
    ci_pcmbuf_insert(std::vector<int32_t>{7, 7}.data(), nullptr, 1);
    flash_outfifo();
    ASSERT_EQ(cap.packets().size(), 1u);
    EXPECT_EQ(cap.packets()[0][0], 0);
    EXPECT_EQ(cap.packets()[0][1], 0);
}

TEST_F(OutputTest, DsdRateRunsTheOutputAt176400AndHalves) {
    ci_configure(CODEC_CONFIG_BPS, 1);
    ci_configure(CODEC_CONFIG_FREQUENCY, DSD_RATE);
    EXPECT_EQ(playstat.frequency, DSD_RATE);
    EXPECT_EQ(dsdout, 1);
    EXPECT_EQ(tcpbuffer[1], 16);
    EXPECT_TRUE(diag_.contains("freq = 176400\n"));

    const int32_t first[] = {10, 20, -3, -8388607};
    const int32_t second[] = {1, 2, 7, -1};
    ci_pcmbuf_insert(first, second, 4);
    EXPECT_EQ(pending(), (std::vector<int32_t>{0, 5, 1, 10, 3, -1, 0, -4194303}));

    ci_configure(CODEC_CONFIG_FREQUENCY, 44100);
    EXPECT_EQ(dsdout, 0);
    EXPECT_TRUE(pending().empty()) << "a rate report restarts the packet";
}

TEST_F(OutputTest, PlanarAndInterleavedInputAreSwapped) {
    ci_configure(CODEC_CONFIG_FREQUENCY, 44100);
    const int32_t first[] = {1, 2};
    const int32_t second[] = {10, 20};
    ci_pcmbuf_insert(first, second, 2);
    EXPECT_EQ(pending(), (std::vector<int32_t>{10, 1, 20, 2}));

    ci_configure(CODEC_CONFIG_FREQUENCY, 44100);
    const int32_t interleaved[] = {1, 10, 2, 20};
    ci_pcmbuf_insert(interleaved, nullptr, 2);
    EXPECT_EQ(pending(), (std::vector<int32_t>{10, 1, 20, 2}));
}

TEST_F(OutputTest, MonoIsWidenedToBothChannels) {
    ci_configure(CODEC_CONFIG_FREQUENCY, 48000);
    ci_configure(CODEC_CONFIG_CHANNELS, 1);
    const int32_t mono[] = {5, -6, 7};
    ci_pcmbuf_insert(mono, nullptr, 3);
    EXPECT_EQ(pending(), (std::vector<int32_t>{5, 5, -6, -6, 7, 7}));
}

TEST_F(OutputTest, PacketsLeaveWhole512FramesAtATime) {
    PacketCapture cap;
    ci_configure(CODEC_CONFIG_FREQUENCY, 48000);
    std::vector<int32_t> l(513), r(513);
    for (int i = 0; i < 513; ++i) l[i] = i, r[i] = -i;
    ci_pcmbuf_insert(l.data(), r.data(), 512);
    ASSERT_EQ(cap.packets().size(), 1u);
    ci_pcmbuf_insert(l.data(), r.data(), 513);
    ASSERT_EQ(cap.packets().size(), 2u);
    EXPECT_EQ(pending(), (std::vector<int32_t>{-512, 512}));
    const auto &p = cap.packets()[1];
    ASSERT_EQ(p.size(), static_cast<std::size_t>(PACKET_WORDS));
    EXPECT_EQ(static_cast<uint32_t>(p[0]), OUTPUT_MAGIC);
    EXPECT_EQ(p[1], 3);
    EXPECT_EQ(p[4], 0);
    EXPECT_EQ(p[5], 0);
    EXPECT_EQ(p[6], -1);
    EXPECT_EQ(p[7], 1);
    EXPECT_EQ(p[1027], 511);
}

TEST_F(OutputTest, FlushSendsTheWholePacketWithASilentTail) {
    PacketCapture cap;
    ci_configure(CODEC_CONFIG_FREQUENCY, 44100);
    std::vector<int32_t> a(512, 7), b(512, 9);
    ci_pcmbuf_insert(a.data(), b.data(), 512);
    const int32_t l[] = {1, 2}, r[] = {3, 4};
    ci_pcmbuf_insert(l, r, 2);
    flash_outfifo();
    ASSERT_EQ(cap.packets().size(), 2u);
    const auto &p = cap.packets()[1];
    EXPECT_EQ((std::vector<int32_t>(p.begin() + 4, p.begin() + 8)),
              (std::vector<int32_t>{3, 1, 4, 2}));
    EXPECT_TRUE(std::all_of(p.begin() + 8, p.end(), [](int32_t w) { return w == 0; }))
        << "words past the track's last samples are silence";
    EXPECT_EQ(tcpbuffptr, PACKET_HEADER_WORDS);
    EXPECT_TRUE(diag_.contains("start flash outfifo\n"));
}

TEST_F(OutputTest, ZeroFramesWriteNothing) {
    PacketCapture cap;
    ci_configure(CODEC_CONFIG_FREQUENCY, 44100);
    EXPECT_EQ(ci_pcmbuf_insert(nullptr, nullptr, 0), 1);
    EXPECT_EQ(ci_pcmbuf_insert(nullptr, nullptr, -5), 1);
    EXPECT_TRUE(cap.packets().empty());
    EXPECT_EQ(tcpbuffptr, PACKET_HEADER_WORDS);
}

TEST_F(OutputTest, PacketsReachARealPipeWhole) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    sockfd = fds[1];
    ci_configure(CODEC_CONFIG_FREQUENCY, 192000);
    std::vector<int32_t> l(600, 0x112233), r(600, -0x112233);
    ci_pcmbuf_insert(l.data(), r.data(), 600);
    flash_outfifo();
    std::vector<int32_t> got(2 * PACKET_WORDS);
    ASSERT_EQ(read(fds[0], got.data(), 2 * PACKET_BYTES), static_cast<ssize_t>(2 * PACKET_BYTES));
    EXPECT_EQ(got[1], 0);
    EXPECT_EQ(got[4], -0x112233);
    EXPECT_EQ(got[PACKET_WORDS + 4], -0x112233);
    sockfd = -1;
    close(fds[0]);
    close(fds[1]);
}
