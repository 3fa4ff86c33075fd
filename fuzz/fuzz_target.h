// libFuzzer target body shared by the decoders' targets: arbitrary bytes
// played as a file of one type by the real track runner, host window and
// decoder. The bytes are written to a memory file reached through a link
// whose name has the type's ending, so the player opens, reads and seeks it
// as it would any file.
//
// Input layout: one control byte, then the file. Control bit 0 set: a seek
// to (control >> 1) * 97 ms is pending when the track starts. The file is
// padded with zeros to the first window's size (shorter files are never
// played).
//
// A target file defines PIPD_FUZZ_ENDING (for example "flac") and includes
// this header. It may define PIPD_FUZZ_FILE_START(control) as the file
// offset where the input's bytes go (the bytes before it read as zeros),
// PIPD_FUZZ_FRAME_CAP as the frames played per input at most, by default
// more than the first window holds of the narrowest samples (8-bit mono),
// so that only inputs that claim more than they hold are cut short; and
// PIPD_FUZZ_POLL_CAP as the decoder's command polls per input at most, by
// default unbounded (see pipd::fuzz::frame_cap).
#pragma once

#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_run.h"
#include "fuzz/memory_file.h"

#ifndef PIPD_FUZZ_FILE_START
#define PIPD_FUZZ_FILE_START(control) static_cast<uint64_t>(0)
#endif
#ifndef PIPD_FUZZ_FRAME_CAP
#define PIPD_FUZZ_FRAME_CAP (int64_t{2} * pipd::fuzz::MIN_FILE)
#endif
#ifndef PIPD_FUZZ_POLL_CAP
#define PIPD_FUZZ_POLL_CAP INT64_MAX
#endif

namespace {

pipd::fuzz::memory_file *input = nullptr;

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    static pipd::fuzz::memory_file file(PIPD_FUZZ_ENDING);
    input = &file;
    pipd::fuzz::prepare_player(PIPD_FUZZ_FRAME_CAP, PIPD_FUZZ_POLL_CAP);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    if (!input->fill(data + 1, size - 1, PIPD_FUZZ_FILE_START(data[0]), pipd::fuzz::MIN_FILE))
        return 0;
    pipd::fuzz::play(input->path(), data[0]);
    return 0;
}
