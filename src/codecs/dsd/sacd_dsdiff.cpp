// DSDIFF reader and codec. The whole sound data is one track, read frame
// by frame and handed to the DSD output stage; DSD64 to DSD512 with 1 to 6
// channels is played, uncompressed or DST-compressed (each "DSTF" chunk
// a frame for the DST frame decoder). A seek lands on the byte of each
// channel that holds the target in plain DSD, on the start of the DST frame
// (1/75 s) that holds it in DST.
//
// The chunk walk always moves forward: every chunk costs at least its
// 12-byte header, a body is skipped by positioning the input past it (any
// size, 64-bit), and a chunk that would reach past the end of its container
// ends the walk as a failure (the sound chunk cannot lie beyond it).

#include "codecs/dsd/sacd_dsdiff.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "codecs/codecs.h"
#include "codecs/dsd/dsd_common.h"
#include "codecs/dsd/dsd_output.h"
#include "codecs/dsd/dst_decoder.h"
#include "core/diag.h"
#include "host/codec_api.h"

namespace pipd {

dff_info dff;
using namespace dsd;

namespace {

std::array<uint8_t, DFF_FRAME_BUFFER_SIZE> dst_buffer;
// A DST frame as read, and the DSD it decodes to.
std::array<uint8_t, dst_max_frame_bytes(DST_MAX_CHANNELS, DST_MAX_RATE_MULTIPLE)> dst_frame;
std::array<uint8_t, dst_max_frame_bytes(DST_MAX_CHANNELS, DST_MAX_RATE_MULTIPLE) - 1> dst_dsd;

constexpr uint32_t CHUNK_HEADER = 12;
constexpr uint32_t DSD_FRAME_RATE = 75;

// What DST seeking needs besides dff: the index of the "DSTF" chunk the
// input stands at (or before), and the "DSTI" index chunk.
enum class index_state { unknown, found, absent, damaged };
struct dst_position {
    uint32_t next_frame;   // frame index of the next "DSTF" chunk read
    uint64_t after_sound;  // first top-level chunk after the sound chunk
    uint64_t form_end;     // end of "FRM8"
    index_state index;     // the "DSTI" chunk: looked for at the first seek
    uint64_t index_offset; // its body
    uint64_t index_size;
};
dst_position dst_pos;

void found_index(uint64_t body, uint64_t size) {
    dst_pos.index = index_state::found;
    dst_pos.index_offset = body;
    dst_pos.index_size = size;
}

struct chunk_header {
    char id[4];
    uint64_t size;
    bool is(const char (&name)[5]) const { return std::memcmp(id, name, 4) == 0; }
};

bool read_bytes(void *to, uint32_t n) {
    return ci->ci_read_filebuf_raw(to, n) == n;
}

bool read_header(chunk_header &c) {
    uint8_t h[CHUNK_HEADER];
    if (!read_bytes(h, CHUNK_HEADER)) return false;
    std::memcpy(c.id, h, 4);
    c.size = be(h + 4, 8);
    return true;
}

bool read_be(uint64_t &value, int bytes) {
    uint8_t b[8];
    if (!read_bytes(b, static_cast<uint32_t>(bytes))) return false;
    value = be(b, bytes);
    return true;
}

// Moves the input n bytes on; past the end of the file the next read
// comes up short.
void skip(uint64_t n) {
    if (n) ci->ci_seek_buffer_raw(ci->ci_getpos() + n);
}

void skip_pad() {
    if (ci->ci_getpos() & 1) skip(1);
}

// Frame size from the channel count, the rate and the frame rate, integer
// operations in that order; false (with a message) when it comes out 0 or
// does not fit 32 bits.
bool set_frame_size() {
    if (dff.frame_rate == 0) {
        diag_puts("dff frame rate is 0");
        return false;
    }
    const uint64_t size = uint64_t{dff.channel_count} * (dff.sample_rate / 8) / dff.frame_rate;
    if (size == 0 || size > UINT32_MAX) {
        diag("dff frame size %llu is unusable (channels %u, rate %u)\n",
             static_cast<unsigned long long>(size), dff.channel_count, dff.sample_rate);
        return false;
    }
    dff.frame_size = static_cast<uint32_t>(size);
    return true;
}

void set_track_end() {
    dff.track_start = 0;
    dff.track_end = static_cast<double>(dff.frame_count) / dff.frame_rate;
    dff.track_count = 1;
}

// The property chunks of a "PROP" body of size bytes, the input standing
// at its start. 0 on a structural failure.
int read_prop(uint64_t size) {
    uint8_t type[4];
    if (size < 4 || !read_bytes(type, 4) || std::memcmp(type, "SND ", 4) != 0) return 0;
    const uint64_t limit = size - 4;
    uint64_t total = 0;
    while (total < limit) {
        chunk_header c;
        if (limit - total < CHUNK_HEADER || !read_header(c)) return 0;
        if (c.size > limit - total - CHUNK_HEADER) return 0; // past the end of PROP
        uint64_t used = 0;                                   // body bytes read as fields
        uint64_t v = 0;
        if (c.is("FS  ") && c.size == 4) {
            if (!read_be(v, 4)) return 0;
            dff.sample_rate = static_cast<uint32_t>(v);
            used = 4;
        } else if (c.is("CHNL") && c.size >= 2) {
            if (!read_be(v, 2)) return 0;
            dff.channel_count = static_cast<uint16_t>(v);
            used = 2;
        } else if (c.is("CMPR") && c.size >= 4) {
            char kind[4];
            if (!read_bytes(kind, 4)) return 0;
            const bool dsd = std::memcmp(kind, "DSD ", 4) == 0;
            const bool dst = std::memcmp(kind, "DST ", 4) == 0;
            dff.dst = dst ? 1 : 0;
            dff.other_compression = dsd || dst ? 0 : 1;
            used = 4;
        }
        skip(c.size - used);
        total += CHUNK_HEADER + c.size + c.size % 2;
        skip_pad();
    }
    return 1;
}

// Turns a byte position computed in floating point into an offset inside
// the sound data (0 for nothing sensible).
uint64_t sound_bytes(double fraction) {
    const double size = static_cast<double>(dff.sound_size);
    const double bytes = size * fraction;
    if (!(bytes > 0)) return 0;
    if (bytes >= size) return dff.sound_size;
    return static_cast<uint64_t>(bytes);
}

} // namespace

int dff_open() {
    dff = {};
    dst_pos = {};
    diag("sizeof uint64 %d\n", static_cast<int>(sizeof(uint64_t)));
    ci->ci_seek_buffer_raw(0);

    chunk_header form;
    uint8_t form_type[4];
    if (!read_header(form) || !form.is("FRM8")) return 0;
    if (!read_bytes(form_type, 4) || std::memcmp(form_type, "DSD ", 4) != 0) return 0;
    dff.frm8_size = form.size;
    diag("m_frm8_size=%d %d\n", static_cast<int32_t>(form.size), static_cast<int>(CHUNK_HEADER));
    const uint64_t end =
        form.size > UINT64_MAX - CHUNK_HEADER ? UINT64_MAX : form.size + CHUNK_HEADER;

    for (int n = 0;; ++n) {
        const uint64_t pos = ci->ci_getpos();
        if (pos >= end) break;
        diag("dff %d pos=%llu\n", n, static_cast<unsigned long long>(pos));
        chunk_header c;
        if (!read_header(c)) return 0;
        const uint64_t body = pos + CHUNK_HEADER;
        if (c.is("DSD ")) {
            dff.sound_offset = body;
            dff.sound_size = bytes_present(body, c.size);
            dff.frame_rate = DSD_FRAME_RATE;
            if (!set_frame_size()) return 0;
            dff.frame_count = static_cast<uint32_t>(dff.sound_size / dff.frame_size);
            set_track_end();
            break;
        }
        if (c.is("DST ")) {
            // The frames are chunks of their own; FRTE first gives their
            // count and rate.
            dff.dst = 1;
            chunk_header frte;
            if (c.size < CHUNK_HEADER + 6 || !read_header(frte) || !frte.is("FRTE") ||
                frte.size != 6) {
                diag_puts("dff: DST sound data without a frame table");
                return 0;
            }
            uint64_t count = 0, rate = 0;
            if (!read_be(count, 4) || !read_be(rate, 2)) return 0;
            dff.frame_count = static_cast<uint32_t>(count);
            dff.frame_rate = static_cast<uint16_t>(rate);
            if (dff.frame_rate != DSD_FRAME_RATE) {
                diag("dff: DST frame rate %u is not 75\n", dff.frame_rate);
                return 0;
            }
            dff.sound_offset = body + CHUNK_HEADER + 6;
            dff.sound_size = bytes_present(dff.sound_offset, c.size - CHUNK_HEADER - 6);
            if (!set_frame_size()) return 0;
            set_track_end();
            dst_pos.form_end = end;
            dst_pos.after_sound = c.size > end - body ? end : body + c.size + c.size % 2;
            break;
        }
        if (body > end || c.size > end - body) return 0; // past the end of FRM8
        if (c.is("PROP")) {
            if (!read_prop(c.size)) return 0;
        } else {
            if (c.is("DSTI")) found_index(body, c.size);
            skip(c.size);
        }
        skip_pad();
    }
    ci->ci_seek_buffer_raw(dff.sound_offset);
    return dff.track_count != 0 ? 1 : 0;
}

void dff_set_track(int track) {
    if (track >= 0 && track < dff.track_count && dff.dst) {
        // Frames of varying size: the track is the whole sound data.
        dff.track_offset = dff.sound_offset;
        dff.track_size = dff.sound_size;
    } else if (track >= 0 && track < dff.track_count && dff.frame_count != 0) {
        const double r = dff.frame_rate, c = dff.frame_count;
        const uint64_t start = sound_bytes(dff.track_start * r / c);
        const uint64_t end = std::max(start, sound_bytes(dff.track_end * r / c));
        const uint64_t size = end - start;
        dff.track_offset = dff.sound_offset + (start - start % dff.frame_size);
        dff.track_size = size - size % dff.frame_size;
    } else if (track >= 0 && track < dff.track_count) {
        dff.track_offset = dff.sound_offset;
        dff.track_size = 0;
    }
    ci->ci_seek_buffer_raw(dff.track_offset);
    dst_pos.next_frame = 0;
}

namespace {

// The next "DSTF" chunk of the sound data, the input standing at a chunk
// header; see dff_read_frame.
int read_dst_frame(uint8_t *buffer, uint32_t *size, int *type, uint64_t end) {
    const uint64_t capacity = *size;
    *size = 0;
    for (int skipped = 0; skipped < DFF_SKIP_LIMIT; ++skipped) {
        const uint64_t pos = ci->ci_getpos();
        chunk_header c;
        if (pos >= end || end - pos < CHUNK_HEADER || !read_header(c)) return 0;
        const uint64_t body = pos + CHUNK_HEADER;
        if (c.size > end - body) {
            diag("dff: chunk at %llu runs past the sound data\n",
                 static_cast<unsigned long long>(pos));
            return 0;
        }
        if (!c.is("DSTF")) {
            skip(c.size);
            skip_pad();
            continue;
        }
        *type = DFF_FRAME_DST;
        ++dst_pos.next_frame;
        if (c.size == 0 || c.size > capacity) {
            skip(c.size);
            skip_pad();
            return 1;
        }
        if (!read_bytes(buffer, static_cast<uint32_t>(c.size))) {
            diag_puts("dff: DST frame cut short by the end of the file");
            *type = DFF_FRAME_END;
            return 0;
        }
        skip_pad();
        *size = static_cast<uint32_t>(c.size);
        return 1;
    }
    *type = DFF_FRAME_PENDING;
    return 0;
}

uint64_t track_end() {
    return dff.track_size > UINT64_MAX - dff.track_offset ? UINT64_MAX
                                                          : dff.track_offset + dff.track_size;
}

bool header_at(uint64_t pos, chunk_header &c) {
    return ci->ci_seek_buffer_raw(pos) && read_header(c);
}

// Finds the "DSTI" chunk among the top-level chunks after the sound chunk
// when none came before it.
void find_index() {
    uint64_t pos = dst_pos.after_sound;
    dst_pos.index = index_state::absent;
    for (int n = 0; n < DFF_SKIP_LIMIT && pos < dst_pos.form_end; ++n) {
        chunk_header c;
        if (dst_pos.form_end - pos < CHUNK_HEADER || !header_at(pos, c)) return;
        const uint64_t body = pos + CHUNK_HEADER;
        if (c.size > dst_pos.form_end - body) return;
        if (c.is("DSTI")) {
            found_index(body, c.size);
            return;
        }
        pos = body + c.size + c.size % 2;
    }
}

// The position of the "DSTF" chunk of frame in the index, checked: the
// entry lies in the index, after the one before it, inside the track, and
// there is a "DSTF" chunk of its length (the entry may name the chunk or its
// body). 0 when any of it fails.
uint64_t indexed_frame(uint32_t frame) {
    const uint64_t count = dst_pos.index_size / 12;
    uint64_t prev = 0, offset = 0, length = 0, unused = 0;
    auto entry = [&](uint64_t k, uint64_t &at, uint64_t &size) {
        return ci->ci_seek_buffer_raw(dst_pos.index_offset + k * 12) && read_be(at, 8) &&
               read_be(size, 4);
    };
    if (frame >= count || !entry(frame, offset, length)) return 0;
    if (frame > 0 && (!entry(frame - 1, prev, unused) || prev >= offset)) return 0;
    const uint64_t end = track_end();
    for (const uint64_t pos : {offset - CHUNK_HEADER, offset}) {
        chunk_header c;
        if (offset < CHUNK_HEADER || pos < dff.track_offset || pos >= end ||
            end - pos < CHUNK_HEADER + length || !header_at(pos, c))
            continue;
        if (c.is("DSTF") && c.size == length) return pos;
    }
    return 0;
}

// Every stream the output stage takes, the frame decoder takes.
static_assert(DSD_MAX_CHANNELS <= DST_MAX_CHANNELS);

// Damaged DST frames of the file playing: counted, the first few told.
struct bad_frames {
    uint32_t frames = 0;
    uint32_t index = 0; // frames decoded so far
};
constexpr uint32_t BAD_FRAMES_TOLD = 8;

// Decodes a DST frame of size bytes into out; a damaged one becomes
// silence, with a message.
void decode_dst(const uint8_t *frame, uint32_t size, uint8_t *out, bad_frames &bad) {
    const int status = dst_decode_frame(frame, size, dff.channel_count,
                                        static_cast<int>(dff.sample_rate / 44100), out);
    if (status != DST_OK && ++bad.frames <= BAD_FRAMES_TOLD)
        diag("dff: DST frame %u: %s; silence in its place\n", bad.index, dst_status_text(status));
    ++bad.index;
}

} // namespace

int dff_read_frame(uint8_t *buffer, uint32_t *size, int *type) {
    const uint64_t capacity = *size;
    *size = 0;
    *type = DFF_FRAME_END;
    const uint64_t pos = ci->ci_getpos();
    const uint64_t end = dff.track_size > UINT64_MAX - dff.track_offset
                             ? UINT64_MAX
                             : dff.track_offset + dff.track_size;
    if (pos >= end || dff.channel_count == 0) return 0;
    if (dff.dst) {
        *size = static_cast<uint32_t>(capacity);
        return read_dst_frame(buffer, size, type, end);
    }
    const uint64_t want = std::min({uint64_t{dff.frame_size}, end - pos, capacity});
    uint32_t got = ci->ci_read_filebuf_raw(buffer, static_cast<uint32_t>(want));
    got -= got % dff.channel_count;
    if (got == 0) return 0;
    *size = got;
    *type = DFF_FRAME_DSD;
    return 1;
}

int dff_seek_dst_frame(uint32_t frame) {
    const uint64_t here = ci->ci_getpos(); // where next_frame counts from
    if (dst_pos.index == index_state::unknown) find_index();
    if (dst_pos.index == index_state::found) {
        if (const uint64_t pos = indexed_frame(frame)) {
            ci->ci_seek_buffer_raw(pos);
            dst_pos.next_frame = frame;
            return 1;
        }
        diag("dff: the DST index has no sane entry for frame %u; it is not used\n", frame);
        dst_pos.index = index_state::damaged;
    }
    ci->ci_seek_buffer_raw(here);
    if (frame < dst_pos.next_frame) dff_set_track(0);
    const uint64_t end = track_end();
    for (int n = 0; n < DFF_SKIP_LIMIT; ++n) {
        const uint64_t pos = ci->ci_getpos();
        chunk_header c;
        if (pos >= end || end - pos < CHUNK_HEADER || !read_header(c)) return -1;
        if (c.size > end - pos - CHUNK_HEADER) return -1;
        if (c.is("DSTF")) {
            if (dst_pos.next_frame == frame) {
                ci->ci_seek_buffer_raw(pos);
                return 1;
            }
            ++dst_pos.next_frame;
        }
        skip(c.size);
        skip_pad();
    }
    return 0;
}

int dff_codec_run() {
    diag_puts("start dff codec");
    ci->ci_seek_buffer_raw(0);
    if (!dff_open()) {
        diag_puts("dff open error!");
        return -1;
    }
    diag_puts("dff open over");
    if (!dsd_begin(dff.sample_rate, dff.channel_count)) return -1; // the stage says why
    if (dff.other_compression) {
        diag_puts("dff compression is neither DSD nor DST");
        return -1;
    }
    dff_set_track(0);

    // Bytes of all channels in a second; the rate is 2,822,400 times 1 to 8.
    const uint64_t per_second = uint64_t{dff.channel_count} * (dff.sample_rate / 8);
    ci->ci_configure(CODEC_CONFIG_BPS, 1);
    ci->ci_configure(CODEC_CONFIG_FREQUENCY, DSD_RATE);
    ci->ci_configure(CODEC_CONFIG_CHANNELS, dff.channel_count);
    ci->ci_configure(CODEC_CONFIG_LENGTH,
                     length_ms(dff.dst ? uint64_t{dff.frame_count} * 1000 / DSD_FRAME_RATE
                                       : dff.track_size / (per_second / 100) * 10));

    diag("dff sec=%d\n", static_cast<int32_t>(dff.track_size / per_second));
    diag("%d %d %d %d\n", static_cast<int32_t>(dff.sample_rate), dff.channel_count,
         static_cast<int32_t>(dff.track_size), static_cast<int32_t>(dff.sound_size));
    diag("%d %d %d %d\n", dff.frame_rate, static_cast<int32_t>(dff.frame_count),
         static_cast<int32_t>(dff.frame_size), static_cast<int32_t>(dff.sample_rate));

    int32_t param = 0;
    if (ci->ci_get_command(&param) == CODEC_ACTION_HALT) {
        diag("dsd decoded %d\n", 0);
        return 0;
    }
    // Reads of whole 16-byte groups of every channel, so that each read
    // holds whole PCM samples at every rate.
    const uint32_t unit = 16u * dff.channel_count;
    const uint32_t capacity = DFF_FRAME_BUFFER_SIZE - DFF_FRAME_BUFFER_SIZE % unit;
    uint64_t dsd_samples = 0; // per channel
    bad_frames bad;
    // A seek in DST data may take several polls: the frame sought, and the
    // target it serves (the seek stays pending until the frame is found).
    bool seeking = false;
    int32_t seek_ms = 0;
    uint32_t seek_frame = 0;
    const auto landed = [&](uint64_t samples) {
        dsd_samples = samples;
        dsd_reset_history();
        ci->ci_set_elapsed(dsd_elapsed_ms(dsd_samples, dff.sample_rate));
        ci->ci_seek_complete();
    };
    for (;;) {
        const int action = codec_next_action(&param);
        if (action == CODEC_ACTION_HALT) break;
        if (action == CODEC_ACTION_SEEK_TIME && !(seeking && param == seek_ms)) {
            const uint32_t ms = static_cast<uint32_t>(std::max(param, 0));
            if (dff.dst) {
                seek_frame = static_cast<uint32_t>(
                    std::min<uint64_t>(uint64_t{ms} * DSD_FRAME_RATE / 1000, UINT32_MAX));
                seeking = seek_frame < dff.frame_count;
                seek_ms = param;
            } else {
                // To the byte of each channel, in whole interleaved frames.
                const uint64_t at = dsd_byte_at(ms, dff.sample_rate);
                if (at < dff.track_size / dff.channel_count) {
                    ci->ci_seek_buffer_raw(dff.track_offset + at * dff.channel_count);
                    landed(at * 8);
                    continue;
                }
            }
            if (!seeking) { // at or past the end
                ci->ci_seek_complete();
                break;
            }
        }
        if (seeking) {
            const int found = dff_seek_dst_frame(seek_frame);
            if (found == 0) continue;
            seeking = false;
            if (found < 0) {
                ci->ci_seek_complete();
                break;
            }
            landed(uint64_t{seek_frame} * (dff.frame_size / dff.channel_count) * 8);
        }

        const uint8_t *data = dst_buffer.data();
        uint32_t bytes = capacity;
        int type = DFF_FRAME_END;
        if (dff.dst) {
            bytes = dff.frame_size + 1;
            dff_read_frame(dst_frame.data(), &bytes, &type);
            if (type == DFF_FRAME_PENDING) continue;
            if (type != DFF_FRAME_DST) break;
            decode_dst(dst_frame.data(), bytes, dst_dsd.data(), bad);
            data = dst_dsd.data();
            bytes = dff.frame_size;
        } else {
            dff_read_frame(dst_buffer.data(), &bytes, &type);
        }
        if (bytes == 0) break;
        const uint32_t per_channel = bytes / dff.channel_count;
        const uint32_t taken = dsd_convert(data, 1, dff.channel_count, per_channel, false);
        if (taken != per_channel) diag("dffsize= %d\n", static_cast<int32_t>(bytes));
        dsd_samples += uint64_t{taken} * 8;
        ci->ci_set_elapsed(dsd_elapsed_ms(dsd_samples, dff.sample_rate));
    }
    if (bad.frames) diag("dff: %u damaged DST frames played as silence\n", bad.frames);
    diag_puts("dff reader over");
    diag("dsd decoded %llu\n", static_cast<unsigned long long>(dsd_samples));
    return 0;
}

} // namespace pipd
