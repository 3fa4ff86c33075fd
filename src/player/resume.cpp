#include "player/resume.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "core/diag.h"
#include "core/platform.h"
#include "core/queue.h"
#include "core/state.h"
#include "host/codec_api.h"
#include "player/playtask.h"

namespace pipd {

namespace {

// The file: a header line with the position and a checksum of position and
// path, then the path. Anything else (torn, foreign, another version) is
// not resumed from.
constexpr char RESUME_MAGIC[] = "pipd-resume 1";
constexpr std::size_t RESUME_FILE_MAX = PATH_SIZE + 64;

char file_name[PATH_SIZE + 16];
char written_path[PATH_SIZE]; // entry and position of the last write
uint32_t written_ms = 0;
bool written = false;
int64_t last_write_s = 0;

uint32_t checksum(uint32_t ms, const char *path, std::size_t n) {
    uint32_t h = 2166136261u; // FNV-1a over the position's bytes and the path
    for (int k = 0; k < 4; ++k) h = (h ^ ((ms >> (8 * k)) & 0xFF)) * 16777619u;
    for (std::size_t k = 0; k < n; ++k) h = (h ^ static_cast<unsigned char>(path[k])) * 16777619u;
    return h;
}

} // namespace

bool write_file_atomically(const char *path, const void *bytes, std::size_t n) {
    std::string target = path;
    std::size_t slash = target.rfind('/');
    std::string dir = slash == std::string::npos ? "" : target.substr(0, slash + 1);
    std::string tmp = dir + "." + target.substr(dir.size()) + ".tmp";
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    const auto *p = static_cast<const unsigned char *>(bytes);
    std::size_t done = 0;
    while (done < n) {
        ssize_t w = write(fd, p + done, n - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) break;
        done += static_cast<std::size_t>(w);
    }
    bool ok = done == n && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    if (!ok || std::rename(tmp.c_str(), path) != 0) {
        unlink(tmp.c_str());
        return false;
    }
    return true;
}

const char *resume_file_name() {
    std::string last = lastfilename;
    std::size_t slash = last.rfind('/');
    std::string name = (slash == std::string::npos ? "" : last.substr(0, slash + 1)) + "resume";
    std::snprintf(file_name, sizeof file_name, "%s", name.c_str());
    return file_name;
}

void resume_note(bool force) {
    if (isplayiso != 0 || !playstat.name || !playstat.name[0] || lastfilename[0] == '\0') return;
    const int64_t now = pl_time();
    if (!force && now - last_write_s < RESUME_SAVE_INTERVAL_S) return;
    const uint32_t ms = playstat.elapsed;
    const std::size_t n = strnlen(playstat.name, PATH_SIZE - 1);
    if (written && ms == written_ms && std::strncmp(written_path, playstat.name, PATH_SIZE) == 0)
        return;
    char record[RESUME_FILE_MAX];
    int len =
        std::snprintf(record, sizeof record, "%s %" PRIu32 " %08" PRIx32 "\n%.*s\n", RESUME_MAGIC,
                      ms, checksum(ms, playstat.name, n), static_cast<int>(n), playstat.name);
    last_write_s = now;
    if (len <= 0 || static_cast<std::size_t>(len) >= sizeof record) return;
    if (!write_file_atomically(resume_file_name(), record, static_cast<std::size_t>(len))) {
        diag("resume: can't write %s\n", file_name);
        return;
    }
    std::memcpy(written_path, playstat.name, n);
    written_path[n] = '\0';
    written_ms = ms;
    written = true;
}

void resume_track_started() {
    last_write_s = pl_time();
}

std::optional<uint32_t> resume_position(const char *path) {
    std::FILE *f = std::fopen(resume_file_name(), "rb");
    if (!f) return std::nullopt;
    char record[RESUME_FILE_MAX + 1];
    std::size_t got = std::fread(record, 1, RESUME_FILE_MAX + 1, f);
    std::fclose(f);
    if (got > RESUME_FILE_MAX || got == 0) return std::nullopt;
    record[got] = '\0';
    uint32_t ms = 0, sum = 0;
    int head = 0;
    constexpr std::size_t M = sizeof RESUME_MAGIC - 1;
    if (got <= M || std::memcmp(record, RESUME_MAGIC, M) != 0 || record[M] != ' ' ||
        std::sscanf(record + M, " %" SCNu32 " %8" SCNx32 "%n", &ms, &sum, &head) != 2 ||
        record[M + static_cast<std::size_t>(head)] != '\n') {
        diag("resume: %s is no resume file\n", file_name);
        return std::nullopt;
    }
    const char *saved = record + M + static_cast<std::size_t>(head) + 1;
    const char *end = static_cast<const char *>(
        std::memchr(saved, '\n', got - static_cast<std::size_t>(saved - record)));
    if (!end || end + 1 != record + got ||
        checksum(ms, saved, static_cast<std::size_t>(end - saved)) != sum) {
        diag("resume: %s is damaged\n", file_name);
        return std::nullopt;
    }
    const std::size_t n = static_cast<std::size_t>(end - saved);
    if (n != strnlen(path, PATH_SIZE) || std::memcmp(saved, path, n) != 0) return std::nullopt;
    return ms;
}

uint32_t resume_target(uint32_t saved_ms, const play_entry &entry) {
    uint32_t start = 0;
    const int32_t cues = entry.cues ? entry.cuecount : 0;
    for (int32_t k = 0; k < cues && entry.cues[k].offset <= saved_ms; ++k)
        start = entry.cues[k].offset;
    return saved_ms - start > RESUME_BACK_MS ? saved_ms - RESUME_BACK_MS : start;
}

void resume_reset() {
    written = false;
    written_ms = 0;
    written_path[0] = '\0';
    last_write_s = pl_time();
}

} // namespace pipd
