// libFuzzer target: arbitrary bytes played as a SACD disc image. The input
// is laid out from sector 510 on (see tests/support/sacd_image.h), so that
// small inputs reach the master TOC and what lies behind it.
#include "tests/support/sacd_image.h"
#define PIPD_FUZZ_ENDING "iso"
#define PIPD_FUZZ_FILE_START(control) pipd::testing::fuzz_file_start(control)
#include "fuzz/fuzz_target.h"
