#include "codecs/dsd/dsd_output.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <vector>

#include "codecs/dsd/dsd2pcm.h"
#include "core/diag.h"
#include "host/codec_api.h"
#include "host/outudp.h"
#include "host/staging.h"

namespace pipd {

namespace {

// ---------------------------------------------------------------------------
// The converters of the rates above DSD64. Each is one linear-phase FIR low
// pass of 8 * tables taps on the 1-bit stream (a Kaiser-windowed sinc),
// evaluated like the DSD64 converter through one table of 256 sums per byte
// of its window, and decimating to 176,400 Hz: step bytes of a channel give
// one PCM sample. The pass band is flat to 20 kHz (within 0.001 dB), the
// gain at 1 kHz that of the DSD64 filter, half at 88.2 kHz, and from
// 156.4 kHz on (what would fold back into 0 to 20 kHz) 89 dB down or more.
// The same window of 8 bytes per phase at every rate (tables = 8 * step)
// keeps the cost per DSD byte the same.

struct rate_filter {
    uint32_t rate;
    int step;      // DSD bytes of a channel per PCM sample
    int tables;    // bytes in the filter's window
    double cutoff; // Hz, where the response is half
    double beta;   // of the Kaiser window
};

constexpr rate_filter FILTERS[] = {
    {5644800, 4, 32, 88200.0, 9.0},
    {11289600, 8, 64, 88200.0, 9.0},
    {22579200, 16, 128, 88200.0, 9.0},
};
constexpr int MAX_TABLES = 128;

// Table j, entry e of the filter in use: byte e's share
// when it is the (j+1)-th oldest byte of the window, in units of 2^-29 (the
// PCM samples' 2^-23 with six more bits); the first half of the tables. The
// magnitudes of a window's shares add up to less than 1.2 * 2^29, so the
// sums fit 32 bits, and integer sums come out the same on every machine.
constexpr double TABLE_ONE = 536870912.0; // 2^29
constexpr int TABLE_SHIFT = 6;
alignas(64) int32_t tables[MAX_TABLES / 2][256];
uint32_t tables_rate = 0;
// Each channel's window before its next sample, oldest byte first.
std::array<std::array<uint8_t, MAX_TABLES>, DSD_MAX_CHANNELS> history;

double bessel_i0(double x) {
    double sum = 1.0, term = 1.0;
    for (int k = 1; k < 100 && term > sum * 1e-17; ++k) {
        const double f = x / (2.0 * k);
        term *= f * f;
        sum += term;
    }
    return sum;
}

// Magnitude of the response of taps h at f Hz, the taps running at rate Hz.
double gain_at(const double *h, int n, double rate, double f) {
    double re = 0.0, im = 0.0;
    for (int k = 0; k < n; ++k) {
        re += h[k] * std::cos(2.0 * M_PI * f * k / rate);
        im -= h[k] * std::sin(2.0 * M_PI * f * k / rate);
    }
    return std::hypot(re, im);
}

void build_tables(const rate_filter &f) {
    const int n = 8 * f.tables;
    std::vector<double> h(static_cast<std::size_t>(n));
    const double wc = 2.0 * f.cutoff / f.rate; // of the Nyquist frequency
    for (int k = 0; k < n; ++k) {
        const double t = k - (n - 1) / 2.0; // never 0: n is even
        const double r = 2.0 * k / (n - 1) - 1.0;
        h[k] = std::sin(M_PI * wc * t) / (M_PI * t) * bessel_i0(f.beta * std::sqrt(1.0 - r * r)) /
               bessel_i0(f.beta);
    }
    const double scale =
        gain_at(B.data(), DSD2PCM_TAPS, DSD_RATE, 1000.0) / gain_at(h.data(), n, f.rate, 1000.0);
    for (double &v : h) v *= scale;
    for (int j = 0; j < f.tables / 2; ++j)
        for (int e = 0; e < 256; ++e) {
            double acc = 0.0;
            for (int m = 0; m < 8; ++m)
                acc += ((e >> (7 - m)) & 1 ? 1.0 : -1.0) * h[n - 1 - 8 * j - m];
            tables[j][e] = static_cast<int32_t>(std::lround(acc * TABLE_ONE));
        }
    tables_rate = f.rate;
}

constexpr unsigned PASS = 256; // samples converted per pass over a linear buffer
constexpr unsigned CHAINS = 8; // samples summed side by side
constexpr unsigned SPAN = 8;   // bytes of a window per phase (tables / step)

// Sample k is the sum over j = 0 .. T - 1 of table j's entry for the byte
// line[S * (k + 1) + j] (integer sums: their order changes nothing). Taken
// phase by phase: for p = 0 .. S - 1 the tables p, p + S, .. p + 7S read the
// bytes p, p + S, .. p + 7S of a window, which for the CHAINS samples side
// by side (their windows lie S bytes apart) are the same few bytes. The
// filter is symmetric, so table T - 1 - j is table j read with the byte's
// bits reversed (rline holds the bytes of line so): only the first half of
// the tables is kept.
template <int S, int T>
void convert_pass(const uint8_t *line, const uint8_t *rline, unsigned n, int32_t *dst) {
    static_assert(T == SPAN * S);
    unsigned k = 0;
    for (; k + CHAINS <= n; k += CHAINS) {
        int32_t acc[CHAINS] = {};
        for (int p = 0; p < S; ++p) {
            const uint8_t *w = line + S * (k + 1) + p, *rw = rline + S * (k + 1) + p;
            for (unsigned m = 0; m < SPAN / 2; ++m)
                for (unsigned c = 0; c < CHAINS; ++c) acc[c] += tables[p + S * m][w[S * (c + m)]];
            for (unsigned m = SPAN / 2; m < SPAN; ++m)
                for (unsigned c = 0; c < CHAINS; ++c)
                    acc[c] += tables[T - 1 - p - S * m][rw[S * (c + m)]];
        }
        for (unsigned c = 0; c < CHAINS; ++c) dst[k + c] = acc[c] >> TABLE_SHIFT;
    }
    for (; k < n; ++k) {
        const uint8_t *w = line + S * (k + 1), *rw = rline + S * (k + 1);
        int32_t acc = 0;
        for (int j = 0; j < T / 2; ++j) acc += tables[j][w[j]];
        for (int j = T / 2; j < T; ++j) acc += tables[T - 1 - j][rw[j]];
        dst[k] = acc >> TABLE_SHIFT;
    }
}

// Entry b is b with its eight bits in reverse order.
constexpr std::array<uint8_t, 256> reversed = [] {
    std::array<uint8_t, 256> t{};
    for (int b = 0; b < 256; ++b)
        for (int bit = 0; bit < 8; ++bit)
            if (b & (1 << bit)) t[b] |= static_cast<uint8_t>(0x80 >> bit);
    return t;
}();

// count samples of channel ch from S * count bytes byte_step apart.
template <int S, int T>
void convert_high(int ch, unsigned count, const uint8_t *src, std::ptrdiff_t byte_step, bool lsb,
                  int32_t *dst) {
    uint8_t line[T + S * PASS], rline[T + S * PASS];
    std::memcpy(line, history[ch].data(), T);
    for (int i = 0; i < T; ++i) rline[i] = reversed[line[i]];
    while (count > 0) {
        const unsigned n = std::min(count, PASS);
        // The bytes as stored go to line, or to rline when least significant
        // bit first; the other gets them reversed.
        uint8_t *in = line + T, *rin = rline + T;
        if (lsb) std::swap(in, rin);
        if (byte_step == 1) {
            std::memcpy(in, src, S * n);
            src += S * n;
        } else {
            for (unsigned i = 0; i < S * n; ++i, src += byte_step) in[i] = *src;
        }
        for (unsigned i = 0; i < S * n; ++i) rin[i] = reversed[in[i]];
        convert_pass<S, T>(line, rline, n, dst);
        dst += n;
        count -= n;
        // The newest bytes are the next history.
        std::memmove(line, line + S * n, T);
        std::memmove(rline, rline + S * n, T);
    }
    std::memcpy(history[ch].data(), line, T);
}

void convert_dsd64(int ch, unsigned count, const uint8_t *src, std::ptrdiff_t byte_step, bool lsb,
                   int32_t *dst) {
    dsd2pcm_translate(ch, count, src, byte_step, lsb ? 1 : 0, dst, 1);
}

using converter = void (*)(int, unsigned, const uint8_t *, std::ptrdiff_t, bool, int32_t *);
constexpr converter HIGH[] = {convert_high<4, 32>, convert_high<8, 64>, convert_high<16, 128>};
static_assert(std::size(HIGH) == std::size(FILTERS));

// ---------------------------------------------------------------------------
// The stream in progress.

constexpr unsigned CHUNK = 4096; // PCM samples per channel handed on at once
static_assert(CHUNK <= STAGING_CH2_WORDS);
constexpr uint32_t RAW_CHUNK = 4096; // bytes per channel handed to the raw hook at once

struct stream {
    int channels; // 0: none begun
    int step;     // DSD bytes of a channel per PCM sample
    converter convert;
};
stream current;
dsd_raw_hook raw_hook = nullptr;
std::array<std::array<int32_t, CHUNK>, DSD_MAX_CHANNELS> pcm;
std::array<uint8_t, RAW_CHUNK * DSD_MAX_CHANNELS> raw;

uint32_t pass_raw(const uint8_t *first, std::ptrdiff_t channel_step, std::ptrdiff_t byte_step,
                  uint32_t bytes, bool lsb_first) {
    const int n_ch = current.channels;
    for (uint32_t done = 0; done < bytes;) {
        const uint32_t n = std::min(bytes - done, RAW_CHUNK);
        for (int ch = 0; ch < n_ch; ++ch) {
            const uint8_t *src = first + ch * channel_step + std::ptrdiff_t{done} * byte_step;
            for (uint32_t j = 0; j < n; ++j, src += byte_step)
                raw[j * n_ch + ch] = lsb_first ? reversed[*src] : *src;
        }
        raw_hook(raw.data(), std::size_t{n} * n_ch, n_ch);
        done += n;
    }
    return bytes;
}

} // namespace

void dsd_set_raw_hook(dsd_raw_hook hook) {
    raw_hook = hook;
}

bool dsd_begin(uint32_t rate, int channels) {
    // The next file of a gapless run, at the same rate and channel count,
    // goes on with the history of the one before.
    static uint32_t last_rate = 0;
    static int last_channels = 0;
    const bool go_on =
        output_holds_stream(DSD_RATE, true) && rate == last_rate && channels == last_channels;
    last_rate = 0;
    current.channels = 0;
    if (channels < 1 || channels > DSD_MAX_CHANNELS) {
        diag("CODEC_ERROR: %d DSD channels cannot be played (1 to %d)\n", channels,
             DSD_MAX_CHANNELS);
        return false;
    }
    if (rate == static_cast<uint32_t>(DSD_RATE)) {
        current = {channels, 2, convert_dsd64};
        if (!go_on)
            for (int ch = 0; ch < channels; ++ch) dsd2pcm_reset(ch);
    } else {
        std::size_t i = 0;
        while (i < std::size(FILTERS) && FILTERS[i].rate != rate) ++i;
        if (i == std::size(FILTERS)) {
            diag("CODEC_ERROR: a DSD rate of %u Hz cannot be played (2822400, 5644800, 11289600 "
                 "and 22579200 can)\n",
                 rate);
            return false;
        }
        if (tables_rate != rate) build_tables(FILTERS[i]);
        current = {channels, FILTERS[i].step, HIGH[i]};
        if (!go_on)
            for (auto &h : history) h.fill(0x69);
    }
    last_rate = rate;
    last_channels = channels;
    return true;
}

uint32_t dsd_convert(const uint8_t *first, std::ptrdiff_t channel_step, std::ptrdiff_t byte_step,
                     uint32_t bytes, bool lsb_first) {
    const int n_ch = current.channels;
    if (n_ch == 0) return 0;
    if (raw_hook) return pass_raw(first, channel_step, byte_step, bytes, lsb_first);
    const uint32_t samples = bytes / static_cast<uint32_t>(current.step);
    for (uint32_t done = 0; done < samples;) {
        const unsigned n = std::min<uint32_t>(samples - done, CHUNK);
        const uint8_t *at = first + std::ptrdiff_t{done} * current.step * byte_step;
        // Stereo straight into the host's buffers; others through the fold-down.
        int32_t *out[DSD_MAX_CHANNELS] = {ch1.data(), ch2.data()};
        if (n_ch > 2)
            for (int ch = 0; ch < n_ch; ++ch) out[ch] = pcm[ch].data();
        for (int ch = 0; ch < n_ch; ++ch)
            current.convert(ch, n, at + ch * channel_step, byte_step, lsb_first, out[ch]);
        if (n_ch == 1) std::copy_n(ch1.data(), n, ch2.data());
        if (n_ch > 2) dsd_fold_down(out, n_ch, n, ch1.data(), ch2.data());
        ci->ci_pcmbuf_insert(ch1.data(), ch2.data(), static_cast<int>(n));
        done += n;
    }
    return samples * static_cast<uint32_t>(current.step);
}

void dsd_fold_down(const int32_t *const *c, int count_channels, unsigned count, int32_t *left,
                   int32_t *right) {
    // Front left and right, then by the channel count: 3 centre; 4 rear left
    // and right; 5 centre, rear left and right; 6 centre, LFE, rear left and
    // right. Sums on 64 bits, arithmetic shifts (rounding down).
    auto fold = [&](auto side) {
        for (unsigned i = 0; i < count; ++i) {
            left[i] = static_cast<int32_t>(side(int64_t{c[0][i]}, i, 0));
            right[i] = static_cast<int32_t>(side(int64_t{c[1][i]}, i, 1));
        }
    };
    switch (count_channels) {
    case 1:
        std::copy_n(c[0], count, left);
        std::copy_n(c[0], count, right);
        return;
    case 3:
        return fold([&](int64_t f, unsigned i, int) { return ((2 * f + c[2][i]) * 5) >> 4; });
    case 4:
        return fold([&](int64_t f, unsigned i, int s) { return (f + c[2 + s][i]) >> 1; });
    case 5:
        return fold([&](int64_t f, unsigned i, int s) {
            return ((2 * f + c[2][i] + 2 * int64_t{c[3 + s][i]}) * 3) >> 4;
        });
    case 6:
        return fold([&](int64_t f, unsigned i, int s) {
            return ((2 * f + c[2][i] + c[3][i] + 2 * int64_t{c[4 + s][i]}) * 5) >> 5;
        });
    default:
        std::copy_n(c[0], count, left);
        std::copy_n(c[1], count, right);
        return;
    }
}

void dsd_reset_history() {
    for (int ch = 0; ch < DSD_MAX_CHANNELS; ++ch) dsd2pcm_reset(ch);
    for (auto &h : history) h.fill(0x69);
}

} // namespace pipd
