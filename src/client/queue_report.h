// The queue report the daemon keeps in QUEUE_FILE_PATH: a JSON array of
// entries {"count":"N","title":"path","cue":[...],"cueoffset":["ms",...]}.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "client/status_source.h"

namespace pipd::client {

// One entry as the report has it; texts as they stand, nothing for a field
// that is absent or not a JSON string.
struct report_entry {
    std::optional<std::string> title;
    std::optional<std::string> count; // the entry's jump word, in decimal
    bool has_cues = false;            // "cue" is an array
    bool has_offsets = false;         // "cueoffset" is an array
    std::vector<std::optional<std::string>> cues;
    std::vector<std::optional<std::string>> offsets; // milliseconds, in decimal
};

// Nothing when the text is no JSON array of objects.
std::optional<std::vector<report_entry>> parse_queue_report(std::string_view text);

// A decimal number as the reports write it; nothing when text is not one.
std::optional<long> decimal_text(const std::string &text);

// An entry as pipd-ctl shows it: its texts made safe for a terminal, the cue
// tracks that have a start.
struct queue_entry {
    std::string title;
    std::vector<std::string> cues;
    std::vector<long> cue_ms;
};

std::optional<std::vector<queue_entry>> parse_queue(const std::string &text);
// The report as it stands; nothing, with a message, when it cannot be read.
std::optional<std::string> read_queue_text();
// The report read and parsed; nothing, with a message, when that fails.
std::optional<std::vector<queue_entry>> load_queue();

// The status line of pipd-ctl watch.

// m:ss, or h:mm:ss from an hour on.
std::string clock_text(long ms);

// The queue entry and cue track that a status shows.
struct position {
    long entry = 0; // from 1; 0 when not in the queue
    std::string cue;
    long cue_start_ms = 0; // where the cue track starts in the file; 0 without one
};
position locate(const status &s, const std::vector<queue_entry> &q);

// [###-----] of width cells; "" without a length.
std::string progress_bar(long elapsed, long length, int width);
std::string status_line(const status &s, const std::vector<queue_entry> &q);

// The repeat modes by name, in the order the player steps through them.
inline constexpr const char *REPEAT_NAMES[] = {"all", "one", "dir"};
// The mode of a name or number; -1 for anything else.
int parse_repeat(const std::string &text);

} // namespace pipd::client
