// Test harness: the real pipd-web of the build, and a sink that takes the
// daemon's packets at the pace of real playback, so that it plays on while
// a test talks to the web remote.
#pragma once

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "client/web_client.h"
#include "core/paths.h"
#include "support/daemon_harness.h"
#include "support/run_tool.h"

extern char **environ;

namespace pipd::testing {

class WebServer {
  public:
    WebServer() = default;
    ~WebServer() { stop(); }
    WebServer(const WebServer &) = delete;
    WebServer &operator=(const WebServer &) = delete;

    // Starts pipd-web on a free loopback port with the extra arguments and
    // waits until its runtime file names it.
    bool start(const std::vector<std::string> &args = {}) {
        log_path_ = std::string(ROOT_PREFIX) + "/tmp/pipd-web.log";
        std::string prog = std::string(PIPD_BINARY_DIR) + "/pipd-web";
        std::vector<std::string> all{prog, "--listen", "127.0.0.1:0"};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char *> argv;
        for (auto &a : all) argv.push_back(a.data());
        argv.push_back(nullptr);
        // Under AddressSanitizer freed memory waits in a quarantine of up to
        // 256 MiB: kept small, the server's memory shows what it holds.
        std::vector<std::string> env_text;
        std::string asan = "ASAN_OPTIONS=quarantine_size_mb=1";
        for (char **e = environ; *e; ++e) {
            if (std::strncmp(*e, "ASAN_OPTIONS=", 13) == 0)
                asan = std::string(*e) + ":quarantine_size_mb=1";
            else
                env_text.emplace_back(*e);
        }
        env_text.push_back(asan);
        std::vector<char *> envp;
        for (auto &e : env_text) envp.push_back(e.data());
        envp.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 1, log_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        posix_spawn_file_actions_adddup2(&fa, 1, 2);
        int rc = posix_spawn(&pid_, prog.c_str(), &fa, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&fa);
        if (rc != 0) return pid_ = -1, false;
        for (int i = 0; i < 500; ++i) {
            auto a = web::running_web(WEB_RUNTIME_PATH);
            if (a && a->pid == pid_) {
                address_ = *a;
                return true;
            }
            if (waitpid(pid_, nullptr, WNOHANG) == pid_) return pid_ = -1, false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    // Stops it as a service manager would; its exit status (-1 when it did
    // not end within five seconds or not normally).
    int stop() {
        if (pid_ <= 0) return -1;
        kill(pid_, SIGTERM);
        int status = 0;
        for (int i = 0; i < 500; ++i) {
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
        return -1;
    }

    pid_t pid() const { return pid_; }
    int port() const { return address_.port; }
    const web::web_address &address() const { return address_; }
    std::string log() const { return read_file(log_path_); }

    // From /proc: resident memory (now and its peak) in KiB, open descriptors, threads.
    long rss_kib() const { return proc_status_field("VmRSS:"); }
    long peak_rss_kib() const { return proc_status_field("VmHWM:"); }
    long threads() const { return proc_status_field("Threads:"); }
    int open_fds() const {
        int n = 0;
        if (DIR *d = opendir(("/proc/" + std::to_string(pid_) + "/fd").c_str())) {
            while (dirent *e = readdir(d))
                if (e->d_name[0] != '.') ++n;
            closedir(d);
        }
        return n;
    }

  private:
    long proc_status_field(const char *name) const {
        std::string s = read_file("/proc/" + std::to_string(pid_) + "/status");
        std::size_t at = s.find(name);
        return at == std::string::npos
                   ? -1
                   : std::strtol(s.c_str() + at + std::strlen(name), nullptr, 10);
    }

    pid_t pid_ = -1;
    web::web_address address_;
    std::string log_path_;
};

// A raw connection to the server's loopback port from the local address
// from (another loopback address stands for another machine); -1 on failure.
inline int raw_connect(int port, const char *from = "127.0.0.1") {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, from, &a.sin_addr);
    timeval limit{10, 0}; // no send blocks for long on a server that stopped reading
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    bool ok = bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    a.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
    if (ok && connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) return fd;
    close(fd);
    return -1;
}

// Sends all of text; false once the server stops taking it.
inline bool raw_send(int fd, std::string_view text) {
    while (!text.empty()) {
        ssize_t n = send(fd, text.data(), text.size(), MSG_NOSIGNAL);
        if (n <= 0) return false;
        text.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// The status of the answer that came within timeout_ms; 0 when none did.
inline int raw_status(int fd, int timeout_ms) {
    std::string got;
    char buf[512];
    pollfd p{fd, POLLIN, 0};
    while (got.find("\r\n") == std::string::npos && poll(&p, 1, timeout_ms) > 0) {
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        got.append(buf, static_cast<std::size_t>(n));
    }
    return got.rfind("HTTP/1.", 0) == 0 && got.size() > 12 ? std::atoi(got.c_str() + 9) : 0;
}

// Takes the daemon's packets about as fast as they would play.
class PacedSink {
  public:
    explicit PacedSink(Daemon &d)
        : thread_([this, &d] {
              while (!stop_) {
                  d.packet(100);
                  std::this_thread::sleep_for(std::chrono::milliseconds(11));
              }
          }) {}
    ~PacedSink() {
        stop_ = true;
        thread_.join();
    }

  private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

} // namespace pipd::testing
