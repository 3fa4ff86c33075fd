#include "core/queue.h"

#include <cstdlib>

namespace pipd {

play_queue plinfo = {nullptr, 0};

bool plinfo_alloc() {
    if (!plinfo.entries)
        plinfo.entries = static_cast<play_entry *>(std::calloc(PLAYLIST_MAX, sizeof(play_entry)));
    return plinfo.entries != nullptr;
}

} // namespace pipd
