// libFuzzer target: arbitrary bytes played as an APE file.
#define PIPD_FUZZ_ENDING "ape"
#include "fuzz/fuzz_target.h"
