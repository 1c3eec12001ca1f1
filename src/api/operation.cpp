// operation.cpp - the operation frame: check, entry line, arm, run.
#include "api/operation.h"

#include "engine/driver.h"
#include "frame/log.h"
#include "net/net.h"
#include "net/text.h"
#include "zub32.h"
#include "platform/platform.h"

namespace zub {

int32_t EnterOperation(const ChannelCall &call, const char *name) {
    if (int32_t bad = call.Refused()) return bad;
    LogWrite(call.Rec(), "*** %s\r\n", name);
    return 0;
}

int32_t RefuseText(ChannelRecord *rec) {
    LogText(rec, "Text refused: a line end, or longer than its field.\r\n");
    return ZUB_E_CANNOT_COMPLY;
}

int32_t CheckText(ChannelRecord *rec, const char *text, int32_t max) {
    return FitsField(text, max) ? 0 : RefuseText(rec);
}

int32_t RunOperation(ChannelRecord *rec, int32_t firstState, bool drain) {
    rec->NextState = firstState;
    rec->NextTime = 0;
    rec->TimeStop = 0;
    // The quiet end of a deadline belongs to the transfer whose connection
    // was accepted, not to whatever operation comes next.
    rec->StopCode = 0;
    if (rec->AutoCall == 0) return 0;
    if (drain) DrainReplies(rec);
    int32_t r;
    while ((r = DriverStep(rec)) > 0) {
        BulkIdleWait(rec);
        YieldProcessor();
    }
    return r;
}

}  // namespace zub
