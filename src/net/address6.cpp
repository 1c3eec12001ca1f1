// address6.cpp - texts of addresses of either family (see address6.h).
//
// Divisions: formatting, reading.
#include "net/address6.h"

#include "net/text.h"

namespace zub {

// ---- formatting ---------------------------------------------------------------------
namespace {

// Appends the decimal digits of v at p; returns the end.
char *PutDecimal(char *p, uint32_t v) {
    char digits[10];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    while (n > 0) *p++ = digits[--n];
    return p;
}

// Appends a 16-bit group in lower-case hex without leading zeros.
char *PutGroup(char *p, uint16_t g) {
    static const char kHex[] = "0123456789abcdef";
    bool started = false;
    for (int shift = 12; shift >= 0; shift -= 4) {
        const int nibble = (g >> shift) & 0xF;
        if (nibble != 0 || started || shift == 0) {
            *p++ = kHex[nibble];
            started = true;
        }
    }
    return p;
}

char *PutDotted(char *p, const uint8_t *b) {
    for (int i = 0; i < 4; ++i) {
        if (i > 0) *p++ = '.';
        p = PutDecimal(p, b[i]);
    }
    return p;
}

// The IPv6 text (without scope) at p; returns the end.
char *PutIpv6(char *p, const uint8_t *b) {
    uint16_t g[8];
    for (int i = 0; i < 8; ++i) g[i] = static_cast<uint16_t>(b[2 * i] << 8 | b[2 * i + 1]);
    // ::ffff:a.b.c.d: five zero groups, then ffff.
    if (g[0] == 0 && g[1] == 0 && g[2] == 0 && g[3] == 0 && g[4] == 0 && g[5] == 0xFFFF) {
        for (const char *s = "::ffff:"; *s; ++s) *p++ = *s;
        return PutDotted(p, b + 12);
    }
    // The longest run of two or more zero groups; the first on a tie.
    int best = -1, bestLen = 1;
    for (int i = 0; i < 8;) {
        if (g[i] != 0) {
            ++i;
            continue;
        }
        int j = i;
        while (j < 8 && g[j] == 0) ++j;
        if (j - i > bestLen) {
            best = i;
            bestLen = j - i;
        }
        i = j;
    }
    for (int i = 0; i < 8; ++i) {
        if (i == best) {
            *p++ = ':';
            *p++ = ':';
            i += bestLen - 1;
            continue;
        }
        if (i > 0 && i != best + bestLen) *p++ = ':';
        p = PutGroup(p, g[i]);
    }
    return p;
}

}  // namespace

int32_t FormatAddress(const zp_addr *a, char *buf, int32_t size) {
    if (!buf || size <= 0) return 0;
    buf[0] = 0;
    if (!a || (a->family != 4 && a->family != 6)) return 0;
    char text[kAddressTextSize];
    char *end = a->family == 4 ? PutDotted(text, a->addr) : PutIpv6(text, a->addr);
    if (a->family == 6 && a->scope != 0) {
        *end++ = '%';
        end = PutDecimal(end, a->scope);
    }
    const int32_t n = static_cast<int32_t>(end - text);
    if (n >= size) return 0;
    for (int32_t i = 0; i < n; ++i) buf[i] = text[i];
    buf[n] = 0;
    return n;
}

// ---- reading -------------------------------------------------------------------------
namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// An IPv4 tail of an IPv6 text, from p to end: four decimal fields 0..255
// without leading zeros, as inet_pton takes them.
bool ReadIpv4Tail(const char *p, const char *end, uint8_t *out) {
    for (int field = 0; field < 4; ++field) {
        if (field > 0) {
            if (p == end || *p != '.') return false;
            ++p;
        }
        const char *start = p;
        uint32_t v = 0;
        while (p != end && *p >= '0' && *p <= '9' && p - start < 3) v = v * 10 + static_cast<uint32_t>(*p++ - '0');
        if (p == start || v > 255 || (p - start > 1 && *start == '0')) return false;
        out[field] = static_cast<uint8_t>(v);
    }
    return p == end;
}

// The IPv6 address from p to end (no brackets, no scope).
bool ReadIpv6(const char *p, const char *end, uint8_t *out) {
    uint8_t bytes[16] = {0};
    int n = 0;        // bytes filled
    int gap = -1;     // where "::" stands, in bytes
    if (p == end) return false;
    if (*p == ':') {  // a leading colon only as part of "::"
        if (end - p < 2 || p[1] != ':') return false;
        gap = 0;
        p += 2;
        if (p == end) {
            for (int i = 0; i < 16; ++i) out[i] = 0;
            return true;
        }
    }
    while (true) {
        // One group, or the IPv4 tail.
        const char *start = p;
        uint32_t v = 0;
        while (p != end && HexValue(*p) >= 0 && p - start < 5) v = v << 4 | static_cast<uint32_t>(HexValue(*p++));
        if (p == start || p - start > 4) return false;
        if (p != end && *p == '.') {
            if (n > 12 || !ReadIpv4Tail(start, end, bytes + n)) return false;
            n += 4;
            break;
        }
        if (n > 14) return false;
        bytes[n++] = static_cast<uint8_t>(v >> 8);
        bytes[n++] = static_cast<uint8_t>(v);
        if (p == end) break;
        if (*p != ':') return false;
        ++p;
        if (p != end && *p == ':') {  // "::"
            if (gap >= 0) return false;
            gap = n;
            ++p;
            if (p == end) break;
        } else if (p == end) {
            return false;  // a trailing single colon
        }
    }
    if (gap < 0) {
        if (n != 16) return false;
    } else {
        if (n > 14) return false;  // "::" stands for one group at least
        const int moved = n - gap;
        for (int i = 0; i < moved; ++i) bytes[15 - i] = bytes[n - 1 - i];
        for (int i = gap; i < 16 - moved; ++i) bytes[i] = 0;
    }
    for (int i = 0; i < 16; ++i) out[i] = bytes[i];
    return true;
}

}  // namespace

bool ParseAddressLiteral(const char *text, zp_addr *a) {
    if (!text || !a) return false;
    zp_addr r = {};
    if (IsDottedQuad(text)) {
        const uint32_t v = ParseDottedQuad(text);
        r.family = 4;
        for (int i = 0; i < 4; ++i) r.addr[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
        *a = r;
        return true;
    }
    const char *p = text;
    const char *end = text;
    while (*end) ++end;
    if (*p == '[') {
        if (end - p < 2 || end[-1] != ']') return false;
        ++p;
        --end;
    }
    // A numeric scope: "%" and digits up to 4294967295.
    const char *percent = p;
    while (percent != end && *percent != '%') ++percent;
    if (percent != end) {
        const char *d = percent + 1;
        if (d == end) return false;
        uint64_t scope = 0;
        for (; d != end; ++d) {
            if (*d < '0' || *d > '9') return false;
            scope = scope * 10 + static_cast<uint64_t>(*d - '0');
            if (scope > 0xFFFFFFFFu) return false;
        }
        r.scope = static_cast<uint32_t>(scope);
    }
    if (!ReadIpv6(p, percent, r.addr)) return false;
    r.family = 6;
    *a = r;
    return true;
}

}  // namespace zub
