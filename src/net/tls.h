// tls.h - encrypted sessions as the engine sees them: each channel's TLS
// settings and connections, kept beside its record (whose layout stays as
// it is), and the calls the rings and sends use to route a socket's bytes
// through its TLS connection.
//
// This is the only door to TLS: net, engine and api code call these, and
// only tls.cpp calls a backend (tls_backend.h). Connections are named by
// their socket; none of a backend's types shows here.
//
// A socket with no TLS connection costs one relaxed load per receive or
// send: nothing else changes for plain sessions.
#pragma once

#include <cstdint>

#include "frame/record.h"

namespace zub {

enum { kCaFileSize = 260 };

struct TlsChannel {
    uint32_t Security;    // ZUB_TLS_NONE / _EXPLICIT / _IMPLICIT
    uint32_t Verify;      // check the server's certificate
    bool LastVerified;    // the control connection's certificate passed
    int32_t LastVersion;  // the control connection's version, 0 none
    char CaFile[kCaFileSize];
};

// The channel's settings and state; attach starts them at their defaults.
TlsChannel &TlsOf(const ChannelRecord *rec);
// A session begins or ends: nothing verified, no version, until this
// session's own handshake says otherwise.
void TlsClearSession(const ChannelRecord *rec);
void TlsResetChannel(int chan);
// Frees the channel's TLS connections, each after its close notify (the
// sockets themselves are the caller's to close).
void TlsForgetChannel(int chan);

// Starts a TLS connection on the channel's control or data socket: 1, or a
// result code. A data connection resumes the control connection's session.
int32_t TlsStart(ChannelRecord *rec, int32_t sock, bool data);
// Moves that connection's handshake on: 1 done (logged), 0 not yet, < 0 a
// result code.
int32_t TlsHandshakeStep(ChannelRecord *rec, int32_t sock);
// Whether this build can make TLS connections.
bool TlsBuilt();
// Whether the socket has a TLS connection.
bool TlsOnSocket(int32_t sock);
// Whether the socket is a channel's control connection under TLS.
bool TlsIsControl(int32_t sock);
// Sends the close notify of the socket's TLS connection, if it has one,
// and frees it; the socket stays open.
void TlsEnd(int32_t sock);

// The socket's TLS connection, for sockets where TlsOnSocket holds (else
// ZUB_E_TLS_BROKEN): decrypted bytes into buf (> 0, 0 none now,
// ZUB_E_SOCKET_CLOSED after the peer's close notify, < 0 failed), and all
// of bytes encrypted and sent (count, or < 0).
int32_t TlsRead(int32_t sock, char *buf, int32_t size);
int32_t TlsWrite(int32_t sock, const char *bytes, int32_t count);
// Whether the socket's TLS connection holds bytes (or the peer's close
// notify) that no poll of the socket shows; false for a plain socket.
bool TlsPending(int32_t sock);
// Large reads on the socket's TLS connection (the bulk data path): each
// receive takes what the socket holds up to the connection's buffer.
void TlsReadAhead(int32_t sock);
// The cipher suite the socket's handshake agreed, "" before it or for a
// plain socket.
const char *TlsCipher(int32_t sock);
// "TLSv1.3" for 0x0304 and the like; "" for 0 or a version without a name.
const char *TlsVersionName(int32_t version);

}  // namespace zub
