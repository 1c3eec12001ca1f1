// driver_test.cpp - the driver frame end to end: channel checks of every
// export, zubConnect's argument checks, connects that fail (refused,
// unresolvable), the idle and unknown states, the socket code and StopCode
// around failures, zubClose without a connection, the repeat of a waiting
// reply state, and deadlines across the wrap of the 32-bit tick count.
//
// Divisions: helpers, channel checks, connect failures, driver states,
// failure bookkeeping, close without a connection, tick wrap.

#include <cstring>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/driver.h"
#include "support.h"
#include "servers/scripted.h"
#include "servers/sock.h"

namespace {

using e2e::NowMs;

// ---- helpers -------------------------------------------------------------------
class DriverTest : public e2e::LibFixture {
protected:
    void StartServer(zt::Scenario sc = {}) {
        srv_ = std::make_unique<zt::ScriptedFtpServer>(std::move(sc));
        ASSERT_TRUE(srv_->start());
        zubSetInteger(0, ZUB_SET_SERVER_PORT, static_cast<uint32_t>(srv_->port()));
    }
    int32_t Login() { return zubConnect(0, "127.0.0.1", "u", "p"); }

    std::unique_ptr<zt::ScriptedFtpServer> srv_;
};

// Name resolution that never leaves the machine: every name fails as
// unknown, and the names asked for are counted.
int gResolveCalls = 0;
int RefuseEveryName(const char *, uint32_t *, int) {
    ++gResolveCalls;
    zp_set_last_error(ZP_WSAHOST_NOT_FOUND);
    return -1;
}

// The library's clock shifted by a fixed amount, so that its 32-bit tick
// count can be placed just before the wrap.
uint32_t gClockShiftMs = 0;
decltype(&zp_ticks) gRealTicks = nullptr;
uint32_t ShiftedTicks() { return gRealTicks() + gClockShiftMs; }

// Makes zp_ticks() read `lead` ms before 2^32 from now on.
void PlaceTicksBeforeWrap(uint32_t lead) {
    gClockShiftMs = 0;
    zp_syscall_reset();
    gRealTicks = ReplaceCall(zp_ticks, &ShiftedTicks);
    uint32_t now = zp_ticks();
    gClockShiftMs = 0u - lead - now;
}

// ---- channel checks -----------------------------------------------------------------
// Every export that takes a channel, called with `ch`.
std::vector<std::pair<const char *, std::function<int32_t(int32_t)>>> ChannelExports(char *buf) {
    return {
        {"zubDriver", [](int32_t c) { return zubDriver(c); }},
        {"zubSetInteger", [](int32_t c) { return zubSetInteger(c, ZUB_SET_RESPONSE_WAIT, 1); }},
        {"zubGetInteger", [](int32_t c) { return zubGetInteger(c, ZUB_GET_VERSION); }},
        {"zubSetString", [](int32_t c) { return zubSetString(c, ZUB_STR_LOG_TEXT, "x"); }},
        {"zubGetString", [buf](int32_t c) { return zubGetString(c, ZUB_STR_REPLY, buf, 16); }},
        {"zubErrorText", [buf](int32_t c) { return zubErrorText(c, -3, buf, 16); }},
        {"zubConnect", [](int32_t c) { return zubConnect(c, "127.0.0.1", "u", "p"); }},
        {"zubClose", [](int32_t c) { return zubClose(c); }},
        {"zubHello", [](int32_t c) { return zubHello(c); }},
        {"zubCommand", [](int32_t c) { return zubCommand(c, "SYST"); }},
        {"zubAbort", [](int32_t c) { return zubAbort(c); }},
        {"zubDebug", [](int32_t c) { return zubDebug(c, 1, 2, 3); }},
        {"zubGetFile", [](int32_t c) { return zubGetFile(c, "a.txt"); }},
        {"zubPutFile", [](int32_t c) { return zubPutFile(c, "a.txt"); }},
        {"zubGetList", [buf](int32_t c) { return zubGetList(c, ZUB_LIST, buf, 16); }},
        {"zubSetMode", [](int32_t c) { return zubSetMode(c, 'B'); }},
        {"zubSetServerDir", [](int32_t c) { return zubSetServerDir(c, "/x"); }},
        {"zubGetServerDir", [buf](int32_t c) { return zubGetServerDir(c, buf, 16); }},
        {"zubDelFile", [](int32_t c) { return zubDelFile(c, "a.txt"); }},
        {"zubMakeServerDir", [](int32_t c) { return zubMakeServerDir(c, "d"); }},
        {"zubDelServerDir", [](int32_t c) { return zubDelServerDir(c, "d"); }},
        {"zubSetLocalDir", [](int32_t c) { return zubSetLocalDir(c, "/tmp"); }},
        {"zubGetLocalDir", [buf](int32_t c) { return zubGetLocalDir(c, buf, 16); }},
    };
}

TEST_F(DriverTest, EveryChannelExportChecksItsChannelFirst) {
    char buf[32];
    std::memset(buf, 'Z', sizeof buf);
    const auto exports = ChannelExports(buf);
    // Out of range with two channels attached; only the low 16 bits count.
    for (int32_t ch : {2, 31, 32, 0x7FFF, -1, 0x10002}) {
        for (const auto &e : exports) EXPECT_EQ(e.second(ch), ZUB_E_CHANNEL_RANGE) << e.first << " on " << ch;
    }
    EXPECT_EQ(zubGetInteger(0x10000, ZUB_GET_VERSION), 0x230) << "0x10000 is channel 0";
    EXPECT_EQ(+Rec()->NextState, 0);
    EXPECT_EQ(+Rec(1)->NextState, 0);

    ASSERT_EQ(zubRelease(), 1);
    for (int32_t ch : {0, 1, 2}) {
        for (const auto &e : exports) EXPECT_EQ(e.second(ch), ZUB_E_NOT_ATTACHED) << e.first << " on " << ch;
    }
    for (char c : buf) EXPECT_EQ(c, 'Z') << "a refused call writes no buffer";
}

// ---- connect failures -----------------------------------------------------------------
TEST_F(DriverTest, ConnectArgumentsAreCheckedBeforeTheRecordChanges) {
    std::string log = OpenLog();
    zubSetInteger(0, ZUB_SET_AUTO_CALL, 0);
    ASSERT_EQ(zubConnect(0, "armed.example", "usr", "pw"), 0);  // arms the record, sends nothing
    Rec()->WaitWritable = 1;
    Rec()->SockCode = -7;
    struct Case {
        const char *server, *user, *pass;
        int32_t result;
    };
    const Case cases[] = {
        {nullptr, "u", "p", ZUB_E_NO_SERVER_NAME}, {"h", nullptr, "p", ZUB_E_NO_USER},
        {"h", "u", nullptr, ZUB_E_NO_PASSWORD},    {nullptr, nullptr, nullptr, ZUB_E_NO_SERVER_NAME},
        {"h", nullptr, nullptr, ZUB_E_NO_USER},
    };
    std::vector<char> before(reinterpret_cast<char *>(Rec()), reinterpret_cast<char *>(Rec() + 1));
    for (const Case &c : cases) {
        EXPECT_EQ(zubConnect(0, c.server, c.user, c.pass), c.result);
        EXPECT_EQ(std::memcmp(before.data(), Rec(), before.size()), 0) << "record changed by a refused zubConnect";
        EXPECT_STREQ(Rec()->ServerName, "armed.example");
        EXPECT_STREQ(Rec()->UserName, "usr");
        EXPECT_STREQ(Rec()->Password, "pw");
    }
    int entries = 0;
    for (const std::string &l : e2e::MaskedLog(log)) entries += l == "*** zubConnect";
    EXPECT_EQ(entries, 1 + 5) << "the entry line comes before the argument checks";
}

TEST_F(DriverTest, RefusedConnectReportsTheSocketErrorAtOnce) {
    struct Case {
        uint32_t blocking;  // setting 23
        uint32_t autoCall;
    };
    for (const Case &c : {Case{1, 1}, Case{0, 1}, Case{1, 0}, Case{0, 0}}) {
        SCOPED_TRACE(testing::Message() << "blocking " << c.blocking << ", AUTO_CALL " << c.autoCall);
        zubSetInteger(0, ZUB_SET_SERVER_PORT, static_cast<uint32_t>(zt::sock::unusedPort()));
        zubSetInteger(0, ZUB_SET_BLOCKING_CONNECT, c.blocking);
        zubSetInteger(0, ZUB_SET_AUTO_CALL, c.autoCall);
        zubSetInteger(0, ZUB_SET_CONNECT_WAIT, 60000);
        int64_t t0 = NowMs();
        int32_t r = Login();
        if (!c.autoCall) {
            EXPECT_EQ(r, 0);
            r = e2e::Drive(0);
        }
        EXPECT_EQ(r, -ZP_WSAECONNREFUSED);
        EXPECT_LT(NowMs() - t0, 10000) << "reported when seen, not after ConnectWait";
        EXPECT_EQ(zubGetInteger(0, ZUB_GET_SOCK_CODE), -ZP_WSAECONNREFUSED);
        EXPECT_EQ(+Rec()->NextState, 0);
        // Nothing to quit on a socket that never connected: the close ends at once.
        zubSetInteger(0, ZUB_SET_AUTO_CALL, 1);
        t0 = NowMs();
        EXPECT_EQ(zubClose(0), 0);
        EXPECT_LT(NowMs() - t0, 5000);
        EXPECT_EQ(+Rec()->CtrlSock, 0);
    }
}

TEST_F(DriverTest, ServerNamesGoToResolutionUnlessDottedQuads) {
    struct Case {
        const char *server;
        bool resolved;
        int32_t result;
    };
    const Case cases[] = {
        {"nosuchhost.invalid", true, -ZP_WSAHOST_NOT_FOUND},
        {"10.0.0.256", true, -ZP_WSAHOST_NOT_FOUND},  // not a dotted quad
        {"127.0.0.1", false, -ZP_WSAECONNREFUSED},   // used as it stands
    };
    ReplaceCall(zp_resolve, &RefuseEveryName);
    zubSetInteger(0, ZUB_SET_SERVER_PORT, static_cast<uint32_t>(zt::sock::unusedPort()));
    for (const Case &c : cases) {
        SCOPED_TRACE(c.server);
        gResolveCalls = 0;
        int32_t r = zubConnect(0, c.server, "u", "p");
        EXPECT_EQ(r, c.result);
        EXPECT_GE(-r, c.resolved ? 11001 : 10000);
        EXPECT_LE(-r, c.resolved ? 11004 : 10999);
        EXPECT_EQ(gResolveCalls > 0, c.resolved);
        EXPECT_EQ(zubGetInteger(0, ZUB_GET_SOCK_CODE), r);
        EXPECT_EQ(zubClose(0), 0);
    }
}

// ---- driver states -------------------------------------------------------------------------
TEST_F(DriverTest, IdleChannelReturnsZeroAndClearsBothDeadlines) {
    std::string log = OpenLog();
    for (int i = 0; i < 3; ++i) {
        Rec()->NextTime = zp_ticks() - 5;  // set, but passed: no pacing
        Rec()->TimeStop = zp_ticks() + 100000;
        EXPECT_EQ(zubDriver(0), 0);
        EXPECT_EQ(+Rec()->NextTime, 0u);
        EXPECT_EQ(+Rec()->TimeStop, 0u);
        EXPECT_EQ(+Rec()->ThisState, -1);
    }
    // State 0 ends before PrevState is updated, so every idle call logs it.
    int zeros = 0;
    for (const std::string &l : e2e::MaskedLog(log)) zeros += l == "<  0:#>";
    EXPECT_EQ(zeros, 3);
}

TEST_F(DriverTest, UnknownStateFailsTheStep) {
    std::string log = OpenLog();
    zub::ChannelTable[0]->NextState = 123;
    EXPECT_EQ(zubDriver(0), ZUB_E_NOT_COMPLETED);
    EXPECT_EQ(+Rec()->NextState, 0);
    EXPECT_EQ(+Rec()->ThisState, -1);
    EXPECT_EQ(+Rec()->PrevState, 123);
    EXPECT_EQ(zubGetInteger(0, ZUB_GET_SOCK_CODE), 0);
    EXPECT_EQ(zubDriver(0), 0) << "the channel is idle again";
    std::vector<std::string> lines = e2e::MaskedLog(log);
    EXPECT_TRUE(e2e::HasLine(lines, "<123:#>")) << e2e::Joined(lines);
    EXPECT_TRUE(e2e::HasLine(lines, "ERROR! Unknown state 123")) << e2e::Joined(lines);
    EXPECT_TRUE(e2e::HasLine(lines, "ERROR(#): SockCode=0 zubCode=-31 PrevState=-2 ThisState=123 NextState=123"))
        << e2e::Joined(lines);
}

TEST_F(DriverTest, WaitingReplyStateRepeatsItsOwnNumber) {
    zt::Scenario sc;
    sc.on("NOOP").silence();
    StartServer(sc);
    ASSERT_EQ(Login(), 0);
    std::string log = OpenLog();
    zubSetInteger(0, ZUB_SET_AUTO_CALL, 0);
    ASSERT_EQ(zubHello(0), 0);
    EXPECT_EQ(zubDriver(0), 241);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(zubDriver(0), 241);
    EXPECT_EQ(+Rec()->PrevState, 241);
    EXPECT_EQ(zubAbort(0), 1);
    EXPECT_EQ(zubDriver(0), 0);
    int marks = 0;
    for (const std::string &l : e2e::MaskedLog(log)) marks += l == "<241:#>";
    EXPECT_EQ(marks, 1) << "one state line per change, not per call";
}

// ---- failure bookkeeping ------------------------------------------------------------------
TEST_F(DriverTest, SocketCodeOfEveryFailureIsKept) {
    zt::Scenario sc;
    sc.on("CWD").reply("550 No.\r\n");
    sc.on("NOOP").silence();
    StartServer(sc);
    ASSERT_EQ(Login(), 0);
    struct Case {
        const char *name;
        std::function<int32_t()> run;
        int32_t result, sockCode;
    };
    const Case cases[] = {
        {"server error", [] { return zubSetServerDir(0, "/x"); }, ZUB_E_SERVER_ERROR, 0},
        {"timeout",
         [] {
             zubSetInteger(0, ZUB_SET_RESPONSE_WAIT, 300);
             return zubHello(0);
         },
         ZUB_E_TIMEOUT, 0},
        {"unknown state",
         [] {
             zub::ChannelTable[0]->NextState = 123;
             return zubDriver(0);
         },
         ZUB_E_NOT_COMPLETED, 0},
        // After the close there is no control socket: the send fails, and
        // the result is that error, not the keep-alive's engine code -9.
        {"send without a connection",
         [] {
             zubSetInteger(0, ZUB_SET_RESPONSE_WAIT, 2000);
             EXPECT_EQ(zubClose(0), 0);
             return zubHello(0);
         },
         ZUB_E_SOCKET_CLOSED, ZUB_E_SOCKET_CLOSED},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Rec()->SockCode = 12345;  // must be overwritten by the failure
        EXPECT_EQ(c.run(), c.result);
        EXPECT_EQ(zubGetInteger(0, ZUB_GET_SOCK_CODE), c.sockCode);
        EXPECT_EQ(+Rec()->NextState, 0);
    }
}

TEST_F(DriverTest, SendFailureOfTheKeepAliveLogsItsEngineCode) {
    std::string log = OpenLog();
    EXPECT_EQ(zubHello(0), ZUB_E_SOCKET_CLOSED);  // never connected
    std::vector<std::string> lines = e2e::MaskedLog(log);
    bool found = false;
    for (const std::string &l : lines)
        found |= l.rfind("ERROR(#): SockCode=-1 zubCode=-9 PrevState=-2 ThisState=240 NextState=240", 0) == 0;
    EXPECT_TRUE(found) << e2e::Joined(lines);
    // The texts of both codes follow, without line ends (-9 adds a space and
    // the last reply, empty here).
    EXPECT_NE(e2e::ReadFile(log).find("Error attempting to connect. Socket has been closed."), std::string::npos);
}

TEST_F(DriverTest, StopCodeIsClearedWhenAnOperationStarts) {
    zt::Scenario sc;
    sc.on("NOOP").silence();
    StartServer(sc);
    ASSERT_EQ(Login(), 0);
    zubSetInteger(0, ZUB_SET_RESPONSE_WAIT, 300);
    // Left over from a transfer whose data connection had been accepted.
    Rec()->StopCode = 1;
    EXPECT_EQ(zubHello(0), ZUB_E_TIMEOUT) << "a later deadline is a timeout, not a quiet end";
    EXPECT_EQ(+Rec()->StopCode, 0);

    zubSetInteger(0, ZUB_SET_AUTO_CALL, 0);
    Rec()->StopCode = 1;
    EXPECT_EQ(zubHello(0), 0);
    EXPECT_EQ(+Rec()->StopCode, 0) << "cleared by the operation itself, not by the driver";
    EXPECT_EQ(e2e::Drive(0), ZUB_E_TIMEOUT);
}

// ---- close without a connection ------------------------------------------------------------
// Every transfer and listing enters the data connection the same way: by
// the channel's mode, with its own state to come back to.
TEST_F(DriverTest, DataConnectionEntryFollowsTheMode) {
    zub::ChannelRecord *rec = Rec();
    struct Case {
        uint32_t passive;
        int32_t returnState, next;
    };
    for (const Case c : {Case{ZUB_PASSIVE, zub::S_SendList, zub::S_SendPasv}, Case{ZUB_ACTIVE, zub::S_SendRest, zub::S_SendPort}}) {
        rec->PassiveMode = c.passive;
        rec->ReturnState = 0;
        EXPECT_EQ(zub::ToDataConnection(rec, c.returnState), zub::kStepDone);
        EXPECT_EQ(+rec->ReturnState, c.returnState);
        EXPECT_EQ(+rec->NextState, c.next) << zub::StateName(rec->NextState) << " instead of " << zub::StateName(c.next);
    }
    rec->NextState = 0;
}

// A number written twice in the table would leave the second state
// unreachable: each row's number must find that row.
TEST_F(DriverTest, EveryStateIsFoundByItsNumber) {
#define ZUB_STATE_FOUND(num, name, group) \
    EXPECT_STREQ(zub::StateName(num), #name) << num;
    ZUB_STATE_TABLE(ZUB_STATE_FOUND)
#undef ZUB_STATE_FOUND
    EXPECT_STREQ(zub::StateName(123), "?");
}

// The armed deadline is never 0 ("none"), even where now + wait wraps to it.
TEST_F(DriverTest, ArmWaitSetsPacingAndDeadline) {
    zub::ChannelRecord *rec = Rec();
    zub::ArmWait(rec, 1000, 5, 60000);
    EXPECT_EQ(+rec->NextTime, 1005u);
    EXPECT_EQ(+rec->TimeStop, 61000u);
    zub::ArmWait(rec, 0xFFFFFFF0u, 0x10, 0x10);
    EXPECT_EQ(+rec->NextTime, 1u);
    EXPECT_EQ(+rec->TimeStop, 1u);
    rec->NextTime = rec->TimeStop = 0;
}

TEST_F(DriverTest, CloseWithoutConnectionEndsAtOnce) {
    // AUTO_CALL on: ends with 0 and closes the log (and the raw trace).
    std::string log = OpenLog();
    int64_t t0 = NowMs();
    EXPECT_EQ(zubClose(0), 0);
    EXPECT_LT(NowMs() - t0, 5000);
    EXPECT_EQ(+Rec()->LogFile, 0);
    EXPECT_EQ(zub::TraceFile, 0);
    EXPECT_TRUE(e2e::HasLine(e2e::MaskedLog(log), "*** zubClose"));
    EXPECT_EQ(zubClose(0), 0) << "and again";

    // AUTO_CALL off: the driver ends it in a few steps, and the last one
    // closes the log as the AUTO_CALL loop would.
    OpenLog(0, "second.log");
    zubSetInteger(0, ZUB_SET_AUTO_CALL, 0);
    EXPECT_EQ(zubClose(0), 0);
    EXPECT_EQ(e2e::Drive(0, 5000), 0);
    EXPECT_EQ(+Rec()->LogFile, 0);

    // After a session whose close already let go of the control socket.
    zubSetInteger(0, ZUB_SET_AUTO_CALL, 1);
    StartServer();
    ASSERT_EQ(Login(), 0);
    ASSERT_EQ(zubClose(0), 0);
    EXPECT_EQ(+Rec()->CtrlSock, 0);
    EXPECT_EQ(zubClose(0), 0);
    EXPECT_TRUE(srv_->waitForCommands(3));
    EXPECT_EQ(srv_->transcript(), (std::vector<std::string>{"USER u", "PASS p", "QUIT"})) << "one QUIT only";
}

// ---- tick wrap ---------------------------------------------------------------------------------
// Deadlines are absolute ticks; one armed just before the 32-bit wrap lies
// numerically below the current tick and must still count as ahead. The
// channel is stepped here, bounded, so that a comparison that goes wrong
// fails the test instead of pacing for 49 days.
TEST_F(DriverTest, DeadlinesHoldAcrossTheTickWrap) {
    zt::Scenario sc;
    sc.on("NOOP").once().delay(400);  // answered only after the wrap
    sc.on("NOOP").once().silence();
    StartServer(sc);
    ASSERT_EQ(Login(), 0);
    zubSetInteger(0, ZUB_SET_AUTO_CALL, 0);

    zubSetInteger(0, ZUB_SET_RESPONSE_WAIT, 20000);
    PlaceTicksBeforeWrap(150);
    ASSERT_EQ(zubHello(0), 0);
    EXPECT_EQ(e2e::Drive(0, 10000), 0) << "a deadline past the wrap is not taken as passed";
    EXPECT_LT(zp_ticks(), 100000u) << "the tick count did wrap";

    zubSetInteger(0, ZUB_SET_RESPONSE_WAIT, 400);
    PlaceTicksBeforeWrap(150);
    int64_t t0 = NowMs();
    ASSERT_EQ(zubHello(0), 0);
    EXPECT_EQ(e2e::Drive(0, 10000), ZUB_E_TIMEOUT) << "and one that has passed after the wrap ends the wait";
    EXPECT_GE(NowMs() - t0, 390);
}

TEST_F(DriverTest, PacingHoldsAcrossTheTickWrap) {
    StartServer();
    ASSERT_EQ(Login(), 0);
    zubSetInteger(0, ZUB_SET_AUTO_CALL, 0);
    zubSetInteger(0, ZUB_SET_RESPONSE_DELAY, 600);
    PlaceTicksBeforeWrap(300);
    int64_t t0 = NowMs();
    ASSERT_EQ(zubHello(0), 0);
    ASSERT_EQ(zubDriver(0), 241);
    int32_t r = zubDriver(0);
    if (NowMs() - t0 >= 250) GTEST_SKIP() << "the machine was too slow to call again before the wrap";
    EXPECT_EQ(r, ZUB_PACING) << "NextTime past the wrap still lies ahead";
    EXPECT_EQ(e2e::Drive(0, 10000), 0);
    EXPECT_GE(NowMs() - t0, 590);
}

}  // namespace
