// libFuzzer target: arbitrary bytes played as a DSF file.
#define PIPD_FUZZ_ENDING "dsf"
#include "fuzz/fuzz_target.h"
