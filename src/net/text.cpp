// text.cpp - dotted quads and the scanners used on reply texts. Every
// routine stops at the first NUL.
//
// Divisions: dotted quads, scanners.
#include "net/text.h"

#include "platform/platform.h"

namespace zub {

// ---- dotted quads ---------------------------------------------------------------
namespace {
// The one scanner of an address byte, for dotted quads and PASV replies:
// the run of digits at pos (none gives 0), and *value past 255 when they
// make more than a byte. Past 255 the digits are still passed, but no
// longer counted, so the value cannot wrap back into range.
const char *ScanByte(const char *pos, uint32_t *value) {
    uint32_t v = 0;
    for (; *pos >= '0' && *pos <= '9'; ++pos)
        if (v <= 255) v = v * 10 + static_cast<uint32_t>(*pos - '0');
    *value = v;
    return pos;
}
}  // namespace

const char *ScanQuadField(const char *pos, uint32_t *value) {
    uint32_t v;
    pos = ScanByte(pos, &v);
    const char c = *pos;
    if (v > 255 || (c != '.' && c != 0)) return nullptr;
    *value = v;
    // The NUL ends the text: there is nothing behind it to read.
    return c == 0 ? pos : pos + 1;
}

namespace {
// Reads four fields; null unless all four are there. A text that ends
// before its fourth field is a host name, never an address with zeros.
const char *ScanQuad(const char *text, uint32_t *addr) {
    if (!text) return nullptr;
    uint32_t a = 0;
    const char *p = text;
    for (int field = 0; field < 4; ++field) {
        uint32_t v;
        const char *next = ScanQuadField(p, &v);
        if (!next) return nullptr;
        a = (a << 8) + v;
        // A field ended by the NUL stays on it (an empty one does not move
        // at all); one ended by '.' moves behind the dot.
        bool endedByNul = *next == 0 && (next == p || next[-1] != '.');
        if (endedByNul && field < 3) return nullptr;
        p = next;
    }
    *addr = a;
    return p;
}
}  // namespace

int IsDottedQuad(const char *text) {
    uint32_t a;
    return ScanQuad(text, &a) ? 1 : 0;
}

uint32_t ParseDottedQuad(const char *text) {
    uint32_t a = 0;
    return ScanQuad(text, &a) ? a : 0;
}

// ---- scanners -------------------------------------------------------------------
const char *ScanNumber(const char *pos, uint32_t *value) {
    uint32_t v = 0;
    while (*pos >= '0' && *pos <= '9') v = v * 10 + static_cast<uint32_t>(*pos++ - '0');
    *value = v;
    return *pos ? pos + 1 : pos;  // pass over the terminator, never over the NUL
}

const char *FindDigit(const char *text) {
    for (const char *p = text; p && *p; ++p)
        if (*p >= '0' && *p <= '9') return p;
    return nullptr;
}

uint16_t ParsePasvPort(const char *text) {
    const char *p = FindDigit(text);
    if (!p) return 0;
    uint32_t n[6] = {0, 0, 0, 0, 0, 0};
    for (int i = 0; i < 6; ++i) {
        uint32_t v;
        const char *end = ScanByte(p, &v);
        if (end == p || v > 255) return 0;
        p = end;
        n[i] = v;
        if (i == 5) break;
        if (*p == 0 || *p == '\r' || *p == '\n') return 0;  // fewer than six
        ++p;
        while (*p == ' ') ++p;
    }
    return static_cast<uint16_t>(n[4] * 256 + n[5]);
}

void UndoubleQuotes(char *text) {
    char *out = text;
    for (const char *p = text; *p && *p != '\r'; ++p) {
        if (*p == '"') {
            if (p[1] != '"') break;
            ++p;
        }
        *out++ = *p;
    }
    *out = 0;
}

}  // namespace zub
