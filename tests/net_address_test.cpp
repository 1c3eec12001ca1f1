// net_address_test.cpp - texts of addresses of either family: the
// canonical form FormatAddress writes, the literals ParseAddressLiteral
// takes and refuses, and the round trip between them. On POSIX the IPv6
// rows are checked against the system's inet_pton as well.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#ifndef _WIN32
#include <arpa/inet.h>
#endif

#include "net/address6.h"

namespace {

using namespace zub;

zp_addr V6(std::initializer_list<uint16_t> groups, uint32_t scope = 0) {
    zp_addr a = {};
    a.family = 6;
    a.scope = scope;
    int i = 0;
    for (uint16_t g : groups) {
        a.addr[2 * i] = static_cast<uint8_t>(g >> 8);
        a.addr[2 * i + 1] = static_cast<uint8_t>(g);
        ++i;
    }
    return a;
}

std::string Format(const zp_addr &a) {
    char buf[kAddressTextSize];
    const int32_t n = FormatAddress(&a, buf, sizeof buf);
    EXPECT_EQ(n, static_cast<int32_t>(std::strlen(buf)));
    return buf;
}

// ---- formatting ---------------------------------------------------------------------
TEST(NetAddressTest, FormatsTheCanonicalText) {
    zp_addr v4 = {};
    v4.family = 4;
    const uint8_t quad[4] = {192, 0, 2, 255};
    std::memcpy(v4.addr, quad, 4);
    v4.scope = 9;  // no scope on IPv4
    struct Case {
        zp_addr a;
        const char *want;
    };
    const Case cases[] = {
        {v4, "192.0.2.255"},
        {V6({0, 0, 0, 0, 0, 0, 0, 0}), "::"},
        {V6({0, 0, 0, 0, 0, 0, 0, 1}), "::1"},
        {V6({1, 0, 0, 0, 0, 0, 0, 0}), "1::"},
        {V6({0x2001, 0xdb8, 0, 0, 0, 0, 0, 1}), "2001:db8::1"},
        {V6({0x2001, 0xdb8, 0, 1, 1, 1, 1, 1}), "2001:db8:0:1:1:1:1:1"},      // one zero group stays
        {V6({0x2001, 0xdb8, 0, 0, 1, 0, 0, 1}), "2001:db8::1:0:0:1"},         // first of equal runs
        {V6({0x2001, 0, 0, 1, 0, 0, 0, 1}), "2001:0:0:1::1"},                 // the longer run
        {V6({0xABCD, 0x0EF0, 0x00F0, 0x000F, 0, 0, 0xFFFF, 0xffff}), "abcd:ef0:f0:f::ffff:ffff"},
        {V6({0xffff, 0xffff, 0xffff, 0xffff, 0xffff, 0xffff, 0xffff, 0xffff}),
         "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"},
        {V6({0, 0, 0, 0, 0, 0xffff, 0xc000, 0x0201}), "::ffff:192.0.2.1"},   // IPv4-mapped
        {V6({0, 0, 0, 0, 0, 0, 0xc000, 0x0201}), "::c000:201"},              // not mapped: hex
        {V6({0xfe80, 0, 0, 0, 0, 0, 0, 1}, 3), "fe80::1%3"},
        {V6({0xfe80, 0, 0, 0, 0, 0, 0, 1}, 4294967295u), "fe80::1%4294967295"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.want);
        EXPECT_EQ(Format(c.a), c.want);
    }
}

// All or nothing: the longest text in exactly its room, one byte less gives
// "", and nothing is written past size.
TEST(NetAddressTest, FormatWritesAllOrNothing) {
    const zp_addr longest = V6({0xffff, 0xffff, 0xffff, 0xffff, 0xffff, 0xffff, 0xffff, 0xffff}, 4294967295u);
    const std::string want = "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff%4294967295";
    ASSERT_EQ(static_cast<int32_t>(want.size()) + 1, kAddressTextSize);
    for (int32_t size : {kAddressTextSize, kAddressTextSize - 1, 1}) {
        SCOPED_TRACE(size);
        char buf[kAddressTextSize + 1];
        std::memset(buf, '#', sizeof buf);
        const int32_t n = FormatAddress(&longest, buf, size);
        EXPECT_EQ(n, size == kAddressTextSize ? static_cast<int32_t>(want.size()) : 0);
        EXPECT_EQ(std::string(buf), size == kAddressTextSize ? want : "");
        EXPECT_EQ(buf[size], '#');
    }
    char buf[4] = "xyz";
    zp_addr other = longest;
    other.family = 5;
    EXPECT_EQ(FormatAddress(&other, buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "");
    std::strcpy(buf, "xyz");
    EXPECT_EQ(FormatAddress(nullptr, buf, sizeof buf), 0);
    EXPECT_EQ(FormatAddress(&longest, buf, 0), 0);
    EXPECT_STREQ(buf, "");
}

// ---- reading -----------------------------------------------------------------------------
// Each literal taken, with the canonical text it gives; the canonical text
// reads back as the same address.
TEST(NetAddressTest, ReadsEveryLiteralForm) {
    struct Case {
        const char *text, *canonical;
    };
    const Case cases[] = {
        {"127.0.0.1", "127.0.0.1"},
        {"::", "::"},
        {"[::]", "::"},
        {"::1", "::1"},
        {"[::1]", "::1"},
        {"1::", "1::"},
        {"1:2:3:4:5:6:7:8", "1:2:3:4:5:6:7:8"},
        {"1:2:3:4:5:6:7::", "1:2:3:4:5:6:7:0"},
        {"::2:3:4:5:6:7:8", "0:2:3:4:5:6:7:8"},
        {"2001:DB8:0:0:0:0:0:1", "2001:db8::1"},
        {"2001:0db8:0000::0001", "2001:db8::1"},
        {"::ffff:192.0.2.1", "::ffff:192.0.2.1"},
        {"::FFFF:c000:0201", "::ffff:192.0.2.1"},
        {"::192.0.2.1", "::c000:201"},
        {"1:2:3:4:5:6:1.2.3.4", "1:2:3:4:5:6:102:304"},
        {"64:ff9b::255.255.255.255", "64:ff9b::ffff:ffff"},
        {"fe80::1%3", "fe80::1%3"},
        {"[fe80::1%4294967295]", "fe80::1%4294967295"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        zp_addr a = {}, again = {};
        ASSERT_TRUE(ParseAddressLiteral(c.text, &a));
        EXPECT_EQ(a.port, 0);
        EXPECT_EQ(Format(a), c.canonical);
        ASSERT_TRUE(ParseAddressLiteral(c.canonical, &again));
        EXPECT_EQ(std::memcmp(&a, &again, sizeof a), 0);
    }
}

TEST(NetAddressTest, RefusesWhatIsNoLiteral) {
    const char *const texts[] = {
        "", "ftp.example.com", "localhost", "1.2.3", "[1.2.3.4]", "1.2.3.4%1",
        ":", ":::", "1:::2", ":1::", "::1:", "1:2", "1::2::3",
        "1:2:3:4:5:6:7:8:9", "1::2:3:4:5:6:7:8", "1:2:3:4:5:6:7:8::",
        "12345::", "::g", "::1 ", " ::1",
        "::1.2.3", "::1.2.3.4.5", "::1.2.3.256", "::01.2.3.4", "::1.2.3.4:5", "1:2:3:4:5:6:7:1.2.3.4", "::1.2.3.4::",
        "[]", "[", "]", "[::1", "::1]", "[::1]x", "[::1]:21", "[[::1]]",
        "fe80::1%", "fe80::1%eth0", "fe80::1%4294967296", "fe80::1%1%2", "%1",
    };
    for (const char *t : texts) {
        SCOPED_TRACE(t);
        zp_addr a;
        std::memset(&a, 0x5A, sizeof a);
        EXPECT_FALSE(ParseAddressLiteral(t, &a));
        EXPECT_EQ(a.family, 0x5A5A);  // untouched
    }
    zp_addr a;
    EXPECT_FALSE(ParseAddressLiteral(nullptr, &a));
    EXPECT_FALSE(ParseAddressLiteral("::1", nullptr));
}

#ifndef _WIN32
// The system's reader agrees on bare IPv6 texts, taken or not.
TEST(NetAddressTest, AgreesWithInetPton) {
    const char *const texts[] = {
        "::", "::1", "1::", "1:2:3:4:5:6:7::", "::2:3:4:5:6:7:8", "::ffff:1.2.3.4", "1:2:3:4:5:6:1.2.3.4",
        "abcd:EF01::", ":::", "1:::2", "::1:", "1::2::3", "1:2:3:4:5:6:7:8:9", "1::2:3:4:5:6:7:8",
        "12345::", "::1.2.3", "::01.2.3.4", "1:2:3:4:5:6:7:1.2.3.4", "::1.2.3.4::", "1:2",
    };
    for (const char *t : texts) {
        SCOPED_TRACE(t);
        uint8_t want[16];
        zp_addr a = {};
        const bool system = inet_pton(AF_INET6, t, want) == 1;
        ASSERT_EQ(ParseAddressLiteral(t, &a), system);
        if (system) {
            EXPECT_EQ(std::memcmp(a.addr, want, 16), 0);
        }
    }
}
#endif

}  // namespace
