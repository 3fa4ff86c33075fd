#include "meta/dsd_tags.h"

namespace pipd::meta {

std::optional<std::string> dsd_id3v2_bytes(const std::string &) {
    return std::nullopt;
}

} // namespace pipd::meta
