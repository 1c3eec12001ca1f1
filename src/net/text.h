// text.h - bounded text copies, dotted quads and reply-text scanners.
// All work on 8-bit NUL-terminated texts and never read past a NUL.
#pragma once

#include <cstdint>

namespace zub {

int32_t TextLength(const char *text);  // characters before the NUL; 0 for null
int32_t CountLines(const char *text);  // number of LF characters; 0 for null
// Copies at most n characters then a NUL (dest holds n + 1); returns the
// characters copied; 0 and nothing written when a pointer is null.
int32_t BoundedCopy(char *dest, const char *src, int32_t n);
// As BoundedCopy, but a CR or LF ends the copy (only the first line).
int32_t CopyLine(char *dest, const char *src, int32_t n);
// True when the text is one line (no CR, no LF) of at most max characters;
// a null text counts as empty.
bool FitsField(const char *text, int32_t max);
// Appends while the whole text stays below size characters.
void BoundedAppend(char *dest, const char *src, int32_t size);

int IsDottedQuad(const char *text);        // 1 or 0; fewer than four fields -> 0
uint32_t ParseDottedQuad(const char *text);
int32_t FormatDottedQuad(uint32_t addr, char *buf, int32_t size);  // 0 when size < 17
const char *ScanQuadField(const char *pos, uint32_t *value);  // null = none
const char *ScanNumber(const char *pos, uint32_t *value);     // behind the first non-digit
const char *FindDigit(const char *text);                      // null = none
const char *FindQuoteEnd(const char *text);                   // first NUL, CR or '"'
int FindChar(const char *buf, int n, char c);                 // index, -1 absent or after a NUL

}  // namespace zub
