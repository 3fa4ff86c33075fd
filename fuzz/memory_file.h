// A fuzz input as a file: the bytes go into a memory file reached through a
// link whose name has the wanted ending, so that the code under test opens,
// reads and seeks it as it would any file on the medium.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

namespace pipd::fuzz {

class memory_file {
  public:
    // Aborts when the file or its link cannot be made.
    explicit memory_file(const char *ending) {
        fd_ = memfd_create("pipd-fuzz", 0);
        if (fd_ < 0) fail("memfd_create");
        char dir[] = "/tmp/pipd-fuzz-XXXXXX";
        if (!mkdtemp(dir)) fail("mkdtemp");
        dir_ = dir;
        path_ = dir_ + "/input." + ending;
        const std::string target = "/proc/self/fd/" + std::to_string(fd_);
        if (symlink(target.c_str(), path_.c_str()) != 0) fail("symlink");
    }
    ~memory_file() {
        unlink(path_.c_str());
        rmdir(dir_.c_str());
        close(fd_);
    }
    memory_file(const memory_file &) = delete;
    memory_file &operator=(const memory_file &) = delete;

    const char *path() const { return path_.c_str(); }

    // The file becomes size bytes of data from offset start on, zeros
    // before them, at least min_size bytes (zeros after them). False when
    // the file could not be written.
    bool fill(const uint8_t *data, std::size_t size, uint64_t start = 0, uint64_t min_size = 0) {
        if (ftruncate(fd_, 0) != 0) return false;
        if (size > 0 &&
            pwrite(fd_, data, size, static_cast<off_t>(start)) != static_cast<ssize_t>(size))
            return false;
        if (start + size < min_size && ftruncate(fd_, static_cast<off_t>(min_size)) != 0)
            return false;
        return true;
    }

  private:
    [[noreturn]] static void fail(const char *what) {
        std::perror(what);
        std::abort();
    }
    int fd_ = -1;
    std::string dir_, path_;
};

} // namespace pipd::fuzz
