// The readers of the containers TagLib does not know (DSF, DSDIFF, SACD
// disc images) and of cue sheets, and what they share with the tag reader.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <taglib/tfile.h>

#include "meta/track_meta.h"

namespace pipd::meta::detail {

// A file with its size, read only at positions checked against that size.
struct file_handle {
    std::FILE *f;
    uint64_t size = 0;
    explicit file_handle(const std::string &path);
    ~file_handle();
    file_handle(const file_handle &) = delete;
    file_handle &operator=(const file_handle &) = delete;
    bool read_at(uint64_t at, void *out, std::size_t n);
};

// A file over bytes in memory (an ID3v2 tag a container holds), for
// TagLib's ID3v2 reader.
class bytes_file : public TagLib::File {
  public:
    explicit bytes_file(TagLib::IOStream *stream) : TagLib::File(stream) {}
    TagLib::Tag *tag() const override { return nullptr; }
    TagLib::AudioProperties *audioProperties() const override { return nullptr; }
    bool save() override { return false; }
};

// The kinds of file the readers know, by the name's ending (any case).
enum class kind { flac, mpeg, ape, wav, dsf, dff, iso, other };
kind kind_of(const std::string &path);

// The size an ID3v2 header at p announces (header and footer included).
uint64_t id3v2_size(const unsigned char *p);

// Text of no declared encoding in UTF-8: up to its first NUL, kept as it is
// when it is valid UTF-8, else read as Latin-1; cut to the field limit.
// Nothing when it is empty.
std::optional<std::string> loose_text(std::string_view text);

// What a DSF or DSDIFF file says about itself.
struct dsd_container {
    const char *fault = nullptr; // why its tags are not to be trusted
    std::optional<std::string> id3v2;
    std::optional<std::string> artist, title; // DSDIFF "DIIN"
    std::optional<uint32_t> duration_ms;
};
dsd_container read_dsd_container(const std::string &path, bool dsf);

// The album texts of an SACD disc image, and those of its two-channel
// area's track (from 1; 0: the album's only). Nothing, with a message, when
// the file is no disc image.
std::optional<track_meta> read_disc_texts(const std::string &path, int track);

// The texts the cue sheet paired with the audio file gives its track (from
// 1); nothing when there is no sheet or no such track in it.
std::optional<track_meta> read_cue_texts(const std::string &path, int track);

} // namespace pipd::meta::detail
