// Building the play queue: every playable file under the scan root, sorted
// by path, with the track list of a paired cue sheet.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/queue.h"

namespace pipd {

int scan_files(const char *directory);
int is_cuefile(const char *name);
void sort_list();
void clear_list();
// 0 when the first n bytes of a and b are equal, -1 otherwise (exactly n
// bytes, terminating zeros included).
int intstrcmp(const char *a, const char *b, int n);
void print_list();

} // namespace pipd
