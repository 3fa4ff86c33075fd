// APE adaptive filters: four members of one family (order 16, 32, 64 and
// 256). Each predicts the next value from its last N outputs, adds the
// prediction to its input and adapts its coefficients by the sign of the
// input.
//
// Coefficients and adaptation steps are 16-bit values whose sums wrap, as
// the encoder keeps them (with wider coefficients 24-bit material decodes
// wrongly once they drift past 16 bits), and past outputs are saturated to
// 16 bits. So the dot product is a sum of 16 x 16 -> 32-bit products, which
// the compiler turns into multiply-add instructions (pmaddwd, vmlal); the
// 32-bit sum wraps, so any order of summation gives the same bits. The
// inner loop has no branch: the coefficient update multiplies the steps by
// the sign of the input (-1, 0 or 1).

#include <algorithm>
#include <cstring>

#include "codecs/ape/ape.h"

namespace pipd {

alignas(32) int16_t filterbuf64[APE_FILTERBUF64_WORDS];
alignas(32) int16_t filterbuf256[APE_FILTERBUF256_WORDS];

namespace {

// On x86-64 GCC builds the filters for AVX2 as well and picks the version
// at load time; elsewhere the baseline vector unit (SSE2, NEON) serves.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define APE_FILTER_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define APE_FILTER_CLONES
#endif

constexpr int16_t THREE_LEVEL_VERSION = 3980; // adaptation by magnitude from here on

int16_t saturate16(int32_t v) {
    return static_cast<int16_t>(std::clamp(v, -32768, 32767));
}

uint32_t wrap_mul(int32_t a, int32_t b) {
    return static_cast<uint32_t>(a) * static_cast<uint32_t>(b);
}

// The prediction sum over the last N past outputs, and the update of the
// coefficients by sign * the last N steps (coefficients before the update
// enter the sum).
template <int N>
[[gnu::always_inline]] inline uint32_t
predict_and_adapt(int16_t *__restrict coeffs, const int16_t *__restrict past,
                  const int16_t *__restrict steps, int sign) {
    uint32_t sum = 0;
    // Not unrolled before the vectoriser sees it: fully unrolled, the short
    // filters' sums would stay scalar.
#pragma GCC unroll 1
    for (int j = 0; j < N; ++j) {
        sum += static_cast<uint32_t>(coeffs[j] * past[j]);
        coeffs[j] = static_cast<int16_t>(coeffs[j] + steps[j] * sign);
    }
    return sum;
}

// The adaptation step of an output, from 3980 on: 32, 16 or 8 against the
// sign of the output, by its magnitude against the running average. Written
// with selects rather than branches: the comparisons follow the signal.
int16_t three_level_step(int32_t out, int32_t *avg_magnitude) {
    const int32_t avg = *avg_magnitude;
    const uint32_t neg = static_cast<uint32_t>(out >> 31);
    const int32_t m = static_cast<int32_t>((static_cast<uint32_t>(out) ^ neg) - neg);
    const int32_t small = m > 0 ? 8 : 0;
    const int32_t medium =
        static_cast<int32_t>(wrap_mul(3, m)) > static_cast<int32_t>(wrap_mul(4, avg)) ? 16 : small;
    const int32_t level = m > static_cast<int32_t>(wrap_mul(3, avg)) ? 32 : medium;
    const int32_t diff =
        static_cast<int32_t>(static_cast<uint32_t>(m) - static_cast<uint32_t>(avg));
    *avg_magnitude =
        static_cast<int32_t>(static_cast<uint32_t>(avg) + static_cast<uint32_t>(diff / 16));
    return static_cast<int16_t>(out < 0 ? level : -level);
}

int16_t half(int16_t v) {
    return static_cast<int16_t>(v >> 1);
}

template <int N> void init(filter_state (&filter)[2], int16_t *buf) {
    constexpr int block = 3 * N + APE_HISTORY_SIZE;
    for (int c = 0; c < 2; ++c) {
        int16_t *b = buf + c * block;
        filter[c].coeffs = b;
        filter[c].adapt_pos = b + 2 * N;
        filter[c].delay_pos = b + 3 * N;
        filter[c].window_end = b + block;
        std::fill(b, b + 3 * N, int16_t{0});
        filter[c].avg_magnitude = 0;
    }
}

// One channel's filter while a run of samples goes through it: the record's
// fields in locals.
//
// The steps of the last two samples are halved one and two samples after
// they were written; from 3980 on those two are kept in registers and
// stored already halved, so that halving them needs no read of what the
// sample before has just stored.
template <int N, int F> class lane {
  public:
    lane(filter_state &f, int fileversion)
        : f_(f), coeffs_(f.coeffs), window_end_(f.window_end), delay_(f.delay_pos),
          adapt_(f.adapt_pos), avg_(f.avg_magnitude), last_(adapt_[-1]), before_(adapt_[-2]),
          three_level_(fileversion >= THREE_LEVEL_VERSION) {}
    ~lane() {
        f_.delay_pos = delay_;
        f_.adapt_pos = adapt_;
        f_.avg_magnitude = avg_;
    }
    lane(const lane &) = delete;
    lane &operator=(const lane &) = delete;

    [[gnu::always_inline]] int32_t step(int32_t in) {
        const int sign = (in < 0) - (in > 0);
        const uint32_t sum = predict_and_adapt<N>(coeffs_, delay_ - N, adapt_ - N, sign);
        const int32_t p = static_cast<int32_t>(sum + (1u << (F - 1))) >> F;
        const int32_t out =
            static_cast<int32_t>(static_cast<uint32_t>(in) + static_cast<uint32_t>(p));
        *delay_++ = saturate16(out);

        if (three_level_) {
            const int16_t step = three_level_step(out, &avg_);
            adapt_[0] = step;
            adapt_[-1] = half(last_);
            adapt_[-2] = half(before_);
            adapt_[-8] = half(adapt_[-8]);
            before_ = half(last_);
            last_ = step;
        } else {
            adapt_[0] = static_cast<int16_t>(out == 0 ? 0 : out < 0 ? 4 : -4);
            adapt_[-4] = half(adapt_[-4]);
            adapt_[-8] = half(adapt_[-8]);
        }
        ++adapt_;

        // Slide: the last N steps and N past outputs back to the start.
        if (delay_ == window_end_) [[unlikely]] {
            std::memmove(coeffs_ + N, window_end_ - 2 * N, 2 * N * sizeof(int16_t));
            adapt_ = coeffs_ + 2 * N;
            delay_ = coeffs_ + 3 * N;
        }
        return out;
    }

  private:
    filter_state &f_;
    int16_t *const coeffs_;
    int16_t *const window_end_;
    int16_t *delay_;
    int16_t *adapt_;
    int32_t avg_;
    int16_t last_;   // as stored one sample back, not yet halved
    int16_t before_; // as stored two samples back, halved once
    const bool three_level_;
};

template <int N, int F>
APE_FILTER_CLONES void apply(filter_state &f, int fileversion, int32_t *data, int count) {
    lane<N, F> l(f, fileversion);
    for (int i = 0; i < count; ++i) data[i] = l.step(data[i]);
}

// Both channels of a stereo run in one loop: each sample's chain (sum,
// output, the stores the next sample's sum reads) is serial, and two
// independent chains side by side keep the processor busy while each waits.
template <int N, int F>
APE_FILTER_CLONES void apply_pair(filter_state (&f)[2], int fileversion, int32_t *data0,
                                  int32_t *data1, int count) {
    lane<N, F> l0(f[0], fileversion);
    lane<N, F> l1(f[1], fileversion);
    for (int i = 0; i < count; ++i) {
        data0[i] = l0.step(data0[i]);
        data1[i] = l1.step(data1[i]);
    }
}

filter_state filter_16_11[2];
filter_state filter_32_10[2];
filter_state filter_64_11[2];
filter_state filter_256_13[2];

static_assert(2 * (3 * 16 + APE_HISTORY_SIZE) <= APE_FILTERBUF64_WORDS);
static_assert(2 * (3 * 32 + APE_HISTORY_SIZE) <= APE_FILTERBUF64_WORDS);

} // namespace

void init_filter_16_11(int16_t *buf) {
    init<16>(filter_16_11, buf);
}
void init_filter_32_10(int16_t *buf) {
    init<32>(filter_32_10, buf);
}
void init_filter_64_11(int16_t *buf) {
    init<64>(filter_64_11, buf);
}
void init_filter_256_13(int16_t *buf) {
    init<256>(filter_256_13, buf);
}

void apply_filter_16_11(int fileversion, int channel, int32_t *data, int count) {
    apply<16, 11>(filter_16_11[channel & 1], fileversion, data, count);
}
void apply_filter_32_10(int fileversion, int channel, int32_t *data, int count) {
    apply<32, 10>(filter_32_10[channel & 1], fileversion, data, count);
}
void apply_filter_64_11(int fileversion, int channel, int32_t *data, int count) {
    apply<64, 11>(filter_64_11[channel & 1], fileversion, data, count);
}
void apply_filter_256_13(int fileversion, int channel, int32_t *data, int count) {
    apply<256, 13>(filter_256_13[channel & 1], fileversion, data, count);
}

void apply_filter_pair_16_11(int fileversion, int32_t *data0, int32_t *data1, int count) {
    apply_pair<16, 11>(filter_16_11, fileversion, data0, data1, count);
}
void apply_filter_pair_32_10(int fileversion, int32_t *data0, int32_t *data1, int count) {
    apply_pair<32, 10>(filter_32_10, fileversion, data0, data1, count);
}
void apply_filter_pair_64_11(int fileversion, int32_t *data0, int32_t *data1, int count) {
    apply_pair<64, 11>(filter_64_11, fileversion, data0, data1, count);
}
void apply_filter_pair_256_13(int fileversion, int32_t *data0, int32_t *data1, int count) {
    apply_pair<256, 13>(filter_256_13, fileversion, data0, data1, count);
}

} // namespace pipd
