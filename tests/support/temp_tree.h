// Test helper: running a check without root's privileges (the private
// directory tree is support/files.h's TempDir).
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
#include "support/files.h"

#include "core/diag.h"

namespace pipd::testing {

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
