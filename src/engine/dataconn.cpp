// dataconn.cpp - the data connection: passive (PASV, connect) and active
// (PORT, listen, accept) set-up, shared by downloads, uploads and listings,
// and its tear-down.
//
// Divisions: passive (900-902), active (910-911), accept (920-921),
// closing.
#include "engine/driver.h"
#include "frame/log.h"
#include "net/family.h"
#include "net/net.h"
#include "net/text.h"
#include "net/tls.h"
#include "platform/platform.h"
#include "zub32.h"

namespace zub {

namespace {
// Goes on with the transfer state that asked for the connection.
void ReturnToCaller(ChannelRecord *rec) {
    rec->NextState = rec->ReturnState;
    rec->ReturnState = 0;
}
}  // namespace

int32_t ToDataConnection(ChannelRecord *rec, int32_t returnState) {
    const FtpChannel &f = FtpOf(rec);
    // An encrypted channel never moves data in clear text: without PROT P
    // in force (refused, or a session opened before TLS was asked for) no
    // data connection opens, and nothing is sent.
    if (SessionSecured(rec) && !f.Protected) {
        LogText(rec, "No data connection: PROT P is not in force.\r\n");
        return FailStep(rec, 0, ZUB_E_TLS_REFUSED);
    }
    rec->ReturnState = returnState;
    // An IPv6 session has no PASV: EPSV always.
    if (!rec->PassiveMode)
        rec->NextState = S_SendPort;
    else
        rec->NextState = FamilyOf(rec).V6 || (f.Epsv && !f.EpsvRefused) ? S_SendEpsv : S_SendPasv;
    return kStepDone;
}

// ---- passive ---------------------------------------------------------------------
int32_t State_SendPasv(ChannelRecord *rec, uint32_t now) {
    rec->ReplyBuf[0] = 0;
    zp_format(rec->CmdBuf, "PASV\r\n");
    int32_t e = SendAll(rec->CtrlSock, rec->CmdBuf, TextLength(rec->CmdBuf));
    if (e < 0) return FailStep(rec, 0, e);
    ArmWait(rec, now, EngineSettings.ResponseDelay, EngineSettings.ResponseWait);
    rec->NextState = S_PasvReply;
    return kStepDone;
}

namespace {
// Connects the data socket to the control connection's server on `port`
// (from a PASV or EPSV reply) and waits for it in PasvWaitUp.
int32_t ConnectPassive(ChannelRecord *rec, uint32_t now, uint16_t port) {
    rec->DataPort = port;
    LogWrite(rec, "DataPort = %d\r\n", static_cast<int>(rec->DataPort));
    DropStaleSockets(rec);
    int32_t r = FamilyOf(rec).V6 ? ConnectData6(rec) : ConnectData(rec);
    // No socket at all is told apart from a connect that failed.
    if (r < 0) return FailStep(rec, r, rec->DataSock == 0 ? ZUB_E_CANNOT_CREATE_SOCKET : 0);
    ArmWait(rec, now, EngineSettings.ResponseDelay, EngineSettings.ResponseWait);
    rec->NextState = S_PasvWaitUp;
    return kStepDone;
}
}  // namespace

// The six numbers of "227 Entering Passive Mode (h1,h2,h3,h4,p1,p2)", with
// or without the parentheses. Only the port is used: the data connection
// always goes to the control connection's server. A number past 255, port
// 0 or fewer than six numbers is no port: nothing is connected.
int32_t State_PasvReply(ChannelRecord *rec, uint32_t now) {
    if (int32_t begun = ReplyBegun(rec); begun <= 0) return begun == 0 ? kStepDone : begun;
    int32_t r = TakeReply(rec);
    if (r != kStepDone) return r;
    if (IsPreliminary(rec)) return kStepDone;
    const uint16_t port = TextLength(rec->ReplyBuf) > 4 ? ParsePasvPort(rec->ReplyBuf + 4) : 0;
    if (port == 0) {
        LogWrite(rec, "Response=[%s]\r\n", rec->ReplyBuf);
        return FailStep(rec, 0, ZUB_E_NO_PASV_PORT);
    }
    return ConnectPassive(rec, now, port);
}

// ---- extended passive -------------------------------------------------------------
// "229 Entering Extended Passive Mode (|||port|)": the port between three
// delimiters and a fourth; the connection goes to the control connection's
// own peer, whatever address a PASV reply would have named. A server that
// refuses EPSV with a 5xx reply is asked with PASV, now and from then on.
int32_t State_SendEpsv(ChannelRecord *rec, uint32_t now) {
    zp_format(rec->CmdBuf, "EPSV\r\n");
    return SendCommand(rec, now, ZUB_E_WRITE_ERROR, S_EpsvReply);
}

namespace {
// The port of an EPSV reply's text, or 0 when it is not in the form.
uint16_t ParseEpsvPort(const char *text) {
    const char *p = text;
    while (*p && *p != '(') ++p;
    if (!*p) return 0;
    const char d = p[1];
    // The delimiter is any printable character but a digit.
    if (d < 33 || d > 126 || (d >= '0' && d <= '9') || p[2] != d || p[3] != d) return 0;
    p += 4;
    uint32_t port = 0;
    int digits = 0;
    for (; *p >= '0' && *p <= '9' && digits < 6; ++p, ++digits) port = port * 10 + static_cast<uint32_t>(*p - '0');
    if (digits == 0 || port == 0 || port > 65535 || p[0] != d || p[1] != ')') return 0;
    return static_cast<uint16_t>(port);
}
}  // namespace

int32_t State_EpsvReply(ChannelRecord *rec, uint32_t now) {
    if (int32_t begun = ReplyBegun(rec); begun <= 0) return begun == 0 ? kStepDone : begun;
    int32_t r = ReadReply(rec);
    if (r == ZUB_E_SERVER_ERROR && rec->ServerCode >= 500 && rec->ServerCode < 600) {
        // IPv6 has nothing to fall back to.
        if (FamilyOf(rec).V6) return FailStep(rec, 0, ZUB_E_EPSV_REFUSED);
        LogText(rec, "EPSV refused: PASV instead\r\n");
        FtpOf(rec).EpsvRefused = true;
        rec->NextTime = 0;
        rec->TimeStop = 0;
        rec->NextState = S_SendPasv;
        return kStepDone;
    }
    if (r < 0) return FailStep(rec, 0, r);
    if (r == 1) return FailStep(rec, ZUB_E_SOCKET_CLOSED, ZUB_E_READ_ERROR);
    if (IsPreliminary(rec)) return kStepDone;
    const uint16_t port = ParseEpsvPort(rec->ReplyBuf);
    if (rec->ServerCode != 229 || port == 0) {
        LogWrite(rec, "Response=[%s]\r\n", rec->ReplyBuf);
        return FailStep(rec, 0, ZUB_E_NO_PASV_PORT);
    }
    return ConnectPassive(rec, now, port);
}

int32_t State_PasvWaitUp(ChannelRecord *rec, uint32_t) {
    if (AwaitWritable(rec->DataSock, 0) != 1) return kStepDone;
    LogText(rec, "DataSock is connected.\r\n");
    ReturnToCaller(rec);
    return kStepDone;
}

// ---- active -----------------------------------------------------------------------
namespace {
void NextDataPort(ChannelRecord *rec) {
    rec->DataPort = static_cast<uint16_t>(rec->DataPort + 1);
    // Unsigned: the range that ends at 32767 must wrap too. A signed
    // comparison never saw 32768 as past it, and ran on through the
    // system's ephemeral ports to port 0.
    if (rec->DataPort > rec->DataPortLimit)
        rec->DataPort = rec->DataPortBase;
    LogWrite(rec, "DataPort = %d\r\n", static_cast<int>(rec->DataPort));
}
}  // namespace

int32_t State_SendPort(ChannelRecord *rec, uint32_t now) {
    rec->ReplyBuf[0] = 0;
    // The listener is up before the server hears of the port: a server may
    // connect as soon as it has taken the PORT command, not only after the
    // transfer command. A port in use (another process started in the same
    // few seconds has the same range, or an earlier connection still holds
    // it) is no reason to fail: the next ports of the range are tried, up
    // to the whole range, and only the last attempt's code is reported.
    const int range = rec->DataPortLimit - rec->DataPortBase + 1;
    const bool v6 = FamilyOf(rec).V6;
    int32_t r;
    for (int attempt = 1;; ++attempt) {
        NextDataPort(rec);
        DropStaleSockets(rec);
        r = v6 ? ListenData6(rec) : ListenData(rec);
        if (r != -ZP_WSAEADDRINUSE || attempt >= range) break;
    }
    if (r < 0) return FailStep(rec, r, rec->ListenSock == 0 ? ZUB_E_CANNOT_CREATE_SOCKET : ZUB_E_LISTEN);
    if (v6) {
        // RFC 2428: EPRT |2|address|port|, the control connection's own address.
        char text[kAddressTextSize];
        FormatAddress(&FamilyOf(rec).Local, text, sizeof text);
        zp_format(rec->CmdBuf, "EPRT |2|%s|%d|\r\n", text, static_cast<int>(rec->DataPort));
        return SendCommand(rec, now, ZUB_E_WRITE_ERROR, S_PortReply);
    }
    zp_format(rec->CmdBuf, "PORT %s,%1d,%1d\r\n", rec->LocalIPText, rec->DataPort >> 8, rec->DataPort & 0xFF);
    // The dots of the address (at most 15 characters after "PORT ") become
    // commas; nothing behind them is touched.
    for (int i = 5; i <= 16 && rec->CmdBuf[i]; ++i)
        if (rec->CmdBuf[i] == '.') rec->CmdBuf[i] = ',';
    return SendCommand(rec, now, ZUB_E_WRITE_ERROR, S_PortReply);
}

int32_t State_PortReply(ChannelRecord *rec, uint32_t now) {
    if (int32_t begun = ReplyBegun(rec); begun <= 0) return begun == 0 ? kStepDone : begun;
    const int32_t read = ReadReply(rec);
    if (read == ZUB_E_SERVER_ERROR && FamilyOf(rec).V6) return FailStep(rec, 0, ZUB_E_EPRT_REFUSED);
    int32_t r = TakeReadReply(rec, read);
    if (r != kStepDone) return r;
    if (IsPreliminary(rec)) return kStepDone;
    rec->NextTime = 0;
    rec->TimeStop = TickAdd(now, EngineSettings.ResponseWait);
    ReturnToCaller(rec);
    return kStepDone;
}

// Sockets a failed transfer left behind are closed before new ones take
// their place, so that a run of failures does not pile up descriptors. The
// local file of an upload in progress is not touched.
void DropStaleSockets(ChannelRecord *rec) {
    if (rec->ListenSock > 0) {
        CloseSocket(rec->ListenSock, 0);
        rec->ListenSock = 0;
    }
    if (rec->DataSock > 0) {
        CloseSocket(rec->DataSock, 0);
        rec->DataSock = 0;
        rec->DataRing.RingSock = 0;
    }
}

// ---- accept -------------------------------------------------------------------------
int32_t State_AcceptEnter(ChannelRecord *rec, uint32_t) {
    rec->NextState = S_AcceptWait;
    return kStepDone;
}

namespace {
// While waiting for the server's connection, an error reply on the control
// connection ends the wait at once; a preliminary reply stays in the ring.
int32_t WatchControl(ChannelRecord *rec) {
    int32_t w = RingWait(&rec->CtrlRing, 0);
    if (w == 0) return kStepDone;
    // A server gone from the control connection will not connect either.
    if (w < 0) return FailStep(rec, w, ZUB_E_READ_ERROR);
    char head[13] = {0};
    if (RingPeek(&rec->CtrlRing, head, 12) < 0) return kStepDone;
    if (ScanReplyCode(head) < 400) return kStepDone;
    int32_t r = ReadReply(rec);
    // A listing's MLSD refused before any connection: LIST instead.
    if (rec->ReturnState == S_ListReply && MlsdFallsBack(rec, r)) return kStepDone;
    return r < 0 ? FailStep(rec, 0, r) : kStepDone;
}
}  // namespace

namespace {
// The accept of an IPv6 session: the data must come from the control
// connection's server, as for IPv4.
int32_t AcceptData6(ChannelRecord *rec, uint32_t now) {
    zp_addr peer{};
    int32_t s = zp_accept_addr(rec->ListenSock, &peer);
    if (s < 0) return FailStep(rec, NegatedLastError(), 0);
    if (!SameAddress(&peer, &FamilyOf(rec).Peer)) {
        char text[kAddressTextSize];
        FormatAddress(&peer, text, sizeof text);
        LogWrite(rec, "Connection from [%s] refused.\r\n", text);
        CloseSocket(s, 0);
        return kStepDone;
    }
    rec->DataSock = s;
    RingAttach(&rec->DataRing, s);
    LogText(rec, "Connection is accepted.\r\n");
    ArmWait(rec, now, EngineSettings.ResponseDelay, EngineSettings.ResponseWait);
    ReturnToCaller(rec);
    return kStepDone;
}
}  // namespace

int32_t State_AcceptWait(ChannelRecord *rec, uint32_t now) {
    if (AwaitReadable(rec->ListenSock, 0) != 1) return WatchControl(rec);
    LogText(rec, "Accepting connection.\r\n");
    if (FamilyOf(rec).V6) return AcceptData6(rec, now);
    uint32_t addr = 0;
    uint16_t port = 0;
    int32_t s = zp_accept(rec->ListenSock, &addr, &port);
    if (s < 0) return FailStep(rec, NegatedLastError(), 0);  // the channel becomes idle
    // Only the server may deliver the data: a connection from any other
    // address is closed, and the wait goes on within its deadline.
    if (addr != rec->ServerAddr) {
        char ip[kLocalIPTextSize];
        FormatDottedQuad(addr, ip, sizeof ip);
        LogWrite(rec, "Connection from %s refused.\r\n", ip);
        CloseSocket(s, 0);
        return kStepDone;
    }
    rec->DataSock = s;
    FillSockAddr(&rec->DataSockAddr, addr, port);
    RingAttach(&rec->DataRing, s);
    LogText(rec, "Connection is accepted.\r\n");
    ArmWait(rec, now, EngineSettings.ResponseDelay, EngineSettings.ResponseWait);
    ReturnToCaller(rec);
    return kStepDone;
}

// ---- closing ------------------------------------------------------------------------
void CloseDataSockets(ChannelRecord *rec, uint32_t lingerMs) {
    CloseLocalFile(rec);
    if (rec->ListenSock != 0) {
        LogText(rec, "Closing listener socket\r\n");
        CloseSocket(rec->ListenSock, lingerMs);
        rec->ListenSock = 0;
    }
    if (rec->DataSock != 0) {
        LogText(rec, "Closing data socket\r\n");
        CloseSocket(rec->DataSock, lingerMs);
        rec->DataSock = 0;
        rec->DataRing.RingSock = 0;
    }
}

}  // namespace zub
