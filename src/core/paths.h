// Fixed paths of the player, each behind the build-time prefix.
#pragma once

#include <cstring>

#include "pipd_config.h"

namespace pipd {

inline constexpr const char *ROOT_PREFIX = PIPD_ROOT_PREFIX;
inline constexpr const char *CMD_FIFO_PATH = PIPD_ROOT_PREFIX "/tmp/cmdfifo";
inline constexpr const char *STATUS_FIFO_PATH = PIPD_ROOT_PREFIX "/tmp/statusfifo";
inline constexpr const char *OUTPUT_FIFO_PATH = PIPD_ROOT_PREFIX "/tmp/outputfifo";
inline constexpr const char *QUEUE_FILE_PATH = PIPD_ROOT_PREFIX "/tmp/queue";
inline constexpr const char *SCAN_ROOT = PIPD_ROOT_PREFIX "/media/pi";
// Written by a running pipd-web: where local clients reach it.
inline constexpr const char *WEB_RUNTIME_PATH = PIPD_ROOT_PREFIX "/tmp/pipd-web";
// Written by a running pipd-sink: the outputs it plays to.
inline constexpr const char *SINK_STATUS_PATH = PIPD_ROOT_PREFIX "/tmp/pipd-sink";

inline constexpr std::size_t ROOT_PREFIX_LEN = sizeof(PIPD_ROOT_PREFIX) - 1;
inline constexpr std::size_t SCAN_ROOT_LEN = sizeof(PIPD_ROOT_PREFIX "/media/pi") - 1;

// The path as a client sees it: without the build-time prefix and without
// the leading '/', so that it begins with "media/pi/" on every build.
inline const char *client_path(const char *path) {
    if (ROOT_PREFIX_LEN > 0 && std::strncmp(path, ROOT_PREFIX, ROOT_PREFIX_LEN) == 0)
        path += ROOT_PREFIX_LEN;
    return *path ? path + 1 : path;
}

} // namespace pipd
