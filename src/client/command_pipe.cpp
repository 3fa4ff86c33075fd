#include "client/command_pipe.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace pipd::client {

command_write write_command_word(const char *path, int32_t word) {
    int fd = open(path, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return {command_write::not_opened, errno};
    // One whole word per write: the pipe keeps it in one piece.
    ssize_t n = write(fd, &word, sizeof word);
    int e = errno;
    close(fd);
    if (n != static_cast<ssize_t>(sizeof word)) return {command_write::not_written, e};
    return {};
}

} // namespace pipd::client
