// tlsio.cpp - bounded TLS on non-blocking sockets (see tlsio.h).
#include "servers/tlsio.h"

#ifdef ZT_SCRIPTED_TLS

#include <openssl/err.h>
#include <openssl/x509v3.h>

#include <arpa/inet.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>

#include <cerrno>
#include <chrono>

namespace zt::tlsio {

namespace {

using Clock = std::chrono::steady_clock;

int msLeft(Clock::time_point end) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Blocks SIGPIPE for this thread while alive; one raised meanwhile (a write
// to a socket the peer has closed) is taken back before the mask returns.
class NoSigpipe {
public:
    NoSigpipe() {
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe, &old_);
        sigset_t pending;
        sigpending(&pending);
        wasPending_ = sigismember(&pending, SIGPIPE) == 1;
    }
    ~NoSigpipe() {
        sigset_t pending;
        sigpending(&pending);
        if (!wasPending_ && sigismember(&pending, SIGPIPE) == 1) {
            sigset_t pipe;
            sigemptyset(&pipe);
            sigaddset(&pipe, SIGPIPE);
            timespec zero{0, 0};
            while (sigtimedwait(&pipe, nullptr, &zero) < 0 && errno == EINTR) {}
        }
        pthread_sigmask(SIG_SETMASK, &old_, nullptr);
    }
    NoSigpipe(const NoSigpipe&) = delete;
    NoSigpipe& operator=(const NoSigpipe&) = delete;

private:
    sigset_t old_;
    bool wasPending_ = false;
};

// 1: go on (the socket is ready as OpenSSL wants it), 0: give up.
int waitAsWanted(SSL* ssl, int err, Clock::time_point end, const sock::Cancel& c) {
    short events = err == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN;
    return sock::waitFor(SSL_get_fd(ssl), events, msLeft(end), c) == 1 ? 1 : 0;
}

bool applyVersion(SSL_CTX* ctx, int version) {
    if (version == 12) return SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION) &&
                              SSL_CTX_set_max_proto_version(ctx, TLS1_2_VERSION);
    if (version == 13) return SSL_CTX_set_min_proto_version(ctx, TLS1_3_VERSION) &&
                              SSL_CTX_set_max_proto_version(ctx, TLS1_3_VERSION);
    return version == 0 && SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
}

// The handshake loop shared by accept and connect.
SSL* handshake(SSL* ssl, bool server, int timeoutMs, const sock::Cancel& c, std::string* error) {
    NoSigpipe quiet;
    auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        ERR_clear_error();
        int r = server ? SSL_accept(ssl) : SSL_connect(ssl);
        if (r == 1) return ssl;
        int err = SSL_get_error(ssl, r);
        if ((err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) &&
            waitAsWanted(ssl, err, end, c))
            continue;
        if (error) {
            *error = err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE
                         ? std::string("TLS handshake: no progress in time")
                         : "TLS handshake failed: " + lastErrors();
            long v = SSL_get_verify_result(ssl);
            if (!server && v != X509_V_OK)
                *error += std::string(" (verify: ") + X509_verify_cert_error_string(v) + ")";
        }
        ERR_clear_error();
        SSL_free(ssl);
        return nullptr;
    }
}

} // namespace

std::string lastErrors() {
    std::string out;
    char buf[256];
    for (unsigned long e; (e = ERR_get_error()) != 0;) {
        ERR_error_string_n(e, buf, sizeof buf);
        if (!out.empty()) out += "; ";
        out += buf;
    }
    return out.empty() ? "no OpenSSL error (connection closed?)" : out;
}

SSL_CTX* serverContext(const std::string& pemFile, int version, std::string* error) {
    ERR_clear_error();
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    static const unsigned char kSid[] = "zub-scripted";
    bool ok = ctx && applyVersion(ctx, version) &&
              SSL_CTX_use_certificate_chain_file(ctx, pemFile.c_str()) == 1 &&
              SSL_CTX_use_PrivateKey_file(ctx, pemFile.c_str(), SSL_FILETYPE_PEM) == 1 &&
              SSL_CTX_check_private_key(ctx) == 1 &&
              SSL_CTX_set_session_id_context(ctx, kSid, sizeof kSid - 1) == 1;
    if (!ok) {
        if (error) *error = "TLS server context from " + pemFile + ": " + lastErrors();
        SSL_CTX_free(ctx);
        return nullptr;
    }
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_SERVER);
    SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    return ctx;
}

SSL_CTX* clientContext(const std::string& caFile, int version, std::string* error) {
    ERR_clear_error();
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    bool ok = ctx && applyVersion(ctx, version) &&
              (caFile.empty() || SSL_CTX_load_verify_locations(ctx, caFile.c_str(), nullptr) == 1);
    if (!ok) {
        if (error) *error = "TLS client context: " + lastErrors();
        SSL_CTX_free(ctx);
        return nullptr;
    }
    SSL_CTX_set_verify(ctx, caFile.empty() ? SSL_VERIFY_NONE : SSL_VERIFY_PEER, nullptr);
    SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    return ctx;
}

SSL* accept(SSL_CTX* ctx, int fd, int timeoutMs, const sock::Cancel& c, std::string* error) {
    SSL* ssl = ctx && fd >= 0 ? SSL_new(ctx) : nullptr;
    if (!ssl || SSL_set_fd(ssl, fd) != 1) {
        if (error) *error = "TLS: no context or socket";
        SSL_free(ssl);
        return nullptr;
    }
    return handshake(ssl, true, timeoutMs, c, error);
}

SSL* connect(SSL_CTX* ctx, int fd, const std::string& host, int timeoutMs, SSL_SESSION* resume,
             const sock::Cancel& c, std::string* error) {
    SSL* ssl = ctx && fd >= 0 ? SSL_new(ctx) : nullptr;
    if (!ssl || SSL_set_fd(ssl, fd) != 1) {
        if (error) *error = "TLS: no context or socket";
        SSL_free(ssl);
        return nullptr;
    }
    in_addr ip{};
    bool named = true;
    if (::inet_pton(AF_INET, host.c_str(), &ip) == 1)
        named = X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), host.c_str()) == 1;
    else if (!host.empty())
        named = SSL_set1_host(ssl, host.c_str()) == 1 &&
                SSL_set_tlsext_host_name(ssl, host.c_str()) == 1;
    if (!named || (resume && SSL_set_session(ssl, resume) != 1)) {
        if (error) *error = "TLS: cannot set the peer's name or the session: " + lastErrors();
        SSL_free(ssl);
        return nullptr;
    }
    return handshake(ssl, false, timeoutMs, c, error);
}

bool sendAll(SSL* ssl, const void* data, size_t len, int timeoutMs, const sock::Cancel& c) {
    NoSigpipe quiet;
    auto p = static_cast<const char*>(data);
    auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (len > 0) {
        ERR_clear_error();
        size_t n = 0;
        if (SSL_write_ex(ssl, p, len, &n) == 1) {
            p += n;
            len -= n;
            continue;
        }
        int err = SSL_get_error(ssl, 0);
        if ((err != SSL_ERROR_WANT_READ && err != SSL_ERROR_WANT_WRITE) ||
            !waitAsWanted(ssl, err, end, c)) {
            ERR_clear_error();
            return false;
        }
    }
    return true;
}

long recvSome(SSL* ssl, char* buf, size_t len, int timeoutMs, const sock::Cancel& c,
              bool* closeNotify) {
    NoSigpipe quiet;
    auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        ERR_clear_error();
        size_t n = 0;
        if (SSL_read_ex(ssl, buf, len, &n) == 1) return static_cast<long>(n);
        int err = SSL_get_error(ssl, 0);
        if (err == SSL_ERROR_ZERO_RETURN) {
            if (closeNotify) *closeNotify = true;
            return 0;
        }
        if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) {
            if (!waitAsWanted(ssl, err, end, c)) return -2;
            continue;
        }
        // OpenSSL 3 reports a TCP end without close notify as this error
        // (older versions as SSL_ERROR_SYSCALL with no errno).
        unsigned long e = ERR_peek_last_error();
        bool eof = (err == SSL_ERROR_SSL && ERR_GET_REASON(e) == SSL_R_UNEXPECTED_EOF_WHILE_READING) ||
                   (err == SSL_ERROR_SYSCALL && e == 0 && errno == 0);
        ERR_clear_error();
        if (!eof) return -1;
        if (closeNotify) *closeNotify = false;
        return 0;
    }
}

bool recvToEnd(SSL* ssl, std::string* acc, int timeoutMs, bool* closeNotify) {
    auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    char buf[16384];
    for (;;) {
        long n = recvSome(ssl, buf, sizeof buf, msLeft(end), {}, closeNotify);
        if (n == 0) return true;
        if (n < 0) return false;
        acc->append(buf, static_cast<size_t>(n));
    }
}

namespace {

// One close notify, sent within the bound; the peer's is not awaited.
void sendCloseNotify(SSL* ssl, int timeoutMs) {
    NoSigpipe quiet;
    auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        ERR_clear_error();
        int r = SSL_shutdown(ssl);
        if (r >= 0) break; // 0: sent; 1: the peer's had come already
        int err = SSL_get_error(ssl, r);
        if (err != SSL_ERROR_WANT_WRITE || !waitAsWanted(ssl, err, end, {})) break;
    }
    ERR_clear_error();
}

} // namespace

void close(SSL* ssl, bool notify, int timeoutMs) {
    if (!ssl) return;
    if (notify) sendCloseNotify(ssl, timeoutMs);
    SSL_free(ssl);
}

bool finish(SSL* ssl, bool notify, int timeoutMs) {
    if (!ssl) return false;
    std::string sink;
    bool clean = false;
    if (notify) {
        sendCloseNotify(ssl, timeoutMs);
        bool peerNotify = false;
        clean = recvToEnd(ssl, &sink, timeoutMs, &peerNotify);
        SSL_free(ssl);
    } else {
        int fd = SSL_get_fd(ssl);
        SSL_free(ssl);
        ::shutdown(fd, SHUT_WR);
        clean = sock::recvToEnd(fd, &sink, timeoutMs);
    }
    return clean;
}

} // namespace zt::tlsio

#endif // ZT_SCRIPTED_TLS
