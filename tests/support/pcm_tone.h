// Test helper: a tone measured in raw little-endian stereo PCM, for outputs
// whose samples cannot be predicted one by one (resampled streams).
#pragma once

#include <cmath>
#include <cstdint>
#include <string_view>
#include <vector>

namespace pipd::testing {

// Channel ch of frames of two samples of sample_bytes bytes each (2: 16-bit,
// 4: 24 bits in 4-byte words).
inline std::vector<double> pcm_channel(std::basic_string_view<unsigned char> raw,
                                       std::size_t sample_bytes, std::size_t ch) {
    std::vector<double> x;
    for (std::size_t at = static_cast<std::size_t>(ch * sample_bytes);
         at + static_cast<std::size_t>(sample_bytes) <= raw.size();
         at += 2 * static_cast<std::size_t>(sample_bytes)) {
        uint32_t v = 0;
        for (std::size_t b = 0; b < sample_bytes; ++b) v |= uint32_t{raw[at + b]} << (8 * b);
        if (sample_bytes == 2)
            x.push_back(static_cast<int16_t>(v));
        else
            x.push_back(static_cast<int32_t>(v << 8) >> 8);
    }
    return x;
}

// The frequency of the one tone in x (sampled at rate Hz), from the first to
// the last of its rising zero crossings, each placed between its samples.
inline double tone_frequency(const std::vector<double> &x, double rate) {
    double first = -1, last = -1;
    int crossings = 0;
    for (std::size_t i = 1; i < x.size(); ++i)
        if (x[i - 1] < 0 && x[i] >= 0) {
            const double t = static_cast<double>(i - 1) + x[i - 1] / (x[i - 1] - x[i]);
            if (first < 0) first = t;
            last = t;
            ++crossings;
        }
    return crossings < 2 ? 0 : (crossings - 1) * rate / (last - first);
}

} // namespace pipd::testing
