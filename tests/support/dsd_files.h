// Test helpers: DSF and DSDIFF files built field by field, so tests know
// every DSD byte and can also write broken or unusual files, and what the
// player must send for them (through the independent converter model).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/dsd_model.h"
#include "support/files.h"

namespace pipd::testing {

inline void put_id(bytes &out, const char *id) {
    out.insert(out.end(), id, id + 4);
}

// ---------------------------------------------------------------------------
// DSF: a 92-byte header, then the sample data as stored (groups of 4096
// bytes per channel), then anything after it.

struct dsf_fields {
    const char *dsd_id = "DSD ";
    const char *fmt_id = "fmt ";
    uint32_t channels = 2;
    uint32_t rate = 2822400;
    uint32_t bits = 1;         // 1: least significant bit first, 8: most significant first
    bytes data = {};           // sample data as stored
    int64_t data_length = -1;  // the data length the header states; -1: data.size()
    bytes after = {};          // bytes after the data (a metadata chunk)
    int64_t sample_count = -1; // per channel; -1: all the data length holds
};

inline bytes dsf_file(const dsf_fields &s) {
    const uint64_t length =
        s.data_length < 0 ? s.data.size() : static_cast<uint64_t>(s.data_length);
    bytes f;
    put_id(f, s.dsd_id);
    put_le(f, 28, 8);
    put_le(f, 92 + s.data.size() + s.after.size(), 8);
    put_le(f, s.after.empty() ? 0 : 92 + s.data.size(), 8);
    put_id(f, s.fmt_id);
    put_le(f, 52, 8);
    put_le(f, 1, 4);          // format version
    put_le(f, 0, 4);          // format id: raw
    put_le(f, s.channels, 4); // channel type
    put_le(f, s.channels, 4);
    put_le(f, s.rate, 4);
    put_le(f, s.bits, 4);
    put_le(f, s.sample_count >= 0 ? s.sample_count : length * 8 / (s.channels ? s.channels : 1),
           8); // samples per channel
    put_le(f, 4096, 4);
    put_le(f, 0, 4);
    put_id(f, "data");
    put_le(f, length + 12, 8);
    f.insert(f.end(), s.data.begin(), s.data.end());
    f.insert(f.end(), s.after.begin(), s.after.end());
    return f;
}

// The two channel streams of the first groups of 8192 bytes of DSF sample
// data, most significant bit first; limit, when given, cuts each to that.
inline std::vector<bytes> dsf_streams(const bytes &data, std::size_t groups, bool lsb_first,
                                      std::size_t limit = SIZE_MAX) {
    std::vector<bytes> ch(2);
    for (std::size_t g = 0; g < groups; ++g)
        for (int c = 0; c < 2; ++c)
            for (std::size_t i = 0; i < 4096 && ch[c].size() < limit; ++i) {
                const uint8_t b = data.at(g * 8192 + c * 4096 + i);
                ch[c].push_back(lsb_first ? bit_reversed(b) : b);
            }
    return ch;
}

// ---------------------------------------------------------------------------
// DSDIFF: chunks with big-endian 64-bit sizes, odd bodies padded.

// One chunk; declared (but for -1) overrides the size field, as an unsigned
// 64-bit number (-12 is 2^64 - 12); pad false leaves out the pad byte of an
// odd body.
inline bytes dff_chunk(const char *id, const bytes &body, int64_t declared = -1, bool pad = true) {
    bytes c;
    put_id(c, id);
    put_be(c, declared == -1 ? body.size() : static_cast<uint64_t>(declared), 8);
    c.insert(c.end(), body.begin(), body.end());
    if (pad && (body.size() & 1)) c.push_back(0);
    return c;
}

inline bytes dff_cat(std::initializer_list<bytes> parts) {
    bytes out;
    for (const auto &p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

inline bytes dff_be(uint64_t v, int n) {
    bytes b;
    put_be(b, v, n);
    return b;
}

inline bytes dff_fs(uint32_t rate) {
    return dff_chunk("FS  ", dff_be(rate, 4));
}
inline bytes dff_chnl(uint16_t channels) {
    bytes b = dff_be(channels, 2);
    const char *ids[] = {"SLFT", "SRGT", "C   ", "LFE ", "LS  ", "RS  "};
    for (uint16_t i = 0; i < channels; ++i) put_id(b, ids[i % 6]);
    return dff_chunk("CHNL", b);
}
inline bytes dff_cmpr(const char *type) {
    bytes b;
    put_id(b, type);
    const std::string name = "not compressed";
    b.push_back(static_cast<uint8_t>(name.size()));
    b.insert(b.end(), name.begin(), name.end());
    return dff_chunk("CMPR", b);
}
// "PROP" of type "SND " around the property chunks.
inline bytes dff_prop(const bytes &chunks, const char *type = "SND ") {
    bytes b;
    put_id(b, type);
    b.insert(b.end(), chunks.begin(), chunks.end());
    return dff_chunk("PROP", b);
}
inline bytes dff_standard_prop(uint32_t rate = 2822400, uint16_t channels = 2,
                               const char *cmpr = "DSD ") {
    return dff_prop(dff_cat({dff_fs(rate), dff_chnl(channels), dff_cmpr(cmpr)}));
}
// "DST " sound chunk: "FRTE" with the frame count and rate, then frames.
inline bytes dff_dst(uint32_t frames, uint16_t rate, const bytes &payload = {}) {
    bytes body = dff_chunk("FRTE", dff_cat({dff_be(frames, 4), dff_be(rate, 2)}));
    body.insert(body.end(), payload.begin(), payload.end());
    return dff_chunk("DST ", body);
}

// The file: "FRM8" of form "DSD " around the chunks; declared overrides its size.
inline bytes dff_file(const bytes &chunks, int64_t declared = -1, const char *form = "DSD ") {
    bytes body;
    put_id(body, form);
    body.insert(body.end(), chunks.begin(), chunks.end());
    return dff_chunk("FRM8", body, declared);
}

// The two channel streams of the first bytes of byte-interleaved stereo.
inline std::vector<bytes> dff_streams(const bytes &sound, std::size_t n) {
    std::vector<bytes> ch(2);
    for (std::size_t i = 0; i < n; ++i) ch[i & 1].push_back(sound.at(i));
    return ch;
}

// What the sink receives for two channel streams: the model's samples,
// halved by the host.
struct dsd_stereo {
    std::vector<int32_t> left, right;
};
inline dsd_stereo expected_pcm(const std::vector<bytes> &streams) {
    return {halved(model_pcm(streams.at(0))), halved(model_pcm(streams.at(1)))};
}

// The bodies of the "DSTF" chunks of a DSDIFF file of DST frames.
inline std::vector<bytes> dstf_bodies(const bytes &f) {
    std::vector<bytes> frames;
    for (std::size_t p = 16; p + 12 <= f.size();) {
        const std::string id(f.begin() + p, f.begin() + p + 4);
        std::size_t size = 0;
        for (int i = 0; i < 8; ++i) size = size << 8 | f[p + 4 + i];
        const std::size_t body = p + 12;
        if (id == "DST ") {
            p = body;
            continue;
        }
        if (id == "DSTF") frames.emplace_back(f.begin() + body, f.begin() + body + size);
        p = body + size + size % 2;
    }
    return frames;
}

} // namespace pipd::testing
