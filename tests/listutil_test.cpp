// listutil_test.cpp - tests of the list buffer utilities zubMatchFile,
// zubExtract and zubFileLength: wildcard matching, walking a buffer,
// line/field selection, output buffer bounds, and the trace line.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "zub32.h"

namespace {

// Output buffers are pre-filled so that writes beyond the allowed bytes show.
constexpr char kFill = '#';

// expected null: nothing may have been written; otherwise the text, its NUL
// and no byte behind them.
void ExpectWritten(const char *buf, size_t size, const char *expected, int32_t arg) {
    if (expected == nullptr) {
        EXPECT_EQ(kFill, buf[0]) << "size " << arg;
        return;
    }
    EXPECT_STREQ(expected, buf) << "size " << arg;
    for (size_t i = std::strlen(expected) + 1; i < size; ++i)
        EXPECT_EQ(kFill, buf[i]) << "size " << arg << " byte " << i;
}

struct MatchCase {
    const char *buffer;
    const char *pattern;
    int32_t exact;
    int32_t offset;  // expected result
    const char *line;
};

TEST(ListUtilMatch, PatternsAndLineEnds) {
    const MatchCase cases[] = {
        {"readme.txt\r\n", "*.TXT", 0, 12, "readme.txt"},
        {"a.b.txt\r\n", "*.TXT", 0, 0, ""},  // '*' stops at the first '.'
        {"axbxb\r\n", "a*b", 0, 0, ""},      // no backtracking
        {"abx\r\n", "A*X", 0, 0, ""},        // the '*' stop test is exact
        {"abx\r\n", "A*x", 0, 5, "abx"},
        {"abx\r\n", "A*x", 1, 0, ""},
        {"ABC\r\n", "abc", 0, 5, "ABC"},
        {"ABC\r\n", "abc", 1, 0, ""},
        {"abc\r\n", "abc?", 0, 5, "abc"},  // one trailing '?' or '*' may match nothing
        {"abc\r\n", "abc??", 0, 0, ""},
        {"abc\r\n", "a?c", 0, 5, "abc"},
        {"abc\r\n", "*", 0, 5, "abc"},
        {"abc\r\n", "ab", 0, 0, ""},
        {"abc\r\n", "", 0, 0, ""},  // the empty pattern matches only an empty line
        {"abc\r\n\r\nx\r\n", "", 0, 7, ""},
        {"abc", "abc", 0, 0, ""},  // an unterminated last line is never matched
        {"abc\n", "abc", 0, 4, "abc"},
        {"abc\rdef\r", "def", 0, 8, "def"},
        {"abc\n\ndef\n", "", 0, 5, ""},  // LF LF holds an empty line
        {"", "*", 0, 0, ""},
    };
    for (const MatchCase &c : cases) {
        char line[64];
        std::memset(line, kFill, sizeof line);
        EXPECT_EQ(c.offset, zubMatchFile(c.buffer, 0, line, sizeof line, c.pattern, c.exact))
            << '"' << c.buffer << "\" / " << c.pattern;
        EXPECT_STREQ(c.line, line) << '"' << c.buffer << "\" / " << c.pattern;
    }
}

TEST(ListUtilMatch, WalksThroughBuffer) {
    const char *buf = "a.txt\r\nb.dat\r\nc.txt\r\nd.TXT\r\ne.txt";
    struct Walk {
        int32_t exact;
        std::string expected;
    } walks[] = {{1, "a.txt c.txt "}, {0, "a.txt c.txt d.TXT "}};
    for (const Walk &w : walks) {
        std::string seen;
        char line[16];
        int32_t offset = 0;
        for (int i = 0; i < 10; ++i) {
            offset = zubMatchFile(buf, offset, line, sizeof line, "*.txt", w.exact);
            if (offset == 0) break;
            seen += std::string(line) + ' ';
        }
        EXPECT_EQ(w.expected, seen) << "exact=" << w.exact;
        EXPECT_EQ(0, offset);
    }
}

TEST(ListUtilMatch, LineBufferSizes) {
    const char *buf = "hello\r\n";
    struct SizeCase {
        int32_t size;
        const char *expected;  // null: buffer untouched
    } cases[] = {{-1, nullptr}, {0, nullptr}, {1, ""}, {5, "hell"}, {6, "hello"}, {7, "hello"}};
    for (const SizeCase &c : cases) {
        char line[16];
        std::memset(line, kFill, sizeof line);
        EXPECT_EQ(7, zubMatchFile(buf, 0, line, c.size, "hello", 0)) << c.size;
        ExpectWritten(line, sizeof line, c.expected, c.size);
    }
}

TEST(ListUtilMatch, NullPointersAndBadOffsets) {
    const char text[] = "ab\r\n\0zz\r\n";
    char line[8] = "old";
    EXPECT_EQ(0, zubMatchFile(nullptr, 0, line, sizeof line, "*", 0));
    EXPECT_STREQ("", line);
    EXPECT_EQ(0, zubMatchFile(text, 0, line, sizeof line, nullptr, 0));
    EXPECT_EQ(4, zubMatchFile(text, 0, nullptr, 8, "ab", 0));
    EXPECT_EQ(0, zubMatchFile(text, -1, line, sizeof line, "*", 0));
    EXPECT_EQ(0, zubMatchFile(text, 4, line, sizeof line, "*", 0));  // at the NUL
    EXPECT_EQ(0, zubMatchFile(text, 5, line, sizeof line, "zz", 0));  // behind it
}

struct ExtractCase {
    const char *text;
    int32_t lineNo, fieldNo, destSize;
    int32_t result;
    const char *dest;
};

TEST(ListUtilExtract, LinesAndFields) {
    const ExtractCase cases[] = {
        {"hello world", 0, 0, 5, 5, "hello"},
        {"hello world", 0, 2, 80, 5, "world"},
        {"one\r\n", 2, 0, 80, 0, ""},
        {"one\r\ntwo three\r\n", 2, 2, 80, 5, "three"},
        {"one\r\ntwo", 2, 0, 80, 0, ""},  // the requested line has no end
        {"one\r\ntwo", 1, 0, 80, 3, "one"},
        {"  a \t b\r\n", 1, 2, 80, 1, "b"},
        {"  a \t b\r\n", 1, 0, 80, 7, "  a \t b"},
        {"\r\nx\r\n", 1, 0, 80, 0, ""},
        {"a\rb\rc\r", 2, 0, 80, 1, "b"},      // CR-only line ends
        {"a b\nc d\n", 2, 2, 80, 1, "d"},     // LF-only line ends
        {"a b\nc d\n", 0, 2, 80, 1, "b"},
        {"x\r\n", -1, 0, 80, 0, ""},
        {"x\r\n", 1, -1, 80, 0, ""},
        {"", 0, 0, 80, 0, ""},
    };
    for (const ExtractCase &c : cases) {
        char dest[96];
        std::memset(dest, kFill, sizeof dest);
        EXPECT_EQ(c.result, zubExtract(c.text, c.lineNo, c.fieldNo, dest, c.destSize))
            << '"' << c.text << "\" " << c.lineNo << ',' << c.fieldNo;
        EXPECT_STREQ(c.dest, dest) << '"' << c.text << "\" " << c.lineNo << ',' << c.fieldNo;
    }
}

TEST(ListUtilExtract, DestSizes) {
    struct SizeCase {
        int32_t size;
        int32_t result;
        const char *expected;  // null: buffer untouched
    } cases[] = {{-3, 0, nullptr}, {0, 0, nullptr}, {1, 1, "h"},
                 {4, 4, "hell"},   {5, 5, "hello"}, {6, 5, "hello"}};
    for (const SizeCase &c : cases) {
        char dest[16];
        std::memset(dest, kFill, sizeof dest);
        EXPECT_EQ(c.result, zubExtract("hello\r\n", 1, 1, dest, c.size)) << c.size;
        ExpectWritten(dest, sizeof dest, c.expected, c.size);
    }
    EXPECT_EQ(0, zubExtract(nullptr, 0, 0, nullptr, 10));
    EXPECT_EQ(3, zubExtract("hello", 0, 0, nullptr, 3));  // the length without a buffer
}

TEST(ListUtilFileLength, FieldsOfLastLine) {
    const char *entry = "-rw-r--r-- 1 owner group 4096 Jan 1 name\r\n";
    struct Case {
        const char *text;
        int32_t first, last, result;
    } cases[] = {
        {entry, 4, 6, 4096},  // the group is not all digits; the size is
        {entry, 1, 4, 1},     // the link count
        {entry, 6, 7, -1},
        {entry, 6, 4, -1},  // empty range
        {"first 111\r\nsecond 222\r\n", 2, 3, 222},
        {"a 1\r\nb 2\r\npartial 3", 2, 3, 2},  // the last complete line counts
        {"a 1\nb 2\n", 2, 3, 2},
        {"x 12a\r\n", 1, 3, -1},
        {"x 99999999999\r\n", 2, 3, INT32_MAX},
        {"a b 7\r\n", 1, INT32_MAX, 7},
        {"a b c\r\n", 1, INT32_MAX, -1},
        {"4096\r\n", 0, 1, 4096},          // field 0 is the whole line
        {"4096\r\n", 0, 0, -1},
        {"4096\r\n", -7, 1, 4096},
        {" \t12 x\r\n", 0, 2, 12},       // leading blanks open no field
        {"5 x 7\r\n", 2, 4, 7},           // fields before the first are not read
        {"5 x 7\r\n", 2, 3, -1},
        {"1 2\r\n", INT32_MAX - 1, INT32_MAX, -1},
        {"", 0, 3, -1},
        {nullptr, 0, 3, -1},
    };
    for (const Case &c : cases)
        EXPECT_EQ(c.result, zubFileLength(c.text, c.first, c.last))
            << (c.text ? c.text : "(null)") << ' ' << c.first << ',' << c.last;
}

std::string ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(ListUtilFileLength, TraceLineIsBounded) {
    const std::string path = ::testing::TempDir() + "zub_listutil_trace.log";
    ASSERT_EQ(1, zubAttach(1, 0));
    ASSERT_GT(zubSetString(0, ZUB_STR_OPEN_LOG, path.c_str()), 0);

    const std::string longText(1000, 'x');
    EXPECT_EQ(-1, zubFileLength(longText.c_str(), 4, 6));
    const std::string first = ReadFile(path);
    const std::string tail = ",4,6)\r\n";
    EXPECT_LE(first.size(), 127u);
    EXPECT_EQ(0u, first.find("zubFileLength(xxx"));
    ASSERT_GE(first.size(), tail.size());
    EXPECT_EQ(tail, first.substr(first.size() - tail.size()));
    EXPECT_EQ(first.size() - 2, first.find_first_of("\r\n"));  // one line only

    EXPECT_EQ(12, zubFileLength("a 12\r\n", -1, 2147483647));
    EXPECT_EQ(first + "zubFileLength(a 12\r\n,-1,2147483647)\r\n", ReadFile(path));

    zubClose(0);  // closes the log, which ends the trace
    zubRelease();
    std::remove(path.c_str());
}

}  // namespace
