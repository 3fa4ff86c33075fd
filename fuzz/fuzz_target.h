// libFuzzer target body shared by the decoders' targets: arbitrary bytes
// played as a file of one type by the real track runner, host window and
// decoder. The bytes are written to a memory file reached through a link
// whose name has the type's ending, so the player opens, reads and seeks it
// as it would any file.
//
// Input layout: one control byte, then the file. Control bit 0 set: a seek
// to (control >> 1) * 97 ms is pending when the track starts. The file is
// padded with zeros to the first window's size (shorter files are never
// played).
//
// A target file defines PIPD_FUZZ_ENDING (for example "flac") and includes
// this header. It may define PIPD_FUZZ_FILE_START(control) as the file
// offset where the input's bytes go (the bytes before it read as zeros).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

#include "fuzz/fuzz_run.h"

#ifndef PIPD_FUZZ_FILE_START
#define PIPD_FUZZ_FILE_START(control) uint64_t{0}
#endif

namespace {

int memfd = -1;
std::string link_path;

void cleanup() {
    if (!link_path.empty()) unlink(link_path.c_str());
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    memfd = memfd_create("pipd-fuzz", 0);
    if (memfd < 0) {
        std::perror("memfd_create");
        std::abort();
    }
    char dir[] = "/tmp/pipd-fuzz-XXXXXX";
    if (!mkdtemp(dir)) {
        std::perror("mkdtemp");
        std::abort();
    }
    link_path = std::string(dir) + "/input." PIPD_FUZZ_ENDING;
    const std::string target = "/proc/self/fd/" + std::to_string(memfd);
    if (symlink(target.c_str(), link_path.c_str()) != 0) {
        std::perror("symlink");
        std::abort();
    }
    std::atexit(cleanup);
    pipd::fuzz::prepare_player();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    if (ftruncate(memfd, 0) != 0) return 0;
    const uint64_t start = PIPD_FUZZ_FILE_START(data[0]);
    if (size > 1 && pwrite(memfd, data + 1, size - 1, static_cast<off_t>(start)) !=
                        static_cast<ssize_t>(size - 1))
        return 0;
    if (start + size - 1 < pipd::fuzz::MIN_FILE && ftruncate(memfd, pipd::fuzz::MIN_FILE) != 0)
        return 0;
    pipd::fuzz::play(link_path.c_str(), data[0]);
    return 0;
}
