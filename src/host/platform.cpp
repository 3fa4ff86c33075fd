#include "host/platform.h"

#include <cstdlib>
#include <ctime>
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

constexpr platform_ops real_ops = {real_time, real_sleep, real_seed, real_random};
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
void pl_srand(unsigned value) {
    ops->seed(value);
}
int pl_rand() {
    return ops->random();
}

} // namespace pipd
