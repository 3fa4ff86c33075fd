// pipd-sink: a minimal audio sink for trying the daemon without a sound
// card. It reads the output pipe at the pace of real playback and records
// what it would play into a WAV file.

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <thread>
#include <unistd.h>

#include "host/outudp.h"
#include "host/packet_wav.h"
#include "host/paths.h"

namespace {

volatile std::sig_atomic_t stop_requested = 0;
void on_signal(int) {
    stop_requested = 1;
}

// Reads one whole packet; false at the end of the stream or on a signal.
bool read_packet(int fd, int32_t *words) {
    auto *p = reinterpret_cast<char *>(words);
    std::size_t got = 0;
    while (got < pipd::PACKET_BYTES) {
        ssize_t n = read(fd, p + got, pipd::PACKET_BYTES - got);
        if (n < 0 && errno == EINTR) {
            if (stop_requested) return false;
            continue;
        }
        if (n <= 0) return false;
        got += static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 2 || std::strcmp(argv[1], "--help") == 0) {
        std::fprintf(argc == 2 ? stdout : stderr,
                     "usage: pipd-sink OUTPUT.wav\n\n"
                     "Reads %s at the pace of real playback and records what a sink\n"
                     "would play as a 24-bit stereo WAV file, until the daemon closes the pipe\n"
                     "or the sink is stopped with SIGINT or SIGTERM.\n",
                     pipd::OUTPUT_FIFO_PATH);
        return argc == 2 ? 0 : 64;
    }
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);

    std::FILE *out = std::fopen(argv[1], "wb");
    if (!out) {
        std::fprintf(stderr, "pipd-sink: cannot write %s: %s\n", argv[1], std::strerror(errno));
        return 1;
    }
    int fd = open(pipd::OUTPUT_FIFO_PATH, O_RDONLY); // waits for the daemon
    if (fd < 0) {
        std::fprintf(stderr, "pipd-sink: cannot open %s: %s\n", pipd::OUTPUT_FIFO_PATH,
                     std::strerror(errno));
        return 1;
    }
    pipd::packet_wav_writer wav(out);
    int32_t words[pipd::PACKET_WORDS];
    auto start = std::chrono::steady_clock::now();
    double played = 0; // seconds of audio taken so far
    while (!stop_requested && read_packet(fd, words)) {
        wav.packet(words, pipd::PACKET_WORDS);
        int32_t rate = pipd::rate_of_code(words[1]);
        // A real device takes samples no faster than it plays them; after a
        // gap (power off, pause, a slow start) it plays on from now.
        auto now = std::chrono::steady_clock::now();
        if (now > start + std::chrono::duration<double>(played + 0.05))
            start = now - std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                              std::chrono::duration<double>(played));
        played += 512.0 / (rate > 0 ? rate : 44100);
        std::this_thread::sleep_until(start + std::chrono::duration<double>(played));
    }
    close(fd);
    bool ok = wav.finish();
    std::fclose(out);
    std::fprintf(stderr, "pipd-sink: recorded %.1f s into %s\n",
                 static_cast<double>(wav.frames()) / (wav.rate() > 0 ? wav.rate() : 44100),
                 argv[1]);
    return ok ? 0 : 1;
}
