#include "sink/alsa_output.h"

#include <cerrno>
#include <cstdio>

namespace pipd::sink {

snd_pcm_format_t alsa_format(sample_format f) {
    switch (f) {
    case sample_format::s24_le:
        return SND_PCM_FORMAT_S24_LE;
    case sample_format::s32_le:
        return SND_PCM_FORMAT_S32_LE;
    case sample_format::s24_3le:
        return SND_PCM_FORMAT_S24_3LE;
    case sample_format::s16_le:
        break;
    }
    return SND_PCM_FORMAT_S16_LE;
}

bool alsa_output::open() {
    int err = snd_pcm_open(&pcm_, device_.c_str(), SND_PCM_STREAM_PLAYBACK, 0);
    if (err < 0) {
        std::fprintf(stderr, "pipd-sink: cannot open ALSA device %s: %s\n", device_.c_str(),
                     snd_strerror(err));
        pcm_ = nullptr;
    }
    return pcm_ != nullptr;
}

bool alsa_output::play(const int32_t *words) {
    const unsigned rate = static_cast<unsigned>(rate_of_code(words[1]));
    if (rate != rate_ && !configure(rate)) return false;
    pack_frames(words, formats[format_], frames_.data());
    return write_frames(frames_.data(), FRAMES);
}

void alsa_output::idle() {
    if (!pcm_ || rate_ == 0) return;
    snd_pcm_state_t st = snd_pcm_state(pcm_);
    if (st == SND_PCM_STATE_RUNNING || st == SND_PCM_STATE_PREPARED) {
        snd_pcm_drain(pcm_);
        snd_pcm_prepare(pcm_);
    }
}

bool alsa_output::configure(unsigned rate) {
    if (rate_ != 0) {
        snd_pcm_drain(pcm_);
        snd_pcm_hw_free(pcm_);
    }
    rate_ = 0;
    snd_pcm_hw_params_t *hw;
    snd_pcm_hw_params_alloca(&hw);
    int err = snd_pcm_hw_params_any(pcm_, hw);
    if (err >= 0) err = snd_pcm_hw_params_set_access(pcm_, hw, SND_PCM_ACCESS_RW_INTERLEAVED);
    if (err >= 0) err = snd_pcm_hw_params_set_channels(pcm_, hw, 2);
    if (err < 0) return fail("takes no interleaved stereo", err);
    format_ = -1;
    for (int i = 0; i < static_cast<int>(formats.size()); ++i) {
        bool wanted = forced_format_ >= 0 ? i == forced_format_ : i < AUTO_FORMATS;
        if (wanted &&
            snd_pcm_hw_params_test_format(pcm_, hw, alsa_format(formats[i].format)) == 0) {
            format_ = i;
            break;
        }
    }
    if (format_ < 0)
        return fail(forced_format_ >= 0 ? "does not take the format asked for"
                                        : "takes none of S24_LE, S32_LE, S24_3LE",
                    -EINVAL);
    snd_pcm_hw_params_set_format(pcm_, hw, alsa_format(formats[format_].format));
    // The exact rate without resampling; a device that cannot play it
    // gets ALSA's resampler, with a warning, rather than silence.
    snd_pcm_hw_params_set_rate_resample(pcm_, hw, 0);
    if (snd_pcm_hw_params_test_rate(pcm_, hw, rate, 0) < 0) {
        std::fprintf(stderr, "pipd-sink: %s cannot play %u Hz; ALSA resamples it\n",
                     device_.c_str(), rate);
        snd_pcm_hw_params_set_rate_resample(pcm_, hw, 1);
    }
    err = snd_pcm_hw_params_set_rate(pcm_, hw, rate, 0);
    if (err < 0) return fail("refuses the rate", err);
    unsigned buffer_us = BUFFER_US, period_us = PERIOD_US;
    snd_pcm_hw_params_set_buffer_time_near(pcm_, hw, &buffer_us, nullptr);
    snd_pcm_hw_params_set_period_time_near(pcm_, hw, &period_us, nullptr);
    err = snd_pcm_hw_params(pcm_, hw);
    if (err < 0) return fail("cannot be set up", err);
    // Start only with half a buffer in hand, so that a resumed stream
    // does not run dry at once.
    snd_pcm_uframes_t buffer_size = 0;
    snd_pcm_hw_params_get_buffer_size(hw, &buffer_size);
    snd_pcm_sw_params_t *sw;
    snd_pcm_sw_params_alloca(&sw);
    snd_pcm_sw_params_current(pcm_, sw);
    snd_pcm_sw_params_set_start_threshold(pcm_, sw, buffer_size / 2);
    snd_pcm_sw_params(pcm_, sw);
    err = snd_pcm_prepare(pcm_);
    if (err < 0) return fail("cannot be prepared", err);
    std::fprintf(stderr, "pipd-sink: %s: %u Hz, %s\n", device_.c_str(), rate,
                 formats[format_].name);
    rate_ = rate;
    return true;
}

bool alsa_output::write_frames(const unsigned char *data, int frames) {
    const int frame_bytes = 2 * formats[format_].bytes;
    while (frames > 0) {
        snd_pcm_sframes_t n = snd_pcm_writei(pcm_, data, static_cast<snd_pcm_uframes_t>(frames));
        if (n >= 0) {
            data += n * frame_bytes;
            frames -= static_cast<int>(n);
            continue;
        }
        if (n == -EPIPE) {
            ++count_.underruns;
            std::fprintf(stderr, "pipd-sink: underrun %llu, recovered\n", count_.underruns);
        }
        if (n == -EINTR && stop_requested) return true;
        int err = snd_pcm_recover(pcm_, static_cast<int>(n), 1);
        if (err < 0) return fail("failed while playing", err);
    }
    return true;
}

bool alsa_output::fail(const char *what, int err) {
    std::fprintf(stderr, "pipd-sink: ALSA device %s %s: %s\n", device_.c_str(), what,
                 snd_strerror(err));
    return false;
}

void report(const counters &c) {
    std::fprintf(stderr,
                 "pipd-sink: %llu packets played, %llu underruns, %llu stretches without a "
                 "packet header (%llu bytes skipped)\n",
                 c.packets, c.underruns, c.lost, c.skipped);
}

} // namespace pipd::sink
