// Track runner: plays one file through the decoder of its type.
#pragma once

#include <cstdint>

#include "host/codec_api.h"

namespace pipd {

// The record every decoder reaches the host through: the host's operations
// and the player's answer to the decoder's poll for commands.
extern codec_api cim;

// 0 when the decoder ran for 10 seconds or more, -1 otherwise (also when the
// file cannot be opened, is shorter than the first window, or has no decoder).
int player_main(const char *path);

// What the last player_main call did (for tools): whether a decoder ran,
// what it returned, and whether the output refused the stream's rate.
struct track_outcome {
    bool decoder_ran;
    int decoder_result;
    bool rate_refused;
    bool produced_audio; // the decoder handed over samples the output took
};
track_outcome last_track_outcome();

} // namespace pipd
