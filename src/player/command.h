// Command channel: 4-byte command words from the command pipe (opened and
// waited on through core/fifos.h), applied to the player state.
#pragma once

#include <cstdint>

#include "core/fifos.h"

namespace pipd {

// One non-blocking read of a command word, applied when whole.
int check_cmd_fifo();
// Applies every whole word waiting in the pipe, in order (at most a pipe's
// worth, so a client that never stops writing cannot hold the caller); how many.
int take_cmd_words();
void checkcmd(int32_t word);
// The decoder's poll (the codec record's ci_get_command): reads a waiting
// command word, then says what the decoder must do.
int ci_get_command(int32_t *param);

} // namespace pipd
