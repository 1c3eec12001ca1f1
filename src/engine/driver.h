// driver.h - what the state groups share: the error exit, the command and
// reply patterns, the data-socket and local-file helpers.
#pragma once

#include <cstdint>

#include "engine/states.h"
#include "frame/record.h"

namespace zub {

// The single error exit: logs one ERROR line, makes the channel idle,
// records the socket code, closes the local file. Returns sockCode when it
// is negative, else code.
int32_t FailStep(ChannelRecord *rec, int32_t sockCode, int32_t code);
// "sss.mmm" of the low 19 bits of a tick, in a buffer of the caller's own.
struct TickText {
    char text[16];
};
TickText TickStamp(uint32_t tick);

// Command pattern: CmdBuf is already formatted. Empties ReplyBuf, sends,
// arms NextTime/TimeStop and moves to successor; a send failure e gives
// FailStep(e, failCode).
int32_t SendCommand(ChannelRecord *rec, uint32_t now, int32_t failCode, int32_t successor);
// Reads a whole reply: kStepDone, or FailStep's result for an error reply,
// a failed read, or a connection closed before any reply.
int32_t TakeReply(ChannelRecord *rec);
// Reply pattern: when a reply is there, reads it; failure r gives
// FailStep(0, r); success sets NextState = successor and returns
// kStepDone. *got tells whether a reply was read.
int32_t ReplyState(ChannelRecord *rec, int32_t successor, bool *got = nullptr);

void CloseDataSockets(ChannelRecord *rec, uint32_t lingerMs);
void DropStaleSockets(ChannelRecord *rec);  // closes leftover data sockets, not the file
// Opens the active-mode listener: kStepDone, or FailStep's result.
int32_t OpenListener(ChannelRecord *rec);
int32_t OpenLocalFile(ChannelRecord *rec, const char *name, char mode);
void CloseLocalFile(ChannelRecord *rec);

}  // namespace zub
