// The WAV codec end to end: files written here, played by pipd-decode (the
// track runner, the codec and the output packets of this build), and the
// packets compared with packets computed here from the source samples.

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include <unistd.h>

#include "support/run_tool.h"
#include "support/sandbox.h"
#include "support/wav_writer.h"

using namespace pipd::testing;

namespace {

constexpr int32_t CODE_44100 = 0x13;
constexpr int32_t CODE_48000 = 3;
constexpr int32_t CODE_96000 = 1;
constexpr int32_t CODE_192000 = 0;

int32_t code_for(uint32_t rate) {
    switch (rate) {
    case 44100:
        return CODE_44100;
    case 48000:
        return CODE_48000;
    case 96000:
        return CODE_96000;
    default:
        return CODE_192000;
    }
}

// A sample of the given depth at the 24-bit scale of the output.
int32_t at_24_bits(int32_t s, unsigned bits) {
    if (bits <= 24) return static_cast<int32_t>(int64_t{s} << (24 - bits));
    return static_cast<int32_t>(std::floor(static_cast<double>(s) / (1 << (bits - 24))));
}

std::vector<int32_t> at_24_bits(const std::vector<int32_t> &s, unsigned bits) {
    std::vector<int32_t> out;
    out.reserve(s.size());
    for (int32_t v : s) out.push_back(at_24_bits(v, bits));
    return out;
}

// The packets the output pipe receives for the frames from first_frame on:
// magic and rate code, each frame as channel 1 then channel 0 (a mono value
// on both), 512 frames a packet, then the flushed packet whose unused words
// are silence.
std::string expected_packets(const std::vector<int32_t> &values, unsigned channels, int32_t code,
                             std::size_t first_frame = 0,
                             std::size_t frames = static_cast<std::size_t>(-1)) {
    std::vector<int32_t> packet(pipd::PACKET_WORDS, 0);
    packet[0] = static_cast<int32_t>(pipd::OUTPUT_MAGIC);
    packet[1] = code;
    std::string out;
    auto emit = [&] {
        out.append(reinterpret_cast<const char *>(packet.data()), pipd::PACKET_BYTES);
    };
    std::size_t end = values.size() / channels;
    if (frames != static_cast<std::size_t>(-1)) end = std::min(end, first_frame + frames);
    int fill = pipd::PACKET_HEADER_WORDS;
    for (std::size_t f = first_frame; f < end; ++f) {
        const int32_t ch0 = values[f * channels];
        const int32_t ch1 = channels == 2 ? values[f * channels + 1] : ch0;
        packet[fill++] = ch1;
        packet[fill++] = ch0;
        if (fill == pipd::PACKET_WORDS) {
            emit();
            fill = pipd::PACKET_HEADER_WORDS;
        }
    }
    std::fill(packet.begin() + fill, packet.end(), 0);
    emit();
    return out;
}

::testing::AssertionResult same_packets(const std::string &actual, const std::string &expected) {
    if (actual.size() != expected.size())
        return ::testing::AssertionFailure()
               << "output has " << actual.size() << " bytes (" << actual.size() / 4112.0
               << " packets), expected " << expected.size() << " (" << expected.size() / 4112.0
               << ")";
    for (std::size_t i = 0; i < actual.size(); i += 4) {
        if (std::memcmp(&actual[i], &expected[i], 4) != 0) {
            int32_t a, e;
            std::memcpy(&a, &actual[i], 4);
            std::memcpy(&e, &expected[i], 4);
            return ::testing::AssertionFailure()
                   << "packet " << i / pipd::PACKET_BYTES << " word "
                   << (i % pipd::PACKET_BYTES) / 4 << ": " << a << ", expected " << e;
        }
    }
    return ::testing::AssertionSuccess();
}

struct layout {
    unsigned bits;
    uint16_t channels;
    uint32_t rate;
};

// Frames for a file comfortably above the 131072-byte first read.
std::size_t frames_for(const layout &l) {
    return 140000 / (l.channels * l.bits / 8) + 301;
}

class WavPlayback : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(dir_.ok()); }

    std::string write(const std::string &name, const WavWriter &w) {
        const std::string path = dir_.file(name);
        EXPECT_TRUE(w.write(path));
        return path;
    }
    std::string write_bytes(const std::string &name, const bytes &content) {
        const std::string path = dir_.file(name);
        EXPECT_TRUE(WavWriter::write_file(path, content));
        return path;
    }

    // Plays input; the packets are in out_.
    ToolResult play(const std::string &input, std::vector<std::string> options = {}) {
        out_path_ = dir_.file("out.bin");
        options.push_back(input);
        options.push_back(out_path_);
        ToolResult r = run_pipd_decode(options, dir_);
        out_ = read_file(out_path_);
        return r;
    }

    // A PCM file of the layout with the test signal; the signal in values_.
    std::string pcm_file(const std::string &name, const layout &l, std::size_t frames,
                         uint32_t seed) {
        const auto signal = test_signal(frames * l.channels, l.bits, seed);
        values_ = at_24_bits(signal, l.bits);
        WavWriter w;
        w.fmt({1, l.channels, l.rate, 0, static_cast<uint16_t>(l.bits)})
            .data(pack_samples(signal, l.bits / 8));
        return write(name, w);
    }

    TempDir dir_;
    std::string out_path_;
    std::string out_;
    std::vector<int32_t> values_;
};

} // namespace

TEST_F(WavPlayback, EveryDepthChannelCountAndRateIsBitExact) {
    const layout layouts[] = {
        {8, 1, 44100},  {8, 2, 48000},   {16, 2, 44100},  {16, 1, 96000},
        {24, 2, 96000}, {24, 1, 192000}, {32, 2, 192000}, {32, 1, 48000},
    };
    uint32_t seed = 1;
    for (const layout &l : layouts) {
        SCOPED_TRACE(::testing::Message()
                     << l.bits << " bits, " << l.channels << " channels, " << l.rate << " Hz");
        const std::size_t frames = frames_for(l);
        const std::string in = pcm_file("layout.wav", l, frames, seed++);
        const ToolResult r = play(in);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(same_packets(out_, expected_packets(values_, l.channels, code_for(l.rate))));
        const uint32_t databytes = static_cast<uint32_t>(frames * l.channels * l.bits / 8);
        const uint32_t len = databytes / (l.rate / 1000) / (l.channels * l.bits / 8);
        EXPECT_TRUE(has(r.err, "len=" + std::to_string(len) + "\n")) << r.err;
        EXPECT_TRUE(has(r.err, "freq = " + std::to_string(l.rate) + "\n"));
        EXPECT_TRUE(has(r.err, "WAV decoded " + std::to_string(frames) + "\n")) << r.err;
        // Only 44100 Hz files are scanned for DTS (and these end before 85 blocks).
        EXPECT_EQ(has(r.err, "dts request_buffer error\n"), l.rate == 44100);
    }
}

// 44100 Hz files are scanned for DTS to their end before the data is
// played: the window then has met the end of the file, and must still refill
// as the decoder moves on from the data's start. Files of about 300 KB with
// the data at every offset modulo 4 and blocks that do not divide the window.
TEST_F(WavPlayback, At44100EveryLayoutAndDataOffsetIsBitExact) {
    struct prefix {
        const char *what;
        bool fmt18;       // an 18-byte "fmt " chunk
        std::size_t list; // payload of a LIST chunk before the data (0: none)
    };
    const prefix prefixes[] = {{"plain", false, 0},
                               {"fmt 18", true, 0},
                               {"LIST 6", false, 6},
                               {"fmt 18 + LIST 5", true, 5}};
    const layout layouts[] = {{8, 1, 44100},  {8, 2, 44100},  {16, 1, 44100}, {16, 2, 44100},
                              {24, 1, 44100}, {24, 2, 44100}, {32, 1, 44100}, {32, 2, 44100}};
    uint32_t seed = 100;
    for (const layout &l : layouts) {
        for (const prefix &pre : prefixes) {
            SCOPED_TRACE(::testing::Message()
                         << l.bits << " bits, " << l.channels << " channels, " << pre.what);
            const std::size_t frames = 300000 / (l.channels * l.bits / 8) + 17;
            const auto signal = test_signal(frames * l.channels, l.bits, seed++);
            bytes fmt =
                WavWriter::fmt_payload({1, l.channels, 44100, 0, static_cast<uint16_t>(l.bits)});
            if (pre.fmt18) put_le(fmt, 0, 2);
            WavWriter w;
            w.chunk("fmt ", fmt);
            if (pre.list) w.chunk("LIST", bytes(pre.list, 'x'));
            w.data(pack_samples(signal, l.bits / 8));
            const ToolResult r = play(write("odd.wav", w));
            ASSERT_EQ(r.status, 0) << r.err;
            EXPECT_TRUE(same_packets(
                out_, expected_packets(at_24_bits(signal, l.bits), l.channels, CODE_44100)));
        }
    }
}

TEST_F(WavPlayback, WholePacketsEndWithASilentFlushedPacket) {
    const layout l{16, 2, 48000};
    const std::string in = pcm_file("whole.wav", l, 512 * 70, 77);
    const ToolResult r = play(in);
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string expected = expected_packets(values_, 2, CODE_48000);
    ASSERT_EQ(expected.size(), 71 * pipd::PACKET_BYTES);
    EXPECT_TRUE(same_packets(out_, expected));
    // The flushed packet carries no samples: all silence after its header.
    EXPECT_EQ(out_.substr(70 * 4112 + 16), std::string(4096, '\0'));
}

TEST_F(WavPlayback, ExtensibleFormatsAndExtraChunks) {
    const std::size_t frames = 25000;
    // Sub-format 1 with 24 valid bits in 24-bit containers.
    {
        const auto signal = test_signal(frames * 2, 24, 5);
        WavWriter w;
        w.fmt_extensible({1, 2, 96000, 0, 24}, 24, 1).data(pack_samples(signal, 3));
        const ToolResult r = play(write("ext24.wav", w));
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(same_packets(out_, expected_packets(signal, 2, CODE_96000)));
    }
    // 20 valid bits in 24-bit containers: the low bits are zero and the scale
    // stays that of the container.
    {
        auto signal = test_signal(frames * 2, 24, 6);
        for (auto &s : signal) s &= ~0xF;
        WavWriter w;
        w.fmt_extensible({1, 2, 48000, 0, 24}, 20, 1).data(pack_samples(signal, 3));
        const ToolResult r = play(write("ext20.wav", w));
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(same_packets(out_, expected_packets(signal, 2, CODE_48000)));
    }
    // LIST and a private chunk of odd size (with pad bytes), "fact", and an
    // 18-byte "fmt " before the data.
    {
        const auto signal = test_signal(frames * 2 * 2, 16, 7);
        bytes fmt18 = WavWriter::fmt_payload({1, 2, 44100, 0, 16});
        put_le(fmt18, 0, 2);
        bytes list = {'I', 'N', 'F', 'O', 'I', 'S', 'F', 'T', 5, 0, 0, 0, 'p', 'i', 'p', 'd', 0};
        WavWriter w;
        w.chunk("fmt ", fmt18)
            .chunk("LIST", list)
            .chunk("fact", {1, 2, 3, 4})
            .chunk("junk", {9, 9, 9})
            .data(pack_samples(signal, 2));
        const ToolResult r = play(write("chunks.wav", w));
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(has(r.err, "unknown WAVE chunk: 'LIST', size=17\n")) << r.err;
        EXPECT_TRUE(has(r.err, "unknown WAVE chunk: 'junk', size=3\n")) << r.err;
        EXPECT_FALSE(has(r.err, "'fact'"));
        EXPECT_TRUE(same_packets(out_, expected_packets(at_24_bits(signal, 16), 2, CODE_44100)));
    }
}

TEST_F(WavPlayback, DataChunkLongerThanTheFilePlaysWhatIsThere) {
    // Declared sizes past the end, the file ending in the middle of a frame.
    const auto signal = test_signal(40000 * 2, 16, 9);
    for (int64_t declared : {int64_t{0xFFFFFFFF}, int64_t{400000}}) {
        bytes data = pack_samples(signal, 2);
        data.push_back(0x11); // a stray byte: an incomplete frame
        WavWriter w;
        w.fmt({1, 2, 48000, 0, 16}).data(data, declared);
        bytes file = w.file();
        file.pop_back(); // the pad byte of the odd payload
        const ToolResult r = play(write_bytes("long.wav", file));
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(has(r.err, "WAV decoded 40000\n")) << r.err;
        EXPECT_TRUE(same_packets(out_, expected_packets(at_24_bits(signal, 16), 2, CODE_48000)));
    }
}

TEST_F(WavPlayback, SeeksStartAtTheBlockOfTheTime) {
    const layout cd{16, 2, 44100};
    const std::string in = pcm_file("seek.wav", cd, 60000, 11);
    ToolResult r = play(in, {"--seek", "250"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(same_packets(out_, expected_packets(values_, 2, CODE_44100, 11025)));
    EXPECT_TRUE(has(r.err, "WAV decoded 60000\n"));

    const layout hires{24, 2, 96000};
    const std::string in2 = pcm_file("seek24.wav", hires, 30000, 12);
    r = play(in2, {"--seek", "123"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(same_packets(out_, expected_packets(values_, 2, CODE_96000, 11808)));

    // Past the end of the data: nothing is decoded, the track ends normally.
    r = play(in2, {"--seek", "400"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(has(r.err, "WAV decoded 0\n")) << r.err;
    EXPECT_TRUE(out_.empty()) << "nothing decoded, nothing sent";
}

TEST_F(WavPlayback, WavOutputCarriesTheValidSamplesChannelZeroFirst) {
    const auto signal = test_signal(30001 * 2, 24, 13);
    const bytes data = pack_samples(signal, 3);
    WavWriter w;
    w.fmt({1, 2, 48000, 0, 24}).data(data);
    const ToolResult r = play(write("to.wav", w), {"--wav"});
    ASSERT_EQ(r.status, 0) << r.err;
    // A 24-bit stereo source comes back as it went in.
    EXPECT_EQ(out_, std::string(reinterpret_cast<const char *>(w.file().data()), w.file().size()));
}

TEST_F(WavPlayback, RefusedFormatsSayWhyAndExitWithAnError) {
    const bytes some_data(140000, 0);
    auto with_fmt_payload = [&](const bytes &payload) {
        WavWriter w;
        w.chunk("fmt ", payload).data(some_data);
        return w.file();
    };
    auto adpcm = [&](uint32_t size, uint16_t coefficients) {
        bytes p = WavWriter::fmt_payload({2, 2, 44100, 2048, 4});
        put_le(p, size - 18, 2); // cbSize
        put_le(p, 2041, 2);      // samples per block
        put_le(p, coefficients, 2);
        p.resize(size, 0);
        return with_fmt_payload(p);
    };
    auto extensible = [&](uint16_t valid, uint16_t subformat, uint16_t extsize) {
        WavWriter w;
        w.fmt_extensible({1, 2, 48000, 0, 24}, valid, subformat, extsize).data(some_data);
        return w.file();
    };
    auto pcm = [&](fmt_fields f) {
        WavWriter w;
        w.fmt(f).data(some_data);
        return w.file();
    };
    auto cannot = [](uint32_t rate) {
        return "CODEC_ERROR: a sample rate of " + std::to_string(rate) + " Hz cannot be played\n";
    };
    bytes fmt15 = WavWriter::fmt_payload({});
    fmt15.pop_back();
    bytes not_riff = pcm({});
    not_riff[8] = 'X';

    struct refusal {
        const char *name;
        bytes file;
        std::string message;
    };
    const refusal cases[] = {
        {"three channels", pcm({1, 3, 48000, 0, 16}), "CODEC_ERROR: more than 2 channels\n"},
        {"extension size 21", extensible(24, 1, 21),
         "CODEC_ERROR: WAVE_FORMAT_EXTENSIBLE is missing extension\n"},
        {"float sub-format", extensible(32, 3, 22), "CODEC_ERROR: unsupported wave format 0x3\n"},
        {"adpcm short", adpcm(20, 7), "CODEC_ERROR: microsoft adpcm 'fmt ' chunk size=20 < 50\n"},
        {"adpcm coefficients", adpcm(50, 4), "CODEC_ERROR: microsoft adpcm nNumCoef=4 != 7\n"},
        {"adpcm valid", adpcm(50, 7), "CODEC_ERROR: unsupported wave format 0x2\n"},
        {"adpcm without extension", with_fmt_payload(WavWriter::fmt_payload({2, 2, 44100, 0, 4})),
         "CODEC_WARNING: non-PCM WAVE (formattag=0x2) doesn't have ext. fmt descr "
         "(chunksize=16<18).\nCODEC_ERROR: microsoft adpcm 'fmt ' chunk size=16 < 50\n"},
        {"data before fmt", WavWriter().data(some_data).fmt({}).file(),
         "CODEC_ERROR: 'fmt ' chunk not found\n"},
        {"fmt of 15 bytes", with_fmt_payload(fmt15), "CODEC_ERROR: 'fmt ' chunk size=15 < 16\n"},
        {"zero channels", pcm({1, 0, 44100, 0, 16}), "CODEC_ERROR: channels is 0\n"},
        {"zero-length data", WavWriter().fmt({}).data({}).raw(some_data).file(),
         "CODEC_ERROR: 'data' chunk not found or has zero-length\n"},
        {"4 bits", pcm({1, 2, 44100, 0, 4}),
         "CODEC_ERROR: pcm with 4 bitspersample (fewer than 8) is unsupported\n"},
        {"block smaller than a frame", pcm({1, 2, 44100, 3, 16}),
         "CODEC_ERROR: blockalign 3 is smaller than one frame (4 bytes)\n"},
        {"rate 999", pcm({1, 2, 999, 0, 16}), "CODEC_ERROR: sample rate 999 Hz is below 1000 Hz\n"},
        {"rate 0", pcm({1, 2, 0, 0, 16}), "CODEC_ERROR: sample rate 0 Hz is below 1000 Hz\n"},
        {"rate 1000", pcm({1, 2, 1000, 0, 16}), cannot(1000)},
        {"rate 2822400, PCM", pcm({1, 2, 2822400, 0, 24}), cannot(2822400)},
        {"rate 2822401", pcm({1, 2, 2822401, 0, 8}), cannot(2822401)},
        {"not RIFF/WAVE", not_riff, "CODEC_ERROR: missing riff header\n"},
    };
    for (const refusal &c : cases) {
        SCOPED_TRACE(c.name);
        const ToolResult r = play(write_bytes("refused.wav", c.file));
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_TRUE(has(r.err, "\n" + c.message)) << r.err;
        EXPECT_FALSE(has(r.err, "len=")) << "no length for a refused file";
        EXPECT_FALSE(has(r.err, "WAV decoded"));
        EXPECT_TRUE(out_.empty()) << "nothing decoded, nothing sent";
    }
}

TEST_F(WavPlayback, DtsStreamsAt44100AreRefused) {
    struct sync {
        const char *name;
        bytes pattern;
        uint32_t offset;
    };
    const sync cases[] = {
        {"16-bit big-endian at 0", {0x7F, 0xFE, 0x80, 0x01}, 0},
        {"16-bit big-endian at 30000", {0x7F, 0xFE, 0x80, 0x01}, 30000},
        {"at the end of a group of positions", {0x7F, 0xFE, 0x80, 0x01}, 24576 + 255},
        {"16-bit little-endian", {0xFE, 0x7F, 0x01, 0x80}, 50000},
        {"14-bit big-endian", {0x1F, 0xFF, 0xE8, 0x00, 0x07, 0xF3}, 1000},
        {"14-bit little-endian", {0xFF, 0x1F, 0x00, 0xE8, 0xF0, 0x07}, 70001},
        {"last position of a block", {0x7F, 0xFE, 0x80, 0x01}, 24576 + 24560},
        {"last block", {0x7F, 0xFE, 0x80, 0x01}, 84 * 24576 + 17},
    };
    for (const sync &c : cases) {
        SCOPED_TRACE(c.name);
        bytes data(std::max<std::size_t>(200000, c.offset + 30000), 0);
        std::copy(c.pattern.begin(), c.pattern.end(), data.begin() + c.offset);
        WavWriter w;
        w.fmt({1, 2, 44100, 0, 16}).data(data);
        const ToolResult r = play(write("dts.wav", w));
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_TRUE(has(r.err, "dts offset " + std::to_string(c.offset) + "\n DTS codec error\n"))
            << r.err;
        EXPECT_FALSE(has(r.err, "WAV decoded"));
        EXPECT_TRUE(out_.empty()) << "nothing decoded, nothing sent";
    }
}

TEST_F(WavPlayback, DtsLookalikesThatAreNotScannedPlay) {
    const bytes pattern = {0x7F, 0xFE, 0x80, 0x01};
    struct file_case {
        const char *name;
        uint32_t rate;
        uint32_t offset;
        std::size_t size;
    };
    const file_case cases[] = {
        {"48000 Hz", 48000, 0, 200000},
        {"across two blocks", 44100, 24574, 200000},
        {"a 14-bit form without its last nibble", 44100, 0, 200000},
        {"beyond 85 blocks", 44100, 85 * 24576 + 100, 85 * 24576 + 4000},
    };
    for (const file_case &c : cases) {
        SCOPED_TRACE(c.name);
        bytes data(c.size, 0);
        if (std::string(c.name).find("14-bit") != std::string::npos) {
            const bytes almost = {0x1F, 0xFF, 0xE8, 0x00, 0x07, 0xE0};
            std::copy(almost.begin(), almost.end(), data.begin());
        } else {
            std::copy(pattern.begin(), pattern.end(), data.begin() + c.offset);
        }
        WavWriter w;
        w.fmt({1, 2, c.rate, 0, 16}).data(data);
        const ToolResult r = play(write("dts.wav", w));
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_FALSE(has(r.err, "dts offset"));
        std::vector<int32_t> values;
        for (std::size_t i = 0; i + 1 < data.size(); i += 2)
            values.push_back(static_cast<int16_t>(data[i] | data[i + 1] << 8) * 256);
        EXPECT_TRUE(same_packets(out_, expected_packets(values, 2, code_for(c.rate))));
    }
}

TEST_F(WavPlayback, HostileSizesEndCleanly) {
    const bytes some_data(140000, 0);
    struct hostile {
        const char *name;
        bytes file;
        std::string message;
    };
    // A chunk that claims to run past the end of the file; with a 32-bit
    // skip the last one would wrap to a skip of 0 and never end.
    auto huge_chunk = [&](uint32_t size) {
        WavWriter w;
        w.fmt({}).chunk("LIST", some_data, size).data(some_data);
        return w.file();
    };
    // A file ending in a chunk header, and one ending inside "fmt ".
    WavWriter tail;
    tail.chunk("pad ", bytes(140000 - 4, 0));
    bytes header_cut = tail.file();
    header_cut.insert(header_cut.end(), {'f', 'm', 't', ' '});
    bytes fmt_cut = tail.file();
    const bytes fmt = WavWriter::fmt_payload({});
    fmt_cut.insert(fmt_cut.end(), {'f', 'm', 't', ' ', 16, 0, 0, 0});
    fmt_cut.insert(fmt_cut.end(), fmt.begin(), fmt.begin() + 10);
    // Extensible with a claimed extension that the chunk does not hold.
    bytes ext18 = WavWriter::fmt_payload({0xFFFE, 2, 48000, 0, 24});
    put_le(ext18, 22, 2);

    const hostile cases[] = {
        {"size 0xFFFFFFFF", huge_chunk(0xFFFFFFFF),
         "unknown WAVE chunk: 'LIST', size=4294967295\ndata chunk request_buffer error\n"},
        {"size 0xFFFFFFF7", huge_chunk(0xFFFFFFF7),
         "unknown WAVE chunk: 'LIST', size=4294967287\ndata chunk request_buffer error\n"},
        {"size 0x80000000", huge_chunk(0x80000000),
         "unknown WAVE chunk: 'LIST', size=2147483648\ndata chunk request_buffer error\n"},
        {"cut in a chunk header", header_cut, "data chunk request_buffer error\n"},
        {"cut in fmt", fmt_cut,
         "CODEC_ERROR: 'fmt ' chunk cut short by the end of the file (10 of 16 bytes)\n"},
        {"extension outside the chunk", WavWriter().chunk("fmt ", ext18).data(some_data).file(),
         "CODEC_ERROR: WAVE_FORMAT_EXTENSIBLE is missing extension\n"},
    };
    for (const hostile &c : cases) {
        SCOPED_TRACE(c.name);
        const ToolResult r = play(write_bytes("hostile.wav", c.file));
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_TRUE(has(r.err, c.message)) << r.err;
    }
}

TEST_F(WavPlayback, UnusualBlockAlignmentsStayInBounds) {
    // No block alignment in the file: one frame.
    {
        const auto signal = test_signal(40000 * 2, 16, 21);
        WavWriter w;
        w.fmt({1, 2, 44100, 0, 16}).data(pack_samples(signal, 2));
        bytes file = w.file();
        file[12 + 8 + 12] = file[12 + 8 + 13] = 0; // block align field
        const ToolResult r = play(write_bytes("align0.wav", file));
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(same_packets(out_, expected_packets(at_24_bits(signal, 16), 2, CODE_44100)));
    }
    // A block of 7 bytes holds one 16-bit stereo frame and change; samples
    // are still taken every 2 bytes, more per step than frames x channels,
    // and a step must still fit the sample buffer.
    {
        WavWriter w;
        w.fmt({1, 2, 192000, 7, 16}).data(bytes(400001, 1));
        const ToolResult r = play(write("align7.wav", w));
        ASSERT_EQ(r.status, 0) << r.err;
        // Steps of 16380 bytes (2340 blocks): 24 of 4095 frames, then 6881
        // bytes for 1720 frames.
        EXPECT_TRUE(has(r.err, "WAV decoded 100000\n")) << r.err;
    }
}

TEST_F(WavPlayback, RealWorldFilesFromSox) {
    if (system("command -v sox >/dev/null 2>&1") != 0) GTEST_SKIP() << "sox is not installed";
    struct made {
        const char *args;
        std::string seconds;
        unsigned channels;
        int32_t code;
    };
    const made cases[] = {
        {"-r 44100 -b 16 -c 2", "2", 2, CODE_44100},
        {"-r 96000 -b 24 -c 2", "1", 2, CODE_96000}, // written as WAVE_FORMAT_EXTENSIBLE
        {"-r 48000 -b 8 -c 1", "3", 1, CODE_48000},
        {"-r 192000 -b 32 -e signed-integer -c 2", "0.5", 2, CODE_192000}, // extensible too
    };
    for (const made &c : cases) {
        SCOPED_TRACE(c.args);
        const std::string wav = dir_.file("sox.wav");
        const std::string raw = dir_.file("sox.raw");
        const std::string make = std::string("sox -D -n ") + c.args + " '" + wav + "' synth " +
                                 c.seconds + " sine 440 sine 660 gain -1 && sox '" + wav +
                                 "' -t s32 '" + raw + "'";
        ASSERT_EQ(system(make.c_str()), 0) << make;
        const std::string full = read_file(raw);
        std::vector<int32_t> values(full.size() / 4);
        std::memcpy(values.data(), full.data(), values.size() * 4);
        for (auto &v : values) v >>= 8; // 32-bit full scale to 24-bit
        const ToolResult r = play(wav);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(same_packets(out_, expected_packets(values, c.channels, c.code)));
    }
}

TEST_F(WavPlayback, AFileShorterThanTheFirstReadPlaysWhole) {
    WavWriter w;
    w.fmt({}).data(bytes(100000 - 44, 0));
    const ToolResult r = play(write("short.wav", w));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(out_.size(), 49 * pipd::PACKET_BYTES); // 24,989 frames in 1024-sample packets
}

// The codec run inside this process through the track runner, in a
// sandbox whose polls are answered from a script.
class WavInProcess : public WavPlayback {
  protected:
    // Plays the file; the packets are in out_ as pipd-decode would write them.
    int run(const std::string &path) {
        const int result = sb.play(path);
        out_ = sb.stream();
        return result;
    }
    Sandbox sb;
};

TEST_F(WavInProcess, PauseSleepsWithoutDecodingAndHaltStops) {
    const std::string in = pcm_file("pause.wav", {16, 2, 48000}, 50000, 31);
    sb.script({pipd::CODEC_ACTION_NONE, pipd::CODEC_ACTION_PAUSE, pipd::CODEC_ACTION_PAUSE,
               pipd::CODEC_ACTION_NONE, pipd::CODEC_ACTION_HALT});
    EXPECT_EQ(run(in), 0);
    EXPECT_EQ(sb.platform.slept, 2);
    EXPECT_EQ(sb.polls, 5u);
    // Two steps of 960 frames.
    EXPECT_TRUE(same_packets(out_, expected_packets(values_, 2, CODE_48000, 0, 1920)));
    EXPECT_EQ(pipd::playstat.elapsed, 40u);
    EXPECT_TRUE(sb.diag.contains("WAV decoded 1920\n")) << sb.diag.text();
}

TEST_F(WavInProcess, SeekIsAcknowledgedAndElapsedUsesA64BitProduct) {
    // 8-bit mono at 48000 Hz whose data runs for 24 hours in a sparse file:
    // 50000 s in, the frame count times 1000 no longer fits 32 bits.
    WavWriter w;
    w.fmt({1, 1, 48000, 0, 8}).data({}, 0xFFFFFF00);
    const std::string path = write("long.wav", w);
    ASSERT_EQ(truncate(path.c_str(), 2500000000), 0);
    sb.script({pipd::CODEC_ACTION_SEEK_TIME, pipd::CODEC_ACTION_NONE, pipd::CODEC_ACTION_HALT},
              50000000);
    pipd::ploffset = 50000000;
    EXPECT_EQ(run(path), 0);
    EXPECT_EQ(pipd::ploffset, -1) << "the seek was acknowledged";
    EXPECT_EQ(pipd::playstat.elapsed, 50000040u) << "two steps of 960 frames after the seek";
    // The sparse region decodes as the unsigned zero of 8-bit audio.
    std::vector<int32_t> silence(1920, -128 * 65536);
    EXPECT_TRUE(same_packets(out_, expected_packets(silence, 1, CODE_48000)));
}

TEST_F(WavInProcess, FileThatShrinksWhilePlayingEndsTheTrack) {
    // Cut behind the first window, then inside it (the window still holds
    // its bytes; the next read finds nothing).
    for (off_t cut : {off_t{131072 + 10000}, off_t{1000}}) {
        SCOPED_TRACE(cut);
        const std::string in = pcm_file("shrink.wav", {16, 2, 48000}, 100000, 41);
        sb.polls = 0;
        sb.packets.clear();
        sb.on_poll = [&] {
            if (sb.polls == 0) {
                EXPECT_EQ(truncate(in.c_str(), cut), 0);
            }
        };
        sb.script({});
        EXPECT_EQ(run(in), 0);
        const std::size_t frames = (std::max<off_t>(cut, 131072) - 44) / 4;
        const std::string said = sb.diag.take();
        EXPECT_TRUE(has(said, "WAV decoded " + std::to_string(frames) + "\n")) << said;
        EXPECT_TRUE(same_packets(out_, expected_packets(values_, 2, CODE_48000, 0, frames)));
    }
}
