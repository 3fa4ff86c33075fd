#include "client/status_source.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <nlohmann/json.hpp>
#include <poll.h>
#include <thread>
#include <unistd.h>

#include "core/paths.h"
#include "core/utf8.h"
#include "protocol/status.h"

namespace pipd::client {

volatile std::sig_atomic_t stop_requested = 0;

namespace {

using json = nlohmann::json;
using clock_type = std::chrono::steady_clock;

long number_field(const json &j, const char *key) {
    auto it = j.find(key);
    if (it == j.end() || !it->is_string()) return 0;
    return std::strtol(it->get_ref<const std::string &>().c_str(), nullptr, 10);
}

// A text field of a record, as terminal_text shows it ("" when absent).
std::string text_field(const json &j, const char *key) {
    auto it = j.find(key);
    return it != j.end() && it->is_string() ? terminal_text(it->get<std::string>()) : "";
}

} // namespace

std::string terminal_text(const std::string &s) {
    std::string out;
    char esc[8];
    for (std::size_t i = 0; i < s.size();) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        std::size_t n = pipd::utf8_sequence_length(
            reinterpret_cast<const unsigned char *>(s.data()) + i, s.size() - i);
        if (n == 1 && c >= 0x20 && c != 0x7F) {
            out += s[i++];
        } else if (n == 2 && c == 0xC2 && static_cast<unsigned char>(s[i + 1]) < 0xA0) {
            std::snprintf(esc, sizeof esc, "\\u%04x", static_cast<unsigned char>(s[i + 1]));
            out += esc;
            i += 2;
        } else if (n > 1) {
            out.append(s, i, n);
            i += n;
        } else {
            std::snprintf(esc, sizeof esc, "\\x%02x", c);
            out += esc;
            ++i;
        }
    }
    return out;
}

std::optional<status> parse_status(const std::string &text) {
    json j = json::parse(text, nullptr, false);
    if (!j.is_object() || !j.contains("status")) return std::nullopt;
    status s;
    s.text = text;
    s.state = text_field(j, "status");
    s.track = text_field(j, "track");
    s.queue_count = number_field(j, "playqueueCount");
    s.length_ms = number_field(j, "length");
    s.frequency = number_field(j, "frequency");
    s.bps = number_field(j, "bps");
    s.channels = number_field(j, "channel");
    s.elapsed_ms = number_field(j, "els");
    s.randid = number_field(j, "randid");
    s.repeat = number_field(j, "repeat");
    return s;
}

status_record_reader::status_record_reader(std::size_t records_per_read)
    : buf_(STATUS_SIZE * std::max<std::size_t>(records_per_read, 1)) {}

long status_record_reader::read_from(int fd, const std::function<void(std::string_view)> &each) {
    ssize_t got = read(fd, buf_.data() + have_, buf_.size() - have_);
    if (got == 0) have_ = 0;
    if (got <= 0) return static_cast<long>(got);
    have_ += static_cast<std::size_t>(got);
    // Records are written whole, each one JSON text and zero bytes.
    std::size_t at = 0;
    for (; have_ - at >= STATUS_SIZE; at += STATUS_SIZE) {
        const char *rec = buf_.data() + at;
        each(std::string_view(rec, strnlen(rec, STATUS_SIZE)));
    }
    std::memmove(buf_.data(), buf_.data() + at, have_ - at);
    have_ -= at;
    return static_cast<long>(got);
}

pipe_status_source::pipe_status_source(int fd) : fd_(fd), records_(1) {}

pipe_status_source::~pipe_status_source() {
    close(fd_);
}

std::optional<status> pipe_status_source::fresh(int timeout_ms) {
    read_waiting();
    return latest(timeout_ms);
}

std::optional<status> pipe_status_source::latest(int timeout_ms) {
    auto until = clock_type::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        std::optional<status> s = read_waiting();
        if (s || stop_requested) return s;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - clock_type::now())
                        .count();
        if (left <= 0) return std::nullopt;
        pollfd p{fd_, POLLIN, 0};
        // Without a writer the pipe reads as ended and polls as hung up
        // at once: look again a little later.
        if (poll(&p, 1, static_cast<int>(std::min<long>(left, 100))) > 0 && !(p.revents & POLLIN))
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

// Reads the whole records waiting (at most a pipe's worth: the daemon may
// write them as fast as they are read); the newest of them.
std::optional<status> pipe_status_source::read_waiting() {
    std::optional<std::string> newest;
    for (int i = 0; i < 32; ++i) {
        // Records are written whole (below PIPE_BUF) and read whole.
        long n = records_.read_from(fd_, [&newest](std::string_view r) { newest = r; });
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
    }
    if (!newest) return std::nullopt;
    return parse_status(*newest);
}

std::unique_ptr<status_source> open_pipe_source() {
    int fd = open(pipd::STATUS_FIFO_PATH, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        std::fprintf(stderr, "pipd-ctl: cannot read %s: %s\n", pipd::STATUS_FIFO_PATH,
                     std::strerror(errno));
        return nullptr;
    }
    return std::make_unique<pipe_status_source>(fd);
}

web_status_source::web_status_source(std::unique_ptr<pipd::web::web_events> events)
    : events_(std::move(events)) {}

std::optional<status> web_status_source::latest(int timeout_ms) {
    if (!events_->ended()) {
        auto text = events_->next_status(timeout_ms);
        if (text) return parse_status(*text);
        if (!events_->ended()) return std::nullopt;
    }
    if (!pipe_ && !(pipe_ = open_pipe_source())) return std::nullopt;
    return pipe_->latest(timeout_ms);
}

std::unique_ptr<status_source> open_status_source() {
    if (auto web = pipd::web::running_web(pipd::WEB_RUNTIME_PATH)) {
        auto events = std::make_unique<pipd::web::web_events>();
        if (events->open(*web, 1000)) return std::make_unique<web_status_source>(std::move(events));
    }
    return open_pipe_source();
}

} // namespace pipd::client
