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
// Formats in a buffer of its own and writes to TraceFile, when it is on.
void TraceWrite(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void TraceText(const char *text);
// Position of the first NUL, at most 8192.
int32_t StringLength(const char *text);

}  // namespace zub
