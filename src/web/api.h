// The JSON of the web remote's API that is independent of HTTP: the queue
// as served, and commands as they arrive.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "protocol/commands.h"

namespace pipd::web {

// The queue report as the API serves it:
//   {"entries":[{"entry":N,"path":"media/pi/...","tracks":[{"track":K,"title":"...","start":MS}]}]}
// (tracks only for entries split by a cue sheet). Nothing when the text is
// not a queue report.
std::optional<nlohmann::json> queue_for_api(std::string_view report);

// A command request's body, {"command":"next"},
// {"command":"play","entry":N,"track":K} or {"command":"seek","ms":N},
// turned into its command word.
struct command_request {
    int32_t word = 0;
    std::string error; // why the body was refused; empty when it was taken
};
command_request parse_command(std::string_view body);

// Whether record now shows the effect of the command word sent while before
// was the newest record; shifted tells that a record since then changed more
// than the elapsed time (a jump, a seek, a new entry).
bool shows_effect(int32_t word, const nlohmann::json &before, const nlohmann::json &now,
                  bool shifted);

// The command names, in the order the usage lists them.
using pipd::COMMAND_NAMES;

} // namespace pipd::web
