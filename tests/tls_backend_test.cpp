// tls_backend_test.cpp - the TLS backend of this build (OpenSSL natively,
// SChannel under Wine) on a socket of the platform layer, against
// implicit-TLS pyftpdlib servers and a peer that does not speak TLS, all on
// 127.0.0.1: the handshake's result for each kind of certificate, what an
// established connection reports, a greeting read in pieces, a command
// written, a second connection that shares the first one's session, and
// the peer's close notify.
#include <cstring>
#include <memory>

#include "net/tls.h"
#include "net/tls_backend.h"
#include "support.h"
#include "servers/certs.h"
#include "servers/pyftpd.h"
#include "servers/sock.h"

namespace {

using zt::TestCerts;

constexpr int kBoundMs = 20000;  // generous: every step here passes in milliseconds

// Calls step until it returns something other than "not yet" (0) or the
// bound passes; its last result.
template <class Step>
int32_t Until(Step step) {
    const int64_t end = e2e::NowMs() + kBoundMs;
    int32_t r = step();
    while (r == 0 && e2e::NowMs() < end) r = step();
    return r;
}

// Reads into *text until it holds `needle` (1) or a read fails (its code).
int32_t ReadUntil(zub::TlsConn *c, std::string *text, const std::string &needle) {
    return Until([&]() -> int32_t {
        char buf[512];
        const int32_t n = zub::TlsConnRead(c, buf, sizeof buf);
        if (n < 0) return n;
        text->append(buf, static_cast<size_t>(n));
        return text->find(needle) != std::string::npos ? 1 : 0;
    });
}

class TlsBackend : public ::testing::Test {
protected:
    void SetUp() override {
        if (!zub::TlsBackendBuilt()) GTEST_SKIP() << "this build has no TLS backend";
        ASSERT_EQ(zp_net_startup(nullptr, 0), 0);
        started_ = true;
        ASSERT_TRUE(certs_.ok()) << certs_.error();
    }

    void TearDown() override {
        for (zub::TlsConn *c : conns_) zub::TlsConnClose(c);
        for (int32_t s : socks_) zp_close_socket(s);
        if (started_) zp_net_cleanup();
    }

    // A TLS client connection on a platform socket connected to
    // 127.0.0.1:port; closed by TearDown.
    zub::TlsConn *Open(int port, const zub::TlsParams &params, zub::TlsConn *resume = nullptr) {
        const int32_t s = zp_socket();
        EXPECT_GT(s, 0);
        if (s <= 0) return nullptr;
        socks_.push_back(s);
        EXPECT_EQ(zp_connect(s, 0x7F000001u, static_cast<uint16_t>(port)), 0) << zp_last_error();
        int32_t error = 0;
        zub::TlsConn *c = zub::TlsConnNew(s, params, resume, &error);
        EXPECT_NE(c, nullptr) << error;
        if (c != nullptr) conns_.push_back(c);
        return c;
    }

    const TestCerts &certs_ = TestCerts::Get();

private:
    bool started_ = false;
    std::vector<zub::TlsConn *> conns_;
    std::vector<int32_t> socks_;
};

struct Row {
    const char *what;
    std::string TestCerts::*cert;  // what the server presents; null: a peer that is not TLS
    const char *serverName;
    bool verify;
    bool caFile;        // trust the test CA; false: the system's authorities only
    int32_t handshake;  // 1, or the failure
};

TEST_F(TlsBackend, HandshakeChecksTheCertificateThenCarriesTheSession) {
    const Row rows[] = {
        {"good certificate, by name", &TestCerts::server, "localhost", true, true, 1},
        {"good certificate, by address", &TestCerts::server, "127.0.0.1", true, true, 1},
        {"name not in the certificate", &TestCerts::wrongName, "localhost", true, true, ZUB_E_TLS_NAME},
        {"address not in the certificate", &TestCerts::wrongName, "127.0.0.1", true, true, ZUB_E_TLS_NAME},
        {"expired", &TestCerts::expired, "localhost", true, true, ZUB_E_TLS_EXPIRED},
        {"signed by an unknown CA", &TestCerts::unknown, "localhost", true, true, ZUB_E_TLS_UNTRUSTED},
        {"test CA not trusted by the system", &TestCerts::server, "localhost", true, false, ZUB_E_TLS_UNTRUSTED},
        {"unknown CA, not verified", &TestCerts::unknown, "localhost", false, true, 1},
        {"peer that is not TLS", nullptr, "localhost", true, true, ZUB_E_TLS_HANDSHAKE},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        // The server: pyftpdlib with implicit TLS (greets after the
        // handshake), or a plain peer that greets at once and stays.
        std::unique_ptr<zt::PyFtpd> server;
        int port = 0, listener = -1, peer = -1;
        if (row.cert != nullptr) {
            zt::PyFtpdOptions opts;
            opts.tls = 2;
            opts.certFile = certs_.*row.cert;
            server = std::make_unique<zt::PyFtpd>(opts);
            ASSERT_TRUE(server->start()) << server->error();
            port = server->port();
        } else {
            listener = zt::sock::listenLoopback(&port);
            ASSERT_GE(listener, 0);
        }
        const zub::TlsParams params{row.serverName, row.verify, row.caFile ? certs_.ca.c_str() : ""};
        zub::TlsConn *c = Open(port, params);
        ASSERT_NE(c, nullptr);
        if (listener >= 0) {
            peer = zt::sock::acceptWithin(listener, kBoundMs);
            ASSERT_GE(peer, 0);
            ASSERT_TRUE(zt::sock::sendAll(peer, "220 hello\r\n"));
        }
        EXPECT_EQ(zub::TlsConnVersion(c), 0);
        EXPECT_STREQ(zub::TlsConnCipher(c), "");

        EXPECT_EQ(Until([&] { return zub::TlsConnHandshake(c); }), row.handshake);
        for (int fd : {peer, listener})
            if (fd >= 0) zt::sock::closeGraceful(fd);
        if (row.handshake != 1) {
            EXPECT_EQ(zub::TlsConnHandshake(c), row.handshake) << "a failure is final";
            EXPECT_FALSE(zub::TlsConnVerified(c));
            continue;
        }
        const int32_t version = zub::TlsConnVersion(c);
        EXPECT_TRUE(version == 0x0303 || version == 0x0304) << version;
        EXPECT_STREQ(zub::TlsVersionName(version), version == 0x0304 ? "TLSv1.3" : "TLSv1.2");
        EXPECT_STRNE(zub::TlsConnCipher(c), "");
        EXPECT_EQ(zub::TlsConnVerified(c), row.verify);

        // One byte of the greeting first: the rest of its record waits
        // inside the connection, where a poll of the socket cannot see it.
        char first = 0;
        ASSERT_EQ(Until([&] { return zub::TlsConnRead(c, &first, 1); }), 1);
        EXPECT_TRUE(zub::TlsConnPending(c));
        std::string text(1, first);
        ASSERT_EQ(ReadUntil(c, &text, "\r\n"), 1);
        EXPECT_EQ(text.compare(0, 4, "220 "), 0) << text;

        // A data connection's way: the same session offered again.
        zub::TlsConn *second = Open(port, params, c);
        ASSERT_NE(second, nullptr);
        EXPECT_EQ(Until([&] { return zub::TlsConnHandshake(second); }), 1);
        EXPECT_EQ(zub::TlsConnVerified(second), row.verify);
        std::string again;
        EXPECT_EQ(ReadUntil(second, &again, "\r\n"), 1);

        EXPECT_EQ(zub::TlsConnWrite(c, "QUIT\r\n", 6), 6);
        text.clear();
        ASSERT_EQ(ReadUntil(c, &text, "\r\n"), 1);
        EXPECT_EQ(text.compare(0, 4, "221 "), 0) << text;
        // The server closes with a close notify: an orderly end.
        EXPECT_EQ(ReadUntil(c, &text, "never"), ZUB_E_SOCKET_CLOSED) << text;
        char byte;
        EXPECT_EQ(zub::TlsConnRead(c, &byte, 1), ZUB_E_SOCKET_CLOSED);
    }
}

// A CA file that cannot be read trusts nobody, unless nothing is checked.
TEST_F(TlsBackend, UnreadableCaFileFailsTheConnectionOnlyWhenVerifying) {
    const std::string missing = certs_.ca + ".missing";
    for (bool verify : {true, false}) {
        SCOPED_TRACE(verify ? "verified" : "not verified");
        int32_t error = 0;
        zub::TlsConn *c = zub::TlsConnNew(1, {"localhost", verify, missing.c_str()}, nullptr, &error);
        EXPECT_EQ(c != nullptr, !verify);
        EXPECT_EQ(error, verify ? ZUB_E_TLS_UNTRUSTED : 0);
        if (c != nullptr) zub::TlsConnClose(c);
    }
}

}  // namespace

namespace {

// What every backend is given, decided once from the channel's settings:
// the engine's own dotted-quad test makes the name an address (in the
// order of its fields), and a CA file counts only when verifying.
TEST(TlsParams, NameOrAddressAndCaFileAreDecidedOnce) {
    struct Case {
        const char *name;
        bool verify;
        const char *caFile;
        const char *serverName;  // as the backend sees it
        bool isAddress;
        uint8_t address[4];
        const char *caSeen;  // null: the system's authorities
    };
    const Case cases[] = {
        {"localhost", true, "ca.pem", "localhost", false, {0, 0, 0, 0}, "ca.pem"},
        {"192.168.1.20", true, "", "192.168.1.20", true, {192, 168, 1, 20}, nullptr},
        {"10..0.1", true, nullptr, "10..0.1", true, {10, 0, 0, 1}, nullptr},  // where the session connects
        {"1.2.", false, "ca.pem", "1.2.", false, {0, 0, 0, 0}, nullptr},    // a name; no check, no file
        {nullptr, true, "ca.pem", "", false, {0, 0, 0, 0}, "ca.pem"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name ? c.name : "(null)");
        const zub::TlsParams p(c.name, c.verify, c.caFile);
        EXPECT_STREQ(p.serverName, c.serverName);
        EXPECT_EQ(p.nameIsAddress, c.isAddress);
        EXPECT_EQ(std::memcmp(p.address, c.address, 4), 0);
        EXPECT_EQ(p.verify, c.verify);
        EXPECT_STREQ(p.caFile, c.caSeen);
    }
}

// Every backend, this build's included (none.cpp too), refuses a null
// connection the same way instead of following it.
TEST(TlsNullConnection, EveryCallAnswersWithoutFollowingIt) {
    char buf[8];
    EXPECT_EQ(zub::TlsConnHandshake(nullptr), ZUB_E_TLS_HANDSHAKE);
    EXPECT_EQ(zub::TlsConnRead(nullptr, buf, sizeof buf), ZUB_E_TLS_BROKEN);
    EXPECT_EQ(zub::TlsConnWrite(nullptr, "x", 1), ZUB_E_TLS_BROKEN);
    EXPECT_FALSE(zub::TlsConnPending(nullptr));
    EXPECT_FALSE(zub::TlsConnClose(nullptr));
    EXPECT_EQ(zub::TlsConnVersion(nullptr), 0);
    EXPECT_STREQ(zub::TlsConnCipher(nullptr), "");
    EXPECT_FALSE(zub::TlsConnVerified(nullptr));
    EXPECT_FALSE(zub::TlsConnResumed(nullptr));
}

}  // namespace
