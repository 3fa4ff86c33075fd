// Test helper: SACD disc images written sector by sector from a description
// (areas, tracks with their frames and texts, how the audio is cut into
// packets), in 2048-byte or 2064-byte raw sectors. Only the sectors that
// carry something are written; the file is sparse elsewhere, so an image
// over 4 GiB costs no disk. Every byte the reader must not use is junk:
// the 16 bytes around the user data of a raw sector, the unused fields of
// the TOCs, the bytes after the last packet of an audio sector.
//
// build() lays the image out; the sectors can then be damaged through
// sector(lsn) before write().
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <optional>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

#include "files.h" // beside this file: the fuzz targets and benchmarks include it too

namespace pipd::testing {

inline constexpr uint32_t USER = 2048;
inline constexpr uint32_t FRAME = 9408; // a two-channel DSD frame
inline constexpr uint64_t FIRST_AREA_TOC = 540;

// Deterministic bytes that are never zero.
inline uint8_t junk_byte(uint64_t i) {
    uint64_t x = (i + 1) * 0x9E3779B97F4A7C15ull;
    x ^= x >> 29;
    return static_cast<uint8_t>((x >> 24) | 1);
}
inline bytes junk(std::size_t n, uint64_t seed) {
    bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = junk_byte(seed * 7919 + i);
    return b;
}
// A noise-like DSD frame (xorshift): every byte value, no pattern.
inline bytes dsd_frame(uint32_t seed, std::size_t n = FRAME) {
    bytes b(n);
    uint32_t x = seed * 2654435761u + 1;
    for (auto &v : b) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        v = static_cast<uint8_t>(x >> 23);
    }
    return b;
}

struct track {
    std::vector<bytes> frames;                         // as the reader must deliver them
    std::vector<std::pair<uint8_t, std::string>> text; // items (type, text); type 1 is the title
    std::array<uint8_t, 3> time{0, 0, 1};              // duration: minutes, seconds, frames
    uint64_t lsn = 0;                                  // first sector; 0: after the track before
    std::optional<uint32_t> start_entry, length_entry; // track list entries other than the truth
};

// How a track's audio becomes packets and sectors.
struct packing {
    uint32_t max_packet = 2047; // payload bytes of an audio packet at most
    int side_packets_every = 0; // after every n-th audio packet: supplementary + padding packet
    uint32_t lead_in = 0;       // bytes of audio packets before the first frame start
    int empty_sector_every = 0; // after every n-th sector: empty_sectors with packet count 0
    bool dst = false;           // DST bit and 4-byte frame infos
    int empty_sectors = 1;
    bool time_codes = true; // frame infos: each frame's time code in the area; else junk
};

struct area {
    std::string id = "TWOCHTOC";
    uint8_t channels = 2;
    uint8_t speakers = 0;
    uint8_t version_major = 1;
    uint8_t version_minor = 20;
    std::vector<track> tracks;
    packing pack;
    bool skip_sectors = true;            // "SACD_IGL" and "SACD_ACC" ahead of the track lists
    std::optional<uint16_t> master_size; // size in the master TOC other than the truth
    std::optional<uint32_t> master_lsn;  // start in the master TOC other than the truth
    // Filled by build():
    uint64_t toc_lsn = 0;
    uint32_t toc_sectors = 0;
    std::vector<std::pair<uint64_t, uint32_t>> placed; // each track's start and length
};

class image {
  public:
    uint32_t sector_size = 2048;
    std::vector<area> areas; // area 1 and area 2 of the master TOC
    uint64_t file_size = 0;  // when larger than what the sectors need
    uint64_t first_area_toc = FIRST_AREA_TOC;
    uint64_t audio_gap = 7;                // sectors between the TOCs and the audio
    std::string album_title, album_artist; // the first text channel's, when not empty

    image &build() {
        sectors_.clear();
        uint64_t next = first_area_toc;
        for (auto &a : areas) {
            a.toc_lsn = next;
            a.toc_sectors = a.skip_sectors ? 4 + 2 + 32 : 4;
            next += a.toc_sectors;
        }
        next += audio_gap;
        for (auto &a : areas) {
            a.placed.clear();
            uint32_t code = 150; // the area's audio starts at 0:02:00
            for (auto &t : a.tracks) {
                const uint64_t start = t.lsn ? t.lsn : next;
                const std::vector<bytes> s = audio_sectors(t, a.pack, start, code);
                code += static_cast<uint32_t>(t.frames.size());
                for (std::size_t i = 0; i < s.size(); ++i) sectors_[start + i] = s[i];
                a.placed.emplace_back(start, static_cast<uint32_t>(s.size()));
                next = start + s.size();
            }
        }
        master_toc();
        for (auto &a : areas) area_toc(a);
        return *this;
    }

    // User data of a sector (created as junk when the layout has none).
    bytes &sector(uint64_t lsn) {
        auto it = sectors_.find(lsn);
        if (it == sectors_.end()) it = sectors_.emplace(lsn, junk(USER, lsn)).first;
        return it->second;
    }
    void drop_sector(uint64_t lsn) { sectors_.erase(lsn); }

    bool write(const std::string &path) const {
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0) return false;
        bool ok = true;
        uint64_t end = 0;
        for (const auto &[lsn, data] : sectors_) {
            bytes raw;
            if (sector_size == 2064) {
                raw = junk(12, ~lsn);
                raw.insert(raw.end(), data.begin(), data.end());
                const bytes tail = junk(4, lsn ^ 0x5555);
                raw.insert(raw.end(), tail.begin(), tail.end());
            } else {
                raw = data;
            }
            const uint64_t at = lsn * sector_size;
            ok = ok && ::pwrite(fd, raw.data(), raw.size(), static_cast<off_t>(at)) ==
                           static_cast<ssize_t>(raw.size());
            end = std::max(end, at + raw.size());
        }
        ok = ok && ::ftruncate(fd, static_cast<off_t>(std::max(end, file_size))) == 0;
        return ::close(fd) == 0 && ok;
    }

  private:
    struct packet {
        bool start;
        int type;
        bytes data;
        uint32_t frame = 0;
    };

    static std::vector<packet> packets_of(const track &t, const packing &pk, uint64_t seed) {
        std::vector<packet> out;
        int audio = 0;
        uint32_t frame = 0;
        auto add = [&](bool start, const uint8_t *p, std::size_t n) {
            out.push_back({start, 2, bytes(p, p + n), frame});
            if (pk.side_packets_every && ++audio % pk.side_packets_every == 0) {
                // A frame-start flag on another data type must not end a frame.
                out.push_back({true, 3, junk(37, seed + out.size())});
                out.push_back({false, 7, bytes(11, 0)});
            }
        };
        auto split = [&](const bytes &b, bool start) {
            std::size_t at = 0;
            do {
                const std::size_t n = std::min<std::size_t>(pk.max_packet, b.size() - at);
                add(start && at == 0, b.data() + at, n);
                at += n;
            } while (at < b.size());
        };
        if (pk.lead_in) split(junk(pk.lead_in, seed), false);
        for (const auto &f : t.frames) split(f, true), ++frame;
        return out;
    }

    static std::vector<bytes> audio_sectors(const track &t, const packing &pk, uint64_t lsn,
                                            uint32_t first_code) {
        const std::vector<packet> packets = packets_of(t, pk, lsn);
        const std::size_t info = pk.dst ? 4 : 3;
        std::vector<bytes> out;
        std::size_t i = 0, used = 0; // packet, bytes of it already placed
        int filled = 0;              // sectors with packets
        while (i < packets.size()) {
            std::vector<uint16_t> infos;
            bytes payload;
            int starts = 0;
            std::vector<uint32_t> codes;
            while (i < packets.size() && infos.size() < 7) {
                const packet &p = packets[i];
                const bool starts_frame = p.type == 2 && p.start && used == 0;
                if (starts_frame && starts == 7) break;
                const std::size_t head =
                    1 + 2 * (infos.size() + 1) + info * (starts + (starts_frame ? 1 : 0));
                if (head + payload.size() >= USER) break;
                const std::size_t room = USER - head - payload.size();
                const std::size_t left = p.data.size() - used;
                if (left > room && p.type != 2) break; // other packets are never split
                const std::size_t take = std::min(left, room);
                infos.push_back(static_cast<uint16_t>((p.start && used == 0 ? 0x8000 : 0) |
                                                      p.type << 11 | take));
                payload.insert(payload.end(), p.data.begin() + used, p.data.begin() + used + take);
                starts += starts_frame;
                if (starts_frame) codes.push_back(first_code + p.frame);
                used += take;
                if (used == p.data.size()) ++i, used = 0;
            }
            const uint64_t at = lsn + out.size();
            bytes s = junk(USER, at * 31 + 7);
            s[0] = static_cast<uint8_t>(infos.size() << 5 | starts << 2 | (pk.dst ? 1 : 0));
            std::size_t k = 1;
            for (uint16_t v : infos) store_be(&s[k], v, 2), k += 2;
            for (uint32_t c : codes) { // frame infos: minutes, seconds, frames
                if (pk.time_codes)
                    s[k] = static_cast<uint8_t>(c / 4500), s[k + 1] = c / 75 % 60,
                    s[k + 2] = c % 75;
                k += info;
            }
            std::memcpy(&s[k], payload.data(), payload.size());
            out.push_back(std::move(s));
            if (pk.empty_sector_every && ++filled % pk.empty_sector_every == 0)
                for (int n = 0; n < pk.empty_sectors; ++n) {
                    bytes e = junk(USER, at * 31 + 11 + static_cast<uint64_t>(n));
                    e[0] = static_cast<uint8_t>(pk.dst ? 1 : 0);
                    out.push_back(std::move(e));
                }
        }
        return out;
    }

    static void id(bytes &s, const char *text) { std::memcpy(s.data(), text, 8); }

    void master_toc() {
        bytes &m = sector(510) = junk(USER, 510);
        id(m, "SACDMTOC");
        m[8] = 1;
        m[9] = 20;
        for (std::size_t n = 0; n < 2; ++n) {
            const area *a = n < areas.size() ? &areas[n] : nullptr;
            store_be(&m[64 + 8 * n], a ? a->master_lsn.value_or(a->toc_lsn) : 0, 4);
            store_be(&m[84 + 2 * n], a ? a->master_size.value_or(a->toc_sectors) : 0, 2);
        }
        for (uint64_t s = 511; s <= 518; ++s) id(sector(s) = junk(USER, s), "SACDText");
        if (!album_title.empty() || !album_artist.empty()) {
            bytes &t = sector(511);
            std::fill(t.begin() + 16, t.begin() + 64, 0); // text pointers: none
            std::size_t at = 64;
            for (auto [pointer, text] : {std::pair{16, &album_title}, {18, &album_artist}}) {
                store_be(&t[pointer], at, 2);
                std::memcpy(&t[at], text->c_str(), text->size() + 1);
                at += text->size() + 1;
            }
        }
        id(sector(519) = junk(USER, 519), "SACD_Man");
    }

    void area_toc(const area &a) {
        uint64_t at = a.toc_lsn;
        bytes &h = sector(at++) = junk(USER, a.toc_lsn);
        std::memcpy(h.data(), a.id.data(), std::min<std::size_t>(8, a.id.size()));
        h[8] = a.version_major;
        h[9] = a.version_minor;
        store_be(&h[10], a.toc_sectors, 2);
        h[32] = a.channels;
        h[33] = static_cast<uint8_t>((h[33] & 0xE0) | a.speakers);
        h[69] = static_cast<uint8_t>(a.tracks.size());
        if (a.skip_sectors) {
            id(sector(at) = junk(USER, at), "SACD_IGL");
            at += 2; // the second is junk
            id(sector(at) = junk(USER, at), "SACD_ACC");
            for (int k = 1; k < 32; ++k) sector(at + k) = junk(USER, at + k);
            at += 32;
        }
        bytes &l1 = sector(at) = junk(USER, at);
        id(l1, "SACDTRL1");
        bytes &l2 = sector(at + 1) = junk(USER, at + 1);
        id(l2, "SACDTRL2");
        bytes &tx = sector(at + 2) = junk(USER, at + 2);
        id(tx, "SACDTTxt");
        std::size_t text_at = 8 + 2 * 255;
        for (std::size_t t = 0; t < a.tracks.size() && t < 255; ++t) {
            const track &tr = a.tracks[t];
            store_be(&l1[8 + 4 * t],
                     tr.start_entry.value_or(static_cast<uint32_t>(a.placed[t].first)), 4);
            store_be(&l1[1028 + 4 * t], tr.length_entry.value_or(a.placed[t].second), 4);
            std::memcpy(&l2[1028 + 4 * t], tr.time.data(), 3);
            if (tr.text.empty()) {
                store_be(&tx[8 + 2 * t], 0, 2);
                continue;
            }
            // Count, three bytes, then the items, each padded with zeros to 4 bytes.
            bytes block{static_cast<uint8_t>(tr.text.size()), 0, 0, 0};
            for (const auto &[type, text] : tr.text) {
                block.push_back(type);
                block.push_back(0);
                block.insert(block.end(), text.begin(), text.end());
                do block.push_back(0);
                while (block.size() % 4);
            }
            if (text_at + block.size() > USER) continue; // no room: no text
            store_be(&tx[8 + 2 * t], text_at, 2);
            std::memcpy(&tx[text_at], block.data(), block.size());
            text_at += block.size();
        }
    }

    std::map<uint64_t, bytes> sectors_;
};

// Three tracks: whole frames and a last frame of 5001 bytes; two frames and
// a last frame of 100 bytes, which ends in the sector where the frame before
// it ends; one frame. Titles: a title item among others, none, two title
// items (the last one counts).
inline std::vector<track> sample_tracks() {
    std::vector<track> t(3);
    t[0].frames = {dsd_frame(1), dsd_frame(2), dsd_frame(3), dsd_frame(4, 5001)};
    t[1].frames = {dsd_frame(5), dsd_frame(6), dsd_frame(7, 100)};
    t[2].frames = {dsd_frame(8)};
    t[0].text = {{1, "Allegro"}, {2, "Someone"}};
    t[1].text = {{2, "Performer only"}};
    t[2].text = {{1, "First"}, {1, "Adagio \xE2\x80\x94 \"live\""}};
    t[0].time = {1, 2, 0};
    t[2].time = {0, 59, 74};
    return t;
}

// An image of one two-channel area.
inline image one_area(std::vector<track> tracks, packing pk = {}, uint32_t sector_size = 2048) {
    image img;
    img.sector_size = sector_size;
    img.areas.resize(1);
    img.areas[0].tracks = std::move(tracks);
    img.areas[0].pack = pk;
    return img;
}

// The sacd fuzz target's inputs: a control byte, then the image's bytes
// from sector 510 on (the master TOC first); bit 1 of the control byte
// selects raw 2064-byte sectors. Sectors before 510 read as zeros.
inline uint32_t fuzz_sector_size(uint8_t control) {
    return control & 2 ? 2064 : 2048;
}
inline uint64_t fuzz_file_start(uint8_t control) {
    return 510 * uint64_t{fuzz_sector_size(control)};
}

} // namespace pipd::testing
