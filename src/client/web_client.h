// Finding and asking a running pipd-web, for local clients such as pipd-ctl.
//
// pipd-web is the one reader of the status pipe, so while it runs a client
// takes the status from it. A running pipd-web keeps the file
// WEB_RUNTIME_PATH (src/host/paths.h) with one line "HOST PORT PID\n":
// where a local client reaches it (a loopback address when it listens on
// every interface) and its process id. It writes the file once it listens
// and removes it when it stops. A client believes the file only while that
// process lives; otherwise, or when the connection fails, it reads the pipe.
//
// What a client asks:
//   GET /api/status  the newest record: the daemon's JSON text unchanged;
//                    503 with {"error":...} while no daemon writes records.
//   GET /api/events  Server-Sent Events: "event: status" whose data is a
//                    record (the newest one at once, then one per change),
//                    "event: offline" while no daemon writes records.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace pipd::web {

struct web_address {
    std::string host; // numeric IPv4 or IPv6 address
    int port = 0;
    long pid = 0;
};

std::optional<web_address> parse_web_runtime(std::string_view text);
std::string format_web_runtime(const web_address &address);
// Writes the runtime file (whole, by renaming); false when it cannot.
bool write_web_runtime(const std::string &path, const web_address &address);
// Removes the runtime file if it still names this process.
void remove_web_runtime(const std::string &path, long pid);
// The pipd-web that runs now according to the runtime file, if any.
std::optional<web_address> running_web(const std::string &path);

struct http_reply {
    int status = 0;
    std::string content_type;
    std::string body;
};
// One GET request; nothing when the server cannot be reached or answers
// something that is not HTTP within the timeout.
std::optional<http_reply> http_get(const web_address &address, const std::string &target,
                                   int timeout_ms);

// Follows GET /api/events.
class web_events {
  public:
    web_events() = default;
    ~web_events();
    web_events(const web_events &) = delete;
    web_events &operator=(const web_events &) = delete;

    // Connects and reads the response head; false when that fails.
    bool open(const web_address &address, int timeout_ms);
    // The data of the next status event (a status record), waiting at most
    // timeout_ms; nothing on timeout or when the stream ended.
    std::optional<std::string> next_status(int timeout_ms);
    // The last event said that no daemon writes records.
    bool offline() const { return offline_; }
    // The stream ended or failed.
    bool ended() const { return fd_ < 0; }

  private:
    int fd_ = -1;
    bool chunked_ = false;
    bool offline_ = false;
    std::string raw_;    // bytes read, not yet de-chunked
    std::string events_; // event text, not yet taken
};

// Decodes the whole chunks at the front of raw into out and removes them;
// false once the last chunk came or the framing is broken.
bool take_chunks(std::string &raw, std::string &out);

} // namespace pipd::web
