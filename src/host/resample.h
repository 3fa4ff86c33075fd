// Resampling on the output side: the sink takes only the rates of the
// rate-code table, so a PCM stream at any other rate is brought to a table
// rate of its family and plays at its true pitch. Table rates pass
// untouched, with no resampler in the path.
#pragma once

#include <cstdint>

namespace pipd {

// The PCM rates the output takes: below this range nothing is music, and
// above it a rate is no PCM that anything records.
inline constexpr int32_t RESAMPLE_MIN_RATE = 4000;
inline constexpr int32_t RESAMPLE_MAX_RATE = 2822400 - 1;

// The table rate a PCM stream of this rate goes out at: the rate itself when
// it is in the table; otherwise the smallest table rate of its family
// (multiples of 11025: 44100, 88200, 176400; all others: 48000, 96000,
// 192000) at or above it, or the family's highest; 0 outside the range.
int32_t resample_target(int32_t rate);

// Sets the resampler up for a PCM stream of this rate and returns the rate
// the packets carry, 0 when the rate cannot be carried. A resampler works
// (restarted, when it had the same rate before) only when the target
// differs from the rate.
int32_t resample_configure(int32_t rate);

// True while a resampler is in the output path.
bool resample_active();

// Resamples count interleaved stereo frames (24-bit scale) and appends the
// result to the output packet.
void resample_write(const int32_t *frames, int count);

// The stream ended: the samples the resampler still holds are appended to
// the packet, and it is ready for a fresh stream at the same rate.
void resample_drain();

// The stream jumped (a seek): what the resampler holds is dropped.
void resample_restart();

// No resampler any more (tests; a table rate does this too).
void resample_stop();

} // namespace pipd
