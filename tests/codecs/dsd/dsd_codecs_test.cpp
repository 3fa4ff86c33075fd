// The DSF and DSDIFF codecs as the player runs them: files written here
// field by field, played through the host layer (and once through
// pipd-decode), every sample compared with the independent converter model.

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "codecs/codecs.h"
#include "codecs/dsd/dsd2pcm.h"
#include "codecs/dsd/dsd_common.h"
#include "codecs/dsd/dsd_output.h"
#include "codecs/dsd/sacd_dsdiff.h"
#include "support/dsd_files.h"
#include "support/flac_files.h"
#include "support/fuzz_replay.h"
#include "support/run_tool.h"
#include "support/sandbox.h"

using namespace pipd;
using namespace pipd::testing;

namespace {

constexpr int32_t CODE_176400 = 16;
constexpr std::size_t GROUP = 8192; // DSF: 4096 bytes per channel
constexpr std::size_t FRAME = 9408; // DSDIFF: 1/75 s of DSD64 stereo
constexpr const char *MEDIA = PIPD_SOURCE_DIR "/../shared/media/";

class DsdCodec : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.ok());
        DiagCapture quiet;
        dsd2pcm_init();
    }
    std::string write(const bytes &content, const std::string &name) {
        return dir_.write(name, content);
    }
    TempDir dir_;
};

// The samples played equal the model's for the streams, and every packet
// went out at 176400 Hz.
void expect_pcm(const host_play_result &r, const std::vector<bytes> &streams) {
    const dsd_stereo want = expected_pcm(streams);
    ASSERT_EQ(r.left.size(), want.left.size());
    EXPECT_EQ(first_difference(r.left, want.left), -1);
    EXPECT_EQ(first_difference(r.right, want.right), -1);
    for (int32_t code : r.codes) ASSERT_EQ(code, CODE_176400);
}

// ---------------------------------------------------------------------------
// DSF

TEST_F(DsdCodec, DsfPlaysTheSamplesTheHeaderTheDataLengthAndTheFileAllow) {
    constexpr std::size_t B = GROUP / 2; // bytes of one channel per group
    const struct {
        const char *name;
        uint32_t bits;
        std::size_t stored; // bytes of sample data in the file
        int64_t length;     // data length the header states
        std::size_t after;  // bytes of metadata after the data
        int64_t count;      // sample count the header states; -1: the data length's
        std::size_t played; // bytes per channel
        int32_t ms;         // length reported
    } cases[] = {
        {"lsb first", 1, 20 * GROUP, 20 * GROUP, 0, -1, 20 * B, 232},
        {"msb first", 8, 20 * GROUP, 20 * GROUP, 0, -1, 20 * B, 232},
        {"count short of the last block", 1, 20 * GROUP, 20 * GROUP, 0, 19 * 32768 + 16008,
         19 * B + 2000, 226},
        {"partial last group, stored whole", 1, 20 * GROUP, 19 * GROUP + 4096, 0, -1, 19 * B + 2048,
         226},
        {"partial last group at the end of the file", 1, 19 * GROUP + 4096, 19 * GROUP + 4096, 0,
         -1, 19 * B, 226},
        {"metadata after the data", 1, 17 * GROUP, 17 * GROUP, 30001, -1, 17 * B, 197},
        {"truncated", 8, 18 * GROUP + 100, 40 * GROUP, 0, -1, 18 * B, 209},
        {"data length below one group", 1, 17 * GROUP, 100, 0, -1, 50, 0},
        {"data chunk size below its header", 1, 17 * GROUP, 0xFFFFFFF9, 0, -1, 17 * B, 197},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        dsf_fields s;
        s.bits = c.bits;
        s.data = dsd_noise(c.stored, 11);
        s.data_length = c.length;
        s.after = dsd_noise(c.after, 12);
        s.sample_count = c.count;
        const host_play_result r = host_play(write(dsf_file(s), "t.dsf"));
        EXPECT_TRUE(r.ran);
        EXPECT_EQ(r.result, 0) << r.messages;
        expect_pcm(r, dsf_streams(s.data, c.played / B + 1, c.bits == 1, c.played));
        EXPECT_EQ(r.stat.length, c.ms);
        EXPECT_EQ(r.stat.elapsed, c.played * 8 * 1000 / 2822400);
        EXPECT_EQ(r.stat.frequency, 2822400);
        EXPECT_EQ(r.stat.bps, 1);
        EXPECT_EQ(r.stat.channel, 2);
        EXPECT_TRUE(has(r.messages, "dsd decoded " + std::to_string(c.played * 8) + "\n"))
            << r.messages;
    }
}

TEST_F(DsdCodec, DsfPrintsItsHeader) {
    dsf_fields s;
    s.data = dsd_noise(16 * GROUP, 3);
    const host_play_result r = host_play(write(dsf_file(s), "t.dsf"));
    EXPECT_TRUE(has(r.messages, "dsd head len=28\n"
                                "dsd version=1\n"
                                "dsd channel num=2\n"
                                "dsd sample frequency=2822400\n"
                                "dsd bitper sample=1\n"
                                "dsd sample count=524288\n"
                                "dsd blocksize=4096\n"
                                "dsd size of chunk=131072\n"
                                "freq = 176400\n"
                                "len=185\n"))
        << r.messages;
}

TEST_F(DsdCodec, DsfRefusals) {
    const struct {
        const char *name;
        dsf_fields fields;
        const char *message;
        int32_t length, frequency, channels; // reported before the refusal
    } cases[] = {
        {"DSD64 of the 48 kHz family",
         {.rate = 3072000},
         "a DSD rate of 3072000 Hz cannot",
         170,
         3072000,
         2},
        {"7 channels", {.channels = 7}, "CODEC_ERROR: 7 DSD channels cannot", 53, 2822400, 7},
        {"3999 Hz", {.rate = 3999}, "CODEC_ERROR: a DSD rate of 3999 Hz", 131104, 3999, 2},
        {"rate 0", {.rate = 0}, "CODEC_ERROR: a DSD rate of 0 Hz", 0, 0, 2},
        {"4 bits per sample",
         {.bits = 4},
         "CODEC_ERROR: bits per sample 4 is neither 1 nor 8\n",
         185,
         2822400,
         2},
        {"no DSD chunk", {.dsd_id = "DSF "}, "CODEC_ERROR: missing DSD header\n", 500, 44100, 2},
        {"no fmt chunk", {.fmt_id = "FMT "}, "CODEC_ERROR: missing DSD header\n", 500, 44100, 2},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        dsf_fields s = c.fields;
        s.data = dsd_noise(16 * GROUP, 4);
        const host_play_result r = host_play(write(dsf_file(s), "t.dsf"));
        EXPECT_TRUE(r.ran);
        EXPECT_EQ(r.result, -1);
        EXPECT_TRUE(has(r.messages, c.message)) << r.messages;
        EXPECT_TRUE(r.left.empty());
        EXPECT_EQ(r.stat.length, c.length);
        EXPECT_EQ(r.stat.frequency, c.frequency);
        EXPECT_EQ(r.stat.channel, c.channels);
    }
    // A file shorter than the header, played through the host directly.
    bytes short_file = dsf_file({});
    short_file.resize(91);
    const host_play_result r = host_play(write(short_file, "short.dsf"), {}, dsf_codec_run);
    EXPECT_EQ(r.result, -1);
    EXPECT_TRUE(has(r.messages, "request_buffer error\n")) << r.messages;
    EXPECT_FALSE(has(r.messages, "dsd head len"));
}

// ---------------------------------------------------------------------------
// DSDIFF

TEST_F(DsdCodec, DffPlaysWholeFramesOfTheSoundChunk) {
    const bytes sound = dsd_noise(101 * FRAME, 21);
    auto dsd = [&](std::size_t n, int64_t declared = -1) {
        return dff_chunk("DSD ", bytes(sound.begin(), sound.begin() + n), declared);
    };
    const bytes fver = dff_chunk("FVER", dff_be(0x01050000, 4));
    bytes huge = dff_file(dff_cat({dff_standard_prop(), dsd(14 * FRAME)}));
    std::fill(huge.end() - 14 * FRAME - 8, huge.end() - 14 * FRAME, 0xFF); // its size field
    const struct {
        const char *name;
        bytes file;
        std::size_t played; // bytes of sound played
        int32_t length;     // ms
    } cases[] = {
        {"75 frames and a part",
         dff_file(dff_cat({fver, dff_standard_prop(), dsd(75 * FRAME + 5000)})), 75 * FRAME, 1000},
        {"100 frames", dff_file(dff_cat({fver, dff_standard_prop(), dsd(100 * FRAME)})),
         100 * FRAME, 1330},
        {"odd chunks everywhere, garbage after the sound",
         dff_file(
             dff_cat({dff_chunk("COMT", dsd_noise(13, 1)), fver,
                      dff_prop(dff_cat({dff_chunk("ABSS", dsd_noise(7, 2)), dff_fs(2822400),
                                        dff_chunk("LSCO", dsd_noise(1, 3)), dff_chnl(2),
                                        dff_cmpr("DSD "), dff_chunk("FS  ", dff_be(44100, 5))})),
                      dff_chunk("DIIN", dsd_noise(33, 4)), dsd(20 * FRAME),
                      dff_chunk("ID3 ", {}, 1u << 30), dsd_noise(999, 5)})),
         20 * FRAME, 260},
        {"empty chunks, no compression chunk",
         dff_file(dff_cat({dff_chunk("NONE", {}),
                           dff_prop(dff_cat({dff_chunk("EMTY", {}), dff_fs(2822400), dff_chnl(2)})),
                           dsd(15 * FRAME)})),
         15 * FRAME, 200},
        {"sound chunk cut short by the end of the file",
         dff_file(dff_cat({dff_standard_prop(), dsd(14 * FRAME + 1001, 40 * FRAME)})), 14 * FRAME,
         180},
        {"sound chunk of 2^64 - 1 bytes", huge, 14 * FRAME, 180},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const host_play_result r = host_play(write(c.file, "t.dff"));
        EXPECT_TRUE(r.ran);
        EXPECT_EQ(r.result, 0) << r.messages;
        expect_pcm(r, dff_streams(sound, c.played));
        EXPECT_EQ(r.stat.length, c.length);
        EXPECT_EQ(r.stat.elapsed, c.played / 4 * 16 * 1000 / 2822400);
        EXPECT_EQ(r.stat.frequency, 2822400);
        EXPECT_TRUE(has(r.messages,
                        "dff reader over\ndsd decoded " + std::to_string(c.played / 4 * 16) + "\n"))
            << r.messages;
    }
}

TEST_F(DsdCodec, DffPrintsWhatItFound) {
    const bytes file =
        dff_file(dff_cat({dff_chunk("FVER", dff_be(0x01050000, 4)), dff_standard_prop(),
                          dff_chunk("DSD ", dsd_noise(75 * FRAME + 1, 1))}));
    const host_play_result r = host_play(write(file, "t.dff"));
    const std::string frm8 = std::to_string(file.size() - 12);
    EXPECT_TRUE(has(r.messages, "start dff codec\n"
                                "sizeof uint64 8\n"
                                "m_frm8_size=" +
                                    frm8 +
                                    " 12\n"
                                    "dff 0 pos=16\n"
                                    "dff 1 pos=32\n"
                                    "dff 2 pos=118\n"
                                    "dff open over\n"
                                    "freq = 176400\n"
                                    "len=1000\n"
                                    "dff sec=1\n"
                                    "2822400 2 705600 705601\n"
                                    "75 75 9408 2822400\n"))
        << r.messages;
}

// Files that are refused, played through the host directly (no minimum size).
TEST_F(DsdCodec, DffRefusals) {
    const bytes frames = dsd_noise(2 * FRAME, 31);
    const bytes sound = dff_chunk("DSD ", frames);
    const bytes prop = dff_standard_prop();
    auto tiny = [](std::size_t n) {
        bytes b;
        for (std::size_t i = 0; i < n; ++i) {
            const bytes c = dff_chunk("TINY", {});
            b.insert(b.end(), c.begin(), c.end());
        }
        return b;
    };
    const char *open_error = "dff open error!\n";
    bytes cut = dff_file(dff_cat({prop, sound}));
    cut.resize(60);
    const struct {
        const char *name;
        bytes file;
        const char *message;
    } cases[] = {
        {"DSD128 of the 48 kHz family", dff_file(dff_cat({dff_standard_prop(6144000), sound})),
         "CODEC_ERROR: a DSD rate of 6144000 Hz cannot"},
        {"7 channels", dff_file(dff_cat({dff_standard_prop(2822400, 7), sound})),
         "CODEC_ERROR: 7 DSD channels cannot"},
        {"unknown compression", dff_file(dff_cat({dff_standard_prop(2822400, 2, "ABCD"), sound})),
         "dff compression is neither DSD nor DST\n"},
        {"not FRM8", dff_chunk("FORM", dff_cat({dff_be(0x44534420, 4), prop, sound})), open_error},
        {"form not DSD", dff_file(dff_cat({prop, sound}), -1, "AIFF"), open_error},
        {"property type not SND", dff_file(dff_cat({dff_prop(dff_fs(2822400), "SNX "), sound})),
         open_error},
        {"PROP of size 0", dff_file(dff_cat({dff_chunk("PROP", {}), prop, sound})), open_error},
        {"no sound chunk", dff_file(dff_cat({prop, dff_chunk("COMT", frames)})), open_error},
        {"no sample rate", dff_file(dff_cat({dff_prop(dff_chnl(2)), sound})),
         "dff frame size 0 is unusable (channels 2, rate 0)\n"},
        {"no channel count", dff_file(dff_cat({dff_prop(dff_fs(2822400)), sound})),
         "dff frame size 0 is unusable (channels 0, rate 2822400)\n"},
        {"DST without FRTE",
         dff_file(dff_cat({dff_standard_prop(2822400, 2, "DST "), dff_chunk("DST ", frames)})),
         open_error},
        {"DST frame rate 0",
         dff_file(dff_cat({dff_standard_prop(2822400, 2, "DST "), dff_dst(2, 0)})),
         "dff: DST frame rate 0 is not 75\n"},
        {"chunk past the end of FRM8",
         dff_file(dff_cat({prop, dff_chunk("COMT", {}, 1000000), sound})), open_error},
        {"chunk past the end of the file",
         dff_file(dff_cat({prop, dff_chunk("COMT", {}, 1000000), sound}), int64_t{1} << 40),
         open_error},
        {"chunk size near 2^64",
         dff_file(dff_cat({prop, dff_chunk("COMT", {}, -12), sound}), int64_t{1} << 40),
         open_error},
        {"property chunk past the end of PROP",
         dff_file(dff_cat(
             {dff_prop(dff_cat({dff_fs(2822400), dff_chunk("CHNL", dff_be(2, 2), 400)})), sound})),
         open_error},
        {"FRM8 ending before the sound",
         dff_file(dff_cat({prop, sound}), static_cast<int64_t>(4 + prop.size())), open_error},
        {"cut inside the property chunks", cut, open_error},
        {"200000 tiny chunks, no sound", dff_file(dff_cat({prop, tiny(200000)})), open_error},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const host_play_result r = host_play(write(c.file, "t.dff"), {}, dff_codec_run);
        EXPECT_EQ(r.result, -1);
        EXPECT_TRUE(has(r.messages, c.message)) << r.messages.substr(0, 2000);
        EXPECT_TRUE(r.left.empty());
        EXPECT_FALSE(has(r.messages, "freq = ")) << "nothing configured";
    }
}

TEST_F(DsdCodec, DffWalksAMillionTinyPropertyChunks) {
    bytes chunks = dff_cat({dff_fs(2822400), dff_chnl(2)});
    const bytes tiny = dff_chunk("TINY", {});
    for (int i = 0; i < 1000000; ++i) chunks.insert(chunks.end(), tiny.begin(), tiny.end());
    const bytes sound = dsd_noise(3 * FRAME, 41);
    const host_play_result r =
        host_play(write(dff_file(dff_cat({dff_prop(chunks), dff_chunk("DSD ", sound)})), "t.dff"));
    EXPECT_EQ(r.result, 0);
    expect_pcm(r, dff_streams(sound, sound.size()));
}

// ---------------------------------------------------------------------------
// Both codecs

TEST_F(DsdCodec, CommandsWhilePlaying) {
    dsf_fields s;
    s.data = dsd_noise(17 * GROUP, 51);
    const bytes dff_sound = dsd_noise(15 * FRAME, 52);
    const std::string files[] = {
        write(dsf_file(s), "t.dsf"),
        write(dff_file(dff_cat({dff_standard_prop(), dff_chunk("DSD ", dff_sound)})), "t.dff")};
    for (const std::string &path : files) {
        SCOPED_TRACE(path);
        const host_play_result plain = host_play(path);
        ASSERT_EQ(plain.result, 0);
        // A seek at the start leaves out what lies before its target.
        const host_play_result seek = host_play(path, {.seek_ms = 40});
        EXPECT_LT(seek.left.size(), plain.left.size());
        EXPECT_EQ(seek.stat.elapsed, plain.stat.elapsed);
        // Paused: a poll a second until the next command halts it.
        const host_play_result paused =
            host_play(path, {.action = PLAYER_ACTION_PAUSE, .halt_after_sleeps = 3});
        EXPECT_EQ(paused.result, 0);
        EXPECT_EQ(paused.sleeps, 3);
        EXPECT_TRUE(paused.left.empty());
        EXPECT_TRUE(has(paused.messages, "dsd decoded 0\n"));
        // Halted at once.
        const host_play_result halted = host_play(path, {.action = PLAYER_ACTION_NEXT});
        EXPECT_EQ(halted.result, 0);
        EXPECT_TRUE(halted.left.empty());
        EXPECT_EQ(halted.stat.frequency, 2822400);
    }
}

// What the output stage makes of planar channel streams (each of the same
// length), halved as the host does.
dsd_stereo stage_pcm(uint32_t rate, const std::vector<bytes> &streams) {
    bytes planar;
    for (const bytes &s : streams) planar.insert(planar.end(), s.begin(), s.end());
    dsd_stereo out;
    Sandbox sb;
    ci = &cim;
    sb.on_insert = [&](const int32_t *l, const int32_t *r, int n) {
        out.left.insert(out.left.end(), l, l + n);
        out.right.insert(out.right.end(), r, r + n);
    };
    EXPECT_TRUE(dsd_begin(rate, static_cast<int>(streams.size())));
    const auto length = static_cast<uint32_t>(streams[0].size());
    dsd_convert(planar.data(), length, 1, length, false);
    return {halved(out.left), halved(out.right)};
}

TEST_F(DsdCodec, BothCodecsPlayEveryRateAndOneToSixChannels) {
    const struct {
        uint32_t rate;
        int channels;
    } cases[] = {{2822400, 1},  {2822400, 6},  {5644800, 2}, {5644800, 4},
                 {11289600, 5}, {22579200, 3}, {22579200, 2}};
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.rate) + " Hz, channels " + std::to_string(c.channels));
        std::vector<bytes> ch;
        for (int k = 0; k < c.channels; ++k) ch.push_back(dsd_noise(20 * 4096, 70 + k));
        // DSF: odd channel counts stored least significant bit first.
        const bool lsb = c.channels % 2;
        dsf_fields s{
            .channels = static_cast<uint32_t>(c.channels), .rate = c.rate, .bits = lsb ? 1u : 8u};
        std::vector<bytes> dsf_ch = ch;
        for (bytes &b : dsf_ch)
            if (lsb) std::transform(b.begin(), b.end(), b.begin(), bit_reversed);
        for (std::size_t g = 0; g < 20; ++g)
            for (const bytes &b : ch)
                s.data.insert(s.data.end(), b.begin() + g * 4096, b.begin() + (g + 1) * 4096);
        // DSDIFF: the whole frames (1/75 s) of the streams, byte-interleaved.
        const std::size_t frame = c.rate / 600, dff_length = ch[0].size() / frame * frame;
        bytes sound;
        for (std::size_t j = 0; j < dff_length; ++j)
            for (const bytes &b : ch) sound.push_back(b[j]);
        std::vector<bytes> dff_ch;
        for (const bytes &b : ch) dff_ch.emplace_back(b.begin(), b.begin() + dff_length);
        const struct {
            bytes file;
            int (*run)();
            std::vector<bytes> streams;
        } formats[] = {
            {dsf_file(s), dsf_codec_run, dsf_ch},
            {dff_file(dff_cat({dff_standard_prop(c.rate, c.channels), dff_chunk("DSD ", sound)})),
             dff_codec_run, dff_ch}};
        for (const auto &f : formats) {
            const dsd_stereo want = stage_pcm(c.rate, f.streams);
            const host_play_result r = host_play(write(f.file, "t"), {}, f.run);
            EXPECT_EQ(r.result, 0) << r.messages;
            EXPECT_EQ(first_difference(r.left, want.left), -1);
            EXPECT_EQ(first_difference(r.right, want.right), -1);
            const uint64_t bytes = f.streams[0].size(); // 64-bit: no wrap on 32-bit targets
            EXPECT_EQ(r.left.size(), bytes * 8 * 176400 / c.rate);
            EXPECT_EQ(r.stat.elapsed, bytes * 8000 / c.rate);
            EXPECT_NEAR(r.stat.length, r.stat.elapsed, 10);
            EXPECT_EQ(r.stat.frequency, 2822400);
            EXPECT_EQ(r.stat.channel, c.channels);
        }
    }
}

TEST(DsdElapsed, CountsPastTwoToTheThirtyTwoSamples) {
    EXPECT_EQ(dsd::dsd_elapsed_ms(32768), 11u);
    EXPECT_EQ(dsd::dsd_elapsed_ms(uint64_t{1} << 32), 1521742u); // 25 min 21.7 s
    EXPECT_EQ(dsd::dsd_elapsed_ms(uint64_t{2822400} * 3600 * 3), 3u * 3600 * 1000);
}

TEST_F(DsdCodec, PipdDecodeWritesTheConvertedStream) {
    dsf_fields s;
    s.data = dsd_noise(16 * GROUP, 61);
    const bytes sound = dsd_noise(14 * FRAME, 62);
    const struct {
        std::string path;
        std::vector<bytes> streams;
    } cases[] = {
        {write(dsf_file(s), "t.dsf"), dsf_streams(s.data, 16, true)},
        {write(dff_file(dff_cat({dff_standard_prop(), dff_chunk("DSD ", sound)})), "t.dff"),
         dff_streams(sound, sound.size())},
    };
    TempDir scratch;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.path);
        const decode_result r = run_decode(c.path, scratch);
        EXPECT_EQ(r.status, 0) << r.messages;
        int rate = 0;
        const std::vector<int32_t> samples = read_wav24(scratch.file("out.wav"), &rate);
        EXPECT_EQ(rate, 176400);
        const dsd_stereo want = expected_pcm(c.streams);
        std::vector<int32_t> interleaved;
        for (std::size_t i = 0; i < want.left.size(); ++i) {
            interleaved.push_back(want.left[i]);
            interleaved.push_back(want.right[i]);
        }
        EXPECT_EQ(first_difference(samples, interleaved), -1);
    }
}

// DST sound data: the "DSTF" chunks are the frames, whatever FRTE counts;
// other chunks are stepped over; a frame of a size no frame can have plays as
// silence; a frame cut by the end of the file ends the track.
TEST_F(DsdCodec, DstFramesAreTheDstfChunks) {
    const bytes a = dsd_noise(FRAME, 41), b = dsd_noise(FRAME, 42);
    auto plain = [](const bytes &dsd) { return dff_cat({bytes{0}, dsd}); };
    const bytes frames = dff_cat({dff_chunk("DSTF", plain(a)), dff_chunk("DSTC", dff_be(7, 4)),
                                  dff_chunk("JUNK", bytes(3, 1)), dff_chunk("DSTF", {}),
                                  dff_chunk("DSTF", bytes(FRAME + 2)), dff_chunk("DSTF", {0x80}),
                                  dff_chunk("DSTF", plain(b))});
    const bytes silence(FRAME, 0x69);
    bytes file = dff_file(dff_cat({dff_standard_prop(2822400, 2, "DST "), dff_dst(3, 75, frames)}));
    bytes cut = file;
    cut.resize(cut.size() - 9);
    const struct {
        const char *name;
        bytes file;
        bytes dsd;
        const char *message;
    } cases[] = {
        {"whole", file, dff_cat({a, silence, silence, silence, b}),
         "dff: 3 damaged DST frames played as silence\n"},
        {"cut", cut, dff_cat({a, silence, silence, silence}), "runs past the sound data\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const host_play_result r = host_play(write(c.file, "dst.dff"), {}, dff_codec_run);
        EXPECT_EQ(r.result, 0);
        expect_pcm(r, dff_streams(c.dsd, c.dsd.size()));
        EXPECT_TRUE(has(r.messages, "dff: DST frame 1: frame size out of range; silence in its "
                                    "place\n"));
        EXPECT_TRUE(has(r.messages, c.message)) << r.messages;
        EXPECT_EQ(r.stat.length, 40); // three frames of 1/75 s
    }
}

TEST_F(DsdCodec, PipdDecodeDsdWritesTheBytesPutIn) {
    const bytes a = dsd_noise(17 * 4096, 81), b = dsd_noise(17 * 4096, 82);
    bytes planar, msb, lsb; // DSF's groups; the bytes interleaved, as they are and reversed
    for (std::size_t g = 0; g < 17; ++g)
        for (const bytes *ch : {&a, &b})
            planar.insert(planar.end(), ch->begin() + g * 4096, ch->begin() + (g + 1) * 4096);
    for (std::size_t j = 0; j < a.size(); ++j) {
        msb.insert(msb.end(), {a[j], b[j]});
        lsb.insert(lsb.end(), {bit_reversed(a[j]), bit_reversed(b[j])});
    }
    const bytes sound(msb.begin(), msb.begin() + 15 * FRAME);
    const struct {
        std::string path;
        const bytes &want;
    } cases[] = {
        {write(dsf_file({.bits = 1, .data = planar}), "lsb.dsf"), lsb},
        {write(dsf_file({.bits = 8, .data = planar}), "msb.dsf"), msb},
        {write(dff_file(dff_cat({dff_standard_prop(), dff_chunk("DSD ", sound)})), "t.dff"), sound},
    };
    TempDir scratch;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.path);
        const ToolResult r = run_pipd_decode({"--dsd", c.path, scratch.file("out.dsd")}, scratch);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(read_bytes(scratch.file("out.dsd")) == c.want);
    }
    const ToolResult r =
        run_pipd_decode({"--dsd", write(msb, "t.wav"), scratch.file("x")}, scratch);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(has(r.err, "t.wav is not a DSF, DSDIFF or disc image file")) << r.err;
}

// Inputs kept from the fuzz targets end with the codec's own last word.
TEST_F(DsdCodec, KeptFuzzInputsPlayWithoutFault) {
    const struct {
        const char *target;
        std::vector<std::string> last_words;
    } targets[] = {
        {"dsf", {"dsd decoded ", "CODEC_ERROR: ", "request_buffer error\n"}},
        {"dff",
         {"dsd decoded ", "dff open error!\n",
          "CODEC_ERROR: ", "dff compression is neither DSD nor DST\n"}},
    };
    for (const auto &t : targets)
        replay_fuzz_inputs(t.target, t.target, [&](const host_play_result &r) {
            EXPECT_TRUE(r.ran);
            bool ended = false;
            for (const auto &w : t.last_words) ended = ended || has(r.messages, w);
            EXPECT_TRUE(ended) << r.messages.substr(0, 2000);
        });
}

// ---------------------------------------------------------------------------
// Files written by other encoders.

TEST_F(DsdCodec, SampleMedia) {
    const std::string m = MEDIA;
    if (!std::ifstream(m + "README.md")) GTEST_SKIP() << "no sample media";
    {
        SCOPED_TRACE("dsd64-music.dff");
        const bytes f = read_bytes(m + "dsd64-music.dff");
        const host_play_result r = host_play(m + "dsd64-music.dff");
        EXPECT_EQ(r.result, 0);
        // 75200 bytes of sound at offset 130: 7 whole frames.
        const bytes sound(f.begin() + 130, f.begin() + 130 + 75200);
        expect_pcm(r, dff_streams(sound, 7 * FRAME));
        EXPECT_EQ(r.stat.length, 90);
    }
    {
        SCOPED_TRACE("empty10ms.dsf");
        const bytes f = read_bytes(m + "empty10ms.dsf");
        const host_play_result r = host_play(m + "empty10ms.dsf", {}, dsf_codec_run);
        EXPECT_EQ(r.result, 0);
        // 28224 samples: 3528 bytes of each channel's block of 4096.
        expect_pcm(r, dsf_streams(bytes(f.begin() + 92, f.end()), 1, true, 3528));
    }
    {
        SCOPED_TRACE("empty10ms.dff");
        const host_play_result r = host_play(m + "empty10ms.dff", {}, dff_codec_run);
        EXPECT_EQ(r.result, 0);
        EXPECT_TRUE(r.left.empty()); // 10 ms is less than one frame
        EXPECT_TRUE(has(r.messages, "dff reader over\n")) << r.messages;
    }
    for (const char *name : {"dsd128-music.dsf", "dsd128-silence.dsf"}) {
        SCOPED_TRACE(name);
        const host_play_result r = host_play(m + name, {}, dsf_codec_run);
        EXPECT_EQ(r.result, 0);
        EXPECT_EQ(r.stat.frequency, 2822400);
        ASSERT_GT(r.left.size(), 1000u);
        const auto [lo, hi] = std::minmax_element(r.left.begin() + 100, r.left.end());
        if (has(name, "silence")) // every bit 0: the steady negative full scale, halved
            EXPECT_TRUE(*lo == *hi && std::abs(*lo + 4890128) < 5000) << *lo << " " << *hi;
        else
            EXPECT_GT(*hi - *lo, 8388608 / 1000);
    }
    {
        SCOPED_TRACE("dst-compressed.dff");
        // FRTE counts no frame and there is none: nothing to play.
        const host_play_result r = host_play(m + "dst-compressed.dff", {}, dff_codec_run);
        EXPECT_EQ(r.result, 0);
        EXPECT_TRUE(r.left.empty());
        EXPECT_TRUE(has(r.messages, "dff reader over\n")) << r.messages;
    }
}

} // namespace
