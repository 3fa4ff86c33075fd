// The daemon's status records as a client reads them: from the status pipe,
// or from a running pipd-web, which is then the pipe's reader.
#pragma once

#include <csignal>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "client/web_client.h"

namespace pipd::client {

// Set by a signal: waits for records end early.
extern volatile std::sig_atomic_t stop_requested;

struct status {
    std::string state; // "play", "pause" or "poweroff"
    std::string track;
    long queue_count = 0, length_ms = 0, frequency = 0, bps = 0, channels = 0, elapsed_ms = 0,
         randid = 0, repeat = 0;
    std::string text; // the record as it came
};

// Text from the medium (names, titles) as it may reach a terminal: control
// characters (C0, DEL, C1) and bytes that are not UTF-8 come out escaped
// (\x1b, \u009b), so that a file name cannot retitle the window, move the
// cursor or recolour the screen. Everything else passes as it is.
std::string terminal_text(const std::string &s);

// A record's text as a status, its texts made safe for a terminal; nothing
// when it is no JSON object with a "status".
std::optional<status> parse_status(const std::string &text);

// Splits what is read from the status pipe into its records, fixed-size
// blocks of a JSON text and zero bytes.
class status_record_reader {
  public:
    // Reads at most this many records' bytes at a time.
    explicit status_record_reader(std::size_t records_per_read);
    // One read from fd; each record completed by it goes to each, as the
    // text before its zero bytes. The result of read(): bytes, 0 at the end
    // of the stream (what was pending is dropped), -1 with errno.
    long read_from(int fd, const std::function<void(std::string_view)> &each);
    void clear() { have_ = 0; }

  private:
    std::vector<char> buf_;
    std::size_t have_ = 0;
};

// Where status records come from.
class status_source {
  public:
    virtual ~status_source() = default;
    // The next record that the daemon writes from now on, waiting at most
    // timeout_ms; records already waiting are older than the request.
    virtual std::optional<status> fresh(int timeout_ms) = 0;
    // The newest record, waiting at most timeout_ms for one.
    virtual std::optional<status> latest(int timeout_ms) = 0;
};

class pipe_status_source : public status_source {
  public:
    explicit pipe_status_source(int fd);
    ~pipe_status_source() override;
    std::optional<status> fresh(int timeout_ms) override;
    std::optional<status> latest(int timeout_ms) override;

  private:
    std::optional<status> read_waiting();
    int fd_;
    status_record_reader records_;
};

// The records as the running web remote passes them on (its event stream:
// the newest record at once, then one per change). Should the web remote
// stop, the pipe takes over.
class web_status_source : public status_source {
  public:
    explicit web_status_source(std::unique_ptr<pipd::web::web_events> events);
    // The web remote holds the newest record: nothing stale waits before it.
    std::optional<status> fresh(int timeout_ms) override { return latest(timeout_ms); }
    std::optional<status> latest(int timeout_ms) override;

  private:
    std::unique_ptr<pipd::web::web_events> events_;
    std::unique_ptr<status_source> pipe_;
};

// The status pipe; nothing, with a message, when it cannot be opened.
std::unique_ptr<status_source> open_pipe_source();
// A running pipd-web is the status pipe's reader: ask it, else the pipe.
std::unique_ptr<status_source> open_status_source();

} // namespace pipd::client
