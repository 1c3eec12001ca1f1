// tls.h - encrypted sessions as the engine sees them: each channel's TLS
// settings and connections, kept beside its record (whose layout stays as
// it is), and the lookup the rings and sends use to route a socket's bytes
// through its TLS connection.
//
// A socket with no TLS connection costs one relaxed load per receive or
// send: nothing else changes for plain sessions.
#pragma once

#include <cstdint>

#include "frame/record.h"
#include "net/tls_backend.h"

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
// The TLS connection on a socket, null for a plain one.
TlsConn *TlsOnSocket(int32_t sock);
// Whether the socket is a channel's control connection under TLS.
bool TlsIsControl(int32_t sock);
// Sends the close notify of the socket's TLS connection, if it has one,
// and frees it; the socket stays open.
void TlsEnd(int32_t sock);

}  // namespace zub
