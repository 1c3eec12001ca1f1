// tls.cpp - the one door to TLS: each channel's TLS settings and
// connections, the table that maps a socket to its TLS connection, and the
// rules every backend shares, which are decided here once: how the settings
// become a connection's parameters, the drain before a close, the blocking
// send loop and the names of the versions. Nothing else calls a backend.
//
// Divisions: channel state, connection parameters, the socket table,
// starting and handshaking, reading and writing, what was agreed, what the
// backends borrow.
#include "net/tls.h"

#include <atomic>

#include "frame/log.h"
#include "net/net.h"
#include "net/text.h"
#include "net/address6.h"
#include "net/tls_backend.h"
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

// ---- connection parameters ------------------------------------------------------
// A server name that is a dotted quad is the address the engine connected
// to (the session's connect makes the same test), so it is that address the
// certificate must hold. A CA file counts only when the certificate is
// checked at all; "" leaves the system's authorities.
TlsParams::TlsParams(const char *name, bool check, const char *file)
    : serverName(name ? name : ""), nameIsAddress(false), address{}, addressLength(4), verify(check),
      caFile(check && file && file[0] ? file : nullptr) {
    if (IsDottedQuad(serverName)) {
        const uint32_t a = ParseDottedQuad(serverName);
        nameIsAddress = true;
        for (int i = 0; i < 4; ++i) address[i] = static_cast<uint8_t>(a >> (24 - 8 * i));
        return;
    }
    zp_addr literal;
    if (ParseAddressLiteral(serverName, &literal) && literal.family == 6) {
        nameIsAddress = true;
        addressLength = 16;
        for (int i = 0; i < 16; ++i) address[i] = literal.addr[i];
    }
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
    bool peerEnded;  // a read met the peer's close notify
};
SocketEntry gSockets[2 * kMaxChannels];
std::atomic<int32_t> gLive{0};  // entries in use: 0 keeps plain sockets on the short path

SocketEntry *EntryOf(int32_t sock) {
    if (sock <= 0 || gLive.load(std::memory_order_relaxed) == 0) return nullptr;
    for (SocketEntry &e : gSockets)
        if (e.sock.load(std::memory_order_acquire) == sock) return &e;
    return nullptr;
}

TlsConn *ConnOf(int32_t sock) {
    SocketEntry *e = EntryOf(sock);
    return e ? e->conn : nullptr;
}

// What the peer sent and nobody read (the session tickets a TLS 1.3 server
// sends after every handshake, say) would make the socket's close a reset,
// which may throw away the last bytes not yet sent: the end of an upload
// and its close notify. So it is read and dropped, up to a bound that a
// peer which keeps sending cannot stretch.
//
// A data connection is ended in order besides: its sending side is shut
// first, and what arrives is read until the peer ends its side too (a
// server does once it has read the whole file), at most kPeerEndWaitMs.
// Tickets that come only when the server begins to read, after a drain of
// what was there, would otherwise reset the connection under the upload's
// last bytes (the server would keep a cut file, and may report success).
// A peer that has ended its side already (the end of a download or a
// listing) is not waited for again: only what is there is read.
constexpr uint32_t kPeerEndWaitMs = 1000;

void DrainUnread(int32_t sock, bool toPeerEnd) {
    char drop[4096];
    if (toPeerEnd && zp_shutdown_send(sock) < 0) toPeerEnd = false;
    const uint32_t start = zp_ticks();
    for (int i = 0; i < 64; ++i) {
        const int32_t n = zp_recv_now(sock, drop, sizeof drop);
        if (n > 0) continue;
        if (!toPeerEnd || n == 0 || zp_last_error() != ZP_WSAEWOULDBLOCK) break;
        const uint32_t waited = zp_ticks() - start;
        if (waited >= kPeerEndWaitMs) break;
        zp_wait(sock, ZP_POLL_READABLE, kPeerEndWaitMs - waited);
    }
}

void DropEntry(SocketEntry &e) {
    TlsConn *conn = e.conn;
    const int32_t sock = e.sock.load(std::memory_order_relaxed);
    const bool toPeerEnd = (&e - gSockets) % 2 == 1 && !e.peerEnded;
    e.sock.store(0, std::memory_order_release);
    e.conn = nullptr;
    e.peerEnded = false;
    gLive.fetch_sub(1, std::memory_order_relaxed);
    if (TlsConnClose(conn)) DrainUnread(sock, toPeerEnd);
}
}  // namespace

bool TlsBuilt() { return TlsBackendBuilt(); }

bool TlsOnSocket(int32_t sock) { return ConnOf(sock) != nullptr; }

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
    const TlsParams params(rec->ServerName, t.Verify != 0, t.CaFile);
    TlsConn *control = data ? gSockets[2 * rec->ChanIndex].conn : nullptr;
    int32_t error = 0;
    TlsConn *conn = TlsConnNew(sock, params, control, &error);
    if (!conn) return error < 0 ? error : ZUB_E_TLS_HANDSHAKE;
    e.conn = conn;
    e.peerEnded = false;
    gLive.fetch_add(1, std::memory_order_relaxed);
    e.sock.store(sock, std::memory_order_release);
    LogWrite(rec, "TLS handshake on %s socket\r\n", data ? "data" : "control");
    return 1;
}

int32_t TlsHandshakeStep(ChannelRecord *rec, int32_t sock) {
    TlsConn *conn = ConnOf(sock);
    if (!conn) return ZUB_E_TLS_HANDSHAKE;
    int32_t r = TlsConnHandshake(conn);
    if (r <= 0) return r;
    const bool verified = TlsConnVerified(conn);
    if (sock == rec->CtrlSock) {
        TlsChannel &t = TlsOf(rec);
        t.LastVerified = verified;
        t.LastVersion = TlsConnVersion(conn);
    }
    LogWrite(rec, "TLS: %s %s, certificate %s%s\r\n", TlsVersionName(TlsConnVersion(conn)), TlsConnCipher(conn),
             verified ? "verified" : "NOT checked", TlsConnResumed(conn) ? ", session resumed" : "");
    return 1;
}

// ---- reading and writing ----------------------------------------------------------------
int32_t TlsRead(int32_t sock, char *buf, int32_t size) {
    SocketEntry *e = EntryOf(sock);
    if (e == nullptr || e->conn == nullptr) return ZUB_E_TLS_BROKEN;
    const int32_t r = TlsConnRead(e->conn, buf, size);
    if (r == ZUB_E_SOCKET_CLOSED) e->peerEnded = true;
    return r;
}

int32_t TlsWrite(int32_t sock, const char *bytes, int32_t count) {
    TlsConn *conn = ConnOf(sock);
    return conn ? TlsConnWrite(conn, bytes, count) : ZUB_E_TLS_BROKEN;
}

void TlsReadAhead(int32_t sock) { TlsConnReadAhead(ConnOf(sock)); }

bool TlsPending(int32_t sock) {
    TlsConn *conn = ConnOf(sock);
    return conn != nullptr && TlsConnPending(conn);
}

// ---- what was agreed -------------------------------------------------------------------
const char *TlsCipher(int32_t sock) {
    TlsConn *conn = ConnOf(sock);
    return conn ? TlsConnCipher(conn) : "";
}

// The names the handshake's log line gives the versions.
const char *TlsVersionName(int32_t version) {
    switch (version) {
    case 0x0304: return "TLSv1.3";
    case 0x0303: return "TLSv1.2";
    case 0x0302: return "TLSv1.1";
    case 0x0301: return "TLSv1";
    default: return "";
    }
}

// ---- what the backends borrow ------------------------------------------------------------
int32_t TlsSendBlocking(int32_t sock, const char *bytes, int32_t count, int32_t *sent) {
    // The socket blocks: a send takes everything or fails.
    int32_t done = 0;
    int32_t failure = 0;
    while (done < count) {
        zp_set_last_error(0);
        const int32_t n = zp_send(sock, bytes + done, count - done);
        if (n <= 0) {
            failure = NegatedLastError();
            break;
        }
        done += n;
    }
    if (sent) *sent = done;
    return failure;
}

}  // namespace zub
