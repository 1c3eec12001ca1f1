// tls_backend.h - what a TLS library gives the engine: one client
// connection over one socket that the engine already connected.
//
// There is one backend per build: src/net/tls/openssl.cpp (POSIX, OpenSSL
// 3), src/net/tls/schannel.cpp (Windows, SChannel) or src/net/tls/none.cpp
// (built without TLS). The engine only ever calls these through tls.cpp.
//
// Rules every backend keeps:
//  - The socket stays blocking. Nothing here waits for the peer: bytes are
//    taken only with zp_recv_now (which never waits), so a record that has
//    not fully arrived makes the call return "not yet" (0), and the caller
//    steps again later. Sends go through zp_send. Every socket call goes
//    through the platform table, so the fault tests reach TLS connections
//    too, and a failed call's code is the platform's (negated).
//  - Results: > 0 progress (bytes, or 1 for a finished handshake); 0 not
//    yet; < 0 a zub result code: ZUB_E_SOCKET_CLOSED for the peer's orderly
//    TLS close (close notify), a negated socket error (-10054, say), or one
//    of the ZUB_E_TLS_* codes.
//  - The library allocates memory; only TLS connections use it. Nothing is
//    allocated by the plain (non-TLS) paths.
//  - Key material never reaches a log or trace.
#pragma once

#include <cstdint>

namespace zub {

struct TlsConn;  // one backend connection; opaque to the engine

struct TlsParams {
    const char *serverName;  // for SNI and the name check; a dotted quad is checked as an address
    bool verify;             // check the certificate chain and the name
    const char *caFile;      // PEM file of trusted authorities; null or "" = the system's
};

// 1 when this build can make TLS connections.
bool TlsBackendBuilt();
// A new client connection on `sock`. `resume`, when given, is an
// established connection (the control connection) whose session a data
// connection offers to resume. Null with *error set (ZUB_E_TLS_UNAVAILABLE,
// ZUB_E_NO_MEMORY, ...) when none can be made.
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
// Sends the close notify (once, without waiting for the peer's) and frees
// the connection. The socket stays open: the caller closes it.
void TlsConnClose(TlsConn *c);

// What the handshake agreed: 0x0303 TLS 1.2, 0x0304 TLS 1.3 (0 before).
int32_t TlsConnVersion(TlsConn *c);
// "TLSv1.3" and the like; "" before the handshake.
const char *TlsConnVersionName(TlsConn *c);
const char *TlsConnCipher(TlsConn *c);  // "" before the handshake
bool TlsConnVerified(TlsConn *c);       // the certificate was checked and passed
bool TlsConnResumed(TlsConn *c);        // the handshake resumed `resume`'s session

}  // namespace zub
