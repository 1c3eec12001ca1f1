// transfer.cpp - downloads (REST, RETR) and uploads (STOR, APPE) block by
// block, the completion reply shared with listings, and the local file.
//
// Divisions: local file, download (301-308), upload (401-408),
// completion (350).
#include "engine/driver.h"
#include "frame/log.h"
#include "net/net.h"
#include "net/text.h"
#include "platform/platform.h"
#include "zub32.h"

namespace zub {

// ---- local file -------------------------------------------------------------------
int32_t OpenLocalFile(ChannelRecord *rec, const char *name, char mode) {
    CopyLine(rec->FileName, name, kNameFieldSize);
    char *path = rec->DataBuf;
    // An absolute name is the caller's whole path; only a relative one
    // goes into the local directory.
    int32_t n = zp_path_is_absolute(rec->FileName) ? 0 : BoundedCopy(path, rec->LocalDir, kNameFieldSize);
    n = EndWithSeparator(path, n);
    BoundedCopy(path + n, rec->FileName, kNameFieldSize);
    int32_t h;
    if (mode == 'W') {
        h = zp_file_create(path, ZP_ATTR_NORMAL);
    } else {
        h = zp_file_open(path, mode == 'R' ? ZP_OPEN_READ : ZP_OPEN_WRITE);
        if (h > 0) zp_file_seek(h, static_cast<int64_t>(rec->AppendOffset), ZP_SEEK_SET);
    }
    rec->AppendOffset = 0;
    LogWrite(rec, h > 0 ? "'%s' opened\r\n" : "Cannot open '%s'\r\n", path);
    return h;
}

void CloseLocalFile(ChannelRecord *rec) {
    if (rec->LocalFile == 0) return;
    zp_file_close(rec->LocalFile);
    rec->LocalFile = 0;
    LogText(rec, "Closing file\r\n");
}

namespace {
// After the transfer command: passive goes to the reply, active first waits
// for the server's connection.
void AfterTransferCommand(ChannelRecord *rec, int32_t replyState) {
    if (rec->PassiveMode) {
        rec->NextState = replyState;
    } else {
        rec->NextState = S_AcceptEnter;
        rec->ReturnState = replyState;
    }
}
}  // namespace

// ---- download -------------------------------------------------------------------------
int32_t State_GetStart(ChannelRecord *rec, uint32_t) { return ToDataConnection(rec, S_SendRest); }

int32_t State_SendRest(ChannelRecord *rec, uint32_t now) {
    if (rec->ResumeFlag) {
        zp_format(rec->CmdBuf, "REST %lu\r\n", static_cast<unsigned long>(rec->RestartOffset));
        rec->RestartOffset = 0;
        int32_t r = SendCommand(rec, now, ZUB_E_WRITE_ERROR, S_RestReply);
        if (r != kStepDone) return r;
    } else {
        rec->NextState = S_SendRetr;
    }
    ArmWait(rec, now, EngineSettings.ResponseDelay, EngineSettings.DataWait);
    return kStepDone;
}

int32_t State_RestReply(ChannelRecord *rec, uint32_t) { return ReplyState(rec, S_SendRetr); }

int32_t State_SendRetr(ChannelRecord *rec, uint32_t now) {
    rec->DataRing.EmptyPolls = 0;
    zp_format(rec->CmdBuf, "RETR %s\r\n", rec->FileName);
    int32_t r = SendCommand(rec, now, ZUB_E_WRITE_ERROR, S_RetrReply);
    if (r != kStepDone) return r;
    ArmWait(rec, now, EngineSettings.ResponseDelay, EngineSettings.DataWait);
    AfterTransferCommand(rec, S_RetrReply);
    return kStepDone;
}

int32_t State_RetrReply(ChannelRecord *rec, uint32_t) {
    bool got;
    int32_t r = ReplyState(rec, S_ReceiveBlock, &got, true);
    if (!got) return r;
    const char *local = rec->FileName2[0] ? rec->FileName2 : rec->FileName;
    int32_t h = OpenLocalFile(rec, local, rec->ResumeFlag ? 'A' : 'W');
    rec->ResumeFlag = 0;
    if (h <= 0) return FailStep(rec, 0, ZUB_E_CANNOT_OPEN_FILE);
    rec->LocalFile = h;
    return ProtectData(rec, S_ReceiveBlock);
}

namespace {
// The server closed the data connection: the file is complete.
int32_t DownloadDataEnded(ChannelRecord *rec, uint32_t now) {
    ArmWait(rec, now, EngineSettings.ResponseDelay, EngineSettings.ResponseWait);
    rec->NextState = S_GetClose;
    return kStepDone;
}

int32_t DownloadFileFailed(ChannelRecord *rec) {
    // The rest of the download is abandoned: nothing of ours is in flight,
    // so the short pause of a download's end is enough.
    CloseDataSockets(rec, 125);
    return FailStep(rec, 0, ZUB_E_FILE_WRITE);
}

void CountReceived(ChannelRecord *rec, int32_t n) {
    rec->GetBytes = WrapAdd(rec->GetBytes, n);
    rec->GetTotal = WrapAdd(rec->GetTotal, n);
}

// One step of the bulk path: what the connection holds now, in large
// pieces, with the same ends as the block path.
int32_t ReceiveBulk(ChannelRecord *rec, uint32_t now) {
    BulkMove m = BulkReceive(rec);
    if (m.Moved > 0) {
        CountReceived(rec, m.Moved);
        rec->NextTime = 0;
        rec->TimeStop = TickAdd(now, EngineSettings.ResponseWait);
    }
    if (m.FileFailed) return DownloadFileFailed(rec);
    if (m.End < 0) return FailStep(rec, m.End, ZUB_E_READ_ERROR);
    return m.End == 1 ? DownloadDataEnded(rec, now) : kStepDone;
}
}  // namespace

int32_t State_ReceiveBlock(ChannelRecord *rec, uint32_t now) {
    if (BulkFor(rec)) return ReceiveBulk(rec, now);
    int32_t w = RingWait(&rec->DataRing, 0);
    if (w == 0) return kStepDone;
    // A failed receive is reported by the wait itself and not again by a
    // read after it, which would see only the end of the stream.
    int32_t r = w < 0 ? w : RingRead(&rec->DataRing, rec->DataBuf, kDataBufSize);
    if (r == ZUB_E_SOCKET_CLOSED || r == 0) return DownloadDataEnded(rec, now);
    if (r < 0) return FailStep(rec, r, ZUB_E_READ_ERROR);
    // What the socket already holds goes through the ring too, into the
    // rest of the buffer, so the file gets one write for several reads. A
    // failure found on the way is reported after the bytes before it are
    // written, as it would be by the next step. Once the buffer is full, a
    // last fill stays in the ring: the next step starts from it and needs no
    // poll while the data keeps coming.
    int32_t failed = 0;
    for (;;) {
        int32_t more = RingFillMore(&rec->DataRing);
        if (more < 0) failed = more;
        if (more <= 0 || kDataBufSize - r < kRingSize - 1) break;
        r += RingRead(&rec->DataRing, rec->DataBuf + r, kDataBufSize - r);
    }
    if (zp_file_write(rec->LocalFile, rec->DataBuf, static_cast<uint32_t>(r)) != r) return DownloadFileFailed(rec);
    CountReceived(rec, r);
    if (failed < 0) return FailStep(rec, failed, ZUB_E_READ_ERROR);
    rec->NextTime = 0;
    rec->TimeStop = TickAdd(now, EngineSettings.ResponseWait);
    return kStepDone;
}

// Past this point the server has closed the data connection: the data is
// all there and only the completion reply is missing. In active mode a
// deadline that passes now ends quietly (StopCode 1); a stall before the
// end of the data stays a timeout.
void DataReachedItsEnd(ChannelRecord *rec) {
    if (!rec->PassiveMode) rec->StopCode = 1;
}

int32_t State_GetClose(ChannelRecord *rec, uint32_t now) {
    DataReachedItsEnd(rec);
    // The server ended the data itself and waits for nothing from us: a
    // short pause, not an upload's 500.
    CloseDataSockets(rec, 125);
    LogWrite(rec, "%lu bytes received\r\n", static_cast<unsigned long>(static_cast<uint32_t>(rec->GetBytes)));
    ArmWait(rec, now, EngineSettings.ResponseDelay, EngineSettings.ResponseWait);
    rec->NextState = S_TransferDone;
    return kStepDone;
}

// ---- upload ---------------------------------------------------------------------------
int32_t State_PutStart(ChannelRecord *rec, uint32_t) {
    BulkUploadBegins(rec);
    return ToDataConnection(rec, S_SendStor);
}

int32_t State_SendStor(ChannelRecord *rec, uint32_t now) {
    const char *remote = rec->FileName2[0] ? rec->FileName2 : rec->FileName;
    zp_format(rec->CmdBuf, rec->ResumeFlag ? "APPE %s\r\n" : "STOR %s\r\n", remote);
    rec->ResumeFlag = 0;
    int32_t r = SendCommand(rec, now, ZUB_E_WRITE_ERROR, S_StorReply);
    if (r != kStepDone) return r;
    ArmWait(rec, now, EngineSettings.ResponseDelay, EngineSettings.DataWait);
    AfterTransferCommand(rec, S_StorReply);
    return kStepDone;
}

int32_t State_StorReply(ChannelRecord *rec, uint32_t) {
    bool got;
    int32_t r = ReplyState(rec, S_SendBlock, &got, true);
    return got ? ProtectData(rec, S_SendBlock) : r;
}

namespace {
int32_t UploadFileEnded(ChannelRecord *rec, uint32_t now) {
    LogText(rec, "[EOF]\r\n");
    rec->WaitWritable = 1;
    ArmWait(rec, now, EngineSettings.EndDelay, EngineSettings.ResponseWait);
    rec->NextState = S_PutClose;
    return kStepDone;
}

void CountSent(ChannelRecord *rec, int32_t n) {
    rec->PutBytes = WrapAdd(rec->PutBytes, n);
    rec->PutTotal = WrapAdd(rec->PutTotal, n);
}

// One step of the bulk path: as much of the file as the socket takes now.
// A step that sent nothing keeps the deadline of the last piece.
int32_t SendBulk(ChannelRecord *rec, uint32_t now) {
    BulkMove m = BulkSend(rec);
    if (m.Moved > 0) CountSent(rec, m.Moved);
    // A read error is no end of file: the server would keep a cut copy.
    if (m.FileFailed) return FailStep(rec, 0, ZUB_E_CANNOT_OPEN_FILE);
    if (m.End < 0) return FailStep(rec, m.End, ZUB_E_WRITE_ERROR);
    if (m.End == 1) return UploadFileEnded(rec, now);
    rec->WaitWritable = 1;
    if (m.Moved > 0) ArmWait(rec, now, EngineSettings.BlockDelay, EngineSettings.BlockWait);
    return kStepDone;
}
}  // namespace

int32_t State_SendBlock(ChannelRecord *rec, uint32_t now) {
    if (BulkFor(rec)) return SendBulk(rec, now);
    int32_t n = zp_file_read(rec->LocalFile, rec->DataBuf, EngineSettings.BlockSize);
    // A read error is no end of file: the server would keep a cut copy.
    if (n < 0) return FailStep(rec, 0, ZUB_E_CANNOT_OPEN_FILE);
    if (n == 0) return UploadFileEnded(rec, now);
    int32_t s = SendAll(rec->DataSock, rec->DataBuf, n);
    if (s < 0) return FailStep(rec, s, ZUB_E_WRITE_ERROR);
    CountSent(rec, s);
    rec->WaitWritable = 1;
    ArmWait(rec, now, EngineSettings.BlockDelay, EngineSettings.BlockWait);
    return kStepDone;
}

int32_t State_PutClose(ChannelRecord *rec, uint32_t now) {
    LogWrite(rec, "%lu bytes transmitted\r\n", static_cast<unsigned long>(static_cast<uint32_t>(rec->PutBytes)));
    CloseDataSockets(rec, 500);  // the close tells the server the file is complete
    ArmWait(rec, now, EngineSettings.ResponseDelay, EngineSettings.ResponseWait);
    rec->NextState = S_TransferDone;
    return kStepDone;
}

// ---- completion -------------------------------------------------------------------------
int32_t State_TransferDone(ChannelRecord *rec, uint32_t) {
    if (!AwaitWritable(rec->CtrlSock, 0)) return ControlLost(rec);
    bool got;
    int32_t r = ReplyState(rec, S_Idle, &got);
    if (got && rec->ServerCode != 226 && rec->ServerCode != 250) LogText(rec, "[WARNING: 226/250 not seen]\r\n");
    return r;
}

}  // namespace zub
