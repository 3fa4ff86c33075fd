// The three named pipes of the player and the modes they are made with: the
// daemon's user reads commands and writes the rest; its group (the clients
// and the sink) writes commands and reads the status and the PCM.
#pragma once

#include <array>
#include <sys/types.h>

#include "host/paths.h"

namespace pipd {

struct fifo_spec {
    const char *path;
    mode_t mode;
};

inline constexpr std::array<fifo_spec, 3> PLAYER_FIFOS{{
    {CMD_FIFO_PATH, 0620},
    {STATUS_FIFO_PATH, 0640},
    {OUTPUT_FIFO_PATH, 0640},
}};

// Makes each pipe that does not exist yet (normally the system has made
// them at boot); returns how many were made.
int make_missing_fifos();

} // namespace pipd
