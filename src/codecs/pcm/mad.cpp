// MP3 codec: MPEG audio layers I to III through libmad's synchronous decoder.
// The input callback hands libmad windows of the host's input buffer (and
// repositions them for a seek), the output callback brings each decoded
// frame to 24 bits and hands on the part of it the listener hears, and the
// error callback lets libmad go past every damaged frame.
//
// An info frame at the start of the audio (Xing/Info) is not played; its
// frame count gives the length, its seek table the byte position of a time.
// With a LAME tag the encoder's delay (plus libmad's own 529 samples) is
// dropped at the start and its padding (less those 529) at the end, so the
// track has exactly the encoder's input length. All positions the host sees
// (length, elapsed, seek targets) are on that trimmed timeline.

#include <cstdint>
#include <cstring>
#include <mad.h>

#include "codecs/codecs.h"
#include "codecs/pcm/mp3_info.h"
#include "host/codec_api.h"
#include "host/staging.h"

namespace pipd {

namespace {

constexpr uint32_t MP3_WINDOW = 8192;
constexpr int32_t MP3_PROVISIONAL_LENGTH_MS = 333440;
// Frame headers a seek walks at most (over 7 hours of 44100 Hz MPEG-1), and
// bytes it scans for a frame after damage or a seek-table position.
constexpr uint32_t MP3_WALK_CAP = 1u << 20;
constexpr uint32_t MP3_SYNC_SCAN = 65536;
// Before the frame a seek lands in, decoding starts at least this many
// bytes and two frames earlier, so that libmad has the earlier main data
// (the bit reservoir, under 512 bytes) and its overlap; that output is muted.
constexpr uint32_t MP3_PREROLL_BYTES = 1024;
constexpr uint32_t MP3_RING = 64;
constexpr uint64_t MP3_NO_END = ~uint64_t{0};

// What the input callback keeps between calls; one per file.
struct mad_input {
    uint32_t remaining; // bytes of the file not yet handed over
    uint32_t last_len;  // bytes of the window last handed to libmad
};

// Where the audio is and which of libmad's output is heard; one per file.
struct mp3_stream {
    uint64_t audio;   // offset of the first audio frame (behind tags and info frame)
    uint64_t info_at; // offset of the info frame (its byte count and table start there)
    mp3_info info;    // valid when has_info
    bool has_info;
    uint32_t rate; // of the first frame
    uint32_t frame_samples;
    uint64_t trim_from; // libmad output samples the encoder and libmad added in front
    uint64_t keep_from; // libmad output samples before this are dropped
    uint64_t keep_to;   // and from this on (MP3_NO_END: none)
    uint64_t length;    // samples heard, from the info frame (MP3_NO_END: unknown)
    uint64_t end_cut;   // samples trimmed behind
    uint64_t end_byte;  // non-zero: the frame reaching this offset is the last
    uint64_t decoded;   // libmad output samples of the frames output so far
    uint64_t window_at; // file offset of the window libmad has
    const mad_stream *stream;
    uint64_t mute_before; // after a seek: frames starting before this offset are muted
    bool muting;
};

uint32_t initbit = 0;   // the first frame has been seen
int64_t allnum = 0;     // sample frames delivered at the current rate
int64_t earlier_us = 0; // playing time of the frames at earlier rates
mp3_stream st;

bool rate_told = false; // the stream's rate has gone to the host

int64_t us_of(int64_t frames) {
    return frames * 1000000 / freq;
}

// The last window of the file, followed by the zero bytes libmad needs to see
// behind a frame before it decodes it.
unsigned char tail[MP3_WINDOW + MAD_BUFFER_GUARD];

// The frame header at the file offset, if there is one.
bool header_at(uint64_t pos, mp3_header *h) {
    if (pos + 4 > ci->filesize || !ci->ci_seek_buffer_raw(pos)) return false;
    uint32_t n = 0;
    const auto *p = static_cast<const uint8_t *>(ci->ci_request_buffer_raw(&n, 4));
    return p && mp3_parse_header(p, n, h);
}

bool same_stream(const mp3_header &a, const mp3_header &b) {
    return a.rate == b.rate && a.samples == b.samples;
}

// The first frame at or after pos (within MP3_SYNC_SCAN bytes) that another
// frame of the same stream follows, or that ends the file exactly.
bool find_frame(uint64_t *pos, mp3_header *h) {
    const uint64_t end = *pos + MP3_SYNC_SCAN;
    for (uint64_t p = *pos; p < end && p + 4 <= ci->filesize; ++p) {
        if (!ci->ci_seek_buffer_raw(p)) return false;
        uint32_t n = 0;
        const auto *b = static_cast<const uint8_t *>(ci->ci_request_buffer_raw(&n, 4));
        if (!b || n < 4) return false;
        if (b[0] != 0xFF || !mp3_parse_header(b, n, h)) continue;
        mp3_header next;
        if (p + h->length == ci->filesize ||
            (header_at(p + h->length, &next) && same_stream(*h, next))) {
            *pos = p;
            return header_at(p, h);
        }
    }
    return false;
}

// Frame positions a walk passed last: ring[i % MP3_RING] is frame i's.
struct frame_walk {
    uint64_t ring[MP3_RING];
    uint64_t index = 0; // frames passed
    uint64_t pos = 0;   // offset of frame `index`
    uint32_t headers = 0;
};

// Walks frame headers from w->pos until frame `target` or the first frame
// at or after byte `until`, whichever comes first; false when the audio
// ends before (or the walk's cap is reached).
bool walk(frame_walk *w, uint64_t target, uint64_t until) {
    mp3_header h;
    if (!find_frame(&w->pos, &h)) return false;
    for (;;) {
        w->ring[w->index % MP3_RING] = w->pos;
        if (w->index >= target || w->pos >= until) return true;
        if (++w->headers >= MP3_WALK_CAP) return false;
        uint64_t next = w->pos + h.length;
        // Damage: on at the next frame that libmad would find too.
        if (!header_at(next, &h) && !find_frame(&next, &h)) return false;
        w->pos = next;
        ++w->index;
    }
}

// Repositions for a seek to ms on the trimmed timeline; false when the
// track ends instead.
bool seek_to(int32_t ms, mad_input *in, mad_stream *stream) {
    const uint64_t rate = st.rate ? st.rate : 44100, spf = st.frame_samples;
    const uint64_t t = static_cast<uint64_t>(ms < 0 ? 0 : ms) * rate / 1000;
    const uint64_t length = st.length;
    if (spf == 0 || t >= length) return false;

    frame_walk w;
    w.pos = st.audio;
    uint64_t landed = t, first_out = st.trim_from + t, frame_start = 0;
    if (st.has_info && mp3_toc_usable(st.info) && st.info.has_frames && length != MP3_NO_END) {
        // The seek table: the byte position of the time, then the frame there.
        const uint64_t total_ms = length * 1000 / rate;
        const uint64_t bytes = st.info.has_bytes ? st.info.bytes : ci->filesize - st.info_at;
        const uint64_t at = st.info_at + mp3_toc_offset(st.info, bytes, ms, total_ms);
        w.pos = at > st.audio + MP3_PREROLL_BYTES * 2 ? at - MP3_PREROLL_BYTES * 2 : st.audio;
        if (!walk(&w, MP3_NO_END, at)) return false;
        const uint64_t pos = w.pos > st.info_at ? w.pos - st.info_at : 0;
        // The table's time for the frame, put on the frame grid: exact when
        // the table is within half a frame.
        const uint64_t k =
            (mp3_toc_time(st.info, bytes, pos, total_ms) * rate / 1000 + st.trim_from + spf / 2) /
            spf;
        frame_start = k * spf;
        first_out = frame_start > st.trim_from ? frame_start : st.trim_from;
        landed = first_out - st.trim_from;
        if (landed >= length) return false;
        // The table is only near the frame's true index: the end is found
        // by its byte offset instead of by counting.
        st.keep_to = MP3_NO_END;
        if (st.end_cut && st.info.has_bytes) st.end_byte = st.info_at + st.info.bytes;
    } else {
        // Frame by frame from the start of the audio to the one holding it.
        if (!walk(&w, first_out / spf, MP3_NO_END)) return false;
        frame_start = w.index * spf;
    }
    // Decoding starts a few frames early; their output is muted.
    uint64_t from = w.index;
    const uint64_t oldest = w.index >= MP3_RING - 1 ? w.index - (MP3_RING - 1) : 0;
    while (from > oldest &&
           (from + 2 > w.index ||
            w.ring[(w.index - 1) % MP3_RING] - w.ring[from % MP3_RING] < MP3_PREROLL_BYTES))
        --from;
    const uint64_t start = w.ring[from % MP3_RING];
    if (!ci->ci_seek_buffer_raw(start)) return false;

    in->remaining = static_cast<uint32_t>(ci->filesize - start);
    in->last_len = 0;
    // Main data left from before the seek belongs elsewhere in the file.
    stream->md_len = 0;
    st.mute_before = w.pos;
    st.muting = true;
    st.decoded = frame_start;
    st.keep_from = first_out > st.trim_from ? first_out : st.trim_from;
    earlier_us = static_cast<int64_t>(landed * 1000000 / rate);
    allnum = 0;
    ci->ci_set_elapsed(static_cast<uint32_t>(landed * 1000 / rate));
    return true;
}

// Reads the start of the audio: skips an ID3v2 tag, takes an info frame.
void read_info() {
    st = mp3_stream{};
    st.keep_to = st.length = MP3_NO_END;
    uint32_t n = 0;
    const auto *p = static_cast<const uint8_t *>(ci->ci_request_buffer_raw(&n, 10));
    uint64_t at = p ? mp3_id3v2_size(p, n) : 0;
    mp3_header h;
    st.audio = st.info_at = at;
    if (!find_frame(&at, &h)) return;
    st.audio = st.info_at = at;
    st.rate = h.rate;
    st.frame_samples = h.samples;
    if (!ci->ci_seek_buffer_raw(at)) return;
    p = static_cast<const uint8_t *>(ci->ci_request_buffer_raw(&n, h.length));
    if (!p || !mp3_parse_info(p, n, &st.info)) return;
    st.has_info = true;
    st.audio = at + h.length;
    // A frame count the file cannot hold (no frame is under 24 bytes) is not
    // believed: then nothing is trimmed and the length is estimated.
    const uint64_t frames = st.info.frames;
    if (!st.info.has_frames || frames == 0 || st.audio > ci->filesize ||
        frames > (ci->filesize - st.audio) / 24 + 1)
        return;
    const uint64_t total = uint64_t{st.info.frames} * h.samples;
    st.length = total;
    if (st.info.has_lame) {
        // Trims larger than the stream are not believed: all of it is played.
        const uint64_t from = st.info.delay + MP3_DECODER_DELAY;
        const uint64_t cut =
            st.info.padding > MP3_DECODER_DELAY ? st.info.padding - MP3_DECODER_DELAY : 0;
        if (from + cut < total) {
            st.keep_from = st.trim_from = from;
            st.keep_to = total - cut;
            st.length = st.keep_to - from;
            st.end_cut = cut;
        }
    }
    const uint64_t ms = st.length * 1000 / h.rate;
    ci->ci_configure(CODEC_CONFIG_LENGTH, static_cast<int32_t>(ms > INT32_MAX ? INT32_MAX : ms));
    initbit = 1; // the length is known: no estimate from the first frame
}

} // namespace

enum mad_flow madinput(void *data, struct mad_stream *stream) {
    auto *in = static_cast<mad_input *>(data);
    st.stream = stream;
    int32_t param = 0;
    const int action = codec_next_action(&param);
    if (action == CODEC_ACTION_HALT) return MAD_FLOW_STOP;
    if (action == CODEC_ACTION_SEEK_TIME) {
        const bool moved = seek_to(param, in, stream);
        ci->ci_seek_complete();
        // At or past the end: the track ends as if it had played out.
        if (!moved) return MAD_FLOW_STOP;
    }
    // The whole file, its tail included, has been handed over.
    if (in->remaining == 0) return MAD_FLOW_STOP;

    if (in->last_len != 0) {
        uint32_t leftover = static_cast<uint32_t>(stream->bufend - stream->next_frame);
        if (leftover > in->last_len) leftover = in->last_len;
        // libmad took nothing from a whole window: no frame can start there
        // that fits one. Keep only the bytes a sync word could straddle, so
        // every call makes progress through the file.
        if (leftover == in->last_len && leftover > MAD_BUFFER_GUARD) leftover = MAD_BUFFER_GUARD;
        in->remaining += leftover;
        ci->ci_advance_buffer_raw(in->last_len - leftover);
    }

    st.window_at = ci->ci_getpos();
    uint32_t n = 0;
    const auto *window =
        static_cast<const unsigned char *>(ci->ci_request_buffer_raw(&n, MP3_WINDOW));
    if (!window || n == 0) return MAD_FLOW_STOP;
    if (n > MP3_WINDOW) n = MP3_WINDOW;

    if (n < MP3_WINDOW || n >= in->remaining) {
        // The window reaches the end of the file: hand it over once, with
        // the guard bytes behind it, so that the last frame is decoded too.
        std::memcpy(tail, window, n);
        std::memset(tail + n, 0, MAD_BUFFER_GUARD);
        mad_stream_buffer(stream, tail, n + MAD_BUFFER_GUARD);
        in->last_len = n;
        in->remaining = 0;
        return MAD_FLOW_CONTINUE;
    }
    mad_stream_buffer(stream, window, n);
    in->last_len = n;
    in->remaining -= n;
    return MAD_FLOW_CONTINUE;
}

enum mad_flow madoutput(void *, struct mad_header const *header, struct mad_pcm *pcm) {
    if (st.muting || st.end_byte) {
        const uint64_t pos =
            st.window_at + static_cast<uint64_t>(st.stream->this_frame - st.stream->buffer);
        // Frames decoded before the one a seek landed in only prime libmad.
        if (st.muting && pos < st.mute_before) return MAD_FLOW_CONTINUE;
        st.muting = false;
        if (st.end_byte &&
            pos + static_cast<uint64_t>(st.stream->next_frame - st.stream->this_frame) >=
                st.end_byte) {
            const uint64_t n = static_cast<uint64_t>(pcm->length);
            st.keep_to = st.decoded + (st.end_cut < n ? n - st.end_cut : 0);
            st.end_byte = 0;
        }
    }
    if (!initbit) {
        // Length from the first frame's bitrate.
        const uint32_t kbits = static_cast<uint32_t>(header->bitrate / 1000);
        if (kbits != 0) {
            const uint64_t ms = uint64_t{ci->filesize} * 8 / kbits;
            ci->ci_configure(CODEC_CONFIG_LENGTH,
                             static_cast<int32_t>(ms > INT32_MAX ? INT32_MAX : ms));
        }
        initbit = 1;
    }

    // The part of this frame that is heard: [first, last).
    const uint64_t at = st.decoded;
    st.decoded += pcm->length;
    if (st.decoded <= st.keep_from) return MAD_FLOW_CONTINUE;
    if (at >= st.keep_to) return MAD_FLOW_STOP;
    const int first = static_cast<int>(st.keep_from > at ? st.keep_from - at : 0);
    const int last = static_cast<int>(st.keep_to < st.decoded ? st.keep_to - at : pcm->length);
    if (last <= first) return MAD_FLOW_CONTINUE;

    ci->ci_set_elapsed(static_cast<uint32_t>((earlier_us + us_of(allnum)) / 1000));

    // The stream's own rate, configured once whenever it changes; the host
    // sends what it holds at the old rate first, and brings rates it cannot
    // send to one it can.
    const int32_t rate = static_cast<int32_t>(pcm->samplerate);
    if ((rate != freq || !rate_told) && rate > 0) {
        rate_told = true;
        earlier_us += us_of(allnum);
        allnum = 0;
        freq = rate;
        ci->ci_configure(CODEC_CONFIG_FREQUENCY, rate);
    }

    const int n = last - first;
    allnum += n;
    for (int c = 0; c < 2 && c < pcm->channels; ++c) {
        int32_t *out = c == 0 ? ch1.data() : ch2.data();
        const mad_fixed_t *s = pcm->samples[c] + first;
        for (int i = 0; i < n; ++i) {
            // Round the 28 fraction bits to 24 bits, clipped to full scale.
            // (Clipped before the rounding bit is added, so nothing overflows.)
            int32_t v = s[i];
            if (v > 0x0FFFFFFF - 16) v = 0x0FFFFFFF - 16;
            if (v < -0x10000000 - 16) v = -0x10000000 - 16;
            out[i] = (v + 16) >> 5;
        }
    }
    // A one-channel stream is heard on both sides.
    ci->ci_pcmbuf_insert(ch1.data(), pcm->channels == 1 ? ch1.data() : ch2.data(), n);
    return MAD_FLOW_CONTINUE;
}

enum mad_flow maderror(void *, struct mad_stream *, struct mad_frame *) {
    return MAD_FLOW_CONTINUE;
}

int mp3_codec_run() {
    initbit = 0;
    allnum = 0;
    earlier_us = 0;
    freq = 44100;
    // The rate goes to the host with the first frame heard, not before: a
    // provisional one would end a gapless run at any other rate.
    rate_told = false;

    ci->ci_seek_buffer_raw(0);
    ci->ci_configure(CODEC_CONFIG_BPS, 16);
    ci->ci_configure(CODEC_CONFIG_CHANNELS, 2);
    ci->ci_configure(CODEC_CONFIG_LENGTH, MP3_PROVISIONAL_LENGTH_MS);

    // Without an info frame libmad gets the whole file, tags included, as
    // it always has; with one, the audio behind it.
    read_info();
    const uint64_t start = st.has_info ? st.audio : 0;
    ci->ci_seek_buffer_raw(start);
    mad_input in = {static_cast<uint32_t>(ci->filesize - start), 0};

    struct mad_decoder decoder;
    mad_decoder_init(&decoder, &in, madinput, nullptr, nullptr, madoutput, maderror, nullptr);
    mad_decoder_run(&decoder, MAD_DECODER_MODE_SYNC);
    mad_decoder_finish(&decoder);
    return 0;
}

} // namespace pipd
