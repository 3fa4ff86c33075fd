#include "host/codec_api.h"

#include <cstdlib>
#include <cstring>

#include "core/diag.h"
#include "core/fifos.h"
#include "core/state.h"
#include "host/outudp.h"
#include "host/resample.h"

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

codec_api *ci = nullptr;

int codec_next_action(int32_t *param) {
    int action = ci->ci_get_command(param);
    while (action == CODEC_ACTION_PAUSE) {
        wait_cmd_fifo(1);
        action = ci->ci_get_command(param);
    }
    return action;
}

} // namespace pipd
