#include "sink/packet_reader.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <thread>
#include <unistd.h>

#include "core/paths.h"

namespace pipd::sink {

volatile std::sig_atomic_t stop_requested = 0;

bool header_ok(const unsigned char *p) {
    uint32_t magic;
    int32_t code;
    std::memcpy(&magic, p, 4);
    std::memcpy(&code, p + 4, 4);
    return magic == OUTPUT_MAGIC && rate_of_code(code) != 0;
}

packet_reader::result packet_reader::next(int32_t *words, const std::function<void()> &idle) {
    for (;;) {
        while (have_ < PACKET_BYTES) {
            if (stop_requested) return STOPPED;
            pollfd p{fd_, POLLIN, 0};
            int r = poll(&p, 1, IDLE_MS);
            if (r == 0) {
                idle();
                continue;
            }
            if (r < 0) {
                if (errno == EINTR) continue;
                return END;
            }
            ssize_t n = read(fd_, buf_.data() + have_, PACKET_BYTES - have_);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return END;
            have_ += static_cast<std::size_t>(n);
        }
        if (header_ok(buf_.data())) {
            std::memcpy(words, buf_.data(), PACKET_BYTES);
            have_ = 0;
            lost_ = false;
            ++count_.packets;
            return PACKET;
        }
        resync();
    }
}

// Keeps the buffer from the next header on (a header may begin in the last
// 7 bytes). Samples are 24-bit values in 32-bit words, so their bytes never
// form the magic word, at any alignment.
void packet_reader::resync() {
    std::size_t at = 1;
    while (at + 8 <= have_ && !header_ok(buf_.data() + at)) ++at;
    if (!lost_) ++count_.lost;
    lost_ = true;
    count_.skipped += at;
    std::memmove(buf_.data(), buf_.data() + at, have_ - at);
    have_ -= at;
}

void device_pace::take(const int32_t *words) {
    auto now = std::chrono::steady_clock::now();
    using seconds = std::chrono::duration<double>;
    if (now > start_ + seconds(played_ + 0.05))
        start_ =
            now - std::chrono::duration_cast<std::chrono::steady_clock::duration>(seconds(played_));
    played_ += 512.0 / rate_of_code(words[1]);
    std::this_thread::sleep_until(start_ + seconds(played_ - lead_));
}

int open_pipe() {
    bool told = false;
    for (;;) {
        if (stop_requested) return -1;
        int fd = open(OUTPUT_FIFO_PATH, O_RDONLY | O_CLOEXEC);
        if (fd >= 0) return fd;
        if (errno == EINTR) continue;
        if (errno != ENOENT) {
            std::fprintf(stderr, "pipd-sink: cannot open %s: %s\n", OUTPUT_FIFO_PATH,
                         std::strerror(errno));
            return -1;
        }
        if (!told) std::fprintf(stderr, "pipd-sink: waiting for %s to appear\n", OUTPUT_FIFO_PATH);
        told = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
}

} // namespace pipd::sink
