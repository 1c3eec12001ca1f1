// posix.cpp - the POSIX backend of the platform layer.
//
// Gives the engine the answers it would get from the Windows calls it was
// designed around: Windows Sockets error numbers, select-style readiness
// with a failed connect in the error condition, handles that are never 0.
//
// Divisions: system-call table, handle helpers, error mapping, time and
// threads, lock, memory, files, formatting, socket bookkeeping, sockets,
// sockets of either family, bulk data, resolver.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

#include "platform/backend.h"

// ---- system-call table ------------------------------------------------------
namespace {

struct Syscall {
    const char *name;
    zp_syscall_ptr current;
    zp_syscall_ptr fallback;
};

// X(index, name, function): the entries of the table, in the order of its
// indexes.
#define ZP_POSIX_CALLS(X)                                               \
    X(Open, open, static_cast<int (*)(const char *, int, ...)>(::open)) \
    X(Close, close, ::close)                                            \
    X(Read, read, ::read)                                               \
    X(Write, write, ::write)                                            \
    X(Lseek, lseek, ::lseek)                                            \
    X(Unlink, unlink, ::unlink)                                         \
    X(Getcwd, getcwd, ::getcwd)                                         \
    X(Fcntl, fcntl, static_cast<int (*)(int, int, ...)>(::fcntl))       \
    X(Socket, socket, ::socket)                                         \
    X(Connect, connect, ::connect)                                      \
    X(Bind, bind, ::bind)                                               \
    X(Listen, listen, ::listen)                                         \
    X(Accept4, accept4, ::accept4)                                      \
    X(Send, send, ::send)                                               \
    X(Recv, recv, ::recv)                                               \
    X(Poll, poll, ::poll)                                               \
    X(Getsockname, getsockname, ::getsockname)                          \
    X(Setsockopt, setsockopt, ::setsockopt)                             \
    X(Getaddrinfo, getaddrinfo, ::getaddrinfo)                          \
    X(Freeaddrinfo, freeaddrinfo, ::freeaddrinfo)                       \
    X(Gethostname, gethostname, ::gethostname)                          \
    X(ClockGettime, clock_gettime, ::clock_gettime)                     \
    X(Calloc, calloc, ::calloc)                                         \
    X(Free, free, ::free)                                               \
    X(Fstat, fstat, ::fstat)                                            \
    X(Getsockopt, getsockopt, ::getsockopt)                             \
    X(Nanosleep, nanosleep, ::nanosleep)                                \
    X(SchedYield, sched_yield, ::sched_yield)                           \
    X(Pipe2, pipe2, ::pipe2)                                            \
    X(Splice, splice, ::splice)                                         \
    X(Sendfile, sendfile, ::sendfile)                                   \
    X(PthreadSigmask, pthread_sigmask, ::pthread_sigmask)               \
    X(Sigpending, sigpending, ::sigpending)                             \
    X(Sigtimedwait, sigtimedwait, ::sigtimedwait)                       \
    X(Shutdown, shutdown, ::shutdown)                                   \
    X(Getpeername, getpeername, ::getpeername)

#define ZP_ENTRY(index, name, fn) \
    {#name, reinterpret_cast<zp_syscall_ptr>(fn), reinterpret_cast<zp_syscall_ptr>(fn)},
Syscall aSyscall[] = {ZP_POSIX_CALLS(ZP_ENTRY)};
#undef ZP_ENTRY

enum {
#define ZP_INDEX(index, name, fn) k##index,
    ZP_POSIX_CALLS(ZP_INDEX)
#undef ZP_INDEX
};

template <typename Fn>
Fn sys(int index) {
    return reinterpret_cast<Fn>(aSyscall[index].current);
}

#define osOpen sys<int (*)(const char *, int, ...)>(kOpen)
#define osClose sys<int (*)(int)>(kClose)
#define osRead sys<ssize_t (*)(int, void *, size_t)>(kRead)
#define osWrite sys<ssize_t (*)(int, const void *, size_t)>(kWrite)
#define osLseek sys<off_t (*)(int, off_t, int)>(kLseek)
#define osUnlink sys<int (*)(const char *)>(kUnlink)
#define osGetcwd sys<char *(*)(char *, size_t)>(kGetcwd)
#define osFcntl sys<int (*)(int, int, ...)>(kFcntl)
#define osSocket sys<int (*)(int, int, int)>(kSocket)
#define osConnect sys<int (*)(int, const struct sockaddr *, socklen_t)>(kConnect)
#define osBind sys<int (*)(int, const struct sockaddr *, socklen_t)>(kBind)
#define osListen sys<int (*)(int, int)>(kListen)
#define osAccept4 sys<int (*)(int, struct sockaddr *, socklen_t *, int)>(kAccept4)
#define osSend sys<ssize_t (*)(int, const void *, size_t, int)>(kSend)
#define osRecv sys<ssize_t (*)(int, void *, size_t, int)>(kRecv)
#define osPoll sys<int (*)(struct pollfd *, nfds_t, int)>(kPoll)
#define osGetsockname sys<int (*)(int, struct sockaddr *, socklen_t *)>(kGetsockname)
#define osGetpeername sys<int (*)(int, struct sockaddr *, socklen_t *)>(kGetpeername)
#define osSetsockopt sys<int (*)(int, int, int, const void *, socklen_t)>(kSetsockopt)
#define osGetaddrinfo \
    sys<int (*)(const char *, const char *, const struct addrinfo *, struct addrinfo **)>(kGetaddrinfo)
#define osFreeaddrinfo sys<void (*)(struct addrinfo *)>(kFreeaddrinfo)
#define osGethostname sys<int (*)(char *, size_t)>(kGethostname)
#define osClockGettime sys<int (*)(clockid_t, struct timespec *)>(kClockGettime)
#define osCalloc sys<void *(*)(size_t, size_t)>(kCalloc)
#define osFree sys<void (*)(void *)>(kFree)
#define osFstat sys<int (*)(int, struct stat *)>(kFstat)
#define osGetsockopt sys<int (*)(int, int, int, void *, socklen_t *)>(kGetsockopt)
#define osNanosleep sys<int (*)(const struct timespec *, struct timespec *)>(kNanosleep)
#define osSchedYield sys<int (*)()>(kSchedYield)
#define osShutdown sys<int (*)(int, int)>(kShutdown)
#define osPipe2 sys<int (*)(int *, int)>(kPipe2)
#define osSplice sys<ssize_t (*)(int, loff_t *, int, loff_t *, size_t, unsigned)>(kSplice)
#define osSendfile sys<ssize_t (*)(int, int, off_t *, size_t)>(kSendfile)
#define osPthreadSigmask sys<int (*)(int, const sigset_t *, sigset_t *)>(kPthreadSigmask)
#define osSigpending sys<int (*)(sigset_t *)>(kSigpending)
#define osSigtimedwait sys<int (*)(const sigset_t *, siginfo_t *, const struct timespec *)>(kSigtimedwait)

// ---- handle helpers -----------------------------------------------------------

// Descriptor 0 is "none" for the engine. A host process that closed its
// standard input would get 0 back from open or socket: move it elsewhere.
int LiftFromZero(int fd) {
    if (fd != 0) return fd;
    int moved = osFcntl(0, F_DUPFD_CLOEXEC, 1);
    int saved = errno;
    osClose(0);
    errno = saved;
    return moved;
}

// ---- error mapping ------------------------------------------------------------
thread_local int tLastError = 0;

int WsaFromErrno(int e) {
    switch (e) {
    case EINTR: return ZP_WSAEINTR;
    case EBADF: return ZP_WSAEBADF;
    case EACCES: case EPERM: return ZP_WSAEACCES;
    case EFAULT: return ZP_WSAEFAULT;
    case EINVAL: return ZP_WSAEINVAL;
    case EMFILE: case ENFILE: return ZP_WSAEMFILE;
    case EWOULDBLOCK: case EINPROGRESS: return ZP_WSAEWOULDBLOCK;
    case EALREADY: return ZP_WSAEALREADY;
    case ENOTSOCK: return ZP_WSAENOTSOCK;
    case EDESTADDRREQ: return ZP_WSAEDESTADDRREQ;
    case EMSGSIZE: return ZP_WSAEMSGSIZE;
    case EPROTOTYPE: return ZP_WSAEPROTOTYPE;
    case ENOPROTOOPT: return ZP_WSAENOPROTOOPT;
    case EPROTONOSUPPORT: return ZP_WSAEPROTONOSUPPORT;
    case ESOCKTNOSUPPORT: return ZP_WSAESOCKTNOSUPPORT;
    case EOPNOTSUPP: return ZP_WSAEOPNOTSUPP;
    case EAFNOSUPPORT: return ZP_WSAEAFNOSUPPORT;
    case EADDRINUSE: return ZP_WSAEADDRINUSE;
    case EADDRNOTAVAIL: return ZP_WSAEADDRNOTAVAIL;
    case ENETDOWN: return ZP_WSAENETDOWN;
    case ENETUNREACH: return ZP_WSAENETUNREACH;
    case ENETRESET: return ZP_WSAENETRESET;
    case ECONNABORTED: return ZP_WSAECONNABORTED;
    // A send after the peer went away: Windows reports the reset.
    case ECONNRESET: case EPIPE: return ZP_WSAECONNRESET;
    case ENOBUFS: case ENOMEM: return ZP_WSAENOBUFS;
    case EISCONN: return ZP_WSAEISCONN;
    case ENOTCONN: return ZP_WSAENOTCONN;
    case ESHUTDOWN: return ZP_WSAESHUTDOWN;
    case ETIMEDOUT: return ZP_WSAETIMEDOUT;
    case ECONNREFUSED: return ZP_WSAECONNREFUSED;
    case EHOSTDOWN: return ZP_WSAEHOSTDOWN;
    case EHOSTUNREACH: return ZP_WSAEHOSTUNREACH;
    default: return ZP_WSAENETDOWN;
    }
}

int FailErrno() {
    tLastError = WsaFromErrno(errno);
    return -1;
}

int FailWith(int code) {
    tLastError = code;
    return -1;
}

}  // namespace

zp_syscall_ptr zp_os_syscall_get(const char *name) {
    for (auto &s : aSyscall)
        if (strcmp(s.name, name) == 0) return s.current;
    return nullptr;
}

zp_syscall_ptr zp_os_syscall_set(const char *name, zp_syscall_ptr fn) {
    for (auto &s : aSyscall) {
        if (strcmp(s.name, name) != 0) continue;
        zp_syscall_ptr old = s.current;
        s.current = fn ? fn : s.fallback;
        return old;
    }
    return nullptr;
}

void zp_os_syscall_reset() {
    for (auto &s : aSyscall) s.current = s.fallback;
}

int zp_last_error() { return tLastError; }
void zp_set_last_error(int code) { tLastError = code; }

// ---- time and threads ---------------------------------------------------------
uint32_t zp_ticks_os() {
    struct timespec ts;
    osClockGettime(CLOCK_MONOTONIC, &ts);
    uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms);
}

void zp_sleep_os(uint32_t ms) {
    if (ms == 0) {
        osSchedYield();
        return;
    }
    struct timespec req = {static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (osNanosleep(&req, &req) != 0 && errno == EINTR) {
    }
}

void zp_yield() { osSchedYield(); }

// ---- lock ------------------------------------------------------------------------
namespace {
std::recursive_mutex gLock;
}
void zp_lock_create() {}
void zp_lock_enter() { gLock.lock(); }
void zp_lock_leave() { gLock.unlock(); }
void zp_lock_delete() {}

// ---- memory ----------------------------------------------------------------------
void *zp_alloc_zero_os(size_t size) { return osCalloc(1, size); }
void zp_free(void *p) { osFree(p); }

// ---- files -----------------------------------------------------------------------
namespace {
int32_t OpenFile(const char *path, int flags) {
    if (!path) return -1;
    int fd;
    do {
        fd = osOpen(path, flags | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return -1;
    // A directory opens for reading here but not on Windows: an empty file
    // name would otherwise "open" the local directory itself.
    struct stat st;
    if (osFstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        osClose(fd);
        return -1;
    }
    fd = LiftFromZero(fd);
    return fd > 0 ? fd : -1;
}
}  // namespace

int32_t zp_file_create_os(const char *path, int /*attr: no hidden files here*/) {
    return OpenFile(path, O_RDWR | O_CREAT | O_TRUNC);
}

int32_t zp_file_open_os(const char *path, int mode) {
    int flags = mode == ZP_OPEN_WRITE ? O_WRONLY : mode == ZP_OPEN_READWRITE ? O_RDWR : O_RDONLY;
    return OpenFile(path, flags);
}

int32_t zp_file_read_os(int32_t h, void *buf, uint32_t n) {
    if (h <= 0) return -1;
    ssize_t r;
    do {
        r = osRead(h, buf, n);
    } while (r < 0 && errno == EINTR);
    return r < 0 ? -1 : static_cast<int32_t>(r);
}

int32_t zp_file_write_os(int32_t h, const void *buf, uint32_t n) {
    if (h <= 0) return -1;
    const char *p = static_cast<const char *>(buf);
    uint32_t done = 0;
    while (done < n) {
        ssize_t r = osWrite(h, p + done, n - done);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return -1;
        done += static_cast<uint32_t>(r);
    }
    return static_cast<int32_t>(done);
}

int64_t zp_file_seek_os(int32_t h, int64_t offset, int origin) {
    if (h <= 0) return -1;
    int whence = origin == ZP_SEEK_CUR ? SEEK_CUR : origin == ZP_SEEK_END ? SEEK_END : SEEK_SET;
    off_t r = osLseek(h, static_cast<off_t>(offset), whence);
    return r < 0 ? -1 : static_cast<int64_t>(r);
}

int32_t zp_file_close_os(int32_t h) {
    if (h <= 0) return -1;
    return osClose(h) == 0 ? 0 : -1;
}

int zp_file_delete(const char *path) { return path && osUnlink(path) == 0 ? 1 : 0; }

uint32_t zp_current_dir(char *buf, uint32_t size) {
    if (!buf || size == 0) return 0;
    if (!osGetcwd(buf, size)) {
        buf[0] = 0;
        return 0;
    }
    return static_cast<uint32_t>(strlen(buf));
}

char zp_path_separator() { return '/'; }

int zp_path_is_absolute(const char *path) { return path && path[0] == '/'; }

// ---- formatting ----------------------------------------------------------------
int zp_vformat(char *buf, const char *fmt, va_list ap) {
    int n = vsnprintf(buf, ZP_FORMAT_MAX, fmt, ap);
    if (n < 0) {
        buf[0] = 0;
        return 0;
    }
    return n >= ZP_FORMAT_MAX ? ZP_FORMAT_MAX - 1 : n;
}

// ---- socket bookkeeping -----------------------------------------------------------
// What the library knows of each socket it holds: enough to give select's
// answers (a failed connect is an error condition, not writable) and to
// close, at clean-up, what release did not. Indexed by descriptor; larger
// descriptors are served without bookkeeping.
namespace {
enum SockState : uint8_t { kNone = 0, kFresh, kConnecting, kEstablished, kListening };
constexpr int kTracked = 4096;
std::atomic<uint8_t> gSockState[kTracked];

void SetState(int fd, SockState s) {
    if (fd > 0 && fd < kTracked) gSockState[fd].store(s);
}
SockState GetState(int fd) {
    return fd > 0 && fd < kTracked ? static_cast<SockState>(gSockState[fd].load()) : kEstablished;
}

void FillSockaddr(struct sockaddr_in *sa, uint32_t addr, uint16_t port) {
    memset(sa, 0, sizeof *sa);
    sa->sin_family = AF_INET;
    sa->sin_port = htons(port);
    sa->sin_addr.s_addr = htonl(addr);
}
}  // namespace

int zp_net_startup(char *description, size_t size) {
    static const char kDescription[] = "zub32 POSIX sockets backend (poll readiness, WinSock error numbers)";
    if (description && size > 0) {
        strncpy(description, kDescription, size - 1);
        description[size - 1] = 0;
    }
    return 0;
}

void zp_net_cleanup() {
    for (int fd = 1; fd < kTracked; ++fd) {
        if (gSockState[fd].exchange(kNone) != kNone) osClose(fd);
    }
}

// ---- sockets ---------------------------------------------------------------------
int32_t zp_socket_os() {
    int fd = osSocket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) return FailErrno();
    fd = LiftFromZero(fd);
    if (fd <= 0) return FailErrno();
    SetState(fd, kFresh);
    return fd;
}

int zp_set_nonblocking(int32_t s, int on) {
    if (s <= 0) return FailWith(ZP_WSAENOTSOCK);
    int flags = osFcntl(s, F_GETFL, 0);
    if (flags < 0) return FailErrno();
    flags = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    return osFcntl(s, F_SETFL, flags) < 0 ? FailErrno() : 0;
}

namespace {
// A blocking connect interrupted by a signal goes on in the kernel: wait for
// it to finish and take its outcome.
int FinishInterruptedConnect(int s) {
    struct pollfd p = {s, POLLOUT, 0};
    while (osPoll(&p, 1, -1) < 0 && errno == EINTR) {
    }
    int err = 0;
    socklen_t len = sizeof err;
    osGetsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len);
    if (err == 0) return 0;
    errno = err;
    return -1;
}

// The connect of zp_connect and zp_connect_addr, and its bookkeeping.
int ConnectTo(int s, const struct sockaddr *sa, socklen_t len) {
    int r = osConnect(s, sa, len);
    if (r < 0 && errno == EINTR) r = FinishInterruptedConnect(s);
    if (r == 0) {
        SetState(s, kEstablished);
        return 0;
    }
    if (errno == EINPROGRESS || errno == EWOULDBLOCK) SetState(s, kConnecting);
    return FailErrno();
}
}  // namespace

int zp_connect_os(int32_t s, uint32_t addr, uint16_t port) {
    if (s <= 0) return FailWith(ZP_WSAENOTSOCK);
    struct sockaddr_in sa;
    FillSockaddr(&sa, addr, port);
    return ConnectTo(s, reinterpret_cast<struct sockaddr *>(&sa), sizeof sa);
}

int zp_bind_os(int32_t s, uint32_t addr, uint16_t port) {
    if (s <= 0) return FailWith(ZP_WSAENOTSOCK);
    // Lets a data port whose last connection lingers in TIME_WAIT be used again.
    int one = 1;
    osSetsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    struct sockaddr_in sa;
    FillSockaddr(&sa, addr, port);
    return osBind(s, reinterpret_cast<struct sockaddr *>(&sa), sizeof sa) < 0 ? FailErrno() : 0;
}

int zp_listen_os(int32_t s, int backlog) {
    if (s <= 0) return FailWith(ZP_WSAENOTSOCK);
    if (osListen(s, backlog) < 0) return FailErrno();
    SetState(s, kListening);
    return 0;
}

namespace {
// accept4 on listener s (again after a signal), the new handle lifted off
// descriptor 0 and marked established: the handle, or -1.
int32_t AcceptEstablished(int32_t s, struct sockaddr *sa, socklen_t *len) {
    int fd;
    do {
        fd = osAccept4(s, sa, len, SOCK_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return FailErrno();
    fd = LiftFromZero(fd);
    if (fd <= 0) return FailErrno();
    SetState(fd, kEstablished);
    return fd;
}
}  // namespace

int32_t zp_accept_os(int32_t s, uint32_t *addr, uint16_t *port) {
    if (s <= 0) return FailWith(ZP_WSAENOTSOCK);
    struct sockaddr_in sa;
    socklen_t len = sizeof sa;
    const int32_t fd = AcceptEstablished(s, reinterpret_cast<struct sockaddr *>(&sa), &len);
    if (fd < 0) return fd;
    if (addr) *addr = ntohl(sa.sin_addr.s_addr);
    if (port) *port = ntohs(sa.sin_port);
    return fd;
}

int32_t zp_send_os(int32_t s, const void *buf, int32_t n) {
    if (s <= 0) return FailWith(ZP_WSAENOTSOCK);
    ssize_t r;
    do {
        r = osSend(s, buf, static_cast<size_t>(n), MSG_NOSIGNAL);
    } while (r < 0 && errno == EINTR);
    return r < 0 ? FailErrno() : static_cast<int32_t>(r);
}

namespace {
int32_t Receive(int32_t s, void *buf, int32_t n, int flags) {
    if (s <= 0) return FailWith(ZP_WSAENOTSOCK);
    ssize_t r;
    do {
        r = osRecv(s, buf, static_cast<size_t>(n), flags);
    } while (r < 0 && errno == EINTR);
    return r < 0 ? FailErrno() : static_cast<int32_t>(r);
}
}  // namespace

int32_t zp_recv_os(int32_t s, void *buf, int32_t n) { return Receive(s, buf, n, 0); }

int32_t zp_recv_now_os(int32_t s, void *buf, int32_t n) { return Receive(s, buf, n, MSG_DONTWAIT); }

int zp_shutdown_send_os(int32_t s) {
    if (s <= 0) return FailWith(ZP_WSAENOTSOCK);
    return osShutdown(s, SHUT_WR) < 0 ? FailErrno() : 0;
}

int zp_close_socket_os(int32_t s) {
    if (s <= 0) return FailWith(ZP_WSAENOTSOCK);
    SetState(s, kNone);
    return osClose(s) < 0 ? FailErrno() : 0;
}

int zp_getsockname(int32_t s, uint32_t *addr, uint16_t *port) {
    if (s <= 0) return FailWith(ZP_WSAENOTSOCK);
    struct sockaddr_in sa;
    socklen_t len = sizeof sa;
    memset(&sa, 0, sizeof sa);
    if (osGetsockname(s, reinterpret_cast<struct sockaddr *>(&sa), &len) < 0) return FailErrno();
    if (addr) *addr = ntohl(sa.sin_addr.s_addr);
    if (port) *port = ntohs(sa.sin_port);
    return 0;
}

int zp_connect_error(int32_t s) {
    if (s <= 0) return ZP_WSAENOTSOCK;
    int err = 0;
    socklen_t len = sizeof err;
    if (osGetsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len) < 0) return WsaFromErrno(errno);
    return err == 0 ? 0 : WsaFromErrno(err);
}

namespace {
// The answers of one socket's poll result, as zp_poll_all reports them.
int AnswersOf(int32_t s, short revents) {
    SockState st = GetState(s);
    bool trouble = (revents & (POLLERR | POLLHUP | POLLNVAL)) != 0;
    // A connect that has not come up and shows trouble has failed: select
    // puts such a socket in the exception set only.
    bool connectFailed = trouble && (st == kConnecting || st == kFresh);
    if (st == kConnecting && !trouble && (revents & POLLOUT)) SetState(s, kEstablished);
    int answers = 0;
    if (!connectFailed && (revents & (POLLIN | POLLHUP | POLLERR))) answers |= 1 << ZP_POLL_READABLE;
    if (!connectFailed && (revents & POLLOUT)) answers |= 1 << ZP_POLL_WRITABLE;
    if (connectFailed || (revents & (POLLPRI | POLLNVAL))) answers |= 1 << ZP_POLL_ERROR;
    return answers;
}

// Zero-timeout poll of count sockets; false when the poll itself failed.
bool PollNow(struct pollfd *p, nfds_t count) {
    int r;
    do {
        r = osPoll(p, count, 0);
    } while (r < 0 && errno == EINTR);
    return r >= 0;
}
}  // namespace

int zp_poll_all_os(int32_t s) {
    if (s <= 0) return 1 << ZP_POLL_ERROR;
    struct pollfd p = {s, static_cast<short>(POLLIN | POLLOUT | POLLPRI), 0};
    if (!PollNow(&p, 1)) return 1 << ZP_POLL_ERROR;
    return AnswersOf(s, p.revents);
}

int zp_poll_pair_os(int32_t a, int32_t b) {
    if (a <= 0 || b <= 0) return zp_poll_all_os(a) | zp_poll_all_os(b) << ZP_POLL_PAIR_SHIFT;
    const short events = static_cast<short>(POLLIN | POLLOUT | POLLPRI);
    struct pollfd p[2] = {{a, events, 0}, {b, events, 0}};
    if (!PollNow(p, 2)) return 1 << ZP_POLL_ERROR | 1 << (ZP_POLL_ERROR + ZP_POLL_PAIR_SHIFT);
    return AnswersOf(a, p[0].revents) | AnswersOf(b, p[1].revents) << ZP_POLL_PAIR_SHIFT;
}

int zp_poll_os(int32_t s, int mode) {
    if (s <= 0) return mode == ZP_POLL_ERROR ? 1 : 0;
    int answers = zp_poll_all(s);
    return mode >= ZP_POLL_READABLE && mode <= ZP_POLL_ERROR ? (answers >> mode) & 1 : 0;
}

int zp_wait_os(int32_t s, int mode, uint32_t ms) {
    if (s <= 0) return 1;
    const short events = static_cast<short>(mode == ZP_POLL_WRITABLE ? POLLOUT : POLLIN);
    struct pollfd p = {s, events, 0};
    // An interrupted wait counts as ready: the caller looks again anyway.
    int r = osPoll(&p, 1, ms > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<int>(ms));
    return r == 0 ? 0 : 1;
}

int zp_is_blocking() { return 0; }

// ---- sockets of either family ------------------------------------------------------
namespace {
// The system's record of a (family 4 or 6); its length, or 0 (with the last
// error set) when a is null or of another family.
socklen_t ToSockaddr(const zp_addr *a, struct sockaddr_storage *ss) {
    memset(ss, 0, sizeof *ss);
    if (!a) {
        FailWith(ZP_WSAEFAULT);
        return 0;
    }
    if (a->family == 4) {
        auto *sin = reinterpret_cast<struct sockaddr_in *>(ss);
        sin->sin_family = AF_INET;
        sin->sin_port = htons(a->port);
        memcpy(&sin->sin_addr, a->addr, 4);
        return sizeof *sin;
    }
    if (a->family == 6) {
        auto *sin6 = reinterpret_cast<struct sockaddr_in6 *>(ss);
        sin6->sin6_family = AF_INET6;
        sin6->sin6_port = htons(a->port);
        memcpy(&sin6->sin6_addr, a->addr, 16);
        sin6->sin6_scope_id = a->scope;
        return sizeof *sin6;
    }
    FailWith(ZP_WSAEAFNOSUPPORT);
    return 0;
}

// a from the system's record: false for a family other than IPv4 and IPv6
// (a is then all zeros).
bool FromSockaddr(const struct sockaddr *sa, zp_addr *a) {
    memset(a, 0, sizeof *a);
    if (sa->sa_family == AF_INET) {
        const auto *sin = reinterpret_cast<const struct sockaddr_in *>(sa);
        a->family = 4;
        a->port = ntohs(sin->sin_port);
        memcpy(a->addr, &sin->sin_addr, 4);
        return true;
    }
    if (sa->sa_family == AF_INET6) {
        const auto *sin6 = reinterpret_cast<const struct sockaddr_in6 *>(sa);
        a->family = 6;
        a->port = ntohs(sin6->sin6_port);
        memcpy(a->addr, &sin6->sin6_addr, 16);
        a->scope = sin6->sin6_scope_id;
        return true;
    }
    return false;
}

// getsockname or getpeername of s into a.
int NameOf(int32_t s, zp_addr *a, int (*call)(int, struct sockaddr *, socklen_t *)) {
    if (s <= 0) return FailWith(ZP_WSAENOTSOCK);
    if (!a) return FailWith(ZP_WSAEFAULT);
    struct sockaddr_storage ss;
    memset(&ss, 0, sizeof ss);
    socklen_t len = sizeof ss;
    if (call(s, reinterpret_cast<struct sockaddr *>(&ss), &len) < 0) return FailErrno();
    return FromSockaddr(reinterpret_cast<struct sockaddr *>(&ss), a) ? 0 : FailWith(ZP_WSAEAFNOSUPPORT);
}
}  // namespace

int32_t zp_socket_family_os(int family) {
    if (family != 4 && family != 6) return FailWith(ZP_WSAEAFNOSUPPORT);
    int fd = osSocket(family == 4 ? AF_INET : AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) return FailErrno();
    fd = LiftFromZero(fd);
    if (fd <= 0) return FailErrno();
    SetState(fd, kFresh);
    return fd;
}

int zp_connect_addr_os(int32_t s, const zp_addr *a) {
    if (s <= 0) return FailWith(ZP_WSAENOTSOCK);
    struct sockaddr_storage ss;
    const socklen_t len = ToSockaddr(a, &ss);
    return len == 0 ? -1 : ConnectTo(s, reinterpret_cast<struct sockaddr *>(&ss), len);
}

int zp_bind_addr_os(int32_t s, const zp_addr *a) {
    if (s <= 0) return FailWith(ZP_WSAENOTSOCK);
    struct sockaddr_storage ss;
    const socklen_t len = ToSockaddr(a, &ss);
    if (len == 0) return -1;
    int one = 1;
    osSetsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    // A listener on an IPv6 address takes IPv6 peers only, whatever the
    // system's default: an IPv4 peer would arrive as a mapped address.
    if (a->family == 6 && osSetsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one) < 0) return FailErrno();
    return osBind(s, reinterpret_cast<struct sockaddr *>(&ss), len) < 0 ? FailErrno() : 0;
}

int32_t zp_accept_addr_os(int32_t s, zp_addr *peer) {
    if (s <= 0) return FailWith(ZP_WSAENOTSOCK);
    struct sockaddr_storage ss;
    memset(&ss, 0, sizeof ss);
    socklen_t len = sizeof ss;
    const int32_t fd = AcceptEstablished(s, reinterpret_cast<struct sockaddr *>(&ss), &len);
    if (fd < 0) return fd;
    if (peer) FromSockaddr(reinterpret_cast<struct sockaddr *>(&ss), peer);
    return fd;
}

int zp_getsockname_addr_os(int32_t s, zp_addr *a) { return NameOf(s, a, osGetsockname); }

int zp_getpeername_addr_os(int32_t s, zp_addr *a) { return NameOf(s, a, osGetpeername); }

// ---- bulk data ------------------------------------------------------------------
namespace {
// A pipe this large holds what a socket typically has ready in one go.
constexpr int kPipeSize = 1 << 20;

// Switches a socket to non-blocking mode once; the bookkeeping remembers it.
int MakeNonBlocking(int s) {
    int flags = osFcntl(s, F_GETFL, 0);
    if (flags < 0) return -1;
    return (flags & O_NONBLOCK) || osFcntl(s, F_SETFL, flags | O_NONBLOCK) == 0 ? 0 : -1;
}

// Empties a pipe whose bytes could not go where they were meant to.
void DrainPipe(int pipeRead) {
    char scratch[4096];
    while (osRead(pipeRead, scratch, sizeof scratch) > 0) {
    }
}

// Moves n bytes from the pipe to the file by reading and writing, for a
// file that splice cannot write to.
int32_t CopyPipeToFile(int pipeRead, int32_t h, int32_t n) {
    char scratch[16384];
    int32_t done = 0;
    while (done < n) {
        uint32_t want = static_cast<uint32_t>(n - done) < sizeof scratch ? static_cast<uint32_t>(n - done)
                                                                        : static_cast<uint32_t>(sizeof scratch);
        ssize_t r = osRead(pipeRead, scratch, want);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0 || zp_file_write_os(h, scratch, static_cast<uint32_t>(r)) != r) return -1;
        done += static_cast<int32_t>(r);
    }
    return done;
}
}  // namespace

int zp_pipe_open_os(int32_t *readEnd, int32_t *writeEnd) {
    int fds[2];
    if (osPipe2(fds, O_CLOEXEC | O_NONBLOCK) < 0) return FailErrno();
    fds[0] = LiftFromZero(fds[0]);
    fds[1] = LiftFromZero(fds[1]);
    if (fds[0] <= 0 || fds[1] <= 0) {
        const int saved = errno;
        if (fds[0] > 0) osClose(fds[0]);
        if (fds[1] > 0) osClose(fds[1]);
        errno = saved;
        return FailErrno();
    }
    // Best effort: a system that allows less keeps its default size.
    osFcntl(fds[1], F_SETPIPE_SZ, kPipeSize);
    *readEnd = fds[0];
    *writeEnd = fds[1];
    return 0;
}

int32_t zp_splice_in_os(int32_t s, int32_t pipeWrite, int32_t n) {
    if (s <= 0) return FailWith(ZP_WSAENOTSOCK);
    if (pipeWrite <= 0 || n <= 0) return FailWith(ZP_WSAEINVAL);
    if (MakeNonBlocking(s) < 0) return FailErrno();
    ssize_t r;
    do {
        r = osSplice(s, nullptr, pipeWrite, nullptr, static_cast<size_t>(n), SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
    } while (r < 0 && errno == EINTR);
    return r < 0 ? FailErrno() : static_cast<int32_t>(r);
}

int32_t zp_splice_out_os(int32_t pipeRead, int32_t h, int32_t n) {
    if (pipeRead <= 0 || h <= 0 || n < 0) return FailWith(ZP_WSAEINVAL);
    int32_t done = 0;
    while (done < n) {
        ssize_t r = osSplice(pipeRead, nullptr, h, nullptr, static_cast<size_t>(n - done), SPLICE_F_MOVE);
        if (r < 0 && errno == EINTR) continue;
        // A file system that splice cannot write to gets the bytes by copy.
        if (r < 0 && (errno == EINVAL || errno == ENOSYS) && done == 0) {
            int32_t copied = CopyPipeToFile(pipeRead, h, n);
            if (copied == n) return n;
            r = -1;
        }
        if (r <= 0) {
            const int saved = errno;
            DrainPipe(pipeRead);
            errno = saved;
            return FailErrno();
        }
        done += static_cast<int32_t>(r);
    }
    return done;
}

int32_t zp_send_file_os(int32_t s, int32_t h, int32_t n) {
    if (s <= 0) return FailWith(ZP_WSAENOTSOCK);
    if (h <= 0 || n <= 0) return FailWith(ZP_WSAEINVAL);
    if (MakeNonBlocking(s) < 0) return FailErrno();
    // sendfile has no MSG_NOSIGNAL: a SIGPIPE it raises is held back while
    // it runs and taken away again, unless one was already waiting.
    sigset_t pipeSet, oldMask, pending;
    sigemptyset(&pipeSet);
    sigaddset(&pipeSet, SIGPIPE);
    sigemptyset(&pending);
    osPthreadSigmask(SIG_BLOCK, &pipeSet, &oldMask);
    osSigpending(&pending);
    const bool waitingBefore = sigismember(&pending, SIGPIPE) == 1;
    ssize_t r;
    do {
        r = osSendfile(s, h, nullptr, static_cast<size_t>(n));
    } while (r < 0 && errno == EINTR);
    const int saved = errno;
    if (r < 0 && saved == EPIPE && !waitingBefore) {
        struct timespec none = {0, 0};
        osSigtimedwait(&pipeSet, nullptr, &none);
    }
    osPthreadSigmask(SIG_SETMASK, &oldMask, nullptr);
    if (r >= 0) return static_cast<int32_t>(r);
    // A file sendfile cannot read from (or a read error): the caller reads
    // it itself, and sees the error there if there is one.
    if (saved == EINVAL || saved == ENOSYS || saved == EIO || saved == EOVERFLOW || saved == ESPIPE)
        return FailWith(ZP_WSAEOPNOTSUPP);
    errno = saved;
    return FailErrno();
}

// ---- resolver -----------------------------------------------------------------
namespace {
int WsaFromEai(int e) {
    switch (e) {
    case EAI_NONAME: return ZP_WSAHOST_NOT_FOUND;
    case EAI_AGAIN: return ZP_WSATRY_AGAIN;
#ifdef EAI_NODATA
    case EAI_NODATA: return ZP_WSANO_DATA;
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY: return ZP_WSANO_DATA;
#endif
    case EAI_SYSTEM: return WsaFromErrno(errno);
    default: return ZP_WSANO_RECOVERY;
    }
}
}  // namespace

int zp_resolve_os(const char *name, uint32_t *addrs, int max) {
    if (!name || !*name) return FailWith(ZP_WSAHOST_NOT_FOUND);
    struct addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo *res = nullptr;
    int e = osGetaddrinfo(name, nullptr, &hints, &res);
    if (e != 0) return FailWith(WsaFromEai(e));
    int n = 0;
    for (struct addrinfo *ai = res; ai && n < max; ai = ai->ai_next) {
        if (ai->ai_family != AF_INET) continue;
        addrs[n++] = ntohl(reinterpret_cast<struct sockaddr_in *>(ai->ai_addr)->sin_addr.s_addr);
    }
    osFreeaddrinfo(res);
    return n == 0 ? FailWith(ZP_WSANO_DATA) : n;
}

namespace {
// The addresses of one getaddrinfo answer of the family asked for (0:
// either), repeats left out: how many were stored, at most max; or -1 with
// the last error set.
int LookUp(const char *name, int family, zp_addr *out, int max) {
    struct addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = family == 4 ? AF_INET : family == 6 ? AF_INET6 : AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;  // one entry per address; no AI_ADDRCONFIG: ::1 on any host
    struct addrinfo *res = nullptr;
    int e = osGetaddrinfo(name, nullptr, &hints, &res);
    if (e != 0) return FailWith(WsaFromEai(e));
    int n = 0;
    for (struct addrinfo *ai = res; ai && n < max; ai = ai->ai_next) {
        zp_addr a;
        if (!ai->ai_addr || !FromSockaddr(ai->ai_addr, &a)) continue;
        if ((family == 4 || family == 6) && a.family != family) continue;
        a.port = 0;
        bool seen = false;
        for (int i = 0; i < n && !seen; ++i) seen = memcmp(&out[i], &a, sizeof a) == 0;
        if (!seen) out[n++] = a;
    }
    osFreeaddrinfo(res);
    return n == 0 ? FailWith(ZP_WSANO_DATA) : n;
}
}  // namespace

int zp_resolve_addrs_os(const char *name, int family, zp_addr *out, int max) {
    if (family != 0 && family != 4 && family != 6) return FailWith(ZP_WSAEAFNOSUPPORT);
    if (!out || max < 1) return FailWith(ZP_WSAEFAULT);
    if (!name || !*name) return FailWith(ZP_WSAHOST_NOT_FOUND);
    int n = LookUp(name, family, out, max);
    // The resolver may call a name without addresses of one family unknown
    // (glibc does for a name of /etc/hosts): known with the other family,
    // it is a name without data of this one.
    if (n < 0 && family != 0 && zp_last_error() == ZP_WSAHOST_NOT_FOUND) {
        zp_addr other;
        if (LookUp(name, 0, &other, 1) > 0) return FailWith(ZP_WSANO_DATA);
        zp_set_last_error(ZP_WSAHOST_NOT_FOUND);
    }
    return n;
}

int zp_gethostname_os(char *buf, int size) {
    if (!buf || size <= 0) return FailWith(ZP_WSAEFAULT);
    buf[0] = 0;
    if (osGethostname(buf, static_cast<size_t>(size)) < 0) return FailErrno();
    buf[size - 1] = 0;
    return 0;
}
