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
    X(getsockname) X(getsockopt) X(gethostbyname) X(gethostname)              \
    X(getpeername) X(setsockopt) X(LoadLibraryA) X(GetProcAddress)

namespace zp_win32 {

// The Windows Sockets 2 resolver, which WSOCK32 does not have: WS2_32's
// getaddrinfo and freeaddrinfo, found when first called (win32_net.cpp), so
// the library imports nothing beyond Windows Sockets 1.1 and still loads
// where WS2_32 or its resolver is missing. Their records, as ws2tcpip.h
// declares them (that header cannot share a unit with winsock.h).
struct AddrInfo {
    int ai_flags;
    int ai_family;
    int ai_socktype;
    int ai_protocol;
    size_t ai_addrlen;
    char *ai_canonname;
    sockaddr *ai_addr;
    AddrInfo *ai_next;
};

struct SockAddrIn6 {
    u_short sin6_family;
    u_short sin6_port;  // network order
    u_long sin6_flowinfo;
    u_char sin6_addr[16];
    u_long sin6_scope_id;
};

enum : int { kAfInet6 = 23, kIpprotoIpv6 = 41, kIpv6V6only = 27 };

// The default entries: WS2_32's functions where it has them; elsewhere
// getaddrinfo answers WSAEOPNOTSUPP (and freeaddrinfo has nothing to free).
int WINAPI getaddrinfo(const char *node, const char *service, const AddrInfo *hints, AddrInfo **res);
void WINAPI freeaddrinfo(AddrInfo *ai);

// X(name) for the entries above, which are zp_win32's and not Windows'.
#define ZP_WIN32_LOADED_CALLS(X) X(getaddrinfo) X(freeaddrinfo)

enum SysIndex {
#define ZP_SYS_INDEX(name) kSys_##name,
    ZP_WIN32_SYSCALLS(ZP_SYS_INDEX)
    ZP_WIN32_LOADED_CALLS(ZP_SYS_INDEX)
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
// The same for an entry of ZP_WIN32_LOADED_CALLS.
#define ZP_OS_LOADED(name) \
    (reinterpret_cast<decltype(&zp_win32::name)>(zp_win32::g_sys[zp_win32::kSys_##name].current))
