// text.h - dotted quads and reply-text scanners, over the text helpers of
// frame/text.h. All work on 8-bit NUL-terminated texts and never read past
// a NUL.
#pragma once

#include <cstdint>

#include "frame/text.h"

namespace zub {

int IsDottedQuad(const char *text);        // 1 or 0; fewer than four fields -> 0
uint32_t ParseDottedQuad(const char *text);
const char *ScanQuadField(const char *pos, uint32_t *value);  // null = none
const char *ScanNumber(const char *pos, uint32_t *value);     // behind the first non-digit
const char *FindDigit(const char *text);                      // null = none
// The port of a PASV reply's text: six numbers from the first digit on,
// each 0..255, one separator between them (spaces may follow it). 0 when
// there are fewer, one is out of range, or the port is 0.
uint16_t ParsePasvPort(const char *text);
// Cuts a quoted name at its closing quote (or CR), keeping each doubled
// quote ("") once: the PWD and MKD reply form.
void UndoubleQuotes(char *text);

}  // namespace zub
