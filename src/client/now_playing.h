// What is playing, by name: the tags of the file (or cue or disc track) a
// status shows, for pipd-ctl.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "client/queue_report.h"
#include "client/status_source.h"
#include "meta/track_meta.h"

namespace pipd::client {

struct now_playing {
    std::optional<meta::track_meta> tags;
    std::string name;    // file name, and the cue or disc track's title: without tags
    long elapsed_ms = 0; // in the track's own time (a cue or disc track's)
    long length_ms = 0;  // 0 when not known
    int track = 0;       // cue or disc track from 1; 0 for a whole file
};

// The file a client path ("media/pi/...") names on this system.
std::string media_file(const std::string &client_path);

// Reads the tags of the file the status names (one file's read).
now_playing describe(const status &s, const std::vector<queue_entry> &q);

// "Artist — Title (Album)  1:23 / 4:56" when tags name a title; the name
// otherwise. Texts made safe for a terminal.
std::string headline(const now_playing &n, bool with_time = true);

// The tags as JSON fields, null for what is not known.
nlohmann::json tags_json(const std::optional<meta::track_meta> &tags);

} // namespace pipd::client
