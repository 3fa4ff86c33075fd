// The output stage of the DSD codecs (DSF, DSDIFF, disc images): every
// block of DSD they read goes through it. It converts each channel to
// 176,400 Hz PCM (DSD64 with the converter of dsd2pcm.h, DSD128, DSD256 and
// DSD512 with filters of their own of the same gain and a flat pass band),
// folds 1 to 6 channels down to stereo and hands the result to the host. A
// tool can take the DSD bytes themselves instead (dsd_set_raw_hook).
// Procedural: the stream in progress is file-local state.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pipd {

inline constexpr int DSD_MAX_CHANNELS = 6;

// Receives the DSD bytes of a block in place of the conversion: n bytes,
// byte j of channel ch at j * channels + ch, the earliest bit of each byte in
// its most significant bit (as DSDIFF stores plain DSD).
using dsd_raw_hook = void (*)(const uint8_t *bytes, std::size_t n, int channels);

// Sets the hook (nullptr: convert again); it stays until changed.
void dsd_set_raw_hook(dsd_raw_hook hook);

// Starts a stream of channels channels at rate Hz (2,822,400 times 1, 2, 4
// or 8) with a fresh filter history. false, after a message naming what is
// refused, for any other rate or channel count.
bool dsd_begin(uint32_t rate, int channels);

// Converts bytes DSD bytes of every channel of the stream begun: byte j of
// channel ch lies at first + ch * channel_step + j * byte_step, its earliest
// bit in the least significant bit when lsb_first is set, else in the most
// significant. Only whole PCM samples are converted (a trailing part of one
// is dropped, as the end of a stream). Returns the bytes of each channel
// taken: those of the whole samples, or all of them when the raw hook is set.
uint32_t dsd_convert(const uint8_t *first, std::ptrdiff_t channel_step, std::ptrdiff_t byte_step,
                     uint32_t bytes, bool lsb_first);

// The stereo fold-down of 1 to 6 channels of PCM, sample by sample, by
// channel position (front left, front right, then centre, LFE and the rear
// pair as the channel count has them): left and right receive count samples.
void dsd_fold_down(const int32_t *const *channels, int count_channels, unsigned count,
                   int32_t *left, int32_t *right);

// Neutral filter history on every channel of the stream begun, as after a
// jump in it: nothing from before the jump reaches the samples after it.
void dsd_reset_history();

} // namespace pipd
