// text.h - measuring and bounded copies of 8-bit NUL-terminated texts, and
// the dotted-quad form of an address; used by every layer. None reads past
// a NUL.
#pragma once

#include <cstdint>

namespace zub {

int32_t TextLength(const char *text);    // characters before the NUL; 0 for null
int32_t StringLength(const char *text);  // as TextLength, but at most 8192
int32_t CountLines(const char *text);    // number of LF characters; 0 for null
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
// Cuts a trailing CR LF off the text.
void TrimCrLf(char *text);
// A local directory text of n characters (with room for one more) that is
// not empty and does not end in the platform's path separator gets one;
// returns the new length.
int32_t EndWithSeparator(char *path, int32_t n);

int32_t FormatDottedQuad(uint32_t addr, char *buf, int32_t size);  // 0 when size < 17

}  // namespace zub
