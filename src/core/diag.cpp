#include "core/diag.h"

#include <cstdarg>

namespace pipd {

namespace {
std::FILE *diag_stream = stdout;
bool diag_redirected = false;
} // namespace

void diag(const char *fmt, ...) {
    std::FILE *out = diag_redirected ? diag_stream : stdout;
    if (!out) return;
    va_list ap;
    va_start(ap, fmt);
    std::vfprintf(out, fmt, ap);
    va_end(ap);
}

void diag_puts(const char *text) {
    std::FILE *out = diag_redirected ? diag_stream : stdout;
    if (!out) return;
    std::fputs(text, out);
    std::fputc('\n', out);
}

std::FILE *diag_set_stream(std::FILE *stream) {
    std::FILE *old = diag_redirected ? diag_stream : stdout;
    diag_stream = stream;
    diag_redirected = true;
    return old;
}

void diag_flush() {
    std::FILE *out = diag_redirected ? diag_stream : stdout;
    if (out) std::fflush(out);
}

} // namespace pipd
