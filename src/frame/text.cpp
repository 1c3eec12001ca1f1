// text.cpp - measuring and bounded copies of texts, and the dotted-quad
// form of an address: the text helpers every layer uses. Every routine
// stops at the first NUL.
//
// Divisions: measuring, copying, formatting.
#include "frame/text.h"

#include "platform/platform.h"

namespace zub {

// ---- measuring ------------------------------------------------------------------
int32_t StringLength(const char *text) {
    if (!text) return 0;
    int32_t n = 0;
    while (n < 8192 && text[n]) ++n;
    return n;
}

int32_t TextLength(const char *text) {
    if (!text) return 0;
    int32_t n = 0;
    while (text[n]) ++n;
    return n;
}

int32_t CountLines(const char *text) {
    int32_t lines = 0;
    for (const char *p = text; p && *p; ++p)
        if (*p == '\n') ++lines;
    return lines;
}

// ---- copying --------------------------------------------------------------------
int32_t BoundedCopy(char *dest, const char *src, int32_t n) {
    if (!dest || !src || n < 0) return 0;
    for (int32_t i = 0; i < n; ++i) {
        dest[i] = src[i];
        if (!src[i]) return i;
    }
    dest[n] = 0;
    return n;
}

int32_t CopyLine(char *dest, const char *src, int32_t n) {
    if (!dest || n < 0) return 0;
    int32_t i = 0;
    for (; src && i < n; ++i) {
        char c = src[i];
        if (c == '\r' || c == '\n' || c == 0) break;
        dest[i] = c;
    }
    dest[i] = 0;
    return i;
}

bool FitsField(const char *text, int32_t max) {
    for (int32_t i = 0; text && text[i]; ++i)
        if (i >= max || text[i] == '\r' || text[i] == '\n') return false;
    return true;
}

void BoundedAppend(char *dest, const char *src, int32_t size) {
    if (!dest || !src || size < 1) return;
    int32_t len = TextLength(dest);
    if (len >= size - 1) return;
    while (len < size - 1 && *src) dest[len++] = *src++;
    dest[len] = 0;
}

void TrimCrLf(char *text) {
    int32_t n = TextLength(text);
    if (n >= 2 && text[n - 2] == '\r' && text[n - 1] == '\n') text[n - 2] = 0;
}

int32_t EndWithSeparator(char *path, int32_t n) {
    const char sep = zp_path_separator();
    if (n > 0 && path[n - 1] != sep) {
        path[n++] = sep;
        path[n] = 0;
    }
    return n;
}

// ---- formatting -----------------------------------------------------------------
int32_t FormatDottedQuad(uint32_t addr, char *buf, int32_t size) {
    if (!buf || size < 17) return 0;
    return zp_format(buf, "%d.%d.%d.%d", static_cast<int>((addr >> 24) & 0xFF),
                     static_cast<int>((addr >> 16) & 0xFF), static_cast<int>((addr >> 8) & 0xFF),
                     static_cast<int>(addr & 0xFF));
}

}  // namespace zub
