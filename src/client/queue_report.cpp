#include "client/queue_report.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>

#include "core/paths.h"

namespace pipd::client {

namespace {

using json = nlohmann::json;

std::optional<std::string> text_of(const json &v) {
    if (!v.is_string()) return std::nullopt;
    return v.get<std::string>();
}

// Each element of the array at key, or none when it is no array.
bool texts_of(const json &e, const char *key, std::vector<std::optional<std::string>> &out) {
    auto it = e.find(key);
    if (it == e.end() || !it->is_array()) return false;
    for (const json &v : *it) out.push_back(text_of(v));
    return true;
}

} // namespace

std::optional<std::vector<report_entry>> parse_queue_report(std::string_view text) {
    json j = json::parse(text, nullptr, false);
    if (!j.is_array()) return std::nullopt;
    std::vector<report_entry> q;
    for (const json &e : j) {
        if (!e.is_object()) return std::nullopt;
        report_entry r;
        if (auto t = e.find("title"); t != e.end()) r.title = text_of(*t);
        if (auto c = e.find("count"); c != e.end()) r.count = text_of(*c);
        r.has_cues = texts_of(e, "cue", r.cues);
        r.has_offsets = texts_of(e, "cueoffset", r.offsets);
        q.push_back(std::move(r));
    }
    return q;
}

std::optional<long> decimal_text(const std::string &text) {
    if (text.empty()) return std::nullopt;
    char *end = nullptr;
    errno = 0;
    long n = std::strtol(text.c_str(), &end, 10);
    if (*end || errno) return std::nullopt;
    return n;
}

std::optional<std::vector<queue_entry>> parse_queue(const std::string &text) {
    auto report = parse_queue_report(text);
    if (!report) return std::nullopt;
    std::vector<queue_entry> q;
    for (const report_entry &r : *report) {
        queue_entry entry;
        entry.title = r.title ? terminal_text(*r.title) : "";
        if (r.has_cues && r.has_offsets)
            for (std::size_t k = 0; k < r.cues.size() && k < r.offsets.size(); ++k) {
                entry.cues.push_back(r.cues[k] ? terminal_text(*r.cues[k]) : "");
                entry.cue_ms.push_back(
                    r.offsets[k] ? std::strtol(r.offsets[k]->c_str(), nullptr, 10) : 0);
            }
        q.push_back(std::move(entry));
    }
    return q;
}

std::optional<std::string> read_queue_text() {
    std::FILE *f = std::fopen(pipd::QUEUE_FILE_PATH, "rb");
    if (!f) {
        std::fprintf(stderr, "pipd-ctl: cannot read %s: %s (is pipd running?)\n",
                     pipd::QUEUE_FILE_PATH, std::strerror(errno));
        return std::nullopt;
    }
    std::string text;
    char buf[65536];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
    std::fclose(f);
    return text;
}

std::optional<std::vector<queue_entry>> load_queue() {
    auto text = read_queue_text();
    if (!text) return std::nullopt;
    auto q = parse_queue(*text);
    if (!q) std::fprintf(stderr, "pipd-ctl: %s is not a queue report\n", pipd::QUEUE_FILE_PATH);
    return q;
}

std::string clock_text(long ms) {
    long s = ms / 1000;
    char buf[32];
    if (s >= 3600)
        std::snprintf(buf, sizeof buf, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    else
        std::snprintf(buf, sizeof buf, "%ld:%02ld", s / 60, s % 60);
    return buf;
}

position locate(const status &s, const std::vector<queue_entry> &q) {
    position p;
    // A disc image shows "path >track title".
    for (std::size_t i = 0; i < q.size(); ++i) {
        const std::string &t = q[i].title;
        if (s.track == t || s.track.rfind(t + " >", 0) == 0) {
            p.entry = static_cast<long>(i) + 1;
            for (std::size_t k = 0; k < q[i].cues.size(); ++k)
                if (s.elapsed_ms >= q[i].cue_ms[k]) {
                    p.cue = q[i].cues[k];
                    p.cue_start_ms = q[i].cue_ms[k];
                }
            break;
        }
    }
    return p;
}

std::string progress_bar(long elapsed, long length, int width) {
    if (length <= 0) return "";
    long filled = std::clamp(elapsed * width / length, 0L, static_cast<long>(width));
    std::string bar(static_cast<std::size_t>(width) + 2, '-');
    bar.front() = '[';
    bar.back() = ']';
    bar.replace(1, static_cast<std::size_t>(filled), static_cast<std::size_t>(filled), '#');
    return bar;
}

std::string status_line(const status &s, const std::vector<queue_entry> &q) {
    position p = locate(s, q);
    std::string line = s.state;
    line.resize(9, ' ');
    if (p.entry > 0) line += std::to_string(p.entry) + "/" + std::to_string(q.size()) + "  ";
    line += s.track;
    if (!p.cue.empty()) line += " - " + p.cue;
    if (s.state != "poweroff") {
        line += "  " + clock_text(s.elapsed_ms);
        if (s.length_ms > 0)
            line +=
                " / " + clock_text(s.length_ms) + " " + progress_bar(s.elapsed_ms, s.length_ms, 20);
    }
    return line;
}

int parse_repeat(const std::string &text) {
    for (int m = 0; m < 3; ++m)
        if (text == REPEAT_NAMES[m] || text == std::to_string(m)) return m;
    return -1;
}

} // namespace pipd::client
