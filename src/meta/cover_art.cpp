#include "meta/cover_art.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <exception>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <taglib/apefile.h>
#include <taglib/apetag.h>
#include <taglib/attachedpictureframe.h>
#include <taglib/flacfile.h>
#include <taglib/flacpicture.h>
#include <taglib/id3v2tag.h>
#include <taglib/mpegfile.h>
#include <taglib/tbytevectorstream.h>
#include <taglib/wavfile.h>
#include <unistd.h>
#include <vector>

#include "core/diag.h"
#include "meta/dsd_tags.h"
#include "meta/tag_check.h"

namespace pipd::meta {

namespace {

// A folder with more names than this is only looked at this far.
constexpr int MAX_FOLDER_NAMES = 4096;

// The base names of the folder's cover images, in the order they are taken.
constexpr std::array<const char *, 4> COVER_NAMES = {"cover", "folder", "front", "album"};
constexpr std::array<const char *, 3> IMAGE_EXTENSIONS = {".jpg", ".jpeg", ".png"};

std::string lower(std::string text) {
    for (char &c : text) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    return text;
}

bool ends_with(const std::string &text, const char *end) {
    const std::size_t n = std::strlen(end);
    return text.size() >= n && text.compare(text.size() - n, n, end) == 0;
}

// The picture's bytes as a cover, when they are one: an image we know, not
// too large. what names the picture in a message.
std::optional<cover_art> as_cover(std::string bytes, const std::string &what) {
    if (bytes.size() > MAX_PICTURE_BYTES) {
        diag("cover: %s: picture larger than 8 MiB, ignored\n", what.c_str());
        return std::nullopt;
    }
    const char *type =
        image_type({reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size()});
    if (!type) {
        diag("cover: %s: not a known image, ignored\n", what.c_str());
        return std::nullopt;
    }
    return cover_art{std::move(bytes), type};
}

// The pictures embedded in a file, offered one by one: the first front
// cover wins, else the first other picture.
class picture_choice {
  public:
    explicit picture_choice(const std::string &path) : path_(path) {}

    void offer(const TagLib::ByteVector &data, bool front) {
        auto &slot = front ? front_ : other_;
        if (slot) return;
        if (data.size() > MAX_PICTURE_BYTES) {
            diag("cover: %s: picture larger than 8 MiB, ignored\n", path_.c_str());
            return;
        }
        slot = as_cover(std::string(data.data(), data.size()), path_);
    }
    std::optional<cover_art> best() { return front_ ? std::move(front_) : std::move(other_); }

  private:
    const std::string &path_;
    std::optional<cover_art> front_, other_;
};

void offer_apic(picture_choice &choice, const TagLib::ID3v2::Tag *tag) {
    if (!tag) return;
    for (auto *frame : tag->frameList("APIC"))
        if (const auto *pic = dynamic_cast<TagLib::ID3v2::AttachedPictureFrame *>(frame))
            choice.offer(pic->picture(),
                         pic->type() == TagLib::ID3v2::AttachedPictureFrame::FrontCover);
}

// An APEv2 picture item: a description ended by a NUL, then the image.
void offer_ape(picture_choice &choice, const TagLib::APE::Tag *tag) {
    if (!tag) return;
    const auto &items = tag->itemListMap(); // keys in upper case
    auto offer = [&](const TagLib::APE::Item &item, bool front) {
        if (item.type() != TagLib::APE::Item::Binary) return;
        const TagLib::ByteVector data = item.binaryData();
        const int nul = data.find('\0');
        if (nul >= 0) choice.offer(data.mid(static_cast<unsigned>(nul) + 1), front);
    };
    if (const auto front = items.find("COVER ART (FRONT)"); front != items.end())
        offer(front->second, true);
    for (const auto &[key, item] : items)
        if (key.startsWith("COVER ART (") && key != "COVER ART (FRONT)") offer(item, false);
}

void offer_dsd(picture_choice &choice, const std::string &path) {
    const auto bytes = dsd_id3v2_bytes(path);
    if (!bytes || bytes->size() > MAX_TAG_BYTES) return;
    TagLib::ByteVectorStream stream(
        TagLib::ByteVector(bytes->data(), static_cast<unsigned>(bytes->size())));
    detail::bytes_file file(&stream);
    const TagLib::ID3v2::Tag tag(&file, 0);
    offer_apic(choice, &tag);
}

using detail::kind;

// The picture embedded in the file; nothing, with a message, when its tags
// are damaged or too large.
std::optional<cover_art> embedded(const std::string &path, kind k) {
    picture_choice choice(path);
    const char *p = path.c_str();
    constexpr bool no_audio = false;
    switch (k) {
    case kind::flac: {
        TagLib::FLAC::File file(p, no_audio);
        if (!file.isValid()) break;
        for (const auto *pic : file.pictureList())
            choice.offer(pic->data(), pic->type() == TagLib::FLAC::Picture::FrontCover);
        return choice.best();
    }
    case kind::mpeg: {
        TagLib::MPEG::File file(p, no_audio);
        if (!file.isValid()) break;
        offer_apic(choice, file.ID3v2Tag());
        return choice.best();
    }
    case kind::ape: {
        TagLib::APE::File file(p, no_audio);
        if (!file.isValid()) break;
        offer_ape(choice, file.APETag());
        return choice.best();
    }
    case kind::wav: {
        TagLib::RIFF::WAV::File file(p, no_audio);
        if (!file.isValid()) break;
        offer_apic(choice, file.hasID3v2Tag() ? file.ID3v2Tag() : nullptr);
        return choice.best();
    }
    case kind::dsf:
    case kind::dff:
        offer_dsd(choice, path);
        return choice.best();
    case kind::iso:
    case kind::other:
        return std::nullopt;
    }
    diag("cover: %s: damaged, no picture read\n", p);
    return std::nullopt;
}

// A file closed at the end.
struct fd_closer {
    int fd;
    ~fd_closer() {
        if (fd >= 0) ::close(fd);
    }
};

// The image in a file of the folder: a regular file (never waits on a
// pipe) no larger than a picture may be, read without holding more.
std::optional<cover_art> image_file(const std::string &path) {
    const fd_closer file{::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)};
    struct stat st {};
    if (file.fd < 0 || ::fstat(file.fd, &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    if (static_cast<uint64_t>(st.st_size) > MAX_PICTURE_BYTES) {
        diag("cover: %s: picture larger than 8 MiB, ignored\n", path.c_str());
        return std::nullopt;
    }
    // One byte more than the size: a file grown since is seen as such.
    std::string bytes(static_cast<std::size_t>(st.st_size) + 1, '\0');
    std::size_t got = 0;
    while (got < bytes.size()) {
        const ssize_t n = ::read(file.fd, bytes.data() + got, bytes.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    bytes.resize(got);
    return as_cover(std::move(bytes), path);
}

// Where a name stands among the folder's cover names (lower first), -1 for
// none: the base names in order, each with its extensions in order.
int cover_rank(const std::string &name) {
    for (std::size_t b = 0; b < COVER_NAMES.size(); ++b)
        for (std::size_t e = 0; e < IMAGE_EXTENSIONS.size(); ++e)
            if (name == std::string(COVER_NAMES[b]) + IMAGE_EXTENSIONS[e])
                return static_cast<int>(b * IMAGE_EXTENSIONS.size() + e);
    return -1;
}

bool is_image_name(const std::string &name) {
    return std::any_of(IMAGE_EXTENSIONS.begin(), IMAGE_EXTENSIONS.end(),
                       [&](const char *ext) { return ends_with(name, ext); });
}

// The cover image of the track's folder: the cover names first, else the
// folder's only image. Hidden files (a copying system's own) do not count.
std::optional<cover_art> in_folder(const std::string &path) {
    const auto slash = path.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "./" : path.substr(0, slash + 1);
    std::unique_ptr<DIR, int (*)(DIR *)> dir(::opendir(folder.c_str()), ::closedir);
    if (!dir) return std::nullopt;
    std::vector<std::pair<int, std::string>> named; // rank, name
    std::vector<std::string> images;
    int names = 0;
    for (const dirent *e; names < MAX_FOLDER_NAMES && (e = ::readdir(dir.get())); ++names) {
        const std::string name = e->d_name;
        if (name.empty() || name[0] == '.') continue;
        const std::string low = lower(name);
        if (!is_image_name(low)) continue;
        images.push_back(name);
        if (const int rank = cover_rank(low); rank >= 0) named.emplace_back(rank, name);
    }
    std::sort(named.begin(), named.end());
    for (const auto &[rank, name] : named)
        if (auto art = image_file(folder + name)) return art;
    if (images.size() == 1 && cover_rank(lower(images.front())) < 0)
        return image_file(folder + images.front());
    return std::nullopt;
}

std::optional<cover_art> read(const std::string &path) {
    const kind k = detail::kind_of(path);
    {
        detail::file_handle file(path);
        if (!file.f) {
            diag("cover: %s: cannot open\n", path.c_str());
            return std::nullopt;
        }
        if (k != kind::other && k != kind::iso && k != kind::dsf && k != kind::dff) {
            if (const char *fault = detail::tag_fault(file)) {
                diag("cover: %s: %s\n", path.c_str(), fault);
                return in_folder(path);
            }
        }
    }
    if (auto art = embedded(path, k)) return art;
    return in_folder(path);
}

} // namespace

const char *image_type(std::span<const unsigned char> bytes) {
    auto starts = [&](std::size_t at, const char *sig, std::size_t n) {
        return bytes.size() >= at + n && std::memcmp(bytes.data() + at, sig, n) == 0;
    };
    if (starts(0, "\xff\xd8\xff", 3)) return "image/jpeg";
    if (starts(0, "\x89PNG\r\n\x1a\n", 8)) return "image/png";
    if (starts(0, "RIFF", 4) && starts(8, "WEBP", 4)) return "image/webp";
    if (starts(0, "GIF87a", 6) || starts(0, "GIF89a", 6)) return "image/gif";
    return nullptr;
}

std::optional<cover_art> read_cover_art(const std::string &path) {
    try {
        return read(path);
    } catch (const std::exception &e) {
        diag("cover: %s: %s\n", path.c_str(), e.what());
    } catch (...) {
        diag("cover: %s: failed\n", path.c_str());
    }
    return std::nullopt;
}

} // namespace pipd::meta
