// net_ring_test.cpp - receive rings and the FTP reply reader over a real
// loopback connection: multi-line replies, slow and wrapped arrival, lines
// longer than the ring, the fill limit, the empty-poll counter, and the
// bound on a reply that never ends.

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "engine/driver.h"
#include "support.h"

namespace {

using namespace zub;
using nettest::NetFixture;
using nettest::Val;
using nettest::Occurrences;

class NetRingTest : public NetFixture {
protected:
    RecvRing *ring() { return &rec->CtrlRing; }

    // Fills until the ring holds `want` bytes; false if they do not come.
    bool FillTo(int32_t want) {
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (RingHeld(ring()) < want && std::chrono::steady_clock::now() < end)
            if (RingFill(ring()) < 0) return false;
        return RingHeld(ring()) == want;
    }
};

// recv stand-ins: one byte per call, or counting every call.
int gRecvCalls = 0;
decltype(&zp_recv) gRealRecv = nullptr;
int32_t RecvOneByte(int32_t s, void *buf, int32_t n) {
    ++gRecvCalls;
    return gRealRecv(s, buf, n < 1 ? n : 1);
}
int32_t RecvCounted(int32_t s, void *buf, int32_t n) {
    ++gRecvCalls;
    return gRealRecv(s, buf, n);
}
// write stand-in that records the size of every write.
std::vector<size_t> gWrites;
decltype(&zp_file_write) gRealWrite = nullptr;
int32_t WriteRecorded(int32_t h, const void *buf, uint32_t n) {
    gWrites.push_back(n);
    return gRealWrite(h, buf, n);
}
// poll stand-in that counts.
int gPolls = 0;
decltype(&zp_poll_all) gRealPollAll = nullptr;
int PollAllCounted(int32_t s) {
    ++gPolls;
    return gRealPollAll(s);
}

// ---- whole replies -------------------------------------------------------------------
struct ReplyCase {
    const char *wire;
    int32_t result;
    int32_t code;
    const char *errorText;
    std::vector<std::string> logged;     // must each appear in the log
    std::vector<std::string> notLogged;  // must not
    int32_t leftInRing;
};

TEST_F(NetRingTest, ReadReplyRecognisesTheLinesOfAReply) {
    const ReplyCase cases[] = {
        {"220-Welcome\r\n second line\r\n220 Ready\r\n", 11, 220, "",
         {"r: 220-Welcome\r\n", "c:  second line\r\n"}, {"220 Ready"}, 0},
        {"530 Login incorrect.\r\n", ZUB_E_SERVER_ERROR, 530, "530 Login incorrect.\r\n",
         {"\r\nFtpResponse: [530 Login incorrect.\r\n] Code=530\r\n"}, {}, 0},
        // 400 is an error, but only codes above 400 are collected and logged.
        {"400 Odd\r\n", ZUB_E_SERVER_ERROR, 400, "", {}, {"400 Odd", "FtpResponse"}, 0},
        {"401 Odd\r\n", ZUB_E_SERVER_ERROR, 401, "401 Odd\r\n", {"[401 Odd\r\n] Code=401"}, {}, 0},
        // Plain text whose fourth character is a space ends the reply.
        {"The end\r\n", 9, 0, "The end\r\n", {}, {"The end"}, 0},
        // Three digits and nothing more, the connection then idle.
        {"226", 3, 226, "", {}, {}, 0},
        // An error of several lines is read to its last line: nothing of it
        // is left to pass for the next command's reply, and its text is whole.
        {"421-Going down\r\n421 Bye\r\n", ZUB_E_SERVER_ERROR, 421, "421-Going down\r\n421 Bye\r\n", {}, {}, 0},
        {"530-Cleartext sessions are not accepted.\r\nUse TLS.\r\n 530 inside\r\n530 Bye\r\n", ZUB_E_SERVER_ERROR,
         530, "530-Cleartext sessions are not accepted.\r\nUse TLS.\r\n530 Bye\r\n", {"c:  530 inside\r\n"}, {}, 0},
        // Plain text inside a reply is collected and the reply goes on.
        {"150-Begin\r\nplain text\r\n150 Done\r\n", 10, 150, "plain text\r\n",
         {"r: 150-Begin\r\n", "r: plain text\r\n"}, {}, 0},
        // A line too short to have a fourth character is not a final line,
        // whatever an earlier, longer line left behind it in the buffer (the
        // case above leaves a space at index 3).
        {"2\n250 Ok\r\n", 8, 250, "", {"r: 2\n"}, {}, 0},
    };
    OpenLog();
    ASSERT_NO_FATAL_FAILURE(ConnectPair());
    EngineSettings.ReplyLineWait = 200;  // bounds the wait behind "226"
    for (const ReplyCase &c : cases) {
        SCOPED_TRACE(c.wire);
        size_t logStart = Log().size();
        ASSERT_NO_FATAL_FAILURE(PeerSend(c.wire));
        ASSERT_EQ(RingWait(ring(), 5000), 1);
        EXPECT_EQ(ReadReply(rec), c.result);
        EXPECT_EQ(Val(rec->ServerCode), c.code);
        EXPECT_STREQ(rec->ErrorText, c.errorText);
        EXPECT_EQ(RingHeld(ring()), c.leftInRing);
        std::string log = Log().substr(logStart);
        for (const std::string &s : c.logged) EXPECT_NE(log.find(s), std::string::npos) << s;
        for (const std::string &s : c.notLogged) EXPECT_EQ(log.find(s), std::string::npos) << s;
        DrainReplies(rec);
        EXPECT_EQ(RingHeld(ring()), 0);
    }
}

TEST_F(NetRingTest, ReplyArrivingByteByByte) {
    OpenLog();
    ASSERT_NO_FATAL_FAILURE(ConnectPair());
    const std::string wire = "220-Hi\r\n220 Ok\r\n";
    ASSERT_NO_FATAL_FAILURE(PeerSend(wire));
    gRecvCalls = 0;
    gRealRecv = ReplaceCall(zp_recv, &RecvOneByte);
    EXPECT_EQ(ReadReply(rec), 8);
    EXPECT_EQ(Val(rec->ServerCode), 220);
    EXPECT_STREQ(rec->ReplyBuf, "220 Ok\r\n");
    std::string log = Log();
    EXPECT_NE(log.find("r: 220-Hi\r\n"), std::string::npos);
    std::string oneByte = "recv(" + std::to_string(rec->CtrlSock) + "):1\r\n";
    EXPECT_EQ(Occurrences(log, oneByte), static_cast<int>(wire.size()));
}

TEST_F(NetRingTest, LineStraddlingTheWrap) {
    ASSERT_NO_FATAL_FAILURE(ConnectPair());
    // Four bytes held at the very end of the storage.
    ring()->RingHead = 4090;
    ring()->RingTail = 4094;
    memcpy(ring()->RingData + 4090, "250 ", 4);
    ASSERT_NO_FATAL_FAILURE(PeerSend("wrapped\r\n"));
    ASSERT_TRUE(FillTo(13));
    EXPECT_EQ(Val(ring()->RingTail), 7);  // (4094 + 9) wrapped
    EXPECT_EQ(ring()->RingData[7], 0);

    char peek[32] = {};
    EXPECT_EQ(RingPeek(ring(), peek, 31), 13);
    EXPECT_STREQ(peek, "250 wrapped\r\n");
    EXPECT_EQ(ReadReply(rec), 13);
    EXPECT_EQ(Val(rec->ServerCode), 250);
    EXPECT_STREQ(rec->ReplyBuf, "250 wrapped\r\n");
    EXPECT_EQ(RingHeld(ring()), 0);
}

TEST_F(NetRingTest, LineLongerThanTheRing) {
    ASSERT_NO_FATAL_FAILURE(ConnectPair());
    const std::string longText(5000, 'a');
    ASSERT_NO_FATAL_FAILURE(PeerSend(longText + "\r\n200 Ok\r\n"));
    std::vector<char> buf(4096);
    // The line comes back in parts; nothing behind its LF is taken.
    EXPECT_EQ(ReadLine(rec, buf.data(), 4096, 5000), 4095);
    EXPECT_EQ(std::string(buf.data()), longText.substr(0, 4095));
    EXPECT_EQ(ReadLine(rec, buf.data(), 4096, 5000), 907);
    EXPECT_EQ(std::string(buf.data()), longText.substr(4095) + "\r\n");
    EXPECT_EQ(ReadLine(rec, buf.data(), 4096, 5000), 8);
    EXPECT_STREQ(buf.data(), "200 Ok\r\n");

    // The same through the reply reader: plain text up to the final line.
    ASSERT_NO_FATAL_FAILURE(PeerSend(longText + "\r\n200 Ok\r\n"));
    EXPECT_EQ(ReadReply(rec), 8);
    EXPECT_EQ(Val(rec->ServerCode), 200);
    EXPECT_EQ(strlen(rec->ErrorText), 254u);  // cut to its field
}

TEST_F(NetRingTest, FillStopsAtOneFreeSlot) {
    ASSERT_NO_FATAL_FAILURE(ConnectPair());
    ring()->RingHead = 0;
    ring()->RingTail = 4000;
    ASSERT_NO_FATAL_FAILURE(PeerSend(std::string(200, 'x')));
    ASSERT_EQ(AwaitReadable(rec->CtrlSock, 5000), 1);
    // 4000 held: at most 95 more in one fill.
    int32_t got = RingFill(ring());
    EXPECT_GT(got, 0);
    EXPECT_LE(got, 95);
    ASSERT_TRUE(FillTo(4095));

    // Full: no recv at all, and "nothing now" rather than a closed connection.
    gRecvCalls = 0;
    gRealRecv = ReplaceCall(zp_recv, &RecvCounted);
    EXPECT_EQ(RingFill(ring()), 0);
    EXPECT_EQ(gRecvCalls, 0);
    EXPECT_EQ(RingWait(ring(), 0), 1);

    // Once read out, the rest of the data comes in.
    std::vector<char> out(4096);
    EXPECT_EQ(RingRead(ring(), out.data(), 4096), 4095);
    EXPECT_EQ(RingHeld(ring()), 0);
    EXPECT_EQ(RingFill(ring()), 105);
    EXPECT_EQ(gRecvCalls, 1);
}

TEST_F(NetRingTest, ReadWaitAndTheEmptyPollCounter) {
    OpenLog();
    ASSERT_NO_FATAL_FAILURE(ConnectPair());
    char buf[16] = {};
    int32_t before = ring()->EmptyPolls;
    // Wait 0 on an idle socket: two attempts, no sleep.
    EXPECT_EQ(RingWait(ring(), 0), 0);
    EXPECT_EQ(Val(ring()->EmptyPolls), before + 2);
    EXPECT_EQ(RingRead(ring(), buf, 10), 0);
    EXPECT_EQ(Val(ring()->EmptyPolls), before + 3);
    EXPECT_NE(Log().find("zubQueueLoad=0\r\n"), std::string::npos);

    ASSERT_NO_FATAL_FAILURE(PeerSend("abcd"));
    ASSERT_EQ(RingWait(ring(), 5000), 1);
    EXPECT_EQ(RingRead(ring(), buf, 10), 4);  // fewer held than asked
    EXPECT_EQ(std::string(buf, 4), "abcd");
    EXPECT_EQ(RingHeld(ring()), 0);
    std::string recvLine = "recv(" + std::to_string(rec->CtrlSock) + "):4\r\n";
    EXPECT_NE(Log().find(recvLine), std::string::npos);

    PeerClose();
    EXPECT_EQ(RingWait(ring(), 5000), -1);
    EXPECT_EQ(RingRead(ring(), buf, 10), -1);
    EXPECT_NE(Log().find("zubQueueLoad=-1\r\n"), std::string::npos);
}

TEST_F(NetRingTest, ReplyBeforeCloseIsStillRead) {
    ASSERT_NO_FATAL_FAILURE(ConnectPair());
    ASSERT_NO_FATAL_FAILURE(PeerSend("221 Goodbye\r\n"));
    PeerClose();
    EXPECT_EQ(ReadReply(rec), 13);
    EXPECT_EQ(Val(rec->ServerCode), 221);
    // Then the close: the read ends without error.
    EXPECT_EQ(ReadReply(rec), 1);
    EXPECT_EQ(Val(rec->ServerCode), 221);
}

TEST_F(NetRingTest, ReplyWithoutFinalLineGivesUp) {
    struct Case {
        bool armTimeStop;  // else ResponseWait bounds the read
    };
    for (Case c : {Case{true}, Case{false}}) {
        SCOPED_TRACE(c.armTimeStop ? "TimeStop" : "ResponseWait");
        ASSERT_NO_FATAL_FAILURE(ConnectPair());
        EngineSettings.ReplyLineWait = 5000;
        EngineSettings.ResponseWait = c.armTimeStop ? 60000 : 300;
        rec->TimeStop = c.armTimeStop ? TickAdd(zp_ticks(), 300) : 0;
        ASSERT_NO_FATAL_FAILURE(PeerSend("220-start\r\n"));
        auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(ReadReply(rec), ZUB_E_TIMEOUT);
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0);
        // Well inside one ReplyLineWait: the line wait is cut to the deadline.
        EXPECT_LT(ms.count(), 4000);
        EXPECT_EQ(Val(rec->ServerCode), 220);
        CloseSocket(rec->CtrlSock, 0);
        rec->CtrlSock = rec->CtrlRing.RingSock = 0;
        zt::sock::closeGraceful(peer);
        peer = -1;
    }
}

TEST_F(NetRingTest, ParseReplyCodeSetsReplyText) {
    struct Case {
        const char *line;
        int32_t code;
        int textAt;  // ReplyText - ReplyBuf
    };
    const Case cases[] = {
        {"257 \"/pub\" is current directory.\r\n", 257, 5},  // just inside the quote
        {"250 Ok\r\n", 250, 5},
        {"250", 250, 3},   // never past the NUL
        {"250 ", 250, 4},
        {"1234567890x", 1234567890, 11},
        {"abc", 0, 2},
        {"", 0, 0},
    };
    for (const Case &c : cases) {
        strcpy(rec->ReplyBuf, c.line);
        EXPECT_EQ(ParseReplyCode(rec), c.code) << c.line;
        EXPECT_EQ(rec->ReplyText - rec->ReplyBuf, c.textAt) << c.line;
    }
}

TEST_F(NetRingTest, ScanReplyCodeReadsAtMostTenDigits) {
    struct Case {
        const char *line;
        int32_t code;
        int digits;
    };
    const Case cases[] = {
        {"550 No such file\r\n", 550, 3}, {"150-", 150, 3}, {"", 0, 0}, {"x550", 0, 0},
        {"12345678901", 1234567890, 10},          // the eleventh digit is not read
        {"4294967297", 1, 10},                    // wraps past 32 bits
    };
    for (const Case &c : cases) {
        int digits = -1;
        EXPECT_EQ(ScanReplyCode(c.line, &digits), c.code) << c.line;
        EXPECT_EQ(digits, c.digits) << c.line;
        EXPECT_EQ(ScanReplyCode(c.line), c.code) << c.line;
    }
}

TEST_F(NetRingTest, ReadReplyWithoutSocketAndDrain) {
    EXPECT_EQ(ReadReply(rec), 1);  // no control socket
    ASSERT_NO_FATAL_FAILURE(ConnectPair());
    ASSERT_NO_FATAL_FAILURE(PeerSend("200 stale\r\n226 stale too\r\n"));
    ASSERT_EQ(RingWait(ring(), 5000), 1);
    DrainReplies(rec);
    EXPECT_EQ(RingHeld(ring()), 0);
    ASSERT_NO_FATAL_FAILURE(PeerSend("250 fresh\r\n"));
    EXPECT_EQ(ReadReply(rec), 11);
    EXPECT_EQ(Val(rec->ServerCode), 250);
}

}  // namespace

namespace {

// ---- further fills and download steps ------------------------------------------------
// Each step acts on what the previous ones left: a fill that does not ask
// first takes only what is there and never reports the end of the stream.
TEST_F(NetRingTest, FurtherFillTakesOnlyWhatIsThere) {
    struct Step {
        const char *send;    // the peer sends this first and it is let arrive
        bool close;          // then the peer closes
        int32_t preHeld;     // the ring is set to hold this much (-1: as it is)
        int32_t result;      // RingFillMore
        int32_t held;        // RingHeld after
        int recvCalls;
        bool traced;         // a recv line was written
    };
    const Step steps[] = {
        {"", false, -1, 0, 0, 1, false},         // idle: nothing, no trace
        {"abcdef", false, -1, 6, 6, 1, true},    // what is there
        {"xyz", false, 4095, 0, 4095, 0, false}, // a full ring asks nothing
        {"", true, 0, 3, 3, 1, true},            // the bytes before the end...
        {"", false, 0, 0, 0, 1, false},          // ...then the end, left untold
    };
    OpenLog();
    ASSERT_NO_FATAL_FAILURE(ConnectPair());
    gRealRecv = ReplaceCall(zp_recv_now, &RecvCounted);
    const int32_t polls = ring()->EmptyPolls;
    for (const Step &c : steps) {
        SCOPED_TRACE(std::string(c.send) + (c.close ? " close" : ""));
        if (c.send[0]) {
            ASSERT_NO_FATAL_FAILURE(PeerSend(c.send));
        }
        if (c.close) PeerClose();
        if (c.send[0] || c.close) {
            ASSERT_EQ(AwaitReadable(rec->CtrlSock, 5000), 1);
        }
        if (c.preHeld >= 0) {
            ring()->RingHead = 0;
            ring()->RingTail = static_cast<uint16_t>(c.preHeld);
        }
        size_t logStart = Log().size();
        gRecvCalls = 0;
        EXPECT_EQ(RingFillMore(ring()), c.result);
        EXPECT_EQ(RingHeld(ring()), c.held);
        EXPECT_EQ(gRecvCalls, c.recvCalls);
        EXPECT_EQ(Log().substr(logStart).find("recv("), c.traced ? 0u : std::string::npos);
    }
    EXPECT_EQ(Val(ring()->EmptyPolls), polls);  // no attempt was counted as empty
    // The end is still there for the fill that asks.
    size_t logStart = Log().size();
    EXPECT_EQ(RingFill(ring()), ZUB_E_SOCKET_CLOSED);
    EXPECT_EQ(Log().substr(logStart), "recv(" + std::to_string(rec->CtrlSock) + "):0\r\n");
}

TEST_F(NetRingTest, DownloadStepWritesWhatTheSocketHoldsAtOnce) {
    struct Case {
        int sent;
        std::vector<size_t> writes;  // one per step, until the data is taken
        int polls;                   // in all those steps
    };
    const Case cases[] = {
        {100, {100}, 1},
        {4095, {4095}, 1},
        {8000, {8000}, 1},               // two ring-fulls, one write
        {9000, {8190, 810}, 1},          // as many as the buffer takes; the rest waits in the ring,
        {12285, {8190, 4095}, 1},        // so the next step needs no poll
        {16000, {8190, 7810}, 1},
    };
    ASSERT_NO_FATAL_FAILURE(ConnectPair());
    const std::string path = ::testing::TempDir() + "zub_download_step_" + std::to_string(::getpid());
    rec->DataRing.RingSock = rec->CtrlSock;
    rec->LocalFile = zp_file_create(path.c_str(), ZP_ATTR_NORMAL);
    ASSERT_GT(Val(rec->LocalFile), 0);
    gRealWrite = ReplaceCall(zp_file_write, &WriteRecorded);
    gRealPollAll = ReplaceCall(zp_poll_all, &PollAllCounted);
    int32_t total = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.sent);
        ASSERT_NO_FATAL_FAILURE(PeerSend(std::string(static_cast<size_t>(c.sent), 'd')));
        ASSERT_TRUE(zt::sock::waitHolding(rec->CtrlSock, c.sent));
        gWrites.clear();
        gPolls = 0;
        rec->GetBytes = 0;
        for (size_t i = 0; i < c.writes.size(); ++i) EXPECT_EQ(State_ReceiveBlock(rec, zp_ticks()), kStepDone);
        EXPECT_EQ(gWrites, c.writes);
        EXPECT_EQ(gPolls, c.polls);
        EXPECT_EQ(Val(rec->GetBytes), c.sent);
        EXPECT_EQ(RingHeld(&rec->DataRing), 0);
        total += c.sent;
    }
    // Bytes an earlier connection left in the ring are not the next one's.
    ASSERT_NO_FATAL_FAILURE(PeerSend("left"));
    ASSERT_TRUE(zt::sock::waitHolding(rec->CtrlSock, 4));
    ASSERT_EQ(RingFill(&rec->DataRing), 4);
    RingAttach(&rec->DataRing, rec->CtrlSock);
    EXPECT_EQ(RingHeld(&rec->DataRing), 0);
    EXPECT_EQ(Val(rec->DataRing.RingSock), Val(rec->CtrlSock));
    zp_syscall_reset();
    EXPECT_EQ(zp_file_seek(rec->LocalFile, 0, ZP_SEEK_END), total);
    CloseLocalFile(rec);
    std::remove(path.c_str());
}

}  // namespace
