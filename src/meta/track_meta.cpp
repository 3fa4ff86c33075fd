#include "meta/track_meta.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <taglib/apefile.h>
#include <taglib/flacfile.h>
#include <taglib/mpegfile.h>
#include <taglib/tpropertymap.h>
#include <taglib/wavfile.h>

#include "core/diag.h"
#include "meta/tag_check.h"

namespace pipd::meta {

namespace {

using detail::file_handle;
using detail::tag_fault;

std::optional<std::string> field(const TagLib::PropertyMap &props, const char *key) {
    const auto it = props.find(key);
    if (it == props.end() || it->second.isEmpty()) return std::nullopt;
    std::string text = it->second.front().to8Bit(true);
    if (text.empty()) return std::nullopt;
    return cut_utf8(std::move(text));
}

enum class kind { flac, mpeg, ape, wav, other };

kind kind_of(const std::string &path) {
    const auto dot = path.rfind('.');
    std::string ext = dot == std::string::npos ? "" : path.substr(dot + 1);
    for (char &c : ext) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    if (ext == "flac") return kind::flac;
    if (ext == "mp3") return kind::mpeg;
    if (ext == "ape") return kind::ape;
    if (ext == "wav") return kind::wav;
    return kind::other;
}

std::unique_ptr<TagLib::File> open_tagged(const std::string &path, kind k) {
    const char *p = path.c_str();
    const auto props = TagLib::AudioProperties::Average;
    switch (k) {
    case kind::flac:
        return std::make_unique<TagLib::FLAC::File>(p, true, props);
    case kind::mpeg:
        return std::make_unique<TagLib::MPEG::File>(p, true, props);
    case kind::ape:
        return std::make_unique<TagLib::APE::File>(p, true, props);
    case kind::wav:
        return std::make_unique<TagLib::RIFF::WAV::File>(p, true, props);
    case kind::other:
        break;
    }
    return nullptr;
}

std::optional<track_meta> read(const std::string &path) {
    const kind k = kind_of(path);
    if (k == kind::other) {
        diag("tags: %s: no tag reader for this kind of file\n", path.c_str());
        return std::nullopt;
    }
    {
        file_handle file(path);
        if (!file.f) {
            diag("tags: %s: cannot open\n", path.c_str());
            return std::nullopt;
        }
        if (const char *fault = tag_fault(file)) {
            diag("tags: %s: %s\n", path.c_str(), fault);
            return std::nullopt;
        }
    }
    const auto file = open_tagged(path, k);
    if (!file || !file->isValid()) {
        diag("tags: %s: damaged, no tags read\n", path.c_str());
        return std::nullopt;
    }
    const TagLib::PropertyMap props = file->properties();
    track_meta meta;
    meta.title = field(props, "TITLE");
    meta.artist = field(props, "ARTIST");
    meta.album = field(props, "ALBUM");
    meta.album_artist = field(props, "ALBUMARTIST");
    meta.track_number = field(props, "TRACKNUMBER");
    meta.disc_number = field(props, "DISCNUMBER");
    meta.date = field(props, "DATE");
    meta.genre = field(props, "GENRE");
    if (const auto *audio = file->audioProperties(); audio && audio->lengthInMilliseconds() > 0)
        meta.duration_ms = static_cast<uint32_t>(audio->lengthInMilliseconds());
    return meta;
}

} // namespace

std::string cut_utf8(std::string text, std::size_t max) {
    if (text.size() <= max) return text;
    std::size_t end = max;
    // Back over continuation bytes to the start of the character cut apart.
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xc0) == 0x80) --end;
    text.resize(end);
    return text;
}

std::optional<track_meta> read_track_meta(const std::string &path) {
    try {
        return read(path);
    } catch (const std::exception &e) {
        diag("tags: %s: %s\n", path.c_str(), e.what());
    } catch (...) {
        diag("tags: %s: failed\n", path.c_str());
    }
    return std::nullopt;
}

} // namespace pipd::meta

namespace pipd::meta {

std::optional<track_meta> read_track_meta(const std::string &path, int) {
    return read_track_meta(path);
}

} // namespace pipd::meta
