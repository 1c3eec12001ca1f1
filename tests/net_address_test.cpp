// net_address_test.cpp - texts of addresses of either family: each literal
// ParseAddressLiteral takes gives the canonical text of RFC 5952 through
// FormatAddress and reads back as the same address; malformed ones are
// refused; formatting is all or nothing.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "net/address6.h"

namespace {

using namespace zub;

TEST(NetAddressTest, LiteralsGiveTheCanonicalText) {
    struct Case {
        const char *text, *canonical;
    };
    const Case cases[] = {
        {"192.0.2.255", "192.0.2.255"}, {"::", "::"}, {"[::]", "::"}, {"[::1]", "::1"}, {"1::", "1::"},
        {"1:2:3:4:5:6:7::", "1:2:3:4:5:6:7:0"},           // one zero group is no "::"
        {"::2:3:4:5:6:7:8", "0:2:3:4:5:6:7:8"},
        {"2001:DB8:0:0:0:0:0:1", "2001:db8::1"},           // lower case
        {"2001:0db8:0000::0001", "2001:db8::1"},           // no leading zeros
        {"2001:db8:0:0:1:0:0:1", "2001:db8::1:0:0:1"},     // the first of equal runs
        {"2001:0:0:1:0:0:0:1", "2001:0:0:1::1"},           // the longest run
        {"FFFF:ffff:ffff:ffff:ffff:ffff:ffff:ffff", "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"},
        {"::FFFF:c000:0201", "::ffff:192.0.2.1"},          // IPv4-mapped
        {"::192.0.2.1", "::c000:201"},                     // not mapped: hex
        {"1:2:3:4:5:6:1.2.3.4", "1:2:3:4:5:6:102:304"},
        {"fe80::1%3", "fe80::1%3"}, {"[fe80::1%4294967295]", "fe80::1%4294967295"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        zp_addr a = {}, again = {};
        char buf[kAddressTextSize];
        ASSERT_TRUE(ParseAddressLiteral(c.text, &a));
        EXPECT_EQ(a.family, std::strchr(c.text, ':') ? 6 : 4);
        EXPECT_EQ(FormatAddress(&a, buf, sizeof buf), static_cast<int32_t>(std::strlen(c.canonical)));
        EXPECT_STREQ(buf, c.canonical);
        ASSERT_TRUE(ParseAddressLiteral(buf, &again));
        EXPECT_EQ(std::memcmp(&a, &again, sizeof a), 0);
    }
}

TEST(NetAddressTest, RefusesWhatIsNoLiteral) {
    for (const char *t : {"", "ftp.example.com", "1.2.3", "[1.2.3.4]", "1.2.3.4%1", ":", ":::", "1:::2", ":1::",
                          "::1:", "1:2", "1::2::3", "1:2:3:4:5:6:7:8:9", "1::2:3:4:5:6:7:8", "1:2:3:4:5:6:7:8::",
                          "12345::", "::g", " ::1", "::1.2.3", "::1.2.3.256", "::01.2.3.4", "::1.2.3.4:5",
                          "1:2:3:4:5:6:7:1.2.3.4", "[]", "[::1", "::1]", "[::1]x", "[::1]:21", "fe80::1%",
                          "fe80::1%eth0", "fe80::1%4294967296", "fe80::1%1%2"}) {
        zp_addr a;
        std::memset(&a, 0x5A, sizeof a);
        EXPECT_FALSE(ParseAddressLiteral(t, &a)) << t;
        EXPECT_EQ(a.family, 0x5A5A) << t;  // untouched
    }
}

// The longest text in exactly its room; one byte less writes "" only.
TEST(NetAddressTest, FormatIsAllOrNothing) {
    zp_addr a;
    ASSERT_TRUE(ParseAddressLiteral("ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff%4294967295", &a));
    for (int32_t size : {kAddressTextSize, kAddressTextSize - 1, 1}) {
        char buf[kAddressTextSize + 1];
        std::memset(buf, '#', sizeof buf);
        const bool fits = size == kAddressTextSize;
        EXPECT_EQ(FormatAddress(&a, buf, size), fits ? kAddressTextSize - 1 : 0) << size;
        EXPECT_EQ(std::strlen(buf), fits ? kAddressTextSize - 1u : 0u) << size;
        EXPECT_EQ(buf[size], '#') << size;
    }
    char buf[4] = "xyz";
    a.family = 5;
    EXPECT_EQ(FormatAddress(&a, buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "");
}

}  // namespace
