#include "host/player_main.h"

#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <unistd.h>

#include "codecs/codecs.h"
#include "host/buffer.h"
#include "host/codec_api.h"
#include "host/diag.h"
#include "host/outudp.h"
#include "host/platform.h"
#include "player/queue.h"
#include "player/state.h"

namespace pipd {

namespace {

using codec_run = int (*)();

// The decoder of each file type; none for types that are never played.
codec_run decoder_for(int type) {
    switch (type) {
    case FILETYPE_WAV:
        return wav_codec_run;
    case FILETYPE_APE:
        return ape_codec_run;
    case FILETYPE_FLAC:
        return flac_codec_run;
    case FILETYPE_MP3:
        return mp3_codec_run;
    case FILETYPE_DSF:
        return dsf_codec_run;
    case FILETYPE_ISO:
        return sacd_codec_run;
    case FILETYPE_DFF:
        return dff_codec_run;
    default:
        return nullptr;
    }
}

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

track_outcome outcome = {false, 0, false};

} // namespace

track_outcome last_track_outcome() {
    return outcome;
}

int player_main(const char *path) {
    outcome = {false, 0, false};
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
    while (got < static_cast<uint32_t>(INPUT_WINDOW_SIZE)) {
        ssize_t r = read(file.get(), bufinfo.buf + got, INPUT_WINDOW_SIZE - got);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        got += static_cast<uint32_t>(r);
    }
    if (got < static_cast<uint32_t>(INPUT_WINDOW_SIZE)) return -1;

    bufinfo.bufsize = got;
    bufinfo.fpos += got;
    bufinfo.cur = bufinfo.buf;
    diag("the filetype = %d\n", type);
    playstat.name = path;
    playstat.elapsed = 0;

    int64_t start = pl_time();
    if (codec_run run = decoder_for(type)) {
        isplayiso = type == FILETYPE_ISO ? 1 : 0;
        outcome.decoder_result = run();
        outcome.decoder_ran = true;
        isplayiso = 0;
    }

    diag_puts("++++++++finish play song");
    outcome.rate_refused = output_refused();
    flash_outfifo();
    bufinfo.fd = -1;

    int64_t seconds = pl_time() - start;
    diag("++++++++the decoder time is %llds\n", static_cast<long long>(seconds));
    return seconds >= 10 ? 0 : -1;
}

} // namespace pipd
