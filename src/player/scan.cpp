// Media scan: walks a directory tree, queues every audio file of a known type
// and attaches the tracks of a paired cue sheet to WAV, APE and FLAC files.
#include <array>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <memory>
#include <set>
#include <sys/stat.h>
#include <sys/types.h>
#include <utility>

#include "codecs/codecs.h"
#include "core/diag.h"
#include "player/cuesheet.h"
#include "player/scan.h"

namespace pipd {

namespace {

struct dir_closer {
    void operator()(DIR *d) const { closedir(d); }
};
using dir_ptr = std::unique_ptr<DIR, dir_closer>;

// The directories walked so far in this scan. Each is walked once, by the
// first path that leads to it in walking order: links back to a directory
// being walked (cycles) and many links to one directory (which would double
// the walk at every level) are passed over. Nesting is capped at 256 levels:
// a path holds at most 511 characters, so "/x" per level reaches no deeper.
struct walk_state {
    std::set<std::pair<dev_t, ino_t>> seen;
    std::size_t depth = 0;
    static constexpr std::size_t MAX_DEPTH = 256;

    // True when the directory is new to this scan (it is then marked).
    bool first_visit(const struct stat &st) { return seen.emplace(st.st_dev, st.st_ino).second; }
};

// "%s/%s" of directory and name into path; false when it does not fit in
// a queue entry (more than 511 characters). Such files and directories are
// left out of the scan.
bool join_path(char (&path)[PATH_SIZE], const char *directory, const char *name) {
    std::size_t dl = std::strlen(directory), nl = std::strlen(name);
    if (dl + 1 + nl >= PATH_SIZE) return false;
    std::memcpy(path, directory, dl);
    path[dl] = '/';
    std::memcpy(path + dl + 1, name, nl + 1);
    return true;
}

bool plays_with_cue(const char *path) {
    int type = get_filetype(path);
    return type == FILETYPE_WAV || type == FILETYPE_APE || type == FILETYPE_FLAC;
}

void add_entry(const char *path) {
    if (plinfo.count >= PLAYLIST_MAX) return;
    play_entry &e = plinfo.entries[plinfo.count];
    std::strcpy(e.path, path); // fits: join_path checked the length
    e.reserved = 0;
    e.cues = nullptr;
    e.cuecount = 0;
    ++plinfo.count;
}

void drop_cues(play_entry &e) {
    std::free(e.cues);
    e.cues = nullptr;
    e.cuecount = 0;
}

// Pairs the cue sheet at path with the first WAV, APE or FLAC entry of the
// queue whose path begins with the sheet's path without "cue", and gives the
// entry the sheet's tracks.
void pair_cue_sheet(const char *path) {
    diag("CUE:%s\n", path);
    std::size_t k = std::strlen(path) - 3;
    play_entry *match = nullptr;
    for (int32_t i = 0; i < plinfo.count; ++i) {
        play_entry &e = plinfo.entries[i];
        if (std::strncmp(e.path, path, k) == 0 && plays_with_cue(e.path)) {
            match = &e;
            break;
        }
    }
    if (!match) return;
    diag("---:%s\n", match->path);

    // A second sheet for the same file replaces the tracks of the first.
    drop_cues(*match);
    if (!cue) cue = static_cast<cue_sheet *>(std::calloc(1, sizeof(cue_sheet)));
    if (!cue) return;
    int n = parse_cuesheet(path, cue);
    if (n <= 0) return;
    auto *items =
        static_cast<cue_item *>(std::calloc(static_cast<std::size_t>(n), sizeof(cue_item)));
    if (!items) return;
    for (int j = 0; j < n; ++j) {
        const cue_track &t = cue->tracks[j];
        items[j].offset = static_cast<uint32_t>(t.start);
        std::size_t len = strnlen(t.title, CUE_TEXT_MAX);
        std::memcpy(items[j].title, t.title, len);
        items[j].title[len] = '\0';
    }
    match->cues = items;
    match->cuecount = n;
}

void scan_directory(const char *directory, walk_state &walk) {
    char path[PATH_SIZE];
    struct stat st;

    // Pass 1: files and subdirectories, depth first, in listing order.
    if (dir_ptr dir{opendir(directory)}) {
        while (const dirent *de = readdir(dir.get())) {
            if (de->d_name[0] == '.') continue;
            if (!join_path(path, directory, de->d_name)) continue;
            if (stat(path, &st) != 0) continue;
            if (S_ISDIR(st.st_mode)) {
                if (walk.depth == walk_state::MAX_DEPTH || !walk.first_visit(st)) continue;
                ++walk.depth;
                scan_directory(path, walk);
                --walk.depth;
            } else if (S_ISREG(st.st_mode)) {
                int type = get_filetype(de->d_name);
                if (type >= FILETYPE_WAV && type <= FILETYPE_DFF) add_entry(path);
            }
        }
    }

    // Pass 2: cue sheets, once everything below this directory is queued.
    dir_ptr dir{opendir(directory)};
    if (!dir) return;
    while (const dirent *de = readdir(dir.get())) {
        if (de->d_name[0] == '.') continue;
        if (!is_cuefile(de->d_name)) continue;
        if (!join_path(path, directory, de->d_name)) continue;
        if (stat(path, &st) != 0 || !S_ISREG(st.st_mode)) continue;
        pair_cue_sheet(path);
    }
}

} // namespace

int scan_files(const char *directory) {
    if (!plinfo.entries && !plinfo_alloc()) return 1;
    walk_state walk;
    struct stat st;
    if (stat(directory, &st) == 0) walk.first_visit(st);
    scan_directory(directory, walk);
    return 1;
}

} // namespace pipd
