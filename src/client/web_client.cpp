#include "client/web_client.h"

#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/runtime_file.h"

namespace pipd::web {

namespace {

using clock_type = std::chrono::steady_clock;

int ms_left(clock_type::time_point until) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - clock_type::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

// A connected stream socket, or -1.
int connect_to(const web_address &a, int timeout_ms) {
    sockaddr_storage ss{};
    socklen_t len;
    int family;
    auto *v4 = reinterpret_cast<sockaddr_in *>(&ss);
    auto *v6 = reinterpret_cast<sockaddr_in6 *>(&ss);
    if (inet_pton(AF_INET, a.host.c_str(), &v4->sin_addr) == 1) {
        family = v4->sin_family = AF_INET;
        v4->sin_port = htons(static_cast<uint16_t>(a.port));
        len = sizeof *v4;
    } else if (inet_pton(AF_INET6, a.host.c_str(), &v6->sin6_addr) == 1) {
        family = v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(static_cast<uint16_t>(a.port));
        len = sizeof *v6;
    } else {
        return -1;
    }
    int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return -1;
    if (connect(fd, reinterpret_cast<sockaddr *>(&ss), len) != 0) {
        pollfd p{fd, POLLOUT, 0};
        int err = 0;
        socklen_t elen = sizeof err;
        if (errno != EINPROGRESS || poll(&p, 1, timeout_ms) != 1 ||
            getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &elen) != 0 || err != 0) {
            close(fd);
            return -1;
        }
    }
    return fd;
}

bool send_all(int fd, const std::string &s, clock_type::time_point until) {
    std::size_t at = 0;
    while (at < s.size()) {
        ssize_t n = send(fd, s.data() + at, s.size() - at, MSG_NOSIGNAL);
        if (n > 0) {
            at += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
        pollfd p{fd, POLLOUT, 0};
        if (poll(&p, 1, ms_left(until)) != 1) return false;
    }
    return true;
}

// Reads what is there, waiting at most until the deadline: 1 when bytes
// came, 0 when none came in time, -1 at the end of the stream or on an error.
int read_some(int fd, std::string &into, clock_type::time_point until) {
    for (;;) {
        char buf[4096];
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n > 0) {
            into.append(buf, static_cast<std::size_t>(n));
            return 1;
        }
        if (n == 0 || (errno != EAGAIN && errno != EINTR)) return -1;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, ms_left(until)) != 1) return 0;
    }
}

std::string request(const web_address &a, const std::string &target) {
    bool v6 = a.host.find(':') != std::string::npos;
    return "GET " + target + " HTTP/1.1\r\nHost: " + (v6 ? "[" + a.host + "]" : a.host) + ":" +
           std::to_string(a.port) + "\r\nAccept: */*\r\nConnection: close\r\n\r\n";
}

struct response_head {
    int status = 0;
    bool chunked = false;
    long length = -1;
    std::string content_type;
};

// Parses the head at the front of text (up to the empty line, removed).
std::optional<response_head> take_head(std::string &text) {
    std::size_t end = text.find("\r\n\r\n");
    if (end == std::string::npos) return std::nullopt;
    std::string head = text.substr(0, end + 2);
    text.erase(0, end + 4);
    response_head h;
    if (std::sscanf(head.c_str(), "HTTP/1.%*1d %3d", &h.status) != 1) return std::nullopt;
    for (std::size_t at = head.find("\r\n"); at != std::string::npos;) {
        std::size_t next = head.find("\r\n", at + 2);
        if (next == std::string::npos) break;
        std::string line = head.substr(at + 2, next - at - 2);
        at = next;
        std::size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        std::string name = line.substr(0, colon);
        std::string value = line.substr(colon + 1);
        value.erase(0, value.find_first_not_of(" \t"));
        for (char &c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (name == "transfer-encoding" && value.find("chunked") != std::string::npos)
            h.chunked = true;
        else if (name == "content-length")
            h.length = std::strtol(value.c_str(), nullptr, 10);
        else if (name == "content-type")
            h.content_type = value;
    }
    return h;
}

} // namespace

std::optional<web_address> parse_web_runtime(std::string_view text) {
    std::string line(text.substr(0, text.find('\n')));
    char host[64];
    int port = 0;
    long pid = 0;
    int used = 0;
    if (std::sscanf(line.c_str(), "%63s %d %ld%n", host, &port, &pid, &used) != 3 ||
        static_cast<std::size_t>(used) != line.size() || port <= 0 || port > 65535 || pid <= 0)
        return std::nullopt;
    return web_address{host, port, pid};
}

std::string format_web_runtime(const web_address &a) {
    return a.host + " " + std::to_string(a.port) + " " + std::to_string(a.pid) + "\n";
}

bool write_web_runtime(const std::string &path, const web_address &a) {
    return write_runtime_file(path, format_web_runtime(a));
}

void remove_web_runtime(const std::string &path, long pid) {
    auto a = parse_web_runtime(read_runtime_file(path));
    if (a && a->pid == pid) unlink(path.c_str());
}

std::optional<web_address> running_web(const std::string &path) {
    auto a = parse_web_runtime(read_runtime_file(path));
    // A file left by a pipd-web that was killed names a process that is gone.
    if (!a || !process_alive(a->pid)) return std::nullopt;
    return a;
}

bool take_chunks(std::string &raw, std::string &out) {
    for (;;) {
        std::size_t eol = raw.find("\r\n");
        if (eol == std::string::npos) return raw.size() < 64; // a size line is short
        char *end = nullptr;
        unsigned long size = std::strtoul(raw.c_str(), &end, 16);
        if (end == raw.c_str() || (*end != '\r' && *end != ';') || size > (1ul << 24)) return false;
        if (size == 0) return false;
        if (raw.size() < eol + 2 + size + 2) return true;
        out.append(raw, eol + 2, size);
        raw.erase(0, eol + 2 + size + 2);
    }
}

std::optional<http_reply> http_get(const web_address &a, const std::string &target,
                                   int timeout_ms) {
    auto until = clock_type::now() + std::chrono::milliseconds(timeout_ms);
    int fd = connect_to(a, timeout_ms);
    if (fd < 0) return std::nullopt;
    std::string text;
    bool ok = send_all(fd, request(a, target), until);
    while (ok && read_some(fd, text, until) > 0) {
    }
    close(fd);
    auto head = take_head(text);
    if (!ok || !head) return std::nullopt;
    http_reply r{head->status, head->content_type, {}};
    if (head->chunked)
        take_chunks(text, r.body);
    else if (head->length >= 0)
        r.body = text.substr(0, static_cast<std::size_t>(head->length));
    else
        r.body = std::move(text);
    return r;
}

web_events::~web_events() {
    if (fd_ >= 0) close(fd_);
}

bool web_events::open(const web_address &a, int timeout_ms) {
    auto until = clock_type::now() + std::chrono::milliseconds(timeout_ms);
    fd_ = connect_to(a, timeout_ms);
    if (fd_ < 0) return false;
    std::optional<response_head> head;
    if (send_all(fd_, request(a, "/api/events"), until))
        while (!(head = take_head(raw_)) && read_some(fd_, raw_, until) > 0) {
        }
    if (!head || head->status != 200) {
        close(fd_);
        fd_ = -1;
        return false;
    }
    chunked_ = head->chunked;
    return true;
}

std::optional<std::string> web_events::next_status(int timeout_ms) {
    auto until = clock_type::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        // Bytes may wait from an earlier read (the head's read too).
        if (chunked_) {
            if (!take_chunks(raw_, events_) && fd_ >= 0) {
                close(fd_);
                fd_ = -1;
            }
        } else {
            events_ += raw_;
            raw_.clear();
        }
        // Whole events end with an empty line.
        std::size_t end;
        while ((end = events_.find("\n\n")) != std::string::npos) {
            std::string ev = events_.substr(0, end + 1);
            events_.erase(0, end + 2);
            std::string name = "message", data;
            for (std::size_t at = 0; at < ev.size();) {
                std::size_t nl = ev.find('\n', at);
                std::string line = ev.substr(at, nl - at);
                at = nl + 1;
                auto value = [&line](std::size_t from) {
                    return from < line.size() && line[from] == ' ' ? line.substr(from + 1)
                                                                   : line.substr(from);
                };
                if (line.rfind("event:", 0) == 0)
                    name = value(6);
                else if (line.rfind("data:", 0) == 0)
                    data += value(5);
            }
            if (name == "status") {
                offline_ = false;
                return data;
            }
            if (name == "offline") offline_ = true;
        }
        if (fd_ < 0) return std::nullopt;
        int got = read_some(fd_, raw_, until);
        if (got < 0) {
            close(fd_);
            fd_ = -1;
        } else if (got == 0) {
            return std::nullopt;
        }
    }
}

} // namespace pipd::web
