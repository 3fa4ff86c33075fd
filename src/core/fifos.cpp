#include "core/fifos.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>

#include "core/diag.h"
#include "core/platform.h"

namespace pipd {

int cmd_fd = -1;

int make_missing_fifos() {
    int made = 0;
    for (const fifo_spec &f : PLAYER_FIFOS) {
        if (mkfifo(f.path, f.mode) != 0) {
            if (errno != EEXIST) diag("cannot make %s: %s\n", f.path, std::strerror(errno));
            continue;
        }
        // The mode as given, whatever the umask took away.
        chmod(f.path, f.mode);
        diag("made %s\n", f.path);
        ++made;
    }
    return made;
}

int open_cmd_fifo() {
    // Opened for writing too, so that the pipe never stands without a
    // writer: a waiting poll would otherwise return at once for good once
    // the first client has closed its end.
    cmd_fd = open(CMD_FIFO_PATH, O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (cmd_fd < 0) {
        diag_puts("#########################################");
        diag_puts("open_cmd_fifo error");
    }
    return cmd_fd;
}

bool wait_cmd_fifo(unsigned secs) {
    return pl_wait_readable(cmd_fd, secs);
}

} // namespace pipd
