// The cover of a music file, for the remotes: a picture embedded in the file,
// else an image file in its folder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace pipd::meta {

// A picture larger than this is ignored.
inline constexpr std::size_t MAX_PICTURE_BYTES = 8u << 20;

struct cover_art {
    std::string bytes;
    const char *type = nullptr; // "image/jpeg", "image/png", "image/webp" or "image/gif"
};

// The image type the bytes themselves show, by their signature; null for
// anything else, whatever a name or a tag claims.
const char *image_type(std::span<const unsigned char> bytes);

// The cover of the file at path: the front cover embedded in it (FLAC
// PICTURE, ID3v2 APIC, APEv2 "Cover Art (Front)"; another picture when there
// is no front one), else cover, folder, front or album .jpg/.jpeg/.png in
// its folder (case-insensitive), else the folder's only image. Nothing when
// there is none, it is too large or its bytes are no known image.
std::optional<cover_art> read_cover_art(const std::string &path);

} // namespace pipd::meta
