// A clock that only moves when the player sleeps or a test says so, and a
// fixed random generator.
#pragma once

#include <cstdint>
#include <functional>

#include "core/platform.h"

namespace pipd::testing {

class FakePlatform {
  public:
    FakePlatform() {
        current() = this;
        platform_set(&ops_);
    }
    ~FakePlatform() {
        platform_set(nullptr);
        current() = nullptr;
    }
    FakePlatform(const FakePlatform &) = delete;
    FakePlatform &operator=(const FakePlatform &) = delete;

    int64_t now = 1'700'000'000;
    int64_t slept = 0; // seconds slept in all
    int sleeps = 0;    // calls to sleep
    unsigned seeded = 0;
    int next_random = 4242;
    std::function<void()> on_sleep; // runs after each sleep

    void advance(int64_t seconds) { now += seconds; }

  private:
    static FakePlatform *&current() {
        static FakePlatform *p = nullptr;
        return p;
    }
    static int64_t time_s() { return current()->now; }
    static void sleep_s(unsigned s) {
        current()->now += s;
        current()->slept += s;
        ++current()->sleeps;
        if (current()->on_sleep) current()->on_sleep();
    }
    static void seed(unsigned v) { current()->seeded = v; }
    static int random() { return current()->next_random; }
    const platform_ops ops_ = {time_s, sleep_s, seed, random};
};

} // namespace pipd::testing
