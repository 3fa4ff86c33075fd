#include "host/codec_api.h"

#include <cstdlib>
#include <cstring>

#include "host/diag.h"
#include "host/outudp.h"
#include "host/resample.h"
#include "player/state.h"

namespace pipd {

play_status playstat = {nullptr, 0, 500, 16, 2, 44100};

void playstat_reset(const char *name) {
    playstat.frequency = 44100;
    playstat.bps = 16;
    playstat.elapsed = 0;
    playstat.length = 500;
    playstat.name = name;
    playstat.channel = 2;
}

void *ci_codec_get_buffer(size_t *size) {
    if (size) *size = 0;
    return nullptr;
}

void ci_set_elapsed(uint32_t ms) {
    playstat.elapsed = ms;
}

void ci_seek_complete() {
    ploffset = -1;
    // The stream goes on from elsewhere: the resampler starts afresh.
    resample_restart();
}

void ci_configure(int key, int32_t value) {
    switch (key) {
    case CODEC_CONFIG_BPS:
        playstat.bps = value;
        break;
    case CODEC_CONFIG_LENGTH:
        playstat.length = value;
        diag("len=%d\n", value);
        break;
    case CODEC_CONFIG_CHANNELS:
        playstat.channel = value;
        break;
    case CODEC_CONFIG_FREQUENCY: {
        playstat.frequency = value;
        // The DSD decoders report one bit per sample before their rate.
        if (const int32_t rate = output_start_stream(value, playstat.bps == 1))
            diag("freq = %d\n", rate);
        break;
    }
    default:
        break;
    }
}

bool ci_should_loop() {
    return false;
}
int ci_sleep(unsigned) {
    return 0;
}
void ci_yield() {}
void commit_dcache() {}
void commit_discard_dcache() {}
void commit_discard_idcache() {}

namespace {
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

codec_api *ci = nullptr;

} // namespace pipd
