// SACD codec: plays the tracks of a disc image's two-channel area one after
// another inside one queue entry, converting each DSD frame to 176,400 Hz
// PCM. Next and previous commands move between the tracks of the image; a
// seek moves within the track playing (a target at or past its end ends it,
// and the image goes on with the next track).
#pragma once

#include <array>
#include <cstddef>

namespace pipd {

inline constexpr int ISO_SONG_SIZE = 512;
inline constexpr int SACD_DSD_FRAME_BYTES = 9408; // 1/75 s of two byte-interleaved channels

// Copies a title into a buffer of capacity bytes, NUL-terminated; a title
// too long for it is cut before the first UTF-8 character that does not fit
// whole. Returns the length copied.
std::size_t sacd_copy_title(char *dst, std::size_t capacity, const char *title);

} // namespace pipd
