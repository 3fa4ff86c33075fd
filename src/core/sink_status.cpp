#include "core/sink_status.h"

#include <cstdlib>

#include "core/runtime_file.h"

namespace pipd {

namespace {

// The next word of line (up to a space), removed from it with the space.
std::string_view word(std::string_view &line) {
    std::size_t end = line.find(' ');
    std::string_view w = line.substr(0, end);
    line.remove_prefix(end == std::string_view::npos ? line.size() : end + 1);
    return w;
}

} // namespace

std::string format_sink_status(const sink_status &s) {
    std::string text = "pid " + std::to_string(s.pid) + "\n";
    for (const auto &o : s.outputs)
        text += "output " + o.kind + " " + o.state + " " + (o.format.empty() ? "-" : o.format) +
                " " + o.target + "\n";
    return text;
}

std::optional<sink_status> parse_sink_status(std::string_view text) {
    sink_status s;
    while (!text.empty()) {
        std::size_t eol = text.find('\n');
        if (eol == std::string_view::npos) return std::nullopt; // cut short
        std::string_view line = text.substr(0, eol);
        text.remove_prefix(eol + 1);
        std::string_view key = word(line);
        if (key == "pid") {
            std::string digits(line);
            char *end = nullptr;
            s.pid = std::strtol(digits.c_str(), &end, 10);
            if (digits.empty() || *end || s.pid <= 0) return std::nullopt;
        } else if (key == "output") {
            sink_output_status o;
            o.kind = word(line);
            o.state = word(line);
            o.format = word(line);
            o.target = line;
            if (o.kind.empty() || o.state.empty() || o.format.empty()) return std::nullopt;
            s.outputs.push_back(std::move(o));
        }
        // Other keys: from a newer pipd-sink, skipped.
    }
    if (s.pid <= 0) return std::nullopt;
    return s;
}

std::optional<sink_status> running_sink(const std::string &path) {
    auto s = parse_sink_status(read_runtime_file(path));
    if (!s || !process_alive(s->pid)) return std::nullopt;
    return s;
}

} // namespace pipd
