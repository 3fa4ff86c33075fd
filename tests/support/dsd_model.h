// Test helpers for DSD: noise-like DSD bytes and an independent model of
// the DSD-to-PCM converter, evaluated straight from the filter's taps on
// the whole stream (no tables, no ring buffer), adding in the converter's
// order so that it agrees to the bit.
#pragma once

#include <array>
#include <cmath>
#include <complex>
#include <cstdint>
#include <vector>

#include "codecs/dsd/dsd2pcm.h"

namespace pipd::testing {

// Deterministic noise-like bytes (a linear congruential generator).
inline std::vector<uint8_t> dsd_noise(std::size_t n, uint32_t seed) {
    std::vector<uint8_t> v(n);
    for (auto &b : v) {
        seed = seed * 1664525u + 1013904223u;
        b = static_cast<uint8_t>(seed >> 24);
    }
    return v;
}

inline uint8_t bit_reversed(uint8_t b) {
    uint8_t r = 0;
    for (int i = 0; i < 8; ++i) r = static_cast<uint8_t>((r << 1) | ((b >> i) & 1));
    return r;
}

// The filter bit by bit on a window of 19 bytes, oldest first: ones weigh
// +B, zeros -B, the last six bits nothing. Summed tap by tap, so it may land
// one step away from the converter's result.
inline double direct_fir(const uint8_t *window) {
    double acc = 0.0;
    for (int t = 0; t < DSD2PCM_TAPS; ++t) {
        const bool one = (window[t / 8] >> (7 - t % 8)) & 1;
        acc += one ? B[DSD2PCM_TAPS - 1 - t] : -B[DSD2PCM_TAPS - 1 - t];
    }
    return acc;
}

// The part of the filter that byte e covers as the (i+1)-th oldest byte of
// the window, its bits most significant first.
inline double byte_share(int i, uint8_t e) {
    const int first = DSD2PCM_TAPS - 1 - 8 * i; // tap of the byte's top bit
    double acc = 0.0;
    for (int m = 0; m < 8 && first - m >= 0; ++m)
        acc += ((e >> (7 - m)) & 1 ? 1.0 : -1.0) * B[first - m];
    return acc;
}

// The PCM samples of one channel's stream (most significant bit first)
// after a reset: one sample per two bytes, each the shares of the 19 newest
// bytes (the reset pattern 0x69 before the stream) added oldest first.
inline std::vector<int32_t> model_pcm(const std::vector<uint8_t> &stream) {
    static const auto shares = [] {
        std::array<std::array<double, 256>, DSD2PCM_TABLES> s{};
        for (int i = 0; i < DSD2PCM_TABLES; ++i)
            for (int e = 0; e < 256; ++e) s[i][e] = byte_share(i, static_cast<uint8_t>(e));
        return s;
    }();
    std::vector<uint8_t> s(DSD2PCM_TABLES, 0x69);
    s.insert(s.end(), stream.begin(), stream.end());
    std::vector<int32_t> out(stream.size() / 2);
    for (std::size_t k = 0; k < out.size(); ++k) {
        double acc = 0.0;
        for (int j = 0; j < DSD2PCM_TABLES; ++j) acc += shares[j][s[2 * k + 2 + j]];
        out[k] = static_cast<int32_t>(acc * 8388608.0);
    }
    return out;
}

// What the sink receives for a sample of a DSD stream: the host halves it.
inline std::vector<int32_t> halved(std::vector<int32_t> v) {
    for (auto &x : v) x /= 2;
    return v;
}

// A fifth-order one-bit sigma-delta modulator, deterministic: error feedback
// through the noise transfer function (1 - 1/z)^5 / D(z), D's roots those of
// a Butterworth high pass at 0.0398 of the rate (|NTF| 1.5 at half the rate),
// so that the noise shaping scales with the rate as in recordings. Gives
// bytes bytes (earliest bit most significant) of a sine of freq Hz and
// amplitude amp (1: full scale) sampled at rate Hz.
inline std::vector<uint8_t> sigma_delta(double rate, double freq, double amp, std::size_t bytes) {
    constexpr double d[6] = {1, -4.192282151, 7.085791416, -6.029607384, 2.581207939, -0.444444444};
    constexpr double num[6] = {1, -5, 10, -10, 5, -1};
    double e[5] = {}, g[5] = {}; // past errors and feedback (D g = (num - D) e), newest first
    std::vector<uint8_t> out(bytes);
    for (std::size_t n = 0; n < 8 * bytes; ++n) {
        double fb = 0.0;
        for (int k = 1; k <= 5; ++k) fb += (num[k] - d[k]) * e[k - 1] - d[k] * g[k - 1];
        const double u = amp * std::sin(2 * M_PI * freq * static_cast<double>(n) / rate) + fb;
        for (int k = 4; k > 0; --k) e[k] = e[k - 1], g[k] = g[k - 1];
        e[0] = (u >= 0 ? 1.0 : -1.0) - u;
        g[0] = fb;
        if (u >= 0) out[n / 8] |= static_cast<uint8_t>(0x80 >> n % 8);
    }
    return out;
}

// Power in dB of a full-scale sine (2^23) of bin k of the Hann-windowed DFT of x.
inline double bin_db(const std::vector<int32_t> &x, int k) {
    const double n = static_cast<double>(x.size());
    std::complex<double> sum;
    for (std::size_t i = 0; i < x.size(); ++i)
        sum += x[i] / 8388608.0 * (1 - std::cos(2 * M_PI * i / n)) *
               std::polar(1.0, -2 * M_PI * k * i / n);
    return 10 * std::log10(std::norm(sum) * 4 / (n * n));
}

} // namespace pipd::testing
