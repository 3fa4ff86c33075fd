// pipd-web: the web remote. A small HTTP server that serves one page (built
// into the program), the player's status and queue as JSON, a live event
// stream, and takes commands, which it writes into the command pipe.

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <httplib.h>
#include <ifaddrs.h>
#include <malloc.h>
#include <map>
#include <memory>
#include <mutex>
#include <net/if.h>
#include <nlohmann/json.hpp>
#include <poll.h>
#include <pthread.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "core/paths.h"
#include "protocol/commands.h"
#include "web/api.h"
#include "web/request_head.h"
#include "web/status_hub.h"
#include "client/web_client.h"

// The page and its assets (generated at build time from web/).
struct web_asset {
    const char *path;
    const char *type;
    const unsigned char *data;
    std::size_t size;
};
extern const web_asset WEB_ASSETS[];
extern const std::size_t WEB_ASSET_COUNT;

namespace {

using json = nlohmann::json;
using namespace std::chrono_literals;
using clock_type = std::chrono::steady_clock;

const char usage_text[] =
    "usage: pipd-web [--listen ADDR:PORT] [--token TOKEN] [--allow-host NAME]...\n"
    "\n"
    "Serves the web remote of pipd: a page to open in a browser, and its API\n"
    "(GET /api/status, GET /api/queue, GET /api/events, POST /api/command).\n"
    "It is the one reader of the status pipe; pipd-ctl asks it while it runs.\n"
    "\n"
    "  --listen ADDR:PORT  numeric address and port to listen on (default\n"
    "                      127.0.0.1:8080, this machine only; 0.0.0.0:8080 opens\n"
    "                      it to the local network; port 0 picks a free port)\n"
    "  --token TOKEN       every command must carry \"Authorization: Bearer TOKEN\"\n"
    "                      (the page asks for it once and remembers it)\n"
    "  --allow-host NAME   a host name the page may be opened under; numeric\n"
    "                      addresses, localhost and this machine's name (also\n"
    "                      with .local) always may, other names are refused so\n"
    "                      that no web site can reach the server through its own\n"
    "                      name (DNS rebinding)\n"
    "  --help              this text\n"
    "  --version           the version of pipd-web\n";

constexpr std::size_t QUEUE_FILE_LIMIT = 16u << 20;
constexpr int MAX_THREADS = 256;
// Event streams each hold a thread; the rest stay free for requests.
constexpr int MAX_EVENT_STREAMS = 224;
constexpr std::size_t THREAD_STACK = 512u << 10;
constexpr auto THREAD_IDLE = 10s;
constexpr auto KEEP_ALIVE_EVERY = 15s;
// How long a command waits for the status to show its effect.
constexpr auto COMMAND_SETTLE = 2000ms;
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

const httplib::Headers SECURITY_HEADERS = {
    {"Content-Security-Policy",
     "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; "
     "connect-src 'self'; manifest-src 'self'; base-uri 'none'; form-action 'none'; "
     "frame-ancestors 'none'"},
    {"X-Content-Type-Options", "nosniff"},
    {"X-Frame-Options", "DENY"},
    {"Referrer-Policy", "no-referrer"},
};

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

// ---- Connections --------------------------------------------------------

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
    pipd::web::head_check read_head() {
        deadline_ = clock_type::now() + REQUEST_DEADLINE;
        buf_.erase(0, pos_);
        pos_ = 0;
        for (;;) {
            auto head = pipd::web::check_head(buf_);
            if (head.verdict == head.taken) end_ = read_ + head.head_size + head.body_size;
            if (head.verdict != head.incomplete) return head;
            char chunk[4096];
            ssize_t n = wait(POLLIN, deadline_)
                            ? recv(fd_, chunk,
                                   std::min(sizeof chunk, pipd::web::HEAD_LIMIT - buf_.size()), 0)
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

// The server: a longer queue of connections waiting to be accepted than the
// library's default of five, and each connection served through the above.
class server final : public httplib::Server {
  public:
    int bind_listen(const std::string &host, int port) {
        if (port == 0) {
            port = bind_to_any_port(host);
            if (port <= 0) return -1;
        } else if (!bind_to_port(host, port)) {
            return -1;
        }
        ::listen(svr_sock_, 1024);
        return port;
    }

  private:
    bool process_and_close_socket(socket_t sock) override {
        connection c(sock, svr_sock_);
        serve(c, peer_of(sock));
        c.close_connection();
        return true;
    }

    void serve(connection &c, const std::string &peer) {
        for (std::size_t left = keep_alive_max_count_; left > 0; --left) {
            if (!waiting_.enter(peer)) return;
            pipd::web::head_check head = c.read_head();
            waiting_.leave(peer);
            if (head.verdict == head.refused) return c.refuse(head.status, head.error);
            if (head.verdict != head.taken) return;
            bool closed = false;
            if (!process_request(c, left == 1, closed, [](httplib::Request &) {}) || closed ||
                !c.request_read())
                return;
        }
    }

    waiting_peers waiting_;
};

// ---- Options ------------------------------------------------------------

struct options {
    std::string host = "127.0.0.1";
    int port = 8080;
    std::string token;
    std::vector<std::string> allowed_hosts;
};

bool numeric_host(const std::string &h) {
    in6_addr a;
    return inet_pton(AF_INET, h.c_str(), &a) == 1 || inet_pton(AF_INET6, h.c_str(), &a) == 1;
}

bool parse_listen(const std::string &text, options &o) {
    std::size_t colon = text.rfind(':');
    if (colon == std::string::npos) return false;
    std::string host = text.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    if (host == "localhost") host = "127.0.0.1";
    std::string port = text.substr(colon + 1);
    char *end = nullptr;
    long p = std::strtol(port.c_str(), &end, 10);
    if (port.empty() || *end || p < 0 || p > 65535 || !numeric_host(host)) return false;
    o.host = host;
    o.port = static_cast<int>(p);
    return true;
}

std::string lower(std::string s) {
    for (char &c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// A browser names in Host the name it resolved. A web site that points its
// own name at this machine (DNS rebinding) would be "same origin" with us and
// could read the queue and send commands, so only names the owner may use are
// served: numeric addresses, localhost, this machine's own name, and the names
// given with --allow-host. A request without Host comes from no browser.
bool host_allowed(const std::string &header, const std::vector<std::string> &names) {
    if (header.empty()) return true;
    std::string h = header;
    if (h.front() == '[') {
        auto close = h.find(']');
        if (close == std::string::npos) return false;
        // Nothing but a port after the bracket.
        if (close + 1 < h.size() &&
            (h[close + 1] != ':' || close + 2 == h.size() ||
             h.find_first_not_of("0123456789", close + 2) != std::string::npos))
            return false;
        // A link-local address carries its zone: [fe80::1%25eth0].
        const std::string address = h.substr(1, std::min(close, h.find('%')) - 1);
        in6_addr a6;
        return inet_pton(AF_INET6, address.c_str(), &a6) == 1;
    }
    h = lower(h.substr(0, h.find(':')));
    if (!h.empty() && h.back() == '.') h.pop_back();
    in_addr a4;
    if (inet_pton(AF_INET, h.c_str(), &a4) == 1 || h == "localhost") return true;
    for (const std::string &n : names)
        if (h == n) return true;
    return false;
}

// The names served: this machine's (bare and with .local) and the options'.
std::vector<std::string> served_names(const std::vector<std::string> &extra) {
    std::vector<std::string> names;
    char own[256] = {};
    if (gethostname(own, sizeof own - 1) == 0 && own[0]) {
        std::string n = lower(own);
        names.push_back(n);
        if (n.find('.') == std::string::npos) names.push_back(n + ".local");
    }
    for (const std::string &e : extra) {
        std::string n = lower(e);
        if (!n.empty() && n.back() == '.') n.pop_back();
        names.push_back(n);
    }
    return names;
}

// Where a local client reaches a server listening on host.
std::string local_host(const std::string &host) {
    if (host == "0.0.0.0") return "127.0.0.1";
    if (host == "::") return "::1";
    return host;
}

std::string url_of(const std::string &host, int port) {
    bool v6 = host.find(':') != std::string::npos;
    return "http://" + (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port) + "/";
}

// The addresses a phone on the local network may use.
std::vector<std::string> lan_addresses(bool v6_too) {
    std::vector<std::string> out;
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0) return out;
    for (ifaddrs *i = list; i; i = i->ifa_next) {
        if (!i->ifa_addr || (i->ifa_flags & IFF_LOOPBACK) || !(i->ifa_flags & IFF_UP)) continue;
        char text[INET6_ADDRSTRLEN];
        if (i->ifa_addr->sa_family == AF_INET) {
            inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in *>(i->ifa_addr)->sin_addr, text,
                      sizeof text);
            out.emplace_back(text);
        } else if (v6_too && i->ifa_addr->sa_family == AF_INET6) {
            auto *a6 = reinterpret_cast<sockaddr_in6 *>(i->ifa_addr);
            if (IN6_IS_ADDR_LINKLOCAL(&a6->sin6_addr)) continue;
            inet_ntop(AF_INET6, &a6->sin6_addr, text, sizeof text);
            out.emplace_back(text);
        }
    }
    freeifaddrs(list);
    return out;
}

// ---- Responses ----------------------------------------------------------

void send_json(httplib::Response &res, int status, const std::string &body) {
    res.status = status;
    res.set_header("Cache-Control", "no-store");
    res.set_content(body, "application/json");
}

void send_error(httplib::Response &res, int status, const std::string &message) {
    send_json(res, status, json{{"error", message}}.dump());
}

const char *reason_text(int status) {
    switch (status) {
    case 400:
        return "bad request";
    case 404:
        return "not found";
    case 405:
        return "method not allowed";
    case 413:
        return "request body too large";
    case 414:
        return "request target too long";
    default:
        return status < 500 ? "request refused" : "server error";
    }
}

// Compares without leaving the place of the first difference in the time.
bool same_secret(const std::string &a, const std::string &b) {
    unsigned char diff = a.size() == b.size() ? 0 : 1;
    for (std::size_t i = 0; i < a.size(); ++i)
        diff |= static_cast<unsigned char>(a[i] ^ b[i % (b.empty() ? 1 : b.size())]);
    return diff == 0 && !b.empty();
}

std::string media_type(const std::string &content_type) {
    std::string t = content_type.substr(0, content_type.find(';'));
    t.erase(t.find_last_not_of(" \t") + 1);
    return lower(t);
}

// ---- The queue file, read again only when it changed ---------------------

class queue_cache {
  public:
    // The queue as served, or an error status with its message.
    std::pair<int, std::string> get() {
        struct stat st;
        if (stat(pipd::QUEUE_FILE_PATH, &st) != 0) return {503, "no queue file: is pipd running?"};
        std::lock_guard lock(mutex_);
        if (!body_.empty() && st.st_ino == ino_ && st.st_size == size_ &&
            st.st_mtim.tv_sec == mtime_.tv_sec && st.st_mtim.tv_nsec == mtime_.tv_nsec)
            return {200, body_};
        if (st.st_size > static_cast<off_t>(QUEUE_FILE_LIMIT))
            return {502, "the queue file is too large"};
        std::string text;
        std::FILE *f = std::fopen(pipd::QUEUE_FILE_PATH, "rb");
        if (!f) return {503, "the queue file cannot be read"};
        // What it holds, which may have grown since.
        char chunk[16384];
        for (std::size_t n;
             text.size() <= QUEUE_FILE_LIMIT && (n = std::fread(chunk, 1, sizeof chunk, f));)
            text.append(chunk, n);
        std::fclose(f);
        if (text.size() > QUEUE_FILE_LIMIT) return {502, "the queue file is too large"};
        auto q = pipd::web::queue_for_api(text);
        if (!q) return {502, "the queue file does not hold a queue"};
        body_ = q->dump();
        ino_ = st.st_ino;
        size_ = st.st_size;
        mtime_ = st.st_mtim;
        return {200, body_};
    }

  private:
    std::mutex mutex_;
    std::string body_;
    ino_t ino_ = 0;
    off_t size_ = 0;
    timespec mtime_{};
};

// ---- Commands -----------------------------------------------------------

// Writes one command word; an error message when the daemon cannot take it.
std::string write_command(int32_t word) {
    int fd = open(pipd::CMD_FIFO_PATH, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return errno == ENXIO || errno == ENOENT
                   ? "pipd is not running"
                   : std::string("command pipe: ") + std::strerror(errno);
    // One whole word per write: the pipe keeps it in one piece.
    ssize_t n = write(fd, &word, sizeof word);
    int e = errno;
    close(fd);
    if (n == static_cast<ssize_t>(sizeof word)) return "";
    return n < 0 && e == EAGAIN ? "pipd does not take commands (its command pipe is full)"
                                : std::string("command pipe: ") + std::strerror(e);
}

bool shows_power_on(const std::string &record) {
    json j = json::parse(record, nullptr, false);
    return j.is_object() && j.value("status", "") != "poweroff";
}

// ---- Event streams ------------------------------------------------------

std::string event_text(const pipd::web::status_view &v) {
    if (v.daemon) return "event: status\ndata: " + v.record + "\n\n";
    return "event: offline\ndata: " +
           json{{"error", v.record.empty() ? "no status from pipd yet: is it running?"
                                           : "pipd has stopped: its status pipe was closed"}}
               .dump() +
           "\n\n";
}

struct stream_state {
    uint64_t seen = 0;
    bool first = true;
    clock_type::time_point last_write = clock_type::now();
};

// ---- Signals ------------------------------------------------------------

sigset_t stop_signals() {
    sigset_t s;
    sigemptyset(&s);
    sigaddset(&s, SIGINT);
    sigaddset(&s, SIGTERM);
    sigaddset(&s, SIGHUP);
    return s;
}

} // namespace

int main(int argc, char **argv) {
    options opt;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--help") {
            std::fputs(usage_text, stdout);
            return 0;
        }
        if (a == "--version") {
            std::printf("pipd-web %s\n", PIPD_VERSION_TEXT);
            return 0;
        }
        if (a == "--listen" && i + 1 < argc && parse_listen(argv[i + 1], opt)) {
            ++i;
        } else if (a == "--token" && i + 1 < argc && argv[i + 1][0]) {
            opt.token = argv[++i];
        } else if (a == "--allow-host" && i + 1 < argc && argv[i + 1][0]) {
            opt.allowed_hosts.emplace_back(argv[++i]);
        } else {
            std::fprintf(stderr, "pipd-web: bad argument %s\n\n%s", a.c_str(), usage_text);
            return 64;
        }
    }
    // A client that goes away mid-response must not end the server.
    std::signal(SIGPIPE, SIG_IGN);
    // Few threads do real work at a time: keep malloc's arenas few.
    mallopt(M_ARENA_MAX, 2);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    // Every thread made from here on leaves the stop signals to sigwait.
    sigset_t sigs = stop_signals();
    pthread_sigmask(SIG_BLOCK, &sigs, nullptr);

    pipd::web::status_hub hub;
    pipd::web::status_reader reader(hub, pipd::STATUS_FIFO_PATH);
    queue_cache queue;
    std::mutex command_mutex;
    std::atomic<int> streams{0};

    server svr;
    svr.new_task_queue = [] { return new elastic_pool(MAX_THREADS); };
    svr.set_payload_max_length(pipd::web::BODY_LIMIT);
    svr.set_default_headers(SECURITY_HEADERS);
    svr.set_error_handler([](const httplib::Request &, httplib::Response &res) {
        if (res.body.empty()) send_error(res, res.status, reason_text(res.status));
    });
    svr.set_exception_handler([](const httplib::Request &, httplib::Response &res,
                                 std::exception_ptr) { send_error(res, 500, "server error"); });

    const std::vector<std::string> names = served_names(opt.allowed_hosts);
    // Before the body is read: the name, and a command's token.
    svr.set_pre_routing_handler([&](const httplib::Request &req, httplib::Response &res) {
        if (!host_allowed(req.get_header_value("Host"), names)) {
            send_error(res, 403,
                       "this server is not served under the name " + req.get_header_value("Host") +
                           " (start pipd-web with --allow-host NAME to allow a name)");
            return server::HandlerResponse::Handled;
        }
        if (opt.token.empty() || req.method != "POST" || req.path != "/api/command")
            return server::HandlerResponse::Unhandled;
        std::string auth = req.get_header_value("Authorization");
        if (auth.empty()) {
            res.set_header("WWW-Authenticate", "Bearer realm=\"pipd-web\"");
            send_error(res, 401, "a token is needed");
        } else if (auth.rfind("Bearer ", 0) != 0 || !same_secret(auth.substr(7), opt.token)) {
            send_error(res, 403, "wrong token");
        } else {
            return server::HandlerResponse::Unhandled;
        }
        return server::HandlerResponse::Handled;
    });

    // The page: only the built-in assets, looked up by exact path.
    for (std::size_t i = 0; i < WEB_ASSET_COUNT; ++i) {
        const web_asset &a = WEB_ASSETS[i];
        auto serve = [&a](const httplib::Request &, httplib::Response &res) {
            res.set_header("Cache-Control", "no-cache");
            res.set_content(reinterpret_cast<const char *>(a.data), a.size, a.type);
        };
        std::string path = a.path;
        // Patterns are regular expressions: a literal path, escaped.
        std::string pattern;
        for (char c : path) {
            if (!std::isalnum(static_cast<unsigned char>(c)) && c != '/' && c != '-' && c != '_')
                pattern += '\\';
            pattern += c;
        }
        svr.Get(pattern, serve);
        if (path == "/index.html") svr.Get("/", serve);
    }

    svr.Get("/api/status", [&](const httplib::Request &, httplib::Response &res) {
        pipd::web::status_view v = hub.view();
        if (!v.daemon)
            return send_error(res, 503,
                              v.record.empty() ? "no status from pipd yet: is it running?"
                                               : "pipd has stopped: its status pipe was closed");
        send_json(res, 200, v.record);
    });

    svr.Get("/api/queue", [&](const httplib::Request &, httplib::Response &res) {
        auto [status, body] = queue.get();
        if (status != 200) return send_error(res, status, body);
        send_json(res, 200, body);
    });

    svr.Get("/api/events", [&](const httplib::Request &, httplib::Response &res) {
        if (streams.fetch_add(1) >= MAX_EVENT_STREAMS) {
            streams.fetch_sub(1);
            return send_error(res, 503, "too many event streams");
        }
        res.set_header("Cache-Control", "no-store");
        auto state = std::make_shared<stream_state>();
        res.set_chunked_content_provider(
            "text/event-stream",
            [&hub, state](std::size_t, httplib::DataSink &sink) {
                if (hub.stopped()) return false;
                std::string out;
                if (state->first) out = "retry: 2000\n\n";
                auto v = hub.wait(
                    [&](const pipd::web::status_view &s) { return s.version != state->seen; },
                    state->first ? 0ms : 1000ms);
                if (state->first || v.version != state->seen) {
                    state->first = false;
                    state->seen = v.version;
                    out += event_text(v);
                } else if (clock_type::now() - state->last_write >= KEEP_ALIVE_EVERY) {
                    out = ": keep-alive\n\n";
                }
                // Nothing to say: go on only while the client is still there.
                if (out.empty()) return sink.is_writable();
                state->last_write = clock_type::now();
                return sink.write(out.data(), out.size());
            },
            [&streams](bool) { streams.fetch_sub(1); });
    });

    svr.Post("/api/command", [&](const httplib::Request &req, httplib::Response &res) {
        // The token was checked before routing. Only JSON: a browser never sends that cross-site
        // without asking first, so no other site's form can steer the player.
        if (media_type(req.get_header_value("Content-Type")) != "application/json")
            return send_error(res, 415, "commands are JSON (Content-Type: application/json)");
        pipd::web::command_request cmd = pipd::web::parse_command(req.body);
        if (!cmd.error.empty()) return send_error(res, 400, cmd.error);

        pipd::web::status_view before = hub.view();
        // A power-on while the player is on would start the entry over.
        if (cmd.word == pipd::PLAYER_ACTION_POWER_ON && before.daemon &&
            shows_power_on(before.record))
            return send_json(res, 200, before.record);
        std::string failed;
        {
            std::lock_guard lock(command_mutex);
            failed = write_command(cmd.word);
        }
        if (!failed.empty()) return send_error(res, 503, failed);
        std::printf("pipd-web: command %s from %s\n", req.body.c_str(), req.remote_addr.c_str());
        // The answer is the status once it shows the command's effect (or,
        // for a command that changes nothing to be seen, after a while).
        json was = json::parse(before.record, nullptr, false);
        pipd::web::status_view after = hub.wait(
            [&](const pipd::web::status_view &v) {
                if (v.shifts == before.shifts) return false;
                return !v.daemon || pipd::web::shows_effect(
                                        cmd.word, was, json::parse(v.record, nullptr, false), true);
            },
            COMMAND_SETTLE);
        if (!after.daemon) return send_error(res, 503, "pipd is not running");
        send_json(res, 200, after.record);
    });

    // Wrong methods on the API's paths.
    struct allowed {
        const char *path;
        const char *allow;
    };
    for (auto [path, allow] :
         {allowed{"/api/status", "GET, HEAD"}, allowed{"/api/queue", "GET, HEAD"},
          allowed{"/api/events", "GET, HEAD"}, allowed{"/api/command", "POST"}}) {
        std::string allow_text = allow;
        auto refuse = [allow_text](const httplib::Request &, httplib::Response &res) {
            res.set_header("Allow", allow_text);
            send_error(res, 405, "method not allowed (allowed: " + allow_text + ")");
        };
        if (allow_text == "POST")
            svr.Get(path, refuse);
        else
            svr.Post(path, refuse);
        svr.Put(path, refuse);
        svr.Patch(path, refuse);
        svr.Delete(path, refuse);
        svr.Options(path, refuse);
    }

    int port = svr.bind_listen(opt.host, opt.port);
    if (port < 0) {
        std::fprintf(stderr, "pipd-web: cannot listen on %s port %d: %s\n", opt.host.c_str(),
                     opt.port, std::strerror(errno));
        return 1;
    }
    if (!reader.start()) {
        std::fprintf(stderr, "pipd-web: cannot start the status reader\n");
        return 1;
    }
    pipd::web::web_address self{local_host(opt.host), port, static_cast<long>(getpid())};
    if (!pipd::web::write_web_runtime(pipd::WEB_RUNTIME_PATH, self))
        std::fprintf(stderr, "pipd-web: cannot write %s: local clients will not find it\n",
                     pipd::WEB_RUNTIME_PATH);
    std::printf("pipd-web: listening on %s\n", url_of(self.host, port).c_str());
    if (opt.host == "0.0.0.0" || opt.host == "::")
        for (const std::string &a : lan_addresses(opt.host == "::"))
            std::printf("pipd-web: on the local network: %s\n", url_of(a, port).c_str());

    std::thread stopper([&] {
        int sig = 0;
        sigwait(&sigs, &sig);
        hub.stop(); // ends the event streams at once
        svr.stop();
    });
    bool ok = svr.listen_after_bind();
    // The listener ended (a signal, or it failed): stop the rest.
    if (stopper.joinable()) {
        pthread_kill(stopper.native_handle(), SIGTERM);
        stopper.join();
    }
    hub.stop();
    reader.stop();
    pipd::web::remove_web_runtime(pipd::WEB_RUNTIME_PATH, self.pid);
    std::printf("pipd-web: stopped\n");
    return ok ? 0 : 1;
}
