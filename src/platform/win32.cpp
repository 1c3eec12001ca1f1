// win32.cpp - Win32 backend of the platform layer: everything but sockets.
//
// Divisions: system-call table, time and threads, the one lock, memory,
// files and directories, formatting. Sockets and the resolver live in
// win32_net.cpp. Every Windows call goes through ZP_OS (win32_sys.h).
#include <atomic>

#include "platform/win32_sys.h"

#include <cstring>

// ---- system-call table -----------------------------------------------------
namespace zp_win32 {

#define ZP_SYS_ENTRY(name)                                 \
    {#name, reinterpret_cast<zp_syscall_ptr>(&::name),     \
     reinterpret_cast<zp_syscall_ptr>(&::name)},
#define ZP_LOADED_ENTRY(name)                                      \
    {#name, reinterpret_cast<zp_syscall_ptr>(&zp_win32::name),     \
     reinterpret_cast<zp_syscall_ptr>(&zp_win32::name)},
SysEntry g_sys[kSysCount] = {ZP_WIN32_SYSCALLS(ZP_SYS_ENTRY) ZP_WIN32_LOADED_CALLS(ZP_LOADED_ENTRY)};
#undef ZP_LOADED_ENTRY
#undef ZP_SYS_ENTRY

static SysEntry *FindEntry(const char *name) {
    if (name == nullptr) return nullptr;
    for (SysEntry &e : g_sys) {
        if (std::strcmp(e.name, name) == 0) return &e;
    }
    return nullptr;
}

}  // namespace zp_win32

zp_syscall_ptr zp_os_syscall_get(const char *name) {
    zp_win32::SysEntry *e = zp_win32::FindEntry(name);
    return e != nullptr ? e->current : nullptr;
}

zp_syscall_ptr zp_os_syscall_set(const char *name, zp_syscall_ptr fn) {
    zp_win32::SysEntry *e = zp_win32::FindEntry(name);
    if (e == nullptr) return nullptr;
    zp_syscall_ptr previous = e->current;
    e->current = fn != nullptr ? fn : e->standard;
    return previous;
}

void zp_os_syscall_reset() {
    for (zp_win32::SysEntry &e : zp_win32::g_sys) e.current = e.standard;
}

// ---- time and threads --------------------------------------------------------
uint32_t zp_ticks_os() { return ZP_OS(GetTickCount)(); }

void zp_sleep_os(uint32_t ms) { ZP_OS(Sleep)(ms); }

void zp_yield() { ZP_OS(Sleep)(0); }

// ---- the one recursive lock ---------------------------------------------------
// A critical section may be re-entered by its owning thread, which is the
// recursion the engine relies on. Calls before create or after delete do
// nothing, so a release that runs twice cannot touch a dead section.
static CRITICAL_SECTION g_lock;
// Read by every thread that polls or closes a socket: atomic.
static std::atomic<bool> g_lock_live{false};

void zp_lock_create() {
    if (g_lock_live) return;
    ZP_OS(InitializeCriticalSection)(&g_lock);
    g_lock_live = true;
}

void zp_lock_enter() {
    if (g_lock_live) ZP_OS(EnterCriticalSection)(&g_lock);
}

void zp_lock_leave() {
    if (g_lock_live) ZP_OS(LeaveCriticalSection)(&g_lock);
}

void zp_lock_delete() {
    if (!g_lock_live) return;
    g_lock_live = false;
    ZP_OS(DeleteCriticalSection)(&g_lock);
}

// ---- memory ------------------------------------------------------------------
// Blocks are moveable global memory kept locked for their whole life;
// GlobalHandle finds the handle again from the locked address.
void *zp_alloc_zero_os(size_t size) {
    // A zero-byte moveable block is created discarded and cannot be locked.
    HGLOBAL h = ZP_OS(GlobalAlloc)(GMEM_MOVEABLE | GMEM_ZEROINIT, size != 0 ? size : 1);
    if (h == nullptr) return nullptr;
    void *p = ZP_OS(GlobalLock)(h);
    if (p == nullptr) ZP_OS(GlobalFree)(h);
    return p;
}

void zp_free(void *p) {
    if (p == nullptr) return;
    HGLOBAL h = ZP_OS(GlobalHandle)(p);
    if (h == nullptr) return;
    ZP_OS(GlobalUnlock)(h);
    ZP_OS(GlobalFree)(h);
}

// ---- files and directories ------------------------------------------------------
// HFILE is a 32-bit int on both word sizes. A handle that is not positive is
// never handed out nor passed on.
static int32_t FileResult(HFILE h) { return h > 0 ? h : -1; }

int32_t zp_file_create_os(const char *path, int attr) {
    if (path == nullptr) return -1;
    return FileResult(ZP_OS(_lcreat)(path, attr));
}

int32_t zp_file_open_os(const char *path, int mode) {
    if (path == nullptr) return -1;
    int access;
    switch (mode) {
    case ZP_OPEN_READ: access = OF_READ; break;
    case ZP_OPEN_WRITE: access = OF_WRITE; break;
    case ZP_OPEN_READWRITE: access = OF_READWRITE; break;
    default: return -1;
    }
    return FileResult(ZP_OS(_lopen)(path, access | OF_SHARE_DENY_WRITE));
}

// Counts above INT32_MAX could not be reported in the 32-bit result.
static UINT ClampCount(uint32_t n) { return n > 0x7FFFFFFFu ? 0x7FFFFFFFu : n; }

int32_t zp_file_read_os(int32_t h, void *buf, uint32_t n) {
    if (h <= 0 || buf == nullptr) return -1;
    UINT got = ZP_OS(_lread)(h, buf, ClampCount(n));
    return got == static_cast<UINT>(HFILE_ERROR) ? -1 : static_cast<int32_t>(got);
}

int32_t zp_file_write_os(int32_t h, const void *buf, uint32_t n) {
    if (h <= 0 || buf == nullptr) return -1;
    // _lwrite with a count of 0 cuts the file at the current position;
    // an empty write must leave the file alone.
    if (n == 0) return 0;
    UINT put = ZP_OS(_lwrite)(h, static_cast<LPCCH>(buf), ClampCount(n));
    return put == static_cast<UINT>(HFILE_ERROR) ? -1 : static_cast<int32_t>(put);
}

// _llseek takes a 32-bit offset; files past 2 GiB need the 64-bit call on
// the same handle.
int64_t zp_file_seek_os(int32_t h, int64_t offset, int origin) {
    if (h <= 0) return -1;
    if (origin != ZP_SEEK_SET && origin != ZP_SEEK_CUR && origin != ZP_SEEK_END) return -1;
    LARGE_INTEGER to, pos;
    to.QuadPart = offset;
    HANDLE file = reinterpret_cast<HANDLE>(static_cast<INT_PTR>(h));
    if (!ZP_OS(SetFilePointerEx)(file, to, &pos, origin)) return -1;  // FILE_BEGIN/CURRENT/END match
    return pos.QuadPart < 0 ? -1 : static_cast<int64_t>(pos.QuadPart);
}

int32_t zp_file_close_os(int32_t h) {
    if (h <= 0) return -1;
    return ZP_OS(_lclose)(h) == HFILE_ERROR ? -1 : 0;
}

int zp_file_delete(const char *path) {
    if (path == nullptr) return 0;
    return ZP_OS(DeleteFileA)(path) ? 1 : 0;
}

uint32_t zp_current_dir(char *buf, uint32_t size) {
    if (buf == nullptr || size == 0) return 0;
    DWORD n = ZP_OS(GetCurrentDirectoryA)(size, buf);
    // A result of size or more is the room needed, not a length.
    if (n == 0 || n >= size) {
        buf[0] = '\0';
        return 0;
    }
    return n;
}

char zp_path_separator() { return '\\'; }

int zp_path_is_absolute(const char *path) {
    if (path == nullptr) return 0;
    const bool drive = ((path[0] | 0x20) >= 'a' && (path[0] | 0x20) <= 'z') && path[1] == ':' &&
                       (path[2] == '\\' || path[2] == '/');
    return drive || path[0] == '\\';
}

// ---- formatting ---------------------------------------------------------------
// wvsprintfA stops near 1024 characters on its own; formatting into a
// roomier local buffer keeps us safe whichever side of its limit the
// terminator lands, and the cut to ZP_FORMAT_MAX - 1 is done here.
int zp_vformat(char *buf, const char *fmt, va_list ap) {
    if (buf == nullptr) return 0;
    buf[0] = '\0';
    if (fmt == nullptr) return 0;
    char wide[2 * ZP_FORMAT_MAX];
    wide[0] = '\0';
    int n = ZP_OS(wvsprintfA)(wide, fmt, ap);
    if (n < 0) n = 0;
    if (n > ZP_FORMAT_MAX - 1) n = ZP_FORMAT_MAX - 1;
    std::memcpy(buf, wide, static_cast<size_t>(n));
    buf[n] = '\0';
    return n;
}
