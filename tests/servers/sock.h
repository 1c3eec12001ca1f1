// sock.h - small bounded socket helpers (POSIX or Windows Sockets 2) for the
// test servers and for tests that play a plain client.
//
// Every wait is a poll in short slices with an overall bound, so nothing
// here can hang a test: a wait also gives up when the optional stop flag is
// set, or when the optional watched socket (a control connection) hangs up.
// All sockets are loopback-only, non-blocking and not inherited by children.
// Descriptors are int on both systems (a Windows SOCKET fits).
#pragma once

#include <atomic>
#include <cstddef>
#include <string>

namespace zt::sock {

// What a wait may be cut short by; both parts are optional.
struct Cancel {
    const std::atomic<bool>* stop = nullptr; // set -> give up
    int watchFd = -1;                        // hangs up -> give up
};

// Waits until fd has `events` (POLLIN/POLLOUT; winsock2.h has them too). 1 ready, 0 timed out,
// -1 cancelled or the watched socket hung up.
int waitFor(int fd, short events, int timeoutMs, const Cancel& c = {});

// Waits until fd is readable; 1 ready, 0 timed out, -1 error.
int waitReadable(int fd, int timeoutMs);
// Waits until fd holds at least n unread bytes; false at the bound.
bool waitHolding(int fd, long n, int timeoutMs = 5000);

// Listening socket on 127.0.0.1 with an ephemeral port (stored in *port).
int listenLoopback(int* port);
// Listening socket on 127.0.0.1 on a free port above 32767 (tried at
// random in that range; stored in *port); -1 when none was free.
int listenHigh(int* port);
// Listening socket on 127.0.0.1:port; -1 when the port is taken.
int listenOn(int port);
// A port on 127.0.0.1 that nobody listens on (bound once, then released).
int unusedPort();
// Accepts one connection within timeoutMs; -1 on timeout or cancel.
int acceptWithin(int listenFd, int timeoutMs, const Cancel& c = {});
// Connects to 127.0.0.1:port (ip in host byte order for other loopback
// addresses) within timeoutMs; -1 on failure. A fromIp other than 0 is the
// local address to connect from (another loopback address).
int connectLoopback(int port, int timeoutMs, const Cancel& c = {}, unsigned ip = 0x7F000001u,
                    unsigned fromIp = 0);

bool sendAll(int fd, const void* data, size_t len, int timeoutMs, const Cancel& c = {});
inline bool sendAll(int fd, const std::string& s, int timeoutMs = 5000, const Cancel& c = {}) {
    return sendAll(fd, s.data(), s.size(), timeoutMs, c);
}
// One receive: >0 bytes read, 0 end of stream, -1 error or reset,
// -2 nothing within timeoutMs (or cancelled).
long recvSome(int fd, char* buf, size_t len, int timeoutMs, const Cancel& c = {});
// Appends to *acc until it contains `needle`; false on timeout/close.
bool recvUntil(int fd, std::string* acc, const std::string& needle, int timeoutMs = 5000);
// Reads until the peer closes (true) or an error/timeout (false).
bool recvToEnd(int fd, std::string* acc, int timeoutMs = 5000);

// Waits (bounded) until the peer has acknowledged everything sent, so that
// a following reset does not overtake data still in our send queue.
void drainSendQueue(int fd, int timeoutMs = 1000);
void closeGraceful(int fd);
void closeReset(int fd); // SO_LINGER 0: the peer sees a connection reset

// True when the program runs under Wine. Wine's sockets report a reset by
// the peer as an orderly close (recv returns 0, no error), so there a test
// cannot tell the two apart.
bool underWine();

// Sleeps in short slices; false when the stop flag cut it short.
bool pauseFor(int ms, const std::atomic<bool>* stop = nullptr);

} // namespace zt::sock
