// The samples of a packet as a device takes them: channel 0 first (the pipe
// carries channel 1 first), 24 significant bits in the device's format.
#pragma once

#include <array>
#include <cstdint>

namespace pipd::sink {

enum class sample_format { s24_le, s32_le, s24_3le, s16_le };

struct format_entry {
    const char *name;
    sample_format format;
    int bytes; // per sample
};
inline constexpr std::array<format_entry, 4> formats{{
    {"S24_LE", sample_format::s24_le, 4},
    {"S32_LE", sample_format::s32_le, 4},
    {"S24_3LE", sample_format::s24_3le, 3},
    {"S16_LE", sample_format::s16_le, 2},
}};
inline constexpr int AUTO_FORMATS = 3; // S16_LE only when asked for

// Frames of a packet.
inline constexpr int PACKET_FRAMES = 512;

int32_t clamp24(int32_t v);

// The frames of one packet's words (header included) into out, which holds
// PACKET_FRAMES * 2 * f.bytes bytes.
void pack_frames(const int32_t *words, const format_entry &f, unsigned char *out);

} // namespace pipd::sink
