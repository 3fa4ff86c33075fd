#include "web/api.h"

#include <cerrno>
#include <cstdlib>

#include "core/queue.h"
#include "protocol/commands.h"

namespace pipd::web {

namespace {

using json = nlohmann::json;

// A decimal number written as a JSON string, as the daemon's reports have
// them; nothing when it is not one.
std::optional<long> number_text(const json &v) {
    if (!v.is_string()) return std::nullopt;
    const std::string &s = v.get_ref<const std::string &>();
    if (s.empty()) return std::nullopt;
    char *end = nullptr;
    errno = 0;
    long n = std::strtol(s.c_str(), &end, 10);
    if (*end || errno) return std::nullopt;
    return n;
}

struct named_word {
    const char *name;
    int32_t word;
};
constexpr named_word WORDS[] = {
    {"on", PLAYER_ACTION_POWER_ON}, {"off", PLAYER_ACTION_POWER_OFF},
    {"pause", PLAYER_ACTION_PAUSE}, {"next", PLAYER_ACTION_NEXT},
    {"prev", PLAYER_ACTION_PREV},   {"repeat", PLAYER_ACTION_REPEAT},
    {"next-dir", PLAYER_ACTION_NEXT_DIR}, {"prev-dir", PLAYER_ACTION_PREV_DIR},
};

// Cue positions travel in the word's low 7 bits.
constexpr long TRACK_LIMIT = 0x80;

} // namespace

std::optional<json> queue_for_api(std::string_view report) {
    json q = json::parse(report, nullptr, false);
    if (!q.is_array()) return std::nullopt;
    json entries = json::array();
    for (std::size_t i = 0; i < q.size(); ++i) {
        const json &e = q[i];
        if (!e.is_object()) return std::nullopt;
        auto title = e.find("title");
        if (title == e.end() || !title->is_string()) return std::nullopt;
        // The entry number is the jump word's index: the count over 128.
        long index = static_cast<long>(i);
        if (auto count = e.find("count"); count != e.end())
            if (auto n = number_text(*count); n && *n >= 0) index = *n >> 7;
        json out = {{"entry", index}, {"path", *title}};
        auto cues = e.find("cue");
        auto offsets = e.find("cueoffset");
        if (cues != e.end() && cues->is_array()) {
            json tracks = json::array();
            for (std::size_t k = 0; k < cues->size(); ++k) {
                const json &t = (*cues)[k];
                long start = 0;
                if (offsets != e.end() && offsets->is_array() && k < offsets->size())
                    start = number_text((*offsets)[k]).value_or(0);
                tracks.push_back({{"track", static_cast<long>(k)},
                                  {"title", t.is_string() ? t : json("")},
                                  {"start", start}});
            }
            out["tracks"] = std::move(tracks);
        }
        entries.push_back(std::move(out));
    }
    return json{{"entries", std::move(entries)}};
}

bool shows_effect(int32_t word, const json &before, const json &now, bool shifted) {
    auto text = [](const json &j, const char *key) {
        return j.is_object() ? j.value(key, std::string()) : std::string();
    };
    switch (word) {
    case PLAYER_ACTION_POWER_ON:
        return text(now, "status") != "poweroff" && !text(now, "status").empty();
    case PLAYER_ACTION_POWER_OFF:
        return text(now, "status") == "poweroff";
    case PLAYER_ACTION_PAUSE:
        return text(now, "status") != text(before, "status");
    case PLAYER_ACTION_REPEAT:
        return text(now, "repeat") != text(before, "repeat");
    default:
        return shifted;
    }
}

command_request parse_command(std::string_view body) {
    command_request r;
    json j = json::parse(body, nullptr, false);
    if (j.is_discarded()) return r.error = "the body is not JSON", r;
    if (!j.is_object()) return r.error = "the body is not a JSON object", r;
    auto cmd = j.find("command");
    if (cmd == j.end() || !cmd->is_string()) return r.error = "no \"command\" text", r;
    const std::string &name = cmd->get_ref<const std::string &>();
    for (const auto &w : WORDS)
        if (name == w.name) return r.word = w.word, r;
    if (name != "play") return r.error = "unknown command \"" + name + "\"", r;
    auto entry = j.find("entry");
    if (entry == j.end() || !entry->is_number_integer())
        return r.error = "play needs an integer \"entry\"", r;
    long e = entry->get<long>();
    if (e < 0 || e >= PLAYLIST_MAX)
        return r.error = "\"entry\" must lie in 0.." + std::to_string(PLAYLIST_MAX - 1), r;
    long t = 0;
    if (auto track = j.find("track"); track != j.end()) {
        if (!track->is_number_integer()) return r.error = "\"track\" must be an integer", r;
        t = track->get<long>();
        if (t < 0 || t >= TRACK_LIMIT)
            return r.error = "\"track\" must lie in 0.." + std::to_string(TRACK_LIMIT - 1), r;
    }
    r.word = static_cast<int32_t>((e << 7) | t);
    return r;
}

} // namespace pipd::web
