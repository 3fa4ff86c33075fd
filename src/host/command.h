// Command channel: 4-byte command words from the command pipe.
#pragma once

#include <cstdint>

namespace pipd {

extern int cmd_fd;

int open_cmd_fifo();
// One non-blocking read of a command word, applied when whole.
int check_cmd_fifo();
// Waits up to secs for a command word to arrive; true when one may be there.
bool wait_cmd_fifo(unsigned secs);
// Applies every whole word waiting in the pipe, in order (at most a pipe's
// worth, so a client that never stops writing cannot hold the caller); how many.
int take_cmd_words();
void checkcmd(int32_t word);

} // namespace pipd
