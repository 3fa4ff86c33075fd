// Where the music stopped: the entry playing and the position in it, kept in
// a small file beside the `last` file, so that after a power cut the player
// goes on where the listener was. The `last` file keeps its own format.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "core/queue.h"

namespace pipd {

inline constexpr int64_t RESUME_SAVE_INTERVAL_S = 30; // at most one write per interval
inline constexpr uint32_t RESUME_BACK_MS = 5000;      // replayed before the saved position

// Writes bytes to path through a hidden file beside it that is synced and
// renamed over it: a power cut leaves the old file or the new one, never a
// torn one. False when it could not.
bool write_file_atomically(const char *path, const void *bytes, std::size_t n);

// The resume file beside the `last` file (gen_lastname has named that).
const char *resume_file_name();

// Notes the position of the entry playing. Written when forced (a pause,
// power off) or when the last write is RESUME_SAVE_INTERVAL_S old, and never
// when entry and position are those written last. Disc images are not noted.
void resume_note(bool force);

// A new track starts: the interval counts from now.
void resume_track_started();

// The position saved for the entry at path, in ms; nothing when the file is
// missing, damaged, foreign or names another entry.
std::optional<uint32_t> resume_position(const char *path);

// The position a saved one resumes at: RESUME_BACK_MS earlier, but not before
// the start of its track (of its cue track, when the entry has them).
uint32_t resume_target(uint32_t saved_ms, const play_entry &entry);

// Forgets what was written (a new scan, tests).
void resume_reset();

} // namespace pipd
