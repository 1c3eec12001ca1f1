// listutil.h - the list buffer utilities behind zubMatchFile, zubExtract
// and zubFileLength (include/zub32.h says what each answers). They take no
// channel, allocate nothing and never read past the text's NUL.
#pragma once

#include <cstdint>

namespace zub {

int32_t MatchFile(const char *buffer, int32_t offset, char *line, int32_t lineSize, const char *pattern,
                  int32_t exact);
int32_t Extract(const char *text, int32_t lineNo, int32_t fieldNo, char *dest, int32_t destSize);
int32_t FileLength(const char *text, int32_t firstField, int32_t lastField);

}  // namespace zub
