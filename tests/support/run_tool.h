// Test helpers: a private temporary directory, and running a program of the
// build with its standard output and error captured.
#pragma once

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace pipd::testing {

// A directory that is removed with everything in it when the object goes.
class TempDir {
  public:
    TempDir() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "pipd-test-XXXXXX").string();
        if (mkdtemp(tmpl.data())) path_ = tmpl;
    }
    ~TempDir() {
        if (path_.empty()) return;
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    bool ok() const { return !path_.empty(); }
    std::string path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

inline std::string read_file(const std::string &path) {
    std::string out;
    if (std::FILE *f = std::fopen(path.c_str(), "rb")) {
        char buf[65536];
        std::size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
        std::fclose(f);
    }
    return out;
}

struct ToolResult {
    int status = -1; // exit status; -1 when it did not exit normally
    std::string out;
    std::string err;
};

// Runs program with args (argv[0] is the program), standard input from
// /dev/null, standard output and error into files of dir.
inline ToolResult run_tool(const std::string &program, const std::vector<std::string> &args,
                           const TempDir &dir) {
    ToolResult result;
    const std::string out_path = dir.file(".tool-stdout");
    const std::string err_path = dir.file(".tool-stderr");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    std::vector<std::string> all{program};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (auto &a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        result.err = "cannot start " + program;
        return result;
    }
    int wstatus = 0;
    pid_t waited;
    while ((waited = waitpid(pid, &wstatus, 0)) < 0 && errno == EINTR) {
    }
    if (waited == pid && WIFEXITED(wstatus)) result.status = WEXITSTATUS(wstatus);
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
