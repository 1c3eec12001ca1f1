// ipv6_test.cpp - sessions over IPv6 (setting 35): pyftpdlib and vsftpd on
// ::1, passive (EPSV) and active (EPRT), plain and TLS with the
// certificate checked against the address; what the address queries
// answer; the family setting's refusals; and a name whose addresses are
// tried in turn (one refused, one that never answers, then the server).
//
// Divisions: fixture, sessions on ::1, the family setting, trying the
// addresses in turn.
#ifndef _WIN32
#include <unistd.h>
#endif

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "support.h"
#include "servers/certs.h"
#include "servers/pyftpd.h"
#include "servers/sock.h"

namespace {

using xfer::PatternBytes;
using xfer::ReadFile;
using xfer::WriteFile;
using support::Occurrences;

struct V6Case {
    const char *name;
    const char *daemon;  // "" pyftpdlib
    int tls;             // 0 plain, 1 explicit
    bool active;
};

// ---- fixture -------------------------------------------------------------------------
template <class Base>
class V6Channel : public xfer::ChannelFixture<Base> {
protected:
    std::unique_ptr<zt::PyFtpd> srv;

    void TearDown() override {
        if (this->HasFailure() && srv) std::printf("---- server log ----\n%s\n", srv->logText().c_str());
        xfer::ChannelFixture<Base>::TearDown();
        if (srv) srv->stop();
    }

    void Serve(const char *daemon, int tls, bool ipv6) {
        zt::PyFtpdOptions opts;
        opts.daemon = daemon;
        if (daemon[0]) opts.startTimeoutMs = 120000;  // the first start fetches the daemon
        opts.ipv6 = ipv6;
        opts.tls = tls;
        if (tls) opts.certFile = zt::TestCerts::Get().server;
        opts.tlsResumeOptional = zt::sock::underWine();
        srv = std::make_unique<zt::PyFtpd>(opts);
        ASSERT_TRUE(srv->start()) << srv->error();
        zubSetInteger(0, ZUB_SET_SERVER_PORT, static_cast<uint32_t>(srv->port()));
    }

    std::string Text(int32_t number) {
        char buf[128] = "";
        int32_t n = zubGetString(0, number, buf, sizeof buf - 1);
        return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
    }
};

class V6Session : public V6Channel<::testing::TestWithParam<V6Case>> {};
using V6Setting = V6Channel<::testing::Test>;

// ---- sessions on ::1 ------------------------------------------------------------------
// Log-in, a file each way, a listing, on ::1; the data connections are
// EPSV or EPRT, never PASV or PORT; the certificate's ::1 is checked.
TEST_P(V6Session, RoundTripOverLoopback) {
    const V6Case &c = GetParam();
#ifdef _WIN32
    if (c.daemon[0]) GTEST_SKIP() << "the daemons natively only";
#else
    if (c.daemon[0] && ::geteuid() != 0) GTEST_SKIP() << "the daemons' logins need root";
#endif
    if (c.tls && !zubGetInteger(0, ZUB_GET_TLS_BUILT)) GTEST_SKIP() << "built without TLS";
    Serve(c.daemon, c.tls, true);
    if (HasFatalFailure()) return;
    ASSERT_EQ(zubSetInteger(0, ZUB_SET_ADDRESS_FAMILY, 1), 1);
    if (c.tls) {
        zubSetInteger(0, ZUB_SET_SECURITY, ZUB_TLS_EXPLICIT);
        ASSERT_EQ(zubSetString(0, ZUB_STR_CA_FILE, zt::TestCerts::Get().ca.c_str()), 1);
    }
    zubSetInteger(0, ZUB_SET_PASSIVE, c.active ? 0 : 1);
    ASSERT_EQ(zubConnect(0, "[::1]", srv->user().c_str(), srv->password().c_str()), 0);
    if (c.tls) {
        EXPECT_EQ(zubGetInteger(0, ZUB_GET_TLS_VERIFIED), 1);
    }
    EXPECT_EQ(zubGetInteger(0, ZUB_GET_ADDRESS_FAMILY), 6);
    EXPECT_EQ(Text(ZUB_STR_SERVER_ADDRESS), "::1");
    EXPECT_EQ(Text(ZUB_STR_LOCAL_ADDRESS), "::1");
    // The IPv4 queries: no IPv4 address on this session.
    EXPECT_EQ(Text(ZUB_STR_SERVER_IP), "0.0.0.0");
    EXPECT_EQ(Text(ZUB_STR_LOCAL_IP), "0.0.0.0");

    const std::string data = PatternBytes(3u << 20, 6);
    ASSERT_TRUE(WriteFile(Local("up.bin"), data));
    ASSERT_EQ(zubSetMode(0, ZUB_MODE_BINARY), 0);
    EXPECT_EQ(zubPutFile(0, "up.bin"), 0);
    EXPECT_EQ(zubGetFile(0, "up.bin:back.bin"), 0);
    EXPECT_TRUE(xfer::SameBytes(ReadFile(Local("back.bin")), data));
    char list[4096] = "";
    EXPECT_GT(zubGetList(0, ZUB_NLST, list, sizeof list), 0);
    EXPECT_NE(std::string(list).find("up.bin"), std::string::npos) << list;

    const std::string log = Log();
    const char *want = c.active ? "S: EPRT |2|::1|" : "S: EPSV\r\n";
    EXPECT_EQ(Occurrences(log, want), 3);
    EXPECT_EQ(Occurrences(log, "S: PASV"), 0);
    EXPECT_EQ(Occurrences(log, "S: PORT"), 0);
    EXPECT_NE(log.find("ServerIP = ::1\r\n"), std::string::npos);
    zubClose(0);
}

const V6Case kCases[] = {
    {"pyftpdPassive", "", 0, false},    {"pyftpdActive", "", 0, true},
    {"pyftpdTlsPassive", "", 1, false}, {"pyftpdTlsActive", "", 1, true},
    {"vsftpdPassive", "vsftpd", 0, false}, {"vsftpdActive", "vsftpd", 0, true},
    {"vsftpdTlsPassive", "vsftpd", 1, false},
};
INSTANTIATE_TEST_SUITE_P(Loopback, V6Session, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<V6Case> &i) { return std::string(i.param.name); });

// ---- the family setting -----------------------------------------------------------------
// What each family takes, against one pyftpdlib on 127.0.0.1 and one on ::1.
TEST_F(V6Setting, EachFamilyTakesItsAddresses) {
    zt::PyFtpdOptions v4opts, v6opts;
    v6opts.ipv6 = true;
    zt::PyFtpd v4(v4opts), v6(v6opts);
    ASSERT_TRUE(v4.start()) << v4.error();
    ASSERT_TRUE(v6.start()) << v6.error();
    struct Case {
        uint32_t family;
        const char *server;
        bool onV6;
        int32_t result;
        int32_t addressFamily;  // ZUB_GET_ADDRESS_FAMILY after it
    } cases[] = {
        {0, "127.0.0.1", false, 0, 4},
        {0, "[::1]", true, -11001, 0},  // the IPv4 lookup knows no such name
        {1, "127.0.0.1", false, 0, 4},
        {1, "::1", true, 0, 6},
        {2, "[::1]", true, 0, 6},
        {2, "127.0.0.1", false, ZUB_E_CANNOT_COMPLY, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.server) + " family " + std::to_string(c.family));
        ASSERT_EQ(zubSetInteger(0, ZUB_SET_ADDRESS_FAMILY, c.family), static_cast<int32_t>(c.family));
        zubSetInteger(0, ZUB_SET_SERVER_PORT, static_cast<uint32_t>((c.onV6 ? v6 : v4).port()));
        EXPECT_EQ(zubConnect(0, c.server, "user", "secret"), c.result);
        EXPECT_EQ(zubGetInteger(0, ZUB_GET_ADDRESS_FAMILY), c.addressFamily);
        zubClose(0);
        ASSERT_GT(zubSetString(0, ZUB_STR_OPEN_LOG, logPath.c_str()), 0);
    }
    EXPECT_EQ(zubSetInteger(0, ZUB_SET_ADDRESS_FAMILY, 3), -1);
    char text[128];
    EXPECT_GT(zubErrorText(0, ZUB_E_EPSV_REFUSED, text, sizeof text), 0);
    EXPECT_NE(std::string(text).find("EPSV"), std::string::npos);
    v4.stop();
    v6.stop();
}

// A server that knows neither EPSV nor EPRT: an IPv6 session has no PASV
// or PORT to fall back to, and says so with its own codes.
TEST_F(V6Setting, RefusedEpsvAndEprtAreTheirOwnCodes) {
#ifdef _WIN32
    GTEST_SKIP() << "the refusing server is started natively only";
#else
    zt::PyFtpdOptions opts;
    opts.ipv6 = true;
    opts.refuse = "EPSV,EPRT";
    srv = std::make_unique<zt::PyFtpd>(opts);
    ASSERT_TRUE(srv->start()) << srv->error();
    zubSetInteger(0, ZUB_SET_SERVER_PORT, static_cast<uint32_t>(srv->port()));
    ASSERT_EQ(zubSetInteger(0, ZUB_SET_ADDRESS_FAMILY, 2), 2);
    ASSERT_EQ(zubConnect(0, "::1", "user", "secret"), 0);
    ASSERT_TRUE(srv->writeFile("f.txt", "data"));
    zubSetInteger(0, ZUB_SET_PASSIVE, 1);
    EXPECT_EQ(zubGetFile(0, "f.txt"), ZUB_E_EPSV_REFUSED);
    zubSetInteger(0, ZUB_SET_PASSIVE, 0);
    EXPECT_EQ(zubGetFile(0, "f.txt"), ZUB_E_EPRT_REFUSED);
    EXPECT_EQ(zubHello(0), 0);  // the session goes on
    const std::string log = Log();
    EXPECT_EQ(Occurrences(log, "S: PASV"), 0);
    EXPECT_EQ(Occurrences(log, "S: PORT"), 0);
    EXPECT_FALSE(std::filesystem::exists(Local("f.txt")));
#endif
}

// ---- trying the addresses in turn -----------------------------------------------------
// A name resolves to three addresses: 127.0.0.2, where nothing listens
// (refused at once), ::1, where a listener whose queue is full drops the
// connection request (no answer), and 127.0.0.1, the server. "any" goes
// through them in order and reaches the server once the silent one's own
// deadline has passed.
zp_addr gAnswer[3];
int gAnswers = 3;

int FakeResolve(const char *, int, zp_addr *out, int max) {
    int n = 0;
    for (; n < gAnswers && n < max; ++n) out[n] = gAnswer[n];
    return n;
}

zp_addr Loopback(int family, uint8_t last) {
    zp_addr a{};
    a.family = static_cast<uint16_t>(family);
    if (family == 4) a.addr[0] = 127;
    a.addr[family == 4 ? 3 : 15] = last;
    return a;
}

TEST_F(V6Setting, AddressesAreTriedInTurnWithinTheirDeadline) {
    Serve("", 0, false);
    if (HasFatalFailure()) return;
    // The silent one: a listener on ::1, at the server's port, with a full queue.
    zp_addr at = Loopback(6, 1);
    at.port = static_cast<uint16_t>(srv->port());
    const int32_t silent = zp_socket_family(6), filler = zp_socket_family(6);
    ASSERT_GT(silent, 0);
    ASSERT_EQ(zp_bind_addr(silent, &at), 0);
    ASSERT_EQ(zp_listen(silent, 0), 0);
    ASSERT_EQ(zp_connect_addr(filler, &at), 0);
    gAnswer[0] = Loopback(4, 2);
    gAnswer[1] = Loopback(6, 1);
    gAnswer[2] = Loopback(4, 1);
    auto real = ReplaceCall(zp_resolve_addrs, &FakeResolve);

    ASSERT_EQ(zubSetInteger(0, ZUB_SET_ADDRESS_FAMILY, 1), 1);
    ASSERT_EQ(zubSetInteger(0, ZUB_SET_ADDRESS_WAIT, 300), 300);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(zubConnect(0, "three.test", srv->user().c_str(), srv->password().c_str()), 0);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0);
    ReplaceCall(zp_resolve_addrs, real);
    EXPECT_GE(ms.count(), 250);  // the silent address had its deadline
    EXPECT_EQ(zubGetInteger(0, ZUB_GET_ADDRESS_FAMILY), 4);
    const std::string log = Log();
    EXPECT_EQ(Occurrences(log, "Connecting to "), 3);
    EXPECT_EQ(Occurrences(log, "failed (-10061)"), 1);
    EXPECT_EQ(Occurrences(log, "failed (-10060)"), 1) << log;
    EXPECT_NE(log.find("ServerIP = 127.0.0.1\r\n"), std::string::npos);
    EXPECT_EQ(zubCommand(0, "NOOP"), 0);
    zubClose(0);
    zp_close_socket(filler);
    zp_close_socket(silent);

    // Every address failing: the last one's code.
    gAnswers = 1;
    real = ReplaceCall(zp_resolve_addrs, &FakeResolve);
    zubSetString(0, ZUB_STR_OPEN_LOG, logPath.c_str());
    EXPECT_EQ(zubConnect(0, "two.test", "user", "secret"), -ZP_WSAECONNREFUSED);
    ReplaceCall(zp_resolve_addrs, real);
}

}  // namespace
