// Test harness: a private Snapcast server (snapserver) with one pipe source,
// on 127.0.0.1 only, and snapclients whose standard output the test reads
// with the time each piece arrived.
#pragma once

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <fstream>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "support/run_tool.h"

namespace pipd::testing {

// The full path of program in PATH; "" when it is nowhere.
inline std::string find_program(const std::string &name) {
    const char *path = std::getenv("PATH");
    std::string all = path ? path : "/usr/bin:/bin";
    for (std::size_t at = 0; at <= all.size();) {
        std::size_t end = all.find(':', at);
        if (end == std::string::npos) end = all.size();
        const std::string candidate = all.substr(at, end - at) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
        at = end + 1;
    }
    return "";
}

// A TCP port of 127.0.0.1 that was free a moment ago; 0 when none.
inline int free_port() {
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = 0;
    if (s >= 0 && bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
        getsockname(s, reinterpret_cast<sockaddr *>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    if (s >= 0) close(s);
    return port;
}

inline bool port_accepts(int port) {
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    const bool ok = s >= 0 && connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    if (s >= 0) close(s);
    return ok;
}

// snapserver serving the pipe source on fifo (mode=read: the test makes the
// FIFO) at its stream port; its control ports are off and its settings stay
// in dir.
class SnapServer {
  public:
    // False when snapserver is missing or takes no connection within 5 s
    // (on three free ports in turn).
    bool start(const TempDir &dir, const std::string &fifo,
               const std::string &format = "48000:24:2") {
        const std::string program = find_program("snapserver");
        if (program.empty()) return false;
        log_path_ = dir.file("snapserver.log");
        for (int attempt = 0; attempt < 3; ++attempt) {
            port_ = free_port();
            const std::string conf = dir.file("snapserver.conf");
            std::ofstream(conf) << "[server]\ndatadir = " << dir.dir("snapserver")
                                << "\n[http]\nenabled = false\n[tcp]\nenabled = false\n"
                                << "[stream]\nbind_to_address = 127.0.0.1\nport = " << port_
                                << "\nsource = pipe://" << fifo
                                << "?name=pipd&sampleformat=" << format << "&mode=read\n"
                                << "[logging]\nsink = stderr\n";
            if (!child_.start(program, {"-c", conf}, log_path_, log_path_)) return false;
            for (int i = 0; i < 500 && child_.running(); ++i) {
                if (port_accepts(port_)) return true;
                usleep(10000);
            }
            child_.kill_now();
        }
        return false;
    }
    int port() const { return port_; }
    bool running() { return child_.running(); }
    std::string log() const { return read_file(log_path_); }

  private:
    Child child_;
    int port_ = 0;
    std::string log_path_;
};

// Reads a FIFO in a thread of its own as data arrives: the bytes, and the
// time each read piece arrived with the bytes that came before it.
class FifoCapture {
  public:
    struct piece {
        std::chrono::steady_clock::time_point at;
        std::size_t offset;
    };
    struct received {
        std::string bytes;
        std::vector<piece> pieces;
    };

    FifoCapture() = default;
    FifoCapture(const FifoCapture &) = delete;
    FifoCapture &operator=(const FifoCapture &) = delete;
    ~FifoCapture() { stop(); }

    bool open(const std::string &fifo) {
        fd_ = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd_ >= 0) reader_ = std::thread([this] { read_loop(); });
        return fd_ >= 0;
    }
    void stop() {
        stopping_ = true;
        if (reader_.joinable()) reader_.join();
        if (fd_ >= 0) close(fd_), fd_ = -1;
    }
    received snapshot() {
        std::lock_guard<std::mutex> lock(mutex_);
        return got_;
    }
    std::size_t size() {
        std::lock_guard<std::mutex> lock(mutex_);
        return got_.bytes.size();
    }

  private:
    static constexpr std::size_t LIMIT = 64 << 20;

    void read_loop() {
        std::vector<char> buf(1 << 16);
        while (!stopping_) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) continue;
            const ssize_t n = read(fd_, buf.data(), buf.size());
            const auto now = std::chrono::steady_clock::now();
            if (n <= 0) {
                usleep(5000); // no writer (yet, or any more)
                continue;
            }
            std::lock_guard<std::mutex> lock(mutex_);
            if (got_.bytes.size() >= LIMIT) continue;
            got_.pieces.push_back({now, got_.bytes.size()});
            got_.bytes.append(buf.data(), static_cast<std::size_t>(n));
        }
    }

    int fd_ = -1;
    std::thread reader_;
    std::atomic<bool> stopping_{false};
    std::mutex mutex_;
    received got_;
};

// snapclient playing the server's stream to its standard output, a FIFO
// the test reads.
class SnapClient {
  public:
    using received = FifoCapture::received;

    SnapClient() = default;
    SnapClient(const SnapClient &) = delete;
    SnapClient &operator=(const SnapClient &) = delete;
    ~SnapClient() { stop(); }

    bool start(const TempDir &dir, int port, int instance) {
        const std::string name = "snapclient" + std::to_string(instance);
        const std::string out = dir.file(name + ".out");
        log_path_ = dir.file(name + ".log");
        if (mkfifo(out.c_str(), 0600) != 0 || !output_.open(out)) return false;
        return child_.start(find_program("snapclient"),
                            {"-h", "127.0.0.1", "-p", std::to_string(port), "--hostID",
                             "c" + std::to_string(instance), "-i", std::to_string(instance),
                             "--player", "file:filename=stdout", "--mixer", "none", "--logsink",
                             "stderr"},
                            out, log_path_);
    }
    // Kills and reaps the client, then ends the reader.
    void stop() {
        child_.kill_now();
        output_.stop();
    }
    received snapshot() { return output_.snapshot(); }
    std::string log() const { return read_file(log_path_); }

  private:
    Child child_;
    std::string log_path_;
    FifoCapture output_;
};

} // namespace pipd::testing
