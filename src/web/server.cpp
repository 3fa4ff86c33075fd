#include "web/server.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include "web/request_head.h"

namespace pipd::web {

const httplib::Headers SECURITY_HEADERS = {
    {"Content-Security-Policy",
     "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; "
     "connect-src 'self'; manifest-src 'self'; base-uri 'none'; form-action 'none'; "
     "frame-ancestors 'none'"},
    {"X-Content-Type-Options", "nosniff"},
    {"X-Frame-Options", "DENY"},
    {"Referrer-Policy", "no-referrer"},
};

namespace {

using json = nlohmann::json;
using namespace std::chrono_literals;
using clock_type = std::chrono::steady_clock;

constexpr std::size_t THREAD_STACK = 512u << 10;
constexpr auto THREAD_IDLE = 10s;
// A request's head and body arrive within this from when the server starts
// waiting for it; so long an idle connection is kept open.
constexpr auto REQUEST_DEADLINE = 5s;
constexpr auto WRITE_TIMEOUT = 5s;
// Connections of one address (or IPv6 /64) waiting for a request at once;
// those beyond are closed unanswered. With the deadline, this keeps the slow
// clients of one machine from holding the threads that others need.
constexpr int PEER_WAITING = 16;
// After a refusal, what the client still sends is read and dropped for a
// while, so that closing does not reset the connection before the client
// has read the answer.
constexpr auto LINGER = 1s;
constexpr std::size_t LINGER_BYTES = 1u << 20;

// ---- Threads ------------------------------------------------------------

// Threads made as connections need them, with small stacks, up to a limit;
// idle ones end after a while, so a crowd of event streams that came and
// went leaves nothing behind.
class elastic_pool final : public httplib::TaskQueue {
  public:
    explicit elastic_pool(int max_threads) : max_(max_threads) {}
    ~elastic_pool() override { shutdown(); }

    void enqueue(std::function<void()> fn) override {
        std::unique_lock lock(mutex_);
        jobs_.push_back(std::move(fn));
        // Idle threads that were woken may not have taken their jobs yet:
        // a new thread is needed while jobs outnumber them.
        if (jobs_.size() > static_cast<std::size_t>(idle_) && threads_ < max_ && spawn()) return;
        lock.unlock();
        work_.notify_one();
    }

    void shutdown() override {
        std::unique_lock lock(mutex_);
        shutdown_ = true;
        work_.notify_all();
        gone_.wait(lock, [this] { return threads_ == 0; });
    }

  private:
    // With the lock held.
    bool spawn() {
        pthread_attr_t attr;
        pthread_attr_init(&attr);
        pthread_attr_setstacksize(&attr, THREAD_STACK);
        pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
        pthread_t t;
        int rc = pthread_create(&t, &attr, &elastic_pool::main, this);
        pthread_attr_destroy(&attr);
        if (rc == 0) ++threads_;
        return rc == 0;
    }

    static void *main(void *self) {
        static_cast<elastic_pool *>(self)->work();
        return nullptr;
    }

    void work() {
        std::unique_lock lock(mutex_);
        for (;;) {
            ++idle_;
            bool woke =
                work_.wait_for(lock, THREAD_IDLE, [this] { return shutdown_ || !jobs_.empty(); });
            --idle_;
            if (jobs_.empty() && (shutdown_ || !woke)) break;
            auto fn = std::move(jobs_.front());
            jobs_.pop_front();
            lock.unlock();
            fn();
            fn = nullptr;
            lock.lock();
        }
        --threads_;
        gone_.notify_all();
    }

    const int max_;
    std::mutex mutex_;
    std::condition_variable work_, gone_;
    std::deque<std::function<void()>> jobs_;
    int threads_ = 0;
    int idle_ = 0;
    bool shutdown_ = false;
};

const char *status_phrase(int status) {
    switch (status) {
    case 408:
        return "Request Timeout";
    case 411:
        return "Length Required";
    case 413:
        return "Payload Too Large";
    case 414:
        return "URI Too Long";
    case 431:
        return "Request Header Fields Too Large";
    default:
        return "Bad Request";
    }
}

std::string address_text(const sockaddr_storage &a, int *port = nullptr) {
    char text[INET6_ADDRSTRLEN] = "";
    if (a.ss_family == AF_INET) {
        auto *a4 = reinterpret_cast<const sockaddr_in *>(&a);
        inet_ntop(AF_INET, &a4->sin_addr, text, sizeof text);
        if (port) *port = ntohs(a4->sin_port);
    } else if (a.ss_family == AF_INET6) {
        auto *a6 = reinterpret_cast<const sockaddr_in6 *>(&a);
        inet_ntop(AF_INET6, &a6->sin6_addr, text, sizeof text);
        if (port) *port = ntohs(a6->sin6_port);
    }
    return text;
}

// Whom the limit per peer counts a connection to: its address, or for IPv6
// its /64, of which one machine may use any address it likes.
std::string peer_of(int fd) {
    sockaddr_storage a{};
    socklen_t len = sizeof a;
    if (getpeername(fd, reinterpret_cast<sockaddr *>(&a), &len) != 0) return "";
    auto *a6 = reinterpret_cast<sockaddr_in6 *>(&a);
    if (a.ss_family == AF_INET6 && !IN6_IS_ADDR_V4MAPPED(&a6->sin6_addr))
        std::memset(a6->sin6_addr.s6_addr + 8, 0, 8);
    return address_text(a);
}

} // namespace

// The connections of each peer waiting for a request.
class waiting_peers {
  public:
    bool enter(const std::string &peer) {
        std::lock_guard lock(mutex_);
        int &n = count_[peer];
        if (n >= PEER_WAITING) return false;
        ++n;
        return true;
    }
    void leave(const std::string &peer) {
        std::lock_guard lock(mutex_);
        if (--count_[peer] == 0) count_.erase(peer);
    }

  private:
    std::mutex mutex_;
    std::map<std::string, int> count_;
};

// A client's connection as the library reads and writes it. The head of
// each request is read first, whole and within the limits, by a deadline
// that holds for its body too; the library is then given that request's
// bytes and no more (the body of a request that has no Content-Length is
// empty, whatever follows).
class connection final : public httplib::Stream {
  public:
    connection(int fd, const std::atomic<socket_t> &listener) : fd_(fd), listener_(listener) {}

    // Waits for the next request's head: taken, refused (408 when it came
    // too slowly), or incomplete when nothing came before the client left
    // or the deadline passed.
    head_check read_head() {
        deadline_ = clock_type::now() + REQUEST_DEADLINE;
        buf_.erase(0, pos_);
        pos_ = 0;
        for (;;) {
            auto head = check_head(buf_);
            if (head.verdict == head.taken) end_ = read_ + head.head_size + head.body_size;
            if (head.verdict != head.incomplete) return head;
            char chunk[4096];
            ssize_t n = wait(POLLIN, deadline_)
                            ? recv(fd_, chunk, std::min(sizeof chunk, HEAD_LIMIT - buf_.size()), 0)
                            : -1;
            if (n > 0) {
                buf_.append(chunk, static_cast<std::size_t>(n));
            } else {
                if (n < 0 && !buf_.empty()) {
                    head.verdict = head.refused;
                    head.status = 408;
                    head.error = "the request came too slowly";
                }
                return head;
            }
        }
    }
    // Whether the library read the request whole, so that what follows is
    // the next one.
    bool request_read() const { return read_ == end_; }

    void refuse(int status, const std::string &error) {
        const std::string body = json{{"error", error}}.dump();
        std::string text =
            "HTTP/1.1 " + std::to_string(status) + " " + status_phrase(status) + "\r\n";
        for (const auto &[name, value] : SECURITY_HEADERS) text += name + ": " + value + "\r\n";
        text += "Cache-Control: no-store\r\nContent-Type: application/json\r\nContent-Length: " +
                std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
        write(text.data(), text.size());
    }

    // Closes the connection, once the client has had time to read the answer.
    void close_connection() {
        if (wrote_ && shutdown(fd_, SHUT_WR) == 0) {
            auto until = clock_type::now() + LINGER;
            char drop[4096];
            for (std::size_t dropped = 0; dropped < LINGER_BYTES && wait(POLLIN, until);) {
                ssize_t n = recv(fd_, drop, sizeof drop, 0);
                if (n <= 0) break;
                dropped += static_cast<std::size_t>(n);
            }
        }
        close(fd_);
    }

    bool is_readable() const override {
        return pos_ < buf_.size() || (read_ < end_ && wait(POLLIN, deadline_));
    }
    // While the client is there and takes what is sent.
    bool is_writable() const override {
        pollfd p{fd_, POLLOUT | POLLRDHUP, 0};
        return poll(&p, 1, static_cast<int>(WRITE_TIMEOUT / 1ms)) > 0 && p.revents == POLLOUT;
    }

    ssize_t read(char *ptr, std::size_t size) override {
        size = std::min(size, end_ - read_);
        ssize_t n = 0;
        if (size > 0 && pos_ < buf_.size()) {
            n = static_cast<ssize_t>(std::min(size, buf_.size() - pos_));
            std::memcpy(ptr, buf_.data() + pos_, static_cast<std::size_t>(n));
            pos_ += static_cast<std::size_t>(n);
        } else if (size > 0) {
            n = wait(POLLIN, deadline_) ? recv(fd_, ptr, size, 0) : -1;
        }
        if (n > 0) read_ += static_cast<std::size_t>(n);
        return n;
    }

    ssize_t write(const char *ptr, std::size_t size) override {
        wrote_ = true;
        auto until = clock_type::now() + WRITE_TIMEOUT;
        for (std::size_t done = 0; done < size;) {
            if (!wait(POLLOUT, until)) return -1;
            ssize_t n = send(fd_, ptr + done, size - done, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0 && errno != EAGAIN && errno != EINTR) return -1;
            if (n > 0) done += static_cast<std::size_t>(n);
        }
        return static_cast<ssize_t>(size);
    }

    void get_remote_ip_and_port(std::string &ip, int &port) const override {
        sockaddr_storage a{};
        socklen_t len = sizeof a;
        if (getpeername(fd_, reinterpret_cast<sockaddr *>(&a), &len) == 0)
            ip = address_text(a, &port);
    }
    void get_local_ip_and_port(std::string &ip, int &port) const override {
        sockaddr_storage a{};
        socklen_t len = sizeof a;
        if (getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &len) == 0)
            ip = address_text(a, &port);
    }
    socket_t socket() const override { return fd_; }

  private:
    // Whether the socket is ready before until, in slices, so that a server
    // that is stopping lets go at once.
    bool wait(short events, clock_type::time_point until) const {
        for (;;) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(until - clock_type::now());
            if (left <= 0ms || listener_ == INVALID_SOCKET) return false;
            pollfd p{fd_, events, 0};
            int r = poll(
                &p, 1, static_cast<int>(std::min<std::chrono::milliseconds>(left, 100ms).count()));
            if (r > 0) return true;
            if (r < 0 && errno != EINTR) return false;
        }
    }

    const int fd_;
    const std::atomic<socket_t> &listener_;
    std::string buf_;      // the head of a request and what came with it
    std::size_t pos_ = 0;  // how much of it the library read
    std::size_t read_ = 0; // all bytes the library read
    std::size_t end_ = 0;  // where the current request ends in them
    clock_type::time_point deadline_;
    bool wrote_ = false;
};

server::server() : waiting_(std::make_unique<waiting_peers>()) {
    new_task_queue = [] { return new elastic_pool(MAX_THREADS); };
}

server::~server() = default;

int server::bind_listen(const std::string &host, int port) {
    if (port == 0) {
        port = bind_to_any_port(host);
        if (port <= 0) return -1;
    } else if (!bind_to_port(host, port)) {
        return -1;
    }
    ::listen(svr_sock_, 1024);
    return port;
}

bool server::process_and_close_socket(socket_t sock) {
    connection c(sock, svr_sock_);
    serve(c, peer_of(sock));
    c.close_connection();
    return true;
}

void server::serve(connection &c, const std::string &peer) {
    for (std::size_t left = keep_alive_max_count_; left > 0; --left) {
        if (!waiting_->enter(peer)) return;
        head_check head = c.read_head();
        waiting_->leave(peer);
        if (head.verdict == head.refused) return c.refuse(head.status, head.error);
        if (head.verdict != head.taken) return;
        bool closed = false;
        if (!process_request(c, left == 1, closed, [](httplib::Request &) {}) || closed ||
            !c.request_read())
            return;
    }
}

} // namespace pipd::web
