#include "codecs/pcm/mp3_info.h"

#include <cstring>

namespace pipd {

namespace {

// kbit/s by [MPEG-1][layer 1..3][index]; MPEG-2 and 2.5 share a row per layer.
constexpr uint16_t BITRATES[2][3][15] = {
    {{0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},
     {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},
     {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}},
    {{0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},
     {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
     {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320}},
};
constexpr uint32_t RATES[3] = {44100, 48000, 32000};

uint32_t be32(const uint8_t *p) {
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

} // namespace

bool mp3_parse_header(const uint8_t *p, std::size_t n, mp3_header *h) {
    if (n < 4 || p[0] != 0xFF || (p[1] & 0xE0) != 0xE0) return false;
    const unsigned version = (p[1] >> 3) & 3; // 0: 2.5, 2: 2, 3: 1
    const unsigned layer = 4 - ((p[1] >> 1) & 3);
    const unsigned bitrate = p[2] >> 4, rate = (p[2] >> 2) & 3;
    if (version == 1 || layer == 4 || bitrate == 0 || bitrate == 15 || rate == 3) return false;
    const bool mpeg1 = version == 3;
    const uint32_t hz = RATES[rate] >> (mpeg1 ? 0 : version == 2 ? 1 : 2);
    const uint32_t bps = BITRATES[mpeg1][layer - 1][bitrate] * 1000u;
    const uint32_t pad = (p[2] >> 1) & 1;
    h->rate = hz;
    h->mpeg1 = mpeg1;
    h->mono = (p[3] >> 6) == 3;
    h->crc = !(p[1] & 1);
    if (layer == 1) {
        h->samples = 384;
        h->length = (12 * bps / hz + pad) * 4;
    } else {
        h->samples = layer == 3 && !mpeg1 ? 576 : 1152;
        h->length = h->samples / 8 * bps / hz + pad;
    }
    return true;
}

bool mp3_parse_info(const uint8_t *p, std::size_t n, mp3_info *info) {
    mp3_header h;
    if (!mp3_parse_header(p, n, &h) || h.samples == 384) return false;
    // Only the bytes of this frame belong to it.
    if (n > h.length) n = h.length;
    const std::size_t side = h.mpeg1 ? (h.mono ? 17 : 32) : (h.mono ? 9 : 17);
    std::size_t at = 4 + (h.crc ? 2 : 0) + side;
    if (n < at + 8 || (std::memcmp(p + at, "Xing", 4) != 0 && std::memcmp(p + at, "Info", 4) != 0))
        return false;
    std::memset(info, 0, sizeof *info);
    info->frame_len = h.length;
    info->frame_samples = h.samples;
    info->rate = h.rate;
    const uint32_t flags = be32(p + at + 4);
    at += 8;
    if (flags & 1) {
        if (n < at + 4) return true;
        info->frames = be32(p + at);
        info->has_frames = 1;
        at += 4;
    }
    if (flags & 2) {
        if (n < at + 4) return true;
        info->bytes = be32(p + at);
        info->has_bytes = 1;
        at += 4;
    }
    if (flags & 4) {
        if (n < at + 100) return true;
        std::memcpy(info->toc, p + at, 100);
        info->has_toc = 1;
        at += 100;
    }
    if (flags & 8) at += 4; // quality
    // The LAME tag: encoder name, then delay and padding at 21.
    if (n < at + 24 || (std::memcmp(p + at, "LAME", 4) != 0 &&
                        std::memcmp(p + at, "Lavc", 4) != 0 && std::memcmp(p + at, "Lavf", 4) != 0))
        return true;
    const uint8_t *d = p + at + 21;
    info->delay = uint32_t{d[0]} << 4 | d[1] >> 4;
    info->padding = (uint32_t{d[1]} & 0x0F) << 8 | d[2];
    info->has_lame = 1;
    return true;
}

bool mp3_toc_usable(const mp3_info &info) {
    if (!info.has_toc) return false;
    for (int i = 1; i < 100; ++i)
        if (info.toc[i] < info.toc[i - 1]) return false;
    return true;
}

uint64_t mp3_toc_offset(const mp3_info &info, uint64_t bytes, uint64_t ms, uint64_t total_ms) {
    if (ms >= total_ms) return bytes;
    const uint64_t x = ms * 100000 / total_ms; // thousandths of a percent
    const uint64_t i = x / 1000, frac = x % 1000;
    const uint64_t a = info.toc[i], b = i < 99 ? info.toc[i + 1] : 256;
    return (a * 1000 + (b - a) * frac) * bytes / 256000;
}

uint64_t mp3_toc_time(const mp3_info &info, uint64_t bytes, uint64_t offset, uint64_t total_ms) {
    if (bytes == 0) return 0;
    // In 256ths of the stream, thousandths.
    const uint64_t y = offset >= bytes ? 256000 : offset * 256000 / bytes;
    int i = 0;
    while (i < 99 && uint64_t{info.toc[i + 1]} * 1000 <= y) ++i;
    const uint64_t a = info.toc[i] * 1000ull, b = (i < 99 ? info.toc[i + 1] : 256) * 1000ull;
    const uint64_t frac = b > a ? (y > a ? y - a : 0) * 1000 / (b - a) : 0;
    const uint64_t x = i * 1000ull + (frac > 1000 ? 1000 : frac);
    return x * total_ms / 100000;
}

uint32_t mp3_id3v2_size(const uint8_t *p, std::size_t n) {
    if (n < 10 || std::memcmp(p, "ID3", 3) != 0) return 0;
    if ((p[6] | p[7] | p[8] | p[9]) & 0x80) return 0;
    const uint32_t body = uint32_t{p[6]} << 21 | uint32_t{p[7]} << 14 | uint32_t{p[8]} << 7 | p[9];
    return 10 + body + ((p[5] & 0x10) ? 10 : 0);
}

} // namespace pipd
