// openssl.cpp - the TLS backend on OpenSSL 3.
//
// Each connection is an SSL object over a BIO of our own, whose reads take
// only what the socket already holds (zp_recv_now) and whose writes go
// through zp_send: the handshake and every read move on as far as the bytes
// that are there allow, and an unfinished record makes them report "not
// yet". A failed socket call's error is kept in the connection, so the
// caller sees the platform's code (a reset, say), not OpenSSL's. The
// connection and the session pool come from the platform's allocator;
// OpenSSL's own objects from OpenSSL's.
//
// One SSL_CTX per control connection, shared with its data connections
// (which offer the control connection's session for resumption).
//
// Divisions: the socket BIO, contexts, connections, handshake, read and
// write, close, what was agreed.
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include "net/net.h"
#include "net/tls_backend.h"
#include "platform/platform.h"
#include "zub32.h"

namespace zub {

struct TlsConn {
    SSL *ssl;
    SSL_CTX *ctx;         // one reference held by this connection
    int32_t sock;
    int32_t sockError;    // the last failed socket call's code (negated), 0 none
    bool sawEnd;          // the socket reported the end of the stream
    bool verify;
    bool established;
};

// ---- the socket BIO -------------------------------------------------------------
namespace {

TlsConn *ConnOf(BIO *bio) { return static_cast<TlsConn *>(BIO_get_data(bio)); }

int BioRead(BIO *bio, char *buf, int size) {
    TlsConn *c = ConnOf(bio);
    BIO_clear_retry_flags(bio);
    if (size <= 0) return 0;
    int32_t got = zp_recv_now(c->sock, buf, size);
    if (got > 0) return got;
    if (got == 0) {
        c->sawEnd = true;
        return 0;
    }
    if (zp_last_error() == ZP_WSAEWOULDBLOCK) {
        BIO_set_retry_read(bio);
        return -1;
    }
    c->sockError = NegatedLastError();
    return -1;
}

int BioWrite(BIO *bio, const char *buf, int size) {
    TlsConn *c = ConnOf(bio);
    BIO_clear_retry_flags(bio);
    int32_t done = 0;
    if (int32_t failed = TlsSendBlocking(c->sock, buf, size, &done); failed < 0) {
        c->sockError = failed;
        return done > 0 ? done : -1;
    }
    return size;
}

long BioCtrl(BIO *, int cmd, long, void *) {
    // Flushing is all OpenSSL asks of a socket BIO here: writes go out at once.
    return cmd == BIO_CTRL_FLUSH ? 1 : 0;
}

int BioCreate(BIO *bio) {
    BIO_set_init(bio, 1);
    return 1;
}

BIO_METHOD *SocketMethod() {
    // Made once; OpenSSL frees it at exit.
    static BIO_METHOD *method = [] {
        BIO_METHOD *m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "zub socket");
        if (m) {
            BIO_meth_set_read(m, BioRead);
            BIO_meth_set_write(m, BioWrite);
            BIO_meth_set_ctrl(m, BioCtrl);
            BIO_meth_set_create(m, BioCreate);
        }
        return m;
    }();
    return method;
}

// ---- contexts --------------------------------------------------------------------
// The sessions a server has handed out and no connection has used yet, the
// newest last. A TLS 1.3 session is good for one resumption only, so each
// data connection takes a fresh one; a TLS 1.2 session stays with the
// control connection and is offered again.
struct SessionPool {
    SSL_SESSION *held[4];
    int count;
};

void FreePool(void *, void *ptr, CRYPTO_EX_DATA *, int, long, void *) {
    SessionPool *pool = static_cast<SessionPool *>(ptr);
    if (!pool) return;
    for (int i = 0; i < pool->count; ++i) SSL_SESSION_free(pool->held[i]);
    zp_free(pool);
}

int PoolIndex() {
    static const int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, FreePool);
    return index;
}

SessionPool *PoolOf(SSL_CTX *ctx) { return static_cast<SessionPool *>(SSL_CTX_get_ex_data(ctx, PoolIndex())); }

// A new session from the server: kept (the reference is ours), the oldest
// dropped when the pool is full.
int KeepSession(SSL *ssl, SSL_SESSION *session) {
    SessionPool *pool = PoolOf(SSL_get_SSL_CTX(ssl));
    if (!pool) return 0;
    if (pool->count == 4) {
        SSL_SESSION_free(pool->held[0]);
        for (int i = 1; i < 4; ++i) pool->held[i - 1] = pool->held[i];
        --pool->count;
    }
    pool->held[pool->count++] = session;
    return 1;
}

// The session a data connection offers: the newest unused one, else the
// control connection's own. The caller frees the reference.
SSL_SESSION *SessionToResume(TlsConn *control) {
    SessionPool *pool = PoolOf(control->ctx);
    if (pool && pool->count > 0) return pool->held[--pool->count];
    return SSL_get1_session(control->ssl);
}

SSL_CTX *NewContext(const TlsParams &p, int32_t *error) {
    SSL_CTX *ctx = SSL_CTX_new(TLS_client_method());
    if (!ctx) {
        *error = ZUB_E_NO_MEMORY;
        return nullptr;
    }
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    // Data connections resume the control connection's session: the
    // sessions the server hands out go to the pool, not to a cache.
    auto *pool = static_cast<SessionPool *>(zp_alloc_zero(sizeof(SessionPool)));
    if (!pool || PoolIndex() < 0 || SSL_CTX_set_ex_data(ctx, PoolIndex(), pool) != 1) {
        zp_free(pool);
        SSL_CTX_free(ctx);
        *error = ZUB_E_NO_MEMORY;
        return nullptr;
    }
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
    SSL_CTX_sess_set_new_cb(ctx, KeepSession);
    if (p.verify) {
        int ok = p.caFile ? SSL_CTX_load_verify_locations(ctx, p.caFile, nullptr)
                          : SSL_CTX_set_default_verify_paths(ctx);
        if (ok != 1) {
            ERR_clear_error();
            SSL_CTX_free(ctx);
            *error = ZUB_E_TLS_UNTRUSTED;
            return nullptr;
        }
        SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    } else {
        SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
    }
    return ctx;
}

// What a failed certificate check is called.
int32_t VerifyFailure(long result) {
    switch (result) {
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
        return ZUB_E_TLS_NAME;
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_CERT_NOT_YET_VALID:
        return ZUB_E_TLS_EXPIRED;
    default:
        return ZUB_E_TLS_UNTRUSTED;
    }
}

// The code of a failed SSL call r: a socket error keeps its own code.
int32_t Failure(TlsConn *c, int r, int32_t otherwise) {
    int e = SSL_get_error(c->ssl, r);
    if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
        return c->sockError < 0 ? c->sockError : 0;
    }
    int32_t code = otherwise;
    if (c->sockError < 0) {
        code = c->sockError;
    } else if (e == SSL_ERROR_ZERO_RETURN) {
        code = ZUB_E_SOCKET_CLOSED;  // the peer's close notify
    } else if (!c->established && c->verify && SSL_get_verify_result(c->ssl) != X509_V_OK) {
        code = VerifyFailure(SSL_get_verify_result(c->ssl));
    }
    ERR_clear_error();
    return code;
}

}  // namespace

// ---- connections ---------------------------------------------------------------------
bool TlsBackendBuilt() { return true; }

TlsConn *TlsConnNew(int32_t sock, const TlsParams &p, TlsConn *resume, int32_t *error) {
    *error = 0;
    BIO_METHOD *method = SocketMethod();
    if (!method) {
        *error = ZUB_E_NO_MEMORY;
        return nullptr;
    }
    SSL_CTX *ctx;
    if (resume) {
        ctx = resume->ctx;
        SSL_CTX_up_ref(ctx);
    } else if (!(ctx = NewContext(p, error))) {
        return nullptr;
    }
    auto *c = static_cast<TlsConn *>(zp_alloc_zero(sizeof(TlsConn)));
    SSL *ssl = c ? SSL_new(ctx) : nullptr;
    BIO *bio = ssl ? BIO_new(method) : nullptr;
    if (!bio) {
        if (ssl) SSL_free(ssl);
        zp_free(c);
        SSL_CTX_free(ctx);
        ERR_clear_error();
        *error = ZUB_E_NO_MEMORY;
        return nullptr;
    }
    c->ssl = ssl;
    c->ctx = ctx;
    c->sock = sock;
    c->verify = p.verify;
    BIO_set_data(bio, c);
    SSL_set_bio(ssl, bio, bio);
    if (p.nameIsAddress) {
        if (p.verify) X509_VERIFY_PARAM_set1_ip(SSL_get0_param(ssl), p.address, static_cast<size_t>(p.addressLength));
    } else if (p.serverName[0]) {
        SSL_set_tlsext_host_name(ssl, p.serverName);
        if (p.verify) SSL_set1_host(ssl, p.serverName);
    }
    if (resume) {
        if (SSL_SESSION *s = SessionToResume(resume)) {
            SSL_set_session(ssl, s);
            SSL_SESSION_free(s);
        }
    }
    SSL_set_connect_state(ssl);
    return c;
}

// ---- handshake -------------------------------------------------------------------------
int32_t TlsConnHandshake(TlsConn *c) {
    if (!c) return ZUB_E_TLS_HANDSHAKE;
    if (c->established) return 1;
    int r = SSL_do_handshake(c->ssl);
    if (r == 1) {
        c->established = true;
        return 1;
    }
    // The peer ending the stream mid-handshake did not speak TLS to us.
    int32_t code = Failure(c, r, ZUB_E_TLS_HANDSHAKE);
    return code == ZUB_E_SOCKET_CLOSED ? ZUB_E_TLS_HANDSHAKE : code;
}

// ---- read and write ----------------------------------------------------------------------
int32_t TlsConnRead(TlsConn *c, char *buf, int32_t size) {
    if (!c) return ZUB_E_TLS_BROKEN;
    if (size <= 0) return 0;
    int r = SSL_read(c->ssl, buf, size);
    if (r > 0) return r;
    // An end of the stream without a close notify may be a cut made by
    // someone else: the bytes so far cannot be taken as the whole.
    return Failure(c, r, ZUB_E_TLS_BROKEN);
}

int32_t TlsConnWrite(TlsConn *c, const char *buf, int32_t size) {
    if (!c) return ZUB_E_TLS_BROKEN;
    int32_t done = 0;
    while (done < size) {
        int r = SSL_write(c->ssl, buf + done, size - done);
        if (r <= 0) {
            int32_t code = Failure(c, r, ZUB_E_TLS_BROKEN);
            // A write that only wants to read (a renegotiation) is not
            // supported: the stream is of no further use.
            return code < 0 ? code : ZUB_E_TLS_BROKEN;
        }
        done += r;
    }
    return size;
}

// What is read ahead of a record stays in the connection, where
// TlsConnPending (SSL_has_pending) sees it.
void TlsConnReadAhead(TlsConn *c) {
    if (c) SSL_set_read_ahead(c->ssl, 1);
}

bool TlsConnPending(TlsConn *c) {
    if (!c) return false;
    // The peer's close notify, once read, is news that no poll shows: a
    // server may send it and keep the connection open until the client
    // closes. Each later read reports it, as recv reports a plain end.
    return SSL_has_pending(c->ssl) != 0 || (SSL_get_shutdown(c->ssl) & SSL_RECEIVED_SHUTDOWN) != 0;
}

// ---- close --------------------------------------------------------------------------------
bool TlsConnClose(TlsConn *c) {
    if (!c) return false;
    // What has arrived goes through the connection first: the session
    // tickets a TLS 1.3 server sends after the handshake of a data
    // connection that nothing read (an upload's) go to the pool, so that
    // the next data connection has a fresh session to resume (a server that
    // requires resumption refuses one without). Other bytes are dropped.
    if (c->established && c->sockError == 0) {
        char drop[4096];
        for (int i = 0; i < 64 && SSL_read(c->ssl, drop, sizeof drop) > 0; ++i) {
        }
    }
    // One close notify, unless the stream already failed; the peer's own is
    // not awaited.
    if (c->established && c->sockError == 0 && !(SSL_get_shutdown(c->ssl) & SSL_SENT_SHUTDOWN)) SSL_shutdown(c->ssl);
    ERR_clear_error();
    const bool inOrder = c->sockError == 0;
    SSL_free(c->ssl);
    SSL_CTX_free(c->ctx);
    zp_free(c);
    return inOrder;
}

// ---- what was agreed ----------------------------------------------------------------------
int32_t TlsConnVersion(TlsConn *c) { return c && c->established ? SSL_version(c->ssl) : 0; }

const char *TlsConnCipher(TlsConn *c) {
    const char *name = c && c->established ? SSL_get_cipher_name(c->ssl) : nullptr;
    return name ? name : "";
}

bool TlsConnVerified(TlsConn *c) {
    return c && c->established && c->verify && SSL_get_verify_result(c->ssl) == X509_V_OK;
}

bool TlsConnResumed(TlsConn *c) { return c && c->established && SSL_session_reused(c->ssl) == 1; }

}  // namespace zub
