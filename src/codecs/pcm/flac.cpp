// FLAC codec: plays one native FLAC file (optionally behind an ID3v2 tag)
// through the codec API: metadata, first-frame search, frame loop, and seeking
// by seek table, interpolation and sync search.

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "codecs/codecs.h"
#include "codecs/pcm/flac_decoder.h"
#include "core/diag.h"
#include "host/bytes.h"
#include "host/codec_api.h"
#include "host/outudp.h"

namespace pipd {

flac_context fc;
flac_seekpoint seekpoints[FLAC_MAX_SEEKPOINTS];
int nseekpoints = 0;
namespace {

const uint8_t *bit_buffer = nullptr; // last window the sync search handed on
uint32_t buff_size = 0;

constexpr int STREAMINFO_SIZE = 34;
constexpr int SEEKPOINT_SIZE = 18;
constexpr int SYNC_TRIES = 10;
// What the window can grant past its cursor (it keeps up to three bytes
// before the cursor).
constexpr uint32_t MAX_REQUEST = 131068;

int32_t decoded_buffers[FLAC_MAX_CHANNELS][FLAC_MAX_BLOCKSIZE];

// How the metadata walk ended: cleanly on a block marked last, or at a block
// header that cannot be right (a length past the end of the file, an invalid
// or repeated type, the file's end), which lies at metadata_damage.
bool metadata_clean = false;
uint64_t metadata_damage = 0;

// Input asked for per frame: 32768 bytes, or more for streams whose frames
// can be larger (many channels of wide samples); the sync search asks for
// 16 bytes more.
uint32_t frame_request = 32768;
uint32_t sync_request = 32784;

// Requests n bytes at the cursor.
const uint8_t *request_input(uint32_t n, uint32_t *available) {
    *available = 0;
    auto *p = static_cast<const uint8_t *>(ci->ci_request_buffer_raw(available, n));
    if (!p) *available = 0;
    return p;
}

// Points the bit reader at bytes of the input.
void point_reader(const uint8_t *p, uint32_t n) {
    fc.data = p;
    fc.data_end = p ? p + n : p;
    fc.bit_index = 0;
    fc.size_in_bits = n * 8;
}

// The largest frame the stream can have: every subframe verbatim (one bit
// more for a side channel), headers and footer. The declared maximum frame
// size is not used: no real frame exceeds this bound, and a damaged or
// hostile declaration would make every request shift the whole window.
void size_requests() {
    uint64_t verbatim =
        static_cast<uint64_t>(fc.channels) *
            ((static_cast<uint64_t>(fc.max_blocksize) * static_cast<uint64_t>(fc.bps + 1) + 7) / 8 +
             8) +
        32;
    uint64_t want = std::max<uint64_t>(32768, verbatim);
    frame_request = static_cast<uint32_t>(std::min<uint64_t>(want, MAX_REQUEST));
    sync_request = static_cast<uint32_t>(std::min<uint64_t>(want + 16, MAX_REQUEST));
}

bool read_streaminfo(uint32_t length) {
    if (length != STREAMINFO_SIZE) {
        diag("FLAC: STREAMINFO block of %u bytes, not %d\n", length, STREAMINFO_SIZE);
        return false;
    }
    uint8_t b[STREAMINFO_SIZE];
    if (ci->ci_read_filebuf_raw(b, STREAMINFO_SIZE) < STREAMINFO_SIZE) return false;
    fc.min_blocksize = static_cast<int32_t>(be(b, 2));
    fc.max_blocksize = static_cast<int32_t>(be(b + 2, 2));
    fc.filesize = ci->filesize;
    if (fc.max_blocksize > FLAC_MAX_BLOCKSIZE) {
        diag("FLAC: Maximum blocksize is too large (%d > %d)\n", fc.max_blocksize,
             FLAC_MAX_BLOCKSIZE);
        return false;
    }
    fc.min_framesize = static_cast<int32_t>(be(b + 4, 3));
    fc.max_framesize = static_cast<int32_t>(be(b + 7, 3));
    fc.samplerate = static_cast<int32_t>(be(b + 10, 3) >> 4);
    fc.rate = fc.samplerate;
    fc.channels = ((b[12] >> 1) & 7) + 1;
    fc.bps = ((b[12] & 1) << 4 | b[13] >> 4) + 1;
    fc.total_samples = be(b + 14, 4);
    if (fc.bps > FLAC_MAX_BPS) {
        diag("FLAC: Bits per sample is too large (%d > %d)\n", fc.bps, FLAC_MAX_BPS);
        return false;
    }
    if (fc.rate == 0) {
        diag_puts("FLAC: Sample rate is 0");
        return false;
    }
    fc.length_ms = static_cast<uint32_t>(static_cast<uint64_t>(fc.total_samples) * 1000 /
                                         static_cast<uint32_t>(fc.rate));
    diag("total samples=%d,seconds=%d\n", static_cast<int>(fc.total_samples),
         static_cast<int>(fc.total_samples / static_cast<uint32_t>(fc.rate)));
    return true;
}

bool read_seektable(uint32_t length) {
    uint32_t left = length;
    while (nseekpoints < FLAC_MAX_SEEKPOINTS && left >= SEEKPOINT_SIZE) {
        uint8_t b[SEEKPOINT_SIZE];
        if (ci->ci_read_filebuf_raw(b, SEEKPOINT_SIZE) < SEEKPOINT_SIZE) return false;
        left -= SEEKPOINT_SIZE;
        const uint64_t sample = be64(b);
        const uint64_t offset = be64(b + 8);
        // Placeholders (all ones) and points beyond 32 bits are dropped.
        if (sample < 0xFFFFFFFFu && offset <= 0xFFFFFFFFu) {
            seekpoints[nseekpoints].sample = static_cast<uint32_t>(sample);
            seekpoints[nseekpoints].offset = static_cast<uint32_t>(offset);
            seekpoints[nseekpoints].samples = static_cast<uint16_t>(be(b + 16, 2));
            ++nseekpoints;
        }
    }
    ci->ci_advance_buffer_raw(left);
    return true;
}

// A (file position, sample) pair bounding a seek.
struct seek_bound {
    int64_t pos;
    uint32_t sample;
};

// Seeks to ms milliseconds: narrows the position with the seek table, then
// homes in on the frame by interpolation and sync search. On return the
// input starts at the frame to decode next; false when none is left.
bool seek_to(int32_t ms, const uint8_t **input, uint32_t *length) {
    const uint32_t target = static_cast<uint32_t>(
        static_cast<uint64_t>(static_cast<uint32_t>(fc.rate)) * static_cast<uint32_t>(ms) / 1000);
    const uint64_t saved = ci->ci_getpos();

    int64_t guess;
    if (fc.max_framesize > 0) {
        guess = (int64_t{fc.max_framesize} + fc.min_framesize) / 2 + 1;
    } else {
        const int64_t b = fc.min_blocksize > 0 && fc.min_blocksize == fc.max_blocksize
                              ? fc.min_blocksize
                              : FLAC_MAX_BLOCKSIZE;
        guess = int64_t{fc.channels} * b * fc.bps / 8 + 64;
    }

    seek_bound lower = {fc.metadata_length, 0};
    seek_bound upper = {fc.filesize, fc.total_samples ? fc.total_samples : target};
    if (nseekpoints > 0) {
        for (int i = nseekpoints - 1; i >= 0; --i) {
            if (seekpoints[i].sample <= target) {
                lower = {int64_t{fc.metadata_length} + seekpoints[i].offset, seekpoints[i].sample};
                break;
            }
        }
        for (int i = 0; i < nseekpoints; ++i) {
            if (seekpoints[i].sample > target) {
                upper = {int64_t{fc.metadata_length} + seekpoints[i].offset, seekpoints[i].sample};
                break;
            }
        }
    }

    bool interpolate = true;
    bool first = true;
    bool found = false;
    int64_t pos = -1;
    while (lower.pos <= upper.pos && lower.sample < upper.sample) {
        if (interpolate) {
            pos = lower.pos - guess +
                  static_cast<int64_t>(target - lower.sample) * (upper.pos - lower.pos) /
                      static_cast<int64_t>(upper.sample - lower.sample);
            if (pos >= upper.pos) pos = upper.pos - 1;
            if (pos < lower.pos) pos = lower.pos;
        }
        if (!ci->ci_seek_buffer_raw(static_cast<uint64_t>(pos))) break;
        uint32_t n;
        const uint8_t *p = request_input(sync_request, &n);
        point_reader(p, n);
        bool synced = false;
        for (int t = 0; t < SYNC_TRIES && !synced; ++t) synced = frame_sync();
        if (!synced) {
            ci->ci_seek_buffer_raw(saved);
            break;
        }
        const uint32_t frame_start = fc.first_sample;
        const uint32_t frame_end = fc.first_sample + static_cast<uint32_t>(fc.blocksize);
        if (target >= frame_start && target < frame_end) {
            fc.skip_samples = static_cast<int32_t>(target - frame_start);
            found = true;
            break;
        }
        if (!first && frame_end >= upper.sample) {
            if (interpolate && pos != lower.pos) {
                guess *= 2;
                continue;
            }
            ci->ci_seek_buffer_raw(saved);
            break;
        }
        if (frame_start < lower.sample) { // went backwards
            ci->ci_seek_buffer_raw(saved);
            break;
        }
        guess = int64_t{fc.channels} * fc.blocksize * fc.bps / 8 + 64;
        const int64_t here = static_cast<int64_t>(ci->ci_getpos());
        if (target < frame_start) upper = {here, frame_start};
        if (target >= frame_end) {
            if (target < frame_start + 4 * static_cast<uint32_t>(fc.blocksize)) {
                interpolate = false;
                pos = here + fc.frame_bytes;
            }
            lower = {here + fc.frame_bytes, frame_end};
        }
        first = false;
    }

    *input = request_input(frame_request, length);
    ci->ci_set_elapsed(static_cast<uint32_t>(ms));
    ci->ci_seek_complete();
    (void)found;
    return *input != nullptr && *length > 0;
}

} // namespace

int flac_id3check() {
    ci->ci_seek_buffer_raw(0);
    uint32_t n = 0;
    auto *p = static_cast<const uint8_t *>(ci->ci_request_buffer_raw(&n, 10));
    if (!p || n < 10) return -1;
    if (ci->memcmp(p, "ID3", 3) != 0) return 0;
    int size = static_cast<int>(syncsafe32(p + 6)) + 10;
    if (p[5] & 0x10) size += 10;
    diag("the id3 size is %d\n", size);
    return size;
}

bool flac_init(uint32_t offset) {
    std::memset(&fc, 0, sizeof fc);
    nseekpoints = 0;
    std::memset(decoded_buffers, 0, sizeof decoded_buffers);
    for (int c = 0; c < FLAC_MAX_CHANNELS; ++c) fc.decoded[c] = decoded_buffers[c];
    bit_buffer = nullptr;
    buff_size = 0;

    ci->ci_seek_buffer_raw(offset);
    fc.metadata_length = offset;
    uint8_t b[4];
    if (ci->ci_read_filebuf_raw(b, 4) < 4 || ci->memcmp(b, "fLaC", 4) != 0) return false;
    fc.metadata_length += 4;

    bool streaminfo = false;
    metadata_clean = false;
    for (bool last = false; !last;) {
        const uint64_t header = ci->ci_getpos();
        const bool whole = ci->ci_read_filebuf_raw(b, 4) == 4;
        last = b[0] & 0x80;
        const int type = b[0] & 0x7F;
        const uint32_t length = be(b + 1, 3);
        // Once STREAMINFO is in, a damaged chain ends the walk and the
        // frames are searched for from the damage on.
        if (!whole || header + 4 + length > ci->filesize || type == 127 ||
            (streaminfo && type == 0)) {
            if (!streaminfo) return false;
            metadata_damage = header;
            diag("FLAC: metadata damaged at %llu\n", static_cast<unsigned long long>(header));
            break;
        }
        metadata_clean = last;
        fc.metadata_length += 4 + length;
        if (type == 0) {
            if (!read_streaminfo(length)) return false;
            streaminfo = true;
        } else if (type == 3) {
            if (!read_seektable(length)) return false;
        } else {
            ci->ci_advance_buffer_raw(length);
        }
    }
    if (streaminfo) size_requests();
    return streaminfo;
}

bool frame_sync() {
    fc.bit_index = (fc.bit_index + 7) & ~7u;
    const uint8_t *d = fc.data;
    const uint32_t size = static_cast<uint32_t>(fc.data_end - fc.data);
    uint32_t i = fc.bit_index / 8;
    // 0xFF then 0xF8 to 0xFB; a run of 0xFF bytes keeps looking.
    while (i + 1 < size && !(d[i] == 0xFF && (d[i + 1] & 0xFC) == 0xF8)) ++i;
    if (i + 1 >= size) return false;

    ci->ci_advance_buffer_raw(i);
    uint32_t n;
    const uint8_t *p = request_input(sync_request, &n);
    bit_buffer = p;
    buff_size = n;
    point_reader(p, n);
    if (!p) return false;
    return flac_decode_frame(&fc, p, static_cast<int>(n), ci->ci_yield) == 0;
}

namespace {

// Searches for the first frame from pos to the end of the file: every place
// where a frame header could begin is tried with the decoder, whose header
// checksum rules out nearly all of them. The window moves on as the search
// does, so the work is bounded by the file's size. On success the cursor is
// at the frame.
bool find_frame_from(uint64_t pos) {
    if (!ci->ci_seek_buffer_raw(pos)) return false;
    for (;;) {
        uint32_t n;
        const uint8_t *p = request_input(sync_request, &n);
        if (!p || n < 2) return false;
        uint32_t i = 0;
        while (i + 1 < n && !(p[i] == 0xFF && (p[i + 1] & 0xFC) == 0xF8)) ++i;
        if (i + 1 >= n) {
            if (n < sync_request) return false; // the end of the file
            ci->ci_advance_buffer_raw(i);       // keep the last byte: it may be 0xFF
            continue;
        }
        ci->ci_advance_buffer_raw(i);
        p = request_input(sync_request, &n);
        bit_buffer = p;
        buff_size = n;
        point_reader(p, n);
        if (p && flac_decode_frame(&fc, p, static_cast<int>(n), ci->ci_yield) == 0) return true;
        ci->ci_advance_buffer_raw(1);
        ci->ci_yield();
    }
}

} // namespace

int flac_codec_run() {
    int offset = flac_id3check();
    if (offset < 0) return -1;
    if (!flac_init(static_cast<uint32_t>(offset))) {
        diag_puts("FLAC: Error initialising codec");
        return -1;
    }

    ci->ci_configure(CODEC_CONFIG_LENGTH, static_cast<int32_t>(fc.length_ms));
    ci->ci_configure(CODEC_CONFIG_BPS, fc.bps);
    ci->ci_configure(CODEC_CONFIG_FREQUENCY, fc.rate);
    ci->ci_configure(CODEC_CONFIG_CHANNELS, fc.channels);
    if (output_refused()) return -1; // the output said why

    // The first frame, searched for from the end of the metadata (the
    // metadata itself, a picture for one, may hold frame-like bytes).
    bool synced = false;
    if (!metadata_clean) {
        // The frames start where the valid metadata ends; seek points count
        // from there.
        synced = find_frame_from(metadata_damage);
        fc.metadata_length = synced ? static_cast<uint32_t>(ci->ci_getpos()) : fc.metadata_length;
    } else if (ci->ci_seek_buffer_raw(fc.metadata_length)) {
        uint32_t n;
        const uint8_t *p = request_input(frame_request, &n);
        point_reader(p, n);
        for (int t = 0; t < SYNC_TRIES && !synced; ++t) synced = frame_sync();
        if (!synced) ci->ci_seek_buffer_raw(fc.metadata_length);
    }
    uint64_t first_end =
        synced ? uint64_t{fc.first_sample} + static_cast<uint32_t>(fc.blocksize) : 0;
    ci->ci_set_elapsed(static_cast<uint32_t>(first_end * 1000 / static_cast<uint32_t>(fc.rate)));

    uint32_t end_sample = 0;
    uint32_t length = 0;
    const uint8_t *input = request_input(frame_request, &length);
    int frame = 0;
    while (input && length > 0) {
        int32_t param = 0;
        const int action = codec_next_action(&param);
        if (action == CODEC_ACTION_HALT) break;
        if (action == CODEC_ACTION_SEEK_TIME && !seek_to(param, &input, &length)) break;

        const int r = flac_decode_frame(&fc, input, static_cast<int>(length), ci->ci_yield);
        if (r < 0) {
            diag("FLAC: Frame %d, error %d\n", frame, r);
            return -1;
        }
        ci->ci_yield();
        const int skip = std::min(fc.skip_samples, fc.blocksize);
        const int count = fc.blocksize - skip;
        // One channel plays on both sides.
        if (fc.channels == 1)
            std::memcpy(fc.decoded[1] + skip, fc.decoded[0] + skip,
                        static_cast<std::size_t>(count) * sizeof(int32_t));
        ci->ci_pcmbuf_insert(fc.decoded[0] + skip, fc.decoded[1] + skip, count);
        end_sample = fc.first_sample + static_cast<uint32_t>(fc.blocksize);
        fc.skip_samples = 0;
        ci->ci_set_elapsed(
            static_cast<uint32_t>(uint64_t{end_sample} * 1000 / static_cast<uint32_t>(fc.rate)));
        ++frame;
        ci->ci_advance_buffer_raw(fc.bit_index / 8);
        input = request_input(frame_request, &length);
    }
    diag("FLAC: Decoded %lu samples\n", static_cast<unsigned long>(end_sample));
    return 0;
}

} // namespace pipd
