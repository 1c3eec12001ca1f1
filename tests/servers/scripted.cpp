// scripted.cpp - ScriptedFtpServer (see scripted.h for the behaviour).
//
// Sections: text helpers and built-in replies; rule matching; the server
// thread and control-connection loop; control actions (reply, pauses,
// close/reset); TLS on the control connection; PASV/PORT; transfers over
// the data connection; the thread-safe observers.
//
// TLS (ZT_SCRIPTED_TLS, POSIX with OpenSSL) goes through tlsio.h; a
// session's SSL objects are kept as void* so that the rest compiles
// without OpenSSL, and every TLS call sits inside that macro.
#include "servers/scripted.h"

#include "servers/sock.h"
#include "servers/tlsio.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>

#ifndef _WIN32
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#endif

namespace zt {

using Clock = std::chrono::steady_clock;

// ---- text helpers and built-in replies -------------------------------------

namespace {

const char* const kPasvReply = "227 Entering Passive Mode (127,0,0,1,{p1},{p2})\r\n";
const char* const kEpsvReply = "229 Entering Extended Passive Mode (|||{port}|)\r\n";
const char* const kPrelimReply = "150 Opening data connection.\r\n";
const char* const kNoDataReply = "425 Can't open data connection.\r\n";
const char* const kTlsDataFailed = "522 TLS handshake on the data connection failed.\r\n";
const char* const kAuthReply = "234 AUTH TLS successful.\r\n";
const char* const kAuthAgainReply = "503 Already using TLS.\r\n";

#ifdef ZT_SCRIPTED_TLS
SSL* tlsOf(void* p) { return static_cast<SSL*>(p); }
#endif

// Holds back (true) or lets go (false) the socket's partial segments.
bool setCork(int fd, bool on) {
#ifdef TCP_CORK
    int v = on ? 1 : 0;
    return setsockopt(fd, IPPROTO_TCP, TCP_CORK, &v, sizeof v) == 0;
#else
    (void)fd;
    (void)on;
    return false;
#endif
}

// Frees a data connection's TLS (close notify first if asked); the socket
// stays open.
void closeDataTls(void* dtls, bool notify) {
#ifdef ZT_SCRIPTED_TLS
    tlsio::close(tlsOf(dtls), notify);
#else
    (void)dtls;
    (void)notify;
#endif
}

std::string upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

std::string verbOf(const std::string& line) { return upper(line.substr(0, line.find(' '))); }

int replyCode(const std::string& text) {
    int code = 0;
    for (size_t i = 0; i < text.size() && i < 3 && std::isdigit(static_cast<unsigned char>(text[i])); ++i)
        code = code * 10 + (text[i] - '0');
    return code;
}

void replaceAll(std::string& s, const std::string& from, const std::string& to) {
    for (size_t p = s.find(from); p != std::string::npos; p = s.find(from, p + to.size()))
        s.replace(p, from.size(), to);
}

Rule::Xfer transferOf(const std::string& verb) {
    if (verb == "RETR" || verb == "LIST" || verb == "NLST" || verb == "MLSD") return Rule::Xfer::Send;
    if (verb == "STOR" || verb == "APPE" || verb == "STOU") return Rule::Xfer::Receive;
    return Rule::Xfer::None;
}

std::string builtinText(const std::string& verb, const std::string& fallback) {
    if (verb == "USER") return "331 Password required.\r\n";
    if (verb == "PASS") return "230 Logged in.\r\n";
    if (verb == "QUIT") return "221 Goodbye.\r\n";
    if (verb == "PWD") return "257 \"/\" is the current directory.\r\n";
    if (verb == "CWD") return "250 Directory changed.\r\n";
    if (verb == "TYPE" || verb == "NOOP") return "200 OK.\r\n";
    if (transferOf(verb) != Rule::Xfer::None) return kPrelimReply;
    return fallback;
}

// Parses "PORT h1,h2,h3,h4,p1,p2"; false when the argument is malformed.
bool parsePort(const std::string& line, unsigned* ip, int* port) {
    unsigned v[6];
    char tail;
    size_t sp = line.find(' ');
    if (sp == std::string::npos) return false;
    int n = std::sscanf(line.c_str() + sp + 1, "%u,%u,%u,%u,%u,%u%c", &v[0], &v[1], &v[2], &v[3],
                        &v[4], &v[5], &tail);
    if (n != 6 || std::any_of(v, v + 6, [](unsigned x) { return x > 255; })) return false;
    *ip = (v[0] << 24) | (v[1] << 16) | (v[2] << 8) | v[3];
    *port = static_cast<int>(v[4] * 256 + v[5]);
    return true;
}

} // namespace

// Per control connection state.
struct ScriptedFtpServer::Session {
    struct Timer {
        Clock::time_point when;
        std::string text;
        bool clear; // clearText()
    };

    int fd = -1;
    void* ssl = nullptr;    // SSL* once TLS is on
    bool prot = false;      // PROT P given under TLS: data connections are TLS
    std::string inbuf;
    int pasvFd = -1;        // passive listener of the pending transfer
    unsigned activeIp = 0;  // PORT target of the pending transfer
    int activePort = 0;
    std::vector<Timer> timers; // later()

    bool open() const { return fd >= 0; }
    void dropDataSetup() {
        sock::closeGraceful(pasvFd);
        pasvFd = -1;
        activePort = 0;
    }
};

// ---- rule matching ---------------------------------------------------------

const Rule* ScriptedFtpServer::pick(std::deque<Rule>& rules, const std::string& line) {
    std::string verb = verbOf(line);
    for (Rule& r : rules) {
        if (r.usesLeft == 0) continue;
        bool hit = r.match.empty() || r.match == "*" ||
                   (r.match.find(' ') != std::string::npos ? r.match == line : upper(r.match) == verb);
        if (!hit) continue;
        if (r.usesLeft > 0) --r.usesLeft;
        return &r;
    }
    return nullptr;
}

// ---- server thread and control loop ----------------------------------------

ScriptedFtpServer::ScriptedFtpServer(Scenario sc) : sc_(std::move(sc)) {}

ScriptedFtpServer::~ScriptedFtpServer() { stop(); }

bool ScriptedFtpServer::tlsAvailable() {
#ifdef ZT_SCRIPTED_TLS
    return true;
#else
    return false;
#endif
}

bool ScriptedFtpServer::start() {
    if (thread_.joinable()) return true;
    error_.clear();
    bool wantsTls = sc_.implicitTls || !sc_.tlsCertFile.empty();
    for (const auto* rules : {&sc_.rules, &sc_.connectRules})
        for (const Rule& r : *rules) wantsTls = wantsTls || r.tls;
    if (wantsTls) {
        if (!tlsAvailable()) {
            error_ = "this build has no TLS for the scripted server (POSIX with OpenSSL only)";
            return false;
        }
        if (sc_.tlsCertFile.empty()) {
            error_ = "implicitTls and startTls() need Scenario::tlsCertFile";
            return false;
        }
#ifdef ZT_SCRIPTED_TLS
        tlsCtx_ = tlsio::serverContext(sc_.tlsCertFile, sc_.tlsVersion, &error_);
        if (!tlsCtx_) return false;
#endif
    }
    listenFd_ = sock::listenLoopback(&port_);
    if (listenFd_ < 0) {
        error_ = "cannot listen on 127.0.0.1";
        stop();
        return false;
    }
    stop_ = false;
    thread_ = std::thread([this] { run(); });
    return true;
}

void ScriptedFtpServer::stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    sock::closeGraceful(listenFd_);
    listenFd_ = -1;
#ifdef ZT_SCRIPTED_TLS
    SSL_CTX_free(static_cast<SSL_CTX*>(tlsCtx_));
#endif
    tlsCtx_ = nullptr;
}

void ScriptedFtpServer::run() {
    while (!stop_) {
        int fd = sock::acceptWithin(listenFd_, 100, {&stop_});
        if (fd >= 0) serve(fd);
    }
}

void ScriptedFtpServer::serve(int fd) {
    Session s;
    s.fd = fd;
    record([&] { ++connections_; });
    if (sc_.implicitTls && !startTls(s)) return;
    Rule greet;
    const Rule* g = pick(sc_.connectRules, "");
    if (!g) g = &greet;
    if (act(s, *g, g->text.value_or(sc_.greeting))) {
        while (s.open() && !stop_ && pollControl(s)) {}
    }
    s.dropDataSetup();
    if (s.open()) closeControl(s, false);
}

// Fires due later() texts, then waits briefly for input and handles every
// complete line. False when the client closed the connection.
bool ScriptedFtpServer::pollControl(Session& s) {
    auto now = Clock::now();
    int waitMs = 50;
    for (auto it = s.timers.begin(); it != s.timers.end();) {
        if (it->when <= now) {
            sendControl(s, it->text.data(), it->text.size(), it->clear);
            it = s.timers.erase(it);
            continue;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(it->when - now).count();
        waitMs = std::min<int>(waitMs, static_cast<int>(left) + 1);
        ++it;
    }
    char buf[4096];
    long n = recvControl(s, buf, sizeof buf, waitMs);
    if (n == -2) return true;
    if (n <= 0) return false;
    record([&] { raw_.append(buf, static_cast<size_t>(n)); });
    s.inbuf.append(buf, static_cast<size_t>(n));
    size_t eol;
    while (s.open() && (eol = s.inbuf.find('\n')) != std::string::npos) {
        std::string line = s.inbuf.substr(0, eol);
        s.inbuf.erase(0, eol + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        record([&] { transcript_.push_back(line); });
        handleLine(s, line);
    }
    return s.open();
}

void ScriptedFtpServer::handleLine(Session& s, const std::string& line) {
    std::string verb = verbOf(line);
    Rule builtin;
    if (verb == "QUIT") builtin.closeAfter();
    if (verb == "AUTH" && tlsCtx_ && !s.ssl) builtin.startTls();
    const Rule* found = pick(sc_.rules, line);
    const Rule& r = found ? *found : builtin;
    if (verb == "PASV" || verb == "EPSV") return handlePasv(s, r, verb == "EPSV" ? kEpsvReply : kPasvReply);
    if (verb == "PORT") return handlePort(s, r, line);
    Rule::Xfer x = r.xfer == Rule::Xfer::Auto ? transferOf(verb) : r.xfer;
    if (x != Rule::Xfer::None) return handleTransfer(s, r, x == Rule::Xfer::Receive);
    std::string text = r.text ? *r.text : builtinText(verb, sc_.defaultReply);
    if (!r.text && verb == "AUTH" && tlsCtx_) text = s.ssl ? kAuthAgainReply : kAuthReply;
    bool underTls = s.ssl != nullptr;
    if (!act(s, r, text)) return;
    // PROT P/C under TLS switches the data connections' protection.
    if (verb == "PROT" && underTls && replyCode(text) < 400) {
        std::string arg = upper(line.size() > 5 ? line.substr(5) : "");
        arg.erase(0, arg.find_first_not_of(' '));
        arg.erase(arg.find_last_not_of(' ') + 1);
        if (arg == "P" || arg == "C") s.prot = arg == "P";
    }
}

// ---- control actions ---------------------------------------------------------

// delay, close/reset before, reply, later, close/reset after. False when the
// control connection is gone afterwards.
bool ScriptedFtpServer::act(Session& s, const Rule& r, const std::string& text) {
    if (r.held && !waitGate()) return false;
    if (!sock::pauseFor(r.delayMs, &stop_)) return false;
    if (r.conn == Rule::Conn::CloseBefore || r.conn == Rule::Conn::ResetBefore) {
        closeControl(s, r.conn == Rule::Conn::ResetBefore, !r.noNotify);
        return false;
    }
#ifdef ZT_SCRIPTED_TLS
    if (r.endsTls && s.ssl) {
        tlsio::close(tlsOf(s.ssl), true);
        s.ssl = nullptr;
    }
#endif
    if (!r.quiet && !sendReply(s, r, text)) return false;
    if (r.tls && !startTls(s)) return false;
    if (!r.laterText.empty())
        s.timers.push_back({Clock::now() + std::chrono::milliseconds(r.laterMs), r.laterText, r.clear});
    if (r.conn == Rule::Conn::CloseAfter || r.conn == Rule::Conn::ResetAfter)
        closeControl(s, r.conn == Rule::Conn::ResetAfter, !r.noNotify);
    return s.open();
}

// Sliced, so that stop() ends the wait.
bool ScriptedFtpServer::waitGate() {
    std::unique_lock<std::mutex> lock(mu_);
    while (!gateOpen_) {
        if (stop_) return false;
        cv_.wait_for(lock, std::chrono::milliseconds(50));
    }
    return true;
}

void ScriptedFtpServer::openGate() {
    record([&] { gateOpen_ = true; });
}

bool ScriptedFtpServer::sendReply(Session& s, const Rule& r, const std::string& text) {
    bool ok = true;
    if (r.bytePauseMs >= 0) {
        for (size_t i = 0; ok && i < text.size(); ++i)
            ok = sendControl(s, &text[i], 1, r.clear) &&
                 (i + 1 == text.size() || sock::pauseFor(r.bytePauseMs, &stop_));
    } else if (r.splitAt > 0 && r.splitAt < text.size()) {
        ok = sendControl(s, text.data(), r.splitAt, r.clear) &&
             sock::pauseFor(r.splitPauseMs, &stop_) &&
             sendControl(s, text.data() + r.splitAt, text.size() - r.splitAt, r.clear);
    } else {
        ok = sendControl(s, text.data(), text.size(), r.clear);
    }
    if (!ok && s.open()) closeControl(s, false, false);
    return ok;
}

void ScriptedFtpServer::closeControl(Session& s, bool reset, bool notify) {
#ifdef ZT_SCRIPTED_TLS
    tlsio::close(tlsOf(s.ssl), notify && !reset);
#else
    (void)notify;
#endif
    s.ssl = nullptr;
    s.prot = false;
    if (reset)
        sock::closeReset(s.fd);
    else
        sock::closeGraceful(s.fd);
    s.fd = -1;
}

// ---- TLS on the control connection ---------------------------------------------

// Through TLS once it is on, unless clear is asked for (clearText()).
bool ScriptedFtpServer::sendControl(Session& s, const char* p, size_t n, bool clear) {
#ifdef ZT_SCRIPTED_TLS
    if (s.ssl && !clear) return tlsio::sendAll(tlsOf(s.ssl), p, n, 5000, {&stop_});
#else
    (void)clear;
#endif
    return sock::sendAll(s.fd, p, n, 5000, {&stop_});
}

// As sock::recvSome: >0 bytes, 0 end, -1 error, -2 nothing within waitMs.
long ScriptedFtpServer::recvControl(Session& s, char* buf, size_t len, int waitMs) {
#ifdef ZT_SCRIPTED_TLS
    if (s.ssl) return tlsio::recvSome(tlsOf(s.ssl), buf, len, waitMs, {&stop_});
#endif
    return sock::recvSome(s.fd, buf, len, waitMs, {&stop_});
}

// The server side of the handshake; a failure closes the connection.
bool ScriptedFtpServer::startTls(Session& s) {
    if (s.ssl) return true; // already on: nothing to start
    s.inbuf.clear();        // clear-text bytes after the command are dropped
#ifdef ZT_SCRIPTED_TLS
    s.ssl = tlsio::accept(static_cast<SSL_CTX*>(tlsCtx_), s.fd, sc_.dataTimeoutMs, {&stop_});
    if (s.ssl) return true;
#endif
    closeControl(s, false, false);
    return false;
}

// ---- PASV and PORT ---------------------------------------------------------------

void ScriptedFtpServer::handlePasv(Session& s, const Rule& r, const char* builtin) {
    s.dropDataSetup();
    std::string text = r.text.value_or(builtin);
    int port = 0;
    if (r.xfer != Rule::Xfer::None && replyCode(text) < 400) {
        if (r.fault == Rule::Fault::Refuse)
            port = sock::unusedPort();
        else
            s.pasvFd = r.highPort ? sock::listenHigh(&port) : sock::listenLoopback(&port);
        if (s.pasvFd >= 0) record([&] { passivePort_ = port; });
    }
    replaceAll(text, "{p1}", std::to_string(port >> 8));
    replaceAll(text, "{p2}", std::to_string(port & 0xFF));
    replaceAll(text, "{port}", std::to_string(port));
    act(s, r, text);
}

void ScriptedFtpServer::handlePort(Session& s, const Rule& r, const std::string& line) {
    s.dropDataSetup();
    bool ok = parsePort(line, &s.activeIp, &s.activePort);
    if (ok) record([&] { activePort_ = s.activePort; });
    act(s, r, r.text.value_or(ok ? "200 PORT command successful.\r\n" : "501 Syntax error in PORT.\r\n"));
}

// ---- transfers ---------------------------------------------------------------------

void ScriptedFtpServer::handleTransfer(Session& s, const Rule& r, bool receiving) {
    std::string prelim = r.text.value_or(kPrelimReply);
    if (replyCode(prelim) >= 400) {
        s.dropDataSetup();
        act(s, r, prelim);
        return;
    }
    bool closeAfter = r.conn == Rule::Conn::CloseAfter || r.conn == Rule::Conn::ResetAfter;
    Rule first = r; // delay, close-before and the preliminary reply only
    first.conn = closeAfter ? Rule::Conn::Keep : r.conn;
    first.laterText.clear();
    if (!act(s, first, prelim) || r.fault == Rule::Fault::Never) return;
    int dfd = openData(s, r);
    void* dtls = nullptr;
    bool tlsFailed = false;
    if (dfd >= 0) {
        record([&] { ++dataConnections_; });
#ifdef ZT_SCRIPTED_TLS
        if (s.ssl && s.prot && !r.plain) {
            SSL* d = tlsio::accept(static_cast<SSL_CTX*>(tlsCtx_), dfd, sc_.dataTimeoutMs,
                                   {&stop_, s.fd});
            tlsFailed = d == nullptr;
            if (d) record([&] {
                ++tlsData_;
                if (SSL_session_reused(d)) ++tlsResumed_;
            });
            dtls = d;
        }
#endif
    }
    if (dfd < 0 || tlsFailed) {
        sock::closeGraceful(dfd);
        const char* why = tlsFailed ? kTlsDataFailed : kNoDataReply;
        sendControl(s, why, std::strlen(why), r.clear);
    } else {
        if (receiving)
            receiveBody(s, dfd, dtls, r);
        else
            sendBody(s, dfd, dtls, r);
        if (!sock::pauseFor(r.afterDelayMs, &stop_)) return;
        if (!r.afterText.empty()) {
            Rule pace;
            pace.bytePauseMs = r.afterPauseMs;
            pace.clear = r.clear;
            if (!sendReply(s, pace, r.afterText)) return;
        }
    }
    Rule last; // later() and close/reset after
    last.quiet = true;
    last.laterText = r.laterText;
    last.laterMs = r.laterMs;
    last.clear = r.clear;
    last.noNotify = r.noNotify;
    last.conn = closeAfter ? r.conn : Rule::Conn::Keep;
    act(s, last, "");
}

// Accepts on the passive listener or connects to the PORT address. The setup
// is used up either way; refuseData() closes the listener unaccepted, which
// resets a connection the client already has queued.
int ScriptedFtpServer::openData(Session& s, const Rule& r) {
    sock::Cancel cancel{&stop_, s.fd};
    int fd = -1;
    bool refuse = r.fault == Rule::Fault::Refuse;
    if (s.pasvFd >= 0 && !refuse) {
        fd = sock::acceptWithin(s.pasvFd, sc_.dataTimeoutMs, cancel);
    } else if (s.activePort > 0 && !refuse && (s.activeIp >> 24) == 127) {
        fd = sock::connectLoopback(s.activePort, sc_.dataTimeoutMs, cancel, s.activeIp);
    }
    s.dropDataSetup();
    return fd;
}

// dtls: the data connection's SSL* when it is TLS, else null (clear text).
void ScriptedFtpServer::sendBody(Session& s, int dfd, void* dtls, const Rule& r) {
    sock::Cancel cancel{&stop_, s.fd};
    auto put = [&](const char* p, size_t n) {
#ifdef ZT_SCRIPTED_TLS
        if (dtls) return tlsio::sendAll(tlsOf(dtls), p, n, sc_.dataTimeoutMs, cancel);
#endif
        return sock::sendAll(dfd, p, n, sc_.dataTimeoutMs, cancel);
    };
    bool cut = r.fault == Rule::Fault::CloseAfter || r.fault == Rule::Fault::ResetAfter;
    size_t limit = cut ? std::min(r.faultBytes, r.body.size()) : r.body.size();
    size_t step = r.chunkSize > 0 ? r.chunkSize : std::max<size_t>(limit, 1);
    // The last bytes and the close notify go out in one segment, so the
    // client finds the close notify already there when it reads the data.
    const bool corked = r.waitClose && dtls && setCork(dfd, true);
    bool ok = sock::pauseFor(r.dataDelayMs, &stop_);
    for (size_t off = 0; ok && off < limit; off += step) {
        ok = put(r.body.data() + off, std::min(step, limit - off));
        if (ok && off + step < limit) ok = sock::pauseFor(r.chunkPauseMs, &stop_);
    }
    if (r.fault == Rule::Fault::ResetAfter) {
        sock::drainSendQueue(dfd);
        closeDataTls(dtls, false);
        sock::closeReset(dfd);
    } else if (r.waitClose && dtls) {
        // The close notify says the file is complete; the TCP close is left
        // to the client. Its own close notify arrives as bytes first.
        closeDataTls(dtls, true);
        if (corked) setCork(dfd, false);
        char drop[4096];
        long n;
        while ((n = sock::recvSome(dfd, drop, sizeof drop, sc_.dataTimeoutMs, cancel)) > 0) {
        }
        if (n == 0)
            sock::closeGraceful(dfd);
        else
            sock::closeReset(dfd);
    } else {
        closeDataTls(dtls, !r.noNotify);
        sock::closeGraceful(dfd);
    }
}

void ScriptedFtpServer::receiveBody(Session& s, int dfd, void* dtls, const Rule& r) {
    sock::Cancel cancel{&stop_, s.fd};
    bool notified = false;
    auto get = [&](char* buf, size_t n) -> long {
#ifdef ZT_SCRIPTED_TLS
        if (dtls) return tlsio::recvSome(tlsOf(dtls), buf, n, sc_.dataTimeoutMs, cancel, &notified);
#endif
        return sock::recvSome(dfd, buf, n, sc_.dataTimeoutMs, cancel);
    };
    bool cut = r.fault == Rule::Fault::CloseAfter || r.fault == Rule::Fault::ResetAfter;
    size_t limit = cut ? r.faultBytes : static_cast<size_t>(-1);
    std::string got;
    char buf[8192];
    bool ok = sock::pauseFor(r.dataDelayMs, &stop_);
    while (ok && got.size() < limit) {
        long n = get(buf, std::min(sizeof buf, limit - got.size()));
        if (n <= 0) break;
        got.append(buf, static_cast<size_t>(n));
    }
    if (r.fault == Rule::Fault::ResetAfter) {
        closeDataTls(dtls, false);
        sock::closeReset(dfd);
    } else {
        closeDataTls(dtls, !r.noNotify);
        sock::closeGraceful(dfd);
    }
    record([&] {
        uploads_.push_back(std::move(got));
        uploadNotify_.push_back(notified);
    });
}

// ---- observers -------------------------------------------------------------------

std::vector<std::string> ScriptedFtpServer::transcript() const {
    std::lock_guard<std::mutex> g(mu_);
    return transcript_;
}

std::string ScriptedFtpServer::rawInput() const {
    std::lock_guard<std::mutex> g(mu_);
    return raw_;
}

std::vector<std::string> ScriptedFtpServer::uploads() const {
    std::lock_guard<std::mutex> g(mu_);
    return uploads_;
}

int ScriptedFtpServer::connections() const {
    std::lock_guard<std::mutex> g(mu_);
    return connections_;
}

int ScriptedFtpServer::dataConnections() const {
    std::lock_guard<std::mutex> g(mu_);
    return dataConnections_;
}

int ScriptedFtpServer::activePort() const {
    std::lock_guard<std::mutex> g(mu_);
    return activePort_;
}

int ScriptedFtpServer::passivePort() const {
    std::lock_guard<std::mutex> g(mu_);
    return passivePort_;
}

int ScriptedFtpServer::tlsDataConnections() const {
    std::lock_guard<std::mutex> g(mu_);
    return tlsData_;
}

int ScriptedFtpServer::tlsDataResumed() const {
    std::lock_guard<std::mutex> g(mu_);
    return tlsResumed_;
}

std::vector<bool> ScriptedFtpServer::uploadCloseNotify() const {
    std::lock_guard<std::mutex> g(mu_);
    return uploadNotify_;
}

bool ScriptedFtpServer::waitForCommands(size_t n, int timeoutMs) const {
    std::unique_lock<std::mutex> g(mu_);
    return cv_.wait_for(g, std::chrono::milliseconds(timeoutMs), [&] { return transcript_.size() >= n; });
}

bool ScriptedFtpServer::waitForConnections(int n, int timeoutMs) const {
    std::unique_lock<std::mutex> g(mu_);
    return cv_.wait_for(g, std::chrono::milliseconds(timeoutMs), [&] { return connections_ >= n; });
}

} // namespace zt
