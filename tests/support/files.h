// Test helpers for bytes and files: little- and big-endian writers, whole
// files read and written, and a private temporary directory.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace pipd::testing {

using bytes = std::vector<uint8_t>;

// Appends value in width bytes.
inline void put_le(bytes &out, uint64_t value, int width) {
    for (int i = 0; i < width; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}
inline void put_be(bytes &out, uint64_t value, int width) {
    for (int i = width - 1; i >= 0; --i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}
// Overwrites width bytes at p.
inline void store_le(uint8_t *p, uint64_t value, int width) {
    for (int i = 0; i < width; ++i) p[i] = static_cast<uint8_t>(value >> (8 * i));
}
inline void store_be(uint8_t *p, uint64_t value, int width) {
    for (int i = 0; i < width; ++i) p[i] = static_cast<uint8_t>(value >> (8 * (width - 1 - i)));
}
inline uint64_t load_le(const uint8_t *p, int width) {
    uint64_t v = 0;
    for (int i = width - 1; i >= 0; --i) v = v << 8 | p[i];
    return v;
}

inline bool has(const std::string &text, const std::string &needle) {
    return text.find(needle) != std::string::npos;
}

inline bool write_file(const std::string &path, const bytes &data) {
    std::FILE *f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    const bool ok = data.empty() || std::fwrite(data.data(), 1, data.size(), f) == data.size();
    return std::fclose(f) == 0 && ok;
}
inline std::string read_file(const std::string &path) {
    std::string out;
    if (std::FILE *f = std::fopen(path.c_str(), "rb")) {
        char buf[65536];
        for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) out.append(buf, n);
        std::fclose(f);
    }
    return out;
}
inline bytes read_bytes(const std::string &path) {
    const std::string s = read_file(path);
    return bytes(s.begin(), s.end());
}

// A fresh directory under the system's temporary directory (world
// traversable, so that an unprivileged child can walk it too), removed with
// everything below it at the end.
class TempDir {
  public:
    TempDir() {
        const char *tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/pipd-test.XXXXXX";
        if (char *p = mkdtemp(pattern.data())) {
            root_ = p;
            ::chmod(p, 0755);
        }
    }
    ~TempDir() {
        if (root_.empty() || std::getenv("PIPD_KEEP_SCRATCH")) return;
        namespace fs = std::filesystem;
        std::error_code ec;
        // Make every directory writable again (tests lock some away).
        for (auto it = fs::recursive_directory_iterator(
                 root_, fs::directory_options::skip_permission_denied, ec);
             !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
            if (it->is_directory(ec) && !it->is_symlink(ec)) ::chmod(it->path().c_str(), 0755);
        fs::remove_all(root_, ec);
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    bool ok() const { return !root_.empty(); }
    const std::string &root() const { return root_; }
    const std::string &path() const { return root_; }
    // Paths inside, nothing created.
    std::string path(const std::string &rel) const { return root_ + "/" + rel; }
    std::string file(const std::string &rel) const { return path(rel); }

    // Creates the file (and its directories) with the given bytes; its
    // path, "" when it cannot.
    std::string write(const std::string &rel, const bytes &data) const {
        const std::string p = path(rel);
        std::filesystem::create_directories(std::filesystem::path(p).parent_path());
        return write_file(p, data) ? p : "";
    }
    std::string write(const std::string &rel, const std::string &data = "") const {
        return write(rel, bytes(data.begin(), data.end()));
    }
    std::string dir(const std::string &rel) const {
        const std::string p = path(rel);
        std::filesystem::create_directories(p);
        return p;
    }
    // A symbolic link at rel pointing to target (as written); a test that
    // needs the link checks for it.
    std::string link(const std::string &rel, const std::string &target) const {
        const std::string p = path(rel);
        std::filesystem::create_directories(std::filesystem::path(p).parent_path());
        [[maybe_unused]] const int r = ::symlink(target.c_str(), p.c_str());
        return p;
    }

  private:
    std::string root_;
};

} // namespace pipd::testing
