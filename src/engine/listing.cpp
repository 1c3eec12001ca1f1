// listing.cpp - LIST, NLST and MLSD read over a data connection into the
// application's buffer, NUL-terminated after every piece, with overflow
// noted rather than failed so that the transfer still completes.
#include "engine/driver.h"
#include "frame/log.h"
#include "net/net.h"
#include "net/text.h"
#include "platform/platform.h"
#include "zub32.h"

namespace zub {

int32_t State_ListStart(ChannelRecord *rec, uint32_t) { return ToDataConnection(rec, S_SendList); }

namespace {
// MLSD is sent for its two kinds while the channel's setting asks for it,
// until the session's server has refused it once.
bool SendsMlsd(const ChannelRecord *rec) {
    const FtpChannel &f = FtpOf(rec);
    return f.Mlsd && !f.MlsdRefused && (rec->ListKind == ZUB_MLSD || rec->ListKind == ZUB_MLSD_ARG);
}

void FormatListCommand(ChannelRecord *rec) {
    // The caller's buffer holds the command's argument on entry.
    const char *arg = rec->ListPtr ? rec->ListPtr : "";
    FtpOf(rec).MlsdSent = SendsMlsd(rec);
    if (FtpOf(rec).MlsdSent) {
        if (rec->ListKind == ZUB_MLSD)
            zp_format(rec->CmdBuf, "MLSD\r\n");
        else
            zp_format(rec->CmdBuf, "MLSD %s\r\n", arg);
        return;
    }
    // MLSD refused: kind 4 asks LIST, kind 5 LIST <arg>. Without the
    // setting both list as any other kind from 2 on: LIST <arg>.
    const int32_t kind = FtpOf(rec).Mlsd && rec->ListKind == ZUB_MLSD ? ZUB_LIST : rec->ListKind;
    switch (kind) {
    case ZUB_NLST: zp_format(rec->CmdBuf, "NLST\r\n"); break;
    case ZUB_NLST_ARG: zp_format(rec->CmdBuf, "NLST %s\r\n", arg); break;
    default:  // ZUB_LIST, ZUB_LIST_ARG, and any other kind as the nearer of the two
        if (kind < ZUB_LIST_ARG)
            zp_format(rec->CmdBuf, "LIST\r\n");
        else
            zp_format(rec->CmdBuf, "LIST %s\r\n", arg);
    }
}
}  // namespace

int32_t State_SendList(ChannelRecord *rec, uint32_t now) {
    FormatListCommand(rec);
    int32_t r = SendCommand(rec, now, ZUB_E_WRITE_ERROR, S_ListReply);
    if (r != kStepDone) return r;
    if (!rec->PassiveMode) {
        rec->NextState = S_AcceptEnter;
        rec->ReturnState = S_ListReply;
    }
    return kStepDone;
}

bool MlsdFallsBack(ChannelRecord *rec, int32_t r) {
    FtpChannel &f = FtpOf(rec);
    const int32_t code = rec->ServerCode;
    if (!f.MlsdSent || r != ZUB_E_SERVER_ERROR || (code != 500 && code != 502 && code != 504)) return false;
    LogText(rec, "MLSD refused: LIST instead\r\n");
    f.MlsdRefused = true;
    f.MlsdSent = false;
    DropStaleSockets(rec);
    rec->NextTime = 0;
    rec->TimeStop = 0;
    rec->NextState = S_ListStart;
    return true;
}

int32_t State_ListReply(ChannelRecord *rec, uint32_t) {
    if (int32_t begun = ReplyBegun(rec); begun <= 0) return begun == 0 ? kStepDone : begun;
    const int32_t read = ReadReply(rec);
    if (MlsdFallsBack(rec, read)) return kStepDone;
    if (int32_t r = TakeReadReply(rec, read); r != kStepDone) return r;
    rec->NextState = S_ReceiveList;
    rec->ListOverflow = 0;
    return ProtectData(rec, S_ReceiveList);
}

namespace {
// Stores one piece with its terminator, or notes the overflow and drops it.
void StorePiece(ChannelRecord *rec, const char *piece, int32_t r) {
    if (!rec->ListPtr || r >= rec->ListRoom) {
        rec->ListOverflow = 1;
        return;
    }
    for (int32_t i = 0; i < r && piece[i]; ++i) rec->ListPtr[i] = piece[i];
    rec->ListPtr += r;
    *rec->ListPtr = 0;
    rec->ListRoom -= r;
    rec->ListCount += r;
}
}  // namespace

int32_t State_ReceiveList(ChannelRecord *rec, uint32_t now) {
    int32_t w = RingWait(&rec->DataRing, 0);
    if (w == 0) return kStepDone;
    for (int i = 0; i < kReplyBufSize; ++i) rec->ReplyBuf[i] = 0;
    // A failed receive shows in the wait; a read after it would see only
    // the end of the stream.
    int32_t r = w < 0 ? w : RingRead(&rec->DataRing, rec->ReplyBuf, kReplyBufSize - 2);
    if (r == ZUB_E_SOCKET_CLOSED || r == 0) {
        ArmWait(rec, now, EngineSettings.ResponseDelay, EngineSettings.ResponseWait);
        rec->NextState = S_ListClose;
        return kStepDone;
    }
    if (r < 0) return FailStep(rec, r, ZUB_E_READ_ERROR);
    StorePiece(rec, rec->ReplyBuf, r);
    return kStepDone;
}

int32_t State_ListClose(ChannelRecord *rec, uint32_t) {
    DataReachedItsEnd(rec);
    // The server ended the listing itself and waits for nothing from us: a
    // short pause, not an upload's 500.
    CloseDataSockets(rec, 125);
    if (!AwaitWritable(rec->CtrlSock, 0)) return ControlLost(rec);
    rec->NextState = S_TransferDone;
    return kStepDone;
}

}  // namespace zub
