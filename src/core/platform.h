// The one seam through which wall-clock time, sleeping and the random
// generator reach the player, so the player loop can run under test
// without waiting real seconds.
#pragma once

#include <cstdint>

namespace pipd {

struct platform_ops {
    int64_t (*time_s)();            // wall-clock time in whole seconds
    void (*sleep_s)(unsigned secs); // sleep
    void (*seed)(unsigned value);   // srand
    int (*random)();                // rand
    // Waits up to secs for fd to become readable; true when it has. Left
    // out, a wait is a sleep of secs after which the caller looks anyway.
    bool (*wait_readable)(int fd, unsigned secs) = nullptr;
};

// Installs other operations; nullptr restores the real ones.
void platform_set(const platform_ops *ops);

int64_t pl_time();
void pl_sleep(unsigned seconds);
bool pl_wait_readable(int fd, unsigned seconds);
void pl_srand(unsigned value);
int pl_rand();

} // namespace pipd
