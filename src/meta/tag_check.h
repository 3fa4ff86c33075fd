// The checks made on a music file before a tag reader opens it: no tag it
// announces may be larger than the tag limit, none may run past the end.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/types.h>

#include "meta/track_meta.h"

namespace pipd::meta::detail {

inline uint64_t le32(const unsigned char *p) {
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint64_t>(p[3]) << 24;
}

// A file with its size; closed at the end.
struct file_handle {
    std::FILE *f;
    uint64_t size = 0;
    explicit file_handle(const std::string &path) : f(std::fopen(path.c_str(), "rb")) {
        if (f && std::fseek(f, 0, SEEK_END) == 0) size = static_cast<uint64_t>(ftello(f));
    }
    ~file_handle() {
        if (f) std::fclose(f);
    }
    bool read_at(uint64_t at, unsigned char *out, std::size_t n) {
        return at + n <= size && fseeko(f, static_cast<off_t>(at), SEEK_SET) == 0 &&
               std::fread(out, 1, n, f) == n;
    }
};

// The size an ID3v2 header at p announces (header and footer included).
inline uint64_t id3v2_size(const unsigned char *p) {
    const uint64_t body =
        (p[6] & 0x7f) << 21 | (p[7] & 0x7f) << 14 | (p[8] & 0x7f) << 7 | (p[9] & 0x7f);
    return body + 10 + ((p[5] & 0x10) ? 10 : 0);
}

// What is wrong with the tags the file's containers announce, without
// reading them: one too large, or an ID3v2 tag at the start that runs past
// the end. Looks at the ID3v2 tag at the start, an APEv2 tag at the end
// (before an ID3v1 tag), and the LIST and "id3 " chunks of a RIFF file.
inline const char *tag_fault(file_handle &file) {
    unsigned char head[12];
    uint64_t largest = 0;
    if (file.read_at(0, head, 10) && std::memcmp(head, "ID3", 3) == 0) {
        largest = id3v2_size(head);
        if (largest <= MAX_TAG_BYTES && largest > file.size) return "its ID3v2 tag is cut short";
    }
    for (uint64_t tail : {uint64_t{32}, uint64_t{160}}) {
        unsigned char footer[32];
        if (file.size >= tail && file.read_at(file.size - tail, footer, 32) &&
            std::memcmp(footer, "APETAGEX", 8) == 0)
            largest = std::max(largest, le32(footer + 12));
    }
    if (file.read_at(0, head, 12) && std::memcmp(head, "RIFF", 4) == 0 &&
        std::memcmp(head + 8, "WAVE", 4) == 0) {
        unsigned char chunk[8];
        // Bounded: each step moves forward by at least 8 bytes, at most 4096 chunks.
        uint64_t at = 12;
        for (int n = 0; n < 4096 && file.read_at(at, chunk, 8); ++n) {
            const uint64_t size = le32(chunk + 4);
            if (std::memcmp(chunk, "LIST", 4) == 0 || std::memcmp(chunk, "id3 ", 4) == 0 ||
                std::memcmp(chunk, "ID3 ", 4) == 0)
                largest = std::max(largest, size);
            at += 8 + size + (size & 1);
        }
    }
    return largest > MAX_TAG_BYTES ? "a tag larger than 16 MiB, ignored" : nullptr;
}

} // namespace pipd::meta::detail
