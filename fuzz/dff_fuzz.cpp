// libFuzzer target: arbitrary bytes played as a DSDIFF file.
#define PIPD_FUZZ_ENDING "dff"
#include "fuzz/fuzz_target.h"
