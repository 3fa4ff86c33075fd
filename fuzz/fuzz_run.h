// One fuzz input played through the player: shared by the fuzz target and
// the regression test that replays the inputs that once failed.
#pragma once

#include <cstddef>
#include <cstdint>

#include "codecs/dsd/dsd2pcm.h"
#include "host/codec_api.h"
#include "core/diag.h"
#include "host/outudp.h"
#include "core/platform.h"
#include "player/player_main.h"
#include "core/state.h"
#include "player/webfile_gen.h"

namespace pipd::fuzz {

inline constexpr std::size_t MIN_FILE = 131072;

inline void prepare_player() {
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
    player_main(path);
    return last_track_outcome().decoder_result;
}

} // namespace pipd::fuzz
