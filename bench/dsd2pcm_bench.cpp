// Throughput of the DSD to PCM converter on DSD64 stereo, in the two layouts
// the codecs use: planar blocks (DSF) and byte-interleaved stereo with
// interleaved output (SACD). The counter "x_realtime" is seconds of audio
// converted per second of CPU time, for one channel pair.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <vector>

#include "codecs/dsd/dsd2pcm.h"
#include "core/diag.h"

namespace {

constexpr unsigned SAMPLES_PER_BLOCK = 2048;  // PCM samples per channel and call
constexpr double PCM_RATE = 2822400.0 / 16.0; // per channel
constexpr double AUDIO_SECONDS_PER_BLOCK = SAMPLES_PER_BLOCK / PCM_RATE;

// A deterministic noise-like DSD stream (xorshift), so the lookups do not all hit
// one table line.
std::vector<uint8_t> dsd_noise(std::size_t bytes) {
    std::vector<uint8_t> v(bytes);
    uint32_t x = 0x12345678u;
    for (auto &b : v) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<uint8_t>(x >> 24);
    }
    return v;
}

void init_once() {
    static bool done = false;
    if (done) return;
    std::FILE *old = pipd::diag_set_stream(nullptr);
    pipd::dsd2pcm_init();
    pipd::diag_set_stream(old);
    done = true;
}

void set_counters(benchmark::State &state) {
    state.counters["x_realtime"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * AUDIO_SECONDS_PER_BLOCK,
                           benchmark::Counter::kIsRate);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * 2 * SAMPLES_PER_BLOCK);
}

// Two planar 4096-byte blocks into two planar buffers, as the DSF codec does.
void BM_Dsd64StereoPlanar(benchmark::State &state) {
    init_once();
    const auto left = dsd_noise(2 * SAMPLES_PER_BLOCK);
    auto right = dsd_noise(4 * SAMPLES_PER_BLOCK);
    right.erase(right.begin(), right.begin() + 2 * SAMPLES_PER_BLOCK);
    std::vector<int32_t> out_l(SAMPLES_PER_BLOCK), out_r(SAMPLES_PER_BLOCK);
    pipd::dsd2pcm_reset(0);
    pipd::dsd2pcm_reset(1);
    for (auto _ : state) {
        pipd::dsd2pcm_translate(0, SAMPLES_PER_BLOCK, left.data(), 1, 0, out_l.data(), 1);
        pipd::dsd2pcm_translate(1, SAMPLES_PER_BLOCK, right.data(), 1, 0, out_r.data(), 1);
        benchmark::DoNotOptimize(out_l.data());
        benchmark::DoNotOptimize(out_r.data());
        benchmark::ClobberMemory();
    }
    set_counters(state);
}
BENCHMARK(BM_Dsd64StereoPlanar);

// Byte-interleaved stereo into one interleaved buffer, as the SACD codec does.
void BM_Dsd64StereoInterleaved(benchmark::State &state) {
    init_once();
    const auto in = dsd_noise(4 * SAMPLES_PER_BLOCK);
    std::vector<int32_t> out(2 * SAMPLES_PER_BLOCK);
    pipd::dsd2pcm_reset(0);
    pipd::dsd2pcm_reset(1);
    for (auto _ : state) {
        pipd::dsd2pcm_translate(0, SAMPLES_PER_BLOCK, in.data(), 2, 0, out.data(), 2);
        pipd::dsd2pcm_translate(1, SAMPLES_PER_BLOCK, in.data() + 1, 2, 0, out.data() + 1, 2);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    set_counters(state);
}
BENCHMARK(BM_Dsd64StereoInterleaved);

// LSB-first planar input (DSF files with one bit per sample).
void BM_Dsd64StereoPlanarReversed(benchmark::State &state) {
    init_once();
    const auto left = dsd_noise(2 * SAMPLES_PER_BLOCK);
    const auto right = dsd_noise(2 * SAMPLES_PER_BLOCK);
    std::vector<int32_t> out_l(SAMPLES_PER_BLOCK), out_r(SAMPLES_PER_BLOCK);
    pipd::dsd2pcm_reset(0);
    pipd::dsd2pcm_reset(1);
    for (auto _ : state) {
        pipd::dsd2pcm_translate(0, SAMPLES_PER_BLOCK, left.data(), 1, 1, out_l.data(), 1);
        pipd::dsd2pcm_translate(1, SAMPLES_PER_BLOCK, right.data(), 1, 1, out_r.data(), 1);
        benchmark::DoNotOptimize(out_l.data());
        benchmark::DoNotOptimize(out_r.data());
        benchmark::ClobberMemory();
    }
    set_counters(state);
}
BENCHMARK(BM_Dsd64StereoPlanarReversed);

} // namespace

BENCHMARK_MAIN();
