// Test helpers for the player state, the play queue, captured diagnostics
// and the private pipe tree under the build-time root.
#pragma once

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "core/diag.h"
#include "core/paths.h"
#include "core/state.h"
#include "host/codec_api.h"
#include "player/scan.h"
#include "support/capture.h"

namespace pipd::testing {

struct cue_spec {
    std::string title;
    uint32_t offset;
};

// Replaces the queue with entries at these paths, no cue tracks.
inline void set_queue(const std::vector<std::string> &paths) {
    ASSERT_TRUE(plinfo_alloc());
    clear_list();
    std::memset(plinfo.entries, 0, sizeof(play_entry) * PLAYLIST_MAX);
    for (std::size_t i = 0; i < paths.size(); ++i) {
        ASSERT_LT(paths[i].size(), PATH_SIZE);
        std::memcpy(plinfo.entries[i].path, paths[i].data(), paths[i].size());
    }
    plinfo.count = static_cast<int32_t>(paths.size());
}

// Gives entry i a cue list (freed by clear_list).
inline void set_cues(int32_t i, const std::vector<cue_spec> &cues) {
    play_entry &e = plinfo.entries[i];
    std::free(e.cues);
    e.cues = static_cast<cue_item *>(std::calloc(cues.size(), sizeof(cue_item)));
    for (std::size_t k = 0; k < cues.size(); ++k) {
        std::snprintf(e.cues[k].title, sizeof(e.cues[k].title), "%s", cues[k].title.c_str());
        e.cues[k].offset = cues[k].offset;
    }
    e.cuecount = static_cast<int32_t>(cues.size());
}

// n cue tracks "Track 1" ... starting at first_ms, step_ms apart.
inline std::vector<cue_spec> even_cues(int n, uint32_t first_ms, uint32_t step_ms) {
    std::vector<cue_spec> cues;
    for (int k = 0; k < n; ++k)
        cues.push_back({"Track " + std::to_string(k + 1), first_ms + step_ms * k});
    return cues;
}

// A path under the scan root, as the scan stores it.
inline std::string media(const std::string &relative) {
    return std::string(SCAN_ROOT) + "/" + relative;
}

// Back to start-up values for everything the reports and commands read.
inline void reset_player_globals() {
    reset_player_state();
    if (plinfo.entries) clear_list();
    plinfo.count = 0;
    playstat_reset(nullptr);
}

// Creates <root>/tmp for the pipes and the queue file; false (and the caller
// skips) when the build has no private root.
inline bool make_private_tmp() {
    if (std::strlen(ROOT_PREFIX) == 0) return false;
    std::string root = ROOT_PREFIX;
    mkdir(root.c_str(), 0755);
    return mkdir((root + "/tmp").c_str(), 0755) == 0 || errno == EEXIST;
}

// A fresh named pipe at path.
inline bool make_fifo(const char *path) {
    unlink(path);
    return mkfifo(path, 0600) == 0;
}

// Writing to a pipe whose reader went away must fail with EPIPE, not kill
// the test (the daemon ignores SIGPIPE as well).
inline void ignore_sigpipe() {
    std::signal(SIGPIPE, SIG_IGN);
}

} // namespace pipd::testing
