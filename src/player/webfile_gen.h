// Status records on the status pipe and the queue report file.
#pragma once

#include <cstddef>

namespace pipd {

inline constexpr std::size_t STATUS_SIZE = 2048;

extern int statusfd;
extern char status_data[STATUS_SIZE];

int init_status_fifo();
void webfile_genstatus();
void webfile_genqueue();
// From now on status records are still built but never written, and the
// status pipe is never opened (tools that play without a daemon).
void status_fifo_detach();

} // namespace pipd
