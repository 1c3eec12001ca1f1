// frame_settings_test.cpp - zubSetInteger, zubGetInteger, zubSetString and
// zubGetString: what each number stores and returns, what the unhandled
// numbers leave alone, and the queries.
//
// Divisions: settings, unhandled settings, lifetime, integer queries,
// string queries.
#include <cstring>
#include <functional>
#include <string>

#include "support.h"

using namespace frame_test;

namespace {

using FrameSettings = FrameTest;
using zub::ChannelRecord;
using zub::EngineSettings;

// ---- settings ------------------------------------------------------------------------
struct SettingCase {
    uint32_t number;
    uint32_t value;
    int32_t result;   // what zubSetInteger returns
    uint32_t stored;  // what the field then holds
    std::function<uint32_t(const ChannelRecord *)> field;
};

const SettingCase kSettings[] = {
    {1, 1234, 1234, 1234, [](const ChannelRecord *) { return EngineSettings.ConnectWait; }},
    {2, 77, 77, 77, [](const ChannelRecord *) { return EngineSettings.ResponseDelay; }},
    {3, 0xFFFFFFFFu, -1, 0xFFFFFFFFu, [](const ChannelRecord *) { return EngineSettings.ResponseWait; }},
    {4, 5, 5, 5, [](const ChannelRecord *) { return EngineSettings.BlockDelay; }},
    {5, 6000, 6000, 6000, [](const ChannelRecord *) { return EngineSettings.BlockWait; }},
    {6, 0, 0, 0, [](const ChannelRecord *r) { return uint32_t(r->AutoCall); }},
    {6, 2, 0, 0, [](const ChannelRecord *r) { return uint32_t(r->AutoCall); }},
    {6, 3, 1, 1, [](const ChannelRecord *r) { return uint32_t(r->AutoCall); }},
    {8, 3, 3, 3, [](const ChannelRecord *) { return EngineSettings.SleepTime; }},
    {9, 2121, 2121, 2121, [](const ChannelRecord *r) { return uint32_t(r->ServerPort); }},
    {9, 0x12345, 0x12345, 0x2345, [](const ChannelRecord *r) { return uint32_t(r->ServerPort); }},
    {10, 0, 0, 0, [](const ChannelRecord *) { return EngineSettings.EndDelay; }},
    {11, 100, 128, 128, [](const ChannelRecord *) { return EngineSettings.BlockSize; }},
    {11, 127, 128, 128, [](const ChannelRecord *) { return EngineSettings.BlockSize; }},
    {11, 128, 128, 128, [](const ChannelRecord *) { return EngineSettings.BlockSize; }},
    {11, 4096, 4096, 4096, [](const ChannelRecord *) { return EngineSettings.BlockSize; }},
    {11, 8192, 8192, 8192, [](const ChannelRecord *) { return EngineSettings.BlockSize; }},
    {11, 8193, 8192, 8192, [](const ChannelRecord *) { return EngineSettings.BlockSize; }},
    {11, 0xFFFFFFFFu, 8192, 8192, [](const ChannelRecord *) { return EngineSettings.BlockSize; }},  // -1 unsigned
    {12, 7, 7, 7, [](const ChannelRecord *r) { return uint32_t(r->PassiveMode); }},
    {13, 1000, 1000, 1000, [](const ChannelRecord *) { return EngineSettings.DataWait; }},
    {14, 9, 1, 1, [](const ChannelRecord *) { return EngineSettings.HostIndex; }},
    {14, 7, 7, 7, [](const ChannelRecord *) { return EngineSettings.HostIndex; }},
    {15, 1, 1, 1, [](const ChannelRecord *r) { return uint32_t(r->ResumeFlag); }},
    {16, 20000, 20000, 19999, [](const ChannelRecord *r) { return uint32_t(r->DataPort); }},
    {16, 0, 0, 0xFFFF, [](const ChannelRecord *r) { return uint32_t(r->DataPort); }},
    {16, 0x14E21, 0x14E21, 0x4E20, [](const ChannelRecord *r) { return uint32_t(r->DataPort); }},
    {17, 0x17C, 0x17C, '|', [](const ChannelRecord *) { return uint32_t(EngineSettings.NameSeparator); }},
    {18, 123456, 123456, 123456, [](const ChannelRecord *r) { return uint32_t(r->RestartOffset); }},
    {19, 654321, 654321, 654321, [](const ChannelRecord *r) { return uint32_t(r->AppendOffset); }},
    {22, 250, 250, 250, [](const ChannelRecord *) { return EngineSettings.ReplyLineWait; }},
    {23, 0, 0, 1, [](const ChannelRecord *r) { return uint32_t(r->NonBlockConnect); }},
    {23, 1, 1, 0, [](const ChannelRecord *r) { return uint32_t(r->NonBlockConnect); }},
    {23, 5, 5, 0, [](const ChannelRecord *r) { return uint32_t(r->NonBlockConnect); }},
    {24, 0, 0, 0, [](const ChannelRecord *) { return EngineSettings.LingerLimit; }},
    {24, 40, 40, 40, [](const ChannelRecord *) { return EngineSettings.LingerLimit; }},
    {25, 0, 0, 0, [](const ChannelRecord *) { return EngineSettings.PassDelay; }},
    {26, 7, 7, 7, [](const ChannelRecord *) { return EngineSettings.PassSleep; }},
};

TEST_F(FrameSettings, EachNumberStoresAndReturnsItsOwnWay) {
    Attach(2);
    for (const SettingCase &c : kSettings) {
        SCOPED_TRACE("setting " + std::to_string(c.number) + " = " + std::to_string(c.value));
        Rec(1)->NonBlockConnect = 1;  // so that storing 0 shows
        EXPECT_EQ(zubSetInteger(1, c.number, c.value), c.result);
        EXPECT_EQ(c.field(Rec(1)), c.stored);
    }
    // Channel 0 kept its own per-channel values throughout.
    EXPECT_EQ(+Rec(0)->ServerPort, 21);
    EXPECT_EQ(+Rec(0)->AutoCall, 1u);
    EXPECT_EQ(+Rec(0)->PassiveMode, 0u);
    EXPECT_EQ(+Rec(0)->DataPort, +Rec(0)->DataPortBase);
}

// The settings past the original set start where the original pauses are.
TEST_F(FrameSettings, SmallTransferSettingsDefaultToTheOriginalPauses) {
    const zub::Settings defaults = EngineSettings;
    EXPECT_EQ(defaults.LingerLimit, 32767u);  // (500 >> 1) and (125 >> 1) stay whole
    EXPECT_EQ(defaults.PassDelay, 200u);
    EXPECT_EQ(defaults.PassSleep, 100u);
}

TEST_F(FrameSettings, AutoCallClearsThePacingAndTheDeadline) {
    Attach(1);
    Rec(0)->NextTime = 1234;
    Rec(0)->TimeStop = 5678;
    EXPECT_EQ(zubSetInteger(0, ZUB_SET_AUTO_CALL, 1), 1);
    EXPECT_EQ(+Rec(0)->NextTime, 0u);
    EXPECT_EQ(+Rec(0)->TimeStop, 0u);
}

// ---- unhandled settings --------------------------------------------------------------
TEST_F(FrameSettings, UnhandledNumbersChangeNothingButStillLog) {
    Attach(1);
    OpenLog(0, "unhandled.log");
    const zub::Settings before = EngineSettings;
    std::string record(reinterpret_cast<const char *>(Rec(0)), sizeof(ChannelRecord));
    std::string expectLog;
    for (uint32_t n : {0u, 7u, 20u, 21u, 27u, 30u, 2000u, 0x80000000u}) {
        EXPECT_EQ(zubSetInteger(0, n, 42), -1) << n;
        expectLog += "*** zubSetInteger(0," + std::to_string(static_cast<int32_t>(n)) + ",42)\r\n";
    }
    EXPECT_EQ(std::memcmp(&before, &EngineSettings, sizeof before), 0);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(Rec(0)), sizeof(ChannelRecord)), record);
    EXPECT_EQ(ReadFile(Path("unhandled.log")), expectLog);
}

// ---- lifetime ---------------------------------------------------------------------------
TEST_F(FrameSettings, LibrarySettingsOutliveARelease) {
    Attach(2);
    EXPECT_EQ(zubSetInteger(1, ZUB_SET_SLEEP_TIME, 3), 3);
    EXPECT_EQ(zubSetInteger(0, ZUB_SET_BLOCK_SIZE, 2048), 2048);
    ASSERT_EQ(zubRelease(), 1);
    EXPECT_EQ(EngineSettings.SleepTime, 3u);
    EXPECT_EQ(zubSetInteger(0, ZUB_SET_SLEEP_TIME, 5), ZUB_E_NOT_ATTACHED);
    EXPECT_EQ(EngineSettings.SleepTime, 3u);
    Attach(1);
    EXPECT_EQ(EngineSettings.SleepTime, 3u);
    EXPECT_EQ(EngineSettings.BlockSize, 2048u);
}

// ---- the bulk path's setting --------------------------------------------------------------
void *NoMemory(size_t) { return nullptr; }
int NoPipeLeft(int32_t *, int32_t *) {
    zp_set_last_error(ZP_WSAEMFILE);
    return -1;
}
int NoPipesHere(int32_t *, int32_t *) {
    zp_set_last_error(ZP_WSAEOPNOTSUPP);
    return -1;
}

// Turning the bulk path on sets its buffer and pipe aside, or says at once
// why it cannot, with nothing left behind; a running operation keeps the
// path it began with; release gives everything back.
TEST_F(FrameSettings, BulkSettingSetsItsResourcesAsideOrSaysWhy) {
    Attach(2);
    const int fds = xfer::CountOpenFds();
    struct Case {
        const char *what;
        void (*fault)();
        uint32_t value;
        int32_t result;
    } cases[] = {
        {"on", nullptr, 1, 1},
        {"on again", nullptr, 5, 1},
        {"off", nullptr, 0, 0},
        {"off again", nullptr, 0, 0},
        {"no memory", [] { ReplaceCall(zp_alloc_zero, &NoMemory); }, 1, ZUB_E_NO_MEMORY},
        {"no pipe left", [] { ReplaceCall(zp_pipe_open, &NoPipeLeft); }, 1, ZUB_E_NO_MEMORY},
        {"a system without pipes: the buffer serves", [] { ReplaceCall(zp_pipe_open, &NoPipesHere); }, 1, 1},
        {"off once more", nullptr, 0, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        if (c.fault) c.fault();
        EXPECT_EQ(zubSetInteger(1, ZUB_SET_BULK, c.value), c.result);
        zp_syscall_reset();
        if (c.result <= 0) {
            EXPECT_EQ(xfer::CountOpenFds(), fds);
        }
    }
    Rec(1)->NextState = 301;  // a download under way
    EXPECT_EQ(zubSetInteger(1, ZUB_SET_BULK, 1), ZUB_E_BUSY);
    Rec(1)->NextState = 0;
    EXPECT_EQ(zubSetInteger(0, ZUB_SET_BULK, 1), 1);
    EXPECT_EQ(zubSetInteger(1, ZUB_SET_BULK, 1), 1);
    ASSERT_EQ(zubRelease(), 1);
    EXPECT_EQ(xfer::CountOpenFds(), fds);
}

// ---- integer queries ----------------------------------------------------------------------
TEST_F(FrameSettings, QueriesReadTheirFields) {
    Attach(1);
    ChannelRecord *rec = Rec(0);
    rec->StepCount = 11;
    rec->ServerCode = 226;
    rec->SockCode = -10061;
    rec->GetBytes = 1001;
    rec->GetTotal = 2002;
    rec->PutBytes = 3003;
    rec->PutTotal = 4004;
    rec->DataRing.EmptyPolls = 5005;
    rec->PortNibble = 9;
    const struct {
        int32_t number, result;
    } cases[] = {
        {2, 11}, {3, 226}, {4, -10061}, {10, 1001}, {11, 2002}, {12, 3003}, {13, 4004},
        {14, 0}, {15, ZUB_E_CONNECT_ERROR},  // no control socket: the error condition
        {20, 560}, {21, 8}, {25, 5005}, {2000, 9},
        {0, -1}, {1, -1}, {5, -1}, {7, -1}, {16, -1}, {22, -1}, {24, -1}, {26, -1}, {1999, -1}, {-2, -1},
    };
    for (const auto &c : cases) EXPECT_EQ(zubGetInteger(0, c.number), c.result) << "query " << c.number;
    EXPECT_EQ(zub::VersionNumber(), 0x0230);
    EXPECT_EQ(zub::BuildNumber(), 8);
}

TEST_F(FrameSettings, ControlSocketStateOfAConnectedSocket) {
    Attach(1);
    const uint32_t lo = 0x7F000001;
    int32_t listener = zp_socket();
    ASSERT_GT(listener, 0);
    ASSERT_EQ(zp_bind(listener, lo, 0), 0);
    ASSERT_EQ(zp_listen(listener, 1), 0);
    uint32_t addr;
    uint16_t port;
    ASSERT_EQ(zp_getsockname(listener, &addr, &port), 0);
    int32_t client = zp_socket();
    ASSERT_GT(client, 0);
    ASSERT_EQ(zp_connect(client, lo, port), 0);
    int32_t server = zp_accept(listener, nullptr, nullptr);
    ASSERT_GT(server, 0);
    Rec(0)->CtrlSock = client;
    EXPECT_EQ(zubGetInteger(0, ZUB_GET_CTRL_SOCK), client);
    EXPECT_EQ(zubGetInteger(0, ZUB_GET_CTRL_STATE), 1);  // writable
    Rec(0)->CtrlSock = 0;
    for (int32_t s : {server, client, listener}) zp_close_socket(s);
}

// ---- string queries ---------------------------------------------------------------------
class FrameStrings : public FrameTest {
protected:
    void SetUp() override {
        FrameTest::SetUp();
        Attach(1);
    }
    // zubGetString into a '#'-filled buffer; returns the result and the text.
    int32_t Get(int32_t number, int32_t size, std::string *text, const char *input = nullptr) {
        const size_t in = input ? std::strlen(input) + 1 : 0;
        std::string buf(static_cast<size_t>(size < 0 ? 0 : size) + in + 8, '#');
        if (input) std::memcpy(buf.data(), input, std::strlen(input) + 1);
        const int32_t r = zubGetString(0, number, buf.data(), size);
        *text = buf;
        return r;
    }
};

TEST_F(FrameStrings, ReplyCountLeavesOutTheLineEnd) {
    struct {
        const char *reply;
        int32_t size, result;
        const char *copied;  // what the buffer starts with, NUL included
    } const cases[] = {
        {"226 Transfer complete.\r\n", 100, 22, "226 Transfer complete.\r\n"},
        {"226 Transfer complete.\r\n", 23, 23, "226 Transfer complete.\r"},  // the CR is last, not second-last
        {"226 OK\r\n", 3, 3, "226"},
        {"\r\n", 10, 2, "\r\n"},
        {"220 no line end", 100, 15, "220 no line end"},
        {"", 10, 0, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.reply);
        std::strcpy(Rec(0)->ReplyBuf, c.reply);
        std::string buf;
        EXPECT_EQ(Get(ZUB_STR_REPLY, c.size, &buf), c.result);
        EXPECT_EQ(buf.substr(0, std::strlen(c.copied) + 1), std::string(c.copied, std::strlen(c.copied) + 1));
    }
}

TEST_F(FrameStrings, ServerAddressNeedsMoreThanSixteenCharacters) {
    Rec(0)->ServerAddr = 0xC0A80A0B;
    std::string buf;
    EXPECT_EQ(Get(ZUB_STR_SERVER_IP, 17, &buf), 13);
    EXPECT_EQ(buf.substr(0, 14), std::string("192.168.10.11") + '\0');
    for (int32_t size : {16, 1, 0, -5}) {
        EXPECT_EQ(Get(ZUB_STR_SERVER_IP, size, &buf), 0) << size;
        EXPECT_EQ(buf[0], '#') << size;
    }
}

TEST_F(FrameStrings, LineCountReadsTheCallersText) {
    struct {
        const char *text;
        int32_t lines;
    } const cases[] = {
        {"a.txt\r\nb.txt\r\n", 2}, {"", 0}, {"a\r\nb", 1}, {"\n\n\n", 3}, {"no line end", 0},
    };
    for (const auto &c : cases) {
        std::string buf;
        EXPECT_EQ(Get(ZUB_STR_LINE_COUNT, 0, &buf, c.text), c.lines) << c.text;
        EXPECT_EQ(buf.substr(0, std::strlen(c.text)), c.text);  // nothing written
    }
}

TEST_F(FrameStrings, ErrorLinesAreCopied) {
    std::strcpy(Rec(0)->ErrorText, "550 Permission denied.\r\n");
    std::string buf;
    EXPECT_EQ(Get(ZUB_STR_ERROR_TEXT, 100, &buf), 24);
    EXPECT_EQ(buf.substr(0, 25), std::string("550 Permission denied.\r\n") + '\0');
    EXPECT_EQ(Get(ZUB_STR_ERROR_TEXT, 3, &buf), 3);
    EXPECT_EQ(buf.substr(0, 4), std::string("550") + '\0');
}

TEST_F(FrameStrings, UnknownNumbersAnswerAQuestionMark) {
    for (int32_t n : {17, 0, 25, 20, 21, -1}) {
        for (int32_t size : {100, 1, 0}) {
            std::string buf;
            EXPECT_EQ(Get(n, size, &buf), 0) << n << " size " << size;
            EXPECT_EQ(buf.substr(0, 3), std::string("?") + '\0' + '#') << n << " size " << size;
        }
    }
}

TEST_F(FrameStrings, SetStringHandlesTwentyAndTwentyOneOnly) {
    EXPECT_EQ(zubSetString(0, ZUB_STR_LOG_TEXT, "nothing to log to"), 0);
    EXPECT_EQ(zubSetString(0, 19, Path("x").c_str()), -1);
    EXPECT_EQ(zubSetString(0, 22, "x"), -1);
    const int32_t h = OpenLog(0, "s.log");
    EXPECT_EQ(zubSetString(0, ZUB_STR_LOG_TEXT, "text"), h);
    EXPECT_EQ(zubSetString(0, 19, "y"), -1);
    EXPECT_EQ(ReadFile(Path("s.log")),
              "*** zubSetString(0,21,'text')\r\ntext\r\n*** zubSetString(0,19,'y')\r\n");
}

}  // namespace
