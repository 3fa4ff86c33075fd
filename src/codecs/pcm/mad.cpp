// MP3 codec: MPEG audio layers I to III through libmad's synchronous decoder.
// The input callback hands libmad windows of the host's input buffer, the
// output callback brings each decoded frame to 24 bits and hands it on, and
// the error callback lets libmad go past every damaged frame.

#include <cstdint>
#include <cstring>
#include <mad.h>

#include "codecs/codecs.h"
#include "host/codec_api.h"
#include "host/staging.h"

namespace pipd {

namespace {

constexpr uint32_t MP3_WINDOW = 8192;
constexpr int32_t MP3_PROVISIONAL_LENGTH_MS = 333440;

// What the input callback keeps between calls; one per file.
struct mad_input {
    uint32_t remaining; // bytes of the file not yet handed over
    uint32_t last_len;  // bytes of the window last handed to libmad
};

uint32_t initbit = 0;   // the first frame has been seen
int64_t allnum = 0;     // sample frames delivered at the current rate
int64_t earlier_us = 0; // playing time of the frames at earlier rates

int64_t us_of(int64_t frames) {
    return frames * 1000000 / freq;
}

// The last window of the file, followed by the zero bytes libmad needs to see
// behind a frame before it decodes it.
unsigned char tail[MP3_WINDOW + MAD_BUFFER_GUARD];

} // namespace

enum mad_flow madinput(void *data, struct mad_stream *stream) {
    auto *in = static_cast<mad_input *>(data);
    int32_t param = 0;
    const int action = codec_next_action(&param);
    // A seek is passed over: MP3 playback does not seek.
    if (action == CODEC_ACTION_HALT) return MAD_FLOW_STOP;
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
    ci->ci_set_elapsed(static_cast<uint32_t>((earlier_us + us_of(allnum)) / 1000));

    // The stream's own rate, configured once whenever it changes; the host
    // sends what it holds at the old rate first, and brings rates it cannot
    // send to one it can.
    const int32_t rate = static_cast<int32_t>(pcm->samplerate);
    if (rate != freq && rate > 0) {
        earlier_us += us_of(allnum);
        allnum = 0;
        freq = rate;
        ci->ci_configure(CODEC_CONFIG_FREQUENCY, rate);
    }

    const int n = pcm->length;
    allnum += n;
    for (int c = 0; c < 2 && c < pcm->channels; ++c) {
        int32_t *out = c == 0 ? ch1.data() : ch2.data();
        const mad_fixed_t *s = pcm->samples[c];
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
    mad_input in = {ci->filesize, 0};
    initbit = 0;
    allnum = 0;
    earlier_us = 0;
    freq = 44100;

    ci->ci_seek_buffer_raw(0);
    ci->ci_configure(CODEC_CONFIG_BPS, 16);
    ci->ci_configure(CODEC_CONFIG_FREQUENCY, 44100);
    ci->ci_configure(CODEC_CONFIG_CHANNELS, 2);
    ci->ci_configure(CODEC_CONFIG_LENGTH, MP3_PROVISIONAL_LENGTH_MS);

    struct mad_decoder decoder;
    mad_decoder_init(&decoder, &in, madinput, nullptr, nullptr, madoutput, maderror, nullptr);
    mad_decoder_run(&decoder, MAD_DECODER_MODE_SYNC);
    mad_decoder_finish(&decoder);
    return 0;
}

} // namespace pipd
