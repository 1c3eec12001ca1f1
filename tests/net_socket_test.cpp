// net_socket_test.cpp - the socket layer and the address helpers over real
// loopback sockets; the platform call table stands in where a fault (a
// short send, no free socket, a resolver answer) cannot be made for real.
#include <errno.h>
#ifndef _WIN32
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#endif

#include <chrono>
#include <cstring>
#include <string>

#include "net/text.h"
#include "support.h"

namespace {

using namespace zub;
using nettest::NetFixture;
using nettest::Val;
using Clock = std::chrono::steady_clock;

long MsSince(Clock::time_point t0) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count());
}

// ---- platform stand-ins ---------------------------------------------------------
int gCalls = 0;
decltype(&zp_poll) gRealPoll = nullptr;
decltype(&zp_send) gRealSend = nullptr;

int PollCounted(int32_t s, int mode) {
    ++gCalls;
    return gRealPoll(s, mode);
}

decltype(&zp_poll_all) gRealPollAll = nullptr;
int PollAllCounted(int32_t s) {
    ++gCalls;
    return gRealPollAll(s);
}

decltype(&zp_poll_pair) gRealPollPair = nullptr;
int PollPairCounted(int32_t a, int32_t b) {
    ++gCalls;
    return gRealPollPair(a, b);
}

// The first send takes at most 6 bytes, later ones whatever the stack takes.
int32_t SendShortFirst(int32_t s, const void *buf, int32_t n) {
    return gRealSend(s, buf, gCalls++ == 0 && n > 6 ? 6 : n);
}

int32_t SocketExhausted() {
    zp_set_last_error(ZP_WSAEMFILE);
    return -1;
}

int EmptyHostName(char *buf, int) {
    buf[0] = 0;
    return 0;
}

// A resolver answer made up by the test: no lookup leaves the machine.
struct FakeResolver {
    int error = 0;
    int count = 0;
    uint32_t addrs[3] = {};
#ifndef _WIN32
    struct addrinfo ai[3];
    struct sockaddr_in sa[3];
#endif
} gFake;

#ifndef _WIN32
int FakeGetaddrinfo(const char *, const char *, const struct addrinfo *, struct addrinfo **res) {
    if (gFake.error) return gFake.error;
    for (int i = 0; i < gFake.count; ++i) {
        memset(&gFake.ai[i], 0, sizeof gFake.ai[i]);
        memset(&gFake.sa[i], 0, sizeof gFake.sa[i]);
        gFake.sa[i].sin_family = AF_INET;
        gFake.sa[i].sin_addr.s_addr = htonl(gFake.addrs[i]);
        gFake.ai[i].ai_family = AF_INET;
        gFake.ai[i].ai_addr = reinterpret_cast<struct sockaddr *>(&gFake.sa[i]);
        gFake.ai[i].ai_addrlen = sizeof gFake.sa[i];
        gFake.ai[i].ai_next = i + 1 < gFake.count ? &gFake.ai[i + 1] : nullptr;
    }
    *res = &gFake.ai[0];
    return 0;
}

void FakeFreeaddrinfo(struct addrinfo *) {}
#endif

// The same answers one level up, where every backend resolves.
int FakeResolve(const char *, uint32_t *addrs, int max) {
    int n = 0;
    for (; n < gFake.count && n < max; ++n) addrs[n] = gFake.addrs[n];
    return n;
}

template <typename Fn>
void Replace(const char *name, Fn fn) {
    ASSERT_NE(zp_syscall_set(name, reinterpret_cast<zp_syscall_ptr>(fn)), nullptr) << name;
}

// Family 2, then port and address most significant byte first.
void ExpectSockAddr(const SockAddr16 &sa, uint32_t addr, uint16_t port) {
    const auto *b = reinterpret_cast<const uint8_t *>(&sa);
    EXPECT_EQ(Val(sa.Family), 2);
    EXPECT_EQ(b[2], port >> 8);
    EXPECT_EQ(b[3], port & 0xFF);
    EXPECT_EQ(b[4], addr >> 24);
    EXPECT_EQ(b[5], (addr >> 16) & 0xFF);
    EXPECT_EQ(b[6], (addr >> 8) & 0xFF);
    EXPECT_EQ(b[7], addr & 0xFF);
}

using NetSocketTest = NetFixture;

// ---- polls and waits ----------------------------------------------------------------
TEST_F(NetSocketTest, PollSocketRejectsBadModesWithoutPolling) {
    ASSERT_NO_FATAL_FAILURE(ConnectPair());
    gCalls = 0;
    gRealPoll = ReplaceCall(zp_poll, &PollCounted);
    for (int mode : {0, 4, -1, 99}) EXPECT_EQ(PollSocket(rec->CtrlSock, mode), ZUB_E_BAD_STATUS_FLAG) << mode;
    EXPECT_EQ(gCalls, 0);
    // The three modes each poll once: a fresh connection is writable, has
    // nothing to read and no error.
    EXPECT_EQ(PollSocket(rec->CtrlSock, ZP_POLL_READABLE), 0);
    EXPECT_EQ(PollSocket(rec->CtrlSock, ZP_POLL_WRITABLE), 1);
    EXPECT_EQ(PollSocket(rec->CtrlSock, ZP_POLL_ERROR), 0);
    EXPECT_EQ(gCalls, 3);
}

TEST_F(NetSocketTest, ZeroWaitAsksBothQuestionsWithOnePoll) {
    ASSERT_NO_FATAL_FAILURE(ConnectPair());
    gCalls = 0;
    gRealPollAll = ReplaceCall(zp_poll_all, &PollAllCounted);
    EXPECT_EQ(AwaitReadable(rec->CtrlSock, 0), 0);  // idle: error and read answered at once, done
    EXPECT_EQ(gCalls, 1);
    EXPECT_EQ(AwaitWritable(rec->CtrlSock, 0), 1);
    ASSERT_NO_FATAL_FAILURE(PeerSend("x"));
    EXPECT_EQ(AwaitReadable(rec->CtrlSock, 5000), 1);

    // Two sockets, one poll: the second one's answers serve its next wait
    // once, and are gone after it or after ForgetAnsweredAhead.
    gRealPollPair = ReplaceCall(zp_poll_pair, &PollPairCounted);
    const int alone = PollAnswers(rec->CtrlSock);
    gCalls = 0;
    EXPECT_EQ(PollTwoAnswers(rec->CtrlSock, rec->CtrlSock), alone);
    EXPECT_EQ(alone & (1 << ZP_POLL_WRITABLE | 1 << ZP_POLL_READABLE), 1 << ZP_POLL_WRITABLE | 1 << ZP_POLL_READABLE);
    EXPECT_EQ(AwaitReadable(rec->CtrlSock, 0), 1);
    EXPECT_EQ(gCalls, 1);
    EXPECT_EQ(AwaitWritable(rec->CtrlSock, 0), 1);
    EXPECT_EQ(gCalls, 2);
    PollTwoAnswers(rec->CtrlSock, rec->CtrlSock);
    ForgetAnsweredAhead();
    EXPECT_EQ(AwaitWritable(rec->CtrlSock, 0), 1);
    EXPECT_EQ(gCalls, 4);
    // Socket 0 is in the error condition on either side of the pair.
    const int error0 = 1 << ZP_POLL_ERROR, error1 = error0 << ZP_POLL_PAIR_SHIFT;
    EXPECT_EQ(zp_poll_pair(0, rec->CtrlSock) & (error0 | error1), error0);
    EXPECT_EQ(zp_poll_pair(rec->CtrlSock, 0) & (error0 | error1), error1);
}

TEST_F(NetSocketTest, RefusedConnect) {
    int port = zt::sock::unusedPort();
    ASSERT_GT(port, 0);
    rec->ServerAddr = 0x7F000001;
    rec->ServerPort = static_cast<uint16_t>(port);

    // Blocking: the refusal is the result.
    rec->CtrlSock = CreateSocket();
    ASSERT_GT(Val(rec->CtrlSock), 0);
    EXPECT_EQ(ConnectControl(rec), -ZP_WSAECONNREFUSED);
    EXPECT_EQ(Val(rec->WaitWritable), 0);
    ExpectSockAddr(rec->ServerSockAddr, 0x7F000001, static_cast<uint16_t>(port));
    CloseSocket(rec->CtrlSock, 0);

    // Non-blocking: under way, then an error condition that ends any wait.
    rec->CtrlSock = rec->CtrlRing.RingSock = CreateSocket();
    ASSERT_GT(Val(rec->CtrlSock), 0);
    rec->NonBlockConnect = 1;
    int32_t r = ConnectControl(rec);
    EXPECT_TRUE(r == 1 || r == -ZP_WSAECONNREFUSED) << r;
    EXPECT_EQ(Val(rec->WaitWritable), 1);
    EXPECT_EQ(Val(rec->NonBlockArg), 1u);
    auto t0 = Clock::now();
    EXPECT_EQ(AwaitWritable(rec->CtrlSock, 30000), 0);
    EXPECT_LT(MsSince(t0), 10000);
    EXPECT_NE(PollSocket(rec->CtrlSock, ZP_POLL_ERROR), 0);
}

// ---- send and close -------------------------------------------------------------------
TEST_F(NetSocketTest, SendAllFinishesAShortSend) {
    OpenLog();
    ASSERT_NO_FATAL_FAILURE(ConnectPair());
    gCalls = 0;
    gRealSend = ReplaceCall(zp_send, &SendShortFirst);
    EXPECT_EQ(SendAll(rec->CtrlSock, "0123456789", 10), 10);
    std::string got;
    EXPECT_TRUE(zt::sock::recvUntil(peer, &got, "9"));
    EXPECT_EQ(got, "0123456789");
    std::string sock = std::to_string(rec->CtrlSock);
    std::string log = Log();
    size_t first = log.find("send(" + sock + "):6\r\n");
    ASSERT_NE(first, std::string::npos) << log;
    EXPECT_NE(log.find("send(" + sock + "):4\r\n", first), std::string::npos) << log;
}

TEST_F(NetSocketTest, SendAfterPeerClosedFailsWithoutSignal) {
    for (bool reset : {true, false}) {
        SCOPED_TRACE(reset ? "reset" : "graceful close");
        ASSERT_NO_FATAL_FAILURE(ConnectPair());
        EngineSettings.ResponseWait = 2000;
        if (reset) {
            zt::sock::closeReset(peer);
            peer = -1;
        } else {
            PeerClose();
        }
        // The first send after a graceful close may still be taken; the
        // peer answers it with a reset and a later one must fail.
        int32_t r = 0;
        auto t0 = Clock::now();
        while (r >= 0 && MsSince(t0) < 5000) r = SendAll(rec->CtrlSock, "NOOP\r\n", 6);
        EXPECT_TRUE(r == -ZP_WSAECONNRESET || r == -1) << r;
        CloseSocket(rec->CtrlSock, 0);
        rec->CtrlSock = rec->CtrlRing.RingSock = 0;
    }
}

// The pause a close asks for, in ms; -1 when it only yielded.
long gSleptMs = -1;
void SleepRecorded(uint32_t ms) {
    if (ms != 0) gSleptMs = static_cast<long>(ms);
}

TEST_F(NetSocketTest, CloseSocketLingersHalfTheTimeUpToTheLimit) {
    struct Case {
        uint32_t linger;
        uint32_t limit;  // ZUB_SET_LINGER_LIMIT
        long pauseMs;    // -1: no pause, only a yield
    };
    const Case cases[] = {
        {125, 32767, 62}, {500, 32767, 250}, {65535, 32767, 32767},
        {65536, 32767, -1}, {65537, 32767, -1},  // only the low 16 bits count
        {500, 100, 100}, {125, 100, 62}, {500, 0, -1}, {0, 32767, -1},
    };
    ReplaceCall(zp_sleep, &SleepRecorded);
    for (const Case &c : cases) {
        EngineSettings.LingerLimit = c.limit;
        int32_t s = CreateSocket();
        ASSERT_GT(s, 0);
        gSleptMs = -1;
        EXPECT_EQ(CloseSocket(s, c.linger), 1);
        EXPECT_EQ(gSleptMs, c.pauseMs) << c.linger << " limit " << c.limit;
    }
    EXPECT_EQ(CloseSocket(0, 0), -ZP_WSAENOTSOCK);
}

// ---- data connections -------------------------------------------------------------------
TEST_F(NetSocketTest, ConnectDataGoesToTheServerAddress) {
    int port = 0;
    int lfd = zt::sock::listenLoopback(&port);
    ASSERT_GE(lfd, 0);
    rec->ServerAddr = 0x7F000001;
    rec->DataPort = static_cast<uint16_t>(port);
    EXPECT_EQ(ConnectData(rec), 1);
    EXPECT_GT(Val(rec->DataSock), 0);
    EXPECT_EQ(Val(rec->DataRing.RingSock), Val(rec->DataSock));
    ExpectSockAddr(rec->DataSockAddr, 0x7F000001, static_cast<uint16_t>(port));
    int fd = zt::sock::acceptWithin(lfd, 5000);
    EXPECT_GE(fd, 0);
    zt::sock::closeGraceful(fd);
    zt::sock::closeGraceful(lfd);
}

TEST_F(NetSocketTest, ListenDataBindsTheLocalAddress) {
    OpenLog();
    int port = zt::sock::unusedPort();
    ASSERT_GT(port, 0);
    rec->LocalAddr = 0x7F000001;
    strcpy(rec->LocalIPText, "127.0.0.1");
    rec->DataPort = static_cast<uint16_t>(port);
    ASSERT_EQ(ListenData(rec), 1);
    ExpectSockAddr(rec->ListenSockAddr, 0x7F000001, static_cast<uint16_t>(port));
    std::string log = Log();
    EXPECT_NE(log.find("Binding 127.0.0.1 to port " + std::to_string(port) + "\r\nListening...\r\n"),
              std::string::npos)
        << log;
    int fd = zt::sock::connectLoopback(port, 5000);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(AwaitReadable(rec->ListenSock, 5000), 1);  // a connection to accept
    zt::sock::closeGraceful(fd);

    // A second listener on the same port: the address is taken.
    int32_t first = rec->ListenSock;
    EXPECT_EQ(ListenData(rec), -ZP_WSAEADDRINUSE);
    EXPECT_NE(Val(rec->ListenSock), first);  // left for the caller to close
}

// No socket left: the code comes back and the record is clean; the error
// exit is the calling state's, so nothing is logged or recorded here.
TEST_F(NetSocketTest, NoSocketLeftReturnsTheCodeOnly) {
    OpenLog();
    ReplaceCall(zp_socket, &SocketExhausted);
    EXPECT_EQ(CreateSocket(), ZUB_E_INVALID_SOCKET);
    rec->DataSock = rec->DataRing.RingSock = 0;
    rec->ThisState = 901;
    rec->SockCode = 0;
    EXPECT_EQ(ConnectData(rec), ZUB_E_INVALID_SOCKET);
    EXPECT_EQ(Val(rec->DataSock), 0);  // "none", not the error value
    EXPECT_EQ(Val(rec->DataRing.RingSock), 0);
    EXPECT_EQ(ListenData(rec), ZUB_E_INVALID_SOCKET);
    EXPECT_EQ(Val(rec->ListenSock), 0);
    EXPECT_EQ(Val(rec->SockCode), 0);
    EXPECT_EQ(Val(rec->ThisState), 901);
    EXPECT_EQ(Log().find("ERROR("), std::string::npos) << Log();
}

// ---- addresses ----------------------------------------------------------------------
TEST_F(NetSocketTest, ResolveServerLocalNames) {
    struct Case {
        const char *name;
        uint32_t hostIndex;
        int32_t result;
    };
    const Case cases[] = {{"localhost", 0, 1}, {"127.0.0.1", 0, 1}, {"127.0.0.1", 1, ZUB_E_CANNOT_COMPLY},
                          {"127.0.0.1", 7, ZUB_E_CANNOT_COMPLY}};
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.name) + " #" + std::to_string(c.hostIndex));
        strcpy(rec->ServerName, c.name);
        EngineSettings.HostIndex = c.hostIndex;
        rec->ServerAddr = 0;
        EXPECT_EQ(ResolveServer(rec), c.result);
        if (c.result == 1) {
            EXPECT_EQ(Val(rec->ServerAddr), 0x7F000001u);
        }
        ASSERT_NE(Val(rec->HostEntry), nullptr);
        EXPECT_GE(static_cast<const HostList *>(rec->HostEntry)->Count, 1);
    }
}

TEST_F(NetSocketTest, ResolveServerPicksByHostIndex) {
    ReplaceCall(zp_resolve, &FakeResolve);
    strcpy(rec->ServerName, "ftp.example.test");
    struct Case {
        int count;
        uint32_t addrs[3];
        uint32_t hostIndex;
        int32_t result;
        uint32_t addr;
    };
    const Case cases[] = {
        {3, {0x7F000001, 0x7F000002, 0x7F000003}, 0, 1, 0x7F000001},
        {3, {0x7F000001, 0x7F000002, 0x7F000003}, 2, 1, 0x7F000003},
        {3, {0x7F000001, 0x7F000002, 0x7F000003}, 3, ZUB_E_CANNOT_COMPLY, 0},
        {3, {0x7F000001, 0, 0x7F000003}, 1, ZUB_E_CANNOT_COMPLY, 0},  // a zero entry ends the walk
        {3, {0x7F000001, 0, 0x7F000003}, 2, ZUB_E_CANNOT_COMPLY, 0},
    };
    for (const Case &c : cases) {
        gFake = FakeResolver{};
        gFake.count = c.count;
        memcpy(gFake.addrs, c.addrs, sizeof c.addrs);
        EngineSettings.HostIndex = c.hostIndex;
        rec->ServerAddr = 0;
        EXPECT_EQ(ResolveServer(rec), c.result) << c.hostIndex;
        EXPECT_EQ(Val(rec->ServerAddr), c.addr) << c.hostIndex;
    }
}

#ifndef _WIN32
// The mapping of getaddrinfo's EAI_* codes exists in the POSIX backend only.
TEST_F(NetSocketTest, ResolveServerUnknownName) {
    Replace("getaddrinfo", FakeGetaddrinfo);
    Replace("freeaddrinfo", FakeFreeaddrinfo);
    strcpy(rec->ServerName, "no-such-host.invalid");
    struct Case {
        int eai;
        int32_t result;
    };
    for (Case c : {Case{EAI_NONAME, -ZP_WSAHOST_NOT_FOUND}, Case{EAI_AGAIN, -ZP_WSATRY_AGAIN},
                   Case{EAI_FAIL, -ZP_WSANO_RECOVERY}}) {
        gFake = FakeResolver{};
        gFake.error = c.eai;
        rec->HostEntry = &gFake;
        EXPECT_EQ(ResolveServer(rec), c.result);
        EXPECT_EQ(Val(rec->HostEntry), nullptr);
    }
}
#endif

TEST_F(NetSocketTest, QueryLocalAddressOfTheControlConnection) {
    OpenLog();
    EXPECT_EQ(QueryLocalAddress(rec), ZUB_E_CANNOT_COMPLY);  // no control socket yet
    EXPECT_STREQ(rec->LocalIPText, "");
    ASSERT_NO_FATAL_FAILURE(ConnectPair());
    EXPECT_EQ(QueryLocalAddress(rec), 1);
    EXPECT_EQ(Val(rec->LocalAddr), 0x7F000001u);
    EXPECT_STREQ(rec->LocalIPText, "127.0.0.1");
    EXPECT_NE(Log().find("LocalIP=[127.0.0.1]\r\n"), std::string::npos);
}

TEST_F(NetSocketTest, EmptyLocalHostName) {
    char name[256];
    ReplaceCall(zp_gethostname, &EmptyHostName);
    EXPECT_EQ(GetLocalHostName(name, sizeof name), ZUB_E_NO_HOST_NAME);
}

}  // namespace
