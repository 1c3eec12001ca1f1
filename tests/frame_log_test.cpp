// frame_log_test.cpp - the channel log byte for byte over a short session
// of calls, and the library-wide trace handle that the channels share.
//
// Divisions: the log of a call sequence, the shared trace handle.
#include <string>

#include "support.h"

using namespace frame_test;

namespace {

using FrameLog = FrameTest;

// ---- the log of a call sequence ----------------------------------------------------
TEST_F(FrameLog, ACallSequenceWritesExactlyTheseBytes) {
    // A fixed clock makes the state line's stamp known: 0x12345678 ms has
    // 284.280 in its low 19 bits.
    UseFakeClock(0x12345678);
    Attach(1);
    const std::string path = Path("session.log");
    const int32_t h = zubSetString(0, ZUB_STR_OPEN_LOG, path.c_str());
    ASSERT_GT(h, 0);
    EXPECT_EQ(+Rec(0)->LogFile, h);
    EXPECT_EQ(zub::TraceFile, h);
    EXPECT_EQ(ReadFile(path), "");  // the opening call logs into the log open before it

    char buf[300];
    EXPECT_EQ(zubSetInteger(0, ZUB_SET_CONNECT_WAIT, 30000), 30000);
    EXPECT_EQ(zubSetString(0, ZUB_STR_LOG_TEXT, "hello log"), h);
    EXPECT_EQ(zubGetString(0, ZUB_STR_ERROR_TEXT, buf, 64), 0);
    EXPECT_EQ(zubDebug(0, 1, 2, 3), 1);
    EXPECT_EQ(zubGetLocalDir(0, buf, 255), static_cast<int32_t>(CurrentDir().size()));
    EXPECT_EQ(zubErrorText(0, -3, buf, 80), 17);  // writes no entry line
    EXPECT_EQ(zubGetInteger(0, ZUB_GET_VERSION), 560);  // nor does this
    EXPECT_EQ(zubSetInteger(0, 99, static_cast<uint32_t>(-5)), -1);
    EXPECT_EQ(zubSetInteger(0, ZUB_SET_AUTO_CALL, 1), 1);
    EXPECT_EQ(zubClose(0), 0);  // never connected: nothing to quit
    EXPECT_EQ(+Rec(0)->LogFile, 0);
    EXPECT_EQ(zub::TraceFile, 0);
    EXPECT_EQ(zubDebug(0, 0, 0, 0), 1);  // the log is closed: not written

    const std::string expected =
        "*** zubSetInteger(0,1,30000)\r\n"
        "*** zubSetString(0,21,'hello log')\r\n"
        "hello log\r\n"
        "*** zubGetString\r\n"
        "*** zubDebug\r\n"
        "*** zubGetLocalDir\r\n"
        "Local directory is '" + CurrentDir() + "'\r\n"
        "*** zubSetInteger(0,99,-5)\r\n"
        "*** zubSetInteger(0,6,1)\r\n"
        "AUTO_CALL = 1\r\n"
        "*** zubClose\r\n"
        "<220:284.280>\r\n";
    EXPECT_EQ(ReadFile(path), expected);
}

TEST_F(FrameLog, CloseWithAutoCallOffKeepsTheLogOpen) {
    Attach(1);
    const int32_t h = OpenLog(0, "kept.log");
    EXPECT_EQ(zubSetInteger(0, ZUB_SET_AUTO_CALL, 0), 0);
    EXPECT_EQ(zubClose(0), 0);
    EXPECT_EQ(+Rec(0)->LogFile, h);
    EXPECT_EQ(zub::TraceFile, h);
    EXPECT_EQ(ReadFile(Path("kept.log")), "*** zubSetInteger(0,6,0)\r\nAUTO_CALL = 0\r\n*** zubClose\r\n");
}

TEST_F(FrameLog, LongLinesAreCutNotOverrun) {
    Attach(1);
    OpenLog(0, "long.log");
    const std::string text(5000, 'L');
    ASSERT_GT(zubSetString(0, ZUB_STR_LOG_TEXT, text.c_str()), 0);
    const std::string log = ReadFile(Path("long.log"));
    // Two formatted lines, each cut at 1023 characters.
    EXPECT_EQ(log.size(), 2u * 1023u);
    EXPECT_EQ(log.substr(0, 23), "*** zubSetString(0,21,'");
    EXPECT_EQ(log.substr(1023), std::string(1023, 'L'));
}

// ---- the shared trace handle --------------------------------------------------------
TEST_F(FrameLog, TheLastOpenedLogTakesTheTrace) {
    Attach(3);
    EXPECT_EQ(zub::TraceFile, 0);
    const int32_t h1 = OpenLog(1, "one.log");
    EXPECT_EQ(zub::TraceFile, h1);
    const int32_t h2 = OpenLog(2, "two.log");
    EXPECT_EQ(zub::TraceFile, h2);
    EXPECT_EQ(+Rec(1)->LogFile, h1);

    // A log that cannot be created leaves the channel off and the trace as it was.
    EXPECT_EQ(zubSetString(0, ZUB_STR_OPEN_LOG, Path("no/such/dir.log").c_str()), -1);
    EXPECT_EQ(+Rec(0)->LogFile, 0);
    EXPECT_EQ(zub::TraceFile, h2);

    // Closing channel 1 stops the trace even though channel 2's log held it.
    EXPECT_EQ(zubClose(1), 0);
    EXPECT_EQ(+Rec(1)->LogFile, 0);
    EXPECT_EQ(zub::TraceFile, 0);
    EXPECT_EQ(+Rec(2)->LogFile, h2);

    // Closing a channel without a log leaves the trace alone.
    const int32_t h3 = OpenLog(2, "three.log");
    EXPECT_EQ(zub::TraceFile, h3);
    EXPECT_EQ(zubClose(0), 0);
    EXPECT_EQ(zub::TraceFile, h3);
}

// A second log on a channel closes the first; one that cannot be created
// closes it too (the channel's log is off) and takes the trace with it.
TEST_F(FrameLog, ANewLogClosesTheChannelsPreviousOne) {
    Attach(2);
    const int32_t h0 = OpenLog(0, "zero.log");
    OpenLog(1, "first.log");
    ASSERT_TRUE(xfer::FileHeldOpen(Path("first.log")));
    const int32_t h1 = OpenLog(1, "second.log");
    EXPECT_FALSE(xfer::FileHeldOpen(Path("first.log")));
    EXPECT_EQ(zub::TraceFile, h1);
    EXPECT_EQ(zubSetString(1, ZUB_STR_OPEN_LOG, Path("no/such/dir.log").c_str()), -1);
    EXPECT_FALSE(xfer::FileHeldOpen(Path("second.log")));
    EXPECT_EQ(+Rec(1)->LogFile, 0);
    EXPECT_EQ(zub::TraceFile, 0);
    EXPECT_EQ(+Rec(0)->LogFile, h0);
    EXPECT_TRUE(xfer::FileHeldOpen(Path("zero.log")));
}

TEST_F(FrameLog, ReopeningTruncatesTheFile) {
    Attach(1);
    const int32_t h = OpenLog(0, "again.log");
    zubDebug(0, 0, 0, 0);
    zp_file_close(h);
    Rec(0)->LogFile = 0;
    OpenLog(0, "again.log");
    EXPECT_EQ(ReadFile(Path("again.log")), "");
    zubDebug(0, 0, 0, 0);
    EXPECT_EQ(ReadFile(Path("again.log")), "*** zubDebug\r\n");
}

}  // namespace
