// Test helper: replays the inputs kept in fuzz/regressions/TARGET exactly
// as the fuzz target plays them: the control byte (odd: a seek to
// (control >> 1) * 97 ms is pending), then the file, padded with zeros to
// the first window; for a target that places the input further into the
// file (file_start, its PIPD_FUZZ_FILE_START), zeros before it.
#pragma once

#include <dirent.h>
#include <functional>
#include <string>
#include <vector>

#include "support/flac_files.h"
#include "support/sandbox.h"

namespace pipd::testing {

// Plays every kept input of the target as a file with the given ending and
// hands each result to check; false when no input is kept.
inline bool replay_fuzz_inputs(const std::string &target, const std::string &ending,
                               const std::function<void(const host_play_result &)> &check,
                               uint64_t (*file_start)(uint8_t control) = nullptr) {
    const std::string dir = PIPD_SOURCE_DIR "/fuzz/regressions/" + target;
    std::vector<std::string> names;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d))
            if (e->d_name[0] != '.') names.push_back(e->d_name);
        closedir(d);
    }
    TempDir work;
    bool any = false;
    for (const auto &name : names) {
        SCOPED_TRACE(target + "/" + name);
        std::vector<uint8_t> input = read_bytes(dir + "/" + name);
        if (input.empty()) continue;
        std::vector<uint8_t> file(file_start ? file_start(input[0]) : 0, 0);
        file.insert(file.end(), input.begin() + 1, input.end());
        if (file.size() < 131072) file.resize(131072, 0);
        const std::string path = work.file("input." + ending);
        if (!write_file(path, file)) continue;
        host_play_script script;
        if (input[0] & 1) script.seek_ms = static_cast<int32_t>(input[0] >> 1) * 97;
        check(host_play(path, script));
        any = true;
    }
    return any;
}

} // namespace pipd::testing
