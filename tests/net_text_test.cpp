// net_text_test.cpp - the text helpers: dotted quads, scanners and bounded
// copies, table-driven, with the boundary sizes 0, 1 and exact fit. Every
// copy test checks the bytes just past the allowed area stay untouched.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "frame/text.h"
#include "net/net.h"
#include "net/text.h"
#include "platform/platform.h"

namespace {

using namespace zub;

// ---- measuring ----------------------------------------------------------------------
// The log's measure stops at 8192 characters; TextLength has no bound.
TEST(NetTextTest, StringLengthIsBoundedTextLengthIsNot) {
    for (size_t n : {size_t(0), size_t(1), size_t(8191), size_t(8192), size_t(8193), size_t(9000)}) {
        SCOPED_TRACE(n);
        const std::string text(n, 'x');
        EXPECT_EQ(StringLength(text.c_str()), static_cast<int32_t>(n < 8192 ? n : 8192));
        EXPECT_EQ(TextLength(text.c_str()), static_cast<int32_t>(n));
    }
    EXPECT_EQ(StringLength(nullptr), 0);
    EXPECT_EQ(TextLength(nullptr), 0);
}

// A separator is added only to a text that has none at its end.
TEST(NetTextTest, EndWithSeparator) {
    const char sep = zp_path_separator();
    const std::string dir = "/tmp/d", withSep = dir + sep;
    struct Case {
        std::string text, want;
    };
    const std::string root(1, sep);
    for (const Case &c : {Case{"", ""}, Case{dir, withSep}, Case{withSep, withSep}, Case{root, root}}) {
        SCOPED_TRACE(c.text);
        char buf[32];
        memset(buf, '#', sizeof buf);
        memcpy(buf, c.text.c_str(), c.text.size() + 1);
        EXPECT_EQ(EndWithSeparator(buf, static_cast<int32_t>(c.text.size())), static_cast<int32_t>(c.want.size()));
        EXPECT_STREQ(buf, c.want.c_str());
        EXPECT_EQ(buf[c.want.size() + 1], '#');  // nothing written past the new end
    }
}

// ---- dotted quads -----------------------------------------------------------------
struct QuadCase {
    const char *text;
    int isQuad;
    uint32_t value;  // checked when isQuad
};

TEST(NetTextTest, DottedQuads) {
    const QuadCase cases[] = {
        {"192.168.1.20", 1, 0xC0A80114},
        {"10.1.2.3", 1, 0x0A010203},
        {"0.0.0.0", 1, 0},
        {"255.255.255.255", 1, 0xFFFFFFFF},
        {"10..0.1", 1, 0x0A000001},     // an empty field is 0
        {"1.2.3.4.5", 1, 0x01020304},   // text behind the fourth field is not looked at
        {"001.002.003.004", 1, 0x01020304},
        {"192.168.1.256", 0, 0},
        {"10.0.0.1x", 0, 0},
        {"ftp.example.com", 0, 0},
        {"1.2.", 0, 0},   // fewer than four fields: a host name
        {"1.2.3.", 1, 0x01020300},  // four fields, the last one empty
        {"1.2.", 0, 0},
        {"1.", 0, 0},
        {".", 0, 0},
        {"", 0, 0},
        {"-1.2.3.4", 0, 0},
        {"99999999999.1.1.1", 0, 0},  // many digits must not wrap back below 256
    };
    for (const QuadCase &c : cases) {
        // An exact-size heap copy, so that the sanitizer catches a read
        // before the text or past its NUL.
        std::vector<char> text(c.text, c.text + strlen(c.text) + 1);
        EXPECT_EQ(IsDottedQuad(text.data()), c.isQuad) << '"' << c.text << '"';
        if (c.isQuad) {
            EXPECT_EQ(ParseDottedQuad(text.data()), c.value) << c.text;
        }
    }
}

TEST(NetTextTest, FormatDottedQuadNeedsSeventeenBytes) {
    char buf[20];
    memset(buf, 'x', sizeof buf);
    EXPECT_EQ(FormatDottedQuad(0x0A010203, buf, 16), 0);
    EXPECT_EQ(buf[0], 'x');  // too small: left alone
    EXPECT_EQ(FormatDottedQuad(0x0A010203, buf, 18), 8);
    EXPECT_STREQ(buf, "10.1.2.3");
    EXPECT_EQ(FormatDottedQuad(0xFFFFFFFF, buf, 17), 15);
    EXPECT_STREQ(buf, "255.255.255.255");
}

// A PASV reply's port: six numbers of 0..255, port 0 is none.
TEST(NetTextTest, PasvPort) {
    const struct {
        const char *text;
        uint16_t port;
    } cases[] = {
        {"Entering Passive Mode (127,0,0,1,4,5)", 1029},
        {"=127,0,0,1,255,255", 65535},
        {"(10, 0, 0, 1, 0, 21)", 21},
        {"(127,0,0,1,300,5)", 0},
        {"(127,0,0,1,256,21)", 0},
        {"(127,0,0,1,1,256)", 0},
        {"(127,0,0,1,0,0)", 0},
        {"(127,0,0,1,4)", 0},
        {"(127,0,0,1,4,)", 0},
        {"(127,0,0,1,4,5", 1029},
        {"(1,2,3,4,5\r\n6)", 0},
        {"(127,0,0,1,99999999999999999999,1)", 0},
        {"no digits", 0},
        {"", 0},
    };
    for (const auto &c : cases) EXPECT_EQ(ParsePasvPort(c.text), c.port) << c.text;
}

// ---- scanners -----------------------------------------------------------------------
TEST(NetTextTest, Scanners) {
    uint32_t v = 99;
    const char pasv[] = "21,34)";
    EXPECT_EQ(ScanNumber(pasv, &v), pasv + 3);
    EXPECT_EQ(v, 21u);
    const char bare[] = "77";
    EXPECT_EQ(ScanNumber(bare, &v), bare + 2);  // stops on the NUL, not past it
    EXPECT_EQ(v, 77u);
    const char none[] = "";
    EXPECT_EQ(ScanNumber(none, &v), none);
    EXPECT_EQ(v, 0u);

    const char top[] = "255.";
    EXPECT_EQ(ScanQuadField(top, &v), top + 4);
    EXPECT_EQ(v, 255u);
    const char field[] = "12.5";
    EXPECT_EQ(ScanQuadField(field, &v), field + 3);
    EXPECT_EQ(v, 12u);
    EXPECT_EQ(ScanQuadField("256.", &v), nullptr);
    EXPECT_EQ(ScanQuadField("1a", &v), nullptr);

    const char reply[] = "Entering Passive Mode (127,0,0,1,4,1)";
    EXPECT_EQ(FindDigit(reply), strchr(reply, '1'));
    EXPECT_EQ(FindDigit("no digits"), nullptr);
    EXPECT_EQ(FindDigit(""), nullptr);

    const struct {
        const char *in, *out;
    } quoted[] = {
        {"/pub\" is current", "/pub"},
        {"/pub\r\n", "/pub"},
        {"/pub", "/pub"},
        {"/say \"\"hi\"\"\" is current", "/say \"hi\""},  // doubled quotes kept once
        {"/a\"\"\"\"b\"", "/a\"\"b"},
        {"\"\"\"", "\""},
        {"\" is empty", ""},
    };
    for (const auto &q : quoted) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%s", q.in);
        UndoubleQuotes(buf);
        EXPECT_STREQ(buf, q.out) << q.in;
    }
}

// ---- bounded copies ---------------------------------------------------------------------
struct CopyCase {
    const char *src;
    int32_t n;
    const char *expect;
    int32_t result;
};

// Copies into a buffer pre-filled with '#', then checks the text, the result
// and that nothing beyond index n was written.
template <typename Fn>
void CheckCopies(Fn copy, const CopyCase *cases, size_t count, const char *name) {
    for (size_t i = 0; i < count; ++i) {
        const CopyCase &c = cases[i];
        char buf[32];
        memset(buf, '#', sizeof buf);
        EXPECT_EQ(copy(buf, c.src, c.n), c.result) << name << " case " << i;
        EXPECT_STREQ(buf, c.expect) << name << " case " << i;
        for (size_t k = static_cast<size_t>(c.n) + 1; k < sizeof buf; ++k)
            ASSERT_EQ(buf[k], '#') << name << " case " << i << " wrote byte " << k;
    }
}

TEST(NetTextTest, BoundedCopy) {
    const CopyCase cases[] = {
        {"0123456789", 4, "0123", 4},
        {"abcd", 4, "abcd", 4},  // exact fit: NUL at index n
        {"abcd", 5, "abcd", 4},
        {"abc", 0, "", 0},
        {"abc", 1, "a", 1},
        {"", 1, "", 0},
        {"line\r\nnext", 20, "line\r\nnext", 10},  // line ends are plain characters here
    };
    CheckCopies(BoundedCopy, cases, sizeof cases / sizeof cases[0], "BoundedCopy");

    char buf[4] = {'#', '#', '#', '#'};
    EXPECT_EQ(BoundedCopy(buf, nullptr, 3), 0);
    EXPECT_EQ(buf[0], '#');
    EXPECT_EQ(BoundedCopy(nullptr, "abc", 3), 0);
}

TEST(NetTextTest, CopyLine) {
    const CopyCase cases[] = {
        {"USER anonymous\r\n", 20, "USER anonymous", 14},
        {"first\nsecond", 20, "first", 5},
        {"a\rb", 20, "a", 1},
        {"abcdef", 3, "abc", 3},
        {"abc", 3, "abc", 3},  // exact fit
        {"abc", 0, "", 0},
        {"abc", 1, "a", 1},
        {"\r\n", 5, "", 0},
    };
    CheckCopies(CopyLine, cases, sizeof cases / sizeof cases[0], "CopyLine");
}

TEST(NetTextTest, BoundedAppend) {
    struct Case {
        const char *dest;
        const char *src;
        int32_t size;
        const char *expect;
    };
    const Case cases[] = {
        {"ab", "cd", 5, "abcd"},   // exact fit: the NUL is the last byte allowed
        {"ab", "cde", 5, "abcd"},
        {"abcd", "x", 5, "abcd"},  // already full
        {"", "xyz", 1, ""},
        {"", "xyz", 2, "x"},
        {"", "", 4, ""},
        {"abcdef", "x", 3, "abcdef"},  // longer than size already: nothing appended
    };
    for (const Case &c : cases) {
        char buf[32];
        memset(buf, '#', sizeof buf);
        strcpy(buf, c.dest);
        BoundedAppend(buf, c.src, c.size);
        EXPECT_STREQ(buf, c.expect) << c.dest << " + " << c.src << " in " << c.size;
    }

    // A 255-byte field holding 250 characters takes at most 4 more.
    char field[300];
    memset(field, '#', sizeof field);
    memset(field, 'a', 250);
    field[250] = 0;
    BoundedAppend(field, "0123456789", 255);
    EXPECT_EQ(strlen(field), 254u);
    EXPECT_EQ(std::string(field + 250), "0123");
    EXPECT_EQ(field[255], '#');
}

TEST(NetTextTest, TrimCrLf) {
    struct Case {
        const char *text;
        const char *expect;
    };
    const Case cases[] = {
        {"PWD\r\n", "PWD"}, {"\r\n", ""},       {"x\n", "x\n"},
        {"x\r", "x\r"},     {"\n", "\n"},       {"", ""},
        {"a\r\n\r\n", "a\r\n"},
    };
    for (const Case &c : cases) {
        char buf[16];
        strcpy(buf, c.text);
        TrimCrLf(buf);
        EXPECT_STREQ(buf, c.expect);
    }
}

}  // namespace
