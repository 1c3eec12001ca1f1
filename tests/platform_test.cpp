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
std::string Addr(const zp_addr &a) {
    char buf[zub::kAddressTextSize];
    zub::FormatAddress(&a, buf, sizeof buf);
    return buf;
}
std::string Text(const zp_addr &a) { return Addr(a) + " port " + std::to_string(a.port); }

class PlatformEitherFamily : public ::testing::TestWithParam<int> {
  protected:
    void SetUp() override { ASSERT_EQ(zp_net_startup(nullptr, 0), 0); }
    void TearDown() override {
        for (int32_t s : open_) zp_close_socket(s);
        zp_net_cleanup();
    }
    // A socket of the family under test that listens (or only is bound)
    // on loopback; its address.
    zp_addr Server(bool listen) {
        zp_addr name = {}, lo = Loopback(GetParam());
        const int32_t s = Open(zp_socket_family(GetParam()));
        EXPECT_EQ(zp_bind_addr(s, &lo), 0);
        EXPECT_EQ(listen ? zp_listen(s, 1) : 0, 0);
        EXPECT_EQ(zp_getsockname_addr(s, &name), 0);
        return name;
    }
    // A non-blocking connect to a, waited for with a generous bound.
    int32_t Client(const zp_addr &a) {
        const int32_t s = Open(zp_socket_family(GetParam()));
        zp_set_nonblocking(s, 1);
        failedAtOnce_ = zp_connect_addr(s, &a) != 0 && zp_last_error() != ZP_WSAEWOULDBLOCK ? zp_last_error() : 0;
        if (failedAtOnce_ == 0) zp_wait(s, ZP_POLL_WRITABLE, 10000);
        return s;
    }
    int32_t Open(int32_t s) {
        if (s > 0) open_.push_back(s);
        return s;
    }
    std::vector<int32_t> open_;
    int failedAtOnce_ = 0;  // the error of a connect that did not get under way
};

// Listen, connect without waiting, accept: both ends agree on who is who.
TEST_P(PlatformEitherFamily, LoopbackRoundTrip) {
    const zp_addr name = Server(true);
    ASSERT_NE(name.port, 0);
    EXPECT_EQ(Text(name), Text(Loopback(GetParam(), name.port)));
    const int32_t client = Client(name);
    EXPECT_EQ(zp_poll_all(client), 1 << ZP_POLL_WRITABLE);
    EXPECT_EQ(zp_connect_error(client), 0);
    zp_addr peer, clientName, clientPeer, acceptedName, acceptedPeer;
    const int32_t accepted = Open(zp_accept_addr(open_[0], &peer));
    ASSERT_GT(accepted, 0);
    ASSERT_EQ(zp_getsockname_addr(client, &clientName) | zp_getpeername_addr(client, &clientPeer), 0);
    ASSERT_EQ(zp_getsockname_addr(accepted, &acceptedName) | zp_getpeername_addr(accepted, &acceptedPeer), 0);
    EXPECT_EQ(Text(peer), Text(Loopback(GetParam(), clientName.port)));
    EXPECT_EQ(Text(acceptedPeer), Text(clientName));
    EXPECT_EQ(Text(clientPeer), Text(name));
    EXPECT_EQ(Text(acceptedName), Text(name));
    char got[4] = {};
    ASSERT_EQ(zp_send(client, "six", 3), 3);
    ASSERT_EQ(zp_wait(accepted, ZP_POLL_READABLE, 10000), 1);
    EXPECT_EQ(zp_recv(accepted, got, sizeof got), 3);
    EXPECT_EQ(zp_getpeername_addr(open_[0], &peer), -1);  // a listener has no peer
    EXPECT_EQ(zp_last_error(), ZP_WSAENOTCONN);
}

// A port only bound, nobody listening: as on the IPv4 path, the socket is
// in the error condition, never writable, refused.
TEST_P(PlatformEitherFamily, RefusedConnectIsAnErrorCondition) {
    const int32_t client = Client(Server(false));
    if (failedAtOnce_ != 0) {
        EXPECT_EQ(failedAtOnce_, ZP_WSAECONNREFUSED);
        return;
    }
    for (int i = 0; i < 1000 && zp_poll(client, ZP_POLL_ERROR) == 0; ++i) zp_wait(client, ZP_POLL_WRITABLE, 10);
    EXPECT_EQ(zp_poll_all(client), 1 << ZP_POLL_ERROR);
    EXPECT_EQ(zp_connect_error(client), ZP_WSAECONNREFUSED);
}

INSTANTIATE_TEST_SUITE_P(Families, PlatformEitherFamily, ::testing::Values(4, 6),
                         [](const ::testing::TestParamInfo<int> &i) { return "IPv" + std::to_string(i.param); });

// What is refused before the system is asked; an IPv6 socket bound by
// zp_bind_addr takes IPv6 only, so an IPv4-mapped address is refused.
TEST(PlatformSockets, EitherFamilyArgumentsAndIpv6Only) {
    ASSERT_EQ(zp_net_startup(nullptr, 0), 0);
    const int32_t s = zp_socket_family(6);
    zp_addr other = Loopback(6), mapped = Loopback(6);
    other.family = 5;
    mapped.addr[10] = mapped.addr[11] = 0xff;
    mapped.addr[12] = 127;
    const auto failure = [](int rc) { return std::make_pair(rc, zp_last_error()); };
    const std::vector<std::pair<int, int>> got = {failure(zp_socket_family(5)), failure(zp_connect_addr(s, &other)),
                                                  failure(zp_bind_addr(s, nullptr)),
                                                  failure(zp_getsockname_addr(s, nullptr)),
                                                  failure(zp_bind_addr(s, &mapped))};
    const int want[] = {ZP_WSAEAFNOSUPPORT, ZP_WSAEAFNOSUPPORT, ZP_WSAEFAULT, ZP_WSAEFAULT, ZP_WSAEINVAL};
    for (size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i], std::make_pair(-1, want[i])) << "row " << i;
    EXPECT_EQ(zp_close_socket(s), 0);
    zp_net_cleanup();
}

// ---- resolver ----------------------------------------------------------------------------
// The addresses found (none with a port), or the error number.
std::string Resolve(const char *name, int family, int max = 8) {
    zp_addr out[8];
    const int n = zp_resolve_addrs(name, family, out, max);
    std::string got = n < 0 ? std::to_string(zp_last_error()) : "";
    for (int i = 0; i < n; ++i) got += (i > 0 ? " " : "") + Addr(out[i]) + (out[i].port != 0 ? " port!" : "");
    return got;
}

// This machine's own names. No AI_ADDRCONFIG: ::1 is found on a host
// without a global IPv6 address.
TEST(PlatformResolver, AddressesOfEitherFamily) {
    ASSERT_EQ(zp_net_startup(nullptr, 0), 0);
    const std::vector<std::vector<std::string>> rows = {
        {"::1", "0", "::1"}, {"::1", "6", "::1"}, {"::1", "4", "11004"}, {"127.0.0.1", "0", "127.0.0.1"},
        {"127.0.0.1", "6", "11004"}, {"localhost", "4", "127.0.0.1"}, {"fe80::1%1", "6", "fe80::1%1"},
        {"no-such-host.invalid", "0", "11001"}, {"no-such-host.invalid", "6", "11001"}, {"", "0", "11001"},
        {"::1", "5", "10047"},
    };
    for (const auto &r : rows) EXPECT_EQ(Resolve(r[0].c_str(), std::stoi(r[1])), r[2]) << r[0] << " family " << r[1];
    EXPECT_EQ(Resolve("::1", 0, 0), "10014");
#ifdef _WIN32
    // Without WS2_32's getaddrinfo (before Windows XP) the IPv4 lookup answers.
    support::ReplaceCallNamed("GetProcAddress", static_cast<FARPROC(WINAPI *)(HMODULE, LPCSTR)>(
                                                    [](HMODULE, LPCSTR) -> FARPROC { return nullptr; }));
    EXPECT_EQ(Resolve("localhost", 0), "127.0.0.1");
    EXPECT_EQ(Resolve("localhost", 6), "11004");
    EXPECT_EQ(Resolve("no-such-host.invalid", 6), "11001");
    zp_syscall_reset();
#endif
    zp_net_cleanup();
}

// The system's getaddrinfo replaced through the table, as a test makes a
// name resolve to an unreachable IPv6 address first and 127.0.0.1 second:
// the resolver's order is kept without repeats, cut at max, filtered by
// family, the answer freed once.
#ifdef _WIN32
#define ZT_RESOLVER_API WSAAPI
#else
#define ZT_RESOLVER_API
#endif
namespace fake {
int calls, frees, error, noneOf;
sockaddr_in6 v6[2];
sockaddr_in v4;
addrinfo list[5];
int ZT_RESOLVER_API Lookup(const char *, const char *, const addrinfo *hints, addrinfo **res) {
    ++calls;
    EXPECT_EQ(hints->ai_flags & AI_ADDRCONFIG, 0);
    if (error != 0 || hints->ai_family == noneOf) return error != 0 ? error : EAI_NONAME;
    *res = list;
    return 0;
}
void ZT_RESOLVER_API Free(addrinfo *ai) { frees += ai == list; }
}  // namespace fake

TEST(PlatformResolver, TheSystemsAnswerCanBeReplaced) {
    using namespace fake;
    const uint8_t doc[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, loopback[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    v6[0].sin6_family = v6[1].sin6_family = AF_INET6;
    std::memcpy(&v6[0].sin6_addr, doc, 16);
    std::memcpy(&v6[1].sin6_addr, loopback, 16);
    v4.sin_family = AF_INET;
    v4.sin_addr.s_addr = htonl(0x7F000001);
    sockaddr *const order[5] = {reinterpret_cast<sockaddr *>(&v6[0]), reinterpret_cast<sockaddr *>(&v4),
                                reinterpret_cast<sockaddr *>(&v6[0]), reinterpret_cast<sockaddr *>(&v6[1]),
                                reinterpret_cast<sockaddr *>(&v4)};
    for (int i = 0; i < 5; ++i) {
        list[i].ai_family = order[i]->sa_family;
        list[i].ai_addr = order[i];
        list[i].ai_addrlen = order[i]->sa_family == AF_INET ? sizeof v4 : sizeof v6[0];
        list[i].ai_next = i < 4 ? &list[i + 1] : nullptr;
    }
    struct Case {
        int family, max, error, noneOf;
        const char *want;
        int calls, frees;
    };
    for (const Case &c : {Case{0, 8, 0, -1, "2001:db8::1 127.0.0.1 ::1", 1, 1}, Case{0, 2, 0, -1, "2001:db8::1 127.0.0.1", 1, 1},
                          Case{4, 8, 0, -1, "127.0.0.1", 1, 1}, Case{6, 8, 0, -1, "2001:db8::1 ::1", 1, 1},
                          Case{6, 8, 0, AF_INET6, "11004", 2, 1}, Case{6, 8, EAI_NONAME, -1, "11001", 2, 0},
                          Case{0, 8, EAI_AGAIN, -1, "11002", 1, 0}}) {
        SCOPED_TRACE(c.want);
        calls = frees = 0;
        error = c.error;
        noneOf = c.noneOf;
        support::ReplaceCallNamed("getaddrinfo", &Lookup);
        support::ReplaceCallNamed("freeaddrinfo", &Free);
        EXPECT_EQ(Resolve("ftp.example.com", c.family, c.max), c.want);
        EXPECT_EQ(calls, c.calls);
        EXPECT_EQ(frees, c.frees);
        zp_syscall_reset();
    }
}

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
