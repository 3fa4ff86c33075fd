// DSF and DSDIFF: the ID3v2 tag each carries, DSDIFF's "DIIN" texts, and
// the duration the container states.
#include "meta/dsd_tags.h"

#include <cstring>

#include "meta/containers.h"

namespace pipd::meta {

namespace detail {

namespace {

uint64_t le(const unsigned char *p, int n) {
    uint64_t v = 0;
    for (int i = n - 1; i >= 0; --i) v = v << 8 | p[i];
    return v;
}

uint64_t be(const unsigned char *p, int n) {
    uint64_t v = 0;
    for (int i = 0; i < n; ++i) v = v << 8 | p[i];
    return v;
}

// Chunks walked per level at most, whatever the file claims.
constexpr int MAX_CHUNKS = 4096;

// The ID3v2 tag of n bytes at the position, when it is one that fits.
const char *read_id3v2(file_handle &file, uint64_t at, uint64_t n, dsd_container &out) {
    unsigned char head[10];
    if (n < 10 || !file.read_at(at, head, 10) || std::memcmp(head, "ID3", 3) != 0)
        return "its ID3v2 tag is damaged";
    const uint64_t size = id3v2_size(head);
    if (size > MAX_TAG_BYTES || n > MAX_TAG_BYTES) return "a tag larger than 16 MiB, ignored";
    if (size > n) return "its ID3v2 tag is cut short";
    std::string tag(size, '\0');
    if (!file.read_at(at, tag.data(), size)) return "its ID3v2 tag cannot be read";
    out.id3v2 = std::move(tag);
    return nullptr;
}

void read_dsf(file_handle &file, dsd_container &out) {
    unsigned char h[80];
    if (!file.read_at(0, h, sizeof h) || std::memcmp(h, "DSD ", 4) != 0 ||
        std::memcmp(h + 28, "fmt ", 4) != 0) {
        out.fault = "no DSF file";
        return;
    }
    const uint64_t rate = le(h + 56, 4), samples = le(h + 64, 8);
    if (rate > 0 && samples / rate < UINT32_MAX / 1000)
        out.duration_ms = static_cast<uint32_t>(samples * 1000 / rate);
    const uint64_t pointer = le(h + 20, 8);
    if (pointer == 0) return;
    if (pointer >= file.size) {
        out.fault = "its metadata pointer lies past the end";
        return;
    }
    out.fault = read_id3v2(file, pointer, file.size - pointer, out);
}

// A "DIAR" or "DITI" text: a 4-byte count, then the text.
const char *read_diin_text(file_handle &file, uint64_t at, uint64_t n,
                           std::optional<std::string> &out) {
    unsigned char count[4];
    if (n < 4 || !file.read_at(at, count, 4)) return "its DIIN chunk is damaged";
    const uint64_t length = be(count, 4);
    if (length > n - 4) return "a DIIN text runs past its chunk";
    std::string text(std::min<uint64_t>(length, 4 * MAX_FIELD_BYTES), '\0');
    if (!file.read_at(at + 4, text.data(), text.size())) return "its DIIN chunk is damaged";
    out = loose_text(text);
    return nullptr;
}

struct dff_walk {
    file_handle &file;
    dsd_container &out;
    uint64_t rate = 0, channels = 0;

    // The chunks from at to end; depth 0 is the form's level.
    const char *walk(uint64_t at, uint64_t end, int depth) {
        unsigned char c[12];
        for (int n = 0; n < MAX_CHUNKS && at <= end && end - at >= 12 && file.read_at(at, c, 12);
             ++n) {
            const uint64_t body = at + 12, size = be(c + 4, 8);
            const bool fits = size <= end - body;
            const char *fault = nullptr;
            if (std::memcmp(c, "ID3 ", 4) == 0) {
                fault = size > MAX_TAG_BYTES ? "a tag larger than 16 MiB, ignored"
                        : fits               ? read_id3v2(file, body, size, out)
                                             : "its ID3 chunk runs past the end";
            } else if (depth == 0 && std::memcmp(c, "DIIN", 4) == 0) {
                fault = fits ? walk(body, body + size, 1) : "its DIIN chunk runs past the end";
            } else if (depth == 1 && std::memcmp(c, "DIAR", 4) == 0) {
                fault = fits ? read_diin_text(file, body, size, out.artist) : nullptr;
            } else if (depth == 1 && std::memcmp(c, "DITI", 4) == 0) {
                fault = fits ? read_diin_text(file, body, size, out.title) : nullptr;
            } else if (depth == 0 && std::memcmp(c, "PROP", 4) == 0 && size >= 4) {
                // Its property chunks, and an "ID3 " chunk some writers put among them.
                fault = walk(body + 4, body + std::min(size, end - body), 1);
            } else if (depth == 1 && std::memcmp(c, "FS  ", 4) == 0 && size >= 4) {
                unsigned char v[4];
                if (file.read_at(body, v, 4)) rate = be(v, 4);
            } else if (depth == 1 && std::memcmp(c, "CHNL", 4) == 0 && size >= 2) {
                unsigned char v[2];
                if (file.read_at(body, v, 2)) channels = be(v, 2);
            } else if (depth == 0 && std::memcmp(c, "DSD ", 4) == 0) {
                const uint64_t bits = std::min(size, end - body) * 8;
                if (rate > 0 && channels > 0 && bits / channels / rate < UINT32_MAX / 1000)
                    out.duration_ms = static_cast<uint32_t>(bits / channels * 1000 / rate);
            } else if (depth == 0 && std::memcmp(c, "DST ", 4) == 0) {
                unsigned char f[18];
                if (file.read_at(body, f, 18) && std::memcmp(f, "FRTE", 4) == 0) {
                    const uint64_t frames = be(f + 12, 4), per_second = be(f + 16, 2);
                    const uint64_t ms = frames * 1000 / (per_second ? per_second : 75);
                    if (ms <= UINT32_MAX) out.duration_ms = static_cast<uint32_t>(ms);
                }
            }
            if (fault) return fault;
            if (!fits) break;
            at = body + size + (size & 1);
        }
        return nullptr;
    }
};

void read_dff(file_handle &file, dsd_container &out) {
    unsigned char h[16];
    if (!file.read_at(0, h, 16) || std::memcmp(h, "FRM8", 4) != 0 ||
        (std::memcmp(h + 12, "DSD ", 4) != 0 && std::memcmp(h + 12, "DST ", 4) != 0)) {
        out.fault = "no DSDIFF file";
        return;
    }
    const uint64_t end = std::min(file.size, 12 + std::min(be(h + 4, 8), file.size));
    dff_walk w{file, out};
    out.fault = w.walk(16, end, 0);
}

} // namespace

dsd_container read_dsd_container(const std::string &path, bool dsf) {
    dsd_container out;
    file_handle file(path);
    if (!file.f) {
        out.fault = "cannot open";
        return out;
    }
    dsf ? read_dsf(file, out) : read_dff(file, out);
    if (out.fault) {
        const char *fault = out.fault;
        out = dsd_container{};
        out.fault = fault;
    }
    return out;
}

} // namespace detail

std::optional<std::string> dsd_id3v2_bytes(const std::string &path) {
    const auto dot = path.rfind('.');
    std::string ext = dot == std::string::npos ? "" : path.substr(dot + 1);
    for (char &c : ext) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    if (ext != "dsf" && ext != "dff") return std::nullopt;
    return detail::read_dsd_container(path, ext == "dsf").id3v2;
}

} // namespace pipd::meta
