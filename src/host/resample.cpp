#include "host/resample.h"

#include <array>
#include <cmath>
#include <soxr.h>

#include "core/diag.h"
#include "host/outudp.h"

namespace pipd {

namespace {

constexpr std::array<int32_t, 3> family_44100 = {44100, 88200, 176400};
constexpr std::array<int32_t, 3> family_48000 = {48000, 96000, 192000};

// Frames of resampled output converted and appended per step.
constexpr int RESAMPLE_OUT_FRAMES = 4096;

soxr_t resampler = nullptr;
int32_t resampler_in = 0;  // the stream's rate
int32_t resampler_out = 0; // the table rate it goes out at
bool active = false;

std::array<float, 2 * MAX_INSERT_FRAMES> in_frames;
std::array<float, 2 * RESAMPLE_OUT_FRAMES> out_frames;
std::array<int32_t, 2 * RESAMPLE_OUT_FRAMES> out_words;

// Rounds and clips n frames of output to the packets' 24-bit scale and
// appends them.
void emit(std::size_t n) {
    for (std::size_t i = 0; i < 2 * n; ++i) {
        float v = out_frames[i];
        if (v > 8388607.0f) v = 8388607.0f;
        if (v < -8388608.0f) v = -8388608.0f;
        out_words[i] = static_cast<int32_t>(std::lrint(v));
    }
    write_outfifo(static_cast<int>(2 * n), out_words.data());
}

void release() {
    if (resampler) soxr_delete(resampler);
    resampler = nullptr;
    resampler_in = resampler_out = 0;
    active = false;
}

} // namespace

int32_t resample_target(int32_t rate) {
    if (rate < RESAMPLE_MIN_RATE || rate > RESAMPLE_MAX_RATE) return 0;
    if (rate_code(rate) >= 0) return rate;
    const auto &family = rate % 11025 == 0 ? family_44100 : family_48000;
    for (int32_t r : family)
        if (r >= rate) return r;
    return family.back();
}

int32_t resample_configure(int32_t rate) {
    const int32_t target = resample_target(rate);
    // A table rate leaves the resampler idle: a stream that changes its
    // rate back and forth finds it again.
    active = false;
    if (target == 0 || target == rate) return target;
    if (resampler && resampler_in == rate && resampler_out == target) {
        soxr_clear(resampler);
        active = true;
        return target;
    }
    release();
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
    const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
    soxr_error_t err = nullptr;
    resampler = soxr_create(rate, target, 2, &err, &io, &quality, &runtime);
    if (!resampler || err) {
        diag("resampler for %d Hz failed: %s\n", rate, soxr_strerror(err));
        release();
        return 0;
    }
    resampler_in = rate;
    resampler_out = target;
    active = true;
    diag("resampling %d Hz to %d Hz\n", rate, target);
    return target;
}

bool resample_active() {
    return active;
}

void resample_write(const int32_t *frames, int count) {
    if (!active || count <= 0) return;
    if (count > MAX_INSERT_FRAMES) count = MAX_INSERT_FRAMES;
    for (int i = 0; i < 2 * count; ++i) in_frames[i] = static_cast<float>(frames[i]);
    std::size_t used = 0;
    const std::size_t total = static_cast<std::size_t>(count);
    for (;;) {
        std::size_t idone = 0, odone = 0;
        soxr_process(resampler, in_frames.data() + 2 * used, total - used, &idone,
                     out_frames.data(), RESAMPLE_OUT_FRAMES, &odone);
        used += idone;
        emit(odone);
        // Done once all input is taken and the output did not fill up (a
        // full output may have more behind it); a step that moves nothing
        // ends it too.
        if ((used >= total && odone < RESAMPLE_OUT_FRAMES) || (idone == 0 && odone == 0)) break;
    }
}

void resample_drain() {
    if (!active) return;
    for (;;) {
        std::size_t odone = 0;
        soxr_process(resampler, nullptr, 0, nullptr, out_frames.data(), RESAMPLE_OUT_FRAMES,
                     &odone);
        if (odone == 0) break;
        emit(odone);
    }
    soxr_clear(resampler);
}

void resample_restart() {
    if (active) soxr_clear(resampler);
}

void resample_stop() {
    release();
}

} // namespace pipd
