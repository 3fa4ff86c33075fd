// pipd-ctl: a minimal client. Sends command words to the daemon and shows
// its status records.

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <thread>
#include <unistd.h>

#include "host/paths.h"
#include "player/state.h"

namespace {

const char usage_text[] =
    "usage: pipd-ctl send COMMAND...\n"
    "       pipd-ctl watch [SECONDS]\n"
    "\n"
    "send writes one command word per COMMAND into the command pipe:\n"
    "  power-on, power-off, pause (toggles), next, prev, repeat, next-dir, prev-dir,\n"
    "  goto:ENTRY or goto:ENTRY:CUE (queue jump), or a number (0x40000001).\n"
    "watch reads the status pipe and prints a line whenever the state, the track\n"
    "or the elapsed second changes, for SECONDS seconds (forever without).\n";

struct named {
    const char *name;
    int32_t word;
};
constexpr named commands[] = {
    {"power-on", pipd::PLAYER_ACTION_POWER_ON}, {"power-off", pipd::PLAYER_ACTION_POWER_OFF},
    {"pause", pipd::PLAYER_ACTION_PAUSE},       {"next", pipd::PLAYER_ACTION_NEXT},
    {"prev", pipd::PLAYER_ACTION_PREV},         {"repeat", pipd::PLAYER_ACTION_REPEAT},
    {"next-dir", pipd::PLAYER_ACTION_NEXT_DIR}, {"prev-dir", pipd::PLAYER_ACTION_PREV_DIR},
};

bool parse_command(const char *text, int32_t *word) {
    for (const auto &c : commands)
        if (std::strcmp(text, c.name) == 0) return *word = c.word, true;
    char *end = nullptr;
    if (std::strncmp(text, "goto:", 5) == 0) {
        long entry = std::strtol(text + 5, &end, 10);
        long cue = 0;
        if (*end == ':') cue = std::strtol(end + 1, &end, 10);
        if (*end || entry < 0 || entry >= 2048 || cue < 0 || cue > 127) return false;
        *word = static_cast<int32_t>((entry << 7) | cue);
        return true;
    }
    unsigned long v = std::strtoul(text, &end, 0);
    if (*text == '\0' || *end || v > 0xFFFFFFFFul) return false;
    *word = static_cast<int32_t>(static_cast<uint32_t>(v));
    return true;
}

// The value of "key":"value" in a status text.
std::string field(const std::string &json, const std::string &key) {
    std::string k = "\"" + key + "\":\"";
    std::size_t at = json.find(k);
    if (at == std::string::npos) return "";
    at += k.size();
    std::size_t end = json.find('"', at);
    while (end != std::string::npos && json[end - 1] == '\\') end = json.find('"', end + 1);
    return json.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

int watch(double seconds) {
    int fd = open(pipd::STATUS_FIFO_PATH, O_RDONLY | O_NONBLOCK);
    if (fd < 0) {
        std::perror("pipd-ctl: status pipe");
        return 1;
    }
    auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    std::string shown;
    char block[2048];
    while (seconds <= 0 || std::chrono::steady_clock::now() < until) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 200) <= 0) continue;
        ssize_t n = read(fd, block, sizeof block);
        if (n <= 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            continue;
        }
        std::string json(block, strnlen(block, static_cast<std::size_t>(n)));
        long els = std::strtol(field(json, "els").c_str(), nullptr, 10);
        std::string line = field(json, "status") + "  repeat " + field(json, "repeat") + "  " +
                           std::to_string(els / 1000) + " s  " + field(json, "track");
        if (line != shown) {
            std::printf("status: %s\n", line.c_str());
            std::fflush(stdout);
            shown = line;
        }
    }
    close(fd);
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    if (argc >= 2 && std::strcmp(argv[1], "watch") == 0 && argc <= 3)
        return watch(argc == 3 ? std::atof(argv[2]) : 0);
    if (argc >= 3 && std::strcmp(argv[1], "send") == 0) {
        int fd = open(pipd::CMD_FIFO_PATH, O_WRONLY | O_NONBLOCK);
        if (fd < 0) {
            std::perror("pipd-ctl: command pipe (is the daemon running?)");
            return 1;
        }
        for (int i = 2; i < argc; ++i) {
            int32_t word;
            if (!parse_command(argv[i], &word)) {
                std::fprintf(stderr, "pipd-ctl: unknown command %s\n\n%s", argv[i], usage_text);
                close(fd);
                return 64;
            }
            // One whole word per write: the pipe keeps it in one piece.
            if (write(fd, &word, sizeof word) != static_cast<ssize_t>(sizeof word)) {
                std::perror("pipd-ctl: write");
                close(fd);
                return 1;
            }
        }
        close(fd);
        return 0;
    }
    std::fputs(usage_text, argc >= 2 && std::strcmp(argv[1], "--help") == 0 ? stdout : stderr);
    return argc >= 2 && std::strcmp(argv[1], "--help") == 0 ? 0 : 64;
}
