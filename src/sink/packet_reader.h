// The sink's side of the PCM pipe: whole packets, found again after bytes
// that are none.
#pragma once

#include <array>
#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <functional>

#include "protocol/packets.h"

namespace pipd::sink {

// Set by a signal: the reader and the waits for the pipe end.
extern volatile std::sig_atomic_t stop_requested;

// A stream that sends nothing for this long has paused or ended: what the
// device still holds is played out, so that a pause is not an underrun.
inline constexpr int IDLE_MS = 200;

struct counters {
    // 64-bit also on the 32-bit target: a sink runs for years.
    unsigned long long packets = 0;
    unsigned long long lost = 0;    // stretches without a packet header (no
                                    // magic word, or an unknown rate code)
    unsigned long long skipped = 0; // bytes in them
    unsigned long long underruns = 0;
};

// The magic word and a known rate code at p.
bool header_ok(const unsigned char *p);

// Reads whole packets from the pipe. A packet is taken only with the magic
// word and a known rate code in front; anything else (a packet before the
// daemon's first rate report, the tail of a packet cut off by a sink that
// went away) is skipped up to the next header.
class packet_reader {
  public:
    explicit packet_reader(counters &c) : count_(c) {}

    void attach(int fd) {
        fd_ = fd;
        have_ = 0;
    }

    enum result { PACKET, END, STOPPED };

    // The next packet into words. idle() is called whenever nothing has
    // arrived for IDLE_MS.
    result next(int32_t *words, const std::function<void()> &idle);

  private:
    void resync();

    counters &count_;
    int fd_ = -1;
    std::array<unsigned char, PACKET_BYTES> buf_{};
    std::size_t have_ = 0;
    bool lost_ = false; // skipping bytes since the last packet
};

// Takes packets at the pace of a real device, for a sink that has none: no
// faster than they play, at most lead seconds ahead; after a gap (power
// off, pause, a slow start) it plays on from now.
class device_pace {
  public:
    explicit device_pace(double lead = 0) : lead_(lead) {}

    // Waits until the device would take the packet after words.
    void take(const int32_t *words);

  private:
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    double played_ = 0; // seconds of audio taken so far
    double lead_;
};

// Opens the output pipe for reading; blocks until the daemon opens its end.
// -1 when stopped by a signal or the pipe cannot be opened.
int open_pipe();

} // namespace pipd::sink
