// Test helper: models of the DSD to PCM converter written from its
// definition, without its lookup tables or its ring of window bytes.
//
// - direct_fir: the 146-tap filter evaluated bit by bit on one window (its
//   sum runs in another order, so it may differ from the converter by one).
// - dsd_stereo_model: a whole stereo stream, bit-exact. The 19 per-byte
//   tables are summed in the same order as the converter's (that order is
//   what makes the result exact), but built and applied over a plain history
//   of every byte since the reset, 19 bytes of 0x69 first.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "codecs/dsd/dsd2pcm.h"

namespace pipd::testing {

// Bits 0 .. 145 of the 19-byte window, oldest byte first and most
// significant bit first: ones weigh +B, zeros -B, the last six bits nothing.
inline double direct_fir(const uint8_t *window) {
    double acc = 0.0;
    for (int t = 0; t < DSD2PCM_TAPS; ++t) {
        const bool one = (window[t / 8] >> (7 - t % 8)) & 1;
        acc += one ? B[DSD2PCM_TAPS - 1 - t] : -B[DSD2PCM_TAPS - 1 - t];
    }
    return acc;
}

class dsd_stereo_model {
  public:
    dsd_stereo_model() {
        for (int j = 0; j < 19; ++j)
            for (int e = 0; e < 256; ++e) {
                double acc = 0.0;
                for (int t = 8 * j; t < 8 * j + 8 && t < DSD2PCM_TAPS; ++t) {
                    const bool one = (e >> (7 - t % 8)) & 1;
                    acc += one ? B[DSD2PCM_TAPS - 1 - t] : -B[DSD2PCM_TAPS - 1 - t];
                }
                table_[j][e] = acc;
            }
        for (auto &h : history_) h.assign(19, 0x69);
    }

    // One byte-interleaved stereo frame: size / 4 samples of each channel;
    // the bytes of an incomplete last pair are not used.
    void frame(const std::vector<uint8_t> &f) {
        for (std::size_t k = 0; k + 4 <= f.size(); k += 4)
            for (int c = 0; c < 2; ++c) {
                history_[c].push_back(f[k + c]);
                history_[c].push_back(f[k + 2 + c]);
                const uint8_t *w = history_[c].data() + history_[c].size() - 19;
                double acc = 0.0;
                for (int j = 0; j < 19; ++j) acc += table_[j][w[j]];
                pcm_.push_back(static_cast<int32_t>(acc * 8388608.0));
            }
    }

    // Converter output, channel 0 first in each frame.
    const std::vector<int32_t> &pcm() const { return pcm_; }
    // What the sink plays: the host halves a stream reported at 2,822,400 Hz.
    std::vector<int32_t> played() const {
        std::vector<int32_t> out(pcm_.size());
        for (std::size_t i = 0; i < pcm_.size(); ++i) out[i] = pcm_[i] / 2;
        return out;
    }

  private:
    std::array<std::array<double, 256>, 19> table_;
    std::array<std::vector<uint8_t>, 2> history_;
    std::vector<int32_t> pcm_;
};

} // namespace pipd::testing
