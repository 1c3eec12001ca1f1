// platform_test.cpp - the platform layer's handle rules: handle 0 is never
// handed out, not even with standard input closed; every call refuses
// handle 0 and leaves the process's descriptor 0 alone; the clock can be
// replaced through the system-call table.
//
// The descriptor-0 checks run in a forked child, which may close or replace
// its own standard input freely; its exit code names the first failed step.
//
// Divisions: child runner, handles with standard input closed, calls on
// handle 0, sockets of either family, resolver, system-call table.
#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "net/address6.h"
#include "servers/sock.h"
#include "support.h"

using namespace frame_test;

namespace {

// ---- child runner --------------------------------------------------------------
struct Step {
    const char *what;
    std::function<bool()> ok;
};

// Descriptor 0 and fork are POSIX's: Windows has neither (its handle 0 is
// never valid), so these checks run on POSIX only.
#ifndef _WIN32

// Runs the steps in a child after `prepare`; returns "" or the failed step.
std::string RunInChild(const std::function<bool()> &prepare, const std::vector<Step> &steps) {
    pid_t pid = fork();
    if (pid < 0) return "fork failed";
    if (pid == 0) {
        if (!prepare()) _exit(100);
        for (size_t i = 0; i < steps.size(); ++i)
            if (!steps[i].ok()) _exit(static_cast<int>(i + 1));
        _exit(0);
    }
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return "waitpid failed";
    if (!WIFEXITED(status)) return "child died by signal " + std::to_string(WTERMSIG(status));
    const int code = WEXITSTATUS(status);
    if (code == 0) return "";
    if (code == 100) return "preparing the child failed";
    if (code <= static_cast<int>(steps.size())) return steps[static_cast<size_t>(code - 1)].what;
    return "exit code " + std::to_string(code);
}

bool DescriptorZeroClosed() { return fcntl(0, F_GETFD) == -1 && errno == EBADF; }

// ---- handles with standard input closed -------------------------------------------
class PlatformHandles : public FrameTest {};

TEST_F(PlatformHandles, NeverZeroEvenWithStandardInputClosed) {
    const std::string path = Path("h.txt");
    const uint32_t lo = 0x7F000001;
    int32_t listener = 0, client = 0;
    uint16_t port = 0;
    const std::vector<Step> steps = {
        {"zp_file_create gives a handle > 0", [&] { return zp_file_create(path.c_str(), ZP_ATTR_NORMAL) > 0; }},
        {"descriptor 0 is free again after create", DescriptorZeroClosed},
        {"zp_file_open gives a handle > 0", [&] { return zp_file_open(path.c_str(), ZP_OPEN_READ) > 0; }},
        {"descriptor 0 is free again after open", DescriptorZeroClosed},
        {"zp_socket gives a handle > 0", [&] { return (listener = zp_socket()) > 0; }},
        {"descriptor 0 is free again after socket", DescriptorZeroClosed},
        {"the lifted socket listens on loopback",
         [&] {
             uint32_t a;
             return zp_bind(listener, lo, 0) == 0 && zp_listen(listener, 1) == 0 &&
                    zp_getsockname(listener, &a, &port) == 0 && port != 0;
         }},
        {"a client connects", [&] { return (client = zp_socket()) > 0 && zp_connect(client, lo, port) == 0; }},
        {"descriptor 0 is free before accept", DescriptorZeroClosed},
        {"zp_accept gives a handle > 0",
         [&] {
             int32_t s = zp_accept(listener, nullptr, nullptr);
             return s > 0 && zp_send(client, "ping", 4) == 4 && [&] {
                 char b[8];
                 return zp_recv(s, b, sizeof b) == 4 && std::memcmp(b, "ping", 4) == 0;
             }();
         }},
        {"descriptor 0 is free after accept", DescriptorZeroClosed},
    };
    // The test process itself may run without standard input already.
    EXPECT_EQ(RunInChild([] { return close(0) == 0 || DescriptorZeroClosed(); }, steps), "");
}

#endif  // !_WIN32

// ---- calls on handle 0 ------------------------------------------------------------------
bool FailsWithNotSocket(int r) { return r == -1 && zp_last_error() == ZP_WSAENOTSOCK; }

// The loopback address of family 4 or 6 at port.
zp_addr Loopback(int family, uint16_t port = 0) {
    zp_addr a = {};
    a.family = static_cast<uint16_t>(family);
    a.port = port;
    if (family == 4) {
        a.addr[0] = 127;
        a.addr[3] = 1;
    } else {
        a.addr[15] = 1;
    }
    return a;
}

std::vector<Step> CallsOnHandle(int32_t h) {
    static char buf[8];
    static zp_addr addr = Loopback(6, 21);
    return {
        {"zp_file_read", [h] { return zp_file_read(h, buf, sizeof buf) == -1; }},
        {"zp_file_write", [h] { return zp_file_write(h, "w", 1) == -1; }},
        {"zp_file_seek", [h] { return zp_file_seek(h, 0, ZP_SEEK_SET) == -1; }},
        {"zp_file_close", [h] { return zp_file_close(h) == -1; }},
        {"zp_set_nonblocking", [h] { return FailsWithNotSocket(zp_set_nonblocking(h, 1)); }},
        {"zp_connect", [h] { return FailsWithNotSocket(zp_connect(h, 0x7F000001, 21)); }},
        {"zp_bind", [h] { return FailsWithNotSocket(zp_bind(h, 0x7F000001, 0)); }},
        {"zp_listen", [h] { return FailsWithNotSocket(zp_listen(h, 1)); }},
        {"zp_accept", [h] { return FailsWithNotSocket(zp_accept(h, nullptr, nullptr)); }},
        {"zp_send", [h] { return FailsWithNotSocket(zp_send(h, "s", 1)); }},
        {"zp_recv", [h] { return FailsWithNotSocket(zp_recv(h, buf, sizeof buf)); }},
        {"zp_getsockname", [h] { return FailsWithNotSocket(zp_getsockname(h, nullptr, nullptr)); }},
        {"zp_close_socket", [h] { return FailsWithNotSocket(zp_close_socket(h)); }},
        {"zp_connect_error", [h] { return zp_connect_error(h) == ZP_WSAENOTSOCK; }},
        {"zp_poll error condition", [h] { return zp_poll(h, ZP_POLL_ERROR) == 1; }},
        {"zp_poll readable", [h] { return zp_poll(h, ZP_POLL_READABLE) == 0; }},
        {"zp_poll writable", [h] { return zp_poll(h, ZP_POLL_WRITABLE) == 0; }},
        {"zp_poll_pair", [h] { return zp_poll_pair(h, h) == (1 << ZP_POLL_ERROR | 1 << (ZP_POLL_ERROR + ZP_POLL_PAIR_SHIFT)); }},
        {"zp_wait answers at once", [h] { return zp_wait(h, ZP_POLL_READABLE, 60000) == 1; }},
        {"zp_splice_in", [h] { return zp_splice_in(h, h, 1) == -1; }},
        {"zp_splice_out", [h] { return zp_splice_out(h, h, 1) == -1; }},
        {"zp_send_file", [h] { return zp_send_file(h, h, 1) == -1; }},
        {"zp_connect_addr", [h] { return FailsWithNotSocket(zp_connect_addr(h, &addr)); }},
        {"zp_bind_addr", [h] { return FailsWithNotSocket(zp_bind_addr(h, &addr)); }},
        {"zp_accept_addr", [h] { return FailsWithNotSocket(zp_accept_addr(h, &addr)); }},
        {"zp_getsockname_addr", [h] { return FailsWithNotSocket(zp_getsockname_addr(h, &addr)); }},
        {"zp_getpeername_addr", [h] { return FailsWithNotSocket(zp_getpeername_addr(h, &addr)); }},
    };
}

#ifndef _WIN32
// Descriptor 0 is a connected socket with one byte waiting: any call that
// reached it would read, write, close it or make it non-blocking. (POSIX
// only: it needs fork and a descriptor 0.)
TEST(PlatformHandleZero, CallsFailAndLeaveDescriptorZeroAlone) {
    int pair[2] = {-1, -1};
    std::vector<Step> steps = CallsOnHandle(0);
    steps.push_back({"descriptor 0 is still blocking", [] { return (fcntl(0, F_GETFL) & O_NONBLOCK) == 0; }});
    steps.push_back({"nothing was sent through descriptor 0", [&] {
                         char c;
                         return recv(pair[1], &c, 1, MSG_DONTWAIT) == -1 && errno == EAGAIN;
                     }});
    steps.push_back({"descriptor 0 still holds its byte", [] {
                         char c = 0;
                         return read(0, &c, 1) == 1 && c == 'x';
                     }});
    const auto prepare = [&] {
        return socketpair(AF_UNIX, SOCK_STREAM, 0, pair) == 0 && dup2(pair[0], 0) == 0 &&
               write(pair[1], "x", 1) == 1;
    };
    EXPECT_EQ(RunInChild(prepare, steps), "");
}
#endif

// Every call refuses handle 0 and negative handles without reaching the
// system.
TEST(PlatformHandleZero, NegativeHandlesFailToo) {
    for (const Step &s : CallsOnHandle(-1)) EXPECT_TRUE(s.ok()) << s.what;
}

// What zp_poll reports for a socket in each state, the same on every
// backend: one never connected can never become writable, so it is in the
// error condition (a wait for it to become writable must end).
TEST(PlatformSockets, PollReportsTheSocketsState) {
    ASSERT_EQ(zp_net_startup(nullptr, 0), 0);
    const uint32_t lo = 0x7F000001;
    uint16_t port = 0;
    const int32_t listener = zp_socket(), client = zp_socket(), fresh = zp_socket();
    ASSERT_GT(listener, 0);
    ASSERT_GT(client, 0);
    ASSERT_GT(fresh, 0);
    ASSERT_EQ(zp_bind(listener, lo, 0), 0);
    ASSERT_EQ(zp_listen(listener, 1), 0);
    ASSERT_EQ(zp_getsockname(listener, nullptr, &port), 0);
    ASSERT_EQ(zp_connect(client, lo, port), 0);
    struct Case {
        const char *what;
        int32_t s;
        int readable, writable, error;
    };
    for (const Case &c : {Case{"never connected", fresh, 0, 0, 1}, Case{"listening, a connection waiting", listener, 1, 0, 0},
                          Case{"connected, nothing to read", client, 0, 1, 0}}) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(zp_poll(c.s, ZP_POLL_READABLE), c.readable);
        EXPECT_EQ(zp_poll(c.s, ZP_POLL_WRITABLE), c.writable);
        EXPECT_EQ(zp_poll(c.s, ZP_POLL_ERROR), c.error);
    }
    for (int32_t s : {listener, client, fresh}) EXPECT_EQ(zp_close_socket(s), 0);
    zp_net_cleanup();
}

// ---- sockets of either family -------------------------------------------------------
std::string Text(const zp_addr &a) {
    char buf[zub::kAddressTextSize];
    zub::FormatAddress(&a, buf, sizeof buf);
    return std::string(buf) + " port " + std::to_string(a.port);
}

class PlatformEitherFamily : public ::testing::TestWithParam<int> {
  protected:
    void SetUp() override { ASSERT_EQ(zp_net_startup(nullptr, 0), 0); }
    void TearDown() override {
        for (int32_t s : open_)
            if (s > 0) zp_close_socket(s);
        zp_net_cleanup();
    }
    int32_t Socket() {
        const int32_t s = zp_socket_family(GetParam());
        if (s > 0) open_.push_back(s);
        return s;
    }
    // A non-blocking connect to a, waited for with a generous bound.
    int32_t ConnectTo(const zp_addr &a) {
        const int32_t s = Socket();
        if (s <= 0 || zp_set_nonblocking(s, 1) != 0) return -1;
        const int r = zp_connect_addr(s, &a);
        if (r != 0 && zp_last_error() != ZP_WSAEWOULDBLOCK) return s;  // refused at once: the error is set
        zp_wait(s, ZP_POLL_WRITABLE, 10000);
        return s;
    }
    std::vector<int32_t> open_;
};

// Listen, connect without waiting, accept: both ends agree on who is who.
TEST_P(PlatformEitherFamily, LoopbackRoundTrip) {
    const int family = GetParam();
    const zp_addr lo = Loopback(family);
    const int32_t listener = Socket();
    ASSERT_GT(listener, 0);
    ASSERT_EQ(zp_bind_addr(listener, &lo), 0) << zp_last_error();
    ASSERT_EQ(zp_listen(listener, 1), 0);
    zp_addr name;
    ASSERT_EQ(zp_getsockname_addr(listener, &name), 0);
    ASSERT_NE(name.port, 0);
    EXPECT_EQ(Text(name), Text(Loopback(family, name.port)));

    const int32_t client = ConnectTo(name);
    ASSERT_GT(client, 0);
    EXPECT_EQ(zp_poll(client, ZP_POLL_WRITABLE), 1);
    EXPECT_EQ(zp_poll(client, ZP_POLL_ERROR), 0);
    EXPECT_EQ(zp_connect_error(client), 0);
    zp_addr peer;
    const int32_t accepted = zp_accept_addr(listener, &peer);
    ASSERT_GT(accepted, 0);
    open_.push_back(accepted);

    zp_addr clientName, clientPeer, acceptedName, acceptedPeer;
    ASSERT_EQ(zp_getsockname_addr(client, &clientName), 0);
    ASSERT_EQ(zp_getpeername_addr(client, &clientPeer), 0);
    ASSERT_EQ(zp_getsockname_addr(accepted, &acceptedName), 0);
    ASSERT_EQ(zp_getpeername_addr(accepted, &acceptedPeer), 0);
    EXPECT_EQ(Text(peer), Text(Loopback(family, clientName.port)));
    EXPECT_EQ(Text(acceptedPeer), Text(clientName));
    EXPECT_EQ(Text(clientPeer), Text(name));
    EXPECT_EQ(Text(acceptedName), Text(name));

    char got[4] = {};
    ASSERT_EQ(zp_send(client, "six", 3), 3);
    ASSERT_EQ(zp_wait(accepted, ZP_POLL_READABLE, 10000), 1);
    ASSERT_EQ(zp_recv(accepted, got, sizeof got), 3);
    EXPECT_STREQ(got, "six");
    // Not connected: no peer.
    EXPECT_EQ(zp_getpeername_addr(listener, &peer), -1);
    EXPECT_EQ(zp_last_error(), ZP_WSAENOTCONN);
}

// A port nobody listens on (held by a socket bound there): the connect
// fails as on the IPv4 path, in the error condition, never writable, with
// the refusal as the socket's error.
TEST_P(PlatformEitherFamily, RefusedConnectIsAnErrorCondition) {
    const zp_addr lo = Loopback(GetParam());
    const int32_t holder = Socket();
    zp_addr free;
    ASSERT_GT(holder, 0);
    ASSERT_EQ(zp_bind_addr(holder, &lo), 0);
    ASSERT_EQ(zp_getsockname_addr(holder, &free), 0);
    const int32_t client = ConnectTo(free);
    ASSERT_GT(client, 0);
    if (zp_last_error() == ZP_WSAECONNREFUSED) return;  // refused at once
    for (int i = 0; i < 1000 && zp_poll(client, ZP_POLL_ERROR) == 0; ++i) zp_wait(client, ZP_POLL_WRITABLE, 10);
    EXPECT_EQ(zp_poll(client, ZP_POLL_ERROR), 1);
    EXPECT_EQ(zp_poll(client, ZP_POLL_WRITABLE), 0);
    EXPECT_EQ(zp_connect_error(client), ZP_WSAECONNREFUSED);
}

INSTANTIATE_TEST_SUITE_P(Families, PlatformEitherFamily, ::testing::Values(4, 6),
                         [](const ::testing::TestParamInfo<int> &i) { return "IPv" + std::to_string(i.param); });

// What is refused before the system is asked, and an IPv6 listener that
// takes IPv6 only: it cannot be bound to an IPv4-mapped address.
TEST(PlatformSockets, EitherFamilyArgumentsAndIpv6Only) {
    ASSERT_EQ(zp_net_startup(nullptr, 0), 0);
    EXPECT_EQ(zp_socket_family(5), -1);
    EXPECT_EQ(zp_last_error(), ZP_WSAEAFNOSUPPORT);
    const int32_t s = zp_socket_family(6);
    ASSERT_GT(s, 0);
    zp_addr other = Loopback(6);
    other.family = 5;
    EXPECT_EQ(zp_bind_addr(s, nullptr), -1);
    EXPECT_EQ(zp_last_error(), ZP_WSAEFAULT);
    EXPECT_EQ(zp_connect_addr(s, &other), -1);
    EXPECT_EQ(zp_last_error(), ZP_WSAEAFNOSUPPORT);
    EXPECT_EQ(zp_getsockname_addr(s, nullptr), -1);
    EXPECT_EQ(zp_last_error(), ZP_WSAEFAULT);
    zp_addr mapped = Loopback(6);
    const uint8_t tail[6] = {0xff, 0xff, 127, 0, 0, 1};
    std::memcpy(mapped.addr + 10, tail, sizeof tail);
    mapped.addr[15] = 1;
    EXPECT_EQ(zp_bind_addr(s, &mapped), -1);
    EXPECT_EQ(zp_last_error(), ZP_WSAEINVAL);
    EXPECT_EQ(zp_close_socket(s), 0);
    zp_net_cleanup();
}

// ---- resolver ----------------------------------------------------------------------------
// Answers of the system's resolver for this machine's own names. No
// AI_ADDRCONFIG: ::1 is found on a host without a global IPv6 address.
TEST(PlatformResolver, AddressesOfEitherFamily) {
    ASSERT_EQ(zp_net_startup(nullptr, 0), 0);
    struct Case {
        const char *name;
        int family;
        int error;          // 0: found
        const char *first;  // the first address found
    };
    const Case cases[] = {
        {"::1", 0, 0, "::1"},
        {"::1", 6, 0, "::1"},
        {"::1", 4, ZP_WSANO_DATA, ""},
        {"127.0.0.1", 0, 0, "127.0.0.1"},
        {"127.0.0.1", 4, 0, "127.0.0.1"},
        {"127.0.0.1", 6, ZP_WSANO_DATA, ""},
        {"localhost", 4, 0, "127.0.0.1"},
        {"fe80::1%1", 6, 0, "fe80::1%1"},
        {"no-such-host.invalid", 0, ZP_WSAHOST_NOT_FOUND, ""},
        {"no-such-host.invalid", 6, ZP_WSAHOST_NOT_FOUND, ""},
        {"", 0, ZP_WSAHOST_NOT_FOUND, ""},
        {"::1", 5, ZP_WSAEAFNOSUPPORT, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.name) + " family " + std::to_string(c.family));
        zp_addr out[8];
        const int n = zp_resolve_addrs(c.name, c.family, out, 8);
        if (c.error != 0) {
            EXPECT_EQ(n, -1);
            EXPECT_EQ(zp_last_error(), c.error);
            continue;
        }
        ASSERT_GE(n, 1) << zp_last_error();
        char text[zub::kAddressTextSize];
        zub::FormatAddress(&out[0], text, sizeof text);
        EXPECT_STREQ(text, c.first);
        EXPECT_EQ(out[0].port, 0);
    }
    zp_addr one;
    EXPECT_EQ(zp_resolve_addrs("::1", 0, &one, 0), -1);
    EXPECT_EQ(zp_last_error(), ZP_WSAEFAULT);
    zp_net_cleanup();
}

// The system's getaddrinfo replaced through the table: how a test makes a
// name resolve to an unreachable IPv6 address first and 127.0.0.1 second.
// The answer keeps the resolver's order without repeats, is cut at max,
// filtered by family, and freed once.
#ifdef _WIN32
#define ZT_RESOLVER_API WSAAPI
#else
#define ZT_RESOLVER_API
#endif
struct FakeResolver {
    static int calls, frees, error;
    static int noneOfFamily;  // answer EAI_NONAME for this family
    static bool askedWithoutAddrconfig;
    static sockaddr_in6 v6[2];
    static sockaddr_in v4;
    static addrinfo list[5];
    static int ZT_RESOLVER_API Lookup(const char *, const char *, const addrinfo *hints, addrinfo **res) {
        ++calls;
        askedWithoutAddrconfig = (hints->ai_flags & AI_ADDRCONFIG) == 0 && hints->ai_socktype == SOCK_STREAM;
        if (error != 0) return error;
        if (hints->ai_family == noneOfFamily) return EAI_NONAME;
        *res = &list[0];
        return 0;
    }
    static void ZT_RESOLVER_API Free(addrinfo *ai) { frees += ai == &list[0]; }
    static void Install() {
        calls = frees = error = 0;
        noneOfFamily = -1;
        std::memset(v6, 0, sizeof v6);
        std::memset(&v4, 0, sizeof v4);
        std::memset(list, 0, sizeof list);
        const uint8_t doc[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
        v6[0].sin6_family = v6[1].sin6_family = AF_INET6;
        std::memcpy(&v6[0].sin6_addr, doc, 16);
        reinterpret_cast<uint8_t *>(&v6[1].sin6_addr)[15] = 1;
        v4.sin_family = AF_INET;
        const uint8_t lo[4] = {127, 0, 0, 1};
        std::memcpy(&v4.sin_addr, lo, 4);
        // 2001:db8::1, 127.0.0.1, 2001:db8::1 again, ::1, 127.0.0.1 again
        sockaddr *const order[5] = {reinterpret_cast<sockaddr *>(&v6[0]), reinterpret_cast<sockaddr *>(&v4),
                                    reinterpret_cast<sockaddr *>(&v6[0]), reinterpret_cast<sockaddr *>(&v6[1]),
                                    reinterpret_cast<sockaddr *>(&v4)};
        for (int i = 0; i < 5; ++i) {
            list[i].ai_family = order[i]->sa_family;
            list[i].ai_addr = order[i];
            list[i].ai_addrlen = order[i]->sa_family == AF_INET ? sizeof v4 : sizeof v6[0];
            list[i].ai_next = i < 4 ? &list[i + 1] : nullptr;
        }
        support::ReplaceCallNamed("getaddrinfo", &Lookup);
        support::ReplaceCallNamed("freeaddrinfo", &Free);
    }
};
int FakeResolver::calls, FakeResolver::frees, FakeResolver::error, FakeResolver::noneOfFamily;
bool FakeResolver::askedWithoutAddrconfig;
sockaddr_in6 FakeResolver::v6[2];
sockaddr_in FakeResolver::v4;
addrinfo FakeResolver::list[5];

TEST(PlatformResolver, TheSystemsAnswerCanBeReplaced) {
    ASSERT_EQ(zp_net_startup(nullptr, 0), 0);
    struct Case {
        const char *what;
        int family, max, error, noneOfFamily;
        const char *want;  // the addresses, or the error number
        int calls;
    };
    const Case cases[] = {
        {"either family, repeats dropped", 0, 8, 0, -1, "2001:db8::1 127.0.0.1 ::1", 1},
        {"cut at max", 0, 2, 0, -1, "2001:db8::1 127.0.0.1", 1},
        {"IPv4 only", 4, 8, 0, -1, "127.0.0.1", 1},
        {"IPv6 only", 6, 8, 0, -1, "2001:db8::1 ::1", 1},
        {"none of that family, the name known", 6, 8, 0, AF_INET6, "11004", 2},
        {"try again", 0, 8, EAI_AGAIN, -1, "11002", 1},
        {"unknown", 6, 8, EAI_NONAME, -1, "11001", 2},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        FakeResolver::Install();
        FakeResolver::error = c.error;
        FakeResolver::noneOfFamily = c.noneOfFamily;
        zp_addr out[8];
        const int n = zp_resolve_addrs("ftp.example.com", c.family, out, c.max);
        std::string got = n < 0 ? std::to_string(zp_last_error()) : "";
        for (int i = 0; i < n; ++i) {
            char text[zub::kAddressTextSize];
            zub::FormatAddress(&out[i], text, sizeof text);
            got += (i > 0 ? " " : "") + std::string(text);
        }
        EXPECT_EQ(got, c.want);
        EXPECT_EQ(FakeResolver::calls, c.calls);
        EXPECT_EQ(FakeResolver::frees, c.error == 0 ? 1 : 0);
        EXPECT_TRUE(FakeResolver::askedWithoutAddrconfig);
        zp_syscall_reset();
    }
    zp_net_cleanup();
}

#ifdef _WIN32
// Where WS2_32 has no getaddrinfo (Windows before XP), the IPv4 lookup
// answers, and a name it finds has no IPv6 address.
FARPROC WINAPI NoProcedure(HMODULE, LPCSTR) { return nullptr; }

TEST(PlatformResolver, WithoutGetaddrinfoTheIpv4LookupAnswers) {
    ASSERT_EQ(zp_net_startup(nullptr, 0), 0);
    ASSERT_NE(support::ReplaceCallNamed("GetProcAddress", &NoProcedure), nullptr);
    struct Case {
        const char *name;
        int family;
        const char *want;  // the first address, or the error number
    };
    for (const Case &c : {Case{"localhost", 0, "127.0.0.1"}, Case{"127.0.0.1", 4, "127.0.0.1"},
                          Case{"localhost", 6, "11004"}, Case{"no-such-host.invalid", 6, "11001"}}) {
        SCOPED_TRACE(std::string(c.name) + " family " + std::to_string(c.family));
        zp_addr out[8];
        const int n = zp_resolve_addrs(c.name, c.family, out, 8);
        char text[zub::kAddressTextSize] = "";
        if (n > 0) zub::FormatAddress(&out[0], text, sizeof text);
        EXPECT_EQ(n > 0 ? std::string(text) : std::to_string(zp_last_error()), c.want);
    }
    zp_syscall_reset();
    zp_net_cleanup();
}
#endif

TEST(PlatformFiles, DirectoriesDoNotOpenAsFiles) {
    EXPECT_EQ(zp_file_open("/", ZP_OPEN_READ), -1);
    EXPECT_EQ(zp_file_open("/", ZP_OPEN_WRITE), -1);
    EXPECT_EQ(zp_file_create("/", ZP_ATTR_NORMAL), -1);
    EXPECT_EQ(zp_file_open(nullptr, ZP_OPEN_READ), -1);
    EXPECT_EQ(zp_file_create(nullptr, ZP_ATTR_NORMAL), -1);
}

// ---- system-call table ---------------------------------------------------------------
TEST(PlatformSyscalls, TheClockCanBeReplacedAndRestored) {
    UseFakeClock((uint64_t(1) << 32) + 25);
    EXPECT_EQ(zp_ticks(), 25u);  // wraps at 2^32 ms
    gFakeMs = 0xFFFFFFFFull;
    EXPECT_EQ(zp_ticks(), 0xFFFFFFFFu);
    zp_syscall_reset();
    EXPECT_NE(zp_syscall_get("zp_ticks"), reinterpret_cast<zp_syscall_ptr>(&FakeTicks));
    EXPECT_EQ(zp_syscall_set("no-such-call", nullptr), nullptr);
    EXPECT_EQ(zp_syscall_get("no-such-call"), nullptr);
}

// The entries named after platform functions exist on every backend, and
// replacing one changes what that function does until the reset.
TEST(PlatformSyscalls, EveryNeutralEntryIsReplaceableAndRestored) {
    static const char *const kNames[] = {
#define ZP_NAME(result, name, params, args) #name,
        ZP_NEUTRAL_CALLS(ZP_NAME)
#undef ZP_NAME
    };
    const auto marker = reinterpret_cast<zp_syscall_ptr>(&FakeTicks);
    for (const char *name : kNames) {
        SCOPED_TRACE(name);
        const zp_syscall_ptr standard = zp_syscall_get(name);
        ASSERT_NE(standard, nullptr);
        EXPECT_EQ(zp_syscall_set(name, marker), standard);
        EXPECT_EQ(zp_syscall_get(name), marker);
        zp_syscall_reset();
        EXPECT_EQ(zp_syscall_get(name), standard);
    }
    gFakeMs = 7;
    ReplaceCall(zp_file_open, [](const char *, int) -> int32_t { return -1; });
    ReplaceCall(zp_ticks, &FakeTicks);
    EXPECT_EQ(zp_file_open(ZUB_SOURCE_DIR "/CMakeLists.txt", ZP_OPEN_READ), -1);
    EXPECT_EQ(zp_ticks(), 7u);
    zp_syscall_reset();
    const int32_t h = zp_file_open(ZUB_SOURCE_DIR "/CMakeLists.txt", ZP_OPEN_READ);
    EXPECT_GT(h, 0);
    EXPECT_EQ(zp_file_close(h), 0);
}

TEST(PlatformSyscalls, AllocationGoesThroughTheTable) {
    ASSERT_NE(ReplaceCall(zp_alloc_zero, [](size_t) -> void * { return nullptr; }), nullptr);
    EXPECT_EQ(zp_alloc_zero(16), nullptr);
    zp_syscall_set("zp_alloc_zero", nullptr);  // null puts the default back
    void *p = zp_alloc_zero(16);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(static_cast<unsigned char *>(p)[15], 0);
    zp_free(p);
}

}  // namespace
