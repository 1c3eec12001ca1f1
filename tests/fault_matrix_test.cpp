// fault_matrix_test.cpp - every protocol phase against every kind of server
// misbehaviour, as one table. For each pair: the result code; the channel is
// idle afterwards and connects again for the next pair; a local file is
// closed and holds exactly the bytes that arrived; and once the session is
// closed the process holds the descriptors it held before.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "support.h"
#include "servers/scripted.h"

namespace {

using xfer::FileExists;
using xfer::FileHeldOpen;
using xfer::ReadFile;

enum class Phase { Greeting, User, Pass, Cwd, Pwd, Mkd, Pasv, Port, Rest, Retr, Stor, Appe, List, Completion, Quit };
enum class Fault { Busy, Refused, PrelimThenRefusal, Closed, Reset, Silence, Trickle, LongLine, EndlessMultiLine, Nul };

struct PhaseCase {
    const char *name;
    Phase phase;
    const char *verb;  // the command whose reply is spoiled
    bool passive;
};

const PhaseCase kPhases[] = {
    {"Greeting", Phase::Greeting, nullptr, true}, {"User", Phase::User, "USER", true},
    {"Pass", Phase::Pass, "PASS", true},          {"Cwd", Phase::Cwd, "CWD", true},
    {"Pwd", Phase::Pwd, "PWD", true},             {"Mkd", Phase::Mkd, "MKD", true},
    {"Pasv", Phase::Pasv, "PASV", true},          {"Port", Phase::Port, "PORT", false},
    {"Rest", Phase::Rest, "REST", true},          {"RetrPassive", Phase::Retr, "RETR", true},
    {"RetrActive", Phase::Retr, "RETR", false},   {"StorPassive", Phase::Stor, "STOR", true},
    {"StorActive", Phase::Stor, "STOR", false},   {"Appe", Phase::Appe, "APPE", false},
    {"ListPassive", Phase::List, "LIST", true},   {"ListActive", Phase::List, "LIST", false},
    {"CompletionPassive", Phase::Completion, "RETR", true},
    {"CompletionActive", Phase::Completion, "RETR", false},
    {"Quit", Phase::Quit, "QUIT", true},
};

const Fault kFaults[] = {Fault::Busy,    Fault::Refused, Fault::PrelimThenRefusal, Fault::Closed,
                         Fault::Reset,   Fault::Silence, Fault::Trickle,           Fault::LongLine,
                         Fault::EndlessMultiLine, Fault::Nul};

const char *FaultName(Fault f) {
    static const char *const names[] = {"4xx", "5xx", "1xx then 5xx", "closed", "reset", "silence",
                                        "trickle", "10000-byte line", "endless multi-line", "NUL inside"};
    return names[static_cast<int>(f)];
}

const std::string kBody = "the whole body of the file\n";

// The reply text of a fault; empty for the faults that are no text.
std::string FaultText(Fault f) {
    switch (f) {
    case Fault::Busy: return "450 Busy, try later.\r\n";
    case Fault::Refused: return "550 Refused.\r\n";
    case Fault::PrelimThenRefusal: return "150 About to.\r\n550 Refused after all.\r\n";
    case Fault::Trickle: return "550 Refused, slowly, very slowly.\r\n";
    case Fault::LongLine: return "550 " + std::string(10000, 'x') + "\r\n";
    case Fault::EndlessMultiLine: return "230-Still talking\r\n more\r\n and more\r\n";
    case Fault::Nul: return std::string("550 No\0such thing.\r\n", 20);
    default: return "";
    }
}

bool IsTransferVerb(Phase p) { return p == Phase::Retr || p == Phase::Stor || p == Phase::Appe || p == Phase::List; }

// The scenario with `fault` in place of the phase's reply.
zt::Scenario Spoil(const PhaseCase &pc, Fault f) {
    zt::Scenario sc;
    if (pc.phase == Phase::Completion) {
        zt::Rule &r = sc.on("RETR").data(kBody);
        r.after(FaultText(f));
        if (f == Fault::Closed) r.closeAfter();
        if (f == Fault::Reset) r.resetAfter();
        if (f == Fault::Trickle) r.afterByteByByte(100);
        return sc;
    }
    zt::Rule &r = pc.phase == Phase::Greeting ? sc.onConnect() : sc.on(pc.verb);
    sc.on("RETR").data(kBody);  // behind the phase's rule, which matches first
    if (IsTransferVerb(pc.phase)) r.noData();  // the reply is all the server does
    switch (f) {
    case Fault::Closed: r.closeBefore(); break;
    case Fault::Reset: r.resetBefore(); break;
    case Fault::Silence: r.silence(); break;
    case Fault::Trickle: r.reply(FaultText(f)).byteByByte(100); break;
    default: r.reply(FaultText(f)); break;
    }
    return sc;
}

int32_t Expected(const PhaseCase &pc, Fault f) {
    switch (f) {
    case Fault::Busy:
    case Fault::Refused:
    case Fault::LongLine:
    case Fault::Nul: return ZUB_E_SERVER_ERROR;
    case Fault::PrelimThenRefusal:
        // A transfer takes the 1xx as its preliminary reply and waits for
        // a data connection that never comes (a passive upload finds its
        // connection queued, sends, and then reads the refusal); everywhere
        // else the refusal is read at once.
        if (pc.phase == Phase::Stor && pc.passive) return ZUB_E_SERVER_ERROR;
        return IsTransferVerb(pc.phase) ? ZUB_E_TIMEOUT : ZUB_E_SERVER_ERROR;
    // A server that ends the session when asked to has done what QUIT asks.
    case Fault::Closed: return pc.phase == Phase::Quit ? 0 : ZUB_E_SOCKET_CLOSED;
    case Fault::Reset: return pc.phase == Phase::Quit ? 0 : -ZP_WSAECONNRESET;
    case Fault::Silence:
        // The quiet end: an active download whose data ended and whose
        // completion reply alone is missing.
        return pc.phase == Phase::Completion && !pc.passive ? 0 : ZUB_E_TIMEOUT;
    case Fault::Trickle:
    case Fault::EndlessMultiLine: return ZUB_E_TIMEOUT;
    }
    return 1;
}

class FaultMatrix : public xfer::ChannelFixture<::testing::TestWithParam<PhaseCase>> {
protected:
    int32_t RunPhase(const PhaseCase &pc, int port) {
        zubSetInteger(0, ZUB_SET_PASSIVE, pc.passive ? 1 : 0);
        int32_t r = Connect(port);
        if (pc.phase <= Phase::Pass) return r;
        EXPECT_EQ(r, 0) << "the connect before the phase";
        char list[512] = "";
        char dir[256];
        switch (pc.phase) {
        case Phase::Cwd: return zubSetServerDir(0, "/d");
        case Phase::Pwd: return zubGetServerDir(0, dir, 255);
        case Phase::Mkd: return zubMakeServerDir(0, "d");
        case Phase::Rest:
            zubSetInteger(0, ZUB_SET_RESUME, 1);
            zubSetInteger(0, ZUB_SET_RESTART_OFFSET, 3);
            return zubGetFile(0, "f.bin");
        case Phase::Stor: return zubPutFile(0, "up.bin");
        case Phase::Appe: zubSetInteger(0, ZUB_SET_RESUME, 1); return zubPutFile(0, "up.bin");
        case Phase::List: return zubGetList(0, ZUB_LIST, list, sizeof list);
        case Phase::Quit: return zubClose(0);
        default: return zubGetFile(0, "f.bin");
        }
    }
};

TEST_P(FaultMatrix, EveryFaultFailsCleanly) {
    const PhaseCase &pc = GetParam();
    zubSetInteger(0, ZUB_SET_RESPONSE_WAIT, 500);
    zubSetInteger(0, ZUB_SET_DATA_WAIT, 500);
    zubSetInteger(0, ZUB_SET_BLOCK_WAIT, 500);
    zubSetInteger(0, ZUB_SET_CONNECT_WAIT, 2000);
    zubSetInteger(0, ZUB_SET_REPLY_LINE_WAIT, 200);
    ASSERT_TRUE(xfer::WriteFile(Local("up.bin"), "upload"));
    CloseLog();
    bool resetUnseen = false;  // this system's sockets cannot report a reset
    for (Fault f : kFaults) {
        SCOPED_TRACE(std::string(pc.name) + " / " + FaultName(f));
        if (f == Fault::Reset && pc.phase != Phase::Quit && zt::sock::underWine()) {
            resetUnseen = true;
            continue;
        }
        std::remove(Local("f.bin").c_str());
        const int fds = xfer::CountOpenFds();
        ASSERT_GT(zubSetString(0, ZUB_STR_OPEN_LOG, logPath.c_str()), 0);
        {
            zt::ScriptedFtpServer srv(Spoil(pc, f));
            ASSERT_TRUE(srv.start());
            const int32_t r = RunPhase(pc, srv.port());
            // A reset that lands while an earlier reply is still being read
            // is taken by that read; what follows is the close.
            if (f == Fault::Reset && pc.phase == Phase::Completion && r == ZUB_E_SOCKET_CLOSED)
                EXPECT_NE(r, 0);
            else
                EXPECT_EQ(r, Expected(pc, f));
            EXPECT_EQ(zubDriver(0), 0) << "idle afterwards";
            const std::string got = Local("f.bin");
            if (FileExists(got)) {
                EXPECT_FALSE(FileHeldOpen(got));
                EXPECT_EQ(ReadFile(got), pc.phase == Phase::Completion ? kBody : "");
            }
            EXPECT_FALSE(FileHeldOpen(Local("up.bin")));
            if (pc.phase != Phase::Quit) zubClose(0);
            EXPECT_EQ(+Rec()->LogFile, 0) << "the close ends the log";
            if (HasFailure()) DumpLog();
        }
        EXPECT_EQ(xfer::CountOpenFds(), fds) << "descriptors after the close";
        if (HasFailure()) return;
    }
    if (resetUnseen) GTEST_SKIP() << "Wine reports a reset as an orderly close: the reset case";
}

INSTANTIATE_TEST_SUITE_P(Phases, FaultMatrix, ::testing::ValuesIn(kPhases),
                         [](const ::testing::TestParamInfo<PhaseCase> &info) { return info.param.name; });

}  // namespace

namespace {

// Connect, transfer and close, over and over: every cycle gives back every
// descriptor it took. ZUB_ENDURANCE_CYCLES sets the count (CI runs a
// thousand under LeakSanitizer; the plain suite a few). The sessions skip
// the log-in, whose pauses would only stretch the run.
using Endurance = xfer::ChannelFixture<>;

TEST_F(Endurance, CyclesLeaveNothingBehind) {
    const char *env = std::getenv("ZUB_ENDURANCE_CYCLES");
    const int cycles = env ? std::atoi(env) : 10;
    zt::Scenario sc;
    sc.on("RETR").data(kBody);
    zt::ScriptedFtpServer srv(sc);
    ASSERT_TRUE(srv.start());
    ASSERT_TRUE(xfer::WriteFile(Local("up.bin"), kBody));
    zubSetInteger(0, ZUB_SET_SERVER_PORT, static_cast<uint32_t>(srv.port()));
    CloseLog();
    const int fds = xfer::CountOpenFds();
    for (int i = 0; i < cycles; ++i) {
        zubSetInteger(0, ZUB_SET_PASSIVE, i % 4 < 2);
        ASSERT_EQ(zubConnect(0, "127.0.0.1", "", ""), 0) << "cycle " << i;
        ASSERT_EQ(i % 2 ? zubPutFile(0, "up.bin") : zubGetFile(0, "f.bin"), 0) << "cycle " << i;
        ASSERT_EQ(zubClose(0), 0) << "cycle " << i;
        ASSERT_EQ(xfer::CountOpenFds(), fds) << "cycle " << i;
    }
    EXPECT_EQ(ReadFile(Local("f.bin")), kBody);
    EXPECT_EQ(srv.uploads().size(), static_cast<size_t>(cycles / 2));
}

}  // namespace
