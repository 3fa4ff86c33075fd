// pipd-sink: the audio sink. Reads the daemon's output pipe and plays the
// packets through ALSA, bit for bit; or records them into a WAV file.

#include <alsa/asoundlib.h>
#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <thread>
#include <unistd.h>

#include "protocol/packets.h"
#include "sink/packet_wav.h"
#include "core/paths.h"

namespace {

constexpr int EXIT_FAILED = 1;
constexpr int EXIT_USAGE = 64;
// A stream that sends nothing for this long has paused or ended: what the
// device still holds is played out, so that a pause is not an underrun.
constexpr int IDLE_MS = 200;
constexpr unsigned BUFFER_US = 400000;
constexpr unsigned PERIOD_US = 50000;

const char usage_text[] =
    "usage: pipd-sink [--device NAME] [--format FORMAT] [--once]\n"
    "       pipd-sink --record FILE.wav\n"
    "\n"
    "Reads the daemon's PCM packets from %s and plays them through ALSA.\n"
    "Each packet's magic word and rate code are checked; packets that fail are\n"
    "dropped and the stream is found again at the next packet. The samples reach\n"
    "the device exactly as decoded: channel 0 first, 24 significant bits.\n"
    "\n"
    "  --device NAME    ALSA device (default \"default\"; for example hw:1,0 or\n"
    "                   plughw:CARD=DAC).\n"
    "  --format FORMAT  sample format the device is given: auto (default: the first\n"
    "                   of S24_LE, S32_LE, S24_3LE the device takes), S24_LE, S32_LE\n"
    "                   (the 24 bits shifted left by 8), S24_3LE, or S16_LE (drops the\n"
    "                   low 8 bits; only for devices that take nothing better).\n"
    "  --once           end when the daemon closes the pipe. Without it the sink\n"
    "                   waits for the daemon to open the pipe again, so either side\n"
    "                   can be restarted at any time.\n"
    "  --record FILE    instead of playing, record what would play as a 24-bit WAV\n"
    "                   file at the pace of real playback, until the daemon closes\n"
    "                   the pipe; rate changes are reported, and the header gets the\n"
    "                   real sizes at the end.\n"
    "  --help           this text.\n"
    "  --version        the version of pipd-sink.\n"
    "\n"
    "A change of rate code drains what the device holds and sets it up for the new\n"
    "rate before the packet that carries it is played. Underruns are recovered and\n"
    "counted. SIGINT or SIGTERM ends the sink after what it holds has played.\n"
    "\n"
    "Exit status: 0 ended by a signal or, with --once or --record, by the end of\n"
    "the stream; 1 the device or the pipe failed; 64 usage error.\n";

volatile std::sig_atomic_t stop_requested = 0;
void on_signal(int) {
    stop_requested = 1;
}

// ---- The packet stream -------------------------------------------------

struct counters {
    // 64-bit also on the 32-bit target: a sink runs for years.
    unsigned long long packets = 0;
    unsigned long long lost = 0;    // stretches without a packet header (no
                                    // magic word, or an unknown rate code)
    unsigned long long skipped = 0; // bytes in them
    unsigned long long underruns = 0;
};

bool header_ok(const unsigned char *p) {
    uint32_t magic;
    int32_t code;
    std::memcpy(&magic, p, 4);
    std::memcpy(&code, p + 4, 4);
    return magic == pipd::OUTPUT_MAGIC && pipd::rate_of_code(code) != 0;
}

// Reads whole packets from the pipe. A packet is taken only with the magic
// word and a known rate code in front; anything else (a packet before the
// daemon's first rate report, the tail of a packet cut off by a sink that
// went away) is skipped up to the next header.
class packet_reader {
  public:
    explicit packet_reader(counters &c) : count_(c) {}

    void attach(int fd) {
        fd_ = fd;
        have_ = 0;
    }

    enum result { PACKET, END, STOPPED };

    // The next packet into words. idle() is called whenever nothing has
    // arrived for IDLE_MS.
    template <class Idle> result next(int32_t *words, Idle idle) {
        for (;;) {
            while (have_ < pipd::PACKET_BYTES) {
                if (stop_requested) return STOPPED;
                pollfd p{fd_, POLLIN, 0};
                int r = poll(&p, 1, IDLE_MS);
                if (r == 0) {
                    idle();
                    continue;
                }
                if (r < 0) {
                    if (errno == EINTR) continue;
                    return END;
                }
                ssize_t n = read(fd_, buf_.data() + have_, pipd::PACKET_BYTES - have_);
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) return END;
                have_ += static_cast<std::size_t>(n);
            }
            if (header_ok(buf_.data())) {
                std::memcpy(words, buf_.data(), pipd::PACKET_BYTES);
                have_ = 0;
                lost_ = false;
                ++count_.packets;
                return PACKET;
            }
            resync();
        }
    }

  private:
    // Keeps the buffer from the next header on (a header may begin in the
    // last 7 bytes). Samples are 24-bit values in 32-bit words, so their
    // bytes never form the magic word, at any alignment.
    void resync() {
        std::size_t at = 1;
        while (at + 8 <= have_ && !header_ok(buf_.data() + at)) ++at;
        if (!lost_) ++count_.lost;
        lost_ = true;
        count_.skipped += at;
        std::memmove(buf_.data(), buf_.data() + at, have_ - at);
        have_ -= at;
    }

    counters &count_;
    int fd_ = -1;
    std::array<unsigned char, pipd::PACKET_BYTES> buf_{};
    std::size_t have_ = 0;
    bool lost_ = false; // skipping bytes since the last packet
};

// Opens the output pipe for reading; blocks until the daemon opens its end.
// -1 when stopped by a signal or the pipe cannot be opened.
int open_pipe() {
    bool told = false;
    for (;;) {
        if (stop_requested) return -1;
        int fd = open(pipd::OUTPUT_FIFO_PATH, O_RDONLY | O_CLOEXEC);
        if (fd >= 0) return fd;
        if (errno == EINTR) continue;
        if (errno != ENOENT) {
            std::fprintf(stderr, "pipd-sink: cannot open %s: %s\n", pipd::OUTPUT_FIFO_PATH,
                         std::strerror(errno));
            return -1;
        }
        if (!told)
            std::fprintf(stderr, "pipd-sink: waiting for %s to appear\n", pipd::OUTPUT_FIFO_PATH);
        told = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
}

// ---- The ALSA device ---------------------------------------------------

struct format_entry {
    const char *name;
    snd_pcm_format_t alsa;
    int bytes; // per sample
};
constexpr std::array<format_entry, 4> formats{{
    {"S24_LE", SND_PCM_FORMAT_S24_LE, 4},
    {"S32_LE", SND_PCM_FORMAT_S32_LE, 4},
    {"S24_3LE", SND_PCM_FORMAT_S24_3LE, 3},
    {"S16_LE", SND_PCM_FORMAT_S16_LE, 2},
}};
constexpr int AUTO_FORMATS = 3; // S16_LE only when asked for

int32_t clamp24(int32_t v) {
    return v > 8388607 ? 8388607 : v < -8388608 ? -8388608 : v;
}

class alsa_output {
  public:
    alsa_output(std::string device, int format, counters &c)
        : device_(std::move(device)), forced_format_(format), count_(c) {}
    ~alsa_output() {
        if (pcm_) {
            snd_pcm_drain(pcm_);
            snd_pcm_close(pcm_);
        }
    }

    bool open() {
        int err = snd_pcm_open(&pcm_, device_.c_str(), SND_PCM_STREAM_PLAYBACK, 0);
        if (err < 0) {
            std::fprintf(stderr, "pipd-sink: cannot open ALSA device %s: %s\n", device_.c_str(),
                         snd_strerror(err));
            pcm_ = nullptr;
        }
        return pcm_ != nullptr;
    }

    // Plays one packet's 512 frames at the rate of its code.
    bool play(const int32_t *words) {
        const unsigned rate = static_cast<unsigned>(pipd::rate_of_code(words[1]));
        if (rate != rate_ && !configure(rate)) return false;
        const format_entry &f = formats[format_];
        unsigned char *out = frames_.data();
        for (int k = 0; k < FRAMES; ++k) {
            // The pipe carries channel 1 first.
            const int32_t ch[2] = {words[pipd::PACKET_HEADER_WORDS + 2 * k + 1],
                                   words[pipd::PACKET_HEADER_WORDS + 2 * k]};
            for (int32_t v : ch) {
                uint32_t s = static_cast<uint32_t>(clamp24(v));
                if (f.alsa == SND_PCM_FORMAT_S32_LE) s <<= 8;
                if (f.alsa == SND_PCM_FORMAT_S16_LE) s = static_cast<uint32_t>(clamp24(v) >> 8);
                for (int b = 0; b < f.bytes; ++b) *out++ = static_cast<unsigned char>(s >> (8 * b));
            }
        }
        return write_frames(frames_.data(), FRAMES);
    }

    // Nothing arrives: let the device play out what it holds.
    void idle() {
        if (!pcm_ || rate_ == 0) return;
        snd_pcm_state_t st = snd_pcm_state(pcm_);
        if (st == SND_PCM_STATE_RUNNING || st == SND_PCM_STATE_PREPARED) {
            snd_pcm_drain(pcm_);
            snd_pcm_prepare(pcm_);
        }
    }

  private:
    static constexpr int FRAMES = (pipd::PACKET_WORDS - pipd::PACKET_HEADER_WORDS) / 2;

    // Sets the device up for rate. Samples of the old rate still held are
    // played out first; none is played at the new rate.
    bool configure(unsigned rate) {
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
            if (wanted && snd_pcm_hw_params_test_format(pcm_, hw, formats[i].alsa) == 0) {
                format_ = i;
                break;
            }
        }
        if (format_ < 0)
            return fail(forced_format_ >= 0 ? "does not take the format asked for"
                                            : "takes none of S24_LE, S32_LE, S24_3LE",
                        -EINVAL);
        snd_pcm_hw_params_set_format(pcm_, hw, formats[format_].alsa);
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

    bool write_frames(const unsigned char *data, int frames) {
        const int frame_bytes = 2 * formats[format_].bytes;
        while (frames > 0) {
            snd_pcm_sframes_t n =
                snd_pcm_writei(pcm_, data, static_cast<snd_pcm_uframes_t>(frames));
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

    bool fail(const char *what, int err) {
        std::fprintf(stderr, "pipd-sink: ALSA device %s %s: %s\n", device_.c_str(), what,
                     snd_strerror(err));
        return false;
    }

    std::string device_;
    int forced_format_; // index into formats, -1 for auto
    counters &count_;
    snd_pcm_t *pcm_ = nullptr;
    unsigned rate_ = 0; // 0 until set up
    int format_ = 0;
    std::array<unsigned char, FRAMES * 2 * 4> frames_{};
};

void report(const counters &c) {
    std::fprintf(stderr,
                 "pipd-sink: %llu packets played, %llu underruns, %llu stretches without a "
                 "packet header (%llu bytes skipped)\n",
                 c.packets, c.underruns, c.lost, c.skipped);
}

int play(const std::string &device, int format, bool once) {
    counters count;
    alsa_output out(device, format, count);
    if (!out.open()) return EXIT_FAILED;
    packet_reader reader(count);
    int32_t words[pipd::PACKET_WORDS];
    for (;;) {
        int fd = open_pipe();
        if (fd < 0) return stop_requested ? 0 : EXIT_FAILED;
        reader.attach(fd);
        packet_reader::result r;
        while ((r = reader.next(words, [&out] { out.idle(); })) == packet_reader::PACKET)
            if (!out.play(words)) {
                close(fd);
                report(count);
                return EXIT_FAILED;
            }
        close(fd);
        out.idle();
        report(count);
        if (r == packet_reader::STOPPED || once) return 0;
        std::fprintf(stderr, "pipd-sink: the daemon closed the pipe; waiting for it\n");
    }
}

// ---- Recording -----------------------------------------------------------

int record(const char *path) {
    std::FILE *out = std::fopen(path, "wb");
    if (!out) {
        std::fprintf(stderr, "pipd-sink: cannot write %s: %s\n", path, std::strerror(errno));
        return EXIT_FAILED;
    }
    int fd = open_pipe();
    if (fd < 0) {
        std::fclose(out);
        return stop_requested ? 0 : EXIT_FAILED;
    }
    counters count;
    packet_reader reader(count);
    reader.attach(fd);
    pipd::packet_wav_writer wav(out);
    int32_t words[pipd::PACKET_WORDS];
    auto start = std::chrono::steady_clock::now();
    double played = 0; // seconds of audio taken so far
    while (reader.next(words, [] {}) == packet_reader::PACKET) {
        wav.packet(words, pipd::PACKET_WORDS);
        // A real device takes samples no faster than it plays them; after a
        // gap (power off, pause, a slow start) it plays on from now.
        auto now = std::chrono::steady_clock::now();
        if (now > start + std::chrono::duration<double>(played + 0.05))
            start = now - std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                              std::chrono::duration<double>(played));
        played += 512.0 / pipd::rate_of_code(words[1]);
        std::this_thread::sleep_until(start + std::chrono::duration<double>(played));
    }
    close(fd);
    bool ok = wav.finish();
    std::fclose(out);
    std::fprintf(stderr, "pipd-sink: recorded %.1f s into %s\n",
                 static_cast<double>(wav.frames()) / (wav.rate() > 0 ? wav.rate() : 44100), path);
    return ok ? 0 : EXIT_FAILED;
}

int usage_error(const std::string &what) {
    std::fprintf(stderr, "pipd-sink: %s\n\n", what.c_str());
    std::fprintf(stderr, usage_text, pipd::OUTPUT_FIFO_PATH);
    return EXIT_USAGE;
}

} // namespace

int main(int argc, char **argv) {
    std::string device = "default";
    const char *record_path = nullptr;
    int format = -1;
    bool once = false;
    bool device_given = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        bool has_value = i + 1 < argc;
        if (a == "--help") {
            std::printf(usage_text, pipd::OUTPUT_FIFO_PATH);
            return 0;
        } else if (a == "--version") {
            std::printf("pipd-sink %s\n", PIPD_VERSION_TEXT);
            return 0;
        } else if (a == "--once") {
            once = true;
        } else if (a == "--device" && has_value) {
            device = argv[++i];
            device_given = true;
        } else if (a == "--record" && has_value) {
            record_path = argv[++i];
        } else if (a == "--format" && has_value) {
            std::string f = argv[++i];
            format = -2;
            if (f == "auto") format = -1;
            for (int k = 0; k < static_cast<int>(formats.size()); ++k)
                if (f == formats[k].name) format = k;
            if (format == -2) return usage_error("unknown format " + f);
        } else {
            return usage_error(a.rfind("--", 0) == 0 && !has_value ? a + " needs a value"
                                                                   : "unexpected " + a);
        }
    }
    if (record_path && (device_given || format != -1))
        return usage_error("--record plays nothing: no --device or --format with it");

    struct sigaction sa {};
    sa.sa_handler = on_signal; // no SA_RESTART: a blocking open or read ends
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    return record_path ? record(record_path) : play(device, format, once);
}
