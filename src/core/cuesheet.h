// Cue sheet parser: titles and start times of the tracks of one audio file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace pipd {

inline constexpr int CUE_TEXT_MAX = 240; // bytes of text per field
inline constexpr int CUE_TRACK_MAX = 99;
inline constexpr std::size_t CUE_READ_MAX = 1 << 20; // bytes of a sheet read at most

struct cue_track {
    char title[CUE_TEXT_MAX + 1];
    char performer[CUE_TEXT_MAX + 1];
    char songwriter[CUE_TEXT_MAX + 1];
    int32_t start; // ms from the start of the audio file
};

struct cue_sheet {
    char title[CUE_TEXT_MAX + 1];
    char performer[CUE_TEXT_MAX + 1];
    char songwriter[CUE_TEXT_MAX + 1];
    int32_t count; // TRACK lines counted, 0 to 99
    cue_track tracks[CUE_TRACK_MAX];
};

static_assert(offsetof(cue_track, start) == 724);
static_assert(offsetof(cue_sheet, count) == 724);
static_assert(offsetof(cue_sheet, tracks) == 728);

// Parses the sheet at path into sheet; returns the track count (0 to 99).
// Returns 0 without touching sheet when the file cannot be opened.
int parse_cuesheet(const char *path, cue_sheet *sheet);

} // namespace pipd
