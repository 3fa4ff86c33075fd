// The play queue's records: every playable file under the scan root, sorted
// by path, with the track list of a paired cue sheet.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pipd {

inline constexpr int32_t PLAYLIST_MAX = 2048; // queue entries
inline constexpr std::size_t PATH_SIZE = 512; // path field, NUL included

struct cue_item {
    char title[512];
    uint32_t offset; // start of the track in ms from the start of the file
};

struct play_entry {
    char path[PATH_SIZE];
    int32_t reserved;
    cue_item *cues;   // owned by the entry; meaningful while cuecount > 0
    int32_t cuecount; // 0 when the file is not split by a cue sheet
};

static_assert(offsetof(cue_item, offset) == 512);
static_assert(offsetof(play_entry, reserved) == PATH_SIZE);
static_assert(offsetof(play_entry, cues) >= PATH_SIZE + sizeof(int32_t));
static_assert(offsetof(play_entry, cuecount) == offsetof(play_entry, cues) + sizeof(cue_item *));

struct play_queue {
    play_entry *entries; // PLAYLIST_MAX records in one block
    int32_t count;       // valid entries, 0 to PLAYLIST_MAX
};

extern play_queue plinfo;

// File types by name ending (get_filetype, in the decoder table).
inline constexpr int FILETYPE_NONE = 0;
inline constexpr int FILETYPE_WAV = 1;
inline constexpr int FILETYPE_APE = 2;
inline constexpr int FILETYPE_FLAC = 3;
inline constexpr int FILETYPE_DSF = 4;
inline constexpr int FILETYPE_MP3 = 5;
inline constexpr int FILETYPE_ISO = 6;
inline constexpr int FILETYPE_DFF = 7;
inline constexpr int FILETYPE_CUE = 8;
inline constexpr int FILETYPE_MBI = 32;

// Allocates and zeroes the queue block once; false when it cannot be had.
bool plinfo_alloc();

} // namespace pipd
