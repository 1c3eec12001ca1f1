// sock.cpp - bounded socket helpers (see sock.h): waiting, listening and
// accepting, connecting, sending and receiving, closing.
#include "testserver/sock.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace zt::sock {

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kSliceMs = 20;

int msLeft(Clock::time_point end) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

bool cancelled(const Cancel& c) { return c.stop && c.stop->load(); }

sockaddr_in loopback(int port, unsigned ip = 0x7F000001u) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(ip);
    return a;
}

int newSocket() {
    return ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
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
        pollfd p[2] = {{fd, events, 0}, {c.watchFd, POLLRDHUP, 0}};
        int n = ::poll(p, c.watchFd >= 0 ? 2 : 1, std::min(kSliceMs, msLeft(end)));
        if (n < 0 && errno != EINTR) return -1;
        if (n > 0 && c.watchFd >= 0 && (p[1].revents & (POLLRDHUP | POLLHUP | POLLERR))) return -1;
        if (n > 0 && p[0].revents) return 1;
        if (msLeft(end) == 0) return 0;
    }
}

int listenLoopback(int* port) {
    int fd = newSocket();
    if (fd < 0) return -1;
    int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a = loopback(0);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 4) != 0) {
        ::close(fd);
        return -1;
    }
    if (port) *port = boundPort(fd);
    return fd;
}

int unusedPort() {
    int fd = newSocket();
    if (fd < 0) return 0;
    sockaddr_in a = loopback(0);
    int port = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 ? boundPort(fd) : 0;
    ::close(fd);
    return port;
}

int acceptWithin(int listenFd, int timeoutMs, const Cancel& c) {
    if (waitFor(listenFd, POLLIN, timeoutMs, c) != 1) return -1;
    return ::accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
}

int connectLoopback(int port, int timeoutMs, const Cancel& c, unsigned ip) {
    int fd = newSocket();
    if (fd < 0) return -1;
    sockaddr_in a = loopback(port, ip);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return fd;
    int err = errno;
    if (err == EINPROGRESS && waitFor(fd, POLLOUT, timeoutMs, c) == 1) {
        socklen_t len = sizeof err;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0) return fd;
    }
    ::close(fd);
    return -1;
}

bool sendAll(int fd, const void* data, size_t len, int timeoutMs, const Cancel& c) {
    auto p = static_cast<const char*>(data);
    auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (len > 0) {
        ssize_t n = ::send(fd, p, len, MSG_NOSIGNAL);
        if (n > 0) {
            p += n;
            len -= static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return false;
        if (waitFor(fd, POLLOUT, msLeft(end), c) != 1) return false;
    }
    return true;
}

long recvSome(int fd, char* buf, size_t len, int timeoutMs, const Cancel& c) {
    for (;;) {
        ssize_t n = ::recv(fd, buf, len, 0);
        if (n >= 0) return n;
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return -1;
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

void drainSendQueue(int fd, int timeoutMs) {
    auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    int queued = 0;
    while (::ioctl(fd, SIOCOUTQ, &queued) == 0 && queued > 0 && msLeft(end) > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void closeGraceful(int fd) {
    if (fd >= 0) ::close(fd);
}

void closeReset(int fd) {
    if (fd < 0) return;
    linger l{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    ::close(fd);
}

bool pauseFor(int ms, const std::atomic<bool>* stop) {
    auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (msLeft(end) > 0) {
        if (stop && stop->load()) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min(kSliceMs, msLeft(end))));
    }
    return !(stop && stop->load());
}

} // namespace zt::sock
