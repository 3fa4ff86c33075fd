// Every room: the real daemon and pipd-sink feed a private snapserver on
// 127.0.0.1; two snapclients play its stream, each to the test.

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>

#include "core/paths.h"
#include "core/sink_status.h"
#include "core/state.h"
#include "support/daemon_harness.h"
#include "support/snapcast.h"

using namespace pipd;
using namespace pipd::testing;
using steady = std::chrono::steady_clock;

namespace {

constexpr int RATE = 48000;
constexpr std::size_t KEY = 16; // frames that locate a place of the source

// A client's output: 24-bit samples in 4-byte words, left and right in turn.
struct Output {
    explicit Output(FifoCapture::received r) : got(std::move(r)), s(got.bytes.size() / 8 * 2) {
        if (!s.empty()) std::memcpy(s.data(), got.bytes.data(), s.size() * 4);
    }
    // Where the KEY frames at key first appear; -1 when nowhere.
    long find(const int32_t *key) const {
        auto it = std::search(s.begin(), s.end(), key, key + 2 * KEY);
        const long i = it - s.begin();
        return it == s.end() || i % 2 ? -1 : i / 2;
    }
    // The time (s after t0) at which the client wrote frame i. It writes in
    // real time, a block at a time that may come in several pieces; a piece
    // arrives after it was written, so the earliest of (arrival - frames
    // before it / RATE) over the pieces that start a block (no sooner than
    // the frames of the one before would play) is the time of frame 0.
    // spread: the median lateness against it, the measurement's own error.
    double time_of(std::size_t i, steady::time_point t0, double &spread) const {
        std::vector<double> zero;
        auto z = [&](std::size_t k) {
            return std::chrono::duration<double>(got.pieces[k].at - t0).count() -
                   static_cast<double>(got.pieces[k].offset / 8) / RATE;
        };
        for (std::size_t k = 1; k < got.pieces.size(); ++k)
            if (std::abs(static_cast<double>(got.pieces[k].offset / 8) - i) <= RATE &&
                z(k) >= z(k - 1))
                zero.push_back(z(k));
        if (zero.empty()) return NAN;
        std::sort(zero.begin(), zero.end());
        spread = zero[zero.size() / 2] - zero[0];
        return zero[0] + static_cast<double>(i) / RATE;
    }

    FifoCapture::received got;
    std::vector<int32_t> s;
};

} // namespace

// 4 s of noise at 48 kHz: both rooms get what the daemon sent (after the
// delay of each, SNR >= 60 dB; in fact bit for bit), losing at most 100 ms
// at the start while they get in step, and play each frame at the same time.
TEST(SnapcastTest, TwoRoomsPlayTheStreamAndKeepInStep) {
    if (ROOT_PREFIX_LEN == 0) GTEST_SKIP() << "needs a build with PIPD_ROOT";
    TempDir dir;
    const std::string fifo = dir.file("snapfifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    Snapcast snap;
    if (!snap.start_server(dir, fifo)) {
        std::printf("SKIPPED: snapserver cannot start here\n%s\n",
                    read_file(dir.file("server.log")).c_str());
        GTEST_SKIP() << "snapserver cannot start";
    }
    ASSERT_TRUE(snap.start_client(dir, 0) && snap.start_client(dir, 1));

    const std::vector<int32_t> src = test_signal(2 * 4 * RATE, 23, 22);
    std::filesystem::remove_all(SCAN_ROOT);
    std::filesystem::create_directories(Daemon::media("USB"));
    fmt_fields f;
    f.rate = RATE;
    f.bits = 24;
    ASSERT_TRUE(WavWriter().fmt(f).data(pack_samples(src, 3)).write(Daemon::media("USB/a.wav")));
    Daemon::make_pipes();
    Child sink;
    ASSERT_TRUE(sink.start(PIPD_BINARY_DIR "/pipd-sink", {"--device", "none", "--snapcast", fifo},
                           dir.file("sink.log"), dir.file("sink.log")));
    Daemon daemon;
    ASSERT_TRUE(daemon.start(0));
    daemon.send(PLAYER_ACTION_POWER_ON);
    const auto t0 = steady::now();
    const int32_t *end = src.data() + src.size() - 2 * KEY;
    std::vector<Output> out;
    for (int wait = 0; wait < 100 && out.size() < 2; ++wait, usleep(200000)) {
        out = {Output(snap.output(0)), Output(snap.output(1))};
        if (out[0].find(end) < 0 || out[1].find(end) < 0) out.clear();
    }
    snap.stop();
    ASSERT_EQ(out.size(), 2u) << read_file(dir.file("sink.log"));

    const std::size_t frames = src.size() / 2;
    long at[2];
    for (int c = 0; c < 2; ++c) {
        SCOPED_TRACE("client " + std::to_string(c + 1));
        at[c] = out[c].find(end) - static_cast<long>(frames - KEY); // output frame of source 0
        const std::size_t first = 4800;                             // 100 ms
        ASSERT_GE(at[c] + static_cast<long>(first), 0);
        double signal = 0, noise = 0;
        for (std::size_t i = 2 * first; i < src.size(); ++i) {
            const double d = out[c].s[2 * at[c] + i] - src[i];
            signal += static_cast<double>(src[i]) * src[i];
            noise += d * d;
        }
        std::printf("client %d: %s\n", c + 1,
                    noise == 0
                        ? "bit for bit"
                        : ("SNR " + std::to_string(10 * std::log10(signal / noise))).c_str());
        EXPECT_GE(10 * std::log10(signal / std::max(noise, 1e-9)), 60);
    }
    double spread[2];
    const std::size_t mid = frames / 2;
    const double apart_ms =
        (out[1].time_of(at[1] + mid, t0, spread[1]) - out[0].time_of(at[0] + mid, t0, spread[0])) *
        1000;
    std::printf("the clients play the same frame %.2f ms apart (measured to %.2f / %.2f ms)\n",
                apart_ms, spread[0] * 1000, spread[1] * 1000);
    EXPECT_LT(std::abs(apart_ms), 5);
}
