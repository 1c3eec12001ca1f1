// errors.h - result texts.
#pragma once

#include <cstdint>

#include "frame/record.h"

namespace zub {

const char *ErrorTextOf(int32_t code);  // null when the code has no row
// The text of code into buffer (size including the NUL), with the last reply
// line appended for -18 and -9; returns the characters written.
int32_t FormatErrorText(ChannelRecord *rec, int32_t code, char *buffer, int32_t size);

}  // namespace zub
