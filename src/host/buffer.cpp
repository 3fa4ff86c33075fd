#include "host/buffer.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "host/codec_api.h"

// Disc images pass 4 GiB: file offsets are 64-bit on the 32-bit target too
// (_FILE_OFFSET_BITS=64, set for the whole build).
static_assert(sizeof(off_t) == 8, "64-bit file offsets");

namespace pipd {

buffer_info bufinfo = {0, INPUT_WINDOW_SIZE, nullptr, 0, 0, 0, nullptr, -1, 0, 0};
uint64_t window_reads = 0;

namespace {

// Reads up to n bytes, retrying interrupted and partial reads; a failed
// read counts as what came before it.
uint32_t read_full(int fd, uint8_t *dst, uint32_t n) {
    ++window_reads;
    uint32_t got = 0;
    while (got < n) {
        ssize_t r = read(fd, dst + got, n - got);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        got += static_cast<uint32_t>(r);
    }
    return got;
}

uint32_t capacity() {
    return static_cast<uint32_t>(std::clamp<int32_t>(bufinfo.size, 0, INPUT_WINDOW_SIZE));
}

// Bytes that may be read at the cursor.
uint32_t unread() {
    return bufinfo.bufsize > bufinfo.intpos ? bufinfo.bufsize - bufinfo.intpos : 0;
}

// Keeps the unread bytes (and up to three read ones, so that the window
// still starts at a multiple of 4) and fills the rest from the file.
void shift_and_fill() {
    buffer_info &b = bufinfo;
    uint32_t a = b.intpos % 4;
    uint32_t from = b.intpos - a;
    uint32_t keep = b.bufsize > from ? b.bufsize - from : 0;
    if (keep > 0) std::memmove(b.buf, b.buf + from, keep);
    uint32_t want = capacity() > keep ? capacity() - keep : 0;
    uint32_t m = read_full(b.fd, b.buf + keep, want);
    b.intpos = a;
    b.cur = b.buf + a;
    if (m < want) b.fileend = 1;
    b.bufsize = keep + m;
    b.fpos += m;
    b.fpos_start = b.fpos - b.bufsize;
}

// Reads a fresh window around file offset t; -1 when positioning failed,
// else the count read. The end-of-file state is that of the new window: it
// says whether the window reaches the end of the file, so a seek back from
// the end refills as reads demand.
int64_t rewindow(uint64_t t) {
    buffer_info &b = bufinfo;
    uint64_t start = t - t % 4;
    off_t r = lseek(b.fd, static_cast<off_t>(start), SEEK_SET);
    if (r < 0 || static_cast<uint64_t>(r) != start) {
        b.fileerr = 1;
        return r < 0 ? r : -1;
    }
    uint32_t m = read_full(b.fd, b.buf, capacity());
    b.intpos = static_cast<uint32_t>(t % 4);
    b.fpos_start = start;
    b.fileend = m < capacity() ? 1 : 0;
    b.bufsize = m;
    b.fpos = start + m;
    b.cur = b.buf + b.intpos;
    return m;
}

} // namespace

bool player_malloc() {
    if (!bufinfo.buf) bufinfo.buf = static_cast<uint8_t *>(std::malloc(INPUT_WINDOW_SIZE));
    return bufinfo.buf != nullptr;
}

void bufinfo_reset() {
    bufinfo.bufsize = 0;
    bufinfo.size = INPUT_WINDOW_SIZE;
    bufinfo.fpos = 0;
    bufinfo.fpos_start = 0;
    bufinfo.intpos = 0;
    bufinfo.cur = nullptr;
    bufinfo.fileend = 0;
    bufinfo.fileerr = 0;
}

void *ci_request_buffer_raw(uint32_t *available, uint32_t n) {
    buffer_info &b = bufinfo;
    if (!b.fileend && static_cast<uint64_t>(b.intpos) + n > b.bufsize) shift_and_fill();
    if (b.fileerr) {
        *available = 0;
        return nullptr;
    }
    *available = std::min(n, unread());
    return b.cur;
}

void ci_advance_buffer_raw(uint32_t n) {
    buffer_info &b = bufinfo;
    uint64_t p = static_cast<uint64_t>(b.intpos) + n;
    if (p < b.bufsize) {
        b.intpos = static_cast<uint32_t>(p);
        b.cur = b.buf + b.intpos;
        return;
    }
    rewindow(b.fpos_start + p);
}

uint32_t ci_read_filebuf_raw(void *destination, uint32_t n) {
    buffer_info &b = bufinfo;
    if (b.fileerr) return 0;
    if (static_cast<uint64_t>(b.intpos) + n > b.bufsize) {
        shift_and_fill();
        n = std::min(n, unread());
    }
    if (n > 0) std::memcpy(destination, b.cur, n);
    b.cur += n;
    b.intpos += n;
    return n;
}

uint64_t ci_getpos() {
    return bufinfo.fpos_start + bufinfo.intpos;
}

int ci_seek_buffer_raw(uint64_t position) {
    buffer_info &b = bufinfo;
    if (b.fpos_start <= position && position < b.fpos) {
        b.intpos = static_cast<uint32_t>(position - b.fpos_start);
        b.cur = b.buf + b.intpos;
        return 1;
    }
    return rewindow(position) < 0 ? 0 : 1;
}

int64_t ci_set_offset(uint64_t position) {
    buffer_info &b = bufinfo;
    if (b.fpos_start <= position && position < b.fpos) {
        b.intpos = static_cast<uint32_t>(position - b.fpos_start);
        b.cur = b.buf + b.intpos;
        return b.intpos;
    }
    return rewindow(position);
}

} // namespace pipd
