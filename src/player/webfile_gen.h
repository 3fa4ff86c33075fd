// Status records on the status pipe and the queue report file.
#pragma once

#include <cstddef>
#include <cstdio>

#include "protocol/status.h"

namespace pipd {

extern int statusfd;
extern char status_data[STATUS_SIZE];

int init_status_fifo();
void webfile_genstatus();
void webfile_genqueue();
// From now on status records are still built but never written, and the
// status pipe is never opened (tools that play without a daemon).
void status_fifo_detach();

// Builds one status record into record (STATUS_SIZE bytes: the JSON text,
// then zero bytes up to the end) from the player state; returns the text's
// length, at most STATUS_SIZE - 1.
std::size_t build_status_record(char *record);
// Writes the queue report for the current queue to out; false when a write
// failed.
bool write_queue_report(std::FILE *out);

} // namespace pipd
