// win32_sys.h - the system-call table of the Win32 backend.
//
// Every Windows call the backend makes is looked up by name in one table
// (win32.cpp), so tests can swap an entry for a failing or short-returning
// stand-in. ZP_OS(name) calls through the table with the entry's own Win32
// signature, taken from the Windows headers by decltype, so a swapped entry
// must have exactly that signature.
//
// Divisions: Windows headers, the list of entries, the table and its access.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <winsock.h>

#include "platform/backend.h"

// X(name) for every entry; the name is the Win32 function and the table key.
#define ZP_WIN32_SYSCALLS(X)                                                   \
    X(GetTickCount) X(Sleep)                                                   \
    X(InitializeCriticalSection) X(EnterCriticalSection)                       \
    X(LeaveCriticalSection) X(DeleteCriticalSection)                           \
    X(GlobalAlloc) X(GlobalLock) X(GlobalUnlock) X(GlobalFree) X(GlobalHandle) \
    X(_lcreat) X(_lopen) X(_lread) X(_lwrite) X(_llseek) X(_lclose)            \
    X(SetFilePointerEx)                                                        \
    X(DeleteFileA) X(GetCurrentDirectoryA)                                     \
    X(wvsprintfA)                                                              \
    X(WSAStartup) X(WSACleanup) X(WSAGetLastError) X(WSASetLastError)          \
    X(WSAIsBlocking)                                                           \
    X(socket) X(ioctlsocket) X(connect) X(bind) X(listen) X(accept)            \
    X(send) X(recv) X(closesocket) X(shutdown) X(select) X(__WSAFDIsSet)       \
    X(getsockname) X(getsockopt) X(gethostbyname) X(gethostname)

namespace zp_win32 {

enum SysIndex {
#define ZP_SYS_INDEX(name) kSys_##name,
    ZP_WIN32_SYSCALLS(ZP_SYS_INDEX)
#undef ZP_SYS_INDEX
    kSysCount
};

struct SysEntry {
    const char *name;
    zp_syscall_ptr current;   // what ZP_OS calls
    zp_syscall_ptr standard;  // the Windows function itself
};

extern SysEntry g_sys[kSysCount];

}  // namespace zp_win32

#define ZP_OS(name) \
    (reinterpret_cast<decltype(&::name)>(zp_win32::g_sys[zp_win32::kSys_##name].current))
