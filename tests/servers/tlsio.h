// tlsio.h - bounded TLS over the non-blocking sockets of sock.h (OpenSSL,
// POSIX only), for the scripted server's TLS mode and for tests that play
// a plain TLS client.
//
// Present only where the test build found OpenSSL: CMake then defines
// ZT_SCRIPTED_TLS (never on Windows, whose tests build without it).
//
// Every wait is a sock::waitFor in short slices with an overall bound, cut
// short by the Cancel's stop flag or watched socket, as in sock.h. No call
// raises SIGPIPE: OpenSSL writes to the socket with write(), so each call
// blocks SIGPIPE for its own thread while it runs and takes back one that it
// raised. An SSL* made here is freed with close(); the socket is never
// closed here.
//
//   SSL_CTX* ctx = zt::tlsio::clientContext(certs.ca, 0, &err);
//   SSL* ssl = zt::tlsio::connect(ctx, fd, "127.0.0.1", 5000);
//   zt::tlsio::sendAll(ssl, "USER u\r\n", 8, 5000);
//   zt::tlsio::close(ssl, true);   // close notify, then SSL_free
//   zt::sock::closeGraceful(fd);
//   SSL_CTX_free(ctx);
#pragma once

#ifdef ZT_SCRIPTED_TLS

#include "servers/sock.h"

#include <openssl/ssl.h>

#include <cstddef>
#include <string>

namespace zt::tlsio {

// A server context from a PEM file holding the key and the certificate
// (chain). version: 0 any (TLS 1.2 or 1.3), 12 only TLS 1.2, 13 only 1.3.
// Session resumption (session IDs and tickets) is on. nullptr on failure,
// with the reason in *error.
SSL_CTX* serverContext(const std::string& pemFile, int version, std::string* error);
// A client context that verifies the server against caFile (no
// verification when caFile is empty). version as above.
SSL_CTX* clientContext(const std::string& caFile, int version, std::string* error);

// Handshakes on a connected socket within timeoutMs. nullptr on failure
// (the reason, OpenSSL's and the verification's, in *error if given).
SSL* accept(SSL_CTX* ctx, int fd, int timeoutMs, const sock::Cancel& c = {},
            std::string* error = nullptr);
// host: an IPv4 address is checked against the certificate's IP names,
// anything else against its DNS names (and sent as SNI). resume: a session
// to offer (e.g. the control connection's, SSL_get1_session), or nullptr.
SSL* connect(SSL_CTX* ctx, int fd, const std::string& host, int timeoutMs,
             SSL_SESSION* resume = nullptr, const sock::Cancel& c = {},
             std::string* error = nullptr);

bool sendAll(SSL* ssl, const void* data, size_t len, int timeoutMs, const sock::Cancel& c = {});
inline bool sendAll(SSL* ssl, const std::string& s, int timeoutMs = 5000, const sock::Cancel& c = {}) {
    return sendAll(ssl, s.data(), s.size(), timeoutMs, c);
}
// One read: >0 bytes, 0 end of stream, -1 error or reset, -2 nothing within
// timeoutMs (or cancelled). At the end of the stream *closeNotify (if given)
// says whether the peer sent a TLS close notify before its TCP close.
long recvSome(SSL* ssl, char* buf, size_t len, int timeoutMs, const sock::Cancel& c = {},
              bool* closeNotify = nullptr);
// Reads until the end of the stream (true; *closeNotify as above) or an
// error or the bound (false).
bool recvToEnd(SSL* ssl, std::string* acc, int timeoutMs = 5000, bool* closeNotify = nullptr);

// Sends a close notify first when notify is true (one try, bounded; the
// peer's answer is not waited for), then frees ssl. Null is fine.
void close(SSL* ssl, bool notify, int timeoutMs = 1000);

// Ends a stream the way a careful client ends an upload, then frees ssl:
// a close notify when notify is true, else a TCP end of sending
// (shutdown SHUT_WR) without one; then reads and drops whatever comes until
// the peer's close notify or its end of the stream, within timeoutMs. Under
// TLS 1.3 a server sends session tickets on every connection, data
// connections too: a socket closed with those unread ends in a reset, and
// a reset drops what is still in the send queue (the close notify, even
// the last bytes). True when the peer ended cleanly within the bound.
bool finish(SSL* ssl, bool notify, int timeoutMs = 5000);

// The last OpenSSL errors of this thread as text (and clears them).
std::string lastErrors();

} // namespace zt::tlsio

#endif // ZT_SCRIPTED_TLS
