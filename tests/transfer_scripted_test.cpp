// transfer_scripted_test.cpp - end-to-end tests of data connections,
// transfers and listings against the scripted server, for the replies and
// faults a real server does not produce on demand.
//
// Divisions: fixtures, passive replies, active ports, the accept wait, the
// quiet end, completion replies and faults, descriptors, long runs,
// listings.
#include <errno.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "support.h"
#include "net/net.h"
#include "servers/scripted.h"
#include "servers/sock.h"

namespace {

using xfer::FileHeldOpen;
using xfer::Occurrences;
using xfer::PatternBytes;
using xfer::ReadFile;
using xfer::WriteFile;

enum class Mode { Passive, Active };

std::string ModeName(const ::testing::TestParamInfo<Mode> &info) {
    return info.param == Mode::Passive ? "Passive" : "Active";
}

// ---- fixtures ----------------------------------------------------------------------------------
template <class Base>
class ScriptedChannel : public xfer::ChannelFixture<Base> {
protected:
    std::unique_ptr<zt::ScriptedFtpServer> srv;

    void Serve(const zt::Scenario &sc, Mode mode) {
        srv = std::make_unique<zt::ScriptedFtpServer>(sc);
        ASSERT_TRUE(srv->start());
        SetMode(mode);
        ASSERT_EQ(this->Connect(srv->port()), 0);
    }

    static void SetMode(Mode mode) { zubSetInteger(0, ZUB_SET_PASSIVE, mode == Mode::Passive ? 1 : 0); }

    void TearDown() override {
        xfer::ChannelFixture<Base>::TearDown();
        if (srv) srv->stop();
    }

    size_t Mark() const { return this->Log().size(); }
    std::string LogSince(size_t mark) const { return this->Log().substr(mark); }

    // The command lines the server received that start with `prefix`.
    std::vector<std::string> Received(const std::string &prefix) const {
        std::vector<std::string> out;
        for (const std::string &line : srv->transcript())
            if (line.rfind(prefix, 0) == 0) out.push_back(line);
        return out;
    }

    // Blocks until the control connection has something to read (bounded).
    bool ControlReadable(int timeoutMs) const {
        return zt::sock::waitReadable(this->Rec()->CtrlSock, timeoutMs) == 1;
    }
};

using DataConnPasv = ScriptedChannel<::testing::Test>;
using DataConnPort = ScriptedChannel<::testing::Test>;
using DataConnAccept = ScriptedChannel<::testing::Test>;
using DataConnTimeStop = ScriptedChannel<::testing::Test>;
using TransferActiveRun = ScriptedChannel<::testing::Test>;

class ModeChannel : public ScriptedChannel<::testing::TestWithParam<Mode>> {
protected:
    void Serve(const zt::Scenario &sc) { ScriptedChannel::Serve(sc, GetParam()); }
};
using TransferCompletion = ModeChannel;
using TransferFault = ModeChannel;
using TransferFailures = ModeChannel;
using ListingScripted = ModeChannel;

std::string PortLine(int port) {
    return "PORT 127,0,0,1," + std::to_string(port >> 8) + "," + std::to_string(port & 0xFF);
}

// ---- passive replies ------------------------------------------------------------------------------
TEST_F(DataConnPasv, ReplyForms) {
    struct Case {
        const char *what;
        const char *reply;  // {p1},{p2}: the server's listening port
        int32_t result;
        bool highPort = false;  // the server listens above 32767
    } cases[] = {
        {"parentheses", "227 Entering Passive Mode (127,0,0,1,{p1},{p2}).\r\n", 0},
        // A high byte of 128 or more: a port that a signed 16-bit field
        // would turn negative.
        {"port above 32767", "227 Entering Passive Mode (127,0,0,1,{p1},{p2}).\r\n", 0, true},
        {"no parentheses", "227 =127,0,0,1,{p1},{p2}\r\n", 0},
        // The address of the reply is never used: nothing listens on
        // 127.9.9.9, so only a connection to the control server succeeds.
        {"other host", "227 Entering Passive Mode (127,9,9,9,{p1},{p2})\r\n", 0},
        {"code is not compared", "200 Here: 127,0,0,1,{p1},{p2}\r\n", 0},
        {"no digits", "227 Entering Passive Mode\r\n", ZUB_E_NO_PASV_PORT},
        // Out of range or too few numbers: no connection to any port.
        {"number past 255", "227 Entering Passive Mode (127,0,0,1,300,5)\r\n", ZUB_E_NO_PASV_PORT},
        {"port 0", "227 Entering Passive Mode (127,0,0,1,0,0)\r\n", ZUB_E_NO_PASV_PORT},
        {"five numbers", "227 Entering Passive Mode (127,0,0,1,4)\r\n", ZUB_E_NO_PASV_PORT},
        {"refused", "425 Cannot open passive connection.\r\n", ZUB_E_SERVER_ERROR},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        zt::Scenario sc;
        zt::Rule &pasv = sc.on("PASV").reply(c.reply);
        if (c.highPort) pasv.highDataPort();
        sc.on("RETR").data("through passive");
        Serve(sc, Mode::Passive);
        if (HasFatalFailure()) return;
        const std::string local = std::string("pasv-") + std::to_string(&c - cases) + ".txt";
        size_t mark = Mark();
        EXPECT_EQ(zubGetFile(0, local.c_str()), c.result);
        if (c.result == 0) {
            EXPECT_EQ(ReadFile(Local(local)), "through passive");
            EXPECT_EQ(srv->dataConnections(), 1);
            if (c.highPort) {
                EXPECT_GT(srv->passivePort(), 32767);
            }
            EXPECT_EQ(Occurrences(LogSince(mark), "DataSock is connected.\r\n"), 1);
        } else {
            EXPECT_TRUE(Received("RETR").empty());
        }
        if (c.result == ZUB_E_NO_PASV_PORT) {
            EXPECT_EQ(Occurrences(LogSince(mark), "Response=[" + std::string(c.reply) + "]\r\n"), 1);
            EXPECT_EQ(Occurrences(LogSince(mark), "DataPort = "), 0);
        }
        EXPECT_EQ(zubDriver(0), 0);
    }
}

// EPSV first: its port, on the control connection's own server; a 5xx
// refusal makes this and every later transfer ask with PASV; anything else
// that is not a well-formed 229 fails.
TEST_F(DataConnPasv, EpsvReplyFormsAndTheFallBack) {
    struct Case {
        const char *what;
        const char *reply;  // {port}: the server's listening port
        int32_t result;
        std::vector<std::string> asked;  // passive commands of two transfers
        bool highPort = false;           // the server listens above 32767
    } cases[] = {
        {"pipes", "229 Entering Extended Passive Mode (|||{port}|)\r\n", 0, {"EPSV", "EPSV"}},
        {"port above 32767", "229 Entering Extended Passive Mode (|||{port}|)\r\n", 0, {"EPSV", "EPSV"}, true},
        {"other delimiter", "229 Extended (!!!{port}!).\r\n", 0, {"EPSV", "EPSV"}},
        {"500 falls back", "500 EPSV not understood.\r\n", 0, {"EPSV", "PASV", "PASV"}},
        {"502 falls back", "502 Not implemented.\r\n", 0, {"EPSV", "PASV", "PASV"}},
        {"421 is no refusal of EPSV", "421 Closing.\r\n", ZUB_E_SERVER_ERROR, {"EPSV"}},
        {"no parentheses", "229 Entering Extended Passive Mode |||{port}|\r\n", ZUB_E_NO_PASV_PORT, {"EPSV"}},
        {"two delimiters", "229 (||{port}|)\r\n", ZUB_E_NO_PASV_PORT, {"EPSV"}},
        {"mixed delimiters", "229 (||!{port}|)\r\n", ZUB_E_NO_PASV_PORT, {"EPSV"}},
        {"digit delimiter", "229 (111{port}1)\r\n", ZUB_E_NO_PASV_PORT, {"EPSV"}},
        {"no port", "229 (||||)\r\n", ZUB_E_NO_PASV_PORT, {"EPSV"}},
        {"port 0", "229 (|||0|)\r\n", ZUB_E_NO_PASV_PORT, {"EPSV"}},
        {"port too large", "229 (|||65536|)\r\n", ZUB_E_NO_PASV_PORT, {"EPSV"}},
        {"not closed", "229 (|||{port}|\r\n", ZUB_E_NO_PASV_PORT, {"EPSV"}},
        {"PASV answer to EPSV", "227 Entering Passive Mode (127,0,0,1,1,2)\r\n", ZUB_E_NO_PASV_PORT, {"EPSV"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        zt::Scenario sc;
        zt::Rule &epsv = sc.on("EPSV").reply(c.reply);
        if (c.highPort) epsv.highDataPort();
        sc.on("RETR").data("through extended passive");
        Serve(sc, Mode::Passive);
        if (HasFatalFailure()) return;
        ASSERT_EQ(zubSetInteger(0, ZUB_SET_EPSV, 1), 1);
        const std::string local = std::string("epsv-") + std::to_string(&c - cases) + ".txt";
        EXPECT_EQ(zubGetFile(0, local.c_str()), c.result);
        if (c.result == 0) {
            EXPECT_EQ(ReadFile(Local(local)), "through extended passive");
            EXPECT_EQ(zubGetFile(0, local.c_str()), 0);
            EXPECT_EQ(srv->dataConnections(), 2);
            if (c.highPort) {
                EXPECT_GT(srv->passivePort(), 32767);
            }
        } else {
            EXPECT_TRUE(Received("RETR").empty());
        }
        std::vector<std::string> asked = Received("EPSV");
        for (const std::string &line : Received("PASV")) asked.push_back(line);
        EXPECT_EQ(asked, c.asked);
        EXPECT_EQ(zubDriver(0), 0);
    }
}

// A local name that is an absolute path is used as it is, not put into the
// local directory.
TEST_F(DataConnPasv, AbsoluteLocalNamesAreUsedAsTheyAre) {
    zt::Scenario sc;
    sc.on("RETR").data("absolute");
    Serve(sc, Mode::Passive);
    const std::string abs = dir + "/elsewhere.txt";
    // A drive letter ("C:\\...") holds the usual separator: such callers
    // choose another one.
    const char sep = abs.find(':') == std::string::npos ? ':' : '|';
    zubSetInteger(0, ZUB_SET_NAME_SEPARATOR, static_cast<uint32_t>(sep));
    EXPECT_EQ(zubGetFile(0, ("r.txt" + std::string(1, sep) + abs).c_str()), 0);
    EXPECT_EQ(ReadFile(abs), "absolute");
    EXPECT_EQ(zubPutFile(0, (abs + sep + "up.txt").c_str()), 0);
    EXPECT_EQ(srv->uploads(), std::vector<std::string>{"absolute"});
}

// ---- active ports -----------------------------------------------------------------------------------
TEST_F(DataConnPort, PortsRotateThroughTheChannelRange) {
    zt::Scenario sc;
    sc.on("RETR").data("p");
    Serve(sc, Mode::Active);
    const int base = Rec()->DataPortBase, limit = Rec()->DataPortLimit;
    EXPECT_EQ(limit, base + 127);
    EXPECT_EQ(attachBase, 0x4000 | (zubGetInteger(0, ZUB_GET_PORT_NIBBLE) << 10));  // channel 0 of one

    for (int i = 0; i < 3; ++i) EXPECT_EQ(zubGetFile(0, "p.txt"), 0);
    zubSetInteger(0, ZUB_SET_DATA_PORT, static_cast<uint32_t>(limit));
    EXPECT_EQ(zubGetFile(0, "p.txt"), 0);
    EXPECT_EQ(zubGetFile(0, "p.txt"), 0);  // past the limit: back to the base
    // A port inside the channel's range is offered as asked, and the next
    // one follows it; a port above the range falls back to the base. (Which
    // of the two 20000 is depends on the range the start time chose.)
    zubSetInteger(0, ZUB_SET_DATA_PORT, static_cast<uint32_t>(base + 64));
    EXPECT_EQ(zubGetFile(0, "p.txt"), 0);
    EXPECT_EQ(zubGetFile(0, "p.txt"), 0);
    zubSetInteger(0, ZUB_SET_DATA_PORT, 20000);
    EXPECT_EQ(zubGetFile(0, "p.txt"), 0);
    const int offered = 20000 <= limit ? 20000 : base;

    std::vector<std::string> want;
    for (int port : {base + 1, base + 2, base + 3, limit, base, base + 64, base + 65, offered})
        want.push_back(PortLine(port));
    EXPECT_EQ(Received("PORT"), want);
    EXPECT_EQ(Occurrences(Log(), "DataPort = " + std::to_string(base + 64) + "\r\n"), 1);
}

// A port held by someone else (another process started in the same few
// seconds has the same range) is skipped; only a range that is busy
// throughout fails, with the address-in-use code.
TEST_F(DataConnPort, BusyPortsAreSkippedUpToTheWholeRange) {
    zt::Scenario sc;
    sc.on("RETR").data("p");
    Serve(sc, Mode::Active);
    const int base = Rec()->DataPortBase, limit = Rec()->DataPortLimit;
    std::vector<int> held;
    auto hold = [&](int port) {
        // A port some other test already holds is just as busy.
        int fd = zt::sock::listenOn(port);
        if (fd >= 0) held.push_back(fd);
    };
    hold(base + 1);
    hold(base + 2);
    EXPECT_EQ(zubGetFile(0, "p.txt"), 0);
    EXPECT_EQ(Received("PORT"), std::vector<std::string>{PortLine(base + 3)});
    for (int port = base; port <= limit; ++port)
        if (port != base + 1 && port != base + 2) hold(port);
    EXPECT_EQ(zubGetFile(0, "p.txt"), -ZP_WSAEADDRINUSE);
    EXPECT_EQ(Occurrences(Log(), "Binding"), 3 + 128) << "each port of the range once";
    for (int fd : held) zt::sock::closeGraceful(fd);
    EXPECT_EQ(zubGetFile(0, "p.txt"), 0);
}

int32_t SocketExhausted() {
    zp_set_last_error(ZP_WSAEMFILE);
    return -1;
}

// No data socket to be had: the state that wanted it takes the error exit
// once (one ERROR line, recording that state), the socket fields stay at
// "none", and the next transfer goes through.
TEST_F(DataConnPort, NoDataSocketTakesTheErrorExitOnce) {
    zt::Scenario sc;
    sc.on("RETR").data("p");
    Serve(sc, Mode::Active);
    struct Case {
        Mode mode;
        int32_t state;
    };
    for (const Case c : {Case{Mode::Active, 910}, Case{Mode::Passive, 901}}) {
        SCOPED_TRACE(c.state);
        SetMode(c.mode);
        const size_t mark = Mark();
        ReplaceCall(zp_socket, &SocketExhausted);
        EXPECT_EQ(zubGetFile(0, "p.txt"), ZUB_E_INVALID_SOCKET);
        zp_syscall_reset();
        const std::string log = LogSince(mark);
        EXPECT_EQ(Occurrences(log, "ERROR("), 1) << log;
        EXPECT_EQ(Occurrences(log, "ThisState=" + std::to_string(c.state) + " "), 1) << log;
        EXPECT_EQ(Occurrences(log, "zubCode=" + std::to_string(ZUB_E_CANNOT_CREATE_SOCKET)), 1) << log;
        EXPECT_EQ(+Rec()->PrevState, c.state);
        EXPECT_EQ(zubGetInteger(0, ZUB_GET_SOCK_CODE), ZUB_E_INVALID_SOCKET);
        EXPECT_EQ(+Rec()->ListenSock, 0);
        EXPECT_EQ(+Rec()->DataSock, 0);
        EXPECT_EQ(zubGetFile(0, "p.txt"), 0);
        EXPECT_EQ(ReadFile(Local("p.txt")), "p");
    }
}

// ---- the accept wait ---------------------------------------------------------------------------------

// Only the server may deliver the data: a connection from another address
// that reaches the listener first is closed, and the server's is taken.
TEST_F(DataConnAccept, ConnectionFromAnotherAddressIsRefused) {
    zt::Scenario sc;
    sc.on("RETR").data("from the server");
    Serve(sc, Mode::Active);
    zubSetInteger(0, ZUB_SET_AUTO_CALL, 0);
    ASSERT_EQ(zubGetFile(0, "mine.txt"), 0);
    // The listener is up once PORT is out, before RETR asks the server to connect.
    Drive(nullptr, [this](int32_t) { return Rec()->ListenSock != 0; });
    const int stranger = zt::sock::connectLoopback(Rec()->DataPort, 5000, {}, 0x7F000001u, 0x7F000002u);
    ASSERT_GE(stranger, 0);
    ASSERT_TRUE(zt::sock::sendAll(stranger, std::string("forged bytes")));
    EXPECT_EQ(Drive(), 0);
    EXPECT_EQ(ReadFile(Local("mine.txt")), "from the server");
    EXPECT_EQ(Occurrences(Log(), "Connection from 127.0.0.2 refused.\r\n"), 1);
    zt::sock::closeGraceful(stranger);
}

// The byte counters are 32 bits wide: past 2 GiB they wrap, defined, and
// the transfer goes on.
TEST_F(DataConnAccept, ByteCountersWrapPastTheirWidth) {
    zt::Scenario sc;
    sc.on("RETR").data("hello");
    Serve(sc, Mode::Active);
    Rec()->GetTotal = INT32_MAX;
    Rec()->PutTotal = -1;
    ASSERT_TRUE(WriteFile(Local("up.txt"), "abc"));
    EXPECT_EQ(zubGetFile(0, "in.txt"), 0);
    EXPECT_EQ(zubPutFile(0, "up.txt"), 0);
    EXPECT_EQ(zubGetInteger(0, ZUB_GET_GET_TOTAL), INT32_MIN + 4);
    EXPECT_EQ(zubGetInteger(0, ZUB_GET_PUT_TOTAL), 2);
}
TEST_F(DataConnAccept, ErrorReplyEndsTheWaitAtOnce) {
    zt::Scenario sc;
    sc.on("RETR").reply("550 No such file.\r\n");
    Serve(sc, Mode::Active);
    zubSetInteger(0, ZUB_SET_DATA_WAIT, 30000);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(zubGetFile(0, "nope.txt"), ZUB_E_SERVER_ERROR);
    // Far below the 30 s a wait for the connection would take.
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(10));
    EXPECT_EQ(Occurrences(Log(), "ThisState=921"), 1);
    EXPECT_EQ(zubDriver(0), 0);
}

TEST_F(DataConnAccept, PreliminaryReplyIsLeftForTheReplyState) {
    zt::Scenario sc;
    sc.on("RETR").neverConnect();  // 150 only: the test connects itself
    Serve(sc, Mode::Active);
    zubSetInteger(0, ZUB_SET_DATA_WAIT, 30000);
    zubSetInteger(0, ZUB_SET_AUTO_CALL, 0);
    ASSERT_EQ(zubGetFile(0, "pre.txt"), 0);
    zub::ChannelRecord *rec = Rec();
    Drive(nullptr, [&](int32_t) { return rec->NextState == 921 && zub::RingHeld(&rec->CtrlRing) > 0; }, 10000);
    ASSERT_EQ(xfer::Val(rec->NextState), 921);
    const int32_t held = zub::RingHeld(&rec->CtrlRing);
    ASSERT_GT(held, 0);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(zubDriver(0), 921);
        EXPECT_EQ(zub::RingHeld(&rec->CtrlRing), held);  // peeked, not taken
    }
    // No completion reply will come: after the accept, the missing reply
    // ends the operation quietly once ResponseWait has passed.
    zubSetInteger(0, ZUB_SET_RESPONSE_WAIT, 300);
    int fd = zt::sock::connectLoopback(srv->activePort(), 5000);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(zt::sock::sendAll(fd, "sent by the test"));
    zt::sock::closeGraceful(fd);
    std::vector<int32_t> results;
    EXPECT_EQ(Drive(&results), 0);
    ASSERT_GE(results.size(), 2u);
    EXPECT_EQ(results[results.size() - 2], 1);  // the quiet end, then idle
    EXPECT_EQ(ReadFile(Local("pre.txt")), "sent by the test");
    const std::string log = Log();
    size_t at = log.find("Connection is accepted.\r\n");
    ASSERT_NE(at, std::string::npos);
    EXPECT_NE(log.find("R: 150 ", at), std::string::npos);
    EXPECT_EQ(zubDriver(0), 0);
}

TEST_F(DataConnAccept, NoConnectionBeforeTimeStop) {
    zt::Scenario sc;
    sc.on("RETR").neverConnect();
    Serve(sc, Mode::Active);
    zubSetInteger(0, ZUB_SET_DATA_WAIT, 300);
    EXPECT_EQ(zubGetFile(0, "never.txt"), ZUB_E_TIMEOUT);
    EXPECT_EQ(Occurrences(Log(), "TimeStop exceeded"), 1);
    EXPECT_EQ(Occurrences(Log(), "Accepting connection."), 0);
    EXPECT_EQ(zubDriver(0), 0);
}

std::atomic<int> gAcceptCalls{0};
int32_t FailingAccept(int32_t, uint32_t *, uint16_t *) {
    ++gAcceptCalls;
    zp_set_last_error(ZP_WSAEMFILE);
    return -1;
}

TEST_F(DataConnAccept, FailedAcceptEndsTheOperation) {
    zt::Scenario sc;
    sc.on("RETR").once().data("first");
    sc.on("RETR").data("second");
    Serve(sc, Mode::Active);
    gAcceptCalls = 0;
    ReplaceCall(zp_accept, &FailingAccept);
    EXPECT_EQ(zubGetFile(0, "one.txt"), -ZP_WSAEMFILE);
    zp_syscall_reset();
    EXPECT_EQ(gAcceptCalls, 1);
    EXPECT_EQ(zubGetInteger(0, ZUB_GET_SOCK_CODE), -ZP_WSAEMFILE);
    EXPECT_EQ(Occurrences(Log(), "ThisState=921"), 1);
    EXPECT_EQ(zubDriver(0), 0);  // idle: the accept is not tried again

    // The server's answer to the lost transfer is discarded by the next one.
    EXPECT_TRUE(ControlReadable(10000));
    EXPECT_EQ(zubGetFile(0, "two.txt"), 0);
    EXPECT_EQ(ReadFile(Local("two.txt")), "second");
}

// ---- the quiet end -----------------------------------------------------------------------------------
// A deadline that passes after an active-mode connection was accepted ends
// the operation with 1 instead of -22, and the channel is idle. Stepping by
// hand, the application sees that 1 (and 0 if it calls again); the
// AUTO_CALL loop takes 1 for "call again", runs the idle state and returns
// 0, so there the missing completion reply goes unreported.
TEST_F(DataConnTimeStop, DeadlineAfterAcceptEndsQuietly) {
    zt::Scenario sc;
    sc.on("RETR").data("hello").after("");  // no completion reply
    Serve(sc, Mode::Active);
    zubSetInteger(0, ZUB_SET_RESPONSE_WAIT, 300);
    struct Case {
        Mode mode;
        bool autoCall;
        int32_t result;
    } cases[] = {
        {Mode::Active, false, 1},
        {Mode::Active, true, 0},
        {Mode::Passive, false, ZUB_E_TIMEOUT},
        {Mode::Passive, true, ZUB_E_TIMEOUT},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.mode == Mode::Active ? "active" : "passive") + (c.autoCall ? " auto" : " stepped"));
        SetMode(c.mode);
        zubSetInteger(0, ZUB_SET_AUTO_CALL, c.autoCall ? 1 : 0);
        const std::string name = "quiet" + std::to_string(&c - cases) + ".txt";
        size_t mark = Mark();
        int32_t r = zubGetFile(0, name.c_str());
        if (!c.autoCall) {
            EXPECT_EQ(r, 0);
            r = Drive(nullptr, [](int32_t step) { return step == 1; });
        }
        EXPECT_EQ(r, c.result);
        EXPECT_EQ(zubDriver(0), 0);
        EXPECT_EQ(ReadFile(Local(name)), "hello");
        EXPECT_EQ(Occurrences(LogSince(mark), "TimeStop exceeded"), 1);
    }
}

TEST_F(DataConnTimeStop, NextOperationTimesOutWithTheTimeoutCode) {
    zt::Scenario sc;
    sc.on("NOOP").silence();
    sc.on("RETR").data("accepted");
    Serve(sc, Mode::Active);
    EXPECT_EQ(zubGetFile(0, "ok.txt"), 0);  // an accepted connection
    zubSetInteger(0, ZUB_SET_RESPONSE_WAIT, 300);
    EXPECT_EQ(zubHello(0), ZUB_E_TIMEOUT);
    zubSetInteger(0, ZUB_SET_AUTO_CALL, 0);
    EXPECT_EQ(zubHello(0), 0);
    EXPECT_EQ(Drive(), ZUB_E_TIMEOUT);
}

// ---- completion replies and faults ------------------------------------------------------------------
// Counts the control ring's fills that run past the end of its storage
// while it still holds bytes, so the copy wraps to the start.
std::atomic<int> gCtrlRingWraps{0};
decltype(&zp_recv) gPlainRecv = nullptr;

int32_t WatchControlRing(int32_t s, void *buf, int32_t n) {
    const zub::RecvRing &ring = zub::ChannelTable[0]->CtrlRing;
    const bool holding = zub::RingHeld(&ring) > 0;
    const int32_t tail = ring.RingTail;
    const int32_t got = gPlainRecv(s, buf, n);
    if (s == ring.RingSock && holding && got > 0 && tail + got > zub::kRingSize) ++gCtrlRingWraps;
    return got;
}

// A completion reply of many lines, longer than the control ring holds:
// read a line at a time while the rest arrives, it wraps the ring.
std::vector<std::string> LongReplyLines() {
    std::vector<std::string> lines;
    for (int i = 0; i < 120; ++i) {
        char line[80];
        std::snprintf(line, sizeof line, "226-Line %04d of a long completion reply, each one different\r\n", i);
        lines.push_back(line);
    }
    return lines;
}

TEST_P(TransferCompletion, CompletionReplyCodes) {
    std::string longReply;
    for (const std::string &line : LongReplyLines()) longReply += line;
    longReply += "226 Transfer complete.\r\n";
    struct Case {
        const char *after;
        int32_t result;
        bool warning;
        bool wrapsRing = false;
    } cases[] = {
        {"226 Transfer complete.\r\n", 0, false},
        {longReply.c_str(), 0, false, true},
        {"250 Requested file action okay.\r\n", 0, false},
        {"200 Fine.\r\n", 0, true},
        {"451 Local error in processing.\r\n", ZUB_E_SERVER_ERROR, false},
        {"550 Gone.\r\n", ZUB_E_SERVER_ERROR, false},
    };
    zt::Scenario sc;
    for (const Case &c : cases) sc.on("RETR").once().data("payload").after(c.after);
    Serve(sc);
    gPlainRecv = ReplaceCall(zp_recv, &WatchControlRing);
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.after).substr(0, 40));
        const std::string name = "done" + std::to_string(&c - cases) + ".txt";
        size_t mark = Mark();
        gCtrlRingWraps = 0;
        EXPECT_EQ(zubGetFile(0, name.c_str()), c.result);
        EXPECT_EQ(ReadFile(Local(name)), "payload");
        EXPECT_EQ(Occurrences(LogSince(mark), "[WARNING: 226/250 not seen]\r\n"), c.warning ? 1 : 0);
        if (c.wrapsRing) {
            EXPECT_GT(gCtrlRingWraps.load(), 0) << "the reply never made the ring wrap";
            // Every line came through whole, once and in order.
            const std::string log = LogSince(mark);
            size_t at = 0;
            for (const std::string &line : LongReplyLines()) {
                EXPECT_EQ(Occurrences(log, "r: " + line), 1) << line;
                const size_t found = log.find("r: " + line);
                EXPECT_TRUE(found != std::string::npos && found >= at) << line;
                if (found != std::string::npos) at = found;
            }
        }
    }
}

TEST_P(TransferFault, DataConnectionResetMidDownload) {
    if (zt::sock::underWine()) GTEST_SKIP() << "Wine reports a reset as an orderly close";
    const std::string body = PatternBytes(200000, 11);
    zt::Scenario sc;
    sc.on("RETR").data(body).resetDataAfter(50000);
    Serve(sc);
    EXPECT_EQ(zubGetFile(0, "reset.bin"), -ZP_WSAECONNRESET);
    EXPECT_EQ(zubGetInteger(0, ZUB_GET_SOCK_CODE), -ZP_WSAECONNRESET);
    EXPECT_EQ(Occurrences(Log(), "zubCode=-20"), 1);
    EXPECT_FALSE(FileHeldOpen(Local("reset.bin")));
    const std::string got = ReadFile(Local("reset.bin"));
    EXPECT_LE(got.size(), 50000u);
    EXPECT_EQ(got, body.substr(0, got.size()));
    EXPECT_EQ(zubDriver(0), 0);
}

// ---- the bulk path's faults --------------------------------------------------------------------------
int32_t SpliceOutFails(int32_t, int32_t, int32_t) {
    zp_set_last_error(ZP_WSAENOBUFS);
    return -1;
}
int32_t FileWriteFails(int32_t, const void *, uint32_t) { return -1; }
int32_t FileReadFails(int32_t, void *, uint32_t) { return -1; }
int32_t SendFileUnsupported(int32_t, int32_t, int32_t) {
    zp_set_last_error(ZP_WSAEOPNOTSUPP);
    return -1;
}
int PipeUnsupported(int32_t *, int32_t *) {
    zp_set_last_error(ZP_WSAEOPNOTSUPP);
    return -1;
}

// With ZUB_SET_BULK on, each fault ends the transfer with the code the
// block path gives it, and the local file holds only bytes that arrived;
// "buffer" rows take the path of systems without pipes.
TEST_P(TransferFault, BulkPathFaultsKeepTheirCodes) {
    // The upload is larger than what the loopback's socket buffers hold, so
    // that a reset always meets data still to send.
    const std::string body = PatternBytes(3u << 20, 12);
    const std::string upBody = PatternBytes(32u << 20, 14);
    ASSERT_TRUE(WriteFile(Local("up.bin"), upBody));
    struct Case {
        const char *what;
        const char *line;  // the transfer command, and the server's rule for it
        bool buffer;
        int32_t result;
        void (*fault)();
        bool reset = false;
    } cases[] = {
        {"download, reset", "RETR d1.bin", false, -ZP_WSAECONNRESET, nullptr, true},
        {"download, reset, buffer", "RETR d2.bin", true, -ZP_WSAECONNRESET, nullptr, true},
        {"download, file not written", "RETR d3.bin", false, ZUB_E_FILE_WRITE, [] {
             ReplaceCall(zp_splice_out, &SpliceOutFails);
             ReplaceCall(zp_file_write, &FileWriteFails);  // where there are no pipes
         }},
        {"download, file not written, buffer", "RETR d4.bin", true, ZUB_E_FILE_WRITE,
         [] { ReplaceCall(zp_file_write, &FileWriteFails); }},
        {"download, buffer", "RETR d5.bin", true, 0, nullptr},
        {"upload, the system cannot send the file", "STOR u1.bin", false, 0,
         [] { ReplaceCall(zp_send_file, &SendFileUnsupported); }},
        {"upload, file not read", "STOR u2.bin", false, ZUB_E_CANNOT_OPEN_FILE, [] {
             ReplaceCall(zp_send_file, &SendFileUnsupported);
             ReplaceCall(zp_file_read, &FileReadFails);
         }},
        {"upload, reset", "STOR u3.bin", false, -ZP_WSAECONNRESET, nullptr, true},
        {"upload, reset, buffer", "STOR u4.bin", true, -ZP_WSAECONNRESET, nullptr, true},
    };
    // Each row on a session of its own: no pauses at log-in and close.
    zubSetInteger(0, ZUB_SET_LINGER_LIMIT, 0);
    zubSetInteger(0, ZUB_SET_PASS_DELAY, 0);
    zubSetInteger(0, ZUB_SET_PASS_SLEEP, 0);
    zt::Scenario sc;
    sc.dataTimeoutMs = 1000;
    for (const Case &c : cases) {
        zt::Rule &r = sc.on(c.line);
        if (c.line[0] == 'R') r.data(body);
        else r.receive();
        if (c.reset) r.resetDataAfter(50000);
    }
    Serve(sc);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        if (c.reset && zt::sock::underWine()) continue;  // Wine reports a reset as an orderly close
        // A session of its own: a broken transfer's late reply stays there.
        zubClose(0);
        ASSERT_EQ(Connect(srv->port()), 0);
        ASSERT_EQ(zubSetMode(0, ZUB_MODE_BINARY), 0);
        ASSERT_EQ(zubSetInteger(0, ZUB_SET_BULK, 0), 0);
        if (c.buffer) ReplaceCall(zp_pipe_open, &PipeUnsupported);
        ASSERT_EQ(zubSetInteger(0, ZUB_SET_BULK, 1), 1);
        if (c.fault) c.fault();
        const std::string name = c.line + 5;
        const bool upload = c.line[0] == 'S';
        const std::string arg = upload ? "up.bin:" + name : name;
        EXPECT_EQ(upload ? zubPutFile(0, arg.c_str()) : zubGetFile(0, arg.c_str()), c.result);
        zp_syscall_reset();
        EXPECT_FALSE(FileHeldOpen(Local(upload ? "up.bin" : name)));
        EXPECT_EQ(zubDriver(0), 0);
        // The server's copy of an upload is whole once the completion reply
        // came; a download's local file holds what arrived, and no more.
        if (upload && c.result == 0) {
            ASSERT_FALSE(srv->uploads().empty());
            EXPECT_TRUE(xfer::SameBytes(srv->uploads().back(), upBody));
        } else if (!upload) {
            const std::string got = ReadFile(Local(name));
            EXPECT_EQ(got, body.substr(0, got.size()));
            if (c.result == 0) {
                EXPECT_EQ(got.size(), body.size());
            }
        }
    }
}

// A bulk step that finds nothing comes back at once: between the pieces
// of a server that sends in bursts, steps return without a byte.
TEST_P(TransferFault, BulkStepsDoNotWaitForData) {
    const std::string body = PatternBytes(512u << 10, 13);
    zt::Scenario sc;
    sc.on("RETR").data(body).chunked(128u << 10, 150);
    Serve(sc);
    ASSERT_EQ(zubSetMode(0, ZUB_MODE_BINARY), 0);
    ASSERT_EQ(zubSetInteger(0, ZUB_SET_BULK, 1), 1);
    zubSetInteger(0, ZUB_SET_AUTO_CALL, ZUB_AUTO_CALL_OFF);
    ASSERT_EQ(zubGetFile(0, "bursts.bin"), 0);
    int32_t last = 0;
    int idle = 0;
    EXPECT_EQ(Drive(nullptr, [&](int32_t) {
                  const int32_t now = zubGetInteger(0, ZUB_GET_GET_BYTES);
                  idle += now == last && now > 0 && now < static_cast<int32_t>(body.size());
                  last = now;
                  return false;
              }),
              0);
    EXPECT_GT(idle, 0) << "every step waited for its bytes";
    EXPECT_EQ(ReadFile(Local("bursts.bin")), body);
}

// ---- descriptors ---------------------------------------------------------------------------------------
TEST_P(TransferFailures, RefusedTransfersLeaveNoDescriptorsBehind) {
    zt::Scenario sc;
    for (const char *verb : {"RETR", "STOR", "LIST"}) sc.on(verb).reply("550 Refused.\r\n");
    Serve(sc);
    ASSERT_TRUE(WriteFile(Local("up.bin"), "upload"));
    struct Case {
        const char *what;
        int32_t (*run)();
    } cases[] = {
        {"download", [] { return zubGetFile(0, "x.bin"); }},
        {"upload", [] { return zubPutFile(0, "up.bin"); }},
        {"listing", [] {
             char buf[64] = "";
             return zubGetList(0, ZUB_LIST, buf, sizeof buf);
         }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(c.run(), ZUB_E_SERVER_ERROR);
        // One data socket (passive) or listener (active) of the last failure
        // stays open until the next transfer replaces it.
        const int before = xfer::CountOpenFds();
        for (int i = 0; i < 1000; ++i) {
            int32_t r = c.run();
            if (r != ZUB_E_SERVER_ERROR) {
                ADD_FAILURE() << "attempt " << i << " gave " << r;
                break;
            }
        }
        EXPECT_EQ(xfer::CountOpenFds(), before);
        EXPECT_FALSE(FileHeldOpen(Local("up.bin")));
    }
    const int before = xfer::CountOpenFds();
    EXPECT_EQ(zubAbort(0), 1);
    EXPECT_EQ(xfer::CountOpenFds(), before - 1);
    // A close stepped by the application lets go of everything too: the
    // failed transfer's data socket, the control socket and the log.
    ASSERT_EQ(zubGetFile(0, "x.bin"), ZUB_E_SERVER_ERROR);
    zubSetInteger(0, ZUB_SET_AUTO_CALL, 0);
    EXPECT_EQ(zubClose(0), 0);
    EXPECT_EQ(Drive(), 0);
    EXPECT_EQ(Rec()->DataSock + Rec()->ListenSock + Rec()->CtrlSock + Rec()->LogFile, 0);
}

// ---- long runs -------------------------------------------------------------------------------------------
// The range wraps from its limit to its base, and a port whose previous
// connection still lingers (TIME_WAIT) is taken again at once: started near
// the limit, a handful of downloads crosses the wrap twice. The range is the
// last one, which ends at 32767, where the wrap once went wrong.
TEST_F(TransferActiveRun, PortsWrapAndAreTakenAgainAtOnce) {
    zt::Scenario sc;
    sc.on("RETR").data("small file");
    Rec()->DataPortBase = 0x7F80;
    Rec()->DataPortLimit = 0x7FFF;
    Serve(sc, Mode::Active);
    const int base = Rec()->DataPortBase, limit = Rec()->DataPortLimit;
    std::vector<std::string> want;
    for (int pass = 0; pass < 2; ++pass) {
        zubSetInteger(0, ZUB_SET_DATA_PORT, static_cast<uint32_t>(limit - 1));
        for (int port : {limit - 1, limit, base, base + 1}) {
            EXPECT_EQ(zubGetFile(0, "small.txt"), 0) << "port " << port;
            want.push_back(PortLine(port));
        }
    }
    EXPECT_EQ(ReadFile(Local("small.txt")), "small file");
    EXPECT_EQ(Received("PORT"), want);
}

// ---- listings ---------------------------------------------------------------------------------------------
TEST_P(ListingScripted, CommandPerKindWithTheArgumentFromTheBuffer) {
    zt::Scenario sc;  // every listing is empty
    Serve(sc);
    struct Case {
        int32_t kind;
        const char *arg;
        const char *command;
    } cases[] = {
        {ZUB_LIST, "ignored", "LIST"},     {ZUB_NLST, "ignored", "NLST"}, {ZUB_LIST_ARG, "*.txt", "LIST *.txt"},
        {ZUB_NLST_ARG, "sub", "NLST sub"}, {7, "other", "LIST other"},    {-3, "neg", "LIST"},
        // Without the MLSD setting its kinds list as any other kind >= 2.
        {ZUB_MLSD, "dir", "LIST dir"},     {ZUB_MLSD_ARG, "dir", "LIST dir"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.command);
        char buf[64];
        std::strcpy(buf, c.arg);
        EXPECT_EQ(zubGetList(0, c.kind, buf, sizeof buf), 0);
        // Nothing arrived, so the buffer still holds what the caller put there.
        EXPECT_STREQ(buf, c.arg);
        std::vector<std::string> got = srv->transcript();
        ASSERT_FALSE(got.empty());
        EXPECT_EQ(got.back(), c.command);
    }
}

// MLSD, and LIST in its place once the server has refused MLSD as unknown
// (for the rest of the session); any other refusal is the listing's result.
TEST_P(ListingScripted, MlsdAndItsFallBackToList) {
    const std::string facts = "type=file;size=3; a.txt\r\n", lines = "-rw-r--r-- 1 u g 3 Jan 01 00:00 a.txt\r\n";
    struct Case {
        const char *what;
        const char *refusal;  // the reply to MLSD, nullptr: the facts
        int32_t kind;
        int32_t result;
        std::vector<std::string> sent;  // the listing commands, in order
        int32_t format;                 // ZUB_GET_LIST_FORMAT after it
    } cases[] = {
        {"facts", nullptr, ZUB_MLSD_ARG, static_cast<int32_t>(facts.size()), {"MLSD sub"}, 1},
        {"500", "500 Unknown command.\r\n", ZUB_MLSD_ARG, static_cast<int32_t>(lines.size()), {"MLSD sub", "LIST sub"}, 0},
        {"502", "502 Not implemented.\r\n", ZUB_MLSD, static_cast<int32_t>(lines.size()), {"MLSD", "LIST"}, 0},
        {"504", "504 Not for that.\r\n", ZUB_MLSD_ARG, static_cast<int32_t>(lines.size()), {"MLSD sub", "LIST sub"}, 0},
        {"550 is the answer", "550 No such directory.\r\n", ZUB_MLSD_ARG, ZUB_E_SERVER_ERROR, {"MLSD sub"}, 1},
    };
    zubSetInteger(0, ZUB_SET_PASS_DELAY, 0);  // a new session per case: no pauses
    zubSetInteger(0, ZUB_SET_LINGER_LIMIT, 0);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        zt::Scenario sc;
        if (c.refusal)
            sc.on("MLSD").reply(c.refusal);
        else
            sc.on("MLSD").data(facts);
        sc.on("LIST").data(lines);
        Serve(sc);
        ASSERT_EQ(zubSetInteger(0, ZUB_SET_MLSD, 1), 1);
        for (int round = 0; round < 2; ++round) {
            char buf[256] = "sub";
            size_t mark = Mark();
            EXPECT_EQ(zubGetList(0, c.kind, buf, sizeof buf), c.result);
            if (c.result > 0) {
                EXPECT_EQ(std::string(buf), c.format ? facts : lines);
            }
            EXPECT_EQ(zubGetInteger(0, ZUB_GET_LIST_FORMAT), c.format);
            std::vector<std::string> sent;
            for (const std::string &cmd : srv->transcript())
                if (cmd.rfind("MLSD", 0) == 0 || cmd.rfind("LIST", 0) == 0) sent.push_back(cmd);
            // The second listing of the session asks LIST at once.
            std::vector<std::string> want = c.sent;
            if (round == 1) {
                want.insert(want.end(), c.sent.begin(), c.sent.end());
                if (c.sent.size() == 2) want.erase(want.end() - 2);
            }
            EXPECT_EQ(sent, want) << "round " << round;
            EXPECT_EQ(Occurrences(LogSince(mark), "MLSD refused: LIST instead\r\n"), round == 0 && c.sent.size() == 2);
        }
        zubClose(0);  // a new session for the next case; the log with it
        ASSERT_GT(zubSetString(0, ZUB_STR_OPEN_LOG, logPath.c_str()), 0);
    }
}

TEST_P(ListingScripted, ListingOfRoomMinusOneFitsOneMoreOverflows) {
    std::string body;
    while (body.size() < 1000) body += "-rw-r--r-- 1 ftp ftp 42 Jan 01 00:00 f" + std::to_string(body.size()) + "\r\n";
    body.resize(1000);
    zt::Scenario sc;
    sc.on("LIST").data(body);
    Serve(sc);
    std::vector<char> buf(body.size() + 16, 'Z');
    buf[0] = 0;
    EXPECT_EQ(zubGetList(0, ZUB_LIST, buf.data(), static_cast<int32_t>(body.size()) + 1),
              static_cast<int32_t>(body.size()));
    EXPECT_EQ(std::string(buf.data(), body.size()), body);
    EXPECT_EQ(buf[body.size()], '\0');
    EXPECT_EQ(buf[body.size() + 1], 'Z');

    std::strcpy(buf.data(), "keep");
    EXPECT_EQ(zubGetList(0, ZUB_LIST, buf.data(), static_cast<int32_t>(body.size())), ZUB_E_LIST_OVERFLOW);
    EXPECT_STREQ(buf.data(), "keep");
}

TEST_P(ListingScripted, OverflowIsReportedUntilAPreliminaryReplyIsRead) {
    zt::Scenario sc;
    sc.on("LIST").once().data(std::string(1000, 'L'));
    sc.on("LIST").once().reply("550 No files.\r\n");
    sc.on("LIST").data("fits\r\n");
    Serve(sc);
    char buf[600] = "";
    EXPECT_EQ(zubGetList(0, ZUB_LIST, buf, 500), ZUB_E_LIST_OVERFLOW);
    size_t mark = Mark();
    // Fails before the preliminary reply: the earlier overflow still shows.
    EXPECT_EQ(zubGetList(0, ZUB_LIST, buf, 500), ZUB_E_LIST_OVERFLOW);
    EXPECT_EQ(Occurrences(LogSince(mark), "zubCode=-18"), 1);
    EXPECT_EQ(zubGetList(0, ZUB_LIST, buf, 500), 6);
    EXPECT_STREQ(buf, "fits\r\n");
}

TEST_P(ListingScripted, DataConnectionResetMidListing) {
    if (zt::sock::underWine()) GTEST_SKIP() << "Wine reports a reset as an orderly close";
    zt::Scenario sc;
    sc.on("LIST").data(std::string(3000, 'r')).resetDataAfter(1000);
    Serve(sc);
    char buf[4096] = "";
    EXPECT_EQ(zubGetList(0, ZUB_LIST, buf, sizeof buf), -ZP_WSAECONNRESET);
    EXPECT_EQ(Occurrences(Log(), "zubCode=-20"), 1);
    EXPECT_EQ(zubDriver(0), 0);
}

INSTANTIATE_TEST_SUITE_P(Modes, TransferCompletion, ::testing::Values(Mode::Passive, Mode::Active), ModeName);
INSTANTIATE_TEST_SUITE_P(Modes, TransferFault, ::testing::Values(Mode::Passive, Mode::Active), ModeName);
INSTANTIATE_TEST_SUITE_P(Modes, TransferFailures, ::testing::Values(Mode::Passive, Mode::Active), ModeName);
INSTANTIATE_TEST_SUITE_P(Modes, ListingScripted, ::testing::Values(Mode::Passive, Mode::Active), ModeName);

}  // namespace
