// secure.cpp - the states of an encrypted session: AUTH TLS and the
// control connection's handshake (110-112), PBSZ 0 and PROT P after the
// login (113-116), and the data connection's handshake (930).
//
// Nothing here ever falls back to clear text: a refusal or a failed
// handshake or certificate check ends the operation with its own code, and
// USER and PASS only follow a handshake that succeeded. A refusal also ends
// the session (QUIT, then close), so no unprotected one is left to use.
//
// Divisions: where a session goes next, AUTH TLS, handshakes, PBSZ and
// PROT.
#include "engine/driver.h"
#include "frame/log.h"
#include "net/net.h"
#include "net/text.h"
#include "net/tls.h"
#include "platform/platform.h"
#include "zub32.h"

namespace zub {

// ---- where a session goes next ---------------------------------------------------
bool SessionSecured(const ChannelRecord *rec) { return TlsOf(rec).Security != ZUB_TLS_NONE; }

int32_t AfterGreeting(const ChannelRecord *rec) {
    return TlsOf(rec).Security == ZUB_TLS_EXPLICIT ? S_SendAuth : S_SendUser;
}

int32_t AfterLogin(const ChannelRecord *rec) { return SessionSecured(rec) ? S_SendPbsz : S_Idle; }

int32_t StartControlTls(ChannelRecord *rec, uint32_t now) {
    int32_t r = TlsStart(rec, rec->CtrlSock, false);
    if (r < 0) return FailStep(rec, 0, r);
    FtpOf(rec).Protected = false;
    rec->NextTime = 0;
    rec->TimeStop = TickAdd(now, EngineSettings.ResponseWait);
    rec->NextState = S_CtrlHandshake;
    return kStepDone;
}

int32_t ProtectData(ChannelRecord *rec, int32_t next) {
    if (!FtpOf(rec).Protected || rec->DataSock <= 0) {
        rec->NextState = next;
        return kStepDone;
    }
    int32_t r = TlsStart(rec, rec->DataSock, true);
    if (r < 0) return FailStep(rec, 0, r);
    rec->ReturnState = next;
    rec->NextState = S_DataHandshake;
    return kStepDone;
}

// ---- AUTH TLS -----------------------------------------------------------------------
namespace {
// A session that cannot be protected is not kept: a logged-in session left
// behind would move files in clear text. QUIT goes out (its reply is not
// awaited), then the control connection closes, after its close notify
// when it is TLS. Then the refusal's code (-34).
int32_t Refused(ChannelRecord *rec) {
    if (rec->CtrlSock > 0) {
        zp_format(rec->CmdBuf, "QUIT\r\n");
        if (SendAll(rec->CtrlSock, rec->CmdBuf, TextLength(rec->CmdBuf)) > 0) LogText(rec, "S: QUIT\r\n");
        rec->CmdBuf[0] = 0;
        if (TlsOnSocket(rec->CtrlSock)) LogText(rec, "TLS close notify\r\n");
        LogText(rec, "Closing control socket\r\n");
        CloseSocket(rec->CtrlSock, 500);
        rec->CtrlSock = 0;
        rec->CtrlRing.RingSock = 0;
    }
    ClearSession(rec);
    return FailStep(rec, 0, ZUB_E_TLS_REFUSED);
}

// The reply to AUTH, PBSZ or PROT: a refusal of any of them means the
// session cannot be protected (-34). *got tells whether a final reply was
// read; the result is kStepDone or FailStep's.
int32_t SecurityReply(ChannelRecord *rec, bool *got) {
    *got = false;
    if (int32_t begun = ReplyBegun(rec); begun <= 0) return begun == 0 ? kStepDone : begun;
    int32_t r = ReadReply(rec);
    if (r == ZUB_E_SERVER_ERROR) return Refused(rec);
    if (r < 0) return FailStep(rec, 0, r);
    if (r == 1) return FailStep(rec, ZUB_E_SOCKET_CLOSED, ZUB_E_READ_ERROR);
    *got = !IsPreliminary(rec);
    return kStepDone;
}
}  // namespace

int32_t State_SendAuth(ChannelRecord *rec, uint32_t now) {
    zp_format(rec->CmdBuf, "AUTH TLS\r\n");
    return SendCommand(rec, now, ZUB_E_WRITE_ERROR, S_AuthReply);
}

int32_t State_AuthReply(ChannelRecord *rec, uint32_t now) {
    bool got;
    int32_t r = SecurityReply(rec, &got);
    if (!got) return r;
    // Any answer but 234 leaves the session in clear text: it ends here,
    // before a name or password could follow.
    if (rec->ServerCode != 234) return Refused(rec);
    // Bytes behind the 234 came in clear text where the handshake belongs.
    if (RingHeld(&rec->CtrlRing) > 0) {
        LogText(rec, "Clear text after AUTH TLS.\r\n");
        return FailStep(rec, 0, ZUB_E_TLS_HANDSHAKE);
    }
    return StartControlTls(rec, now);
}

// ---- handshakes -----------------------------------------------------------------------
namespace {
int32_t HandshakeFailed(ChannelRecord *rec, int32_t r) {
    // A socket error keeps its own code, with the handshake as the reason.
    if (r <= -10000) return FailStep(rec, r, ZUB_E_TLS_HANDSHAKE);
    return FailStep(rec, 0, r);
}
}  // namespace

int32_t State_CtrlHandshake(ChannelRecord *rec, uint32_t now) {
    int32_t r = TlsHandshakeStep(rec, rec->CtrlSock);
    if (r == 0) return kStepDone;
    if (r < 0) {
        // The control connection is of no further use, not even for QUIT.
        int32_t failed = HandshakeFailed(rec, r);
        LogText(rec, "Closing control socket\r\n");
        CloseSocket(rec->CtrlSock, 0);
        rec->CtrlSock = 0;
        rec->CtrlRing.RingSock = 0;
        return failed;
    }
    rec->NextTime = 0;
    rec->TimeStop = TickAdd(now, EngineSettings.ResponseWait);
    // Implicit TLS: the greeting comes through the new connection.
    rec->NextState = TlsOf(rec).Security == ZUB_TLS_IMPLICIT ? S_Greeting : S_SendUser;
    return kStepDone;
}

int32_t State_DataHandshake(ChannelRecord *rec, uint32_t now) {
    int32_t r = TlsHandshakeStep(rec, rec->DataSock);
    if (r == 0) return kStepDone;
    // A data connection that does not speak TLS under PROT P is refused.
    if (r < 0) return HandshakeFailed(rec, r);
    rec->NextTime = 0;
    rec->TimeStop = TickAdd(now, EngineSettings.ResponseWait);
    rec->NextState = rec->ReturnState;
    rec->ReturnState = 0;
    return kStepDone;
}

// ---- PBSZ and PROT ---------------------------------------------------------------------
namespace {
int32_t ProtectionReply(ChannelRecord *rec, int32_t successor) {
    bool got;
    int32_t r = SecurityReply(rec, &got);
    if (got) rec->NextState = successor;
    return r;
}
}  // namespace

int32_t State_SendPbsz(ChannelRecord *rec, uint32_t now) {
    zp_format(rec->CmdBuf, "PBSZ 0\r\n");
    return SendCommand(rec, now, ZUB_E_WRITE_ERROR, S_PbszReply);
}

int32_t State_PbszReply(ChannelRecord *rec, uint32_t) { return ProtectionReply(rec, S_SendProt); }

int32_t State_SendProt(ChannelRecord *rec, uint32_t now) {
    zp_format(rec->CmdBuf, "PROT P\r\n");
    return SendCommand(rec, now, ZUB_E_WRITE_ERROR, S_ProtReply);
}

int32_t State_ProtReply(ChannelRecord *rec, uint32_t) {
    int32_t r = ProtectionReply(rec, S_Idle);
    if (r == kStepDone && rec->NextState == S_Idle) FtpOf(rec).Protected = true;
    return r;
}

}  // namespace zub
