// APE predictor: the last reconstruction stage. Per channel a four-tap
// stage one over the channel's own previous values and, with two channels,
// a five-tap stage two over a filtered copy of the other channel's output;
// both adapt by the sign of the residual, and the result is smoothed by a
// fixed first-order filter. All delay and sign lines of both channels
// share one history array read from one moving base.
//
// Every value wraps at 32 bits, whatever the input: the arithmetic is done
// on unsigned words and shifted arithmetically.

#include <algorithm>

#include "codecs/ape/ape.h"

namespace pipd {

namespace {

constexpr int32_t initial_coeffs[4] = {360, 317, -109, 98};

int32_t add(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}
int32_t sub(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) - static_cast<uint32_t>(b));
}
int32_t mul(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) * static_cast<uint32_t>(b));
}

// The negated sign: -1 for positive values, 1 for negative ones, 0 for 0.
int32_t negsign(int32_t v) {
    return (v < 0) - (v > 0);
}

// v * 31 / 32, arithmetic shift.
int32_t decay(int32_t v) {
    return mul(v, 31) >> 5;
}

// Sum of 4 or 5 products of coefficients with the delay line that starts
// at h[top] and runs down.
template <int Taps> int32_t dot(const int32_t *coeffs, const int32_t *h, int top) {
    int32_t sum = 0;
    for (int j = 0; j < Taps; ++j) sum = add(sum, mul(coeffs[j], h[top - j]));
    return sum;
}

// coeffs[j] += sign * h[top - j]: by the sign of the residual.
template <int Taps> void adapt(int32_t *coeffs, const int32_t *h, int top, int32_t sign) {
    for (int j = 0; j < Taps; ++j) coeffs[j] = add(coeffs[j], mul(h[top - j], sign));
}

// One step of the shared base; the last 50 words move back to the start
// every 512 samples.
int32_t *advance(predictor_state *p, int32_t *h) {
    ++h;
    if (h == p->history + APE_HISTORY_SIZE) {
        std::copy(p->history + APE_HISTORY_SIZE, p->history + APE_HISTORY_SIZE + APE_PREDICTOR_TAPS,
                  p->history);
        h = p->history;
    }
    return h;
}

} // namespace

void init_predictor_decoder(predictor_state *p) {
    std::fill(p->history, p->history + APE_PREDICTOR_TAPS, 0);
    p->history_pos = p->history;
    std::copy(initial_coeffs, initial_coeffs + 4, p->coeffs_a_y);
    std::copy(initial_coeffs, initial_coeffs + 4, p->coeffs_a_x);
    std::fill(p->coeffs_b_y, p->coeffs_b_y + 5, 0);
    std::fill(p->coeffs_b_x, p->coeffs_b_x + 5, 0);
    p->last_y = p->last_x = 0;
    p->cross_prev_y = p->out_x = 0;
    p->cross_prev_x = p->out_y = 0;
}

void predictor_decode_stereo(predictor_state *p, int32_t *y, int32_t *x, int count) {
    // Locals: the history stores could otherwise alias the record's fields.
    int32_t *h = p->history_pos;
    int32_t last_y = p->last_y, last_x = p->last_x;
    int32_t cross_prev_y = p->cross_prev_y, cross_prev_x = p->cross_prev_x;
    int32_t out_y = p->out_y, out_x = p->out_x;
    int32_t a_y[4], a_x[4], b_y[5], b_x[5];
    std::copy(p->coeffs_a_y, p->coeffs_a_y + 4, a_y);
    std::copy(p->coeffs_a_x, p->coeffs_a_x + 4, a_x);
    std::copy(p->coeffs_b_y, p->coeffs_b_y + 5, b_y);
    std::copy(p->coeffs_b_x, p->coeffs_b_x + 5, b_x);
    for (int i = 0; i < count; ++i) {
        const int32_t ry = y[i];
        const int32_t rx = x[i];

        // Channel Y: stage one, then stage two fed with channel X's output.
        h[50] = last_y;
        h[18] = negsign(h[50]);
        h[49] = sub(h[50], h[49]);
        h[17] = negsign(h[49]);
        int32_t pa = dot<4>(a_y, h, 50);
        h[42] = sub(out_x, decay(cross_prev_y));
        h[10] = negsign(h[42]);
        cross_prev_y = out_x;
        h[41] = sub(h[42], h[41]);
        h[9] = negsign(h[41]);
        int32_t pb = dot<5>(b_y, h, 42);
        last_y = add(ry, add(pa, pb >> 1) >> 10);
        out_y = add(last_y, decay(out_y));

        // Channel X: stage one, then stage two fed with the new out_y.
        h[34] = last_x;
        h[14] = negsign(h[34]);
        h[33] = sub(h[34], h[33]);
        h[13] = negsign(h[33]);
        pa = dot<4>(a_x, h, 34);
        h[26] = sub(out_y, decay(cross_prev_x));
        h[5] = negsign(h[26]);
        cross_prev_x = out_y;
        h[25] = sub(h[26], h[25]);
        h[4] = negsign(h[25]);
        pb = dot<5>(b_x, h, 26);
        last_x = add(rx, add(pa, pb >> 1) >> 10);
        out_x = add(last_x, decay(out_x));

        // Adaptation: the signs are subtracted for a positive residual and
        // added for a negative one.
        adapt<4>(a_y, h, 18, negsign(ry));
        adapt<5>(b_y, h, 10, negsign(ry));
        adapt<4>(a_x, h, 14, negsign(rx));
        adapt<5>(b_x, h, 5, negsign(rx));
        y[i] = out_y;
        x[i] = out_x;

        h = advance(p, h);
    }
    p->history_pos = h;
    p->last_y = last_y;
    p->last_x = last_x;
    p->cross_prev_y = cross_prev_y;
    p->cross_prev_x = cross_prev_x;
    p->out_y = out_y;
    p->out_x = out_x;
    std::copy(a_y, a_y + 4, p->coeffs_a_y);
    std::copy(a_x, a_x + 4, p->coeffs_a_x);
    std::copy(b_y, b_y + 5, p->coeffs_b_y);
    std::copy(b_x, b_x + 5, p->coeffs_b_x);
}

void predictor_decode_mono(predictor_state *p, int32_t *y, int count) {
    int32_t *h = p->history_pos;
    int32_t last_y = p->last_y, out_y = p->out_y;
    int32_t a_y[4];
    std::copy(p->coeffs_a_y, p->coeffs_a_y + 4, a_y);
    for (int i = 0; i < count; ++i) {
        const int32_t ry = y[i];
        h[50] = last_y;
        h[49] = sub(last_y, h[49]);
        const int32_t pa = dot<4>(a_y, h, 50);
        const int32_t a = add(ry, pa >> 10);
        h[18] = negsign(h[50]);
        h[17] = negsign(h[49]);
        adapt<4>(a_y, h, 18, negsign(ry));
        h = advance(p, h);
        out_y = add(a, decay(out_y));
        y[i] = out_y;
        last_y = a;
    }
    p->history_pos = h;
    p->last_y = last_y;
    p->out_y = out_y;
    std::copy(a_y, a_y + 4, p->coeffs_a_y);
}

} // namespace pipd
