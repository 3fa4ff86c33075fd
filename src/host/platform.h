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
};

// Installs other operations; nullptr restores the real ones.
void platform_set(const platform_ops *ops);

int64_t pl_time();
void pl_sleep(unsigned seconds);
void pl_srand(unsigned value);
int pl_rand();

} // namespace pipd
