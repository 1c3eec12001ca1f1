// commands.cpp - the one-command, one-reply states: NOOP, CWD, PWD, DELE,
// RMD, MKD, TYPE and the application's raw command.
//
// Divisions: keep-alive, directories and files, type, raw command.
#include "engine/driver.h"
#include "frame/log.h"
#include "net/net.h"
#include "net/text.h"
#include "platform/platform.h"
#include "zub32.h"

namespace zub {

// ---- keep-alive --------------------------------------------------------------------
int32_t State_SendNoop(ChannelRecord *rec, uint32_t now) {
    zp_format(rec->CmdBuf, "NOOP\r\n");
    return SendCommand(rec, now, ZUB_E_CONNECT_ERROR, S_NoopReply);
}

int32_t State_NoopReply(ChannelRecord *rec, uint32_t) { return ReplyState(rec, S_Idle); }

// ---- directories and files -------------------------------------------------------------
int32_t State_SendCwd(ChannelRecord *rec, uint32_t now) {
    zp_format(rec->CmdBuf, "CWD %s\r\n", rec->ServerDir);
    return SendCommand(rec, now, ZUB_E_WRITE_ERROR, S_CwdReply);
}

int32_t State_CwdReply(ChannelRecord *rec, uint32_t) {
    bool got;
    int32_t r = ReplyState(rec, S_Idle, &got);
    // The directory asked for; the server is not asked which one resulted.
    if (got) LogWrite(rec, "Server directory is '%s'\r\n", rec->ServerDir);
    return r;
}

int32_t State_SendPwd(ChannelRecord *rec, uint32_t now) {
    zp_format(rec->CmdBuf, "PWD\r\n");
    return SendCommand(rec, now, ZUB_E_WRITE_ERROR, S_PwdReply);
}

// The 257 reply quotes the directory: ReplyText already points just inside
// the opening quote; the name ends at the closing quote or the line end. A
// quote inside the name comes doubled (""), and is kept once. The
// directory is kept apart for ZUB_STR_SERVER_DIR too: ServerDir itself also
// takes the argument of every CWD.
int32_t State_PwdReply(ChannelRecord *rec, uint32_t) {
    bool got;
    int32_t r = ReplyState(rec, S_Idle, &got);
    if (!got) return r;
    CopyLine(rec->ServerDir, rec->ReplyText, kNameFieldSize);
    UndoubleQuotes(rec->ServerDir);
    CopyLine(FtpOf(rec).PwdDir, rec->ServerDir, kNameFieldSize);
    LogWrite(rec, "Server directory is '%s'\r\n", rec->ServerDir);
    return r;
}

int32_t State_SendDele(ChannelRecord *rec, uint32_t now) {
    zp_format(rec->CmdBuf, "DELE %s\r\n", rec->FileName);
    return SendCommand(rec, now, ZUB_E_WRITE_ERROR, S_DeleReply);
}

int32_t State_DeleReply(ChannelRecord *rec, uint32_t) { return ReplyState(rec, S_Idle); }

int32_t State_SendRmd(ChannelRecord *rec, uint32_t now) {
    zp_format(rec->CmdBuf, "RMD %s\r\n", rec->FileName);
    return SendCommand(rec, now, ZUB_E_WRITE_ERROR, S_RmdReply);
}

int32_t State_RmdReply(ChannelRecord *rec, uint32_t) { return ReplyState(rec, S_Idle); }

int32_t State_SendMkd(ChannelRecord *rec, uint32_t now) {
    zp_format(rec->CmdBuf, "MKD %s\r\n", rec->FileName);
    return SendCommand(rec, now, ZUB_E_WRITE_ERROR, S_MkdReply);
}

int32_t State_MkdReply(ChannelRecord *rec, uint32_t) { return ReplyState(rec, S_Idle); }

// ---- type --------------------------------------------------------------------------------
int32_t State_SendType(ChannelRecord *rec, uint32_t now) {
    zp_format(rec->CmdBuf, rec->BinaryMode ? "TYPE I\r\n" : "TYPE A\r\n");
    return SendCommand(rec, now, ZUB_E_WRITE_ERROR, S_TypeReply);
}

int32_t State_TypeReply(ChannelRecord *rec, uint32_t) { return ReplyState(rec, S_Idle); }

// ---- raw command ---------------------------------------------------------------------
int32_t State_SendRaw(ChannelRecord *rec, uint32_t now) {
    CopyLine(rec->CmdBuf, rec->UserCommand, kNameFieldSize);
    LogWrite(rec, "'%s'\r\n", rec->CmdBuf);
    // Room for the full line end even behind a 255-character command: a
    // command cut before its LF would leave the server waiting.
    BoundedAppend(rec->CmdBuf, "\r\n", kNameFieldSize + 3);
    return SendCommand(rec, now, ZUB_E_WRITE_ERROR, S_RawReply);
}

int32_t State_RawReply(ChannelRecord *rec, uint32_t) { return ReplyState(rec, S_Idle); }

}  // namespace zub
