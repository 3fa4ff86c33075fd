// Input window: 131,072 bytes over the open file, moved by the codec API's
// raw buffer operations. The window's start is always a multiple of 4.
#pragma once

#include <cstdint>

namespace pipd {

inline constexpr int32_t INPUT_WINDOW_SIZE = 131072;

struct buffer_info {
    uint32_t bufsize;    // valid bytes from the window's start
    int32_t size;        // capacity
    uint8_t *buf;        // window memory, allocated once
    uint64_t fpos;       // file offset just past the last valid byte
    uint64_t fpos_start; // file offset of the window's first byte
    uint32_t intpos;     // cursor index in the window
    uint8_t *cur;        // buf + intpos
    int fd;              // the open file
    int fileend;         // the window reaches the end of the file (a read came up short)
    int fileerr;         // positioning failed
};

extern buffer_info bufinfo;
// Reads of the file by the window since the process started (shifts and
// re-windows), for tests and benchmarks that watch the input's cost.
extern uint64_t window_reads;

// Allocates the window memory once; false when it cannot be had.
bool player_malloc();
// Clears every field but buf and fd; the capacity back to the full window.
void bufinfo_reset();

} // namespace pipd
