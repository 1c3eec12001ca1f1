// tls.cpp - each channel's TLS settings and connections, and the table that
// maps a socket to its TLS connection.
//
// Divisions: channel state, the socket table, starting and handshaking.
#include "net/tls.h"

#include <atomic>

#include "frame/log.h"
#include "net/net.h"
#include "net/text.h"
#include "platform/platform.h"
#include "zub32.h"

namespace zub {

// ---- channel state ---------------------------------------------------------------
namespace {
TlsChannel gChannels[kMaxChannels];
}  // namespace

TlsChannel &TlsOf(const ChannelRecord *rec) {
    int c = rec->ChanIndex;
    return gChannels[c >= 0 && c < kMaxChannels ? c : 0];
}

void TlsClearSession(const ChannelRecord *rec) {
    TlsChannel &t = TlsOf(rec);
    t.LastVerified = false;
    t.LastVersion = 0;
}

void TlsResetChannel(int chan) {
    TlsChannel &t = gChannels[chan];
    t = TlsChannel{};
    t.Verify = 1;
}

// ---- the socket table --------------------------------------------------------------
// Two entries per channel (control, data). Only the owning channel's thread
// writes its entries; every thread may read them all. A socket number is
// unique among open sockets, and an entry's socket is cleared before its
// connection is freed and the socket closed, so a reader never takes
// another channel's connection.
namespace {
struct SocketEntry {
    std::atomic<int32_t> sock;
    TlsConn *conn;
};
SocketEntry gSockets[2 * kMaxChannels];
std::atomic<int32_t> gLive{0};  // entries in use: 0 keeps plain sockets on the short path

SocketEntry *EntryOf(int32_t sock) {
    if (sock <= 0 || gLive.load(std::memory_order_relaxed) == 0) return nullptr;
    for (SocketEntry &e : gSockets)
        if (e.sock.load(std::memory_order_acquire) == sock) return &e;
    return nullptr;
}

void DropEntry(SocketEntry &e) {
    TlsConn *conn = e.conn;
    e.sock.store(0, std::memory_order_release);
    e.conn = nullptr;
    gLive.fetch_sub(1, std::memory_order_relaxed);
    TlsConnClose(conn);
}
}  // namespace

TlsConn *TlsOnSocket(int32_t sock) {
    SocketEntry *e = EntryOf(sock);
    return e ? e->conn : nullptr;
}

bool TlsIsControl(int32_t sock) {
    SocketEntry *e = EntryOf(sock);
    return e != nullptr && (e - gSockets) % 2 == 0;
}

void TlsEnd(int32_t sock) {
    if (SocketEntry *e = EntryOf(sock)) DropEntry(*e);
}

void TlsForgetChannel(int chan) {
    for (int i = 0; i < 2; ++i) {
        SocketEntry &e = gSockets[2 * chan + i];
        if (e.sock.load(std::memory_order_acquire) != 0) DropEntry(e);
    }
}

// ---- starting and handshaking ---------------------------------------------------------
int32_t TlsStart(ChannelRecord *rec, int32_t sock, bool data) {
    TlsChannel &t = TlsOf(rec);
    SocketEntry &e = gSockets[2 * rec->ChanIndex + (data ? 1 : 0)];
    // Whatever an earlier connection left in this place is done with.
    if (e.sock.load(std::memory_order_acquire) != 0) DropEntry(e);
    if (!data) {
        t.LastVerified = false;
        t.LastVersion = 0;
    }
    TlsParams params = {rec->ServerName, t.Verify != 0, t.CaFile};
    TlsConn *control = data ? gSockets[2 * rec->ChanIndex].conn : nullptr;
    int32_t error = 0;
    TlsConn *conn = TlsConnNew(sock, params, control, &error);
    if (!conn) return error < 0 ? error : ZUB_E_TLS_HANDSHAKE;
    e.conn = conn;
    gLive.fetch_add(1, std::memory_order_relaxed);
    e.sock.store(sock, std::memory_order_release);
    LogWrite(rec, "TLS handshake on %s socket\r\n", data ? "data" : "control");
    return 1;
}

int32_t TlsHandshakeStep(ChannelRecord *rec, int32_t sock) {
    TlsConn *conn = TlsOnSocket(sock);
    if (!conn) return ZUB_E_TLS_HANDSHAKE;
    int32_t r = TlsConnHandshake(conn);
    if (r <= 0) return r;
    const bool verified = TlsConnVerified(conn);
    if (sock == rec->CtrlSock) {
        TlsChannel &t = TlsOf(rec);
        t.LastVerified = verified;
        t.LastVersion = TlsConnVersion(conn);
    }
    LogWrite(rec, "TLS: %s %s, certificate %s%s\r\n", TlsConnVersionName(conn), TlsConnCipher(conn),
             verified ? "verified" : "NOT checked", TlsConnResumed(conn) ? ", session resumed" : "");
    return 1;
}

}  // namespace zub
