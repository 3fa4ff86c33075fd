// Writing command words into the daemon's command pipe.
#pragma once

#include <cstdint>

namespace pipd::client {

// What became of a command word.
struct command_write {
    enum outcome { taken, not_opened, not_written } what = taken;
    int error = 0; // errno of the step that failed
};

// Writes one whole word into the pipe at path without waiting: not_opened
// with ENXIO while nobody reads it (the daemon does not run), ENOENT when it
// is missing; not_written with EAGAIN when it is full.
command_write write_command_word(const char *path, int32_t word);

} // namespace pipd::client
