#include "host/fifos.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>

#include "host/diag.h"

namespace pipd {

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

} // namespace pipd
