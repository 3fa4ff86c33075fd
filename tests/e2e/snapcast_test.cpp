// Every room: the real daemon and pipd-sink feed a private snapserver on
// 127.0.0.1; two snapclients play its stream, each to the test.

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>

#include "core/paths.h"
#include "core/sink_status.h"
#include "core/state.h"
#include "support/daemon_harness.h"
#include "support/snapcast.h"

using namespace pipd;
using namespace pipd::testing;
namespace fs = std::filesystem;
using steady = std::chrono::steady_clock;

namespace {

constexpr int RATE = 48000;
constexpr std::size_t KEY = 16; // frames that locate a place of the source

// A client's output: 24-bit samples in 4-byte words, left and right in
// turn, and when the pieces of it arrived.
struct Output {
    explicit Output(const SnapClient::received &r) : pieces(r.pieces) {
        s.resize(r.bytes.size() / 8 * 2);
        if (!s.empty()) std::memcpy(s.data(), r.bytes.data(), s.size() * 4);
    }
    std::size_t frames() const { return s.size() / 2; }

    // Where the KEY frames at key (left and right in turn) first appear; -1
    // when nowhere.
    long find(const int32_t *key) const {
        auto it = std::search(s.begin(), s.end(), key, key + 2 * KEY);
        const long i = it - s.begin();
        return it == s.end() || i % 2 ? -1 : i / 2;
    }
    bool sounds(std::size_t i) const { return s[2 * i] != 0 || s[2 * i + 1] != 0; }
    std::size_t sounding() const {
        std::size_t n = 0;
        for (std::size_t i = 0; i < frames(); ++i) n += sounds(i);
        return n;
    }

    // The time (s after t0) at which the client wrote frame i, from the
    // pieces within 1 s of it. The client writes in real time, a block at a
    // time that may come in several pieces; a piece arrives after it was
    // written, so the earliest of (arrival - frames before it / RATE) over
    // the pieces that start a block (that came no sooner than the frames
    // of the one before would play) is the time of frame 0. spread: the
    // median lateness against it, the measurement's own uncertainty.
    double time_of(std::size_t i, steady::time_point t0, double *spread = nullptr) const {
        std::vector<double> zero;
        for (std::size_t k = 1; k < pieces.size(); ++k) {
            auto z = [&](std::size_t j) {
                return std::chrono::duration<double>(pieces[j].at - t0).count() -
                       static_cast<double>(pieces[j].offset / 8) / RATE;
            };
            const double frame = static_cast<double>(pieces[k].offset / 8);
            if (std::abs(frame - static_cast<double>(i)) <= RATE && z(k) >= z(k - 1))
                zero.push_back(z(k));
        }
        if (zero.empty()) return NAN;
        std::sort(zero.begin(), zero.end());
        if (spread) *spread = zero[zero.size() / 2] - zero[0];
        return zero[0] + static_cast<double>(i) / RATE;
    }

    std::vector<int32_t> s;
    std::vector<FifoCapture::piece> pieces;
};

// The source found in an output: out frame = source frame + offset over
// the source frames [first, last] where the output sounds.
struct Match {
    long offset = -1;
    std::size_t first = 0, last = 0;
    bool exact = false;
};

Match match(const Output &out, const std::vector<int32_t> &src) {
    Match m;
    const std::size_t frames = src.size() / 2, mid = frames / 2;
    const long at = out.find(src.data() + 2 * mid);
    if (at < 0) return m;
    m.offset = at - static_cast<long>(mid);
    auto sounds = [&](std::size_t j) {
        const long i = static_cast<long>(j) + m.offset;
        return i >= 0 && static_cast<std::size_t>(i) < out.frames() && out.sounds(i);
    };
    for (m.first = mid; m.first > 0 && sounds(m.first - 1);) --m.first;
    for (m.last = mid; m.last + 1 < frames && sounds(m.last + 1);) ++m.last;
    m.exact = std::equal(src.begin() + 2 * m.first, src.begin() + 2 * m.last + 2,
                         out.s.begin() + 2 * (m.first + m.offset));
    return m;
}

// Sines of whole hertz: over one second of the stream they are orthogonal,
// so their projections are the least-squares fit of the output. The SNR of
// one channel of out from frame from on, whatever delay it has.
double sines_snr_db(const Output &out, std::size_t from, int channel,
                    std::initializer_list<int> hz) {
    std::vector<double> rest(RATE);
    for (int n = 0; n < RATE; ++n) rest[n] = out.s[2 * (from + n) + channel];
    double signal = 0;
    for (int f : hz) {
        double c = 0, s = 0;
        for (int n = 0; n < RATE; ++n) {
            c += rest[n] * std::cos(2 * M_PI * f * n / RATE);
            s += rest[n] * std::sin(2 * M_PI * f * n / RATE);
        }
        c *= 2.0 / RATE, s *= 2.0 / RATE;
        signal += (c * c + s * s) / 2 * RATE;
        for (int n = 0; n < RATE; ++n)
            rest[n] -=
                c * std::cos(2 * M_PI * f * n / RATE) + s * std::sin(2 * M_PI * f * n / RATE);
    }
    double noise = 0;
    for (double e : rest) noise += e * e;
    return 10 * std::log10(signal / std::max(noise, 1e-9));
}

// snapserver on its FIFO and two snapclients before each test, the daemon
// and pipd-sink --device none --snapcast FIFO started by play.
struct SnapcastTest : ::testing::Test {
    void SetUp() override {
        if (ROOT_PREFIX_LEN == 0) GTEST_SKIP() << "needs a build with PIPD_ROOT";
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        if (!server.start(dir, fifo)) {
            std::printf("SKIPPED: snapserver cannot start here\n%s\n", server.log().c_str());
            GTEST_SKIP() << "snapserver cannot start";
        }
        for (int c = 0; c < 2; ++c) ASSERT_TRUE(clients[c].start(dir, server.port(), c + 1));
    }
    void TearDown() override {
        for (SnapClient &c : clients) c.stop();
        daemon.stop();
        sink.kill_now();
        if (HasFailure())
            std::cerr << "---- pipd-sink ----\n"
                      << read_file(dir.file("sink.log")) << "---- snapserver ----\n"
                      << server.log() << "---- snapclient 1 ----\n"
                      << clients[0].log();
        if (ROOT_PREFIX_LEN) fs::remove_all(SCAN_ROOT);
    }

    // Plays src (24-bit, left and right in turn) as the medium's one WAV at
    // rate until both clients' outputs are done (at most 20 s); the outputs.
    std::vector<Output> play(const std::vector<int32_t> &src, uint32_t rate,
                             const std::function<bool(const Output &)> &done) {
        fs::remove_all(SCAN_ROOT);
        fs::create_directories(Daemon::media("USB"));
        fmt_fields f;
        f.rate = rate;
        f.bits = 24;
        EXPECT_TRUE(
            WavWriter().fmt(f).data(pack_samples(src, 3)).write(Daemon::media("USB/a.wav")));
        Daemon::make_pipes();
        EXPECT_TRUE(sink.start(PIPD_BINARY_DIR "/pipd-sink",
                               {"--device", "none", "--snapcast", fifo}, dir.file("sink.log"),
                               dir.file("sink.log")));
        EXPECT_TRUE(daemon.start(0));
        // The music starts once snapserver reads the FIFO.
        auto state = [] {
            auto s = running_sink(SINK_STATUS_PATH);
            return s && !s->outputs.empty() ? s->outputs.back().state : "";
        };
        for (int i = 0; i < 500 && state() != "idle"; ++i) usleep(10000);
        if (state() != "idle") {
            ADD_FAILURE() << "pipd-sink does not get snapserver to read the FIFO: " << state();
            return {};
        }
        daemon.send(PLAYER_ACTION_POWER_ON);
        t0 = steady::now();
        while (steady::now() - t0 < std::chrono::seconds(20) &&
               !(done(Output(clients[0].snapshot())) && done(Output(clients[1].snapshot()))))
            usleep(200000);
        for (SnapClient &c : clients) c.stop();
        return {Output(clients[0].snapshot()), Output(clients[1].snapshot())};
    }

    // The clients play client 1's frame at the same time as client 2 (the
    // stream they get is the same).
    void expect_in_step(const std::vector<Output> &out, std::size_t frame) {
        ASSERT_LT(frame + KEY, out[0].frames());
        const long other = out[1].find(out[0].s.data() + 2 * frame);
        ASSERT_GE(other, 0) << "client 2 does not play what client 1 plays";
        double spread[2];
        const double apart_ms =
            (out[1].time_of(other, t0, &spread[1]) - out[0].time_of(frame, t0, &spread[0])) * 1000;
        std::printf("the clients play the same frame %.2f ms apart (measured to %.2f / %.2f ms)\n",
                    apart_ms, spread[0] * 1000, spread[1] * 1000);
        EXPECT_LT(std::abs(apart_ms), 5);
    }

    TempDir dir;
    const std::string fifo = dir.file("snapfifo");
    SnapServer server;
    SnapClient clients[2];
    Child sink;
    Daemon daemon;
    steady::time_point t0;
};

} // namespace

TEST_F(SnapcastTest, TwoRoomsPlayTheStreamsRateBitForBitInStep) {
    // 4 s of half-scale noise.
    const std::vector<int32_t> src = test_signal(2 * 4 * RATE, 23, 22);
    const int32_t *end = src.data() + src.size() - 2 * KEY;
    const auto out = play(src, RATE, [&](const Output &o) { return o.find(end) >= 0; });
    ASSERT_EQ(out.size(), 2u);
    for (int c = 0; c < 2; ++c) {
        SCOPED_TRACE("client " + std::to_string(c + 1));
        const Match m = match(out[c], src);
        ASSERT_GE(m.offset, 0) << "the source is not in the output";
        std::printf("client %d: source frames %zu..%zu of %zu (%s)\n", c + 1, m.first, m.last,
                    src.size() / 2, m.exact ? "bit for bit" : "altered");
        EXPECT_LE(m.first, 4800u) << "at most 100 ms dropped at the start";
        EXPECT_EQ(m.last, src.size() / 2 - 1);
        EXPECT_TRUE(m.exact);
    }
    expect_in_step(out, src.size() / 4 + match(out[0], src).offset);
}

TEST_F(SnapcastTest, TwoRoomsPlayAnotherRateResampledCleanly) {
    // 3 s of three sines (a quarter of full scale each) at 44.1 kHz.
    const std::initializer_list<int> hz = {1000, 3150, 7000};
    std::vector<int32_t> src;
    for (int n = 0; n < 3 * 44100; ++n) {
        double v = 0;
        for (int f : hz) v += std::sin(2 * M_PI * f * n / 44100.0) * (1 << 21);
        src.insert(src.end(), 2, static_cast<int32_t>(std::lround(v)));
    }
    const auto out = play(src, 44100, [](const Output &o) { return o.sounding() > 2.9 * RATE; });
    ASSERT_EQ(out.size(), 2u);
    for (int c = 0; c < 2; ++c) {
        SCOPED_TRACE("client " + std::to_string(c + 1));
        std::size_t first = 0;
        while (first < out[c].frames() && !out[c].sounds(first)) ++first;
        ASSERT_GE(out[c].sounding(), 2.9 * RATE);
        ASSERT_GE(out[c].frames(), first + 2 * RATE);
        for (int ch = 0; ch < 2; ++ch) {
            const double snr = sines_snr_db(out[c], first + RATE, ch, hz);
            std::printf("client %d channel %d: SNR %.1f dB\n", c + 1, ch, snr);
            EXPECT_GE(snr, 60);
        }
    }
}
