// platform.h - everything the engine needs from the operating system.
//
// One declaration per operation; posix*.cpp and win32*.cpp each define all
// of them and CMake picks one set. Engine code carries no #ifdef.
//
// Conventions shared by both backends:
//  - File and socket handles are 32-bit; 0 means "none". No call ever hands
//    out handle 0. Asked about handle 0, zp_poll reports the error condition
//    (so no wait is spent on it) and every other call fails with
//    ZP_WSAENOTSOCK (sockets) or -1 (files).
//  - Socket failures return -1 and leave a Windows Sockets error number in
//    the calling thread's last error (zp_last_error). The POSIX backend maps
//    errno to those numbers in one place.
//  - Files: the create/open calls return a handle > 0 or -1.
//
// Divisions: time and threads, lock, memory, files and directories,
// formatting, sockets, sockets of either family, bulk data, resolver,
// system-call table.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

// Windows Sockets error numbers used by the engine and its tests.
enum : int {
    ZP_WSAEINTR = 10004,
    ZP_WSAEBADF = 10009,
    ZP_WSAEACCES = 10013,
    ZP_WSAEFAULT = 10014,
    ZP_WSAEINVAL = 10022,
    ZP_WSAEMFILE = 10024,
    ZP_WSAEWOULDBLOCK = 10035,
    ZP_WSAEINPROGRESS = 10036,
    ZP_WSAEALREADY = 10037,
    ZP_WSAENOTSOCK = 10038,
    ZP_WSAEDESTADDRREQ = 10039,
    ZP_WSAEMSGSIZE = 10040,
    ZP_WSAEPROTOTYPE = 10041,
    ZP_WSAENOPROTOOPT = 10042,
    ZP_WSAEPROTONOSUPPORT = 10043,
    ZP_WSAESOCKTNOSUPPORT = 10044,
    ZP_WSAEOPNOTSUPP = 10045,
    ZP_WSAEAFNOSUPPORT = 10047,
    ZP_WSAEADDRINUSE = 10048,
    ZP_WSAEADDRNOTAVAIL = 10049,
    ZP_WSAENETDOWN = 10050,
    ZP_WSAENETUNREACH = 10051,
    ZP_WSAENETRESET = 10052,
    ZP_WSAECONNABORTED = 10053,
    ZP_WSAECONNRESET = 10054,
    ZP_WSAENOBUFS = 10055,
    ZP_WSAEISCONN = 10056,
    ZP_WSAENOTCONN = 10057,
    ZP_WSAESHUTDOWN = 10058,
    ZP_WSAETIMEDOUT = 10060,
    ZP_WSAECONNREFUSED = 10061,
    ZP_WSAEHOSTDOWN = 10064,
    ZP_WSAEHOSTUNREACH = 10065,
    ZP_WSASYSNOTREADY = 10091,
    ZP_WSAVERNOTSUPPORTED = 10092,
    ZP_WSANOTINITIALISED = 10093,
    ZP_WSAHOST_NOT_FOUND = 11001,
    ZP_WSATRY_AGAIN = 11002,
    ZP_WSANO_RECOVERY = 11003,
    ZP_WSANO_DATA = 11004,
};

// ---- time and threads ----------------------------------------------------
uint32_t zp_ticks();           // milliseconds from a monotonic clock, wraps at 2^32
void zp_sleep(uint32_t ms);    // 0 yields the processor
void zp_yield();

// ---- the one recursive lock ----------------------------------------------
void zp_lock_create();
void zp_lock_enter();
void zp_lock_leave();
void zp_lock_delete();

// ---- memory ----------------------------------------------------------------
void *zp_alloc_zero(size_t size);  // zero-filled, or null
void zp_free(void *p);

// ---- files and directories ------------------------------------------------
enum ZpOpenMode { ZP_OPEN_READ = 0, ZP_OPEN_WRITE = 1, ZP_OPEN_READWRITE = 2 };
enum ZpSeekOrigin { ZP_SEEK_SET = 0, ZP_SEEK_CUR = 1, ZP_SEEK_END = 2 };
enum ZpFileAttr { ZP_ATTR_NORMAL = 0, ZP_ATTR_HIDDEN = 2 };

int32_t zp_file_create(const char *path, int attr);  // create or truncate, read/write
int32_t zp_file_open(const char *path, int mode);    // existing file, others denied write
int32_t zp_file_read(int32_t h, void *buf, uint32_t n);         // bytes, 0 at end, -1
int32_t zp_file_write(int32_t h, const void *buf, uint32_t n);  // bytes, -1
int64_t zp_file_seek(int32_t h, int64_t offset, int origin);    // new position, -1 (64-bit)
int32_t zp_file_close(int32_t h);                               // 0, -1
int zp_file_delete(const char *path);                           // 1 deleted, 0 not
uint32_t zp_current_dir(char *buf, uint32_t size);  // length, 0 on failure
char zp_path_separator();                            // '/' or '\\'
// 1 when the path names a file on its own, without the local directory in
// front: "/x" here; "C:\x", "C:/x" or "\x" on Windows.
int zp_path_is_absolute(const char *path);

// ---- formatting ------------------------------------------------------------
// Formats like wsprintfA: the text is cut at ZP_FORMAT_MAX - 1 characters and
// always NUL-terminated; returns its length. buf must hold ZP_FORMAT_MAX bytes.
// Only the conversions wsprintfA knows are used (%d %u %ld %lu %x %s %c with
// widths).
enum { ZP_FORMAT_MAX = 1024 };
int zp_format(char *buf, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
int zp_vformat(char *buf, const char *fmt, va_list ap);

// ---- sockets (IPv4 TCP; addresses and ports in host byte order) ------------
int zp_net_startup(char *description, size_t size);  // 0, or a WSA error number
// Ends the use of the stack. The library closes its sockets itself
// beforehand; what this may still close is only a backstop.
void zp_net_cleanup();
int zp_last_error();
void zp_set_last_error(int code);

int32_t zp_socket();                                  // handle > 0, or -1
int zp_set_nonblocking(int32_t s, int on);            // 0, -1
int zp_connect(int32_t s, uint32_t addr, uint16_t port);  // 0, -1 (EWOULDBLOCK when under way)
int zp_bind(int32_t s, uint32_t addr, uint16_t port);     // 0, -1 (address reuse on)
int zp_listen(int32_t s, int backlog);                    // 0, -1
int32_t zp_accept(int32_t s, uint32_t *addr, uint16_t *port);  // handle > 0, or -1
int32_t zp_send(int32_t s, const void *buf, int32_t n);        // bytes, -1; never raises SIGPIPE
int32_t zp_recv(int32_t s, void *buf, int32_t n);              // bytes, 0 closed, -1
// Like zp_recv, but never waits: -1 with ZP_WSAEWOULDBLOCK at once when
// nothing has arrived.
int32_t zp_recv_now(int32_t s, void *buf, int32_t n);
int zp_close_socket(int32_t s);                               // 0, -1
// Ends the sending side only: what is queued goes out, then the peer sees
// the end of the stream; receiving goes on. 0, -1.
int zp_shutdown_send(int32_t s);
int zp_getsockname(int32_t s, uint32_t *addr, uint16_t *port);  // 0, -1
// The error number a failed non-blocking connect left on the socket (0 when
// none); reading it clears it.
int zp_connect_error(int32_t s);

// Readiness with zero timeout in one of the modes below (a failed connect
// or urgent data is the error condition). Returns 1 or 0. Windows
// semantics: a socket whose connect failed is in the error condition and
// not writable.
enum ZpPollMode { ZP_POLL_READABLE = 1, ZP_POLL_WRITABLE = 2, ZP_POLL_ERROR = 3 };
int zp_poll(int32_t s, int mode);
// The answers of all three modes from one zero-timeout poll: bit
// (1 << mode) is set for each mode that holds, as zp_poll would report it.
int zp_poll_all(int32_t s);
// zp_poll_all of two sockets from one zero-timeout poll: a's answers in
// bits 0-3, b's in bits 4-7 (ZP_POLL_PAIR_SHIFT up).
enum { ZP_POLL_PAIR_SHIFT = 4 };
int zp_poll_pair(int32_t a, int32_t b);
int zp_is_blocking();  // a blocking call is in progress in this thread
// Waits at most ms for socket s to become ready in mode (readable or
// writable): 1 when it is (or is in the error condition, or is "none"), 0
// when the time passed. For a caller that has nothing else to do meanwhile.
int zp_wait(int32_t s, int mode, uint32_t ms);

// ---- sockets of either family -----------------------------------------------
// An address of either family with its port, as the calls below take and
// give it. Plain bytes, so the engine needs no system header to hold one.
struct zp_addr {
    uint16_t family;   // 4 or 6
    uint16_t port;     // host order
    uint8_t addr[16];  // IPv4: bytes 0-3, most significant first; IPv6: all 16
    uint32_t scope;    // IPv6 scope (interface) id; 0 for none
};

// A TCP socket of family 4 or 6: handle > 0, or -1 (ZP_WSAEAFNOSUPPORT for
// any other family, or when the system has no sockets of that family).
int32_t zp_socket_family(int family);
// As zp_connect, zp_bind and zp_accept, for an address of either family; a
// null address fails with ZP_WSAEFAULT, one of another family with
// ZP_WSAEAFNOSUPPORT. zp_bind_addr turns address reuse on as zp_bind does,
// and makes an IPv6 socket IPv6 only (no IPv4 peers through mapped
// addresses). The peer of zp_accept_addr may be null.
int zp_connect_addr(int32_t s, const zp_addr *a);    // 0, -1 (EWOULDBLOCK when under way)
int zp_bind_addr(int32_t s, const zp_addr *a);       // 0, -1
int32_t zp_accept_addr(int32_t s, zp_addr *peer);    // handle > 0, or -1
int zp_getsockname_addr(int32_t s, zp_addr *a);      // 0, -1
int zp_getpeername_addr(int32_t s, zp_addr *a);      // 0, -1

// ---- bulk data ------------------------------------------------------------
// Large transfers without a copy through the caller, where the system can.
// A pipe is the kernel-side buffer between socket and file; its ends are
// handles like the others and are closed with zp_file_close.
// 0, or -1 (ZP_WSAEOPNOTSUPP where the system has no such pipes).
int zp_pipe_open(int32_t *readEnd, int32_t *writeEnd);
// Moves at most n bytes from socket s into the pipe, never waiting: bytes,
// 0 when the peer has closed, -1 (ZP_WSAEWOULDBLOCK when nothing is there
// now). s is switched to non-blocking mode for good.
int32_t zp_splice_in(int32_t s, int32_t pipeWrite, int32_t n);
// Moves exactly n bytes held by the pipe into file h at its position: n,
// or -1. Whatever the outcome, the pipe is empty afterwards.
int32_t zp_splice_out(int32_t pipeRead, int32_t h, int32_t n);
// Sends at most n bytes of file h from its position (which moves on) on
// socket s, never waiting: bytes, 0 at the end of the file, -1
// (ZP_WSAEWOULDBLOCK when the socket has no room now; ZP_WSAEOPNOTSUPP when
// the system cannot send this file itself, the caller reads and sends it).
// s is switched to non-blocking mode for good. Never raises SIGPIPE.
int32_t zp_send_file(int32_t s, int32_t h, int32_t n);

// ---- resolver ----------------------------------------------------------
// IPv4 addresses of name in the resolver's order; returns how many were
// stored (at most max) or -1 with the last error set to 11001..11004.
int zp_resolve(const char *name, uint32_t *addrs, int max);
int zp_gethostname(char *buf, int size);  // 0, -1
// Addresses of name of family 0 (either), 4 or 6, in the resolver's order
// without repeats; returns how many were stored (at most max, which must be
// 1 or more) or -1 with the last error set: 11001 the name is unknown,
// 11004 it is known but has no address of that family, 11002 try again
// later; ZP_WSAEAFNOSUPPORT for another family, ZP_WSAEFAULT for no room.
// Numeric texts are taken as they are, an IPv6 one with "%scope" too. Ports
// are 0.
int zp_resolve_addrs(const char *name, int family, zp_addr *out, int max);

// ---- system-call table --------------------------------------------------
// Every call into the operating system goes through one named entry, so a
// test can replace it to make it fail, return short or block.
//
// Two kinds of entries share the one name space:
//  - Entries named after a function of this header ("zp_recv", "zp_ticks",
//    ...; the list below) have that function's own signature and exist on
//    every backend, so one fault test runs on both. The function calls its
//    entry; the default entry is the backend's implementation, and a
//    replacement may pass calls on to the pointer zp_syscall_set returned.
//  - Every other entry carries the name and signature of the operating
//    system's own call ("fcntl", "select", ...) and exists on that backend
//    only.
typedef void (*zp_syscall_ptr)();
zp_syscall_ptr zp_syscall_get(const char *name);
// Replaces an entry; returns the previous pointer, or null for an unknown name.
// A null fn restores the default.
zp_syscall_ptr zp_syscall_set(const char *name, zp_syscall_ptr fn);
void zp_syscall_reset();  // every entry back to its default

// X(result, name, (parameters), (arguments)) for each backend-neutral entry:
// the clock, allocation, the socket calls and the file calls.
#define ZP_NEUTRAL_CALLS(X)                                                              \
    X(uint32_t, zp_ticks, (), ())                                                        \
    X(void, zp_sleep, (uint32_t ms), (ms))                                               \
    X(void *, zp_alloc_zero, (size_t size), (size))                                      \
    X(int32_t, zp_socket, (), ())                                                        \
    X(int, zp_connect, (int32_t s, uint32_t addr, uint16_t port), (s, addr, port))       \
    X(int, zp_bind, (int32_t s, uint32_t addr, uint16_t port), (s, addr, port))          \
    X(int, zp_listen, (int32_t s, int backlog), (s, backlog))                            \
    X(int32_t, zp_accept, (int32_t s, uint32_t *addr, uint16_t *port), (s, addr, port))  \
    X(int32_t, zp_send, (int32_t s, const void *buf, int32_t n), (s, buf, n))            \
    X(int32_t, zp_recv, (int32_t s, void *buf, int32_t n), (s, buf, n))                  \
    X(int32_t, zp_recv_now, (int32_t s, void *buf, int32_t n), (s, buf, n))              \
    X(int, zp_close_socket, (int32_t s), (s))                                            \
    X(int, zp_shutdown_send, (int32_t s), (s))                                           \
    X(int, zp_poll, (int32_t s, int mode), (s, mode))                                    \
    X(int, zp_poll_all, (int32_t s), (s))                                                \
    X(int, zp_poll_pair, (int32_t a, int32_t b), (a, b))                                 \
    X(int, zp_wait, (int32_t s, int mode, uint32_t ms), (s, mode, ms))                   \
    X(int, zp_resolve, (const char *name, uint32_t *addrs, int max), (name, addrs, max)) \
    X(int, zp_gethostname, (char *buf, int size), (buf, size))                           \
    X(int32_t, zp_socket_family, (int family), (family))                                 \
    X(int, zp_connect_addr, (int32_t s, const zp_addr *a), (s, a))                       \
    X(int, zp_bind_addr, (int32_t s, const zp_addr *a), (s, a))                          \
    X(int32_t, zp_accept_addr, (int32_t s, zp_addr *peer), (s, peer))                    \
    X(int, zp_getsockname_addr, (int32_t s, zp_addr *a), (s, a))                         \
    X(int, zp_getpeername_addr, (int32_t s, zp_addr *a), (s, a))                         \
    X(int, zp_resolve_addrs, (const char *name, int family, zp_addr *out, int max), (name, family, out, max)) \
    X(int32_t, zp_file_create, (const char *path, int attr), (path, attr))               \
    X(int32_t, zp_file_open, (const char *path, int mode), (path, mode))                 \
    X(int32_t, zp_file_read, (int32_t h, void *buf, uint32_t n), (h, buf, n))            \
    X(int32_t, zp_file_write, (int32_t h, const void *buf, uint32_t n), (h, buf, n))     \
    X(int64_t, zp_file_seek, (int32_t h, int64_t offset, int origin), (h, offset, origin)) \
    X(int32_t, zp_file_close, (int32_t h), (h))                                          \
    X(int, zp_pipe_open, (int32_t *readEnd, int32_t *writeEnd), (readEnd, writeEnd))     \
    X(int32_t, zp_splice_in, (int32_t s, int32_t pipeWrite, int32_t n), (s, pipeWrite, n)) \
    X(int32_t, zp_splice_out, (int32_t pipeRead, int32_t h, int32_t n), (pipeRead, h, n)) \
    X(int32_t, zp_send_file, (int32_t s, int32_t h, int32_t n), (s, h, n))
