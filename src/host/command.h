// Command channel: 4-byte command words from the command pipe.
#pragma once

#include <cstdint>

namespace pipd {

extern int cmd_fd;

int open_cmd_fifo();
// One non-blocking read of a command word, applied when whole.
int check_cmd_fifo();
void checkcmd(int32_t word);

} // namespace pipd
