// The web remote's view of the daemon: the one reader of the status pipe
// keeps the newest record and tells waiting clients when it changed.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <thread>

namespace pipd::web {

// What the daemon last said.
struct status_view {
    bool daemon = false;  // records arrive (false before the first and after the daemon left)
    std::string record;   // the newest record, a JSON object as text; empty before the first
    uint64_t version = 0; // bumped by every change worth telling a client (an event)
    uint64_t shifts = 0;  // bumped by records that changed more than the elapsed time
};

// How record b differs from the record a before it:
//  - shift: any field but the elapsed time differs, or the elapsed time went
//    back or leapt forward (a seek, a restart): something happened;
//  - elapsed: only the elapsed time moved on, as it does while playing.
enum class record_change { none, elapsed, shift };
record_change classify(const nlohmann::json &a, const nlohmann::json &b);

// The elapsed milliseconds of a record (0 when it has none).
long record_elapsed(const nlohmann::json &record);

class status_hub {
  public:
    // One record as read from the pipe (the text before its zero bytes);
    // false, and nothing changes, when it is not a JSON object.
    bool put_record(std::string_view text);
    // The writers of the status pipe are all gone.
    void put_daemon_gone();
    status_view view() const;
    // Waits until done(view) holds, the timeout passes or the hub stops;
    // the view at that moment.
    status_view wait(const std::function<bool(const status_view &)> &done,
                     std::chrono::milliseconds timeout) const;
    // Wakes every waiter, for good.
    void stop();
    bool stopped() const;

  private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    status_view view_;
    nlohmann::json last_;        // the newest record, parsed
    long published_second_ = -1; // elapsed second of the last event
    bool stop_ = false;
};

// Reads the status pipe at path into a hub on its own thread until stopped.
class status_reader {
  public:
    status_reader(status_hub &hub, std::string path);
    ~status_reader();
    status_reader(const status_reader &) = delete;
    status_reader &operator=(const status_reader &) = delete;
    bool start();
    void stop();

  private:
    void run();
    status_hub &hub_;
    std::string path_;
    int wake_[2] = {-1, -1};
    std::thread thread_;
};

} // namespace pipd::web
