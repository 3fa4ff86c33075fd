// The tags of the DSD containers, which carry an ID3v2 tag of their own.
#pragma once

#include <optional>
#include <string>

namespace pipd::meta {

// The bytes of the ID3v2 tag of a DSF file (where its header points) or a
// DSDIFF file (its "ID3 " chunk); nothing when there is none, it is damaged
// or larger than the tag limit.
std::optional<std::string> dsd_id3v2_bytes(const std::string &path);

} // namespace pipd::meta
