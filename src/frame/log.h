// log.h - the channel log and the library-wide raw trace.
#pragma once

#include <cstdint>

#include "frame/record.h"

namespace zub {

// Formats into the channel's LogLine and writes it to LogFile; does nothing
// (formats nothing) when the log is off.
void LogWrite(ChannelRecord *rec, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
// Writes a constant text with its own length, when the log is on.
void LogText(ChannelRecord *rec, const char *text);
// Formats in a buffer of its own and writes to TraceFile, when it is on;
// safe from any thread.
void TraceWrite(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void TraceText(const char *text);
// Opens path (created or truncated) as the channel's log and makes it the
// trace; a log the channel had is closed first. The handle, or -1 with the
// channel's log off.
int32_t OpenChannelLog(ChannelRecord *rec, const char *path);
// Closes a log handle (0: none). The trace stops when it went to that
// handle, or in any case when stopTrace.
void CloseLogHandle(int32_t h, bool stopTrace);
// Closes the channel's log, if any, and stops the trace.
void CloseChannelLog(ChannelRecord *rec);

}  // namespace zub
