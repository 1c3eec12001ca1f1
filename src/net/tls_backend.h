// tls_backend.h - what a TLS library gives the engine: one client
// connection over one socket that the engine already connected.
//
// There is one backend per build: src/net/tls/openssl.cpp (POSIX, OpenSSL
// 3), src/net/tls/schannel.cpp (Windows, SChannel) or src/net/tls/none.cpp
// (built without TLS). Only tls.cpp calls them: the engine, net and frame
// code see the front door of tls.h. What is decided the same way for every
// backend (whether the server name is an address, whether a CA file is in
// play, the drain before the close, the send loop, the version names) is
// decided there; a backend only translates between this contract and its
// library.
//
// Rules every backend keeps:
//  - The socket stays blocking. Nothing here waits for the peer: bytes are
//    taken only with zp_recv_now (which never waits), so a record that has
//    not fully arrived makes the call return "not yet" (0), and the caller
//    steps again later. Sends go through TlsSendBlocking. Every socket call
//    goes through the platform table, so the fault tests reach TLS
//    connections too, and a failed call's code is the platform's (negated).
//  - Results: > 0 progress (bytes, or 1 for a finished handshake); 0 not
//    yet; < 0 a zub result code: ZUB_E_SOCKET_CLOSED for the peer's orderly
//    TLS close (close notify), a negated socket error (-10054, say), or one
//    of the ZUB_E_TLS_* codes.
//  - Memory of our own comes from zp_alloc_zero and goes back with zp_free,
//    so the allocation fault tests reach it; only TLS connections use any.
//    Nothing is allocated by the plain (non-TLS) paths.
//  - A null connection is refused, never followed, the same way by every
//    backend: TlsConnHandshake gives ZUB_E_TLS_HANDSHAKE, TlsConnRead and
//    TlsConnWrite ZUB_E_TLS_BROKEN, TlsConnPending and TlsConnClose false
//    (the close does nothing), and the queries answer as before a
//    handshake (0, "", false). tls.cpp never passes one.
//  - Key material never reaches a log or trace.
#pragma once

#include <cstdint>

namespace zub {

struct TlsConn;  // one backend connection; opaque outside the backend

// What a connection is asked to be. Made only by its constructor (in
// tls.cpp), which reads the channel's settings the one way every backend
// takes them.
struct TlsParams {
    TlsParams(const char *serverName, bool verify, const char *caFile);

    const char *serverName;  // never null; "" for none
    // The name is an address literal (a dotted quad, or an IPv6 address,
    // bare or in brackets), the address the engine connected to: it is
    // checked against the certificate's IP addresses and sent in no
    // server-name extension.
    bool nameIsAddress;
    uint8_t address[16];     // that address, first byte first
    int addressLength;       // 4 (IPv4) or 16 (IPv6)
    bool verify;             // check the certificate chain and the name
    // Only with verify: the PEM file of the only trusted authorities; null
    // for the system's. A file the backend cannot load trusts nobody:
    // TlsConnNew fails with ZUB_E_TLS_UNTRUSTED.
    const char *caFile;
};

// ---- what a backend gives ----------------------------------------------------
// 1 when this build can make TLS connections.
bool TlsBackendBuilt();
// A new client connection on `sock`. `resume`, when given, is an
// established connection (the control connection) whose session a data
// connection offers to resume. Null with *error set (ZUB_E_TLS_UNAVAILABLE,
// ZUB_E_NO_MEMORY, ZUB_E_TLS_UNTRUSTED for a CA file it cannot load) when
// none can be made; *error is 0 otherwise.
TlsConn *TlsConnNew(int32_t sock, const TlsParams &params, TlsConn *resume, int32_t *error);
// Moves the handshake on: 1 done (and, with verify, the certificate
// checked), 0 not yet, < 0 failed: ZUB_E_TLS_UNTRUSTED, ZUB_E_TLS_NAME,
// ZUB_E_TLS_EXPIRED for a certificate that fails the check,
// ZUB_E_TLS_HANDSHAKE for anything else that is not a socket error.
int32_t TlsConnHandshake(TlsConn *c);
// Decrypted bytes into buf: > 0 bytes, 0 none now, ZUB_E_SOCKET_CLOSED
// after the peer's close notify, ZUB_E_TLS_BROKEN when the stream is no
// longer TLS or ends without a close notify, or a socket error.
int32_t TlsConnRead(TlsConn *c, char *buf, int32_t size);
// Encrypts and sends all of buf: size, or < 0.
int32_t TlsConnWrite(TlsConn *c, const char *buf, int32_t size);
// Whether decrypted (or received, not yet decrypted) bytes wait inside the
// connection, or the peer's close notify has been read: a poll of the
// socket would not show them, and the next read reports them.
bool TlsConnPending(TlsConn *c);
// Reads take as much of what the socket holds as the connection's buffer
// takes, not a record's header and body apart (nothing where the backend
// reads that way already).
void TlsConnReadAhead(TlsConn *c);
// Sends the close notify (once, without waiting for the peer's) and frees
// the connection. The socket stays open: the caller closes it. True when
// the stream was still in order on the socket (OpenSSL: no socket call
// failed; SChannel: the close notify went out), so the caller drains what
// the peer sent and nobody read before it closes the socket.
bool TlsConnClose(TlsConn *c);

// What the handshake agreed: 0x0303 TLS 1.2, 0x0304 TLS 1.3 (0 before).
int32_t TlsConnVersion(TlsConn *c);
const char *TlsConnCipher(TlsConn *c);  // "" before the handshake
bool TlsConnVerified(TlsConn *c);       // the certificate was checked and passed
bool TlsConnResumed(TlsConn *c);        // the handshake resumed `resume`'s session

// ---- what tls.cpp lends the backends ----------------------------------------------
// Sends all of bytes on the blocking socket: 0, or the negated socket
// error of the send that failed; *sent, when given, gets the bytes that
// went out.
int32_t TlsSendBlocking(int32_t sock, const char *bytes, int32_t count, int32_t *sent = nullptr);

}  // namespace zub
