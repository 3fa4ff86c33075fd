// APE header parser: the descriptor and header of version 3980 and later,
// or the single older header, into the stream record, with the offsets of
// the seek table and the first frame and the stream's length.

#include <cstring>

#include "codecs/ape/ape.h"
#include "core/diag.h"
#include "host/bytes.h"

namespace pipd {

namespace {

constexpr int16_t DESCRIPTOR_VERSION = 3980; // first version with a descriptor
constexpr uint32_t DESCRIPTOR_BYTES = 52;    // fixed fields of the descriptor
constexpr uint32_t HEADER_BYTES = 24;        // fixed fields of the header after it
constexpr uint32_t OLD_HEADER_BYTES = 32;

// Older header flags.
constexpr uint16_t FLAG_8_BIT = 1;
constexpr uint16_t FLAG_EXTRA_WORD = 4;
constexpr uint16_t FLAG_24_BIT = 8;
constexpr uint16_t FLAG_SEEK_COUNT = 16;

// Samples per frame of the older layout, by version and level.
uint32_t old_blocksperframe(int16_t version, uint16_t compressiontype) {
    if (version >= 3950) return 73728 * 4;
    if (version >= 3900) return 73728;
    if (version >= 3800 && compressiontype >= 4000) return 73728;
    return 9216;
}

bool parse_descriptor_layout(const uint8_t *buf, uint32_t length, ape_context *ctx) {
    if (length < DESCRIPTOR_BYTES) return false;
    ctx->descriptorlength = le32(buf + 8);
    ctx->headerlength = le32(buf + 12);
    ctx->seektablelength = le32(buf + 16);
    ctx->wavheaderlength = le32(buf + 20);
    ctx->audiodatalength = le32(buf + 24);
    ctx->audiodatalength_high = le32(buf + 28);
    ctx->wavtaillength = le32(buf + 32);
    std::memcpy(ctx->md5, buf + 36, sizeof ctx->md5);
    if (uint64_t{ctx->descriptorlength} + HEADER_BYTES > length) return false;

    const uint8_t *h = buf + ctx->descriptorlength;
    ctx->compressiontype = le16(h);
    ctx->formatflags = le16(h + 2);
    ctx->blocksperframe = le32(h + 4);
    ctx->finalframeblocks = le32(h + 8);
    ctx->totalframes = le32(h + 12);
    ctx->bps = le16(h + 16);
    ctx->channels = le16(h + 18);
    ctx->samplerate = le32(h + 20);

    ctx->seektable_offset = ctx->descriptorlength + ctx->headerlength;
    ctx->firstframe = ctx->seektable_offset + ctx->seektablelength + ctx->wavheaderlength;
    return true;
}

bool parse_old_layout(const uint8_t *buf, uint32_t length, ape_context *ctx) {
    if (length < OLD_HEADER_BYTES) return false;
    ctx->headerlength = OLD_HEADER_BYTES;
    ctx->compressiontype = le16(buf + 6);
    ctx->formatflags = le16(buf + 8);
    ctx->channels = le16(buf + 10);
    ctx->samplerate = le32(buf + 12);
    ctx->wavheaderlength = le32(buf + 16);
    ctx->totalframes = le32(buf + 24);
    ctx->finalframeblocks = le32(buf + 28);

    if (ctx->formatflags & FLAG_EXTRA_WORD) ctx->headerlength += 4;
    if (ctx->formatflags & FLAG_SEEK_COUNT) {
        if (ctx->headerlength + 4 > length) return false;
        ctx->seektablelength = le32(buf + ctx->headerlength) * 4;
        ctx->headerlength += 4;
    } else {
        ctx->seektablelength = ctx->totalframes * 4;
    }

    if (ctx->formatflags & FLAG_8_BIT)
        ctx->bps = 8;
    else if (ctx->formatflags & FLAG_24_BIT)
        ctx->bps = 24;
    else
        ctx->bps = 16;
    ctx->blocksperframe = old_blocksperframe(ctx->fileversion, ctx->compressiontype);

    ctx->seektable_offset = ctx->headerlength + ctx->wavheaderlength;
    ctx->firstframe = ctx->seektable_offset + ctx->seektablelength;
    return true;
}

} // namespace

int ape_parseheaderbuf(const uint8_t *buf, uint32_t length, ape_context *ctx) {
    std::memset(ctx, 0, sizeof *ctx);
    if (length < 6) return -1;
    std::memcpy(ctx->magic, buf, 4);
    if (std::memcmp(ctx->magic, "MAC ", 4) != 0) return -1;
    ctx->fileversion = static_cast<int16_t>(le16(buf + 4));

    const bool ok = ctx->fileversion >= DESCRIPTOR_VERSION
                        ? parse_descriptor_layout(buf, length, ctx)
                        : parse_old_layout(buf, length, ctx);
    if (!ok) {
        std::memset(ctx, 0, sizeof *ctx);
        std::memcpy(ctx->magic, buf, 4);
        return -1;
    }

    // Saturated rather than wrapped: a header may claim more than 2^32.
    const uint64_t samples =
        ctx->totalframes > 1
            ? uint64_t{ctx->blocksperframe} * (ctx->totalframes - 1) + ctx->finalframeblocks
            : ctx->finalframeblocks;
    ctx->totalsamples = samples > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(samples);
    ctx->seekpoint_count = ctx->seektablelength / 4;
    diag("compression type = %d\n", ctx->compressiontype);
    return 0;
}

} // namespace pipd
