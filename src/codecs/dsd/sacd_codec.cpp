#include "codecs/dsd/sacd_codec.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "codecs/codecs.h"
#include "codecs/dsd/dsd_output.h"
#include "codecs/dsd/dst_decoder.h"
#include "codecs/dsd/sacd_disc.h"
#include "core/diag.h"
#include "core/state.h"
#include "host/codec_api.h"

namespace pipd {

namespace {

// Title of the image track playing (iso_psong points here while an image
// plays); emptied at the start of each image.
std::array<char, ISO_SONG_SIZE> iso_song;

constexpr uint32_t DSD_BYTES_PER_SECOND = 352800; // one channel at 2,822,400 bit/s

// A frame as the reader assembles it: DSD, or DST of at most this size.
constexpr int32_t FRAME_CAPACITY = static_cast<int32_t>(dst_max_frame_bytes(2, 64));
constexpr uint32_t BAD_FRAMES_TOLD = 8;

// The image playing: the frame buffers, and the counters of the current track.
struct image_play {
    uint8_t *frame;
    uint8_t *decoded; // a DST frame's DSD
    uint32_t bad_frames;
    int32_t track;
    uint32_t channel_bytes; // DSD bytes per channel converted (elapsed time)
    uint64_t frame_bytes;   // frame bytes read
};

void start_track(image_play &p, int32_t t) {
    p.track = t;
    sd_set_track(t, SD_AREA_TWO_CHANNEL, 0);
    if (t == 0) {
        ci->ci_configure(CODEC_CONFIG_BPS, 1);
        ci->ci_configure(CODEC_CONFIG_FREQUENCY, DSD_RATE);
        ci->ci_configure(CODEC_CONFIG_CHANNELS, 2);
    }
    uint8_t m = 0, s = 0, f = 0;
    sd_track_time(SD_AREA_TWO_CHANNEL, t, &m, &s, &f);
    ci->ci_configure(CODEC_CONFIG_LENGTH, static_cast<int32_t>((s + m * 60 + f / 75.0) * 1000));
    const char *title = sd_track_title(SD_AREA_TWO_CHANNEL, t);
    sacd_copy_title(iso_song.data(), iso_song.size(), title ? title : "");
    p.channel_bytes = 0;
    p.frame_bytes = 0;
}

// Hands one DSD frame (byte-interleaved stereo) to the output stage.
void play_frame(image_play &p, const uint8_t *frame, int32_t size) {
    p.frame_bytes += static_cast<uint32_t>(size);
    if (size != SACD_DSD_FRAME_BYTES) diag("dsize=%d\n", size);
    dsd_convert(frame, 1, 2, static_cast<uint32_t>(size) / 2, false);
    p.channel_bytes += static_cast<uint32_t>(size) / 2;
    ci->ci_set_elapsed(p.channel_bytes / DSD_BYTES_PER_SECOND * 1000);
}

// Frames (1/75 s) of track t by its duration entry; 0 when it has none.
uint32_t track_frames(int32_t t) {
    uint8_t m = 0, s = 0, f = 0;
    sd_track_time(SD_AREA_TWO_CHANNEL, t, &m, &s, &f);
    return (m * 60u + s) * 75u + f;
}

// Moves within the track playing to ms from its start. false when that is
// at or past its end: the track is over.
bool seek(image_play &p, int32_t ms) {
    ci->ci_seek_complete();
    const auto frame = static_cast<uint32_t>(uint64_t(std::max(ms, 0)) * 75 / 1000);
    const uint32_t total = track_frames(p.track);
    if (total > 0 && frame >= total) return false;
    const int landed = sd_seek_frame(frame, total);
    if (landed == SD_SEEK_END) return false;
    if (landed == SD_SEEK_NONE) return true; // nothing to go by: plays on
    dsd_reset_history();
    p.channel_bytes = frame * (SACD_DSD_FRAME_BYTES / 2);
    ci->ci_set_elapsed(p.channel_bytes / DSD_BYTES_PER_SECOND * 1000);
    return true;
}

// Plays the tracks from the first on; the codec's result.
int play_image(image_play &p) {
    start_track(p, 0);
    for (;;) {
        int32_t param = 0;
        bool over = false; // the track playing ends here
        switch (codec_next_action(&param)) {
        case CODEC_ACTION_HALT:
            return 0;
        case CODEC_ACTION_ISO_PREV:
            if (p.track == 0) return 0;
            iso_playcnt = p.track - 1;
            start_track(p, iso_playcnt);
            continue;
        case CODEC_ACTION_ISO_NEXT:
            iso_playcnt = p.track + 1;
            if (iso_playcnt >= iso_playmax) return 0;
            start_track(p, iso_playcnt);
            continue;
        case CODEC_ACTION_SEEK_TIME:
            over = !seek(p, param);
            break;
        default:
            break;
        }

        int32_t size = FRAME_CAPACITY;
        int32_t type = over ? SD_FRAME_END : SD_FRAME_PENDING;
        if (!over) sd_read_frame(p.frame, &size, &type);
        // Many sectors without a frame: the commands first, then on.
        if (type == SD_FRAME_PENDING) continue;
        switch (type) {
        case SD_FRAME_DSD:
            // A frame without bytes holds no audio; the track goes on.
            if (size > 0) play_frame(p, p.frame, size);
            continue;
        case SD_FRAME_DST: {
            // A damaged frame plays as silence of a frame's length.
            const int status =
                dst_decode_frame(p.frame, static_cast<uint32_t>(size), 2, 64, p.decoded);
            if (status != DST_OK && ++p.bad_frames <= BAD_FRAMES_TOLD)
                diag("sacd: DST frame of track %d: %s; silence in its place\n", p.track + 1,
                     dst_status_text(status));
            play_frame(p, p.decoded, SACD_DSD_FRAME_BYTES);
            continue;
        }
        case SD_FRAME_READ_ERROR:
            diag_puts("file read  frame");
            return 0;
        default:
            if (!over) diag_puts("has invalid frame");
            break;
        }
        diag("%d allsize=%d %s\n", p.track, static_cast<int32_t>(p.frame_bytes), iso_song.data());
        iso_playcnt = p.track + 1;
        if (iso_playcnt >= iso_playmax) return 0;
        start_track(p, iso_playcnt);
    }
}

} // namespace

std::size_t sacd_copy_title(char *dst, std::size_t capacity, const char *title) {
    if (capacity == 0) return 0;
    std::size_t n = strnlen(title, capacity);
    if (n == capacity) {
        // Too long: back to the start of the character that did not fit.
        n = capacity - 1;
        const auto continuation = [&](std::size_t i) {
            return (static_cast<unsigned char>(title[i]) & 0xC0) == 0x80;
        };
        std::size_t back = 0;
        while (back < 3 && n > 0 && continuation(n)) --n, ++back;
        // Not a UTF-8 sequence after all: a plain cut.
        if (back == 3 && continuation(n)) n = capacity - 1;
    }
    std::memcpy(dst, title, n);
    dst[n] = '\0';
    return n;
}

int sacd_codec_run() {
    iso_playcnt = -1;
    iso_playmax = 0;
    iso_song[0] = '\0';
    iso_psong = iso_song.data();
    sd.read_errors = 0;
    sd.pending_advance = 0;

    const int opened = sd_open();
    dsd_begin(DSD_RATE, 2);
    if (!opened) {
        diag_puts("sd open error");
        sd_close();
        return -1;
    }
    iso_playmax = sd_track_count(SD_AREA_TWO_CHANNEL);
    diag("iso_playmax = %d\n", iso_playmax);

    std::unique_ptr<uint8_t, decltype(&std::free)> frame(
        static_cast<uint8_t *>(std::malloc(FRAME_CAPACITY + SACD_DSD_FRAME_BYTES)), &std::free);
    iso_playcnt = 0;
    int result = 0;
    if (!frame) {
        result = -1;
    } else if (iso_playmax > 0) {
        image_play p{frame.get(), frame.get() + FRAME_CAPACITY, 0, 0, 0, 0};
        result = play_image(p);
    }
    sd_close();
    return result;
}

} // namespace pipd
