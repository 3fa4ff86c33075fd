// The texts of a track of an audio file split by a cue sheet. The sheet is
// found as the scan pairs it: X.cue goes with the first WAV, APE or FLAC
// file of its folder whose path begins with "X.".
#include <algorithm>
#include <cstring>
#include <dirent.h>
#include <memory>
#include <vector>

#include "core/cuesheet.h"
#include "meta/containers.h"

namespace pipd::meta::detail {

namespace {

// Entries of a folder looked at, at most.
constexpr int MAX_ENTRIES = 4096;

// Whether name ends in tail (lower case) or in its upper-case form, as the
// scan tells the kinds of files apart.
bool ends_with(const std::string &name, std::string tail) {
    if (name.size() < tail.size()) return false;
    const std::string end = name.substr(name.size() - tail.size());
    if (end == tail) return true;
    for (char &c : tail) c = static_cast<char>(c - 32);
    return end == tail;
}

bool plays_with_cue(const std::string &name) {
    return ends_with(name, "wav") || ends_with(name, "ape") || ends_with(name, "flac");
}

// The sheet paired with the file named name among the folder's entries.
std::optional<std::string> paired_sheet(std::vector<std::string> names, const std::string &name) {
    std::sort(names.begin(), names.end());
    std::optional<std::string> sheet;
    for (const std::string &cue : names) {
        if (!ends_with(cue, "cue")) continue;
        const std::string stem = cue.substr(0, cue.size() - 3); // "X." of "X.cue"
        const auto first = std::find_if(names.begin(), names.end(), [&](const std::string &n) {
            return n.compare(0, stem.size(), stem) == 0 && plays_with_cue(n);
        });
        // A later sheet for the same file takes the place of an earlier one.
        if (first != names.end() && *first == name) sheet = cue;
    }
    return sheet;
}

} // namespace

std::optional<track_meta> read_cue_texts(const std::string &path, int track) {
    const auto slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    std::vector<std::string> names;
    if (DIR *dir = opendir(folder.c_str())) {
        for (int n = 0; n < MAX_ENTRIES; ++n) {
            const dirent *e = readdir(dir);
            if (!e) break;
            names.emplace_back(e->d_name);
        }
        closedir(dir);
    }
    const auto sheet_name = paired_sheet(std::move(names), name);
    if (!sheet_name) return std::nullopt;
    const auto sheet = std::make_unique<cue_sheet>();
    const int count = parse_cuesheet((folder + "/" + *sheet_name).c_str(), sheet.get());
    if (track > count) return std::nullopt;
    const cue_track &t = sheet->tracks[track - 1];
    const auto text = [](const char *s) {
        return loose_text(std::string_view(s, strnlen(s, CUE_TEXT_MAX)));
    };
    track_meta meta;
    meta.title = text(t.title);
    meta.artist = text(t.performer);
    meta.album = text(sheet->title);
    meta.album_artist = text(sheet->performer);
    meta.track_number = std::to_string(track);
    return meta;
}

} // namespace pipd::meta::detail
