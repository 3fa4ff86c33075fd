// What pipd-sink plays to, for the remotes: a running pipd-sink keeps the
// file SINK_STATUS_PATH (core/paths.h), rewritten whole whenever an output
// changes its state and removed when it stops:
//
//   pid 1234
//   output alsa on - hw:CARD=DAC
//   output snapcast playing 48000:24:2 /run/pipd/snapfifo
//
// One "output KIND STATE FORMAT TARGET" line per output; TARGET (the ALSA
// device or the FIFO) runs to the end of the line, FORMAT is "-" where the
// output has none of its own.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pipd {

struct sink_output_status {
    std::string kind;   // "alsa", "snapcast"
    std::string state;  // alsa: "on"; snapcast: "playing" (writing audio),
                        // "idle" (snapserver reads, the player sends nothing),
                        // "waiting" (no snapserver reads the FIFO)
    std::string format; // "RATE:BITS:CHANNELS" or "-"
    std::string target;
};

struct sink_status {
    long pid = 0;
    std::vector<sink_output_status> outputs;
};

std::string format_sink_status(const sink_status &s);
// Nothing when the text is not such a file.
std::optional<sink_status> parse_sink_status(std::string_view text);
// The status of the pipd-sink that runs now, if any: a file left by one that
// was killed names a process that is gone.
std::optional<sink_status> running_sink(const std::string &path);

} // namespace pipd
