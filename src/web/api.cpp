#include "web/api.h"

#include "client/queue_report.h"
#include "core/queue.h"
#include "protocol/commands.h"

namespace pipd::web {

namespace {

using json = nlohmann::json;

// Cue positions travel in the word's low 7 bits.
constexpr long TRACK_LIMIT = CUE_POSITION_MASK + 1;

} // namespace

std::optional<json> queue_for_api(std::string_view report) {
    auto q = client::parse_queue_report(report);
    if (!q) return std::nullopt;
    json entries = json::array();
    for (std::size_t i = 0; i < q->size(); ++i) {
        const client::report_entry &e = (*q)[i];
        if (!e.title) return std::nullopt;
        // The entry number is the jump word's index: the count over 128.
        long index = static_cast<long>(i);
        if (e.count)
            if (auto n = client::decimal_text(*e.count); n && *n >= 0)
                index = *n >> QUEUE_JUMP_SHIFT;
        json out = {{"entry", index}, {"path", *e.title}};
        if (e.has_cues) {
            json tracks = json::array();
            for (std::size_t k = 0; k < e.cues.size(); ++k) {
                long start = 0;
                if (k < e.offsets.size() && e.offsets[k])
                    start = client::decimal_text(*e.offsets[k]).value_or(0);
                tracks.push_back({{"track", static_cast<long>(k)},
                                  {"title", e.cues[k].value_or("")},
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
    if (auto word = command_word(name)) return r.word = *word, r;
    if (name == "seek") {
        // Past SEEK_MS_MAX (12 days) no track plays on: refused, not clamped.
        // JSON integers from 0 on parse as unsigned, negative ones as signed.
        auto ms = j.find("ms");
        if (ms == j.end() || !ms->is_number_unsigned() || ms->get<uint64_t>() > SEEK_MS_MAX)
            return r.error = "seek needs an integer \"ms\" in 0.." + std::to_string(SEEK_MS_MAX), r;
        return r.word = seek_word(ms->get<uint64_t>()), r;
    }
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
    r.word = queue_jump_word(static_cast<int32_t>(e), static_cast<int32_t>(t));
    return r;
}

} // namespace pipd::web
