#include "core/platform.h"

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <poll.h>
#include <unistd.h>

namespace pipd {

namespace {

int64_t real_time() {
    return static_cast<int64_t>(std::time(nullptr));
}
void real_sleep(unsigned secs) {
    sleep(secs);
}
void real_seed(unsigned value) {
    std::srand(value);
}
int real_random() {
    return std::rand();
}
bool real_wait_readable(int fd, unsigned secs) {
    if (fd < 0) {
        sleep(secs);
        return false;
    }
    pollfd p{fd, POLLIN, 0};
    int r;
    do r = poll(&p, 1, static_cast<int>(secs * 1000));
    while (r < 0 && errno == EINTR);
    // A pipe without writers reports POLLHUP at once and for good: that is
    // no word, and must not turn the wait into a busy loop.
    if (r > 0 && !(p.revents & POLLIN)) {
        sleep(secs);
        return false;
    }
    return r > 0;
}

constexpr platform_ops real_ops = {real_time, real_sleep, real_seed, real_random,
                                   real_wait_readable};
const platform_ops *ops = &real_ops;

} // namespace

void platform_set(const platform_ops *o) {
    ops = o ? o : &real_ops;
}

int64_t pl_time() {
    return ops->time_s();
}
void pl_sleep(unsigned seconds) {
    ops->sleep_s(seconds);
}
bool pl_wait_readable(int fd, unsigned seconds) {
    if (ops->wait_readable) return ops->wait_readable(fd, seconds);
    ops->sleep_s(seconds);
    return true;
}
void pl_srand(unsigned value) {
    ops->seed(value);
}
int pl_rand() {
    return ops->random();
}

} // namespace pipd
