// The APE adaptive filters against a plain model: one value at a time,
// histories that grow without end (no sliding window), coefficients as
// 16-bit values that wrap. The vectorised filters must match it bit for bit
// for every input, hostile ones included, however the values are split
// into calls.

#include <algorithm>
#include <climits>
#include <gtest/gtest.h>
#include <random>
#include <vector>

#include "codecs/ape/ape.h"

using namespace pipd;

namespace {

int32_t wrap(int64_t v) {
    return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(v)));
}

struct filter_model {
    int order, fraction;
    int version;
    std::vector<int16_t> coeffs;
    std::vector<int32_t> past;  // saturated outputs, oldest first
    std::vector<int32_t> steps; // adaptation steps, oldest first
    int32_t avg = 0;
    bool wrapped = false; // a coefficient has gone past 16 bits

    filter_model(int n, int f, int v)
        : order(n), fraction(f), version(v), coeffs(static_cast<std::size_t>(n)),
          past(static_cast<std::size_t>(n)), steps(static_cast<std::size_t>(n)) {}

    static int32_t step_for(int32_t out, int32_t *avg) {
        const int64_t m = out < 0 ? -int64_t{out} : out;
        const int32_t mm = wrap(m); // |INT_MIN| stays INT_MIN, as 32 bits have it
        int32_t level = 0;
        if (mm > wrap(3 * int64_t{*avg}))
            level = 32;
        else if (wrap(3 * int64_t{mm}) > wrap(4 * int64_t{*avg}))
            level = 16;
        else if (mm > 0)
            level = 8;
        *avg = wrap(int64_t{*avg} + wrap(int64_t{mm} - *avg) / 16);
        return out < 0 ? level : -level;
    }

    int32_t apply(int32_t in) {
        const std::size_t n = static_cast<std::size_t>(order);
        uint32_t sum = 0;
        for (std::size_t j = 0; j < n; ++j)
            sum +=
                static_cast<uint32_t>(coeffs[j]) * static_cast<uint32_t>(past[past.size() - n + j]);
        const int32_t p = static_cast<int32_t>(sum + (1u << (fraction - 1))) >> fraction;
        for (std::size_t j = 0; j < n && in != 0; ++j) {
            const int32_t s = steps[steps.size() - n + j];
            const int32_t c = in < 0 ? coeffs[j] + s : coeffs[j] - s;
            wrapped |= c != static_cast<int16_t>(c);
            coeffs[j] = static_cast<int16_t>(c);
        }
        const int32_t out = wrap(int64_t{in} + p);
        past.push_back(std::clamp(out, -32768, 32767));
        const std::size_t k = steps.size();
        if (version >= 3980) {
            steps.push_back(step_for(out, &avg));
            for (std::size_t back : {1, 2, 8}) steps[k - back] >>= 1;
        } else {
            steps.push_back(out == 0 ? 0 : out < 0 ? 4 : -4);
            for (std::size_t back : {4, 8}) steps[k - back] >>= 1;
        }
        return out;
    }
};

struct member {
    int order, fraction;
    void (*init)(int16_t *);
    void (*apply)(int, int, int32_t *, int);
    void (*apply_pair)(int, int32_t *, int32_t *, int);
    int16_t *buf;
};
const member members[] = {
    {16, 11, init_filter_16_11, apply_filter_16_11, apply_filter_pair_16_11, filterbuf64},
    {32, 10, init_filter_32_10, apply_filter_32_10, apply_filter_pair_32_10, filterbuf64},
    {64, 11, init_filter_64_11, apply_filter_64_11, apply_filter_pair_64_11, filterbuf64},
    {256, 13, init_filter_256_13, apply_filter_256_13, apply_filter_pair_256_13, filterbuf256},
};

enum class input { residual, loud, hostile, one_sign };

std::vector<int32_t> make_input(input kind, std::size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<int32_t> v(n);
    for (std::size_t i = 0; i < n; ++i) {
        const int32_t r = static_cast<int32_t>(rng());
        switch (kind) {
        case input::residual:
            v[i] = r % 600;
            break;
        case input::loud:
            v[i] = r % 9000000; // 24-bit material
            break;
        case input::hostile:
            v[i] = i % 97 == 0 ? INT_MIN : i % 89 == 0 ? INT_MAX : r;
            break;
        case input::one_sign:
            // Long runs of one sign drive the coefficients past 16 bits.
            v[i] = (i / 3000) % 2 ? -(r & 0xFFFFF) - 1 : (r & 0xFFFFF) + 1;
            break;
        }
    }
    return v;
}

// Worked values of the adaptation rule (checked on the model, which the
// filters are then held to).
TEST(ApeFilters, AdaptationStepsOfTheWorkedExamples) {
    const struct {
        int32_t out;
        int32_t step;
    } cases[] = {{91, -32}, {-91, 32}, {90, -16}, {41, -16}, {-40, 8}, {1, -8}, {0, 0}};
    for (const auto &c : cases) {
        int32_t avg = 30;
        EXPECT_EQ(filter_model::step_for(c.out, &avg), c.step) << c.out;
    }
    int32_t avg = 30;
    filter_model::step_for(-2, &avg);
    EXPECT_EQ(avg, 29); // (2 - 30) / 16 truncates toward zero
}

TEST(ApeFilters, MatchTheModelForEveryInput) {
    for (const member &m : members) {
        for (int version : {3970, 3980, 3990}) {
            for (input kind : {input::residual, input::loud, input::hostile, input::one_sign}) {
                SCOPED_TRACE(testing::Message() << "order " << m.order << " version " << version
                                                << " input " << static_cast<int>(kind));
                const std::size_t n = kind == input::one_sign ? 20000 : 3000;
                std::vector<int32_t> data = make_input(kind, n, static_cast<uint32_t>(m.order));
                filter_model model(m.order, m.fraction, version);
                std::vector<int32_t> want(n);
                for (std::size_t i = 0; i < n; ++i) want[i] = model.apply(data[i]);
                if (kind == input::one_sign && version >= 3980) {
                    EXPECT_TRUE(model.wrapped);
                }

                // In calls of 1, 511, 512 and 1024 values: across the slide of
                // the window every 512.
                m.init(m.buf);
                const int calls[] = {1, 511, 512, 1024};
                for (std::size_t done = 0, c = 0; done < n; ++c) {
                    const int count = static_cast<int>(
                        std::min<std::size_t>(static_cast<std::size_t>(calls[c % 4]), n - done));
                    m.apply(version, 0, data.data() + done, count);
                    done += static_cast<std::size_t>(count);
                }
                ASSERT_EQ(data, want);
            }
        }
    }
}

// The two channels keep their own states, alone or run as a pair; a new
// frame starts afresh.
TEST(ApeFilters, ChannelsAreIndependentAndInitRestarts) {
    for (const member &m : members) {
        SCOPED_TRACE(m.order);
        const std::vector<int32_t> a = make_input(input::residual, 2048, 1);
        const std::vector<int32_t> b = make_input(input::loud, 2048, 2);
        filter_model ma(m.order, m.fraction, 3990), mb(m.order, m.fraction, 3990);
        m.init(m.buf);
        std::vector<int32_t> da = a, db = b;
        for (std::size_t at = 0; at < a.size(); at += 256) {
            m.apply(3990, 0, da.data() + at, 256);
            m.apply(3990, 1, db.data() + at, 256);
        }
        for (std::size_t i = 0; i < a.size(); ++i) {
            ASSERT_EQ(da[i], ma.apply(a[i])) << i;
            ASSERT_EQ(db[i], mb.apply(b[i])) << i;
        }
        // Both channels in one run: the same as one after the other.
        for (int version : {3970, 3990}) {
            filter_model pa(m.order, m.fraction, version), pb(m.order, m.fraction, version);
            m.init(m.buf);
            std::vector<int32_t> ra = a, rb = b;
            for (std::size_t at = 0; at < a.size(); at += 300) {
                const int n = static_cast<int>(std::min<std::size_t>(300, a.size() - at));
                m.apply_pair(version, ra.data() + at, rb.data() + at, n);
            }
            for (std::size_t i = 0; i < a.size(); ++i) {
                ASSERT_EQ(ra[i], pa.apply(a[i])) << version << " " << i;
                ASSERT_EQ(rb[i], pb.apply(b[i])) << version << " " << i;
            }
        }
        m.init(m.buf);
        std::vector<int32_t> again = a;
        m.apply(3990, 0, again.data(), static_cast<int>(again.size()));
        EXPECT_EQ(again, da);
    }
}

} // namespace
