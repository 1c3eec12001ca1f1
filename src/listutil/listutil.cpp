// listutil.cpp - the list buffer utilities: wildcard line search
// (zubMatchFile), line and field extraction (zubExtract) and the size
// lookup in a listing line (zubFileLength); their exports are in
// api/listutil_api.cpp.
//
// Divisions: text spans (lines and fields), the wildcard match, bounded
// output copies and number parsing, the trace line, the three utilities.
//
// All three work on NUL-terminated text in the caller's memory: they take
// no channel, allocate nothing and never read past the terminating NUL.
// Output buffers follow the library's two conventions: `dest` of
// zubExtract holds destSize characters plus a NUL, `line` of zubMatchFile
// holds lineSize bytes including its NUL.

#include "listutil/listutil.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "frame/log.h"
#include "frame/text.h"

namespace {

// ---- text spans ------------------------------------------------------------

// A piece of text [begin, end); never contains a NUL.
struct Span {
    const char *begin;
    const char *end;
    int32_t Length() const { return static_cast<int32_t>(end - begin); }
};

bool IsLineEnd(char c) { return c == '\r' || c == '\n'; }
bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// The first CR, LF or NUL at or after pos.
const char *FindLineEnd(const char *pos) {
    while (*pos != '\0' && !IsLineEnd(*pos)) ++pos;
    return pos;
}

// Start of the next line after a line end (a CR or LF, never the NUL).
// A CR LF pair is one line end; an LF after an LF is an empty line of its
// own, and a CR alone ends a line without eating the next character.
const char *StepPastLineEnd(const char *end) {
    if (end[0] == '\r' && end[1] == '\n') return end + 2;
    return end + 1;
}

// Line 0 is the first line, or the whole text when it has no line end.
// Lines 1, 2, ... count from 1 and each must be ended by a CR or LF.
bool SelectLine(const char *text, int32_t lineNo, Span *out) {
    if (lineNo < 0) return false;
    const char *start = text;
    const char *end = FindLineEnd(start);
    for (int32_t i = 1; i < lineNo; ++i) {
        if (*end == '\0') return false;
        start = StepPastLineEnd(end);
        end = FindLineEnd(start);
    }
    if (lineNo != 0 && *end == '\0') return false;
    *out = Span{start, end};
    return true;
}

// Field 0 is the whole line; fields 1, 2, ... are separated by runs of
// spaces and tabs (leading blanks open no empty field).
bool SelectField(Span line, int32_t fieldNo, Span *out) {
    if (fieldNo < 0) return false;
    if (fieldNo == 0) {
        *out = line;
        return true;
    }
    const char *p = line.begin;
    for (int32_t i = 1;; ++i) {
        while (p < line.end && IsBlank(*p)) ++p;
        if (p == line.end) return false;
        const char *start = p;
        while (p < line.end && !IsBlank(*p)) ++p;
        if (i == fieldNo) {
            *out = Span{start, p};
            return true;
        }
    }
}

// ---- wildcard match ----------------------------------------------------------

char FoldCase(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// Matches without backtracking: '*' skips line characters up to the first
// one that equals (exactly, case and all) the pattern character after it,
// which then has to match that line character. This keeps a search over a
// large listing linear in its size.
bool MatchLine(Span line, const char *pat, bool exact) {
    const char *l = line.begin;
    while (l < line.end) {
        const char pc = *pat;
        if (pc == '\0') return false;  // line characters left over
        if (pc == '*') {
            const char stop = pat[1];
            if (stop == '\0') return true;  // a trailing '*' takes the rest
            while (l < line.end && *l != stop) ++l;
            ++pat;
            continue;
        }
        if (pc != '?') {
            const bool same = exact ? pc == *l : FoldCase(pc) == FoldCase(*l);
            if (!same) return false;
        }
        ++pat;
        ++l;
    }
    // A single '?' or '*' left over may match nothing.
    return pat[0] == '\0' || ((pat[0] == '?' || pat[0] == '*') && pat[1] == '\0');
}

// ---- output copies and numbers ---------------------------------------------

// Writes at most maxChars characters of s and a NUL; returns the count.
int32_t CopySpan(char *dest, int32_t maxChars, Span s) {
    int32_t n = s.Length() < maxChars ? s.Length() : maxChars;
    std::memcpy(dest, s.begin, static_cast<size_t>(n));
    dest[n] = '\0';
    return n;
}

// An offset may only point at or before the text's NUL: nothing behind the
// NUL belongs to the caller's text.
bool OffsetInText(const char *buffer, int32_t offset) {
    if (offset < 0) return false;
    for (int32_t i = 0; i < offset; ++i) {
        if (buffer[i] == '\0') return false;
    }
    return true;
}

// A non-empty run of decimal digits; values beyond the 32-bit range are
// held at INT32_MAX rather than wrapping into a negative "not found".
bool ParseDigits(Span s, int32_t *value) {
    if (s.begin == s.end) return false;
    int64_t v = 0;
    for (const char *p = s.begin; p < s.end; ++p) {
        if (*p < '0' || *p > '9') return false;
        v = v * 10 + (*p - '0');
        if (v > INT32_MAX) v = INT32_MAX;
    }
    *value = static_cast<int32_t>(v);
    return true;
}

// ---- trace line ----------------------------------------------------------------

// The call line carries the whole text, so it is cut to fit a 128-byte line
// while still ending in its arguments and CR LF.
void TraceCall(const char *text, int32_t firstField, int32_t lastField) {
    static const char kHead[] = "zubFileLength(";
    const size_t headLen = sizeof kHead - 1;
    char tail[32];
    const int tailLen = std::snprintf(tail, sizeof tail, ",%d,%d)\r\n", static_cast<int>(firstField),
                                      static_cast<int>(lastField));
    if (tailLen <= 0) return;
    char out[128];
    const size_t room = sizeof out - 1 - headLen - static_cast<size_t>(tailLen);
    std::memcpy(out, kHead, headLen);
    size_t n = 0;
    while (text != nullptr && n < room && text[n] != '\0') {
        out[headLen + n] = text[n];
        ++n;
    }
    std::memcpy(out + headLen + n, tail, static_cast<size_t>(tailLen) + 1);
    zub::TraceWrite("%s", out);
}

}  // namespace

// ---- the three utilities ---------------------------------------------------------

namespace zub {

int32_t MatchFile(const char *buffer, int32_t offset, char *line, int32_t lineSize, const char *pattern,
                  int32_t exact) {
    if (line != nullptr && lineSize > 0) line[0] = '\0';
    if (buffer == nullptr || pattern == nullptr || !OffsetInText(buffer, offset)) return 0;
    const char *pos = buffer + offset;
    for (;;) {
        const char *end = FindLineEnd(pos);
        if (*end == '\0') return 0;  // an unterminated last line is never matched
        const Span current{pos, end};
        pos = StepPastLineEnd(end);
        if (MatchLine(current, pattern, exact != 0)) {
            if (line != nullptr && lineSize > 0) CopySpan(line, lineSize - 1, current);
            return static_cast<int32_t>(pos - buffer);
        }
    }
}

int32_t Extract(const char *text, int32_t lineNo, int32_t fieldNo, char *dest, int32_t destSize) {
    const bool canWrite = dest != nullptr && destSize > 0;
    if (canWrite) dest[0] = '\0';
    if (text == nullptr || text[0] == '\0') return 0;
    Span line, field;
    if (!SelectLine(text, lineNo, &line) || !SelectField(line, fieldNo, &field)) return 0;
    if (destSize <= 0) return 0;
    // A null dest still reports the length it would have received.
    if (!canWrite) return field.Length() < destSize ? field.Length() : destSize;
    return CopySpan(dest, destSize, field);
}

int32_t FileLength(const char *text, int32_t firstField, int32_t lastField) {
    TraceCall(text, firstField, lastField);
    if (text == nullptr) return -1;
    // The last LF-terminated line of a listing is the entry asked about.
    Span line;
    if (!SelectLine(text, CountLines(text), &line)) return -1;
    const int64_t first = firstField < 0 ? 0 : firstField;
    int32_t value = 0;
    // Field 0 is the whole line (all digits only when it holds no blank).
    if (first == 0 && lastField > 0 && ParseDigits(line, &value)) return value;
    // Fields 1, 2, ... in one pass over the line, as SelectField numbers
    // them; the walk ends at the line's end or at lastField.
    const char *p = line.begin;
    for (int64_t f = 1; f < lastField; ++f) {
        while (p < line.end && IsBlank(*p)) ++p;
        if (p == line.end) break;
        const char *start = p;
        while (p < line.end && !IsBlank(*p)) ++p;
        if (f >= first && ParseDigits(Span{start, p}, &value)) return value;
    }
    return -1;
}

}  // namespace zub
