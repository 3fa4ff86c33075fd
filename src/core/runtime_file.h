// The small files a running program leaves for the others (where pipd-web
// listens, what pipd-sink plays to): written whole, by renaming, and
// believed only while the process they name lives.
#pragma once

#include <string>

namespace pipd {

// Writes text to path through a temporary file and a rename, mode 0644;
// false when it cannot.
bool write_runtime_file(const std::string &path, const std::string &text);
// The first 4 KiB of path; empty when it cannot be read.
std::string read_runtime_file(const std::string &path);
// False only when no process has this id (one of another user counts).
bool process_alive(long pid);

} // namespace pipd
