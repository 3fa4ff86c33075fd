// Test harness: the real pipd daemon in the build's private tree, with the
// test playing the audio sink and the client on real named pipes.
#pragma once

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "core/paths.h"
#include "host/outudp.h"
#include "support/run_tool.h"
#include "support/wav_writer.h"

namespace pipd::testing {

// Tone files whose every frame tells which file and which frame it is:
// left = id * 1000 + frame % 500, right = frame / 500 + 1.
inline int16_t tone_left(int id, uint32_t frame) {
    return static_cast<int16_t>(id * 1000 + frame % 500);
}
inline int16_t tone_right(uint32_t frame) {
    return static_cast<int16_t>(frame / 500 + 1);
}

inline bool write_tone_wav(const std::string &path, int id, uint32_t frames,
                           uint32_t rate = 44100) {
    bytes pcm;
    pcm.reserve(frames * 4);
    for (uint32_t i = 0; i < frames; ++i) {
        int16_t l = tone_left(id, i);
        put_le(pcm, static_cast<uint16_t>(l), 2);
        put_le(pcm, static_cast<uint16_t>(tone_right(i)), 2);
    }
    fmt_fields f;
    f.rate = rate;
    return WavWriter().fmt(f).data(pcm).write(path);
}

// A packet as the sink sees it, read back to what played: the file id and
// frame of its first frame, or nothing for silence or foreign samples.
struct packet_view {
    std::vector<int32_t> words;
    int32_t rate_code() const { return words[1]; }
    uint32_t magic() const { return static_cast<uint32_t>(words[0]); }
    // Channel 0 of frame k (the pipe carries channel 1 first).
    int32_t left(int k) const { return words[PACKET_HEADER_WORDS + 2 * k + 1]; }
    int32_t right(int k) const { return words[PACKET_HEADER_WORDS + 2 * k]; }
    // File id and frame number of frame k, when it is a tone frame.
    std::optional<std::pair<int, uint32_t>> frame(int k) const {
        int32_t l = left(k), r = right(k);
        if (l <= 0 || l % 256 != 0 || r <= 0 || r % 256 != 0) return std::nullopt;
        l /= 256;
        r /= 256;
        if (l % 1000 >= 500) return std::nullopt;
        return std::make_pair(l / 1000, static_cast<uint32_t>((r - 1) * 500 + l % 1000));
    }
    std::optional<std::pair<int, uint32_t>> first_frame() const { return frame(0); }
    int id() const {
        auto f = first_frame();
        return f ? f->first : 0;
    }
    uint32_t position() const {
        auto f = first_frame();
        return f ? f->second : 0;
    }
    // All 512 frames continue the tone of one file (a full packet of audio).
    bool is_tone_run() const {
        auto f = first_frame();
        if (!f) return false;
        for (int k = 1; k < 512; ++k) {
            auto g = frame(k);
            if (!g || g->first != f->first || g->second != f->second + static_cast<uint32_t>(k))
                return false;
        }
        return true;
    }
};

class Daemon {
  public:
    Daemon() : root_(ROOT_PREFIX) {}
    ~Daemon() { stop(); }
    Daemon(const Daemon &) = delete;
    Daemon &operator=(const Daemon &) = delete;

    static std::string media(const std::string &rel) { return std::string(SCAN_ROOT) + "/" + rel; }

    // Fresh pipes, nothing else touched.
    static void make_pipes() {
        std::filesystem::create_directories(std::string(ROOT_PREFIX) + "/tmp");
        for (const char *p : {CMD_FIFO_PATH, STATUS_FIFO_PATH, OUTPUT_FIFO_PATH}) {
            unlink(p);
            mkfifo(p, 0600);
        }
        unlink(QUEUE_FILE_PATH);
    }

    // The ends of the pipes that the test holds (the command pipe always).
    enum ends { TEST_IS_SINK = 1, TEST_READS_STATUS = 2 };

    // Starts the daemon with the test's ends of the pipes already open.
    bool start(int test_ends = TEST_IS_SINK | TEST_READS_STATUS) {
        signal(SIGPIPE, SIG_IGN);
        if (test_ends & TEST_READS_STATUS)
            status_fd_ = open(STATUS_FIFO_PATH, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        open_cmd();
        if (test_ends & TEST_IS_SINK) open_sink();
        log_path_ = root_ + "/tmp/pipd.log";
        return daemon_.start(std::string(PIPD_BINARY_DIR) + "/pipd", {}, log_path_, log_path_);
    }

    void stop() {
        daemon_.kill_now();
        for (int *fd : {&status_fd_, &cmd_fd_, &sink_fd_})
            if (*fd >= 0) close(*fd), *fd = -1;
    }

    bool alive() { return daemon_.running(); }

    void open_cmd() {
        if (cmd_fd_ < 0) cmd_fd_ = open(CMD_FIFO_PATH, O_RDWR | O_NONBLOCK | O_CLOEXEC);
    }
    void open_sink() {
        if (sink_fd_ < 0) sink_fd_ = open(OUTPUT_FIFO_PATH, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    }
    void close_sink() {
        if (sink_fd_ >= 0) close(sink_fd_);
        sink_fd_ = -1;
        partial_.clear();
    }

    void send(int32_t word) {
        ssize_t n = write(cmd_fd_, &word, sizeof word);
        (void)n;
    }
    void send_bytes(const void *p, std::size_t n) {
        ssize_t r = write(cmd_fd_, p, n);
        (void)r;
    }

    // The next whole packet, or nothing within the timeout. Bytes of a packet
    // that has not fully arrived are kept for the next call.
    std::optional<packet_view> packet(int timeout_ms = 3000) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (partial_.size() < PACKET_BYTES) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline - std::chrono::steady_clock::now())
                            .count();
            if (left <= 0) return std::nullopt;
            pollfd pfd{sink_fd_, POLLIN, 0};
            if (poll(&pfd, 1, static_cast<int>(std::min<long>(left, 100))) <= 0) continue;
            char buf[PACKET_BYTES];
            ssize_t n = read(sink_fd_, buf, PACKET_BYTES - partial_.size());
            if (n > 0)
                partial_.insert(partial_.end(), buf, buf + n);
            else if (n == 0)
                usleep(10000); // no writer at the moment
        }
        packet_view p;
        p.words.resize(PACKET_WORDS);
        std::memcpy(p.words.data(), partial_.data(), PACKET_BYTES);
        partial_.clear();
        return p;
    }

    // Reads packets until one holds a full run of the tone of file id (at
    // most limit packets); that packet, or nothing.
    std::optional<packet_view> until_playing(int id, int limit = 400) {
        for (int i = 0; i < limit; ++i) {
            auto p = packet();
            if (!p) return std::nullopt;
            if (p->is_tone_run() && p->id() == id) return p;
        }
        return std::nullopt;
    }
    // Reads packets until the tone of another file than id runs; its id.
    int until_other_than(int id, int limit = 400) {
        for (int i = 0; i < limit; ++i) {
            auto p = packet();
            if (!p) return -1;
            if (p->is_tone_run() && p->id() != id) return p->id();
        }
        return -1;
    }
    // Reads whole packets until none comes for quiet_ms (at most limit).
    int drain(int quiet_ms, int limit = 200) {
        int n = 0;
        while (n < limit && packet(quiet_ms)) ++n;
        return n;
    }
    // True when nothing arrives for the given time (nothing is read).
    bool silent_for(int ms) {
        pollfd pfd{sink_fd_, POLLIN, 0};
        return poll(&pfd, 1, ms) == 0;
    }

    // The newest status record that arrived (the pipe is drained).
    std::string status() {
        std::string last;
        char block[2048];
        for (;;) {
            ssize_t n = read(status_fd_, block, sizeof block);
            if (n == static_cast<ssize_t>(sizeof block)) {
                last.assign(block, strnlen(block, sizeof block));
            } else if (n > 0) {
                continue; // never happens: records are written whole
            } else {
                break;
            }
        }
        return last;
    }
    // Waits until a status record contains needle. Records are written as
    // the daemon plays, so while none comes the sink takes a packet to let
    // it go on (the status pipe keeps only what fits, the oldest first).
    bool status_shows(const std::string &needle, int timeout_ms = 5000) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (std::chrono::steady_clock::now() < deadline) {
            std::string s = status();
            if (s.find(needle) != std::string::npos) return true;
            if (s.empty()) packet(50);
        }
        return false;
    }

    std::string log() const { return read_file(log_path_); }
    // Where the log shows needle from byte from on, waiting up to 10 s
    // (npos: not by then).
    std::size_t log_at(const std::string &needle, std::size_t from = 0) const {
        std::size_t at = std::string::npos;
        for (int i = 0; i < 1000 && (at = log().find(needle, from)) == std::string::npos; ++i)
            usleep(10000);
        return at;
    }

  private:
    std::string root_;
    std::string log_path_;
    Child daemon_;
    int status_fd_ = -1;
    int cmd_fd_ = -1;
    int sink_fd_ = -1;
    std::vector<char> partial_;
};

// The test tree of the end-to-end tests, in queue order: USB/A/a1.wav,
// USB/A/a2.wav, USB/B/b1.wav, USB/B/b2.wav and USB/C/album.wav with cue
// sheet album.cue; tone ids 1 to 5, frames each.
inline bool write_test_tree(uint32_t frames, const std::string &cue_sheet) {
    int id = 1;
    for (auto f :
         {"USB/A/a1.wav", "USB/A/a2.wav", "USB/B/b1.wav", "USB/B/b2.wav", "USB/C/album.wav"}) {
        std::filesystem::create_directories(std::filesystem::path(Daemon::media(f)).parent_path());
        if (!write_tone_wav(Daemon::media(f), id++, frames)) return false;
    }
    std::ofstream cue(Daemon::media("USB/C/album.cue"));
    cue << cue_sheet;
    return static_cast<bool>(cue);
}

} // namespace pipd::testing
