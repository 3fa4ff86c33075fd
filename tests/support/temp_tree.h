// Test helpers for code that reads the file system: a private directory tree
// that is removed again, captured diagnostics, and running a check without
// root's privileges.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <grp.h>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/capture.h"

#include "core/diag.h"

namespace pipd::testing {

// A fresh directory under the system's temporary directory (world
// traversable, so that an unprivileged child can walk it too), removed with
// everything below it at the end.
class TempTree {
  public:
    TempTree() {
        const char *tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/pipd-test.XXXXXX";
        if (char *p = mkdtemp(pattern.data())) {
            root_ = p;
            ::chmod(p, 0755);
        }
    }
    ~TempTree() {
        if (root_.empty()) return;
        std::error_code ec;
        // Make every directory writable again (tests lock some away).
        for (auto it = std::filesystem::recursive_directory_iterator(
                 root_, std::filesystem::directory_options::skip_permission_denied, ec);
             !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
            if (it->is_directory(ec) && !it->is_symlink(ec)) ::chmod(it->path().c_str(), 0755);
        std::filesystem::remove_all(root_, ec);
    }
    TempTree(const TempTree &) = delete;
    TempTree &operator=(const TempTree &) = delete;

    bool ok() const { return !root_.empty(); }
    const std::string &root() const { return root_; }
    std::string path(const std::string &rel) const { return root_ + "/" + rel; }

    // Creates the file (and its directories) with the given bytes.
    std::string file(const std::string &rel, const std::string &bytes = "") const {
        std::string p = path(rel);
        std::filesystem::create_directories(std::filesystem::path(p).parent_path());
        if (std::FILE *f = std::fopen(p.c_str(), "wb")) {
            std::fwrite(bytes.data(), 1, bytes.size(), f);
            std::fclose(f);
        }
        return p;
    }
    std::string dir(const std::string &rel) const {
        std::string p = path(rel);
        std::filesystem::create_directories(p);
        return p;
    }
    // A symbolic link at rel pointing to target (as written).
    std::string link(const std::string &rel, const std::string &target) const {
        std::string p = path(rel);
        std::filesystem::create_directories(std::filesystem::path(p).parent_path());
        if (::symlink(target.c_str(), p.c_str()) != 0) {
        } // a test that needs the link checks for it
        return p;
    }

  private:
    std::string root_;
};

using CapturedDiag = pipd::testing::DiagCapture;

enum class Unprivileged { passed, failed, unavailable };

// Runs check in a child process that has dropped root's privileges (user
// and group nobody), where permission bits are enforced. Without root the
// check runs in a child as the current user. The result of the check is all
// that comes back.
inline Unprivileged run_unprivileged(const std::function<bool()> &check) {
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) return Unprivileged::unavailable;
    if (pid == 0) {
        if (geteuid() == 0 &&
            (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0))
            _exit(77);
        _exit(check() ? 0 : 1);
    }
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return Unprivileged::failed;
    if (WEXITSTATUS(status) == 77) return Unprivileged::unavailable;
    return WEXITSTATUS(status) == 0 ? Unprivileged::passed : Unprivileged::failed;
}

} // namespace pipd::testing
