#include "web/status_hub.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "client/status_source.h"

namespace pipd::web {

namespace {

// Consecutive records while playing lie one decoded block apart: far less
// than this. A larger leap forward is a seek.
constexpr long ELAPSED_LEAP_MS = 1500;

} // namespace

long record_elapsed(const nlohmann::json &record) {
    if (!record.is_object()) return 0;
    auto it = record.find("els");
    if (it == record.end() || !it->is_string()) return 0;
    return std::strtol(it->get_ref<const std::string &>().c_str(), nullptr, 10);
}

record_change classify(const nlohmann::json &a, const nlohmann::json &b) {
    if (!a.is_object() || !b.is_object() || a.size() != b.size()) return record_change::shift;
    for (auto it = b.begin(); it != b.end(); ++it) {
        if (it.key() == "els") continue;
        auto other = a.find(it.key());
        if (other == a.end() || *other != it.value()) return record_change::shift;
    }
    long before = record_elapsed(a), after = record_elapsed(b);
    if (after < before || after - before > ELAPSED_LEAP_MS) return record_change::shift;
    return after == before ? record_change::none : record_change::elapsed;
}

bool status_hub::put_record(std::string_view text) {
    nlohmann::json record = nlohmann::json::parse(text, nullptr, false);
    if (!record.is_object()) return false;
    {
        std::lock_guard lock(mutex_);
        long second = record_elapsed(record) / 1000;
        bool event = !view_.daemon || second != published_second_;
        if (classify(last_, record) == record_change::shift) {
            ++view_.shifts;
            event = true;
        }
        if (event) {
            ++view_.version;
            published_second_ = second;
        }
        view_.daemon = true;
        view_.record.assign(text);
        last_ = std::move(record);
    }
    changed_.notify_all();
    return true;
}

void status_hub::put_daemon_gone() {
    {
        std::lock_guard lock(mutex_);
        if (!view_.daemon) return;
        view_.daemon = false;
        ++view_.version;
        ++view_.shifts;
        published_second_ = -1;
    }
    changed_.notify_all();
}

status_view status_hub::view() const {
    std::lock_guard lock(mutex_);
    return view_;
}

status_view status_hub::wait(const std::function<bool(const status_view &)> &done,
                             std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, timeout, [&] { return stop_ || done(view_); });
    return view_;
}

void status_hub::stop() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    changed_.notify_all();
}

bool status_hub::stopped() const {
    std::lock_guard lock(mutex_);
    return stop_;
}

status_reader::status_reader(status_hub &hub, std::string path)
    : hub_(hub), path_(std::move(path)) {}

status_reader::~status_reader() {
    stop();
}

bool status_reader::start() {
    if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    thread_ = std::thread([this] { run(); });
    return true;
}

void status_reader::stop() {
    if (thread_.joinable()) {
        char c = 0;
        ssize_t n = write(wake_[1], &c, 1);
        (void)n;
        thread_.join();
    }
    for (int &fd : wake_)
        if (fd >= 0) close(fd), fd = -1;
}

void status_reader::run() {
    int fd = -1;
    client::status_record_reader records(16);
    for (;;) {
        int wait_ms = -1;
        if (fd < 0) {
            // Opening for reading never waits with O_NONBLOCK; it fails only
            // while the pipe is missing.
            fd = open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
            if (fd < 0) {
                hub_.put_daemon_gone();
                wait_ms = 1000;
            }
        }
        pollfd p[2] = {{wake_[0], POLLIN, 0}, {fd, POLLIN, 0}};
        int n = poll(p, fd < 0 ? 1 : 2, wait_ms);
        if (n < 0 && errno != EINTR) break;
        if (p[0].revents) break;
        if (fd < 0 || !(p[1].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        long got = records.read_from(fd, [this](std::string_view r) { hub_.put_record(r); });
        if (got == 0) {
            // Every writer has closed the pipe: the daemon is gone. A fresh
            // descriptor waits quietly for the next writer (the old one
            // would report the hang-up for ever).
            hub_.put_daemon_gone();
            close(fd);
            fd = -1;
            pollfd w{wake_[0], POLLIN, 0};
            if (poll(&w, 1, 100) > 0) break;
        }
    }
    if (fd >= 0) close(fd);
}

} // namespace pipd::web
