// libFuzzer target: arbitrary bytes played as an MP3 file.
#define PIPD_FUZZ_ENDING "mp3"
#include "fuzz/fuzz_target.h"
