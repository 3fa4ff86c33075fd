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

// A fifth-order one-bit sigma-delta modulator, deterministic: error
// feedback through the noise transfer function (1 - 1/z)^5 / D(z), whose
// poles are those of a Butterworth high pass tuned to a gain of 1.5 at half
// the rate (the noise shaping scales with the rate, as in recordings). Gives
// bytes bytes (earliest bit most significant) of a sine of freq Hz and
// amplitude amp (1: full scale) sampled at rate Hz.
inline std::vector<uint8_t> sigma_delta(double rate, double freq, double amp, std::size_t bytes) {
    using cplx = std::complex<double>;
    constexpr int N = 5;
    auto poles = [](double fc) {
        std::array<cplx, N> z;
        for (int k = 0; k < N; ++k) { // high pass from the low-pass prototype, then bilinear
            const cplx s =
                2.0 * std::tan(M_PI * fc) / std::polar(1.0, M_PI * (2 * k + N + 1) / (2 * N));
            z[k] = (1.0 + s / 2.0) / (1.0 - s / 2.0);
        }
        return z;
    };
    double lo = 1e-4, hi = 0.25; // cut-off (of the rate) giving |NTF(-1)| = 1.5
    for (int i = 0; i < 60; ++i) {
        double g = 1.0;
        for (const cplx &p : poles((lo + hi) / 2)) g *= 2.0 / std::abs(1.0 + p);
        (g > 1.5 ? hi : lo) = (lo + hi) / 2;
    }
    std::array<cplx, N + 1> d{1.0}; // D(z) = prod (1 - p/z), coefficients of 1/z^k
    for (const cplx &p : poles(lo))
        for (int k = N; k > 0; --k) d[k] -= p * d[k - 1];
    const double num[N + 1] = {1, -5, 10, -10, 5, -1}; // (1 - 1/z)^5
    std::array<double, N + 1> e{}, g{};                // past errors and feedback, newest first
    std::vector<uint8_t> out(bytes);
    for (std::size_t n = 0; n < 8 * bytes; ++n) {
        double fb = 0.0; // (NTF - 1) e, as D g = (num - D) e
        for (int k = 1; k <= N; ++k)
            fb += (num[k] - d[k].real()) * e[k - 1] - d[k].real() * g[k - 1];
        const double u = amp * std::sin(2 * M_PI * freq * static_cast<double>(n) / rate) + fb;
        const double y = u >= 0 ? 1.0 : -1.0;
        std::copy_backward(e.begin(), e.end() - 1, e.end());
        std::copy_backward(g.begin(), g.end() - 1, g.end());
        e[0] = y - u;
        g[0] = fb;
        if (y > 0) out[n / 8] |= static_cast<uint8_t>(0x80 >> (n % 8));
    }
    return out;
}

// Level (dB of full scale) of bin `tone` of the Hann-windowed spectrum of the
// first 2^bits samples of x, and the power of every other bin up to `top` but
// the tone's and the three on either side of it (and the lowest three).
struct spectrum_levels {
    double tone_db, rest_db;
};
inline spectrum_levels spectrum(const std::vector<int32_t> &x, int bits, int tone, int top) {
    const std::size_t n = std::size_t{1} << bits;
    std::vector<std::complex<double>> a(n);
    for (std::size_t i = 0; i < n; ++i)
        a[i] = x.at(i) / 8388608.0 * (1 - std::cos(2 * M_PI * static_cast<double>(i) / n));
    for (std::size_t i = 1, j = 0; i < n; ++i) { // radix-2 FFT
        std::size_t b = n >> 1;
        for (; j & b; b >>= 1) j ^= b;
        if (i < (j ^= b)) std::swap(a[i], a[j]);
    }
    for (std::size_t len = 2; len <= n; len <<= 1)
        for (std::size_t i = 0; i < n; i += len)
            for (std::size_t k = 0; k < len / 2; ++k) {
                const auto w = std::polar(1.0, -2 * M_PI * static_cast<double>(k) / len);
                const auto u = a[i + k], v = a[i + k + len / 2] * w;
                a[i + k] = u + v;
                a[i + k + len / 2] = u - v;
            }
    double rest = 0.0;
    for (int k = 3; k <= top; ++k)
        if (std::abs(k - tone) > 3) rest += std::norm(a[k]);
    auto db = [&](double power) { return 10 * std::log10(power * 4 / (n * n)); };
    return {db(std::norm(a[tone])), db(rest)};
}

} // namespace pipd::testing
