// session.cpp - the states that open a session (socket, address, connect,
// greeting, USER, PASS) and close it (QUIT).
//
// Divisions: connect (101-103), connect to an address of either family
// (108-109), login (104-107), quit (220-221).
#include "engine/driver.h"
#include "frame/log.h"
#include "net/family.h"
#include "net/net.h"
#include "net/text.h"
#include "net/tls.h"
#include "platform/platform.h"
#include "zub32.h"

namespace zub {

// ---- connect --------------------------------------------------------------------
namespace {
void LogConnectBanner(ChannelRecord *rec) {
    int v = VersionNumber();
    LogWrite(rec, "ZUB Win32 Version %d.%d.%d Build %d\r\n", (v >> 8) & 0xFF, (v >> 4) & 0xF, v & 0xF,
             BuildNumber() & 0xFFFF);
    BoundedCopy(rec->ReplyBuf, StackDescription, kReplyBufSize - 1);
    if (!rec->LogFile) return;
    LogWrite(rec, "Description:  '%s'\r\n", rec->ReplyBuf);
    GetLocalHostName(rec->ReplyBuf, kReplyBufSize);
    LogWrite(rec, "LocalHost: '%s'\r\n", rec->ReplyBuf);
    LogWrite(rec, "Server: '%s'\r\n", rec->ServerName);
}
// Under setting 35 (any, IPv6 only): the name or literal becomes a list of
// addresses, tried in turn by 108 and 109 within the connect deadline.
int32_t StartFamilyConnect(ChannelRecord *rec, uint32_t now) {
    if (rec->CtrlSock > 0) CloseSocket(rec->CtrlSock, 0);
    rec->CtrlSock = 0;
    RingAttach(&rec->CtrlRing, 0);
    int32_t r = ResolveAddresses(rec);
    if (r < 0) return FailStep(rec, r, 0);
    FamilyOf(rec).LastError = -ZP_WSAECONNREFUSED;
    ArmWait(rec, now, 0, EngineSettings.ConnectWait);
    rec->WaitWritable = 0;
    rec->NextState = S_ConnectNext;
    return kStepDone;
}
}  // namespace

int32_t State_ConnectStart(ChannelRecord *rec, uint32_t now) {
    rec->CmdBuf[0] = 0;
    LogConnectBanner(rec);
    // The banner used ReplyBuf as scratch; it is no reply.
    rec->ReplyBuf[0] = 0;
    // Asked for TLS that this build lacks: nothing goes out in clear text.
    if (SessionSecured(rec) && !TlsBuilt()) return FailStep(rec, 0, ZUB_E_TLS_UNAVAILABLE);
    ClearSession(rec);  // unprotected and unverified until this session's own
    ForgetPwdDir(rec);
    if (FamilyOf(rec).Family != kFamilyIPv4) return StartFamilyConnect(rec, now);
    if (rec->CtrlSock > 0) CloseSocket(rec->CtrlSock, 0);  // a connect without a close before
    rec->CtrlSock = CreateSocket();
    // Bytes the last session left unread (a late reply, say) are no part of
    // this one: the greeting is the first thing read.
    RingAttach(&rec->CtrlRing, rec->CtrlSock);
    if (rec->CtrlSock < 0) {
        int32_t s = rec->CtrlSock;
        rec->CtrlSock = 0;
        rec->CtrlRing.RingSock = 0;
        return FailStep(rec, s, ZUB_E_CANNOT_CREATE_SOCKET);
    }
    if (IsDottedQuad(rec->ServerName)) {
        rec->ServerAddr = ParseDottedQuad(rec->ServerName);
    } else {
        int32_t r = ResolveServer(rec);
        if (r < 0) return FailStep(rec, r, 0);
    }
    if (rec->LogFile) {
        char ip[kLocalIPTextSize];
        FormatDottedQuad(rec->ServerAddr, ip, sizeof ip);
        LogWrite(rec, "ServerIP = %s\r\n", ip);
    }
    int32_t r = ConnectControl(rec);
    if (r < 0) return FailStep(rec, r, 0);
    zp_sleep(0);
    ArmWait(rec, now, EngineSettings.ResponseDelay, EngineSettings.ConnectWait);
    rec->WaitWritable = 1;
    rec->NextState = S_ConnectWaitUp;
    return kStepDone;
}

int32_t State_ConnectWaitUp(ChannelRecord *rec, uint32_t now) {
    // A refused non-blocking connect is reported with its own code at once
    // rather than after the whole connect wait.
    if (PollSocket(rec->CtrlSock, ZP_POLL_ERROR)) {
        int e = zp_connect_error(rec->CtrlSock);
        return FailStep(rec, e ? -e : -ZP_WSAECONNREFUSED, 0);
    }
    if (!AwaitWritable(rec->CtrlSock, 0)) return kStepDone;
    if (rec->NonBlockConnect) {
        rec->NonBlockArg = 0;
        zp_set_nonblocking(rec->CtrlSock, 0);
    }
    if (QueryLocalAddress(rec) < 0) return FailStep(rec, 0, ZUB_E_LISTEN);
    if (TlsOf(rec).Security == ZUB_TLS_IMPLICIT) return StartControlTls(rec, now);
    rec->NextTime = 0;
    rec->TimeStop = TickAdd(now, EngineSettings.ResponseWait);
    rec->NextState = S_Greeting;
    return kStepDone;
}

// ---- connect to an address of either family -----------------------------------------
namespace {
// "192.0.2.1:21" or "[2001:db8::1]:21", for the log.
struct EndpointText {
    char text[ZP_FORMAT_MAX];  // zp_format's room
    explicit EndpointText(const zp_addr &a) {
        char addr[kAddressTextSize];
        FormatAddress(&a, addr, sizeof addr);
        zp_format(text, a.family == 6 ? "[%s]:%d" : "%s:%d", addr, static_cast<int>(a.port));
    }
};

// The attempt on the address before Next failed with code: the next one.
int32_t NextAddress(ChannelRecord *rec, int32_t code) {
    FamilyChannel &f = FamilyOf(rec);
    LogWrite(rec, "Connect to %s failed (%d)\r\n", EndpointText(f.Peer).text, static_cast<int>(code));
    f.LastError = code;
    rec->NextState = S_ConnectNext;
    return kStepDone;
}
}  // namespace

// One address after the other; the last one's failure is the connect's.
int32_t State_ConnectNext(ChannelRecord *rec, uint32_t now) {
    FamilyChannel &f = FamilyOf(rec);
    if (rec->CtrlSock > 0) CloseSocket(rec->CtrlSock, 0);
    rec->CtrlSock = 0;
    rec->CtrlRing.RingSock = 0;
    if (f.Next >= f.Count) return FailStep(rec, f.LastError, 0);
    zp_addr a = f.List[f.Next++];
    a.port = rec->ServerPort;
    f.Peer = a;
    LogWrite(rec, "Connecting to %s\r\n", EndpointText(a).text);
    int32_t r = ConnectControlTo(rec, &a);
    if (r < 0) return NextAddress(rec, r);
    f.AttemptEnd = TickAdd(now, gAddressWait);
    rec->NextState = S_ConnectAttempt;
    return kStepDone;
}

// The attempt under way: up, refused, or given up at its own deadline
// while other addresses remain (the last one has the whole connect wait).
int32_t State_ConnectAttempt(ChannelRecord *rec, uint32_t now) {
    FamilyChannel &f = FamilyOf(rec);
    const int answers = PollAnswers(rec->CtrlSock);
    if (answers & (1 << ZP_POLL_ERROR)) {
        int e = zp_connect_error(rec->CtrlSock);
        return NextAddress(rec, e ? -e : -ZP_WSAECONNREFUSED);
    }
    if (!(answers & (1 << ZP_POLL_WRITABLE))) {
        if (f.Next < f.Count && TickAfter(now, f.AttemptEnd)) return NextAddress(rec, -ZP_WSAETIMEDOUT);
        return kStepDone;
    }
    rec->NonBlockArg = 0;
    zp_set_nonblocking(rec->CtrlSock, 0);
    if (QueryLocalAddresses(rec) < 0) return FailStep(rec, 0, ZUB_E_LISTEN);
    if (rec->LogFile) {
        char text[kAddressTextSize];
        FormatAddress(&f.Peer, text, sizeof text);
        LogWrite(rec, "ServerIP = %s\r\n", text);
    }
    if (TlsOf(rec).Security == ZUB_TLS_IMPLICIT) return StartControlTls(rec, now);
    rec->NextTime = 0;
    rec->TimeStop = TickAdd(now, EngineSettings.ResponseWait);
    rec->NextState = S_Greeting;
    return kStepDone;
}

int32_t State_Greeting(ChannelRecord *rec, uint32_t) {
    if (rec->PrevState != S_Greeting) LogText(rec, "ZUB is connected.\r\n");
    // Like every reply state, a step returns at once while nothing of the
    // greeting has come: the driver's deadline bounds the wait.
    if (int32_t begun = ReplyBegun(rec); begun <= 0) return begun == 0 ? kStepDone : begun;
    int32_t r = TakeReply(rec);
    if (r != kStepDone) return r;
    if (IsPreliminary(rec)) return kStepDone;  // "120 ready in n minutes": wait on
    rec->NextTime = 0;
    rec->TimeStop = 0;
    rec->NextState = AfterGreeting(rec);
    return kStepDone;
}

// ---- login -----------------------------------------------------------------------
int32_t State_SendUser(ChannelRecord *rec, uint32_t now) {
    if (!rec->UserName[0]) {
        rec->NextState = AfterLogin(rec);  // connected without logging in
        return kStepDone;
    }
    zp_format(rec->CmdBuf, "USER %s\r\n", rec->UserName);
    return SendCommand(rec, now, ZUB_E_WRITE_ERROR, S_UserReply);
}

int32_t State_UserReply(ChannelRecord *rec, uint32_t) {
    bool got;
    int32_t r = ReplyState(rec, S_SendPass, &got);
    if (got) rec->WaitWritable = 1;
    return r;
}

int32_t State_SendPass(ChannelRecord *rec, uint32_t now) {
    if (!rec->Password[0]) {
        rec->NextState = AfterLogin(rec);
        return kStepDone;
    }
    zp_format(rec->CmdBuf, "PASS %s\r\n", rec->Password);
    int32_t r = SendCommand(rec, now, ZUB_E_WRITE_ERROR, S_PassReply);
    if (r == kStepDone) rec->NextTime = TickAdd(now, EngineSettings.ResponseDelay + EngineSettings.PassDelay);
    return r;
}

int32_t State_PassReply(ChannelRecord *rec, uint32_t) {
    zp_sleep(EngineSettings.SleepTime + EngineSettings.PassSleep);
    return ReplyState(rec, AfterLogin(rec));
}

// ---- quit --------------------------------------------------------------------------
int32_t State_SendQuit(ChannelRecord *rec, uint32_t now) {
    if (!AwaitWritable(rec->CtrlSock, 0)) {
        rec->NextState = S_Idle;  // nothing to quit
        return kStepDone;
    }
    rec->ReplyBuf[0] = 0;
    zp_format(rec->CmdBuf, "QUIT\r\n");
    int32_t r = SendCommand(rec, now, ZUB_E_WRITE_ERROR, S_QuitReply);
    if (r == kStepDone) rec->NextTime = TickAdd(now, 4 * EngineSettings.ResponseDelay);
    return r;
}

void EndSession(ChannelRecord *rec) {
    CloseDataSockets(rec, 0);  // a failed transfer's leftovers, if any
    ClearSession(rec);
    if (rec->CtrlSock != 0) {
        if (TlsOnSocket(rec->CtrlSock)) LogText(rec, "TLS close notify\r\n");
        LogText(rec, "Closing control socket\r\n");
        CloseSocket(rec->CtrlSock, 500);
        rec->CtrlSock = 0;
        rec->CtrlRing.RingSock = 0;
    }
    CloseChannelLog(rec);  // the trace stops with it, even another channel's
}

// Unlike other replies, a server that closes instead of answering QUIT has
// done what was asked: the session is over either way.
// The same holds for a TLS server that ends its side with a close notify.
int32_t State_QuitReply(ChannelRecord *rec, uint32_t) {
    if (RingWait(&rec->CtrlRing, 0) == 0) return kStepDone;
    int32_t r = ReadReply(rec);
    if (r == ZUB_E_TLS_BROKEN) r = 1;
    if (r < 0) return FailStep(rec, 0, r);
    if (r != 1 && IsPreliminary(rec)) return kStepDone;
    rec->CtrlRing.RingHead = 0;
    rec->CtrlRing.RingTail = 0;
    rec->NextState = S_Idle;
    return kStepDone;
}

}  // namespace zub
