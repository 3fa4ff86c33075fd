// libFuzzer target: arbitrary bytes played as a FLAC file.
#define PIPD_FUZZ_ENDING "flac"
#include "fuzz/fuzz_target.h"
