// One fuzz input played through the player, with bounds on its work.
#pragma once

#include <cstddef>
#include <cstdint>

#include "codecs/dsd/dsd2pcm.h"
#include "core/diag.h"
#include "core/platform.h"
#include "core/state.h"
#include "host/codec_api.h"
#include "host/outudp.h"
#include "player/command.h"
#include "player/player_main.h"
#include "player/webfile_gen.h"

namespace pipd::fuzz {

inline constexpr std::size_t MIN_FILE = 131072;

// Bounds on the work of one input, past which the track is stopped through
// the halt path a queue jump takes, as the decoder meets it at its next
// command poll: a header that claims far more than the input holds (blocks
// of a million samples decoded from the zero padding) would otherwise make
// one input cost seconds. frame_cap counts the frames handed to the output;
// poll_cap the decoder's command polls, one before each block it decodes,
// also the blocks a seek decodes to skip them.
inline int64_t frame_cap = INT64_MAX;
inline int64_t poll_cap = INT64_MAX;
inline int64_t frames_out = 0;
inline int64_t polls = 0;

inline int capped_insert(const int32_t *first, const int32_t *second, int count) {
    const int r = ci_pcmbuf_insert(first, second, count);
    if (count > 0) frames_out += count;
    if (frames_out >= frame_cap) plaction = PLAYER_ACTION_GOTO;
    return r;
}

inline int capped_command(int32_t *param) {
    if (++polls > poll_cap) plaction = PLAYER_ACTION_GOTO;
    return ci_get_command(param);
}

inline void prepare_player(int64_t frames, int64_t command_polls) {
    frame_cap = frames;
    poll_cap = command_polls;
    cim.ci_pcmbuf_insert = capped_insert;
    cim.ci_get_command = capped_command;
    diag_set_stream(nullptr);
    dsd2pcm_init();
    status_fifo_detach();
    outfifo_set_sink([](const int32_t *, std::size_t, int) {});
    static const platform_ops ops = {[] { return int64_t{0}; }, [](unsigned) {}, [](unsigned) {},
                                     [] { return 0; }};
    platform_set(&ops);
}

// Plays path with the control byte's pending seek; returns the decoder's
// result.
inline int play(const char *path, uint8_t control) {
    reset_player_state();
    outfifo_reset();
    poweron = 1;
    plaction = PLAYER_ACTION_NONE;
    ploffset = (control & 1) ? static_cast<int32_t>(control >> 1) * 97 : -1;
    playstat_reset(path);
    frames_out = 0;
    polls = 0;
    player_main(path);
    return last_track_outcome().decoder_result;
}

} // namespace pipd::fuzz
