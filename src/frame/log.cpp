// log.cpp - the channel log and the library-wide raw trace. Every write goes
// straight to the file, unbuffered; write errors never change a result.
#include "frame/log.h"

#include <cstdarg>

#include "platform/platform.h"

namespace zub {

int32_t StringLength(const char *text) {
    if (!text) return 0;
    int32_t n = 0;
    while (n < 8192 && text[n]) ++n;
    return n;
}

void LogWrite(ChannelRecord *rec, const char *fmt, ...) {
    if (!rec || rec->LogFile == 0) return;
    va_list ap;
    va_start(ap, fmt);
    zp_vformat(rec->LogLine, fmt, ap);
    va_end(ap);
    zp_file_write(rec->LogFile, rec->LogLine, static_cast<uint32_t>(StringLength(rec->LogLine)));
}

void LogText(ChannelRecord *rec, const char *text) {
    if (!rec || rec->LogFile == 0) return;
    zp_file_write(rec->LogFile, text, static_cast<uint32_t>(StringLength(text)));
}

void TraceWrite(const char *fmt, ...) {
    if (TraceFile == 0) return;
    char line[ZP_FORMAT_MAX];
    va_list ap;
    va_start(ap, fmt);
    int n = zp_vformat(line, fmt, ap);
    va_end(ap);
    zp_file_write(TraceFile, line, static_cast<uint32_t>(n));
}

void TraceText(const char *text) {
    if (TraceFile == 0) return;
    zp_file_write(TraceFile, text, static_cast<uint32_t>(StringLength(text)));
}

}  // namespace zub
