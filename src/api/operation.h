// operation.h - the frame every exported operation shares.
#pragma once

#include <cstdint>

#include "frame/record.h"

namespace zub {

// The call's refusal (-15/-8), or 0 after the "*** name" entry line.
int32_t EnterOperation(const ChannelCall &call, const char *name);
// Arms firstState and clears the deadlines. With AUTO_CALL off returns 0 at
// once; otherwise drains stale replies (when asked) and steps the driver
// until it returns 0 or less, and returns that.
int32_t RunOperation(ChannelRecord *rec, int32_t firstState, bool drain);
// Text bound for a command line must be one line that fits its field: a CR
// or LF would end the command early and start another, and a cut text would
// name something else. 0, or -6 (logged) before anything is sent.
int32_t CheckText(ChannelRecord *rec, const char *text, int32_t max);
int32_t RefuseText(ChannelRecord *rec);  // logs the refusal, -6

}  // namespace zub
