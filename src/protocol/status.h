// The status pipe carries records of a fixed size: the JSON text of the
// player's status, then zero bytes up to the end.
#pragma once

#include <cstddef>

namespace pipd {

inline constexpr std::size_t STATUS_SIZE = 2048;

} // namespace pipd
