// log.cpp - the channel log and the library-wide raw trace. Every write goes
// straight to the file, unbuffered, one write per line; write errors never
// change a result.
//
// Divisions: channel log, trace lock, trace writes, opening and closing.
#include "frame/log.h"

#include <atomic>
#include <cstdarg>

#include "frame/text.h"
#include "platform/platform.h"

namespace zub {

// ---- channel log ----------------------------------------------------------------
// A channel's log is written only by the thread stepping that channel.
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

// ---- trace lock -------------------------------------------------------------------
namespace {

// Held while a trace line is written and while the trace handle is closed
// or replaced, so that no line goes to a handle that another thread has
// just closed (and that the system may already have handed out again). It
// is only ever held across one file write or close, so waiting spins.
std::atomic_flag gTraceLock = ATOMIC_FLAG_INIT;

class TraceLock {
public:
    TraceLock() {
        while (gTraceLock.test_and_set(std::memory_order_acquire)) zp_yield();
    }
    ~TraceLock() { gTraceLock.clear(std::memory_order_release); }
    TraceLock(const TraceLock &) = delete;
    TraceLock &operator=(const TraceLock &) = delete;
};

void WriteTrace(const char *text, uint32_t n) {
    TraceLock hold;
    const int32_t h = TraceFile.load(std::memory_order_relaxed);
    if (h != 0) zp_file_write(h, text, n);
}

}  // namespace

// ---- trace writes -----------------------------------------------------------------
// With the trace off (the usual case) a write costs one atomic load.
void TraceWrite(const char *fmt, ...) {
    if (TraceFile.load(std::memory_order_relaxed) == 0) return;
    char line[ZP_FORMAT_MAX];
    va_list ap;
    va_start(ap, fmt);
    int n = zp_vformat(line, fmt, ap);
    va_end(ap);
    WriteTrace(line, static_cast<uint32_t>(n));
}

void TraceText(const char *text) {
    if (TraceFile.load(std::memory_order_relaxed) == 0) return;
    WriteTrace(text, static_cast<uint32_t>(StringLength(text)));
}

// ---- opening and closing ----------------------------------------------------------
int32_t OpenChannelLog(ChannelRecord *rec, const char *path) {
    const int32_t h = path ? zp_file_create(path, ZP_ATTR_NORMAL) : -1;
    const int32_t old = rec->LogFile;
    rec->LogFile = h > 0 ? h : 0;
    TraceLock hold;
    if (old != 0) {
        if (TraceFile.load(std::memory_order_relaxed) == old) TraceFile.store(0, std::memory_order_relaxed);
        zp_file_close(old);
    }
    if (h <= 0) return -1;
    TraceFile.store(h, std::memory_order_relaxed);
    return h;
}

void CloseLogHandle(int32_t h, bool stopTrace) {
    if (h == 0) return;
    TraceLock hold;
    if (stopTrace || TraceFile.load(std::memory_order_relaxed) == h) TraceFile.store(0, std::memory_order_relaxed);
    zp_file_close(h);
}

void CloseChannelLog(ChannelRecord *rec) {
    const int32_t h = rec->LogFile;
    rec->LogFile = 0;
    CloseLogHandle(h, true);
}

}  // namespace zub
