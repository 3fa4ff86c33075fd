// libFuzzer target: arbitrary bytes played as a WAV file.
#define PIPD_FUZZ_ENDING "wav"
#include "fuzz/fuzz_target.h"
