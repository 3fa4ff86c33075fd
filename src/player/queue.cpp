#include <cstdlib>
#include <cstring>
#include <utility>

#include "codecs/codecs.h"
#include "core/diag.h"
#include "player/scan.h"

namespace pipd {

int is_cuefile(const char *name) {
    return get_filetype(name) == FILETYPE_CUE ? 1 : 0;
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
