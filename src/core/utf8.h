// Well-formed UTF-8, as the reports and the clients' terminal output need it.
#pragma once

#include <cstddef>

namespace pipd {

// Length of the well-formed UTF-8 sequence at s (n bytes available, n > 0),
// 0 when the bytes there do not form one (stray continuation byte, overlong
// form, surrogate, beyond U+10FFFF, cut short).
std::size_t utf8_sequence_length(const unsigned char *s, std::size_t n);

} // namespace pipd
