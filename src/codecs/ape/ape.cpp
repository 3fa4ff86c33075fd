// APE codec driver: skips an ID3v2 tag, reads the header, refuses what it
// does not play, reports the stream, loads the seek table and walks the
// frames in chunks of at most 1024 samples per channel, obeying pause, stop
// and seek between chunks.
//
// Times are computed with 64-bit intermediates, so lengths and positions
// beyond 2^32 / 10 samples (2 h 42 min at 44.1 kHz) come out right.

#include <algorithm>
#include <array>
#include <cstdint>

#include "codecs/ape/ape.h"
#include "codecs/codecs.h"
#include "core/diag.h"
#include "host/bytes.h"
#include "host/codec_api.h"
#include "host/outudp.h"

namespace pipd {

namespace {

constexpr uint32_t REQUEST = 32768; // input asked for before every frame-decoder call
constexpr uint32_t MAX_SEEKPOINTS = 30000;
// Limits of what is played; the encoder writes at most 294912 samples per
// frame at the levels decoded here.
constexpr uint32_t MAX_SAMPLERATE = 48000;
constexpr uint32_t MIN_SAMPLERATE = 100; // the time arithmetic divides by rate / 100
constexpr uint16_t MAX_COMPRESSION = 4000;
constexpr int16_t MIN_VERSION = 3900;
constexpr uint16_t MAX_BPS = 24;
constexpr uint32_t MAX_FRAME_BLOCKS = 73728 * 16;

std::array<int32_t, APE_MAX_CHUNK> decoded0;
std::array<int32_t, APE_MAX_CHUNK> decoded1;
std::array<uint32_t, MAX_SEEKPOINTS> seektablebuf;

// Stands in for the input when the host has none, so that the entropy
// decoder always gets a valid pointer (with 0 bytes available).
constexpr uint8_t no_input[4] = {};

// The input at the cursor; with none (an input error), an empty buffer.
const uint8_t *request_input(uint32_t *available) {
    *available = 0;
    auto *p = static_cast<const uint8_t *>(ci->ci_request_buffer_raw(available, REQUEST));
    if (!p) {
        *available = 0;
        return no_input;
    }
    return p;
}

// Milliseconds of a number of samples; rate is at least 100.
uint32_t ms_of(uint64_t samples, uint32_t rate) {
    return static_cast<uint32_t>(std::min<uint64_t>(samples * 10 / (rate / 100), UINT32_MAX));
}

void say_decoded(uint64_t samples) {
    diag("APE: Decoded %llu samples\n", static_cast<unsigned long long>(samples));
}

// Where decoding stands.
struct position {
    uint64_t tag;       // bytes of ID3v2 tag before the stream
    const uint8_t *buf; // input at the cursor
    uint32_t available; // bytes there
    int byte_index;     // index 3..0 in the word at buf
    uint32_t current_frame;
    uint64_t samples_done;    // position of the decoded data, samples per channel
    uint32_t samples_to_skip; // still to drop after a seek
};

// Seeks to ms milliseconds by the seek table. False when refused (the
// frame is past the table or the stream); decoding then goes on where it
// was. Seek-table entries count from the start of the stream, after the tag.
bool seek_to(const ape_context &ctx, int32_t ms, position &at) {
    const uint64_t sample =
        uint64_t{static_cast<uint32_t>(std::max(ms, 0) / 10)} * (ctx.samplerate / 100);
    const uint64_t frame = sample / ctx.blocksperframe;
    if (frame >= ctx.seekpoint_count || frame >= ctx.totalframes) {
        ci->ci_seek_complete();
        return false;
    }
    const uint32_t e = seektablebuf[frame];
    at.byte_index = 3 - static_cast<int>(e & 3);
    at.current_frame = static_cast<uint32_t>(frame);
    ci->ci_seek_buffer_raw(at.tag + (e & ~3u));
    at.buf = request_input(&at.available);
    at.samples_done = frame * ctx.blocksperframe;
    at.samples_to_skip = static_cast<uint32_t>(sample - at.samples_done);
    ci->ci_set_elapsed(ms_of(at.samples_done, ctx.samplerate));
    ci->ci_seek_complete();
    return true;
}

// Hands a decoded chunk to the output, less what a seek still skips.
void output_chunk(const ape_context &ctx, int chunk, position &at) {
    const uint32_t n = static_cast<uint32_t>(chunk);
    at.samples_done += n;
    if (at.samples_to_skip == 0) {
        ci->ci_pcmbuf_insert(decoded0.data(), decoded1.data(), chunk);
    } else if (n > at.samples_to_skip) {
        const uint32_t skip = at.samples_to_skip;
        ci->ci_pcmbuf_insert(decoded0.data() + skip, decoded1.data() + skip,
                             static_cast<int>(n - skip));
        at.samples_to_skip = 0;
    } else {
        at.samples_to_skip -= n;
        if (at.samples_to_skip != 0) return;
    }
    ci->ci_set_elapsed(ms_of(at.samples_done, ctx.samplerate));
}

void advance_input(int consumed, position &at) {
    ci->ci_advance_buffer_raw(static_cast<uint32_t>(consumed));
    at.buf = request_input(&at.available);
}

// Header values no encoder writes and that would leave the decoder without
// bounds: frames of no or of millions of samples, a seek table or stored
// WAV header that runs past the end of the file.
bool header_plausible(const ape_context &ctx, uint64_t stream_bytes) {
    const uint64_t firstframe = uint64_t{ctx.descriptorlength} + ctx.headerlength +
                                ctx.seektablelength + ctx.wavheaderlength;
    return ctx.blocksperframe > 0 && ctx.blocksperframe <= MAX_FRAME_BLOCKS &&
           ctx.finalframeblocks <= MAX_FRAME_BLOCKS && firstframe <= stream_bytes;
}

// Whether the stream is one this decoder plays; when not, says why. Only a
// compression level beyond those decoded here is "high compression".
bool playable(const ape_context &ctx) {
    if (ctx.compressiontype > MAX_COMPRESSION) {
        diag_puts("APE: high compression type");
        diag("APE: compression level %u is not supported (up to %u are)\n", ctx.compressiontype,
             MAX_COMPRESSION);
    } else if (ctx.fileversion < MIN_VERSION) {
        diag("APE: file version %d is not supported (%d and later are)\n", ctx.fileversion,
             MIN_VERSION);
    } else if (ctx.samplerate > MAX_SAMPLERATE || ctx.samplerate < MIN_SAMPLERATE) {
        diag("APE: sample rate %u Hz is not supported (%u to %u Hz are)\n", ctx.samplerate,
             MIN_SAMPLERATE, MAX_SAMPLERATE);
    } else if (ctx.bps > MAX_BPS) {
        diag("APE: %u bits per sample are not supported (up to %u are)\n", ctx.bps, MAX_BPS);
    } else {
        return true;
    }
    return false;
}

} // namespace

int ape_id3check() {
    ci->ci_seek_buffer_raw(0);
    uint32_t n = 0;
    auto *p = static_cast<const uint8_t *>(ci->ci_request_buffer_raw(&n, 10));
    if (!p || n < 10) return -1;
    if (ci->memcmp(p, "ID3", 3) != 0) return 0;
    const int size = static_cast<int>(syncsafe32(p + 6)) + ((p[5] & 0x10) ? 20 : 10);
    diag("the id3 size is %d\n", size);
    return size;
}

int ape_codec_run() {
    const int tag = ape_id3check();
    if (tag < 0) return -1;

    position at{};
    at.tag = static_cast<uint64_t>(tag);
    ci->ci_seek_buffer_raw(at.tag);
    at.buf = request_input(&at.available);
    if (at.available == 0) return 0;

    ape_context ctx;
    if (ape_parseheaderbuf(at.buf, at.available, &ctx) < 0) {
        diag_puts("APE: Error reading header");
        return -1;
    }
    if (!playable(ctx)) {
        say_decoded(0);
        return -1;
    }
    const uint64_t stream_bytes = ci->filesize > at.tag ? ci->filesize - at.tag : 0;
    if (!header_plausible(ctx, stream_bytes)) {
        diag_puts("APE: Error reading header");
        return -1;
    }

    ci->ci_configure(CODEC_CONFIG_LENGTH, static_cast<int32_t>(std::min<uint64_t>(
                                              ms_of(ctx.totalsamples, ctx.samplerate), INT32_MAX)));
    ci->ci_configure(CODEC_CONFIG_BPS, ctx.bps);
    ci->ci_configure(CODEC_CONFIG_FREQUENCY, static_cast<int32_t>(ctx.samplerate));
    ci->ci_configure(CODEC_CONFIG_CHANNELS, ctx.channels);
    if (output_refused()) { // the output said why
        say_decoded(0);
        return -1;
    }

    // The seek table (its first 30000 entries), then on to the first frame.
    ctx.seekpoint_count = std::min(ctx.seekpoint_count, MAX_SEEKPOINTS);
    ctx.seekpoints = seektablebuf.data();
    ci->ci_seek_buffer_raw(at.tag + ctx.seektable_offset);
    uint8_t entry[4];
    for (uint32_t i = 0; i < ctx.seekpoint_count; ++i) {
        if (ci->ci_read_filebuf_raw(entry, 4) < 4) {
            ctx.seekpoint_count = i;
            break;
        }
        seektablebuf[i] = le32(entry);
    }
    ci->ci_seek_buffer_raw(at.tag + ctx.firstframe);

    at.byte_index = 3;
    ci->ci_set_elapsed(0);
    at.buf = request_input(&at.available);
    if (ctx.totalframes == 0) {
        say_decoded(0);
        return 0;
    }

    while (at.current_frame < ctx.totalframes) {
        const uint32_t blocks =
            at.current_frame == ctx.totalframes - 1 ? ctx.finalframeblocks : ctx.blocksperframe;
        ctx.frame_blocks = static_cast<int32_t>(blocks);
        uint32_t left = blocks;
        int consumed = 0;
        int status = init_frame_decoder(&ctx, at.buf, at.available, &at.byte_index, &consumed);
        if (status < 0) {
            diag("APE: Frame %lu, error %d\n", static_cast<unsigned long>(at.current_frame),
                 status);
            return -1;
        }
        advance_input(consumed, at);

        bool restarted = false;
        while (left > 0) {
            int32_t target = 0;
            const int action = codec_next_action(&target);
            if (action == CODEC_ACTION_HALT) {
                say_decoded(at.samples_done);
                return 0;
            }
            if (action == CODEC_ACTION_SEEK_TIME && seek_to(ctx, target, at)) {
                restarted = true;
                break;
            }

            const int chunk = static_cast<int>(std::min<uint32_t>(left, APE_MAX_CHUNK));
            status = decode_chunk(&ctx, at.buf, at.available, &at.byte_index, &consumed,
                                  decoded0.data(), decoded1.data(), chunk);
            if (status < 0) {
                diag("APE: Frame %lu, error %d\n", static_cast<unsigned long>(at.current_frame),
                     status);
                return -1;
            }
            ci->ci_yield();
            output_chunk(ctx, chunk, at);
            advance_input(consumed, at);
            left -= static_cast<uint32_t>(chunk);
        }
        if (!restarted) ++at.current_frame;
    }
    say_decoded(at.samples_done);
    return 0;
}

} // namespace pipd
