// Test harness: a private snapserver with one pipe source on 127.0.0.1, and
// snapclients writing their stream to FIFOs the test reads, with the time
// each piece arrived.
#pragma once

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
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
    void read_loop() {
        std::vector<char> buf(1 << 16);
        while (!stopping_) {
            pollfd p{fd_, POLLIN, 0};
            const ssize_t n = poll(&p, 1, 50) > 0 ? read(fd_, buf.data(), buf.size()) : 0;
            const auto now = std::chrono::steady_clock::now();
            std::lock_guard<std::mutex> lock(mutex_);
            if (n <= 0 || got_.bytes.size() > (64u << 20)) continue;
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

// Whether something accepts connections on port of 127.0.0.1; with port 0,
// a port that was free a moment ago instead (0 when none).
inline int loopback_port(int port) {
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    socklen_t len = sizeof a;
    int result = 0;
    if (s >= 0 && port != 0)
        result = connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    else if (s >= 0 && bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
             getsockname(s, reinterpret_cast<sockaddr *>(&a), &len) == 0)
        result = ntohs(a.sin_port);
    if (s >= 0) close(s);
    return result;
}

// snapserver with the pipe source fifo (made by the test: mode=read) in
// 48000:24:2, its stream port on 127.0.0.1 and its control ports off, and
// snapclients that play its stream into FIFOs in dir.
class Snapcast {
  public:
    static constexpr const char *SERVER = "/usr/bin/snapserver";

    // False when snapserver is missing or takes no connection within 5 s
    // (on three free ports in turn).
    bool start_server(const TempDir &dir, const std::string &fifo) {
        for (int attempt = 0; attempt < 3 && access(SERVER, X_OK) == 0; ++attempt) {
            port_ = loopback_port(0);
            std::ofstream(dir.file("snapserver.conf"))
                << "[server]\ndatadir = " << dir.dir("snapserver")
                << "\n[http]\nenabled = false\n[tcp]\nenabled = false\n"
                << "[stream]\nbind_to_address = 127.0.0.1\nport = " << port_ << "\nsource = pipe://"
                << fifo
                << "?name=pipd&sampleformat=48000:24:2&mode=read\n[logging]\nsink = stderr\n";
            if (!server_.start(SERVER, {"-c", dir.file("snapserver.conf")}, dir.file("server.log"),
                               dir.file("server.log")))
                return false;
            for (int i = 0; i < 500 && server_.running(); ++i, usleep(10000))
                if (loopback_port(port_)) return true;
            server_.kill_now();
        }
        return false;
    }
    // Client n (0, 1, ...) writing to its FIFO in dir.
    bool start_client(const TempDir &dir, std::size_t n) {
        const std::string id = std::to_string(n + 1), out = dir.file("client" + id);
        if (n >= clients_.size() || mkfifo(out.c_str(), 0600) != 0 || !outputs_[n].open(out))
            return false;
        return clients_[n].start("/usr/bin/snapclient",
                                 {"-h", "127.0.0.1", "-p", std::to_string(port_), "--hostID",
                                  "c" + id, "-i", id, "--player", "file:filename=stdout", "--mixer",
                                  "none", "--logsink", "stderr"},
                                 out, dir.file("client" + id + ".log"));
    }
    FifoCapture::received output(std::size_t n) { return outputs_[n].snapshot(); }
    void stop() {
        for (std::size_t n = 0; n < clients_.size(); ++n)
            clients_[n].kill_now(), outputs_[n].stop();
        server_.kill_now();
    }
    ~Snapcast() { stop(); }

  private:
    Child server_;
    std::array<Child, 2> clients_;
    std::array<FifoCapture, 2> outputs_;
    int port_ = 0;
};

} // namespace pipd::testing
