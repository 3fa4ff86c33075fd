// libFuzzer target: arbitrary bytes read as a tagged music file by the tag
// reader of the remotes. The first byte chooses the kind of file (its
// ending): FLAC, MP3, APE, WAV, DSF, DSDIFF or a disc image, whose bytes
// start at sector 510 (bit 3 of the first byte: raw 2064-byte sectors), so
// that small inputs reach its tables. Each input is read for its tags, for
// the texts of its first track and for its cover.
//
// Beyond the sanitizers' faults, what comes out must keep its limits: every
// text within the field limit, a picture within the picture limit.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "fuzz/memory_file.h"
#include "meta/cover_art.h"
#include "meta/track_meta.h"

namespace {

constexpr std::array<const char *, 7> ENDINGS = {"flac", "mp3", "ape", "wav", "dsf", "dff", "iso"};

void require(bool ok, const char *what) {
    if (ok) return;
    std::fprintf(stderr, "meta_fuzz: %s\n", what);
    std::abort();
}

void check(const std::optional<pipd::meta::track_meta> &m) {
    if (!m) return;
    for (const auto *f : {&m->title, &m->artist, &m->album, &m->album_artist, &m->track_number,
                          &m->disc_number, &m->date, &m->genre})
        require(!f->has_value() || (!(*f)->empty() && (*f)->size() <= pipd::meta::MAX_FIELD_BYTES),
                "text field out of its limit");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static std::array<pipd::fuzz::memory_file *, ENDINGS.size()> files{};
    if (size < 1) return 0;
    const std::size_t kind = data[0] % ENDINGS.size();
    if (!files[kind]) files[kind] = new pipd::fuzz::memory_file(ENDINGS[kind]);
    pipd::fuzz::memory_file &file = *files[kind];
    const uint64_t start =
        ENDINGS[kind] == std::string_view("iso") ? 510 * uint64_t{data[0] & 8 ? 2064u : 2048u} : 0;
    if (!file.fill(data + 1, size - 1, start)) return 0;
    check(pipd::meta::read_track_meta(file.path()));
    check(pipd::meta::read_track_meta(file.path(), 1));
    const auto art = pipd::meta::read_cover_art(file.path());
    require(!art || art->bytes.size() <= pipd::meta::MAX_PICTURE_BYTES, "picture out of its limit");
    return 0;
}
