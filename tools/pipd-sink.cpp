// pipd-sink: the audio sink. Reads the daemon's output pipe and plays the
// packets through ALSA, bit for bit, and into snapserver's pipe for the
// other rooms; or records them into a WAV file.

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <unistd.h>

#include "core/diag.h"
#include "core/paths.h"
#include "core/runtime_file.h"
#include "core/sink_status.h"
#include "protocol/packets.h"
#include "sink/alsa_output.h"
#include "sink/packet_reader.h"
#include "sink/packet_wav.h"
#include "sink/sample_pack.h"
#include "sink/snapcast_output.h"

namespace {

using namespace pipd::sink;

constexpr int EXIT_FAILED = 1;
constexpr int EXIT_USAGE = 64;

const char usage_text[] =
    "usage: pipd-sink [--device NAME|none] [--format FORMAT] [--snapcast FIFO\n"
    "                 [--snapcast-format RATE:BITS:2]] [--once]\n"
    "       pipd-sink --record FILE.wav\n"
    "\n"
    "Reads the daemon's PCM packets from %s and plays them through ALSA.\n"
    "Each packet's magic word and rate code are checked; packets that fail are\n"
    "dropped and the stream is found again at the next packet. The samples reach\n"
    "the device exactly as decoded: channel 0 first, 24 significant bits.\n"
    "\n"
    "  --device NAME    ALSA device (default \"default\"; for example hw:1,0 or\n"
    "                   plughw:CARD=DAC); none for no ALSA output (with --snapcast).\n"
    "  --format FORMAT  sample format the device is given: auto (default: the first\n"
    "                   of S24_LE, S32_LE, S24_3LE the device takes), S24_LE, S32_LE\n"
    "                   (the 24 bits shifted left by 8), S24_3LE, or S16_LE (drops the\n"
    "                   low 8 bits; only for devices that take nothing better).\n"
    "  --snapcast FIFO  also write the stream into snapserver's pipe source FIFO,\n"
    "                   for Snapcast clients in other rooms: raw interleaved\n"
    "                   little-endian PCM in one fixed format. A stream at another\n"
    "                   rate is resampled (libsoxr, high quality); one at the\n"
    "                   format's rate passes bit for bit. Nothing is written while the\n"
    "                   player pauses or stops. While no snapserver reads the FIFO,\n"
    "                   that audio is dropped; a missing FIFO is tried each second.\n"
    "  --snapcast-format RATE:BITS:2\n"
    "                   the format of the snapserver source (default 48000:24:2):\n"
    "                   BITS 24 (in 4-byte words) or 32 carry the 24-bit samples as\n"
    "                   they are, 16 rounds them with TPDF dither.\n"
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
    "While it runs, %s names its outputs and their states.\n"
    "\n"
    "Exit status: 0 ended by a signal or, with --once or --record, by the end of\n"
    "the stream; 1 the device or the pipe failed; 64 usage error.\n";

void on_signal(int) {
    stop_requested = 1;
}

struct options {
    std::string device = "default";
    int format = -1;
    bool once = false;
    std::string snapcast_fifo;
    snapcast_format snapcast;
};

// The outputs in the status file for the remotes.
class status_publisher {
  public:
    status_publisher(const options &o, const std::optional<snapcast_output> &snap)
        : o_(o), snap_(snap) {}
    ~status_publisher() {
        auto s = pipd::parse_sink_status(pipd::read_runtime_file(pipd::SINK_STATUS_PATH));
        if (s && s->pid == getpid()) unlink(pipd::SINK_STATUS_PATH);
    }
    void publish() {
        pipd::sink_status s;
        s.pid = getpid();
        if (o_.device != "none") s.outputs.push_back({"alsa", "on", "-", o_.device});
        if (snap_)
            s.outputs.push_back({"snapcast", state_name(snap_->current()),
                                 snapcast_format_text(snap_->format()), snap_->fifo()});
        if (!pipd::write_runtime_file(pipd::SINK_STATUS_PATH, pipd::format_sink_status(s)) &&
            !told_) {
            pipd::diag("pipd-sink: cannot write %s: %s\n", pipd::SINK_STATUS_PATH,
                       std::strerror(errno));
            told_ = true;
        }
    }

  private:
    const options &o_;
    const std::optional<snapcast_output> &snap_;
    bool told_ = false;
};

// Without a device, the packets are taken at the pace they play, a tenth of
// a second ahead: snapserver's pipe holds what it has not read yet.
constexpr double SNAPCAST_LEAD_S = 0.1;

int play(const options &o) {
    counters count;
    std::optional<alsa_output> alsa;
    if (o.device != "none") {
        alsa.emplace(o.device, o.format, count);
        if (!alsa->open()) return EXIT_FAILED;
    }
    std::optional<snapcast_output> snap;
    status_publisher status(o, snap);
    if (!o.snapcast_fifo.empty())
        snap.emplace(o.snapcast_fifo, o.snapcast,
                     [&status](snapcast_output::state) { status.publish(); });
    status.publish();
    device_pace pace(SNAPCAST_LEAD_S);
    auto idle = [&] {
        if (alsa) alsa->idle();
        if (snap) snap->idle();
    };
    packet_reader reader(count);
    int32_t words[pipd::PACKET_WORDS];
    for (;;) {
        int fd = open_pipe();
        if (fd < 0) return stop_requested ? 0 : EXIT_FAILED;
        reader.attach(fd);
        packet_reader::result r;
        while ((r = reader.next(words, idle)) == packet_reader::PACKET) {
            if (alsa && !alsa->play(words)) {
                close(fd);
                report(count);
                return EXIT_FAILED;
            }
            if (snap) snap->play(words);
            if (!alsa) pace.take(words);
        }
        close(fd);
        idle();
        report(count);
        if (snap && snap->dropped_frames() > 0)
            pipd::diag("pipd-sink: Snapcast output: %llu frames dropped in all\n",
                       snap->dropped_frames());
        if (r == packet_reader::STOPPED || o.once) return 0;
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
    device_pace pace;
    while (reader.next(words, [] {}) == packet_reader::PACKET) {
        wav.packet(words, pipd::PACKET_WORDS);
        pace.take(words);
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
    std::fprintf(stderr, usage_text, pipd::OUTPUT_FIFO_PATH, pipd::SINK_STATUS_PATH);
    return EXIT_USAGE;
}

} // namespace

int main(int argc, char **argv) {
    options o;
    const char *record_path = nullptr;
    bool device_given = false, snapcast_format_given = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        bool has_value = i + 1 < argc;
        if (a == "--help") {
            std::printf(usage_text, pipd::OUTPUT_FIFO_PATH, pipd::SINK_STATUS_PATH);
            return 0;
        } else if (a == "--version") {
            std::printf("pipd-sink %s\n", PIPD_VERSION_TEXT);
            return 0;
        } else if (a == "--once") {
            o.once = true;
        } else if (a == "--device" && has_value) {
            o.device = argv[++i];
            device_given = true;
        } else if (a == "--record" && has_value) {
            record_path = argv[++i];
        } else if (a == "--format" && has_value) {
            std::string f = argv[++i];
            o.format = -2;
            if (f == "auto") o.format = -1;
            for (int k = 0; k < static_cast<int>(formats.size()); ++k)
                if (f == formats[k].name) o.format = k;
            if (o.format == -2) return usage_error("unknown format " + f);
        } else if (a == "--snapcast" && has_value) {
            o.snapcast_fifo = argv[++i];
            if (o.snapcast_fifo.empty()) return usage_error("--snapcast needs a FIFO");
        } else if (a == "--snapcast-format" && has_value) {
            auto f = parse_snapcast_format(argv[++i]);
            if (!f)
                return usage_error(std::string("--snapcast-format: not RATE:BITS:2 with BITS 16, "
                                               "24 or 32: ") +
                                   argv[i]);
            o.snapcast = *f;
            snapcast_format_given = true;
        } else {
            return usage_error(a.rfind("--", 0) == 0 && !has_value ? a + " needs a value"
                                                                   : "unexpected " + a);
        }
    }
    if (record_path && (device_given || o.format != -1 || !o.snapcast_fifo.empty()))
        return usage_error("--record plays nothing: no --device, --format or --snapcast with it");
    if (snapcast_format_given && o.snapcast_fifo.empty())
        return usage_error("--snapcast-format without --snapcast");
    if (o.device == "none" && o.snapcast_fifo.empty())
        return usage_error("--device none needs --snapcast: there is nothing to play to");
    pipd::diag_set_stream(stderr);

    struct sigaction sa {};
    sa.sa_handler = on_signal; // no SA_RESTART: a blocking open or read ends
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    return record_path ? record(record_path) : play(o);
}
