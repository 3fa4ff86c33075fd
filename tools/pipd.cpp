// pipd: the player daemon. Configuration is fixed at build time.

#include <csignal>
#include <cstdio>
#include <cstring>

#include "core/paths.h"
#include "player/playtask.h"

int main(int argc, char **argv) {
    if (argc > 1) {
        if (std::strcmp(argv[1], "--version") == 0) {
            std::printf("pipd %s\n", PIPD_VERSION_TEXT);
            return 0;
        }
        if (std::strcmp(argv[1], "--help") == 0) {
            std::printf("usage: pipd [--version | --help]\n"
                        "\n"
                        "Headless music player daemon. It takes no options: it scans %s for\n"
                        "music, plays it as PCM packets into %s, takes 4-byte\n"
                        "command words from %s and reports its state on\n"
                        "%s and in %s.\n"
                        "It starts powered off and plays nothing until a power-on command.\n",
                        pipd::SCAN_ROOT, pipd::OUTPUT_FIFO_PATH, pipd::CMD_FIFO_PATH,
                        pipd::STATUS_FIFO_PATH, pipd::QUEUE_FILE_PATH);
            return 0;
        }
        std::fprintf(stderr, "pipd: unknown argument %s (try --help)\n", argv[1]);
        return 64;
    }
    // A sink or status reader that goes away must not end the daemon: the
    // failed write is handled where it happens.
    std::signal(SIGPIPE, SIG_IGN);
    // Traces are read live by whoever watches the daemon.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    pipd::playtask();
}
