// listutil_api.cpp - the list buffer utilities: zubMatchFile, zubExtract,
// zubFileLength. They take no channel, so no call frame either.
#include "listutil/listutil.h"
#include "zub32.h"

extern "C" ZUB_EXPORT int32_t ZUB_CALL zubMatchFile(const char *buffer, int32_t offset, char *line,
                                                    int32_t lineSize, const char *pattern, int32_t exact) {
    return zub::MatchFile(buffer, offset, line, lineSize, pattern, exact);
}

extern "C" ZUB_EXPORT int32_t ZUB_CALL zubExtract(const char *text, int32_t lineNo, int32_t fieldNo, char *dest,
                                                  int32_t destSize) {
    return zub::Extract(text, lineNo, fieldNo, dest, destSize);
}

extern "C" ZUB_EXPORT int32_t ZUB_CALL zubFileLength(const char *text, int32_t firstField, int32_t lastField) {
    return zub::FileLength(text, firstField, lastField);
}
