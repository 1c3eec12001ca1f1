// session_pyftpd_test.cpp - sessions against a real FTP server (pyftpdlib):
// log-in, the single-reply commands and the server-directory operations,
// run once with AUTO_CALL on and once stepped through zubDriver, the two
// connect modes, and the channel log of a whole session line by line.
//
// Divisions: fixture, log-in, commands in both modes, directory query,
// connect modes, the channel log.
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "support.h"
#include "servers/pyftpd.h"

namespace {

using e2e::Drive;

// ---- fixture -----------------------------------------------------------------
class SessionPyftpd : public e2e::LibFixture {
protected:
    void SetUp() override {
        e2e::LibFixture::SetUp();
        ASSERT_TRUE(srv_.start()) << srv_.error();
        ASSERT_EQ(zubSetInteger(0, ZUB_SET_SERVER_PORT, static_cast<uint32_t>(srv_.port())), srv_.port());
    }

    // Runs one operation in the channel's current mode: with AUTO_CALL on
    // the call's own result, otherwise the call must return 0 at once and
    // the result is what stepping the driver ends with.
    int32_t Op(const std::function<int32_t()> &start) {
        int32_t r = start();
        if (Rec()->AutoCall) return r;
        EXPECT_EQ(r, 0) << "with AUTO_CALL off an operation only arms the driver";
        return Drive(0);
    }

    int32_t Login(const char *user = "user", const char *pass = "secret") {
        return Op([&] { return zubConnect(0, "127.0.0.1", user, pass); });
    }

    std::string ErrorTextOf(int32_t code) {
        char buf[256];
        int32_t n = zubErrorText(0, code, buf, sizeof buf);
        EXPECT_EQ(n, static_cast<int32_t>(std::strlen(buf)));
        return buf;
    }

    zt::PyFtpd srv_;
};

class CommandPyftpd : public SessionPyftpd {};

// ---- log-in ----------------------------------------------------------------------
TEST_F(SessionPyftpd, WrongPasswordIsRefusedWithTheServersLine) {
    EXPECT_EQ(Login("user", "wrong"), ZUB_E_SERVER_ERROR);
    EXPECT_EQ(zubGetInteger(0, ZUB_GET_SERVER_CODE), 530);
    EXPECT_EQ(zubGetInteger(0, ZUB_GET_SOCK_CODE), 0);
    std::string text = ErrorTextOf(ZUB_E_SERVER_ERROR);
    EXPECT_EQ(text.rfind("FTP server returned error. 530 ", 0), 0u) << text;
    EXPECT_EQ(+Rec()->NextState, 0);
    // The session is still usable for a second attempt.
    EXPECT_EQ(Login(), 0);
    EXPECT_EQ(zubGetInteger(0, ZUB_GET_SERVER_CODE), 230);
    EXPECT_EQ(zubClose(0), 0);
}

TEST_F(SessionPyftpd, EmptyUserConnectsWithoutLoggingIn) {
    std::string log = OpenLog();
    EXPECT_EQ(Login("", ""), 0);
    EXPECT_EQ(zubGetInteger(0, ZUB_GET_SERVER_CODE), 220);  // only the greeting was read
    for (const std::string &line : e2e::MaskedLog(log)) EXPECT_EQ(line.find("S: "), std::string::npos) << line;
    EXPECT_EQ(zubClose(0), 0);
}

// ---- commands in both modes ----------------------------------------------------------
TEST_F(CommandPyftpd, SingleReplyCommandsInBothModes) {
    for (uint32_t autoCall : {1u, 0u}) {
        SCOPED_TRACE(autoCall ? "AUTO_CALL on" : "AUTO_CALL off");
        ASSERT_EQ(zubSetInteger(0, ZUB_SET_AUTO_CALL, autoCall), static_cast<int32_t>(autoCall));
        ASSERT_EQ(Login(), 0);
        EXPECT_EQ(zubGetInteger(0, ZUB_GET_SERVER_CODE), 230);

        EXPECT_EQ(Op([] { return zubHello(0); }), 0);
        EXPECT_EQ(zubGetInteger(0, ZUB_GET_SERVER_CODE), 200);

        EXPECT_EQ(Op([] { return zubMakeServerDir(0, "sub"); }), 0);
        EXPECT_TRUE(srv_.exists("sub"));
        EXPECT_EQ(Op([] { return zubMakeServerDir(0, "sub"); }), ZUB_E_SERVER_ERROR);
        EXPECT_EQ(zubGetInteger(0, ZUB_GET_SERVER_CODE), 550);

        EXPECT_EQ(Op([] { return zubSetServerDir(0, "/sub"); }), 0);
        char dir[64];
        std::memset(dir, 'Z', sizeof dir);
        int32_t n = Op([&] { return zubGetServerDir(0, dir, 63); });
        EXPECT_STREQ(Rec()->ServerDir, "/sub");
        if (autoCall) {
            EXPECT_EQ(n, 4);
            EXPECT_STREQ(dir, "/sub");
        } else {
            EXPECT_EQ(n, 0);
            EXPECT_EQ(dir[0], 'Z') << "with AUTO_CALL off the buffer is not written";
        }

        ASSERT_TRUE(srv_.writeFile("sub/f.txt", "x"));
        EXPECT_EQ(Op([] { return zubDelFile(0, "f.txt"); }), 0);
        EXPECT_FALSE(srv_.exists("sub/f.txt"));
        EXPECT_EQ(Op([] { return zubDelFile(0, "f.txt"); }), ZUB_E_SERVER_ERROR);
        EXPECT_EQ(zubGetInteger(0, ZUB_GET_SERVER_CODE), 550);
        std::string text = ErrorTextOf(ZUB_E_SERVER_ERROR);
        EXPECT_EQ(text.rfind("FTP server returned error. 550 ", 0), 0u) << text;

        EXPECT_EQ(Op([] { return zubSetServerDir(0, "/"); }), 0);
        EXPECT_EQ(Op([] { return zubDelServerDir(0, "sub"); }), 0);
        EXPECT_FALSE(srv_.exists("sub"));
        EXPECT_EQ(Op([] { return zubDelServerDir(0, "sub"); }), ZUB_E_SERVER_ERROR);

        EXPECT_EQ(Op([] { return zubCommand(0, "SYST"); }), 0);
        EXPECT_EQ(zubGetInteger(0, ZUB_GET_SERVER_CODE), 215);
        EXPECT_EQ(Op([] { return zubCommand(0, "SITE HELP"); }), 0);
        EXPECT_EQ(zubGetInteger(0, ZUB_GET_SERVER_CODE), 214);

        // The close ends the session in both modes: the control socket and
        // the log are closed (on Windows an open log could not be removed).
        const std::string log = OpenLog(0, autoCall ? "on.log" : "off.log");
        EXPECT_EQ(Op([] { return zubClose(0); }), 0);
        EXPECT_EQ(zubGetInteger(0, ZUB_GET_SERVER_CODE), 221);
        EXPECT_EQ(+Rec()->NextState, 0);
        EXPECT_EQ(+Rec()->CtrlSock, 0);
        EXPECT_EQ(+Rec()->LogFile, 0);
        EXPECT_TRUE(std::filesystem::remove(log)) << log;
    }
}

// ---- directory query --------------------------------------------------------------------
TEST_F(CommandPyftpd, GetServerDirCutsTheCopyButReturnsTheFullLength) {
    ASSERT_TRUE(srv_.makeDir("home/user/data"));
    ASSERT_EQ(Login(), 0);
    ASSERT_EQ(zubSetServerDir(0, "/home/user/data"), 0);
    struct Case {
        int32_t size;
        const char *copied;
    };
    for (const Case &c : {Case{10, "/home/user"}, Case{15, "/home/user/data"}, Case{100, "/home/user/data"},
                          Case{0, ""}}) {
        SCOPED_TRACE(c.size);
        char buf[128];
        std::memset(buf, 'Z', sizeof buf);
        EXPECT_EQ(zubGetServerDir(0, buf, c.size), 15);
        EXPECT_STREQ(buf, c.copied);
        EXPECT_EQ(buf[std::strlen(c.copied) + 1], 'Z') << "nothing written behind the NUL";
    }
    EXPECT_EQ(zubGetServerDir(0, nullptr, 10), 15);
    EXPECT_EQ(zubClose(0), 0);
}

// ---- connect modes ----------------------------------------------------------------------
TEST_F(SessionPyftpd, BlockingAndNonBlockingConnect) {
    struct Case {
        uint32_t blocking;  // setting 23
        uint32_t autoCall;
    };
    for (const Case &c : {Case{1, 1}, Case{0, 1}, Case{0, 0}}) {
        SCOPED_TRACE(testing::Message() << "blocking " << c.blocking << ", AUTO_CALL " << c.autoCall);
        zubSetInteger(0, ZUB_SET_BLOCKING_CONNECT, c.blocking);
        zubSetInteger(0, ZUB_SET_AUTO_CALL, c.autoCall);
        EXPECT_EQ(+Rec()->NonBlockConnect, c.blocking ? 0u : 1u);
        ASSERT_EQ(Login(), 0);
        EXPECT_EQ(zubGetInteger(0, ZUB_GET_SERVER_CODE), 230);
        EXPECT_EQ(+Rec()->NonBlockArg, 0u) << "the control socket is blocking again once connected";
        char ip[32];
        EXPECT_EQ(zubGetString(0, ZUB_STR_LOCAL_IP, ip, sizeof ip), 9);
        EXPECT_STREQ(ip, "127.0.0.1");
        EXPECT_EQ(Op([] { return zubHello(0); }), 0);
        zubSetInteger(0, ZUB_SET_AUTO_CALL, 1);
        EXPECT_EQ(zubClose(0), 0);
    }
}

// ---- the channel log -----------------------------------------------------------------------
TEST_F(SessionPyftpd, ChannelLogOfAWholeSession) {
    ASSERT_TRUE(srv_.makeDir("sub"));
    std::string log = OpenLog();
    ASSERT_EQ(zubConnect(0, "127.0.0.1", "user", "secret"), 0);
    ASSERT_EQ(zubHello(0), 0);
    ASSERT_EQ(zubSetServerDir(0, "/sub"), 0);
    char dir[64];
    ASSERT_EQ(zubGetServerDir(0, dir, 63), 4);
    ASSERT_EQ(zubCommand(0, "SYST"), 0);
    ASSERT_EQ(zubClose(0), 0);
    EXPECT_EQ(+Rec()->LogFile, 0);

    const std::vector<std::string> expected = {
        "*** zubConnect",
        "<101:#>",
        "ZUB Win32 Version 2.3.0 Build 8",
        "Description:  '#'",
        "LocalHost: '#'",
        "Server: '127.0.0.1'",
        "ServerIP = 127.0.0.1",
        "<102:#>",
        "LocalIP=[127.0.0.1]",
        "<103:#>",
        "ZUB is connected.",
        "R: 220 pyftpdlib test server ready.",
        "<104:#>",
        "send(#):11",
        "S: USER user",
        "<105:#>",
        "R: 331 Username ok, send password.",
        "<106:#>",
        "send(#):13",  // the password goes out in full ...
        "S: PASS ****",  // ... but never reaches the log
        "<107:#>",
        "R: 230 Login successful.",
        "*** zubHello",
        "<240:#>",
        "send(#):6",
        "S: NOOP",
        "<241:#>",
        "R: 200 I successfully did nothing'.",
        "*** zubSetServerDir",
        "<501:#>",
        "send(#):10",
        "S: CWD /sub",
        "<502:#>",
        "Server directory is '/sub'",
        "R: 250 \"/sub\" is the current directory.",
        "*** zubGetServerDir",
        "<521:#>",
        "send(#):5",
        "S: PWD",
        "<522:#>",
        "Server directory is '/sub'",
        "R: 257 \"/sub\" is the current directory.",
        "*** zubCommand",
        "<750:#>",
        "'SYST'",
        "send(#):6",
        "S: SYST",
        "<751:#>",
        "R: 215 UNIX Type: L8",
        "*** zubClose",
        "<220:#>",
        "send(#):6",
        "S: QUIT",
        "<221:#>",
        "R: 221 Goodbye.",
        // The operation ends with the step that read the last reply, so
        // state 0 itself never runs (and is not logged) in these loops.
        "Closing control socket",
    };
    std::vector<std::string> got = e2e::MaskedLog(log);
    EXPECT_EQ(got, expected) << e2e::Joined(got);
    // The password appears nowhere in the file, masked fields or not.
    EXPECT_EQ(e2e::ReadFile(log).find("secret"), std::string::npos);
}

}  // namespace
