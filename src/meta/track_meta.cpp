#include "meta/track_meta.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <taglib/apefile.h>
#include <taglib/flacfile.h>
#include <taglib/id3v2tag.h>
#include <taglib/mpegfile.h>
#include <taglib/tbytevectorstream.h>
#include <taglib/tpropertymap.h>
#include <taglib/wavfile.h>

#include "core/diag.h"
#include "core/utf8.h"
#include "meta/containers.h"
#include "meta/tag_check.h"

namespace pipd::meta {

namespace detail {

file_handle::file_handle(const std::string &path) : f(std::fopen(path.c_str(), "rb")) {
    if (f && std::fseek(f, 0, SEEK_END) == 0) size = static_cast<uint64_t>(ftello(f));
}

file_handle::~file_handle() {
    if (f) std::fclose(f);
}

bool file_handle::read_at(uint64_t at, void *out, std::size_t n) {
    return f && at <= size && n <= size - at && fseeko(f, static_cast<off_t>(at), SEEK_SET) == 0 &&
           std::fread(out, 1, n, f) == n;
}

uint64_t id3v2_size(const unsigned char *p) {
    const uint64_t body =
        (p[6] & 0x7f) << 21 | (p[7] & 0x7f) << 14 | (p[8] & 0x7f) << 7 | (p[9] & 0x7f);
    return body + 10 + ((p[5] & 0x10) ? 10 : 0);
}

namespace {

// Whether text is well-formed UTF-8 (no overlong forms, surrogates or code
// points past U+10FFFF).
bool valid_utf8(std::string_view text) {
    const auto *p = reinterpret_cast<const unsigned char *>(text.data());
    for (std::size_t i = 0, n; i < text.size(); i += n)
        if ((n = utf8_sequence_length(p + i, text.size() - i)) == 0) return false;
    return true;
}

} // namespace

std::optional<std::string> loose_text(std::string_view text) {
    text = text.substr(0, text.find('\0'));
    std::string out;
    if (valid_utf8(text)) {
        out = text;
    } else {
        for (const char ch : text) {
            const auto c = static_cast<unsigned char>(ch);
            if (c < 0x80) {
                out += ch;
            } else {
                out += static_cast<char>(0xc0 | c >> 6);
                out += static_cast<char>(0x80 | (c & 0x3f));
            }
        }
    }
    if (out.empty()) return std::nullopt;
    return cut_utf8(std::move(out));
}

namespace {

uint64_t le32(const unsigned char *p) {
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint64_t>(p[3]) << 24;
}

} // namespace

// What is wrong with the tags the file's containers announce, without
// reading them: one too large, or an ID3v2 tag at the start that runs past
// the end. Looks at the ID3v2 tag at the start, an APEv2 tag at the end
// (before an ID3v1 tag), and the LIST and "id3 " chunks of a RIFF file.
const char *tag_fault(file_handle &file) {
    unsigned char head[12];
    uint64_t largest = 0;
    if (file.read_at(0, head, 10) && std::memcmp(head, "ID3", 3) == 0) {
        largest = id3v2_size(head);
        if (largest <= MAX_TAG_BYTES && largest > file.size) return "its ID3v2 tag is cut short";
    }
    for (uint64_t tail : {uint64_t{32}, uint64_t{160}}) {
        unsigned char footer[32];
        if (file.size >= tail && file.read_at(file.size - tail, footer, 32) &&
            std::memcmp(footer, "APETAGEX", 8) == 0)
            largest = std::max(largest, le32(footer + 12));
    }
    if (file.read_at(0, head, 12) && std::memcmp(head, "RIFF", 4) == 0 &&
        std::memcmp(head + 8, "WAVE", 4) == 0) {
        unsigned char chunk[8];
        // Bounded: each step moves forward by at least 8 bytes, at most 4096 chunks.
        uint64_t at = 12;
        for (int n = 0; n < 4096 && file.read_at(at, chunk, 8); ++n) {
            const uint64_t size = le32(chunk + 4);
            if (std::memcmp(chunk, "LIST", 4) == 0 || std::memcmp(chunk, "id3 ", 4) == 0 ||
                std::memcmp(chunk, "ID3 ", 4) == 0)
                largest = std::max(largest, size);
            at += 8 + size + (size & 1);
        }
    }
    return largest > MAX_TAG_BYTES ? "a tag larger than 16 MiB, ignored" : nullptr;
}

kind kind_of(const std::string &path) {
    const auto dot = path.rfind('.');
    std::string ext = dot == std::string::npos ? "" : path.substr(dot + 1);
    for (char &c : ext) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    if (ext == "flac") return kind::flac;
    if (ext == "mp3") return kind::mpeg;
    if (ext == "ape") return kind::ape;
    if (ext == "wav") return kind::wav;
    if (ext == "dsf") return kind::dsf;
    if (ext == "dff") return kind::dff;
    if (ext == "iso") return kind::iso;
    return kind::other;
}

} // namespace detail

namespace {

using detail::file_handle;
using detail::id3v2_size;
using detail::tag_fault;

std::optional<std::string> field(const TagLib::PropertyMap &props, const char *key) {
    const auto it = props.find(key);
    if (it == props.end() || it->second.isEmpty()) return std::nullopt;
    std::string text = it->second.front().to8Bit(true);
    if (text.empty()) return std::nullopt;
    return cut_utf8(std::move(text));
}

using detail::kind;
using detail::kind_of;

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
    default:
        break;
    }
    return nullptr;
}

void fill(track_meta &meta, const TagLib::PropertyMap &props) {
    meta.title = field(props, "TITLE");
    meta.artist = field(props, "ARTIST");
    meta.album = field(props, "ALBUM");
    meta.album_artist = field(props, "ALBUMARTIST");
    meta.track_number = field(props, "TRACKNUMBER");
    meta.disc_number = field(props, "DISCNUMBER");
    meta.date = field(props, "DATE");
    meta.genre = field(props, "GENRE");
}

std::optional<track_meta> read_dsd(const std::string &path, kind k) {
    const detail::dsd_container dsd = detail::read_dsd_container(path, k == kind::dsf);
    if (dsd.fault) {
        diag("tags: %s: %s\n", path.c_str(), dsd.fault);
        return std::nullopt;
    }
    track_meta meta;
    if (dsd.id3v2) {
        TagLib::ByteVectorStream stream(
            TagLib::ByteVector(dsd.id3v2->data(), static_cast<unsigned>(dsd.id3v2->size())));
        detail::bytes_file file(&stream);
        const TagLib::ID3v2::Tag tag(&file, 0);
        fill(meta, tag.properties());
    }
    if (!meta.artist) meta.artist = dsd.artist;
    if (!meta.title) meta.title = dsd.title;
    meta.duration_ms = dsd.duration_ms;
    return meta;
}

std::optional<track_meta> read(const std::string &path) {
    const kind k = kind_of(path);
    if (k == kind::other) {
        diag("tags: %s: no tag reader for this kind of file\n", path.c_str());
        return std::nullopt;
    }
    if (k == kind::dsf || k == kind::dff) return read_dsd(path, k);
    if (k == kind::iso) return detail::read_disc_texts(path, 0);
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
    track_meta meta;
    fill(meta, file->properties());
    if (const auto *audio = file->audioProperties(); audio && audio->lengthInMilliseconds() > 0)
        meta.duration_ms = static_cast<uint32_t>(audio->lengthInMilliseconds());
    return meta;
}

// The track's texts from its sheet or disc over the file's own tags.
std::optional<track_meta> read(const std::string &path, int track) {
    const kind k = kind_of(path);
    if (k == kind::iso) return detail::read_disc_texts(path, track);
    if (k != kind::flac && k != kind::ape && k != kind::wav) return read(path);
    auto sheet = detail::read_cue_texts(path, track);
    if (!sheet) return read(path);
    if (const auto own = read(path)) {
        for (auto [mine, theirs] : {std::pair{&sheet->title, &own->title},
                                    {&sheet->artist, &own->artist},
                                    {&sheet->album, &own->album},
                                    {&sheet->album_artist, &own->album_artist},
                                    {&sheet->disc_number, &own->disc_number},
                                    {&sheet->date, &own->date},
                                    {&sheet->genre, &own->genre}})
            if (!*mine) *mine = *theirs;
        sheet->duration_ms = own->duration_ms;
    }
    return sheet;
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

namespace {

// Reading a file never throws to the caller: whatever TagLib or the
// allocator throws ends in a message and no tags.
template <class... A> std::optional<track_meta> guarded(const std::string &path, A... a) {
    try {
        return read(path, a...);
    } catch (const std::exception &e) {
        diag("tags: %s: %s\n", path.c_str(), e.what());
    } catch (...) {
        diag("tags: %s: failed\n", path.c_str());
    }
    return std::nullopt;
}

} // namespace

std::optional<track_meta> read_track_meta(const std::string &path) {
    return guarded(path);
}

std::optional<track_meta> read_track_meta(const std::string &path, int track) {
    return track <= 0 ? guarded(path) : guarded(path, track);
}

} // namespace pipd::meta
