// The three named pipes of the player and the modes they are made with: the
// daemon's user reads commands and writes the rest; its group (the clients
// and the sink) writes commands and reads the status and the PCM.
#pragma once

#include <array>
#include <sys/types.h>

#include "core/paths.h"

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

// The command pipe, read by the daemon without blocking; -1 before it is open.
extern int cmd_fd;
int open_cmd_fifo();
// Waits up to secs for a command word to arrive; true when one may be there.
bool wait_cmd_fifo(unsigned secs);

} // namespace pipd
