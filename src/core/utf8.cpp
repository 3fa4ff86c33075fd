#include "core/utf8.h"

namespace pipd {

std::size_t utf8_sequence_length(const unsigned char *s, std::size_t n) {
    unsigned char b = s[0];
    if (b < 0x80) return 1;
    std::size_t len;
    unsigned char lo = 0x80, hi = 0xBF; // allowed range of the second byte
    if (b >= 0xC2 && b <= 0xDF) {
        len = 2;
    } else if (b == 0xE0) {
        len = 3;
        lo = 0xA0;
    } else if (b == 0xED) {
        len = 3;
        hi = 0x9F;
    } else if (b >= 0xE1 && b <= 0xEF) {
        len = 3;
    } else if (b == 0xF0) {
        len = 4;
        lo = 0x90;
    } else if (b >= 0xF1 && b <= 0xF3) {
        len = 4;
    } else if (b == 0xF4) {
        len = 4;
        hi = 0x8F;
    } else {
        return 0;
    }
    if (n < len || s[1] < lo || s[1] > hi) return 0;
    for (std::size_t k = 2; k < len; ++k)
        if (s[k] < 0x80 || s[k] > 0xBF) return 0;
    return len;
}

} // namespace pipd
