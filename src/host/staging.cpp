#include "host/staging.h"

namespace pipd {

std::array<int32_t, STAGING_CH1_WORDS> ch1;
std::array<int32_t, STAGING_CH2_WORDS> ch2;
int32_t freq = 44100;

} // namespace pipd
