// SACD disc image reader: recognises the sector format (2048-byte user data
// or 2064-byte raw sectors), reads the master TOC and the area TOCs, keeps
// each track's position, length, duration and title, and delivers the audio
// of one track frame by frame, reassembled from the packets of its sectors.
// It decodes nothing: a frame goes out unchanged with a flag that says
// whether it is plain DSD or DST-coded.
//
// All file access goes through the codec API. File positions are formed in
// 64 bits (LSN x sector size), so every sector of an image over 4 GiB is
// reached. The reader's tables (master TOC, area TOCs, titles) are allocated
// by sd_open and released by sd_close; nothing is allocated while frames
// are read.
#pragma once

#include <array>
#include <cstdint>

namespace pipd {

inline constexpr uint32_t SACD_SECTOR_SIZE = 2048;     // user data of a sector
inline constexpr uint32_t SACD_RAW_SECTOR_SIZE = 2064; // raw sector of an image
inline constexpr uint32_t SACD_RAW_DATA_OFFSET = 12;   // user data inside a raw sector
inline constexpr uint32_t SACD_MASTER_TOC_LSN = 510;
inline constexpr uint32_t SACD_MASTER_TOC_SECTORS = 10;
// Area TOCs of real discs take a few dozen sectors; a size beyond this is
// refused instead of allocated.
inline constexpr uint32_t SACD_AREA_TOC_MAX_SECTORS = 2048;
inline constexpr int SACD_MAX_TRACKS = 255;
inline constexpr int SACD_MAX_PACKETS = 7;       // packets and frame infos per sector
inline constexpr int32_t SACD_FRAME_MAX = 65536; // largest frame ever assembled

// Area types of sd_set_track and of the current track.
inline constexpr int SD_AREA_NONE = 0;
inline constexpr int SD_AREA_TWO_CHANNEL = 1;
inline constexpr int SD_AREA_MULTI_CHANNEL = 2;

// Frame types of sd_read_frame.
inline constexpr int32_t SD_FRAME_DSD = 0;
inline constexpr int32_t SD_FRAME_DST = 1;
inline constexpr int32_t SD_FRAME_END = -1;        // end of track or format error
inline constexpr int32_t SD_FRAME_READ_ERROR = -2; // the image cannot be read
// No frame completed within SD_SCAN_SECTORS sectors: nothing is delivered,
// the caller may poll its commands and ask again (with the same buffer: a
// frame in progress goes on in it).
inline constexpr int32_t SD_FRAME_PENDING = -3;
inline constexpr uint32_t SD_SCAN_SECTORS = 64;

struct sd_area {
    uint8_t *toc;               // the area TOC's sectors (user data), owned
    uint32_t toc_sectors;       // sectors loaded
    const uint8_t *header;      // first sector of the area TOC
    const uint8_t *track_list1; // "SACDTRL1": start LSNs and lengths, or null
    const uint8_t *track_list2; // "SACDTRL2": durations, or null
    const uint8_t *track_text;  // first "SACDTTxt", or null
    int32_t track_count;
    int32_t channel_count;
    std::array<char *, SACD_MAX_TRACKS> titles; // owned NUL-terminated copies, or null
};

struct sd_reader {
    uint32_t pending_advance; // bytes of the current sector still to release
    uint8_t *master_toc;      // 10 sectors, owned
    int32_t twoch_area;       // area index, -1 when absent
    int32_t mulch_area;       // area index, -1 when absent
    int32_t area_count;       // area records filled
    std::array<sd_area, 2> areas;
    // Current track.
    int32_t area_type;
    int32_t track;
    uint64_t start_lsn;
    uint64_t end_lsn; // start LSN + length: the first sector after the track
    uint64_t lsn;     // next sector to read
    int32_t channel_count;
    // Sector parser.
    uint8_t frame_header;
    std::array<uint16_t, SACD_MAX_PACKETS> packet_info;
    std::array<std::array<uint8_t, 4>, SACD_MAX_PACKETS> frame_info;
    int32_t packet_count;
    int32_t packet_index; // next packet to process
    // Frame assembly (in the caller's buffer).
    uint32_t frame_length;
    bool frame_in_progress;
    int32_t skip_starts; // frame starts to step over, as after a seek
    int32_t frame_dst;
    uint32_t sector_size; // 2048, 2064, or 0 when not recognised
    int32_t read_errors;
    const uint8_t *sector; // user data of the current sector, in the input window
    uint32_t byte_pos;     // next packet's first byte in it
};

extern sd_reader sd;

// Detects the sector format and reads the master TOC and both area TOCs.
// 1 when the image was recognised and its master TOC is valid (even if no
// area TOC could be read), 0 otherwise with everything released.
int sd_open();
// Releases the tables; no areas afterwards. Harmless when closed. Returns 1.
int sd_close();
// Reads count sectors of user data from lsn; 1 on success, 0 on a short read.
int sd_read_blocks_raw(uint32_t lsn, uint32_t count, uint8_t *buffer);
// Allocates and reads the master TOC; 1 when all ten sectors check.
int sd_read_master_toc();
// Parses the area TOC loaded into area record slot; 1 when it checks.
int sd_read_area_toc(int slot);
// Selects track (from 0) of the area of area_type (1 two-channel, 2
// multichannel) and positions the input at its first sector; 0 (and no
// track) when there is no such area or track.
int sd_set_track(int track, int area_type, uint32_t lsn_offset);
// Delivers the next frame of the current track into buffer. size: in, the
// capacity; out, the frame length when a frame is delivered. type: out, one
// of the SD_FRAME_ values. Returns 1 when type is DSD or DST, or END after a
// format error; 0 at the end of the track, after a read error, and when the
// call ends PENDING (size 0) after reading SD_SCAN_SECTORS sectors without
// completing a frame, so that a track of endless sectors without audio
// never keeps the caller from its commands.
int sd_read_frame(uint8_t *buffer, int32_t *size, int32_t *type);

// Results of sd_seek_frame.
inline constexpr int SD_SEEK_EXACT = 1; // the next frame read is the one sought
inline constexpr int SD_SEEK_NEAR = 0;  // positioned by proportion, at a frame start
inline constexpr int SD_SEEK_END = -1;  // the track has no such frame
inline constexpr int SD_SEEK_NONE = -2; // not positioned: nothing to go by
// Positions the current track so that the next frame read is frame (from
// 0, 1/75 s each). The time codes of the frame infos, counted from the
// track's first, are searched by bisection over the track's sectors; when
// they are missing or do not agree, the sector in proportion to frame of
// the track's frames (total, 0 when unknown) is taken instead. Reads a
// bounded number of sector headers whatever the image holds.
int sd_seek_frame(uint32_t frame, uint32_t total);

// Lookups in the TOCs read at open.
// Track count of the area of area_type; 0 when there is none.
int32_t sd_track_count(int area_type);
// The duration entry (minutes, seconds, frames of 1/75 s) of a track; false
// when the area has no such track or no track list 2.
bool sd_track_time(int area_type, int track, uint8_t *minutes, uint8_t *seconds, uint8_t *frames);
// A track's title as stored, or null when it has none.
const char *sd_track_title(int area_type, int track);

} // namespace pipd
