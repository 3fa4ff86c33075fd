// pipd-sink: the audio sink. Reads the daemon's output pipe and plays the
// packets through ALSA, bit for bit; or records them into a WAV file.

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

#include "core/paths.h"
#include "protocol/packets.h"
#include "sink/alsa_output.h"
#include "sink/packet_reader.h"
#include "sink/packet_wav.h"
#include "sink/sample_pack.h"

namespace {

using namespace pipd::sink;

constexpr int EXIT_FAILED = 1;
constexpr int EXIT_USAGE = 64;

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

void on_signal(int) {
    stop_requested = 1;
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
