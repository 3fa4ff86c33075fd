#include "meta/cover_art.h"

namespace pipd::meta {

const char *image_type(std::span<const unsigned char>) {
    return nullptr;
}

std::optional<cover_art> read_cover_art(const std::string &) {
    return std::nullopt;
}

} // namespace pipd::meta
