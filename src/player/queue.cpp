#include <cstdlib>
#include <cstring>
#include <utility>

#include "host/diag.h"
#include "player/queue.h"

namespace pipd {

play_queue plinfo = {nullptr, 0};

namespace {

// True when name ends in suffix, all lower case, or in its upper-case form.
bool ends_with_either(const char *name, std::size_t len, const char *lower, const char *upper) {
    std::size_t n = std::strlen(lower);
    if (len < n) return false;
    const char *tail = name + len - n;
    return std::memcmp(tail, lower, n) == 0 || std::memcmp(tail, upper, n) == 0;
}

} // namespace

bool plinfo_alloc() {
    if (!plinfo.entries)
        plinfo.entries = static_cast<play_entry *>(std::calloc(PLAYLIST_MAX, sizeof(play_entry)));
    return plinfo.entries != nullptr;
}

int is_cuefile(const char *name) {
    return ends_with_either(name, std::strlen(name), "cue", "CUE") ? 1 : 0;
}

int get_filetype(const char *name) {
    struct ending {
        const char *lower, *upper;
        int type;
    };
    static constexpr ending endings[] = {
        {"wav", "WAV", FILETYPE_WAV}, {"ape", "APE", FILETYPE_APE}, {"flac", "FLAC", FILETYPE_FLAC},
        {"dsf", "DSF", FILETYPE_DSF}, {"mp3", "MP3", FILETYPE_MP3}, {"iso", "ISO", FILETYPE_ISO},
        {"dff", "DFF", FILETYPE_DFF}, {"cue", "CUE", FILETYPE_CUE}, {"mbi", "MBI", FILETYPE_MBI},
    };
    std::size_t len = std::strlen(name);
    for (const auto &e : endings)
        if (ends_with_either(name, len, e.lower, e.upper)) return e.type;
    return FILETYPE_NONE;
}

int intstrcmp(const char *a, const char *b, int n) {
    return n <= 0 || std::memcmp(a, b, static_cast<std::size_t>(n)) == 0 ? 0 : -1;
}

void clear_list() {
    if (plinfo.entries) {
        for (int32_t i = 0; i < plinfo.count; ++i) {
            play_entry &e = plinfo.entries[i];
            if (e.cuecount > 0 && e.cues) std::free(e.cues);
            e.cues = nullptr; // no dangling list for the next scan to free again
        }
    }
    plinfo.count = 0;
}

// Selection sort by path in byte order; among equal paths the lowest index
// wins. Quadratic, once per scan.
void sort_list() {
    for (int32_t i = 0; i < plinfo.count; ++i) {
        int32_t best = i;
        for (int32_t j = i + 1; j < plinfo.count; ++j)
            if (std::strcmp(plinfo.entries[j].path, plinfo.entries[best].path) < 0) best = j;
        if (best != i) std::swap(plinfo.entries[i], plinfo.entries[best]);
    }
}

void print_list() {
    diag("---------------\n");
    for (int32_t i = 0; i < plinfo.count; ++i) {
        const play_entry &e = plinfo.entries[i];
        diag("%s\n", e.path);
        if (e.cuecount > 0 && e.cues)
            for (int32_t k = 0; k < e.cuecount; ++k) diag("   %s\n", e.cues[k].title);
    }
    diag("---------------\n");
}

} // namespace pipd
