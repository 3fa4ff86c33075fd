// Diagnostics: every message of the player goes through diag(), which
// writes to standard output unless a tool points it elsewhere.
#pragma once

#include <cstdio>

namespace pipd {

void diag(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// puts() semantics: the text and a line feed.
void diag_puts(const char *text);
// Where diagnostics go; nullptr silences them. Returns the previous stream.
std::FILE *diag_set_stream(std::FILE *stream);
void diag_flush();

} // namespace pipd
