// frame_errors_test.cpp - result texts: zubErrorText's cut-offs, the reply
// line behind -18 and -9, codes without a row, and the table as a whole.
//
// Divisions: channel check, cut-offs, reply line, the table.
#include <cstring>
#include <set>
#include <string>

#include "frame/errors.h"
#include "support.h"

using namespace frame_test;

namespace {

class FrameErrors : public FrameTest {
protected:
    // zubErrorText into a buffer of `size` bytes pre-filled with '#', so that
    // a write past the terminator shows.
    std::string Text(int32_t code, int32_t size, int32_t *result, int32_t channel = 0) {
        std::string buf(static_cast<size_t>(size) + 8, '#');
        *result = zubErrorText(channel, code, buf.data(), size);
        for (size_t i = static_cast<size_t>(size); i < buf.size(); ++i)
            EXPECT_EQ(buf[i], '#') << "byte " << i << " written past the buffer";
        return buf.substr(0, buf.find('\0'));
    }
    void SetReply(int chan, const std::string &line) {
        ASSERT_LT(line.size(), 4096u);
        std::memcpy(Rec(chan)->ReplyBuf, line.c_str(), line.size() + 1);
    }
};

// ---- channel check ----------------------------------------------------------------
TEST_F(FrameErrors, BeforeAttachTheBufferIsLeftAlone) {
    char buf[16] = "untouched";
    EXPECT_EQ(zubErrorText(0, -3, buf, sizeof buf), ZUB_E_NOT_ATTACHED);
    EXPECT_STREQ(buf, "untouched");
    Attach(1);
    EXPECT_EQ(zubErrorText(1, -3, buf, sizeof buf), ZUB_E_CHANNEL_RANGE);
    EXPECT_STREQ(buf, "untouched");
}

// ---- cut-offs ----------------------------------------------------------------------
TEST_F(FrameErrors, TextsAreCutToTheBufferSize) {
    Attach(1);
    SetReply(0, "530 Login incorrect.\r\n");
    struct {
        int32_t code, size;
        const char *text;
    } const cases[] = {
        {-3, 80, "Already attached."},
        {-3, 18, "Already attached."},  // exactly the text and its NUL
        {-3, 17, "Already attached"},
        {-3, 8, "Already"},
        {-3, 2, "A"},
        {-10061, 80, "Connection refused by remote host."},
        {-6, 80, "Cannot comply"},
        {-10064, 80, "Host is down"},
        {-10065, 80, "No route to host"},
        {-24, 80, "Must specify 'A' or 'B' for mode."},
        // A text that fills the buffer gets neither the space nor the reply.
        {ZUB_E_SERVER_ERROR, 27, "FTP server returned error."},
        {ZUB_E_SERVER_ERROR, 20, "FTP server returned"},
        {ZUB_E_SERVER_ERROR, 28, "FTP server returned error. "},
        {ZUB_E_SERVER_ERROR, 31, "FTP server returned error. 530"},
        {ZUB_E_CONNECT_ERROR, 29, "Error attempting to connect."},
        {ZUB_E_CONNECT_ERROR, 33, "Error attempting to connect. 530"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.code) + " size " + std::to_string(c.size));
        int32_t r;
        EXPECT_EQ(Text(c.code, c.size, &r), c.text);
        EXPECT_EQ(r, static_cast<int32_t>(std::strlen(c.text)));
    }
}

TEST_F(FrameErrors, ASizeOfOneGivesOnlyTheTerminatorForEveryCode) {
    Attach(1);
    SetReply(0, "550 No.\r\n");
    for (int32_t code : {-3, -8, ZUB_E_SERVER_ERROR, ZUB_E_CONNECT_ERROR, -10061, -29, 0, 999, 1}) {
        int32_t r;
        EXPECT_EQ(Text(code, 1, &r), "") << code;
        EXPECT_EQ(r, 0) << code;
    }
}

TEST_F(FrameErrors, NoBufferOrNoRoomWritesNothing) {
    Attach(1);
    char buf[4] = "abc";
    for (int32_t size : {0, -1, INT32_MIN}) {
        EXPECT_EQ(zubErrorText(0, -3, buf, size), 0) << size;
        EXPECT_STREQ(buf, "abc") << size;
    }
    EXPECT_EQ(zubErrorText(0, -3, nullptr, 80), 0);
    EXPECT_EQ(zubErrorText(0, ZUB_E_SERVER_ERROR, nullptr, 80), 0);
}

TEST_F(FrameErrors, CodesWithoutARowHaveTheEmptyText) {
    Attach(1);
    for (int32_t code : {-29, 0, 999, -2, -43, 1, -10000, -10062, 10061, INT32_MIN, INT32_MAX,
                         // Only all 32 bits match: -3 with high bits set is another code.
                         static_cast<int32_t>(0x7FFFFFFDu), -3 - 0x10000}) {
        int32_t r;
        EXPECT_EQ(Text(code, 64, &r), "") << code;
        EXPECT_EQ(r, 0) << code;
    }
}

// ---- reply line ----------------------------------------------------------------------
TEST_F(FrameErrors, RefusalsCarryTheReplyLineAsStored) {
    Attach(2);
    SetReply(0, "550 x.txt: No such file.\r\n");
    SetReply(1, "421 Too many users.\r\n");
    int32_t r;
    const std::string refused = "FTP server returned error. 550 x.txt: No such file.\r\n";
    EXPECT_EQ(Text(ZUB_E_SERVER_ERROR, 256, &r), refused);
    EXPECT_EQ(r, static_cast<int32_t>(refused.size()));
    // The channel argument picks whose reply line is used.
    EXPECT_EQ(Text(ZUB_E_CONNECT_ERROR, 256, &r, 1), "Error attempting to connect. 421 Too many users.\r\n");
    // Other codes never get it.
    EXPECT_EQ(Text(ZUB_E_TIMEOUT, 256, &r), "Socket timed out.");
    // An empty reply still gets the space.
    SetReply(0, "");
    EXPECT_EQ(Text(ZUB_E_SERVER_ERROR, 256, &r), "FTP server returned error. ");
}

TEST_F(FrameErrors, ALongReplyIsCutToTheBuffer) {
    Attach(1);
    const std::string reply = "550 " + std::string(400, 'r');
    SetReply(0, reply);
    int32_t r;
    const std::string text = Text(ZUB_E_SERVER_ERROR, 256, &r);
    EXPECT_EQ(r, 255);
    EXPECT_EQ(text, ("FTP server returned error. " + reply).substr(0, 255));
}

// ---- the table -------------------------------------------------------------------------
TEST(FrameErrorTable, EveryCodeHasItsOwnText) {
    const int32_t kCodes[] = {
        -1, -3, -4, -5, -6, -7, -8, -9, -10, -11, -12, -13, -14, -15, -16, -17, -18, -19, -20, -21, -22,
        -23, -24, -25, -26, -27, -28, -30, -31, -32, -33, -34, -35, -36, -37, -38, -39, -40,
        -10004, -10009, -10013, -10014, -10022, -10024, -10035, -10036, -10037, -10038, -10039, -10040,
        -10041, -10042, -10043, -10044, -10045, -10047, -10048, -10049, -10050, -10051, -10052, -10053,
        -10054, -10055, -10056, -10057, -10058, -10060, -10061, -10064, -10065, -10091, -10092, -10093,
        -11001, -11002, -11003, -11004,
    };
    std::set<std::string> seen;
    for (int32_t code : kCodes) {
        const char *text = zub::ErrorTextOf(code);
        ASSERT_NE(text, nullptr) << code;
        EXPECT_GT(std::strlen(text), 0u) << code;
        EXPECT_LT(std::strlen(text), 255u) << code;
        EXPECT_TRUE(seen.insert(text).second) << code << " repeats \"" << text << "\"";
    }
    EXPECT_EQ(zub::ErrorTextOf(-29), nullptr);
    EXPECT_EQ(zub::ErrorTextOf(999), nullptr);
}

// Every platform error number the engine can pass on has a text.
TEST(FrameErrorTable, EveryPlatformErrorNumberHasAText) {
    for (int e : {ZP_WSAEINTR, ZP_WSAEBADF, ZP_WSAEACCES, ZP_WSAEFAULT, ZP_WSAEINVAL, ZP_WSAEMFILE,
                  ZP_WSAEWOULDBLOCK, ZP_WSAEINPROGRESS, ZP_WSAEALREADY, ZP_WSAENOTSOCK, ZP_WSAEDESTADDRREQ,
                  ZP_WSAEMSGSIZE, ZP_WSAEPROTOTYPE, ZP_WSAENOPROTOOPT, ZP_WSAEPROTONOSUPPORT,
                  ZP_WSAESOCKTNOSUPPORT, ZP_WSAEOPNOTSUPP, ZP_WSAEAFNOSUPPORT, ZP_WSAEADDRINUSE,
                  ZP_WSAEADDRNOTAVAIL, ZP_WSAENETDOWN, ZP_WSAENETUNREACH, ZP_WSAENETRESET, ZP_WSAECONNABORTED,
                  ZP_WSAECONNRESET, ZP_WSAENOBUFS, ZP_WSAEISCONN, ZP_WSAENOTCONN, ZP_WSAESHUTDOWN,
                  ZP_WSAETIMEDOUT, ZP_WSAECONNREFUSED, ZP_WSAEHOSTDOWN, ZP_WSAEHOSTUNREACH, ZP_WSASYSNOTREADY,
                  ZP_WSAVERNOTSUPPORTED, ZP_WSANOTINITIALISED, ZP_WSAHOST_NOT_FOUND, ZP_WSATRY_AGAIN,
                  ZP_WSANO_RECOVERY, ZP_WSANO_DATA})
        EXPECT_NE(zub::ErrorTextOf(-e), nullptr) << e;
}

}  // namespace
