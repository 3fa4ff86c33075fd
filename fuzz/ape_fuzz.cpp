// libFuzzer target: arbitrary bytes played as an APE file. Each input is a
// whole encoded file, and the high levels' filters cost thousands of
// operations per sample. The decoder polls for commands before each chunk
// of at most 1024 samples, played or skipped after a seek: an input ends
// after 10 polls, which hold the first whole frame of every seed
// (fuzz/make_ape_seeds.sh).
#define PIPD_FUZZ_ENDING "ape"
#define PIPD_FUZZ_POLL_CAP 10
#include "fuzz/fuzz_target.h"
