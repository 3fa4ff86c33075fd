#include "codecs/dsd/sacd_disc.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "host/bytes.h"
#include "host/codec_api.h"

namespace pipd {

sd_reader sd;

namespace {

constexpr uint32_t AREA_TOC_LSN_AT[2] = {64, 72}; // master TOC: start of area TOC 1, 2
constexpr uint32_t AREA_TOC_SIZE_AT[2] = {84, 86};
constexpr uint32_t TRACK_START_AT = 8; // "SACDTRL1": 4 bytes per track
constexpr uint32_t TRACK_LENGTH_AT = 1028;
constexpr uint32_t TRACK_TIME_AT = 1028; // "SACDTRL2": 4 bytes per track
constexpr uint32_t TEXT_OFFSET_AT = 8;   // "SACDTTxt": 2 bytes per track
constexpr uint8_t TEXT_TYPE_TITLE = 1;
constexpr uint32_t IGL_SECTORS = 2;
constexpr uint32_t ACC_SECTORS = 32;
constexpr int DATA_TYPE_AUDIO = 2;

bool id_is(const uint8_t *p, const char (&id)[9]) {
    return std::memcmp(p, id, 8) == 0;
}

bool version_ok(const uint8_t *p) {
    return p[8] <= 1 && p[9] <= 20;
}

// File offset of the user data of a sector: always 64-bit.
uint64_t sector_position(uint64_t lsn) {
    const uint64_t at = lsn * sd.sector_size;
    return sd.sector_size == SACD_RAW_SECTOR_SIZE ? at + SACD_RAW_DATA_OFFSET : at;
}

bool read_at(uint64_t position, void *dst, uint32_t n) {
    sd.pending_advance = 0;
    return ci->ci_seek_buffer_raw(position) && ci->ci_read_filebuf_raw(dst, n) == n;
}

const sd_area *area_of(int area_type) {
    const int32_t index = area_type == SD_AREA_TWO_CHANNEL     ? sd.twoch_area
                          : area_type == SD_AREA_MULTI_CHANNEL ? sd.mulch_area
                                                               : -1;
    return index >= 0 && index < sd.area_count ? &sd.areas[index] : nullptr;
}

void free_area(sd_area &a) {
    for (char *&t : a.titles) {
        std::free(t);
        t = nullptr;
    }
    std::free(a.toc);
    a = sd_area{};
}

void clear_parser() {
    sd.frame_header = 0;
    sd.packet_info.fill(0);
    for (auto &f : sd.frame_info) f.fill(0);
    sd.packet_count = 0;
    sd.packet_index = 0;
    sd.frame_length = 0;
    sd.frame_in_progress = false;
    sd.frame_dst = 0;
    sd.skip_starts = 0;
    sd.sector = nullptr;
    sd.byte_pos = 0;
}

// The title item (type 1) of one track's text, read only inside the text
// sector; with several title items the last one wins. Null without one.
char *title_of(const uint8_t *text, uint32_t offset) {
    if (offset == 0 || offset + 4 > SACD_SECTOR_SIZE) return nullptr;
    const uint8_t *const end = text + SACD_SECTOR_SIZE;
    const uint8_t *item = text + offset + 4;
    const uint8_t *title = nullptr;
    std::size_t title_length = 0;
    // Every item moves on by at least three bytes, and the count is a byte.
    for (int n = text[offset]; n > 0 && end - item > 2; --n) {
        const uint8_t *s = item + 2;
        const auto *nul = static_cast<const uint8_t *>(std::memchr(s, 0, end - s));
        const uint8_t *stop = nul ? nul : end; // an unterminated string ends with the sector
        if (item[0] == TEXT_TYPE_TITLE) {
            title = s;
            title_length = static_cast<std::size_t>(stop - s);
        }
        item = stop;
        while (item < end && *item == 0) ++item;
    }
    if (!title) return nullptr;
    char *copy = static_cast<char *>(std::malloc(title_length + 1));
    if (!copy) return nullptr; // the track goes without its title
    std::memcpy(copy, title, title_length);
    copy[title_length] = '\0';
    return copy;
}

// Whether the image holds the sector: probed before its memory is granted.
bool sector_present(uint64_t lsn) {
    uint8_t last;
    return read_at(sector_position(lsn) + SACD_SECTOR_SIZE - 1, &last, 1);
}

// Reads the frame header, the packet infos and the frame infos of the
// sector whose user data starts at u.
void parse_sector(const uint8_t *u) {
    sd.sector = u;
    sd.frame_header = u[0];
    sd.packet_count = u[0] >> 5;
    const int frame_infos = (u[0] >> 2) & 7;
    const uint32_t info_size = (u[0] & 1) ? 4 : 3;
    uint32_t at = 1;
    for (int i = 0; i < sd.packet_count; ++i, at += 2) sd.packet_info[i] = be16(u + at);
    for (int i = 0; i < frame_infos; ++i, at += info_size) {
        sd.frame_info[i].fill(0);
        std::memcpy(sd.frame_info[i].data(), u + at, info_size);
    }
    sd.packet_index = 0;
    sd.byte_pos = at; // at most 1 + 7 x 2 + 7 x 4 bytes: always inside the sector
}

} // namespace

int sd_close() {
    for (sd_area &a : sd.areas) free_area(a);
    std::free(sd.master_toc);
    sd.master_toc = nullptr;
    sd.area_count = 0;
    sd.twoch_area = -1;
    sd.mulch_area = -1;
    sd.area_type = SD_AREA_NONE;
    clear_parser();
    return 1;
}

int sd_read_blocks_raw(uint32_t lsn, uint32_t count, uint8_t *buffer) {
    // Sector by sector: a read through the window never spans more than it.
    for (uint32_t i = 0; i < count; ++i) {
        if (!read_at(sector_position(uint64_t{lsn} + i), buffer + uint64_t{i} * SACD_SECTOR_SIZE,
                     SACD_SECTOR_SIZE)) {
            ++sd.read_errors;
            return 0;
        }
    }
    return 1;
}

int sd_read_master_toc() {
    constexpr uint32_t bytes = SACD_MASTER_TOC_SECTORS * SACD_SECTOR_SIZE;
    sd.master_toc = static_cast<uint8_t *>(std::malloc(bytes));
    if (!sd.master_toc) return 0;
    if (!sd_read_blocks_raw(SACD_MASTER_TOC_LSN, SACD_MASTER_TOC_SECTORS, sd.master_toc)) return 0;
    const uint8_t *m = sd.master_toc;
    if (!id_is(m, "SACDMTOC") || !version_ok(m)) return 0;
    for (uint32_t s = 1; s < 9; ++s)
        if (!id_is(m + s * SACD_SECTOR_SIZE, "SACDText")) return 0;
    return id_is(m + 9 * SACD_SECTOR_SIZE, "SACD_Man") ? 1 : 0;
}

int sd_read_area_toc(int slot) {
    if (slot < 0 || slot > 1) return 0;
    sd_area &a = sd.areas[slot];
    const uint8_t *h = a.toc;
    if (!h || a.toc_sectors == 0) return 0;
    if (!(id_is(h, "TWOCHTOC") || id_is(h, "MULCHTOC")) || !version_ok(h)) return 0;
    a.header = h;
    a.channel_count = h[32];
    a.track_count = h[69];
    const bool two_channel = a.channel_count == 2 && (h[33] & 0x1F) == 0;
    (two_channel ? sd.twoch_area : sd.mulch_area) = slot;

    // The scan never goes past the sectors loaded, whatever the TOC says.
    const uint32_t limit = std::min<uint32_t>(be16(h + 10), a.toc_sectors);
    for (uint32_t s = 1; s < limit;) {
        const uint8_t *sector = h + s * SACD_SECTOR_SIZE;
        if (id_is(sector, "SACDTTxt")) {
            if (!a.track_text) a.track_text = sector;
            s += 1;
        } else if (id_is(sector, "SACD_IGL")) {
            s += IGL_SECTORS;
        } else if (id_is(sector, "SACD_ACC")) {
            s += ACC_SECTORS;
        } else if (id_is(sector, "SACDTRL1")) {
            if (!a.track_list1) a.track_list1 = sector;
            s += 1;
        } else if (id_is(sector, "SACDTRL2")) {
            if (!a.track_list2) a.track_list2 = sector;
            s += 1;
        } else {
            break;
        }
    }
    if (a.track_text)
        for (int t = 0; t < a.track_count; ++t)
            a.titles[t] = title_of(a.track_text, be16(a.track_text + TEXT_OFFSET_AT + 2 * t));
    return 1;
}

int sd_open() {
    sd_close();
    sd.pending_advance = 0;
    sd.sector_size = 0;
    sd.read_errors = 0;

    uint8_t id[8];
    if (read_at(uint64_t{SACD_MASTER_TOC_LSN} * SACD_SECTOR_SIZE, id, 8) &&
        std::memcmp(id, "SACDMTOC", 8) == 0)
        sd.sector_size = SACD_SECTOR_SIZE;
    if (read_at(uint64_t{SACD_MASTER_TOC_LSN} * SACD_RAW_SECTOR_SIZE + SACD_RAW_DATA_OFFSET, id,
                8) &&
        std::memcmp(id, "SACDMTOC", 8) == 0)
        sd.sector_size = SACD_RAW_SECTOR_SIZE;
    ci->ci_seek_buffer_raw(0);
    if (sd.sector_size == 0 || !sd_read_master_toc()) {
        sd_close();
        return 0;
    }

    for (int n = 0; n < 2; ++n) {
        uint8_t *lsn_field = sd.master_toc + AREA_TOC_LSN_AT[n];
        const uint32_t start = be32(lsn_field);
        const uint32_t size = be16(sd.master_toc + AREA_TOC_SIZE_AT[n]);
        if (start == 0) continue;
        // An empty, absurd or truncated area TOC is an unreadable area:
        // nothing is allocated for it.
        if (size == 0 || size > SACD_AREA_TOC_MAX_SECTORS ||
            !sector_present(uint64_t{start} + size - 1)) {
            std::memset(lsn_field, 0, 4);
            continue;
        }
        sd_area &a = sd.areas[sd.area_count];
        a.toc = static_cast<uint8_t *>(std::malloc(std::size_t{size} * SACD_SECTOR_SIZE));
        if (!a.toc) {
            sd_close();
            return 0;
        }
        if (!sd_read_blocks_raw(start, size, a.toc)) {
            free_area(a);
            std::memset(lsn_field, 0, 4);
            continue;
        }
        a.toc_sectors = size;
        if (sd_read_area_toc(sd.area_count))
            ++sd.area_count;
        else
            free_area(a); // the next area takes the record
    }
    return 1;
}

int sd_set_track(int track, int area_type, uint32_t lsn_offset) {
    clear_parser();
    sd.area_type = SD_AREA_NONE;
    sd.pending_advance = 0;
    const sd_area *a = area_of(area_type);
    if (!a || track < 0 || track >= a->track_count || !a->track_list1) return 0;
    const uint8_t *list = a->track_list1;
    sd.start_lsn = uint64_t{be32(list + TRACK_START_AT + 4 * track)} + lsn_offset;
    sd.end_lsn = sd.start_lsn + be32(list + TRACK_LENGTH_AT + 4 * track);
    sd.lsn = sd.start_lsn;
    sd.channel_count = a->channel_count;
    sd.area_type = area_type;
    sd.track = track;
    ci->ci_seek_buffer_raw(sd.lsn * sd.sector_size);
    return 1;
}

int sd_read_frame(uint8_t *buffer, int32_t *size, int32_t *type) {
    sd.read_errors = 0;
    if (sd.area_type == SD_AREA_NONE) {
        *type = SD_FRAME_END;
        return 0;
    }
    // Frames are assembled in the caller's buffer: no frame outlives a call
    // (the packet that completes one starts the next at the next call).
    const uint32_t capacity = static_cast<uint32_t>(std::clamp(*size, 0, SACD_FRAME_MAX));
    uint32_t sectors_read = 0;
    for (;;) {
        const bool sector_done = sd.packet_index >= sd.packet_count;
        // End of the track, once the packets of its last sector are used up.
        if (sector_done && sd.lsn >= sd.end_lsn) {
            if (!sd.frame_in_progress) {
                *type = SD_FRAME_END;
                return 0;
            }
            // The track ends inside a frame: what there is of it.
            *size = static_cast<int32_t>(sd.frame_length);
            *type = sd.frame_dst;
            sd.frame_in_progress = false;
            return 1;
        }
        // A format error (a frame beyond the capacity, a packet beyond its
        // sector) ends the track.
        if (sd.read_errors > 0) {
            clear_parser();
            *type = SD_FRAME_END;
            return 1;
        }
        if (sector_done) {
            if (sectors_read == SD_SCAN_SECTORS) {
                *size = 0;
                *type = SD_FRAME_PENDING;
                return 0;
            }
            ++sectors_read;
            if (sd.pending_advance) ci->ci_advance_buffer_raw(sd.pending_advance);
            sd.pending_advance = 0;
            uint32_t available = 0;
            const auto *p =
                static_cast<const uint8_t *>(ci->ci_request_buffer_raw(&available, sd.sector_size));
            if (!p) {
                ++sd.read_errors;
                *type = SD_FRAME_READ_ERROR;
                return 0;
            }
            if (available < sd.sector_size) {
                // The image ends inside the track: the track ends here.
                sd.end_lsn = sd.lsn;
                continue;
            }
            ++sd.lsn;
            sd.pending_advance = sd.sector_size;
            parse_sector(sd.sector_size == SACD_RAW_SECTOR_SIZE ? p + SACD_RAW_DATA_OFFSET : p);
        }
        while (sd.packet_index < sd.packet_count && sd.read_errors == 0) {
            const uint16_t info = sd.packet_info[sd.packet_index];
            bool frame_start = info & 0x8000;
            const bool audio = ((info >> 11) & 7) == DATA_TYPE_AUDIO;
            const uint32_t length = info & 0x7FF;
            if (audio && frame_start && !sd.frame_in_progress && sd.skip_starts > 0) {
                --sd.skip_starts;
                frame_start = false; // stepped over with its packets
            }
            if (audio && frame_start && sd.frame_in_progress) {
                // Complete; this packet starts the next frame at the next call.
                *size = static_cast<int32_t>(sd.frame_length);
                *type = sd.frame_dst;
                sd.frame_in_progress = false;
                return 1;
            }
            if (audio && frame_start) {
                sd.frame_in_progress = true;
                sd.frame_length = 0;
                sd.frame_dst = sd.frame_header & 1;
            }
            if (audio && sd.frame_in_progress) {
                if (sd.frame_length + length > capacity ||
                    sd.byte_pos + length > SACD_SECTOR_SIZE) {
                    ++sd.read_errors;
                    break;
                }
                std::memcpy(buffer + sd.frame_length, sd.sector + sd.byte_pos, length);
                sd.frame_length += length;
            }
            // Other data types, and audio before the first frame start, are
            // stepped over.
            sd.byte_pos += length;
            ++sd.packet_index;
        }
    }
}

namespace {

constexpr uint32_t SEEK_SCAN = 16;  // sectors looked through for a frame start
constexpr int SEEK_PROBES = 64;     // bisection steps at most
constexpr uint64_t SEEK_WALK = 256; // sectors walked after the bisection at most

// The time codes (in frames of 1/75 s; -1 when malformed) of the frames
// starting in the sector at lsn, from its frame infos.
struct sector_codes {
    int count = 0;
    std::array<int64_t, SACD_MAX_PACKETS> code{};
};

bool read_codes(uint64_t lsn, sector_codes &out) {
    uint8_t h[1 + 2 * SACD_MAX_PACKETS + 4 * SACD_MAX_PACKETS];
    if (!read_at(sector_position(lsn), h, sizeof h)) return false;
    const uint32_t info_size = (h[0] & 1) ? 4 : 3;
    uint32_t at = 1 + 2 * (h[0] >> 5);
    out.count = (h[0] >> 2) & 7;
    for (int i = 0; i < out.count; ++i, at += info_size) {
        const uint8_t m = h[at], s = h[at + 1], f = h[at + 2];
        out.code[i] = s < 60 && f < 75 ? (m * 60 + s) * 75 + f : -1;
    }
    return true;
}

// The first time code at lsn or within SEEK_SCAN sectors after it (before
// limit), lsn moved to its sector; -1 when there is none.
int64_t first_code(uint64_t &lsn, uint64_t limit) {
    sector_codes c;
    for (uint32_t n = 0; n < SEEK_SCAN && lsn < limit; ++n, ++lsn)
        if (!read_codes(lsn, c))
            return -1;
        else if (c.count > 0)
            return c.code[0];
    return -1;
}

// The next frame read is the one after skip frame starts at lsn.
void read_from(uint64_t lsn, int32_t skip) {
    clear_parser();
    sd.pending_advance = 0;
    sd.lsn = lsn;
    sd.skip_starts = skip;
    ci->ci_seek_buffer_raw(lsn * sd.sector_size);
}

} // namespace

int sd_seek_frame(uint32_t frame, uint32_t total) {
    if (sd.area_type == SD_AREA_NONE) return SD_SEEK_NONE;
    uint64_t lo = sd.start_lsn, hi = sd.end_lsn;
    const int64_t base = first_code(lo, hi);
    if (base >= 0) {
        const int64_t target = base + frame;
        // lo: a sector whose first code is at most the target.
        for (int n = 0; n < SEEK_PROBES && hi - lo > SEEK_SCAN; ++n) {
            const uint64_t mid = lo + (hi - lo) / 2;
            uint64_t at = mid;
            const int64_t code = first_code(at, hi);
            if (code >= 0 && code <= target)
                lo = at;
            else
                hi = mid;
        }
        sector_codes c;
        uint64_t s = lo;
        for (; s < sd.end_lsn && s - lo < SEEK_WALK && read_codes(s, c); ++s) {
            int i = 0;
            while (i < c.count && c.code[i] < target) ++i;
            if (i < c.count && c.code[i] == target) {
                read_from(s, i);
                return SD_SEEK_EXACT;
            }
            if (i < c.count) break; // passed by: the codes do not agree
        }
        if (s >= sd.end_lsn) return SD_SEEK_END;
    }
    if (total == 0) return SD_SEEK_NONE;
    read_from(sd.start_lsn + (sd.end_lsn - sd.start_lsn) * frame / total, 0);
    return SD_SEEK_NEAR;
}

int32_t sd_track_count(int area_type) {
    const sd_area *a = area_of(area_type);
    return a ? a->track_count : 0;
}

bool sd_track_time(int area_type, int track, uint8_t *minutes, uint8_t *seconds, uint8_t *frames) {
    const sd_area *a = area_of(area_type);
    if (!a || track < 0 || track >= a->track_count || !a->track_list2) return false;
    const uint8_t *p = a->track_list2 + TRACK_TIME_AT + 4 * track;
    *minutes = p[0];
    *seconds = p[1];
    *frames = p[2];
    return true;
}

const char *sd_track_title(int area_type, int track) {
    const sd_area *a = area_of(area_type);
    if (!a || track < 0 || track >= a->track_count) return nullptr;
    return a->titles[track];
}

} // namespace pipd
