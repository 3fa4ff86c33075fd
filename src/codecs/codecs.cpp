#include "codecs/codecs.h"

#include <array>
#include <cstring>

#include "core/queue.h"

namespace pipd {

namespace {

constexpr std::array<file_format, 9> formats{{
    {"wav", "WAV", FILETYPE_WAV, wav_codec_run},
    {"ape", "APE", FILETYPE_APE, ape_codec_run},
    {"flac", "FLAC", FILETYPE_FLAC, flac_codec_run},
    {"dsf", "DSF", FILETYPE_DSF, dsf_codec_run},
    {"mp3", "MP3", FILETYPE_MP3, mp3_codec_run},
    {"iso", "ISO", FILETYPE_ISO, sacd_codec_run},
    {"dff", "DFF", FILETYPE_DFF, dff_codec_run},
    {"cue", "CUE", FILETYPE_CUE, nullptr},
    {"mbi", "MBI", FILETYPE_MBI, nullptr},
}};

// True when name ends in suffix, all lower case, or in its upper-case form.
bool ends_with_either(const char *name, std::size_t len, const char *lower, const char *upper) {
    std::size_t n = std::strlen(lower);
    if (len < n) return false;
    const char *tail = name + len - n;
    return std::memcmp(tail, lower, n) == 0 || std::memcmp(tail, upper, n) == 0;
}

} // namespace

std::span<const file_format> file_formats() {
    return formats;
}

int get_filetype(const char *name) {
    std::size_t len = std::strlen(name);
    for (const auto &f : formats)
        if (ends_with_either(name, len, f.lower, f.upper)) return f.type;
    return FILETYPE_NONE;
}

codec_run decoder_for(int type) {
    for (const auto &f : formats)
        if (f.type == type) return f.run;
    return nullptr;
}

} // namespace pipd
