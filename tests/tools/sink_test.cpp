// pipd-sink through the real libasound: a private ALSA configuration routes
// the device into ALSA's file plugin (over its null plugin), so the tests read
// back the exact bytes the device was given.

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

#include "core/paths.h"
#include "core/state.h"
#include "host/outudp.h"
#include "support/alsa_file_sink.h"
#include "support/daemon_harness.h"
#include "support/dsd_files.h"
#include "support/pcm_tone.h"
#include "support/run_tool.h"
#include "support/snapcast.h"
#include "support/wav_writer.h"

using namespace pipd;
using namespace pipd::testing;

namespace {

// A stream of packets as the daemon sends them, and the samples in the
// order the device must receive them (channel 0 first).
struct Stream {
    std::string bytes;
    std::vector<int32_t> played;

    void packet(int32_t code, const std::vector<int32_t> &samples, uint32_t magic = OUTPUT_MAGIC) {
        std::vector<int32_t> w(PACKET_WORDS, 0);
        w[0] = static_cast<int32_t>(magic);
        w[1] = code;
        for (int k = 0; k < 512; ++k) {
            w[PACKET_HEADER_WORDS + 2 * k] = samples[2 * k + 1]; // the pipe: channel 1 first
            w[PACKET_HEADER_WORDS + 2 * k + 1] = samples[2 * k];
        }
        bytes.append(reinterpret_cast<const char *>(w.data()), PACKET_BYTES);
    }
    // A packet the sink must play.
    void good(int32_t code, uint32_t seed) {
        std::vector<int32_t> s = test_signal(1024, 24, seed);
        packet(code, s);
        played.insert(played.end(), s.begin(), s.end());
    }
};

int32_t clamp24(int32_t v) {
    return std::clamp(v, -8388608, 8388607);
}

// What the device receives for samples in a format.
std::string device_bytes(const std::vector<int32_t> &samples, const std::string &format) {
    std::string out;
    for (int32_t v : samples) {
        uint32_t s = static_cast<uint32_t>(clamp24(v));
        int width = 4;
        if (format == "S32_LE") s <<= 8;
        if (format == "S24_3LE") width = 3;
        if (format == "S16_LE") s = static_cast<uint32_t>(clamp24(v) >> 8), width = 2;
        for (int b = 0; b < width; ++b) out += static_cast<char>(s >> (8 * b));
    }
    return out;
}

// The samples of packets as they went through the pipe, in device order
// (channel 0 first), as S24_LE bytes.
std::string device_bytes_of_packets(const std::string &packets) {
    std::vector<int32_t> s;
    for (std::size_t at = 0; at + PACKET_BYTES <= packets.size(); at += PACKET_BYTES) {
        const char *p = packets.data() + at + 4 * PACKET_HEADER_WORDS;
        for (int k = 0; k < 512; ++k) {
            int32_t c[2];
            std::memcpy(c, p + 8 * k, 8);
            s.push_back(c[1]);
            s.push_back(c[0]);
        }
    }
    return device_bytes(s, "S24_LE");
}

struct SinkTest : ::testing::Test {
    void SetUp() override {
        if (ROOT_PREFIX_LEN == 0) GTEST_SKIP() << "needs a build with PIPD_ROOT";
        Daemon::make_pipes();
    }
    void TearDown() override {
        if (writer >= 0) close(writer);
        sink.child.kill_now();
    }

    // Opens the daemon's end of the output pipe once the sink reads it.
    bool open_writer() {
        for (int i = 0; i < 500 && writer < 0; ++i) {
            writer = open(OUTPUT_FIFO_PATH, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            if (writer < 0) usleep(10000);
        }
        if (writer >= 0) fcntl(writer, F_SETFL, 0);
        return writer >= 0;
    }
    void send(const std::string &bytes) {
        ASSERT_EQ(write(writer, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    void close_writer() {
        close(writer);
        writer = -1;
    }
    int sink_exit() { return sink.child.wait(); }

    AlsaFileSink sink;
    int writer = -1;
};

} // namespace

TEST_F(SinkTest, EveryFormatGetsExactlyTheDecodedBits) {
    for (std::string format : {"S24_LE", "S32_LE", "S24_3LE", "S16_LE"}) {
        SCOPED_TRACE(format);
        ASSERT_TRUE(sink.start({"--format", format, "--once"}));
        Stream s;
        s.good(0x13, 1);
        // Words beyond 24 bits are clipped, not wrapped.
        std::vector<int32_t> wide = test_signal(1024, 24, 2);
        wide[0] = INT32_MAX, wide[1] = INT32_MIN, wide[2] = 8388608, wide[3] = -8388609;
        s.packet(0x13, wide);
        s.played.insert(s.played.end(), wide.begin(), wide.end());
        s.good(0x13, 3);
        ASSERT_TRUE(open_writer());
        send(s.bytes);
        close_writer();
        EXPECT_EQ(sink_exit(), 0) << sink.err();
        EXPECT_NE(sink.err().find("test: 44100 Hz, " + format), std::string::npos) << sink.err();
        EXPECT_TRUE(sink.device() == device_bytes(s.played, format));
    }
}

TEST_F(SinkTest, DamagedStreamIsFoundAgainAtTheNextHeader) {
    ASSERT_TRUE(sink.start({"--once"}));
    Stream s;
    s.packet(0x13, test_signal(1024, 24, 9), 0); // before any rate report: no magic
    s.good(0x13, 1);
    s.bytes += std::string(1001, '\x11'); // the tail of a packet cut off
    s.good(0x13, 2);
    s.packet(7, test_signal(1024, 24, 9)); // no such rate code
    s.good(3, 4);
    s.bytes += s.bytes.substr(PACKET_BYTES, 3000); // the daemon died mid-packet
    ASSERT_TRUE(open_writer());
    send(s.bytes);
    close_writer();
    EXPECT_EQ(sink_exit(), 0) << sink.err();
    EXPECT_TRUE(sink.device() == device_bytes(s.played, "S24_LE"));
    EXPECT_NE(sink.err().find("3 packets played, 0 underruns, 3 stretches without a packet header "
                              "(9225 bytes skipped)"),
              std::string::npos)
        << sink.err();
}

// Either side can start first and restart: the sink waits for the pipe and
// for the daemon, and the rate follows each packet's code.
TEST_F(SinkTest, WaitsForTheDaemonAndFollowsRateChanges) {
    unlink(OUTPUT_FIFO_PATH);
    ASSERT_TRUE(sink.start({}));
    ASSERT_TRUE(sink.says("waiting for " + std::string(OUTPUT_FIFO_PATH) + " to appear"));
    ASSERT_EQ(mkfifo(OUTPUT_FIFO_PATH, 0600), 0);
    Stream first, second;
    first.good(0x13, 1);
    first.good(0x13, 2);
    first.good(3, 3);
    first.good(3, 4);
    ASSERT_TRUE(open_writer());
    send(first.bytes);
    close_writer();
    ASSERT_TRUE(sink.says("the daemon closed the pipe; waiting for it"));
    second.good(1, 5);
    ASSERT_TRUE(open_writer());
    send(second.bytes);
    close_writer();
    ASSERT_TRUE(sink.says("5 packets played"));
    sink.child.signal(SIGTERM);
    EXPECT_EQ(sink_exit(), 0);
    std::vector<int32_t> all = first.played;
    all.insert(all.end(), second.played.begin(), second.played.end());
    EXPECT_TRUE(sink.device() == device_bytes(all, "S24_LE"));
    std::string e = sink.err();
    auto at_44 = e.find("test: 44100 Hz"), at_48 = e.find("test: 48000 Hz"),
         at_96 = e.find("test: 96000 Hz");
    ASSERT_NE(at_96, std::string::npos) << e;
    EXPECT_LT(at_44, at_48);
    EXPECT_LT(at_48, at_96);
}

TEST_F(SinkTest, RecordsAWavFile) {
    const TempDir &dir = sink.dir();
    ASSERT_TRUE(sink.child.start(AlsaFileSink::program(), {"--record", dir.file("rec.wav")},
                                 dir.file("sink.out"), dir.file("sink.err")));
    Stream s;
    s.good(0x13, 1);
    s.good(0x13, 2);
    s.good(3, 3);
    ASSERT_TRUE(open_writer());
    send(s.bytes);
    close_writer();
    EXPECT_EQ(sink_exit(), 0) << sink.err();
    std::string wav = read_file(dir.file("rec.wav"));
    ASSERT_EQ(wav.size(), 44u + 1536u * 6u);
    uint32_t data_size, rate;
    std::memcpy(&rate, wav.data() + 24, 4);
    std::memcpy(&data_size, wav.data() + 40, 4);
    EXPECT_EQ(rate, 44100u);
    EXPECT_EQ(data_size, 1536u * 6u);
    EXPECT_EQ(wav.substr(44), device_bytes(s.played, "S24_3LE"));
    EXPECT_NE(sink.err().find("rate changed to 48000 Hz after 1024 frames"), std::string::npos);
}

TEST_F(SinkTest, UsageAndDeviceErrors) {
    const std::string SINK = AlsaFileSink::program();
    const TempDir &dir = sink.dir();
    ToolResult help = run_tool(SINK, {"--help"}, dir);
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("usage: pipd-sink [--device NAME"), std::string::npos);
    for (auto args : std::vector<std::vector<std::string>>{{"--format", "S8"},
                                                           {"--device"},
                                                           {"--bogus"},
                                                           {"--record", "x.wav", "--device", "hw"}})
        EXPECT_EQ(run_tool(SINK, args, dir).status, 64) << args[0];
    ToolResult missing = run_tool(SINK, {"--device", "nosuch"}, dir, sink.env());
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("cannot open ALSA device nosuch"), std::string::npos);
}

// The real daemon plays two files, at two rates, into the real sink; the
// device receives exactly what pipd-decode makes of the files.
TEST_F(SinkTest, DaemonToDeviceIsBitExact) {
    std::filesystem::remove_all(SCAN_ROOT);
    std::filesystem::create_directories(Daemon::media("USB"));
    ASSERT_TRUE(write_tone_wav(Daemon::media("USB/a.wav"), 1, 40000, 44100));
    ASSERT_TRUE(write_tone_wav(Daemon::media("USB/b.wav"), 2, 36000, 48000));
    const TempDir &dir = sink.dir();
    std::string expected;
    for (const char *f : {"USB/a.wav", "USB/b.wav"}) {
        ToolResult r = run_pipd_decode({"--packets", Daemon::media(f), dir.file("p.bin")}, dir);
        ASSERT_EQ(r.status, 0) << r.err;
        expected += device_bytes_of_packets(read_file(dir.file("p.bin")));
    }
    ASSERT_TRUE(sink.start({"--once"}));
    Daemon daemon;
    ASSERT_TRUE(daemon.start(Daemon::TEST_READS_STATUS));
    daemon.send(PLAYER_ACTION_POWER_ON);
    std::string got;
    for (int i = 0; i < 1000 && got.size() < expected.size() + 2 * 4096 * 2; ++i) {
        usleep(20000);
        got = sink.device();
    }
    daemon.stop();
    EXPECT_EQ(sink_exit(), 0) << sink.err();
    got = sink.device();
    // Power-on halts the first track before its first sample and restarts
    // it: its flushed packet is silence.
    std::size_t start = 0;
    while (start + 8 <= got.size() && got.compare(start, 8, std::string(8, '\0')) == 0) start += 8;
    EXPECT_TRUE(got.compare(start, expected.size(), expected) == 0)
        << "device got " << got.size() << " bytes, silence up to " << start;
    EXPECT_NE(sink.err().find("test: 48000 Hz"), std::string::npos) << sink.err();
    std::filesystem::remove_all(SCAN_ROOT);
}

// ---- The Snapcast output ----------------------------------------------------

namespace {

// Waits (at most 10 s) until size bytes have come and no more come for a
// quarter of a second.
std::string settled(FifoCapture &fifo, std::size_t size) {
    std::size_t last = 0;
    for (int i = 0; i < 400; ++i, usleep(25000)) {
        const std::size_t now = fifo.size();
        if (now >= size && now == last && i % 10 == 0) break;
        if (i % 10 == 0) last = now;
    }
    return fifo.snapshot().bytes;
}

bool status_says(const std::string &text) {
    for (int i = 0; i < 300; ++i, usleep(10000))
        if (read_file(SINK_STATUS_PATH).find(text) != std::string::npos) return true;
    return false;
}

} // namespace

// One pipd-sink plays to the device and into snapserver's pipe: a 48 kHz
// stream reaches both bit for bit, a pause writes nothing into the pipe, a
// DSD file comes out at 48 kHz at its length and pitch, and the status file
// follows the output's states.
TEST_F(SinkTest, SnapcastOutputBesideTheDevice) {
    const TempDir &dir = sink.dir();
    const std::string fifo = dir.file("snapfifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_TRUE(sink.start({"--snapcast", fifo}));
    ASSERT_TRUE(status_says("output alsa on - test\noutput snapcast idle 48000:24:2 " + fifo));
    FifoCapture snapserver; // snapserver's part
    ASSERT_TRUE(snapserver.open(fifo));
    Stream pcm;
    for (uint32_t seed = 1; seed <= 6; ++seed) pcm.good(3, seed);
    ASSERT_TRUE(open_writer());
    send(pcm.bytes);
    EXPECT_TRUE(status_says("snapcast playing"));
    EXPECT_TRUE(settled(snapserver, 6 * 4096) == device_bytes(pcm.played, "S24_LE"));
    EXPECT_TRUE(sink.device() == device_bytes(pcm.played, "S24_LE"));
    ASSERT_TRUE(status_says("snapcast idle"));
    usleep(500000);
    EXPECT_EQ(snapserver.size(), 6u * 4096) << "written during the pause";

    // A DSD64 file of a 1 kHz tone, through the player's converter.
    const auto channel = sigma_delta(2822400, 1000, 0.5, 2822400 / 8);
    bytes sound;
    for (uint8_t b : channel) sound.insert(sound.end(), {b, b});
    ASSERT_TRUE(write_file(dir.file("tone.dff"),
                           dff_file(dff_cat({dff_standard_prop(), dff_chunk("DSD ", sound)}))));
    ASSERT_EQ(run_pipd_decode({dir.file("tone.dff"), dir.file("tone.pkts")}, dir).status, 0);
    const std::string packets = read_file(dir.file("tone.pkts"));
    send(packets);
    close_writer();
    const double frames = packets.size() / PACKET_BYTES * 512 * 48000.0 / 176400;
    const std::string got = settled(snapserver, 6 * 4096 + static_cast<std::size_t>(frames) * 8);
    const auto *raw = reinterpret_cast<const unsigned char *>(got.data()) + 6 * 4096;
    const auto left = pcm_channel({raw, got.size() - 6 * 4096}, 4, 0);
    EXPECT_NEAR(static_cast<double>(left.size()), frames, 3);
    EXPECT_NEAR(tone_frequency({left.begin() + 2000, left.end() - 2000}, 48000), 1000, 0.05);
    sink.child.signal(SIGTERM);
    EXPECT_EQ(sink_exit(), 0);
    EXPECT_FALSE(std::filesystem::exists(SINK_STATUS_PATH));
}
