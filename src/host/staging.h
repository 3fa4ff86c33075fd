// Sample staging buffers shared by the MP3 codec and the DSD codecs. Only one
// decoder runs at a time, so they can share one set: each fills the buffers
// with one block of a channel and hands them to ci_pcmbuf_insert.
#pragma once

#include <array>
#include <cstdint>

namespace pipd {

inline constexpr int STAGING_CH1_WORDS = 65536;
inline constexpr int STAGING_CH2_WORDS = 8192;

extern std::array<int32_t, STAGING_CH1_WORDS> ch1; // left channel (or interleaved)
extern std::array<int32_t, STAGING_CH2_WORDS> ch2; // right channel
extern int32_t freq;                               // output rate last configured by MP3

} // namespace pipd
