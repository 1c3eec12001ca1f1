// driver.cpp - the step function behind zubDriver: one state of one
// channel per call, with pacing, deadlines, the state log lines and the
// single error exit.
//
// Divisions: state table, tick stamps, error exit, command and reply
// patterns, the step function.
#include "engine/driver.h"

#include "frame/errors.h"
#include "frame/log.h"
#include "net/net.h"
#include "net/text.h"
#include "platform/platform.h"
#include "zub32.h"

namespace zub {

// ---- state table ----------------------------------------------------------------
namespace {
const StateInfo kStates[] = {
#define ZUB_STATE_ROW(num, name, group) {num, #name, State_##name},
    ZUB_STATE_TABLE(ZUB_STATE_ROW)
#undef ZUB_STATE_ROW
};
}  // namespace

const StateInfo *FindState(int32_t number) {
    for (const StateInfo &s : kStates)
        if (s.number == number) return &s;
    return nullptr;
}

const char *StateName(int32_t number) {
    const StateInfo *s = FindState(number);
    return s ? s->name : "?";
}

// ---- tick stamps ------------------------------------------------------------------
// The text is returned by value: channels stepped on different threads each
// format their own stamp.
TickText TickStamp(uint32_t tick) {
    char stamp[ZP_FORMAT_MAX];
    uint32_t m = tick & 0x7FFFF;
    zp_format(stamp, "%3ld.%3ld", static_cast<long>(m / 1000), static_cast<long>(m % 1000));
    TickText out = {};
    for (size_t i = 0; i + 1 < sizeof out.text && stamp[i]; ++i) out.text[i] = stamp[i] == ' ' ? '0' : stamp[i];
    return out;
}

// ---- error exit --------------------------------------------------------------------
namespace {
void LogCodeText(ChannelRecord *rec, int32_t code) {
    char text[256];
    FormatErrorText(rec, code, text, sizeof text);
    LogText(rec, text);
}
}  // namespace

namespace {
bool IsCloseState(int32_t state) { return state == S_SendQuit || state == S_QuitReply; }
}  // namespace

int32_t FailStep(ChannelRecord *rec, int32_t sockCode, int32_t code) {
    // A failed close still ends the session (a passed deadline fails before
    // the state runs, with only NextState telling where the channel was).
    const bool closing = IsCloseState(rec->ThisState) || (rec->ThisState == -1 && IsCloseState(rec->NextState));
    if (rec->LogFile) {
        LogWrite(rec, "ERROR(%s): SockCode=%d zubCode=%d PrevState=%d ThisState=%d NextState=%d\r\n",
                 TickStamp(zp_ticks()).text, static_cast<int>(sockCode), static_cast<int>(code),
                 static_cast<int>(rec->PrevState), static_cast<int>(rec->ThisState),
                 static_cast<int>(rec->NextState));
        if (code == ZUB_E_NOT_COMPLETED) {
            LogWrite(rec, "ServerCode=%d\r\n", static_cast<int>(rec->ServerCode));
            LogWrite(rec, "[%s]\n", rec->ReplyBuf);
        }
        if (code < 0) LogCodeText(rec, code);
        if (sockCode < 0) LogCodeText(rec, sockCode);
    }
    rec->NextState = 0;
    rec->PrevState = rec->ThisState;
    rec->ThisState = -1;
    rec->SockCode = sockCode;
    rec->StopCode = 0;
    // An idle channel has no deadline: a passed TimeStop left armed would
    // fail every later step again, the quiet end of an accepted transfer
    // included (1, then -22 on the very next call).
    rec->NextTime = 0;
    rec->TimeStop = 0;
    CloseLocalFile(rec);
    if (closing) EndSession(rec);
    zp_sleep(0);
    return sockCode < 0 ? sockCode : code;
}

// ---- command and reply patterns ------------------------------------------------------
void ArmWait(ChannelRecord *rec, uint32_t now, uint32_t delay, uint32_t wait) {
    rec->NextTime = TickAdd(now, delay);
    rec->TimeStop = TickAdd(now, wait);
}

int32_t SendCommand(ChannelRecord *rec, uint32_t now, int32_t failCode, int32_t successor) {
    rec->ReplyBuf[0] = 0;
    int32_t e = SendAll(rec->CtrlSock, rec->CmdBuf, TextLength(rec->CmdBuf));
    if (e < 0) return FailStep(rec, e, failCode);
    ArmWait(rec, now, EngineSettings.ResponseDelay, EngineSettings.ResponseWait);
    rec->NextState = successor;
    return kStepDone;
}

int32_t TakeReply(ChannelRecord *rec) { return TakeReadReply(rec, ReadReply(rec)); }

int32_t TakeReadReply(ChannelRecord *rec, int32_t r) {
    if (r < 0) return FailStep(rec, 0, r);
    // 1: the connection closed before a whole reply came. That is no reply,
    // and the state has moved on before any deadline could catch it, so it
    // would pass for a success.
    if (r == 1) return FailStep(rec, ZUB_E_SOCKET_CLOSED, ZUB_E_READ_ERROR);
    return kStepDone;
}

int32_t ReplyBegun(ChannelRecord *rec) {
    int32_t w = RingWait(&rec->CtrlRing, 0);
    return w < 0 ? FailStep(rec, w, ZUB_E_READ_ERROR) : w;
}

int32_t ControlLost(ChannelRecord *rec) {
    int32_t w = RingWait(&rec->CtrlRing, 0);
    return FailStep(rec, w < ZUB_E_SOCKET_CLOSED ? w : ZUB_E_SOCKET_CLOSED, 0);
}

bool IsPreliminary(const ChannelRecord *rec) { return rec->ServerCode >= 100 && rec->ServerCode < 200; }

int32_t ReplyState(ChannelRecord *rec, int32_t successor, bool *got, bool takePreliminary) {
    if (got) *got = false;
    if (int32_t begun = ReplyBegun(rec); begun <= 0) return begun == 0 ? kStepDone : begun;
    int32_t r = TakeReply(rec);
    if (r != kStepDone) return r;
    if (!takePreliminary && IsPreliminary(rec)) return kStepDone;
    if (got) *got = true;
    rec->NextState = successor;
    return kStepDone;
}

// ---- the step function ------------------------------------------------------------------
int32_t State_Idle(ChannelRecord *rec, uint32_t) {
    rec->ThisState = -1;
    rec->NextTime = 0;
    rec->TimeStop = 0;
    return 0;
}

namespace {

// Each line goes out in one write, so that a trace line written by another
// channel's thread into the same file never lands inside it.
void WriteTrailer(ChannelRecord *rec) {
    if (!rec->LogFile) return;
    char line[3 + kCmdBufSize + 3];
    if (rec->CmdBuf[0]) {
        // The password never reaches the log, whatever its length.
        const bool isPass = rec->ThisState == S_SendPass && rec->CmdBuf[0] == 'P';
        BoundedCopy(line, "S: ", 3);
        BoundedAppend(line, isPass ? "PASS ****" : rec->CmdBuf, 3 + kCmdBufSize);
        TrimCrLf(line);
        BoundedAppend(line, "\r\n", sizeof line);
        LogText(rec, line);
    }
    if (rec->ReplyBuf[0]) {
        BoundedCopy(line, "R: ", 3);
        BoundedAppend(line, rec->ReplyBuf, sizeof line);
        LogText(rec, line);
    }
}

// Returns true when the step may run now; *result is the value to return
// otherwise.
bool ReadyToRun(ChannelRecord *rec, uint32_t now, int32_t *result) {
    if (rec->NextTime != 0 && TickAfter(rec->NextTime, now)) {
        zp_sleep(EngineSettings.SleepTime);
        *result = ZUB_PACING;
        return false;
    }
    if (rec->TimeStop != 0 && TickAfter(now, rec->TimeStop)) {
        LogWrite(rec, "TimeStop exceeded [%ld:%ld]\r\n", static_cast<long>(now), static_cast<long>(rec->TimeStop));
        *result = FailStep(rec, 0, rec->StopCode != 0 ? rec->StopCode : ZUB_E_TIMEOUT);
        return false;
    }
    if (rec->WaitWritable != 0) {
        // A socket in the error condition (or none at all) never becomes
        // writable: let the state see it instead of waiting for ever.
        // An upload block sends on the data socket right after: one poll
        // asks about both sockets.
        const bool block = rec->NextState == S_SendBlock && rec->DataSock > 0;
        const int answers = block ? PollTwoAnswers(rec->CtrlSock, rec->DataSock) : PollAnswers(rec->CtrlSock);
        if (answers & (1 << ZP_POLL_ERROR)) {
            rec->WaitWritable = 0;
            return true;
        }
        if (!(answers & (1 << ZP_POLL_WRITABLE))) {
            ForgetAnsweredAhead();
            zp_sleep(EngineSettings.SleepTime);
            *result = ZUB_PACING;
            return false;
        }
        rec->WaitWritable = 0;
    }
    return true;
}

}  // namespace

int32_t DriverStep(ChannelRecord *rec) {
    rec->CmdBuf[0] = 0;
    rec->ReplyBuf[0] = 0;
    uint32_t now = zp_ticks();
    int32_t result;
    if (!ReadyToRun(rec, now, &result)) return result;

    rec->ThisState = rec->NextState;
    if (rec->ThisState > 0) ++rec->StepCount;
    if (rec->ThisState != rec->PrevState)
        LogWrite(rec, "<%3d:%s>\r\n", static_cast<int>(rec->ThisState), TickStamp(now).text);

    const StateInfo *state = FindState(rec->ThisState);
    if (!state) {
        // A state outside the table would never end by itself: fail the step.
        LogWrite(rec, "ERROR! Unknown state %d\r\n", static_cast<int>(rec->ThisState));
        return FailStep(rec, 0, ZUB_E_NOT_COMPLETED);
    }
    if (state->number == S_Idle) return State_Idle(rec, now);
    int32_t direct = state->run(rec, now);
    ForgetAnsweredAhead();
    if (direct != kStepDone) return direct;

    WriteTrailer(rec);
    rec->PrevState = rec->ThisState;
    rec->ThisState = -1;
    // After the trailer, so that the last reply of the session is logged.
    if (rec->NextState == S_Idle && IsCloseState(rec->PrevState)) EndSession(rec);
    return rec->NextState;
}

}  // namespace zub
