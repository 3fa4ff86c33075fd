// The APE header parser on hand-made headers of both layouts.

#include <gtest/gtest.h>
#include <vector>

#include "codecs/ape/ape.h"
#include "support/capture.h"

using namespace pipd;

namespace {

using bytes = std::vector<uint8_t>;

void put(bytes &b, std::size_t at, uint32_t v, int width) {
    if (b.size() < at + static_cast<std::size_t>(width))
        b.resize(at + static_cast<std::size_t>(width), 0);
    for (int i = 0; i < width; ++i)
        b[at + static_cast<std::size_t>(i)] = static_cast<uint8_t>(v >> (8 * i));
}

struct descriptor_fields {
    uint16_t version = 3990;
    uint32_t descriptorlength = 52;
    uint32_t headerlength = 24;
    uint32_t seektablelength = 400;
    uint32_t wavheaderlength = 44;
    uint16_t compressiontype = 2000;
    uint32_t blocksperframe = 73728;
    uint32_t finalframeblocks = 1000;
    uint32_t totalframes = 3;
};

bytes descriptor_header(const descriptor_fields &d) {
    bytes b = {'M', 'A', 'C', ' '};
    put(b, 4, d.version, 2);
    put(b, 8, d.descriptorlength, 4);
    put(b, 12, d.headerlength, 4);
    put(b, 16, d.seektablelength, 4);
    put(b, 20, d.wavheaderlength, 4);
    put(b, 24, 123456, 4); // audio data length
    put(b, 32, 77, 4);     // WAV tail length
    for (int i = 0; i < 16; ++i)
        put(b, 36 + static_cast<std::size_t>(i), static_cast<uint32_t>(i + 1), 1);
    const std::size_t h = d.descriptorlength;
    put(b, h, d.compressiontype, 2);
    put(b, h + 2, 0, 2);
    put(b, h + 4, d.blocksperframe, 4);
    put(b, h + 8, d.finalframeblocks, 4);
    put(b, h + 12, d.totalframes, 4);
    put(b, h + 16, 16, 2);
    put(b, h + 18, 2, 2);
    put(b, h + 20, 44100, 4);
    return b;
}

// The older single header.
bytes old_header(uint16_t version, uint16_t compression, uint16_t flags, uint32_t wavheader = 44,
                 uint32_t totalframes = 10, uint32_t seek_entries = 7) {
    bytes b = {'M', 'A', 'C', ' '};
    put(b, 4, version, 2);
    put(b, 6, compression, 2);
    put(b, 8, flags, 2);
    put(b, 10, 2, 2);
    put(b, 12, 44100, 4);
    put(b, 16, wavheader, 4);
    put(b, 24, totalframes, 4);
    put(b, 28, 5000, 4);
    put(b, 32, (flags & 4) ? 0xEEEEEEEE : seek_entries, 4);
    put(b, 36, seek_entries, 4);
    return b;
}

int parse(const bytes &b, ape_context *ctx) {
    pipd::testing::DiagCapture quiet;
    return ape_parseheaderbuf(b.data(), static_cast<uint32_t>(b.size()), ctx);
}

TEST(ApeParser, DescriptorLayout) {
    ape_context ctx;
    pipd::testing::DiagCapture diag;
    const bytes b = descriptor_header({});
    ASSERT_EQ(ape_parseheaderbuf(b.data(), static_cast<uint32_t>(b.size()), &ctx), 0);
    EXPECT_EQ(diag.text(), "compression type = 2000\n");
    EXPECT_EQ(ctx.fileversion, 3990);
    EXPECT_EQ(ctx.seektable_offset, 76u);
    EXPECT_EQ(ctx.firstframe, 520u);
    EXPECT_EQ(ctx.seekpoint_count, 100u);
    EXPECT_EQ(ctx.totalsamples, 148456u);
    EXPECT_EQ(ctx.audiodatalength, 123456u);
    EXPECT_EQ(ctx.wavtaillength, 77u);
    EXPECT_EQ(ctx.md5[15], 16);
    EXPECT_EQ(ctx.bps, 16);
    EXPECT_EQ(ctx.channels, 2);
    EXPECT_EQ(ctx.samplerate, 44100u);

    // A longer descriptor moves the header; nothing assumes 52.
    descriptor_fields d;
    d.descriptorlength = 56;
    d.compressiontype = 4000;
    ASSERT_EQ(parse(descriptor_header(d), &ctx), 0);
    EXPECT_EQ(ctx.compressiontype, 4000);
    EXPECT_EQ(ctx.seektable_offset, 80u);

    // No more than one frame: the last frame's count is the stream's.
    for (uint32_t frames : {0u, 1u}) {
        d = {};
        d.totalframes = frames;
        ASSERT_EQ(parse(descriptor_header(d), &ctx), 0);
        EXPECT_EQ(ctx.totalsamples, 1000u);
    }
    // More samples than 32 bits hold: saturated.
    d = {};
    d.totalframes = 0xFFFFFFFF;
    ASSERT_EQ(parse(descriptor_header(d), &ctx), 0);
    EXPECT_EQ(ctx.totalsamples, 0xFFFFFFFFu);
}

TEST(ApeParser, OlderLayout) {
    const struct {
        uint16_t version;
        uint16_t compression;
        uint32_t blocksperframe;
    } frames[] = {{3950, 2000, 294912}, {3949, 2000, 73728}, {3900, 1000, 73728},
                  {3850, 4000, 73728},  {3850, 3000, 9216},  {3790, 4000, 9216}};
    for (const auto &f : frames) {
        ape_context ctx;
        ASSERT_EQ(parse(old_header(f.version, f.compression, 0), &ctx), 0);
        EXPECT_EQ(ctx.blocksperframe, f.blocksperframe) << f.version << " " << f.compression;
    }

    const struct {
        uint16_t flags;
        uint32_t headerlength;
        uint32_t seekpoints;
        uint16_t bps;
    } layouts[] = {
        {0, 32, 10, 16},                                  // one seek entry per frame
        {4, 36, 10, 16},                                  // four extra bytes
        {16, 36, 7, 16},                                  // the entry count at 32
        {20, 40, 7, 16},                                  // the entry count at 36
        {1, 32, 10, 8},  {8, 32, 10, 24}, {9, 32, 10, 8}, // the 8-bit flag wins
    };
    for (const auto &l : layouts) {
        SCOPED_TRACE(l.flags);
        ape_context ctx;
        ASSERT_EQ(parse(old_header(3950, 2000, l.flags), &ctx), 0);
        EXPECT_EQ(ctx.headerlength, l.headerlength);
        EXPECT_EQ(ctx.seekpoint_count, l.seekpoints);
        EXPECT_EQ(ctx.seektable_offset, l.headerlength + 44);
        EXPECT_EQ(ctx.firstframe, l.headerlength + 44 + 4 * l.seekpoints);
        EXPECT_EQ(ctx.bps, l.bps);
        EXPECT_EQ(ctx.totalsamples, 294912u * 9 + 5000);
        EXPECT_EQ(ctx.descriptorlength, 0u);
        EXPECT_EQ(ctx.audiodatalength, 0u);
        EXPECT_EQ(ctx.wavtaillength, 0u);
        EXPECT_EQ(ctx.md5[0], 0);
    }
}

TEST(ApeParser, RefusesWhatIsNotAHeaderOrNotThere) {
    ape_context ctx;
    bytes b = descriptor_header({});
    b[3] = 'X';
    pipd::testing::DiagCapture diag;
    EXPECT_EQ(ape_parseheaderbuf(b.data(), static_cast<uint32_t>(b.size()), &ctx), -1);
    EXPECT_EQ(diag.text(), "");
    EXPECT_EQ(ctx.magic[3], 'X');
    EXPECT_EQ(ctx.fileversion, 0);

    // The descriptor and the header must lie within the bytes given.
    b = descriptor_header({});
    EXPECT_EQ(parse(bytes(b.begin(), b.begin() + 51), &ctx), -1);
    EXPECT_EQ(parse(bytes(b.begin(), b.end() - 1), &ctx), -1);
    EXPECT_EQ(ctx.blocksperframe, 0u);
    descriptor_fields d;
    d.descriptorlength = 0xFFFFFFF0u;
    b = descriptor_header({});
    put(b, 8, d.descriptorlength, 4);
    EXPECT_EQ(parse(b, &ctx), -1);
    b = old_header(3950, 2000, 20);
    EXPECT_EQ(parse(bytes(b.begin(), b.begin() + 39), &ctx), -1);
    EXPECT_EQ(parse(bytes(b.begin(), b.begin() + 31), &ctx), -1);
    EXPECT_EQ(parse(bytes(b.begin(), b.begin() + 5), &ctx), -1);
}

} // namespace
