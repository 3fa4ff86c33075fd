// The limits of a request's head, checked before the server reads its body:
// a head of a few KiB, a body only with a Content-Length of at most 4 KiB.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace pipd::web {

inline constexpr std::size_t HEAD_LIMIT = 8192; // request line, header lines, blank line
inline constexpr std::size_t HEAD_LINES = 64;   // header lines
inline constexpr std::size_t BODY_LIMIT = 4096;

struct head_check {
    enum { incomplete, taken, refused } verdict = incomplete;
    std::size_t head_size = 0; // with its blank line
    std::size_t body_size = 0; // its Content-Length
    int status = 0;            // of a refusal
    std::string error;         // and why
};

// What the bytes received so far allow: a whole head within the limits, a
// refusal, or nothing yet (less than HEAD_LIMIT bytes without a blank line).
head_check check_head(std::string_view received);

} // namespace pipd::web
