#include "player/webfile_gen.h"
#include "core/utf8.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "core/paths.h"
#include "core/state.h"
#include "host/codec_api.h"
#include "player/scan.h"

namespace pipd {

int statusfd = -1;
char status_data[STATUS_SIZE];

// Length of the well-formed UTF-8 sequence at s (n bytes available, n > 0),
// 0 when the bytes there do not form one (stray continuation byte, overlong
// form, surrogate, beyond U+10FFFF, cut short).
namespace {

constexpr const char NO_MEDIA_TEXT[] = "No sd card,or no song";
constexpr const char STATUS_TAIL[] = "\" }";
constexpr std::size_t STATUS_TAIL_LEN = sizeof(STATUS_TAIL) - 1;
// The text may fill the record but for its terminating zero byte.
constexpr std::size_t STATUS_TEXT_MAX = STATUS_SIZE - 1;

// One piece of JSON string content: the encoding of one character of the
// source text, never split when the text has to be cut.
struct json_unit {
    char bytes[6];
    std::size_t size;     // bytes of JSON text
    std::size_t consumed; // bytes of source text
};

json_unit next_json_unit(const unsigned char *s, std::size_t n) {
    static constexpr char hex[] = "0123456789abcdef";
    json_unit u{};
    unsigned char b = s[0];
    u.consumed = 1;
    auto escape = [&u](char c) {
        u.bytes[0] = '\\';
        u.bytes[1] = c;
        u.size = 2;
    };
    switch (b) {
    case '"':
        escape('"');
        return u;
    case '\\':
        escape('\\');
        return u;
    case '\n':
        escape('n');
        return u;
    case '\t':
        escape('t');
        return u;
    case '\r':
        escape('r');
        return u;
    case '\b':
        escape('b');
        return u;
    case '\f':
        escape('f');
        return u;
    default:
        break;
    }
    if (b < 0x20) {
        std::memcpy(u.bytes, "\\u00", 4);
        u.bytes[4] = hex[b >> 4];
        u.bytes[5] = hex[b & 0xF];
        u.size = 6;
        return u;
    }
    std::size_t len = utf8_sequence_length(s, n);
    if (len == 0) {
        // Each byte that does not belong to a well-formed sequence becomes
        // U+FFFD, so the text stays valid UTF-8 for the client.
        std::memcpy(u.bytes, "\xEF\xBF\xBD", 3);
        u.size = 3;
        return u;
    }
    std::memcpy(u.bytes, s, len);
    u.size = len;
    u.consumed = len;
    return u;
}

// Appends the n bytes of text as JSON string content through put(bytes,
// size), which returns false when they do not fit; stops before the first
// character that does not fit, so that the output ends on a whole escape and
// a whole UTF-8 sequence. Returns false when it had to stop.
template <class Put> bool put_json_text(const char *text, std::size_t n, Put &&put) {
    const auto *s = reinterpret_cast<const unsigned char *>(text);
    std::size_t i = 0;
    while (i < n) {
        json_unit u = next_json_unit(s + i, n - i);
        if (!put(u.bytes, u.size)) return false;
        i += u.consumed;
    }
    return true;
}

// Text of a fixed-size field, which may lack its terminating zero.
std::size_t field_length(const char *field, std::size_t size) {
    return strnlen(field, size);
}

// The entry at plcnt, or null when there is none.
const play_entry *current_entry() {
    if (!plinfo.entries || plcnt < 0 || plcnt >= plinfo.count || plcnt >= PLAYLIST_MAX)
        return nullptr;
    return &plinfo.entries[plcnt];
}

// An entry's path as the client sees it, with its length.
struct text_span {
    const char *text;
    std::size_t size;
};
// client_path() looks at no more than the prefix and one byte after it, all
// inside the field, so it is safe on a field without a terminating zero.
static_assert(ROOT_PREFIX_LEN + 1 < PATH_SIZE);
text_span client_path_of(const play_entry &e) {
    std::size_t len = field_length(e.path, PATH_SIZE);
    const char *p = client_path(e.path);
    return {p, len - static_cast<std::size_t>(p - e.path)};
}

// Writes into a fixed region of the record; refuses what would pass limit.
struct bounded_writer {
    char *buf;
    std::size_t used;
    std::size_t limit;
    bool operator()(const char *bytes, std::size_t size) {
        if (size > limit - used) return false;
        std::memcpy(buf + used, bytes, size);
        used += size;
        return true;
    }
};

struct file_writer {
    std::FILE *out;
    bool operator()(const char *bytes, std::size_t size) const {
        return std::fwrite(bytes, 1, size, out) == size;
    }
};

struct file_closer {
    void operator()(std::FILE *f) const { std::fclose(f); }
};
using file_ptr = std::unique_ptr<std::FILE, file_closer>;

// Removes the temporary queue file unless it was renamed into place.
struct temp_file_guard {
    std::string path;
    bool keep = false;
    ~temp_file_guard() {
        if (!keep) unlink(path.c_str());
    }
};

} // namespace

std::size_t build_status_record(char *record) {
    std::memset(record, 0, STATUS_SIZE);
    const char *status = poweron == 0                      ? "poweroff"
                         : plaction == PLAYER_ACTION_PAUSE ? "pause"
                                                           : "play";
    int head = std::snprintf(record, STATUS_SIZE,
                             "{ \"status\":\"%s\",\"playqueueCount\":\"%d\","
                             "\"length\":\"%d\",\"frequency\":\"%d\",\"bps\":\"%d\","
                             "\"channel\":\"%d\",\"els\":\"%d\",\"randid\":\"%d\","
                             "\"ver\":\"%d.%03d\","
                             "\"repeat\":\"%d\","
                             "\"roundplay\":\"on\","
                             "\"track\":\"",
                             status, plinfo.count, playstat.length, playstat.frequency,
                             playstat.bps, playstat.channel, static_cast<int32_t>(playstat.elapsed),
                             myrandid, 1, 3, repeatmode);
    // The head is a few hundred bytes at most; the clamp only keeps the
    // arithmetic below safe.
    std::size_t used = std::min<std::size_t>(head < 0 ? 0 : static_cast<std::size_t>(head),
                                             STATUS_TEXT_MAX - STATUS_TAIL_LEN);

    // The track text gets what is left once the closing quote and brace are
    // reserved; a text too long for it is cut before the first character
    // that does not fit whole.
    bounded_writer w{record, used, STATUS_TEXT_MAX - STATUS_TAIL_LEN};
    if (filesystem_init == 0) {
        put_json_text(NO_MEDIA_TEXT, sizeof(NO_MEDIA_TEXT) - 1, w);
    } else if (const play_entry *e = current_entry()) {
        text_span path = client_path_of(*e);
        bool whole = put_json_text(path.text, path.size, w);
        if (whole && isplayiso) {
            const char *title = iso_psong ? iso_psong : "";
            whole = w(" >", 2) && put_json_text(title, std::strlen(title), w);
        }
    }
    std::memcpy(record + w.used, STATUS_TAIL, STATUS_TAIL_LEN);
    return w.used + STATUS_TAIL_LEN;
}

namespace {
bool status_detached = false;
} // namespace

void status_fifo_detach() {
    status_detached = true;
    if (statusfd >= 0) close(statusfd);
    statusfd = -1;
}

int init_status_fifo() {
    if (statusfd >= 0) close(statusfd);
    statusfd = open(STATUS_FIFO_PATH, O_WRONLY | O_NONBLOCK);
    return statusfd;
}

void webfile_genstatus() {
    build_status_record(status_data);
    if (status_detached) return;
    // Opening fails with ENXIO while nobody reads the pipe; every record
    // tries again, and is lost until a reader comes.
    if (statusfd < 0) statusfd = open(STATUS_FIFO_PATH, O_WRONLY | O_NONBLOCK);
    if (statusfd < 0) return;
    // One write of the whole record. 2048 bytes are below PIPE_BUF, so the
    // pipe takes all of it or nothing (a full pipe loses the record).
    ssize_t n = write(statusfd, status_data, STATUS_SIZE);
    if (n < 0 && errno == EPIPE) {
        // The reader went away (the daemon ignores SIGPIPE). Writing on
        // would fail forever even after a new reader opens the pipe, so let
        // go of it and open it again for a later record.
        close(statusfd);
        statusfd = -1;
    }
}

bool write_queue_report(std::FILE *out) {
    file_writer put{out};
    char number[48];
    auto put_text = [&put](const char *text) { return put(text, std::strlen(text)); };
    bool ok = put_text("[");
    int32_t count = plinfo.entries ? std::clamp<int32_t>(plinfo.count, 0, PLAYLIST_MAX) : 0;
    for (int32_t i = 0; i < count && ok; ++i) {
        const play_entry &e = plinfo.entries[i];
        if (i > 0) ok = ok && put_text(",");
        ok = ok && put_text("{");
        if (e.cuecount > 0 && e.cues) {
            ok = ok && put_text("\"cue\":[");
            for (int32_t k = 0; k < e.cuecount && ok; ++k) {
                const cue_item &c = e.cues[k];
                ok = put_text(k > 0 ? ",\"" : "\"") &&
                     put_json_text(c.title, field_length(c.title, sizeof(c.title)), put) &&
                     put_text("\"");
            }
            ok = ok && put_text("],\"cueoffset\":[");
            for (int32_t k = 0; k < e.cuecount && ok; ++k) {
                std::snprintf(number, sizeof(number), "%s\"%d\"", k > 0 ? "," : "",
                              static_cast<int32_t>(e.cues[k].offset));
                ok = put_text(number);
            }
            ok = ok && put_text("],");
        }
        std::snprintf(number, sizeof(number), "\"count\":\"%d\",\"title\":\"", i << 7);
        text_span path = client_path_of(e);
        ok = ok && put_text(number) && put_json_text(path.text, path.size, put) && put_text("\"}");
    }
    ok = ok && put_text("]");
    return ok && !std::ferror(out);
}

void webfile_genqueue() {
    // The report is written beside the queue file and renamed over it, so a
    // client reads either the old queue or the new one, never a part; when
    // anything fails the old file stays and the temporary one is removed.
    temp_file_guard temp{std::string(QUEUE_FILE_PATH) + ".XXXXXX"};
    int fd = mkstemp(temp.path.data());
    if (fd < 0) return;
    // mkstemp makes the file private; the client only needs to read it.
    fchmod(fd, 0644);
    file_ptr out(fdopen(fd, "w"));
    if (!out) {
        close(fd);
        return;
    }
    bool ok = write_queue_report(out.get());
    ok = std::fclose(out.release()) == 0 && ok;
    if (ok && std::rename(temp.path.c_str(), QUEUE_FILE_PATH) == 0) temp.keep = true;
}

} // namespace pipd
