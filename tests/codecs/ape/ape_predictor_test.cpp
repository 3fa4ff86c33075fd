// The APE predictor: the worked first samples of a frame, and a plain model
// (delay lines that grow without end, 64-bit arithmetic wrapped to 32 bits)
// that it must match for any residuals, in chunks of any size.

#include <climits>
#include <gtest/gtest.h>
#include <random>
#include <vector>

#include "codecs/ape/ape.h"

using namespace pipd;

namespace {

int32_t w(int64_t v) {
    return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(v)));
}
int32_t s(int32_t v) {
    return v == 0 ? 0 : v > 0 ? -1 : 1;
}
int32_t decay(int32_t v) {
    return w(int64_t{v} * 31) >> 5;
}

struct predictor_model {
    // One delay line per use, newest last; every line starts with zeros.
    std::vector<int32_t> y1, y1d, y2, y2d, x1, x1d, x2, x2d;
    int32_t a_y[4] = {360, 317, -109, 98}, a_x[4] = {360, 317, -109, 98};
    int32_t b_y[5] = {}, b_x[5] = {};
    int32_t last_y = 0, last_x = 0, cross_y = 0, cross_x = 0, out_y = 0, out_x = 0;

    predictor_model() {
        for (auto *line : {&y1, &y1d, &y2, &y2d, &x1, &x1d, &x2, &x2d}) line->assign(8, 0);
    }
    static int32_t back(const std::vector<int32_t> &line, std::size_t k) {
        return line[line.size() - 1 - k];
    }
    // Stage one over the value and its differences: returns the sum.
    static int64_t stage(std::vector<int32_t> &v, std::vector<int32_t> &d, int32_t in,
                         const int32_t *coeffs, int taps) {
        d.push_back(w(int64_t{in} - back(v, 0)));
        v.push_back(in);
        // Taps: the value, then the differences, newest first.
        int64_t sum = int64_t{coeffs[0]} * in;
        for (int j = 1; j < taps; ++j)
            sum += int64_t{coeffs[j]} * back(d, static_cast<std::size_t>(j - 1));
        return w(sum);
    }
    static void adapt(int32_t *coeffs, const std::vector<int32_t> &v, const std::vector<int32_t> &d,
                      int taps, int32_t residual) {
        const int32_t sign = s(residual);
        coeffs[0] = w(coeffs[0] + int64_t{s(back(v, 0))} * sign);
        for (int j = 1; j < taps; ++j)
            coeffs[j] = w(coeffs[j] + int64_t{s(back(d, static_cast<std::size_t>(j - 1)))} * sign);
    }

    void stereo(int32_t ry, int32_t rx) {
        const int32_t pa_y = w(stage(y1, y1d, last_y, a_y, 4));
        const int32_t pb_y = w(stage(y2, y2d, w(int64_t{out_x} - decay(cross_y)), b_y, 5));
        cross_y = out_x;
        last_y = w(ry + int64_t{w(int64_t{pa_y} + (pb_y >> 1)) >> 10});
        out_y = w(int64_t{last_y} + decay(out_y));
        const int32_t pa_x = w(stage(x1, x1d, last_x, a_x, 4));
        const int32_t pb_x = w(stage(x2, x2d, w(int64_t{out_y} - decay(cross_x)), b_x, 5));
        cross_x = out_y;
        last_x = w(rx + int64_t{w(int64_t{pa_x} + (pb_x >> 1)) >> 10});
        out_x = w(int64_t{last_x} + decay(out_x));
        adapt(a_y, y1, y1d, 4, ry);
        adapt(b_y, y2, y2d, 5, ry);
        adapt(a_x, x1, x1d, 4, rx);
        adapt(b_x, x2, x2d, 5, rx);
    }

    void mono(int32_t ry) {
        const int32_t pa = w(stage(y1, y1d, last_y, a_y, 4));
        const int32_t a = w(int64_t{ry} + (pa >> 10));
        adapt(a_y, y1, y1d, 4, ry);
        out_y = w(int64_t{a} + decay(out_y));
        last_y = a;
    }
};

std::vector<int32_t> residuals(std::size_t n, uint32_t seed, bool hostile) {
    std::mt19937 rng(seed);
    std::vector<int32_t> v(n);
    for (std::size_t i = 0; i < n; ++i) {
        const int32_t r = static_cast<int32_t>(rng());
        v[i] = hostile ? (i % 61 == 0 ? INT_MIN : r) : (i % 50 < 5 ? 0 : r % 3000);
    }
    return v;
}

TEST(ApePredictor, FirstSamplesOfAFrame) {
    predictor_state p;
    init_predictor_decoder(&p);
    int32_t y[2] = {1000, 0}, x[2] = {0, 0};
    predictor_decode_stereo(&p, y, x, 1);
    EXPECT_EQ(p.last_y, 1000);
    EXPECT_EQ(y[0], 1000);
    EXPECT_EQ(p.last_x, 0);
    EXPECT_EQ(x[0], 0);
    EXPECT_EQ(p.coeffs_a_y[0], 360); // all signs were zero
    EXPECT_EQ(p.history_pos[-1 + 26], 1000);
    EXPECT_EQ(p.history_pos[-1 + 5], -1);
    // 360 x 1000 + 317 x 1000 = 677000, >> 10 = 661; 661 + (1000 x 31 >> 5).
    predictor_decode_stereo(&p, y + 1, x + 1, 1);
    EXPECT_EQ(p.last_y, 661);
    EXPECT_EQ(y[1], 1629);
    // A zero residual leaves its channel's coefficients as they were.
    EXPECT_EQ(std::vector<int32_t>(p.coeffs_a_y, p.coeffs_a_y + 4),
              (std::vector<int32_t>{360, 317, -109, 98}));
    EXPECT_EQ(std::vector<int32_t>(p.coeffs_b_x, p.coeffs_b_x + 5), std::vector<int32_t>(5, 0));
}

TEST(ApePredictor, MatchesTheModelInAnyChunks) {
    for (bool hostile : {false, true}) {
        for (bool stereo : {true, false}) {
            SCOPED_TRACE(testing::Message() << "hostile " << hostile << " stereo " << stereo);
            const std::size_t n = 3000;
            std::vector<int32_t> y = residuals(n, 1, hostile), x = residuals(n, 2, hostile);
            predictor_model m;
            std::vector<int32_t> want_y(n), want_x(n);
            for (std::size_t i = 0; i < n; ++i) {
                if (stereo) {
                    m.stereo(y[i], x[i]);
                    want_x[i] = m.out_x;
                } else {
                    m.mono(y[i]);
                }
                want_y[i] = m.out_y;
            }
            predictor_state p;
            init_predictor_decoder(&p);
            const int chunks[] = {300, 724, 1, 511, 1024};
            for (std::size_t done = 0, c = 0; done < n; ++c) {
                const int count = static_cast<int>(
                    std::min<std::size_t>(static_cast<std::size_t>(chunks[c % 5]), n - done));
                if (stereo)
                    predictor_decode_stereo(&p, y.data() + done, x.data() + done, count);
                else
                    predictor_decode_mono(&p, y.data() + done, count);
                done += static_cast<std::size_t>(count);
            }
            ASSERT_EQ(y, want_y);
            if (stereo) {
                ASSERT_EQ(x, want_x);
            }
        }
    }
}

} // namespace
