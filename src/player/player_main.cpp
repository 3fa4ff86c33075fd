#include "player/player_main.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "codecs/codecs.h"
#include "core/diag.h"
#include "core/platform.h"
#include "core/state.h"
#include "host/buffer.h"
#include "host/codec_api.h"
#include "host/outudp.h"
#include "player/command.h"
#include "player/scan.h"

namespace pipd {

namespace {

// Closes the descriptor when the track ends, whichever way it ends.
class file_handle {
  public:
    explicit file_handle(int fd) : fd_(fd) {}
    ~file_handle() {
        if (fd_ >= 0) close(fd_);
    }
    file_handle(const file_handle &) = delete;
    file_handle &operator=(const file_handle &) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

track_outcome outcome = {};

const void *std_memchr(const void *s, int c, size_t n) {
    return std::memchr(s, c, n);
}

} // namespace

codec_api cim = {
    0,
    0,
    -1,
    0,
    ci_codec_get_buffer,
    ci_pcmbuf_insert,
    ci_set_elapsed,
    ci_read_filebuf_raw,
    ci_getpos,
    ci_request_buffer_raw,
    ci_advance_buffer_raw,
    ci_seek_buffer_raw,
    ci_seek_complete,
    ci_set_offset,
    ci_configure,
    ci_get_command,
    ci_should_loop,
    ci_sleep,
    ci_yield,
    commit_dcache,
    commit_discard_dcache,
    commit_discard_idcache,
    std::strcpy,
    std::strlen,
    std::strcmp,
    std::strcat,
    std::memcpy,
    std::memmove,
    std::memcmp,
    std_memchr,
    std::qsort,
};

track_outcome last_track_outcome() {
    return outcome;
}

int player_main(const char *path) {
    outcome = {};
    cim.ci_read_filebuf_raw = ci_read_filebuf_raw;
    cim.ci_seek_buffer_raw = ci_seek_buffer_raw;
    cim.ci_advance_buffer_raw = ci_advance_buffer_raw;
    cim.ci_request_buffer_raw = ci_request_buffer_raw;
    ci = &cim;

    bufinfo_reset();
    if (!player_malloc()) return -1;

    file_handle file(open(path, O_RDONLY));
    if (file.get() < 0) {
        diag("can't open file %s\n", path);
        return -1;
    }
    off_t size = lseek(file.get(), 0, SEEK_END);
    if (size < 0) size = 0;
    // Slot 0 is a 32-bit word; a disc image over 4 GiB reads as 4 GiB - 1.
    cim.filesize = size > static_cast<off_t>(UINT32_MAX) ? UINT32_MAX : static_cast<uint32_t>(size);
    diag("filesize is %lld\n", static_cast<long long>(size));
    bufinfo.fd = file.get();
    lseek(file.get(), 0, SEEK_SET);

    int type = get_filetype(path);

    uint32_t got = 0;
    bool read_error = false;
    while (got < static_cast<uint32_t>(INPUT_WINDOW_SIZE)) {
        ssize_t r = read(file.get(), bufinfo.buf + got, INPUT_WINDOW_SIZE - got);
        if (r < 0 && errno == EINTR) continue;
        read_error = r < 0;
        if (r <= 0) break;
        got += static_cast<uint32_t>(r);
    }
    // A short file is played from a window that holds all of it.
    if (got == 0 || read_error) {
        diag("can't read file %s\n", path);
        return -1;
    }
    bufinfo.bufsize = got;
    bufinfo.fileend = got < static_cast<uint32_t>(INPUT_WINDOW_SIZE) ? 1 : 0;
    bufinfo.fpos += got;
    bufinfo.cur = bufinfo.buf;
    diag("the filetype = %d\n", type);
    playstat.name = path;
    playstat.elapsed = 0;

    int64_t start = pl_time();
    const uint64_t frames_before = output_frames_accepted();
    if (codec_run run = decoder_for(type)) {
        isplayiso = type == FILETYPE_ISO ? 1 : 0;
        outcome.decoder_result = run();
        outcome.decoder_ran = true;
        isplayiso = 0;
    }

    diag_puts("++++++++finish play song");
    outcome.rate_refused = output_refused();
    outcome.produced_audio = output_frames_accepted() != frames_before;
    // A play, however short, that the decoder ended without an error is a
    // success when it gave audio or when a command left it (a quick run of
    // "next"); power on halts a play that then starts again.
    const bool commanded = plaction != PLAYER_ACTION_NONE && plaction != PLAYER_ACTION_RESUME &&
                           plaction != PLAYER_ACTION_POWER_ON;
    const bool ran_well =
        outcome.decoder_ran && outcome.decoder_result >= 0 && !outcome.rate_refused;
    const bool played = ran_well && outcome.produced_audio;
    // At its natural end (no command left it) the stream is held open for a
    // gapless next track; every other end sends what is pending.
    output_end_track(played &&
                     (plaction == PLAYER_ACTION_NONE || plaction == PLAYER_ACTION_RESUME));
    bufinfo.fd = -1;

    int64_t seconds = pl_time() - start;
    diag("++++++++the decoder time is %llds\n", static_cast<long long>(seconds));
    return played || (ran_well && commanded) ? 0 : -1;
}

} // namespace pipd
