#include "protocol/packets.h"

#include <array>

namespace pipd {

namespace {

struct rate_entry {
    int32_t rate;
    int32_t code;
};
constexpr std::array<rate_entry, 6> rate_codes{{
    {44100, 0x13},
    {48000, 3},
    {88200, 0x11},
    {96000, 1},
    {176400, 0x10},
    {192000, 0},
}};

} // namespace

int32_t rate_of_code(int32_t code) {
    for (const auto &e : rate_codes)
        if (e.code == code) return e.rate;
    return 0;
}

int32_t rate_code(int32_t rate) {
    for (const auto &e : rate_codes)
        if (e.rate == rate) return e.code;
    return -1;
}

} // namespace pipd
