// scripted.cpp - ScriptedFtpServer (see scripted.h for the behaviour).
//
// Sections: text helpers and built-in replies; rule matching; the server
// thread and control-connection loop; control actions (reply, pauses,
// close/reset); PASV/PORT; transfers over the data connection; the
// thread-safe observers.
#include "testserver/scripted.h"

#include "testserver/sock.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>

namespace zt {

using Clock = std::chrono::steady_clock;

// ---- text helpers and built-in replies -------------------------------------

namespace {

const char* const kPasvReply = "227 Entering Passive Mode (127,0,0,1,{p1},{p2})\r\n";
const char* const kEpsvReply = "229 Entering Extended Passive Mode (|||{port}|)\r\n";
const char* const kPrelimReply = "150 Opening data connection.\r\n";
const char* const kNoDataReply = "425 Can't open data connection.\r\n";

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
    if (verb == "RETR" || verb == "LIST" || verb == "NLST") return Rule::Xfer::Send;
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
    int fd = -1;
    std::string inbuf;
    int pasvFd = -1;        // passive listener of the pending transfer
    unsigned activeIp = 0;  // PORT target of the pending transfer
    int activePort = 0;
    std::vector<std::pair<Clock::time_point, std::string>> timers; // later()

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

bool ScriptedFtpServer::start() {
    if (thread_.joinable()) return true;
    listenFd_ = sock::listenLoopback(&port_);
    if (listenFd_ < 0) return false;
    stop_ = false;
    thread_ = std::thread([this] { run(); });
    return true;
}

void ScriptedFtpServer::stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    sock::closeGraceful(listenFd_);
    listenFd_ = -1;
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
        if (it->first <= now) {
            sock::sendAll(s.fd, it->second);
            it = s.timers.erase(it);
            continue;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(it->first - now).count();
        waitMs = std::min<int>(waitMs, static_cast<int>(left) + 1);
        ++it;
    }
    char buf[4096];
    long n = sock::recvSome(s.fd, buf, sizeof buf, waitMs, {&stop_});
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
    const Rule* found = pick(sc_.rules, line);
    const Rule& r = found ? *found : builtin;
    if (verb == "PASV" || verb == "EPSV") return handlePasv(s, r, verb == "EPSV" ? kEpsvReply : kPasvReply);
    if (verb == "PORT") return handlePort(s, r, line);
    Rule::Xfer x = r.xfer == Rule::Xfer::Auto ? transferOf(verb) : r.xfer;
    if (x != Rule::Xfer::None) return handleTransfer(s, r, x == Rule::Xfer::Receive);
    act(s, r, r.text ? *r.text : builtinText(verb, sc_.defaultReply));
}

// ---- control actions ---------------------------------------------------------

// delay, close/reset before, reply, later, close/reset after. False when the
// control connection is gone afterwards.
bool ScriptedFtpServer::act(Session& s, const Rule& r, const std::string& text) {
    if (r.held && !waitGate()) return false;
    if (!sock::pauseFor(r.delayMs, &stop_)) return false;
    if (r.conn == Rule::Conn::CloseBefore || r.conn == Rule::Conn::ResetBefore) {
        closeControl(s, r.conn == Rule::Conn::ResetBefore);
        return false;
    }
    if (!r.quiet && !sendReply(s, r, text)) return false;
    if (!r.laterText.empty())
        s.timers.emplace_back(Clock::now() + std::chrono::milliseconds(r.laterMs), r.laterText);
    if (r.conn == Rule::Conn::CloseAfter || r.conn == Rule::Conn::ResetAfter)
        closeControl(s, r.conn == Rule::Conn::ResetAfter);
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
            ok = sock::sendAll(s.fd, &text[i], 1, 5000, {&stop_}) &&
                 (i + 1 == text.size() || sock::pauseFor(r.bytePauseMs, &stop_));
    } else if (r.splitAt > 0 && r.splitAt < text.size()) {
        ok = sock::sendAll(s.fd, text.data(), r.splitAt, 5000, {&stop_}) &&
             sock::pauseFor(r.splitPauseMs, &stop_) &&
             sock::sendAll(s.fd, text.data() + r.splitAt, text.size() - r.splitAt, 5000, {&stop_});
    } else {
        ok = sock::sendAll(s.fd, text, 5000, {&stop_});
    }
    if (!ok) closeControl(s, false);
    return ok;
}

void ScriptedFtpServer::closeControl(Session& s, bool reset) {
    if (reset)
        sock::closeReset(s.fd);
    else
        sock::closeGraceful(s.fd);
    s.fd = -1;
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
            s.pasvFd = sock::listenLoopback(&port);
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
    if (dfd < 0) {
        sock::sendAll(s.fd, kNoDataReply);
    } else {
        record([&] { ++dataConnections_; });
        if (receiving)
            receiveBody(s, dfd, r);
        else
            sendBody(s, dfd, r);
        if (!sock::pauseFor(r.afterDelayMs, &stop_)) return;
        if (!r.afterText.empty()) {
            Rule pace;
            pace.bytePauseMs = r.afterPauseMs;
            if (!sendReply(s, pace, r.afterText)) return;
        }
    }
    Rule last; // later() and close/reset after
    last.quiet = true;
    last.laterText = r.laterText;
    last.laterMs = r.laterMs;
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

void ScriptedFtpServer::sendBody(Session& s, int dfd, const Rule& r) {
    sock::Cancel cancel{&stop_, s.fd};
    bool cut = r.fault == Rule::Fault::CloseAfter || r.fault == Rule::Fault::ResetAfter;
    size_t limit = cut ? std::min(r.faultBytes, r.body.size()) : r.body.size();
    size_t step = r.chunkSize > 0 ? r.chunkSize : std::max<size_t>(limit, 1);
    bool ok = sock::pauseFor(r.dataDelayMs, &stop_);
    for (size_t off = 0; ok && off < limit; off += step) {
        ok = sock::sendAll(dfd, r.body.data() + off, std::min(step, limit - off), sc_.dataTimeoutMs, cancel);
        if (ok && off + step < limit) ok = sock::pauseFor(r.chunkPauseMs, &stop_);
    }
    if (r.fault == Rule::Fault::ResetAfter) {
        sock::drainSendQueue(dfd);
        sock::closeReset(dfd);
    } else {
        sock::closeGraceful(dfd);
    }
}

void ScriptedFtpServer::receiveBody(Session& s, int dfd, const Rule& r) {
    sock::Cancel cancel{&stop_, s.fd};
    bool cut = r.fault == Rule::Fault::CloseAfter || r.fault == Rule::Fault::ResetAfter;
    size_t limit = cut ? r.faultBytes : static_cast<size_t>(-1);
    std::string got;
    char buf[8192];
    bool ok = sock::pauseFor(r.dataDelayMs, &stop_);
    while (ok && got.size() < limit) {
        long n = sock::recvSome(dfd, buf, std::min(sizeof buf, limit - got.size()), sc_.dataTimeoutMs, cancel);
        if (n <= 0) break;
        got.append(buf, static_cast<size_t>(n));
    }
    if (r.fault == Rule::Fault::ResetAfter)
        sock::closeReset(dfd);
    else
        sock::closeGraceful(dfd);
    record([&] { uploads_.push_back(std::move(got)); });
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

bool ScriptedFtpServer::waitForCommands(size_t n, int timeoutMs) const {
    std::unique_lock<std::mutex> g(mu_);
    return cv_.wait_for(g, std::chrono::milliseconds(timeoutMs), [&] { return transcript_.size() >= n; });
}

bool ScriptedFtpServer::waitForConnections(int n, int timeoutMs) const {
    std::unique_lock<std::mutex> g(mu_);
    return cv_.wait_for(g, std::chrono::milliseconds(timeoutMs), [&] { return connections_ >= n; });
}

} // namespace zt
