// sock.cpp - bounded socket helpers (see sock.h): waiting, listening and
// accepting, connecting, sending and receiving, closing. POSIX sockets, or
// Windows Sockets 2 when built for Windows; the few calls that differ are
// wrapped at the top.
#include "servers/sock.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace zt::sock {

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kSliceMs = 20;

int msLeft(Clock::time_point end) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

bool cancelled(const Cancel& c) { return c.stop && c.stop->load(); }

// ---- what differs between Windows Sockets 2 and POSIX ----------------------
// Descriptors stay int on both: SOCKET values fit, INVALID_SOCKET is -1.
#ifdef _WIN32
using socklen_t = int;

// The helpers hold a Windows Sockets reference of their own for the life of
// the process, so the library's start-up and clean-up (which the tests
// repeat) never close a test server's sockets.
bool netReady() {
    static const bool ready = [] {
        WSADATA data;
        return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return ready;
}

SOCKET S(int fd) { return static_cast<SOCKET>(static_cast<unsigned>(fd)); }
int lastError() { return ::WSAGetLastError(); }
bool wouldBlock(int err) { return err == WSAEWOULDBLOCK || err == WSAEINTR; }
bool connectPending(int err) { return err == WSAEWOULDBLOCK || err == WSAEINPROGRESS; }
void closeFd(int fd) { ::closesocket(S(fd)); }

// Non-blocking and not inherited by child processes.
int adopt(SOCKET s) {
    if (s == INVALID_SOCKET) return -1;
    u_long on = 1;
    ::ioctlsocket(s, FIONBIO, &on);
    ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    return static_cast<int>(s);
}

int newSocket() {
    if (!netReady()) return -1;
    return adopt(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
}

int acceptOne(int listenFd) { return adopt(::accept(S(listenFd), nullptr, nullptr)); }

long sendSome(int fd, const char* p, size_t len) {
    int n = static_cast<int>(std::min<size_t>(len, 1 << 30));
    return ::send(S(fd), p, n, 0);
}

long recvOnce(int fd, char* buf, size_t len) {
    int n = static_cast<int>(std::min<size_t>(len, 1 << 30));
    return ::recv(S(fd), buf, n, 0);
}

// A peer that closed or reset the watched socket: readable, and a peek
// finds the end of the stream or an error. Pending data is no hang-up.
bool hungUp(int fd) {
    WSAPOLLFD p{S(fd), POLLRDNORM, 0};
    int n = ::WSAPoll(&p, 1, 0);
    if (n < 0) return true;
    if (n == 0) return false;
    if (p.revents & (POLLHUP | POLLERR | POLLNVAL)) return true;
    char c;
    int r = ::recv(S(fd), &c, 1, MSG_PEEK);
    return r == 0 || (r < 0 && !wouldBlock(lastError()));
}

// 1 ready, 0 nothing within ms, -1 error. The watched socket is looked at
// once per slice, before the wait (WSAPoll has no read-hang-up event).
int pollSlice(int fd, short events, int watchFd, int ms) {
    if (watchFd >= 0 && hungUp(watchFd)) return -1;
    WSAPOLLFD p{S(fd), static_cast<short>(events == POLLIN ? POLLRDNORM : POLLWRNORM), 0};
    int n = ::WSAPoll(&p, 1, ms);
    if (n < 0) return -1;
    return n > 0 && p.revents ? 1 : 0;
}
#else
int lastError() { return errno; }
bool wouldBlock(int err) { return err == EAGAIN || err == EWOULDBLOCK || err == EINTR; }
bool connectPending(int err) { return err == EINPROGRESS; }
void closeFd(int fd) { ::close(fd); }

int newSocket() {
    return ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
}

int acceptOne(int listenFd) {
    return ::accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
}

long sendSome(int fd, const char* p, size_t len) { return ::send(fd, p, len, MSG_NOSIGNAL); }

long recvOnce(int fd, char* buf, size_t len) { return ::recv(fd, buf, len, 0); }

int pollSlice(int fd, short events, int watchFd, int ms) {
    pollfd p[2] = {{fd, events, 0}, {watchFd, POLLRDHUP, 0}};
    int n = ::poll(p, watchFd >= 0 ? 2 : 1, ms);
    if (n < 0) return errno == EINTR ? 0 : -1;
    if (n > 0 && watchFd >= 0 && (p[1].revents & (POLLRDHUP | POLLHUP | POLLERR))) return -1;
    return n > 0 && p[0].revents ? 1 : 0;
}
#endif

sockaddr_in loopback(int port, unsigned ip = 0x7F000001u) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(ip);
    return a;
}

int boundPort(int fd) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) return 0;
    return ntohs(a.sin_port);
}

} // namespace

int waitFor(int fd, short events, int timeoutMs, const Cancel& c) {
    auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (cancelled(c)) return -1;
        int n = pollSlice(fd, events, c.watchFd, std::min(kSliceMs, msLeft(end)));
        if (n != 0) return n;
        if (msLeft(end) == 0) return 0;
    }
}

int waitReadable(int fd, int timeoutMs) { return waitFor(fd, POLLIN, timeoutMs); }

int listenOn(int port) {
    int fd = newSocket();
    if (fd < 0) return -1;
#ifndef _WIN32
    // A port whose last connection lingers is free to take; listening then
    // holds it against every other socket. (On Windows the option would let
    // another socket take the port over.)
    int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
#endif
    sockaddr_in a = loopback(port);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 4) != 0) {
        closeFd(fd);
        return -1;
    }
    return fd;
}

int listenLoopback(int* port) {
    int fd = listenOn(0);
    if (fd < 0) return -1;
    if (port) *port = boundPort(fd);
    return fd;
}

int listenHigh(int* port) {
    // Ports above 32767 read as negative through a signed 16-bit field;
    // the start is random so that processes side by side spread out.
    const unsigned seed = static_cast<unsigned>(Clock::now().time_since_epoch().count());
    for (unsigned i = 0; i < 1000; ++i) {
        const int candidate = 32768 + static_cast<int>((seed + i * 7919u) % 32768u);
        int fd = listenOn(candidate);
        if (fd >= 0) {
            if (port) *port = candidate;
            return fd;
        }
    }
    return -1;
}

int unusedPort() {
    int fd = newSocket();
    if (fd < 0) return 0;
    sockaddr_in a = loopback(0);
    int port = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 ? boundPort(fd) : 0;
    closeFd(fd);
    return port;
}

int acceptWithin(int listenFd, int timeoutMs, const Cancel& c) {
    if (waitFor(listenFd, POLLIN, timeoutMs, c) != 1) return -1;
    return acceptOne(listenFd);
}

int connectLoopback(int port, int timeoutMs, const Cancel& c, unsigned ip, unsigned fromIp) {
    int fd = newSocket();
    if (fd < 0) return -1;
    sockaddr_in from = loopback(0, fromIp);
    if (fromIp != 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0) {
        closeFd(fd);
        return -1;
    }
    sockaddr_in a = loopback(port, ip);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return fd;
    int err = lastError();
    if (connectPending(err) && waitFor(fd, POLLOUT, timeoutMs, c) == 1) {
        socklen_t len = sizeof err;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len) == 0 && err == 0)
            return fd;
    }
    closeFd(fd);
    return -1;
}

bool sendAll(int fd, const void* data, size_t len, int timeoutMs, const Cancel& c) {
    auto p = static_cast<const char*>(data);
    auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (len > 0) {
        long n = sendSome(fd, p, len);
        if (n > 0) {
            p += n;
            len -= static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && !wouldBlock(lastError())) return false;
        if (waitFor(fd, POLLOUT, msLeft(end), c) != 1) return false;
    }
    return true;
}

long recvSome(int fd, char* buf, size_t len, int timeoutMs, const Cancel& c) {
    for (;;) {
        long n = recvOnce(fd, buf, len);
        if (n >= 0) return n;
        if (!wouldBlock(lastError())) return -1;
        if (waitFor(fd, POLLIN, timeoutMs, c) != 1) return -2;
    }
}

bool recvUntil(int fd, std::string* acc, const std::string& needle, int timeoutMs) {
    auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    char buf[4096];
    while (acc->find(needle) == std::string::npos) {
        long n = recvSome(fd, buf, sizeof buf, msLeft(end));
        if (n <= 0) return false;
        acc->append(buf, static_cast<size_t>(n));
    }
    return true;
}

bool recvToEnd(int fd, std::string* acc, int timeoutMs) {
    auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    char buf[8192];
    for (;;) {
        long n = recvSome(fd, buf, sizeof buf, msLeft(end));
        if (n == 0) return true;
        if (n < 0) return false;
        acc->append(buf, static_cast<size_t>(n));
    }
}

bool waitHolding(int fd, long n, int timeoutMs) {
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
#ifdef _WIN32
        u_long held = 0;
        if (::ioctlsocket(static_cast<SOCKET>(fd), FIONREAD, &held) != 0) return false;
#else
        int held = 0;
        if (::ioctl(fd, FIONREAD, &held) != 0) return false;
#endif
        if (static_cast<long>(held) >= n) return true;
        if (msLeft(end) <= 0) return false;
        std::this_thread::yield();
    }
}

#ifdef _WIN32
// Windows Sockets cannot tell how much of the send queue the peer has
// acknowledged. Over loopback, send hands the bytes to the peer's receive
// queue before it returns, so there is nothing left to wait for.
void drainSendQueue(int, int) {}
#else
void drainSendQueue(int fd, int timeoutMs) {
    auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    int queued = 0;
    while (::ioctl(fd, SIOCOUTQ, &queued) == 0 && queued > 0 && msLeft(end) > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}
#endif

void closeGraceful(int fd) {
    if (fd >= 0) closeFd(fd);
}

void closeReset(int fd) {
    if (fd < 0) return;
    linger l{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l), sizeof l);
    closeFd(fd);
}

#ifdef _WIN32
bool underWine() {
    HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
    return ntdll && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}
#else
bool underWine() { return false; }
#endif

bool pauseFor(int ms, const std::atomic<bool>* stop) {
    auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (msLeft(end) > 0) {
        if (stop && stop->load()) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min(kSliceMs, msLeft(end))));
    }
    return !(stop && stop->load());
}

} // namespace zt::sock
