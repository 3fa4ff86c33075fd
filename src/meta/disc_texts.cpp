// The texts of an SACD disc image: the album's from the master TOC's first
// text sector, a track's from its two-channel area's track text sector. The
// image is read a sector at a time, at most a bounded number of sectors.
#include <array>
#include <cstring>

#include "core/diag.h"
#include "meta/containers.h"

namespace pipd::meta::detail {

namespace {

constexpr uint32_t USER = 2048; // user data of a sector
constexpr uint64_t MASTER_TOC = 510, MASTER_TEXT = 511;
constexpr uint32_t AREA_TOC_MAX_SECTORS = 2048;
// Master text: offsets (within the sector) of the album's title and artist,
// then of the disc's, which stand in for the album's when it has none.
constexpr uint32_t ALBUM_TITLE_AT = 16, ALBUM_ARTIST_AT = 18;
constexpr uint32_t DISC_TITLE_AT = 32, DISC_ARTIST_AT = 34;
constexpr uint8_t TEXT_TITLE = 1, TEXT_PERFORMER = 2;

using sector = std::array<unsigned char, USER>;

uint32_t be(const unsigned char *p, int n) {
    uint32_t v = 0;
    for (int i = 0; i < n; ++i) v = v << 8 | p[i];
    return v;
}

struct disc {
    file_handle &file;
    uint64_t size = 0, offset = 0; // sector size and the user data's place in it

    bool read(uint64_t lsn, unsigned char *out, std::size_t n) {
        return file.read_at(lsn * size + offset, out, n);
    }
    bool recognised() {
        unsigned char id[8];
        for (const auto &[s, o] : {std::pair<uint64_t, uint64_t>{2048, 0}, {2064, 12}}) {
            size = s;
            offset = o;
            if (read(MASTER_TOC, id, 8) && std::memcmp(id, "SACDMTOC", 8) == 0) return true;
        }
        return false;
    }
};

// The NUL-terminated text at the offset held at p, inside the sector.
std::optional<std::string> text_at(const sector &s, uint32_t pointer_at) {
    const uint32_t at = be(&s[pointer_at], 2);
    if (at == 0 || at >= USER) return std::nullopt;
    const auto *p = reinterpret_cast<const char *>(&s[at]);
    return loose_text(std::string_view(p, strnlen(p, USER - at)));
}

// Title and performer of track (from 0) in a track text sector; with
// several items of a type the last one counts.
void track_texts(const sector &s, int track, track_meta &meta) {
    const uint32_t at = be(&s[8 + 2 * static_cast<uint32_t>(track)], 2);
    if (at == 0 || at + 4 > USER) return;
    const unsigned char *item = &s[at + 4], *const end = s.data() + USER;
    // Every item moves on by at least three bytes, and the count is a byte.
    for (int n = s[at]; n > 0 && end - item > 2; --n) {
        const auto *text = reinterpret_cast<const char *>(item + 2);
        const std::size_t length = strnlen(text, static_cast<std::size_t>(end - item - 2));
        if (item[0] == TEXT_TITLE || item[0] == TEXT_PERFORMER)
            (item[0] == TEXT_TITLE ? meta.title : meta.artist) =
                loose_text(std::string_view(text, length));
        item += 2 + length;
        while (item < end && *item == 0) ++item;
    }
}

// The track's texts and duration from the two-channel area's TOC.
void area_texts(disc &d, const sector &master, int track, track_meta &meta) {
    sector h;
    const uint64_t toc = be(&master[64], 4);
    const uint32_t toc_sectors = std::min<uint32_t>(be(&master[84], 2), AREA_TOC_MAX_SECTORS);
    if (toc == 0 || !d.read(toc, h.data(), USER) || std::memcmp(h.data(), "TWOCHTOC", 8) != 0 ||
        track > h[69])
        return;
    bool text = false, times = false;
    const uint32_t limit = std::min<uint32_t>(be(&h[10], 2), toc_sectors);
    for (uint32_t s = 1; s < limit && !(text && times);) {
        sector x;
        if (!d.read(toc + s, x.data(), USER)) break;
        const auto is = [&x](const char *id) { return std::memcmp(x.data(), id, 8) == 0; };
        if (is("SACDTTxt") && !text) {
            track_texts(x, track - 1, meta);
            text = true;
        } else if (is("SACDTRL2") && !times) {
            const unsigned char *t = &x[1028 + 4 * static_cast<uint32_t>(track - 1)];
            meta.duration_ms = (t[0] * 60u + t[1]) * 1000u + t[2] * 1000u / 75u;
            times = true;
        } else if (!(is("SACDTTxt") || is("SACDTRL1") || is("SACD_IGL") || is("SACD_ACC"))) {
            break;
        }
        s += is("SACD_IGL") ? 2 : is("SACD_ACC") ? 32 : 1;
    }
}

} // namespace

std::optional<track_meta> read_disc_texts(const std::string &path, int track) {
    file_handle file(path);
    disc d{file};
    sector master, text;
    if (!file.f || !d.recognised() || !d.read(MASTER_TOC, master.data(), USER)) {
        diag("tags: %s: no SACD disc image\n", path.c_str());
        return std::nullopt;
    }
    track_meta meta;
    if (d.read(MASTER_TEXT, text.data(), USER) && std::memcmp(text.data(), "SACDText", 8) == 0) {
        meta.album = text_at(text, ALBUM_TITLE_AT);
        if (!meta.album) meta.album = text_at(text, DISC_TITLE_AT);
        meta.album_artist = text_at(text, ALBUM_ARTIST_AT);
        if (!meta.album_artist) meta.album_artist = text_at(text, DISC_ARTIST_AT);
    }
    if (track > 0) {
        meta.track_number = std::to_string(track);
        area_texts(d, master, track, meta);
    }
    return meta;
}

} // namespace pipd::meta::detail
