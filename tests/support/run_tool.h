// Test helpers: running a program of the build with its standard output and
// error captured (the temporary directory is support/files.h's).
#pragma once

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "support/files.h"

extern char **environ;

namespace pipd::testing {

struct ToolResult {
    int status = -1; // exit status; -1 when it did not exit normally
    std::string out;
    std::string err;
};

// A program of the build running in the background, standard input from
// /dev/null and standard output and error into files (or the same file).
// Extra environment entries ("NAME=value") are added to the test's own.
class Child {
  public:
    Child() = default;
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;
    ~Child() { kill_now(); }

    bool start(const std::string &program, const std::vector<std::string> &args,
               const std::string &out_path, const std::string &err_path,
               const std::vector<std::string> &env = {}) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (err_path == out_path)
            posix_spawn_file_actions_adddup2(&actions, 1, 2);
        else
            posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(),
                                             O_WRONLY | O_CREAT | O_TRUNC, 0644);
        std::vector<std::string> all{program};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char *> argv;
        for (auto &a : all) argv.push_back(a.data());
        argv.push_back(nullptr);
        std::vector<std::string> env_all = env;
        for (char **e = environ; *e; ++e) env_all.emplace_back(*e);
        std::vector<char *> envp;
        for (auto &e : env_all) envp.push_back(e.data());
        envp.push_back(nullptr);
        const int rc =
            posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0) pid_ = -1;
        return rc == 0;
    }

    bool running() {
        if (pid_ <= 0) return false;
        int st;
        pid_t r = waitpid(pid_, &st, WNOHANG);
        if (r == 0) return true;
        if (r == pid_) finished(st);
        return false;
    }
    // Waits for the exit, at most timeout_ms; the exit status, or -1 when
    // still running or not ended by exit.
    int wait(int timeout_ms = 10000) {
        for (int waited = 0; pid_ > 0 && waited < timeout_ms; waited += 10) {
            if (!running()) break;
            usleep(10000);
        }
        return pid_ > 0 ? -1 : status_;
    }
    void signal(int sig) {
        if (pid_ > 0) ::kill(pid_, sig);
    }
    void kill_now() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGKILL);
        int st;
        if (waitpid(pid_, &st, 0) == pid_) finished(st);
    }
    int status() const { return status_; }

  private:
    void finished(int st) {
        pid_ = -1;
        status_ = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    }
    pid_t pid_ = -1;
    int status_ = -1;
};

// Runs program with args (argv[0] is the program), standard input from
// /dev/null, standard output and error into files of dir.
inline ToolResult run_tool(const std::string &program, const std::vector<std::string> &args,
                           const TempDir &dir, const std::vector<std::string> &env = {}) {
    ToolResult result;
    const std::string out_path = dir.file(".tool-stdout");
    const std::string err_path = dir.file(".tool-stderr");
    Child child;
    if (!child.start(program, args, out_path, err_path, env)) {
        result.err = "cannot start " + program;
        return result;
    }
    result.status = child.wait(120000);
    result.out = read_file(out_path);
    result.err = read_file(err_path);
    return result;
}

#ifdef PIPD_BINARY_DIR
// The pipd-decode of this build.
inline ToolResult run_pipd_decode(const std::vector<std::string> &args, const TempDir &dir) {
    return run_tool(PIPD_BINARY_DIR "/pipd-decode", args, dir);
}
#endif

} // namespace pipd::testing
