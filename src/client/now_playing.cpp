#include "client/now_playing.h"

#include <cstdlib>

#include "core/paths.h"

namespace pipd::client {

namespace {

using json = nlohmann::json;

constexpr const char *DISC_MARK = " >"; // a disc image's status shows "path >title"
constexpr int DISC_TRACKS_MAX = 255;

std::string raw_track(const status &s) {
    const json j = json::parse(s.text, nullptr, false);
    const auto it = j.is_object() ? j.find("track") : j.end();
    return it != j.end() && it->is_string() ? it->get<std::string>() : s.track;
}

std::string base_name(const std::string &path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

} // namespace

std::string media_file(const std::string &client_path) {
    return std::string(ROOT_PREFIX) + "/" + client_path;
}

now_playing describe(const status &s, const std::vector<queue_entry> &q) {
    now_playing n;
    n.elapsed_ms = s.elapsed_ms;
    n.length_ms = s.length_ms;
    std::string path = raw_track(s);
    if (path.empty()) return n;
    const position p = locate(s, q);
    const std::string entry = p.entry > 0 ? q[p.entry - 1].title : "";
    if (p.entry > 0 && path.size() > entry.size() &&
        path.compare(0, entry.size() + 2, entry + DISC_MARK) == 0) {
        const std::size_t mark = entry.size();
        // A disc track: the status names it by title only.
        const std::string title = path.substr(mark + 2);
        path.resize(mark);
        n.name = base_name(path) + " - " + terminal_text(title);
        for (int k = 1; k <= DISC_TRACKS_MAX; ++k) {
            auto tags = meta::read_track_meta(media_file(path), k);
            if (!tags || !tags->title) break;
            if (*tags->title == title) {
                n.tags = std::move(tags);
                n.track = k;
                break;
            }
        }
        return n;
    }
    n.name = terminal_text(base_name(path));
    if (p.entry > 0 && !p.cue.empty()) {
        const queue_entry &e = q[p.entry - 1];
        for (std::size_t k = 0; k < e.cue_ms.size(); ++k)
            if (e.cue_ms[k] == p.cue_start_ms) n.track = static_cast<int>(k) + 1;
        const long end = static_cast<std::size_t>(n.track) < e.cue_ms.size()
                             ? e.cue_ms[static_cast<std::size_t>(n.track)]
                             : s.length_ms;
        n.elapsed_ms = s.elapsed_ms - p.cue_start_ms;
        n.length_ms = end > p.cue_start_ms ? end - p.cue_start_ms : 0;
        n.name += " - " + p.cue;
    }
    n.tags = n.track > 0 ? meta::read_track_meta(media_file(path), n.track)
                         : meta::read_track_meta(media_file(path));
    return n;
}

std::string headline(const now_playing &n, bool with_time) {
    std::string line;
    if (n.tags && n.tags->title) {
        if (n.tags->artist) line = terminal_text(*n.tags->artist) + " — ";
        line += terminal_text(*n.tags->title);
        if (n.tags->album) line += " (" + terminal_text(*n.tags->album) + ")";
    } else {
        line = n.name;
    }
    if (with_time) {
        line += "  " + clock_text(n.elapsed_ms);
        if (n.length_ms > 0) line += " / " + clock_text(n.length_ms);
    }
    return line;
}

json tags_json(const std::optional<meta::track_meta> &tags) {
    json j = json::object();
    const meta::track_meta none;
    const meta::track_meta &t = tags ? *tags : none;
    const std::pair<const char *, const std::optional<std::string> *> texts[] = {
        {"title", &t.title},
        {"artist", &t.artist},
        {"album", &t.album},
        {"albumartist", &t.album_artist},
        {"tracknumber", &t.track_number},
        {"discnumber", &t.disc_number},
        {"date", &t.date},
        {"genre", &t.genre}};
    for (const auto &[key, value] : texts) j[key] = *value ? json(**value) : json(nullptr);
    j["duration"] = t.duration_ms ? json(*t.duration_ms) : json(nullptr);
    return j;
}

} // namespace pipd::client
