// secure_test.cpp - encrypted sessions: against pyftpdlib, explicit and
// implicit TLS with passive, EPSV and active data connections, 64 MiB each
// way, what goes on the wire before the log-in, and the certificate checks;
// against the scripted server, the faults a real server will not commit.
//
// Divisions: fixture, whole sessions, certificate checks, what a real
// server will not do.
#include <functional>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include "support.h"
#include "servers/certs.h"
#include "servers/pyftpd.h"
#include "servers/scripted.h"

namespace {

using xfer::PatternBytes;
using xfer::ReadFile;
using xfer::WriteFile;

enum class DataKind { Passive, Epsv, Active };

struct SecureCase {
    const char *name;
    uint32_t security;
    DataKind data;
};

// ---- fixture -------------------------------------------------------------------------
// Every byte the library sends while the capture is on, whatever the socket.
std::mutex gWireLock;
std::string gWire;
decltype(&zp_send) gRealSend = nullptr;

int32_t CaptureSend(int32_t s, const void *buf, int32_t n) {
    int32_t sent = gRealSend(s, buf, n);
    if (sent > 0) {
        std::lock_guard<std::mutex> hold(gWireLock);
        gWire.append(static_cast<const char *>(buf), static_cast<size_t>(sent));
    }
    return sent;
}

// Allocation number gAllocFailAt (from 0, counted from ArmAllocFailure on)
// fails; after attach only TLS connections allocate.
int gAllocCalls = 0;
int gAllocFailAt = -1;
decltype(&zp_alloc_zero) gRealAlloc = nullptr;

void *FailingAlloc(size_t size) { return gAllocCalls++ == gAllocFailAt ? nullptr : gRealAlloc(size); }

void ArmAllocFailure(int failAt) {
    gAllocCalls = 0;
    gAllocFailAt = failAt;
    gRealAlloc = ReplaceCall(zp_alloc_zero, &FailingAlloc);
}

template <class Base>
class SecureChannel : public xfer::ChannelFixture<Base> {
protected:
    std::unique_ptr<zt::PyFtpd> srv;

    void SetUp() override {
        xfer::ChannelFixture<Base>::SetUp();
        if (this->HasFatalFailure()) return;
        if (!zubGetInteger(0, ZUB_GET_TLS_BUILT)) GTEST_SKIP() << "built without TLS";
        ASSERT_TRUE(zt::TestCerts::Get().ok()) << zt::TestCerts::Get().error();
    }

    void TearDown() override {
        if (this->HasFailure() && srv) std::printf("---- server log ----\n%s\n", srv->logText().c_str());
        xfer::ChannelFixture<Base>::TearDown();
        if (srv) srv->stop();
    }

    void Serve(int tls, const std::string &certFile) {
        zt::PyFtpdOptions opts;
        opts.tls = tls;
        opts.certFile = certFile;
        opts.tlsDataRequired = true;
        srv = std::make_unique<zt::PyFtpd>(opts);
        ASSERT_TRUE(srv->start()) << srv->error();
    }

    // zubConnect with the library's sends captured; *wire gets them.
    int32_t CapturedConnect(const char *serverName, std::string *wire) {
        {
            std::lock_guard<std::mutex> hold(gWireLock);
            gWire.clear();
        }
        gRealSend = ReplaceCall(zp_send, &CaptureSend);
        zubSetInteger(0, ZUB_SET_SERVER_PORT, static_cast<uint32_t>(srv->port()));
        int32_t r = zubConnect(0, serverName, srv->user().c_str(), srv->password().c_str());
        ReplaceCall(zp_send, gRealSend);
        std::lock_guard<std::mutex> hold(gWireLock);
        *wire = gWire;
        return r;
    }
};

class SecureSession : public SecureChannel<::testing::TestWithParam<SecureCase>> {};
using SecureCertificate = SecureChannel<::testing::Test>;
using SecureScripted = SecureChannel<::testing::Test>;

const std::string &BigData() {
    static const std::string data = PatternBytes(64u << 20, 77);
    return data;
}

// ---- whole sessions ----------------------------------------------------------------------
// Log-in, listing and 64 MiB each way, byte-identical; before the log-in
// nothing but AUTH TLS and the handshake went out in clear text.
TEST_P(SecureSession, LogInListAndSixtyFourMebibytesEachWay) {
    const SecureCase &c = GetParam();
    const zt::TestCerts &certs = zt::TestCerts::Get();
    Serve(c.security == ZUB_TLS_IMPLICIT ? 2 : 1, certs.server);
    if (HasFatalFailure()) return;
    ASSERT_EQ(zubSetInteger(0, ZUB_SET_SECURITY, c.security), static_cast<int32_t>(c.security));
    ASSERT_EQ(zubSetString(0, ZUB_STR_CA_FILE, certs.ca.c_str()), 1);
    zubSetInteger(0, ZUB_SET_PASSIVE, c.data == DataKind::Active ? 0 : 1);
    zubSetInteger(0, ZUB_SET_EPSV, c.data == DataKind::Epsv ? 1 : 0);
    zubSetInteger(0, ZUB_SET_BLOCK_SIZE, 8192);

    std::string wire;
    ASSERT_EQ(CapturedConnect("127.0.0.1", &wire), 0);
    EXPECT_EQ(wire.find("USER"), std::string::npos);
    EXPECT_EQ(wire.find("PASS"), std::string::npos);
    EXPECT_EQ(wire.find(srv->password()), std::string::npos);
    EXPECT_EQ(wire.rfind("AUTH TLS\r\n", 0) == 0, c.security == ZUB_TLS_EXPLICIT);
    EXPECT_NE(Log().find("S: USER user\r\n"), std::string::npos);  // sent, but encrypted
    EXPECT_NE(Log().find("S: PROT P\r\n"), std::string::npos);
    const int32_t version = zubGetInteger(0, ZUB_GET_TLS_VERSION);
    EXPECT_TRUE(version == 0x0303 || version == 0x0304) << version;
    EXPECT_EQ(zubGetInteger(0, ZUB_GET_TLS_VERIFIED), 1);
    char cipher[128];
    EXPECT_GT(zubGetString(0, ZUB_STR_TLS_CIPHER, cipher, sizeof cipher), 0);

    // An upload's data connection ends with our sending side shut and the
    // server's end awaited; a download's and a listing's, which the server
    // has ended already, are closed without either.
    static int (*realShutdown)(int32_t);
    static int shutdowns;
    shutdowns = 0;
    realShutdown = ReplaceCall(zp_shutdown_send, +[](int32_t s) {
        ++shutdowns;
        return realShutdown(s);
    });
    ASSERT_EQ(zubSetMode(0, 'B'), 0);
    ASSERT_TRUE(WriteFile(Local("up.bin"), BigData()));
    ASSERT_EQ(zubPutFile(0, "up.bin"), 0);
    EXPECT_TRUE(srv->readFile("up.bin") == BigData()) << "uploaded copy differs";
    EXPECT_EQ(shutdowns, 1);
    ASSERT_EQ(zubGetFile(0, "up.bin:down.bin"), 0);
    EXPECT_TRUE(ReadFile(Local("down.bin")) == BigData()) << "downloaded copy differs";
    static char list[4096];
    EXPECT_GT(zubGetList(0, ZUB_NLST, list, sizeof list), 0);
    EXPECT_NE(std::string(list).find("up.bin"), std::string::npos) << list;
    EXPECT_EQ(shutdowns, 1);
    ReplaceCall(zp_shutdown_send, realShutdown);

    const std::string log = Log();
    const char *ask = c.data == DataKind::Passive ? "S: PASV\r\n" : c.data == DataKind::Epsv ? "S: EPSV\r\n" : "S: PORT ";
    EXPECT_EQ(xfer::Occurrences(log, ask), 3);

    // Small uploads stepped without any pause after the last block or at
    // the close, blocks and bulk: each arrives whole. (The server's session
    // tickets, sent once it begins to read, used to reset the connection
    // under the last bytes, and the server kept a cut file.)
    zubSetInteger(0, ZUB_SET_END_DELAY, 0);
    zubSetInteger(0, ZUB_SET_LINGER_LIMIT, 0);
    zubSetInteger(0, ZUB_SET_AUTO_CALL, ZUB_AUTO_CALL_OFF);
    const std::string small = PatternBytes(300000, 78);
    ASSERT_TRUE(WriteFile(Local("small.bin"), small));
    for (int i = 0; i < 8; ++i) {
        SCOPED_TRACE(i);
        ASSERT_EQ(zubSetInteger(0, ZUB_SET_BULK, i % 2), i % 2);
        ASSERT_EQ(zubPutFile(0, "small.bin"), 0);
        EXPECT_EQ(Drive(), 0);
        EXPECT_TRUE(srv->readFile("small.bin") == small) << "cut to " << srv->readFile("small.bin").size();
    }
    zubSetInteger(0, ZUB_SET_AUTO_CALL, ZUB_AUTO_CALL_ON);
    EXPECT_EQ(xfer::Occurrences(log, "certificate verified"), 4);  // control and three data connections
#ifndef _WIN32
    // (Wine's SChannel resumes no sessions.)
    EXPECT_EQ(xfer::Occurrences(log, "session resumed"), 3);
#endif
    EXPECT_EQ(zubClose(0), 0);
    EXPECT_NE(Log().find("TLS close notify\r\n"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Modes, SecureSession,
                         ::testing::Values(SecureCase{"ExplicitPassive", ZUB_TLS_EXPLICIT, DataKind::Passive},
                                           SecureCase{"ExplicitEpsv", ZUB_TLS_EXPLICIT, DataKind::Epsv},
                                           SecureCase{"ExplicitActive", ZUB_TLS_EXPLICIT, DataKind::Active},
                                           SecureCase{"ImplicitPassive", ZUB_TLS_IMPLICIT, DataKind::Passive},
                                           SecureCase{"ImplicitEpsv", ZUB_TLS_IMPLICIT, DataKind::Epsv},
                                           SecureCase{"ImplicitActive", ZUB_TLS_IMPLICIT, DataKind::Active}),
                         [](const ::testing::TestParamInfo<SecureCase> &info) { return std::string(info.param.name); });

// ---- certificate checks ------------------------------------------------------------------
// A certificate that fails the check ends the connect with its own code,
// before USER; with the check off the session goes on, reported unverified.
TEST_F(SecureCertificate, FailuresHaveTheirOwnCodesAndSendNoName) {
    const zt::TestCerts &certs = zt::TestCerts::Get();
    struct Case {
        const char *name;
        const std::string &serverCert;
        const char *serverName;
        bool withCaFile;
        uint32_t verify;
        int32_t result;
    };
    const Case cases[] = {
        {"trusted, by address", certs.server, "127.0.0.1", true, 1, 0},
        {"trusted, by name", certs.server, "localhost", true, 1, 0},
        {"unknown authority", certs.unknown, "127.0.0.1", true, 1, ZUB_E_TLS_UNTRUSTED},
        {"system authorities only", certs.server, "127.0.0.1", false, 1, ZUB_E_TLS_UNTRUSTED},
        {"wrong name", certs.wrongName, "127.0.0.1", true, 1, ZUB_E_TLS_NAME},
        // Reached by a name the certificate does not carry: the name test,
        // not the address test, refuses it.
        {"wrong name, by name", certs.wrongName, "localhost", true, 1, ZUB_E_TLS_NAME},
        {"expired", certs.expired, "127.0.0.1", true, 1, ZUB_E_TLS_EXPIRED},
        {"unknown authority, check off", certs.unknown, "127.0.0.1", true, 0, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Serve(1, c.serverCert);
        if (HasFatalFailure()) return;
        // Each close ends the log too: a new one for each row.
        ASSERT_GT(zubSetString(0, ZUB_STR_OPEN_LOG, logPath.c_str()), 0);
        const size_t mark = Log().size();
        zubSetInteger(0, ZUB_SET_SECURITY, ZUB_TLS_EXPLICIT);
        zubSetInteger(0, ZUB_SET_VERIFY, c.verify);
        zubSetString(0, ZUB_STR_CA_FILE, c.withCaFile ? certs.ca.c_str() : "");
        std::string wire;
        EXPECT_EQ(CapturedConnect(c.serverName, &wire), c.result);
        const std::string log = Log().substr(mark);
        EXPECT_EQ(log.find("S: USER") != std::string::npos, c.result == 0) << log;
        EXPECT_EQ(wire.find("PASS"), std::string::npos);
        EXPECT_EQ(zubGetInteger(0, ZUB_GET_TLS_VERIFIED), c.result == 0 && c.verify ? 1 : 0);
        if (c.result == 0) {
            EXPECT_NE(log.find(c.verify ? "certificate verified" : "certificate NOT checked"), std::string::npos);
        }
        EXPECT_EQ(zubClose(0), 0);
        srv->stop();
    }
}

// ---- what a real server will not do ------------------------------------------------------
// Against the scripted server's TLS mode, each in an explicit TLS session in
// passive mode: the operation's code, and for the good cases what the
// server saw.
TEST_F(SecureScripted, FaultsOfAnEncryptedSession) {
    if (!zt::ScriptedFtpServer::tlsAvailable()) GTEST_SKIP() << "the scripted server has no TLS here";
    enum Op { Connect, Pwd, Get, Put, Command };
    struct Case {
        const char *name;
        std::function<void(zt::Scenario &)> script;
        Op op;
        int32_t result;
        const char *got = "over TLS 1.2";  // a download's bytes
        bool noMemory = false;  // the operation's first TLS allocation fails
    };
    const Case cases[] = {
        {"AUTH refused", [](zt::Scenario &sc) { sc.on("AUTH").reply("502 Not here.\r\n"); }, Connect,
         ZUB_E_TLS_REFUSED},
        {"PBSZ refused", [](zt::Scenario &sc) { sc.on("PBSZ").reply("530 Not now.\r\n"); }, Connect,
         ZUB_E_TLS_REFUSED},
        {"PROT refused", [](zt::Scenario &sc) { sc.on("PROT").reply("534 Protection refused.\r\n"); }, Connect,
         ZUB_E_TLS_REFUSED},
        {"clear text after the log-in", [](zt::Scenario &sc) { sc.on("PWD").reply("257 \"/\"\r\n").clearText(); },
         Pwd, ZUB_E_TLS_BROKEN},
        {"close notify on the control connection at the log-in",
         [](zt::Scenario &sc) { sc.on("PASS").reply("230 In, in clear text.\r\n").endTls(); }, Connect,
         ZUB_E_TLS_BROKEN},
        {"close notify on the control connection before a reply",
         [](zt::Scenario &sc) { sc.on("SITE").reply("200 In clear text.\r\n").endTls(); }, Command,
         ZUB_E_TLS_BROKEN},
        {"download ends at the close notify, the connection left open",
         [](zt::Scenario &sc) {
             // Longer than the client's deadline: only the client's close ends it.
             sc.dataTimeoutMs = 120000;
             sc.on("RETR").data("the server waits for our close").waitAfterNotify();
         },
         Get, 0,
         "the server waits for our close"},
        {"data connection not protected", [](zt::Scenario &sc) { sc.on("RETR").data("in clear text").plainData(); },
         Get, ZUB_E_TLS_HANDSHAKE},
        {"download cut without close notify",
         [](zt::Scenario &sc) { sc.on("RETR").data(std::string(100000, 'x')).noCloseNotify(); }, Get,
         ZUB_E_TLS_BROKEN},
        {"download, TLS 1.2",
         [](zt::Scenario &sc) {
             sc.tlsVersion = 12;
             sc.on("RETR").data("over TLS 1.2");
         },
         Get, 0},
        {"no memory for the control connection's TLS", [](zt::Scenario &) {}, Connect, ZUB_E_NO_MEMORY, "", true},
        {"upload ends with a close notify", [](zt::Scenario &) {}, Put, 0},
        // Last: the server's complaint about the dropped data connection
        // arrives after the failure and would be taken for the next reply.
        {"no memory for the data connection's TLS", [](zt::Scenario &) {}, Get, ZUB_E_NO_MEMORY, "", true},
    };
    const zt::TestCerts &certs = zt::TestCerts::Get();
    ASSERT_TRUE(certs.ok()) << certs.error();
    ASSERT_TRUE(WriteFile(Local("up.txt"), "uploaded over TLS"));
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        zt::Scenario sc;
        sc.tlsCertFile = certs.server;
        c.script(sc);
        zt::ScriptedFtpServer server(sc);
        ASSERT_TRUE(server.start()) << server.error();
        // Each close ends the log too: a new one for each row.
        ASSERT_GT(zubSetString(0, ZUB_STR_OPEN_LOG, logPath.c_str()), 0);
        zubSetInteger(0, ZUB_SET_SERVER_PORT, static_cast<uint32_t>(server.port()));
        zubSetInteger(0, ZUB_SET_SECURITY, ZUB_TLS_EXPLICIT);
        zubSetInteger(0, ZUB_SET_PASSIVE, 1);
        zubSetString(0, ZUB_STR_CA_FILE, certs.ca.c_str());
        if (c.noMemory && c.op == Connect) ArmAllocFailure(0);
        int32_t r = zubConnect(0, "127.0.0.1", "user", "secret");
        if (c.op != Connect) {
            ASSERT_EQ(r, 0);
            if (c.noMemory) ArmAllocFailure(0);
            char dir[256];
            r = c.op == Pwd       ? zubGetServerDir(0, dir, sizeof dir)
                : c.op == Get     ? zubGetFile(0, "remote.txt:down.txt")
                : c.op == Command ? zubCommand(0, "SITE HELP")
                                  : zubPutFile(0, "up.txt");
        }
        EXPECT_EQ(r, c.result);
        EXPECT_EQ(+Rec()->NextState, 0);
        if (c.noMemory) {
            EXPECT_EQ(gAllocCalls, 1) << "nothing else was asked for after the failure";
            // The allocator back; that what was built before the failure went
            // back too, LeakSanitizer checks.
            zp_syscall_set("zp_alloc_zero", nullptr);
        }
        if (c.result == ZUB_E_TLS_REFUSED) {
            // No session is left behind, and no data moves in clear text.
            ASSERT_TRUE(server.waitForCommands(server.transcript().size()));
            EXPECT_EQ(server.transcript().back(), "QUIT");
            EXPECT_EQ(zubGetInteger(0, ZUB_GET_TLS_VERIFIED), 0);
            const size_t seen = server.transcript().size();
            EXPECT_EQ(zubPutFile(0, "up.txt"), ZUB_E_TLS_REFUSED);
            EXPECT_EQ(zubGetFile(0, "remote.txt:down.txt"), ZUB_E_TLS_REFUSED);
            EXPECT_EQ(server.transcript().size(), seen);
            EXPECT_EQ(server.dataConnections(), 0);
        }
        if (c.result == 0 && c.op == Get) {
            EXPECT_EQ(ReadFile(Local("down.txt")), c.got);
            EXPECT_EQ(server.tlsDataResumed(), 1);
        }
        if (c.result == 0 && c.op == Get && sc.tlsVersion == 12) {
            EXPECT_EQ(zubGetInteger(0, ZUB_GET_TLS_VERSION), 0x0303);
            // A plain session afterwards reports nothing of the encrypted one.
            EXPECT_EQ(zubClose(0), 0);
            zt::ScriptedFtpServer plain;
            ASSERT_TRUE(plain.start()) << plain.error();
            zubSetInteger(0, ZUB_SET_SECURITY, ZUB_TLS_NONE);
            zubSetInteger(0, ZUB_SET_SERVER_PORT, static_cast<uint32_t>(plain.port()));
            ASSERT_EQ(zubConnect(0, "127.0.0.1", "user", "secret"), 0);
            EXPECT_EQ(zubGetInteger(0, ZUB_GET_TLS_VERSION), 0);
            EXPECT_EQ(zubGetInteger(0, ZUB_GET_TLS_VERIFIED), 0);
        }
        if (c.result == 0 && c.op == Put) {
            ASSERT_EQ(server.uploads().size(), 1u);
            EXPECT_EQ(server.uploads()[0], "uploaded over TLS");
            EXPECT_EQ(server.uploadCloseNotify(), std::vector<bool>{true});
        }
        // The last session is left open: the fixture's zubRelease ends its
        // TLS connection with the sockets (LeakSanitizer would see it not).
        if (&c != &cases[std::size(cases) - 1]) zubClose(0);
        server.stop();
    }
}

}  // namespace
