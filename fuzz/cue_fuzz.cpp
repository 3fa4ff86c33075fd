// libFuzzer target: arbitrary bytes read as a cue sheet on the medium, as the
// scanner reads one: the sheet is a file with the ".cue" ending, parsed into
// the one record the player keeps for every sheet of the scan, whose track
// titles and start times are then copied into the queue entry.
//
// Beyond the sanitizers' faults, the record must hold what its readers
// assume: a track count of 0 to 99, every text terminated within its field,
// start times that are not negative.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/cuesheet.h"
#include "fuzz/memory_file.h"

namespace {

pipd::fuzz::memory_file *input = nullptr;
pipd::cue_sheet *sheet = nullptr;

void require(bool ok, const char *what) {
    if (ok) return;
    std::fprintf(stderr, "cue_fuzz: %s\n", what);
    std::abort();
}

void check_text(const char *field) {
    require(strnlen(field, pipd::CUE_TEXT_MAX + 1) <= pipd::CUE_TEXT_MAX, "text not terminated");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    static pipd::fuzz::memory_file file("cue");
    input = &file;
    // Kept from one input to the next, as the scanner keeps it from one sheet
    // to the next.
    sheet = static_cast<pipd::cue_sheet *>(std::calloc(1, sizeof(pipd::cue_sheet)));
    require(sheet != nullptr, "no memory");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (!input->fill(data, size)) return 0;
    const int n = pipd::parse_cuesheet(input->path(), sheet);
    require(n >= 0 && n <= pipd::CUE_TRACK_MAX && n == sheet->count, "track count");
    check_text(sheet->title);
    check_text(sheet->performer);
    check_text(sheet->songwriter);
    for (int j = 0; j < n; ++j) {
        const pipd::cue_track &t = sheet->tracks[j];
        check_text(t.title);
        check_text(t.performer);
        check_text(t.songwriter);
        require(t.start >= 0, "negative start");
    }
    return 0;
}
