// scripted.h - ScriptedFtpServer: a tiny in-process FTP server driven by a
// scenario, for replies and faults that a real server will not produce.
//
// A test describes the server's behaviour as data (a Scenario made of
// Rules), runs the client against it, then asserts what the server received:
//
//   zt::Scenario sc;
//   sc.greeting = "220-Hi\r\n 2\r\n220 Ready\r\n";
//   sc.on("PASS").reply("530 Login incorrect.\r\n");
//   sc.on("RETR").data("hello").after("226 done\r\n");
//   zt::ScriptedFtpServer srv(sc);
//   ASSERT_TRUE(srv.start());
//   ... client talks to 127.0.0.1:srv.port() ...
//   EXPECT_EQ(srv.transcript(), (std::vector<std::string>{"USER u", "PASS p"}));
//
// Matching. Each command line (CR LF stripped) is matched against the rules
// in the order they were added; the first rule that matches and has uses
// left handles it. A match text without a space is a verb, compared without
// regard to case ("RETR" matches "retr a.txt"); with a space it must equal
// the whole line ("CWD /pub"); "*" matches every command. once()/times(n)
// limit how often a rule fires, so "first RETR gets X, the next gets Y" is
//   sc.on("RETR").once().data("X");  sc.on("RETR").data("Y");
//
// Built-in behaviour when no rule matches (and the reply text of a rule that
// sets no reply() of its own): USER 331, PASS 230, QUIT 221 then close,
// PWD 257 "/", CWD 250, TYPE 200, NOOP 200, PORT 200 (501 if unparsable),
// PASV opens a listener and replies 227, RETR/LIST/NLST/MLSD send an empty body,
// STOR/APPE/STOU receive (both 150 ... 226); anything else gets
// Scenario::defaultReply ("200 OK\r\n"). A rule replaces the built-in
// actions of its verb (e.g. a QUIT rule closes only with closeAfter()).
//
// Control actions of a rule, in the order they happen:
//   hold()               wait until the test calls openGate() (or stop())
//   delay(ms)            wait before anything is sent
//   closeBefore()        close the control connection instead of replying
//   resetBefore()        reset it (SO_LINGER 0) instead of replying
//   reply(text)          the raw bytes to send (may be multi-line, partial)
//   silence()            send no reply at all (on a transfer rule: no
//                        preliminary reply; the rest still happens)
//   byteByByte(ms)       send the reply one byte at a time, pausing between
//   split(at, ms)        send the reply in two pieces: [0,at) then the rest
//   startTls()           TLS accept on the control connection (see TLS)
//   later(text, ms)      an unsolicited extra text `ms` after the reply
//   closeAfter()         close the control connection after the reply
//   resetAfter()         reset it after the reply
// The greeting is a rule too: sc.onConnect() returns one (same actions);
// without one, Scenario::greeting is sent. Connect rules are used in order,
// so a second connection can be greeted differently (onConnect().once()).
//
// Data connections.
//   EPSV: the same, replying "229 Entering Extended Passive Mode
//     (|||{port}|)\r\n".
//   PASV: listens on 127.0.0.1 (ephemeral port) and replies
//     "227 Entering Passive Mode (127,0,0,1,{p1},{p2})\r\n". A PASV rule's
//     reply() replaces that text; {p1}, {p2} and {port} are replaced by the
//     listener's port, so odd formats stay usable:
//       sc.on("PASV").reply("227 Passive 10,0,0,5,{p1},{p2}\r\n");
//     sc.on("PASV").refuseData() names a port nobody listens on.
//     highDataPort() on a PASV or EPSV rule listens on a free port above
//     32767 (tried at random in that range) instead of an ephemeral one.
//     A PASV reply of 400 or more opens no listener.
//   PORT h1,h2,h3,h4,p1,p2: the address is recorded (activePort()) and the
//     server connects to it when the transfer command arrives. Only
//     127.x.x.x is ever connected to; anything else fails like a refusal.
//   Transfer commands (RETR, LIST, NLST send; STOR, APPE, STOU receive; or
//   any verb given data()/receive()): the rule's reply() is the preliminary
//   reply (default "150 Opening data connection.\r\n"); then the data
//   connection is accepted/connected, the body is sent (or the upload read
//   until the client closes) and the connection closed; then after(text)
//   is sent (default "226 Transfer complete.\r\n"; "" sends nothing).
//   A preliminary reply of 400 or more, or noData(), means: that reply only,
//   no data connection. Without a usable PASV/PORT the server answers
//   "425 Can't open data connection.\r\n".
//   Data faults and pacing on a transfer rule:
//     neverConnect()       never accept/connect; no completion reply
//     closeDataAfter(n)    send (or read) only n bytes, then close
//     resetDataAfter(n)    send (or read) n bytes, then reset the connection
//     dataDelay(ms)        pause after connecting, before the body
//     chunked(size, ms)    send the body in pieces of `size`, pausing between
//     afterDelay(ms)       pause before the completion reply
//     afterByteByByte(ms)  send the completion reply one byte at a time
//
// TLS (POSIX builds that found OpenSSL; tlsAvailable() says so, and start()
// fails for a scenario that needs TLS elsewhere). Scenario::tlsCertFile is
// the server's PEM file (key and certificate, e.g. zt::TestCerts::Get()
// .server, certs.h); Scenario::tlsVersion pins TLS 1.2 (12) or 1.3 (13).
//   startTls()           after this rule's reply, a TLS accept on the control
//                        connection; from then on commands are read and
//                        replies written through TLS (transcript() and
//                        rawInput() keep the decrypted text). Bytes that
//                        came after the command in clear text are dropped.
//                        A failed handshake ends the connection.
//       sc.on("AUTH").reply("234 Go ahead.\r\n").startTls();
//     With tlsCertFile set, a built-in AUTH does the same ("234 AUTH TLS
//     successful."; "503 Already using TLS." once TLS is on).
//   Scenario::implicitTls  the TLS accept comes right after the connection
//                        is accepted, before the greeting.
//   clearText()          this rule's replies (and later() text) go out in
//                        clear text on the raw socket though TLS is on.
//   After "PROT P" (answered below 400) on a TLS control connection, data
//   connections are TLS too: the server accepts the handshake (resuming the
//   control connection's session if the client offers it), sends the body,
//   sends a close notify and closes; "PROT C" ends that. A failed data
//   handshake is answered "522 ..." instead of the completion reply. Under
//   TLS 1.3 the server sends session tickets right after every handshake,
//   data connections' too (as OpenSSL servers and pyftpdlib do): a client
//   that uploads and closes with those unread turns its close into a reset,
//   which can drop its close notify (see tlsio::finish).
//   plainData()          this transfer's data goes in clear text anyway
//   noCloseNotify()      close without a TLS close notify (data connection;
//                        on closeAfter()/closeBefore() the control one)
//   waitAfterNotify()    after a download's close notify the data connection
//                        stays open until the client closes it (as vsftpd
//                        does); a client that has not closed it within
//                        dataTimeoutMs gets a reset
//   endTls()             before this rule's reply, a close notify on the
//                        control connection; from then on clear text
//   Observers: tlsDataConnections(), tlsDataResumed() count the data
//   connections that were TLS and those whose session was resumed;
//   uploadCloseNotify() says for each upload whether the client ended its
//   TLS data stream with a close notify (false for clear-text uploads).
//
// Observing: transcript() lists the command lines received (all connections,
// in order); rawInput() has the exact bytes; uploads() one entry per
// upload; connections(), dataConnections(). waitForCommands(n) and
// waitForConnections(n) block on a condition variable with a bound.
//
// Bounds: every wait in the server thread is a sliced poll; a data
// connection that does not come within Scenario::dataTimeoutMs is given up.
// stop() (and the destructor) ends the thread within a fraction of a second.
// One control connection is served at a time; the next waits in the backlog.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace zt {

struct Rule {
    enum class Conn { Keep, CloseBefore, ResetBefore, CloseAfter, ResetAfter };
    enum class Xfer { Auto, None, Send, Receive };
    enum class Fault { None, Refuse, Never, CloseAfter, ResetAfter };

    std::string match;                  // verb, full line or "*"
    int usesLeft = -1;                  // -1: unlimited
    std::optional<std::string> text;    // reply; unset: the built-in text
    bool quiet = false;                 // silence()
    bool held = false;
    int delayMs = 0;
    Conn conn = Conn::Keep;
    int bytePauseMs = -1;               // >= 0: byte by byte
    size_t splitAt = 0;                 // > 0: two pieces
    int splitPauseMs = 0;
    std::string laterText;
    int laterMs = 0;

    Xfer xfer = Xfer::Auto;
    std::string body;
    std::string afterText = "226 Transfer complete.\r\n";
    Fault fault = Fault::None;
    size_t faultBytes = 0;
    int dataDelayMs = 0;
    bool highPort = false;              // highDataPort()
    size_t chunkSize = 0;
    int chunkPauseMs = 0;
    int afterDelayMs = 0;
    int afterPauseMs = -1;              // >= 0: completion reply byte by byte

    bool tls = false;                   // startTls()
    bool clear = false;                 // clearText()
    bool plain = false;                 // plainData()
    bool noNotify = false;              // noCloseNotify()
    bool waitClose = false;             // waitAfterNotify()
    bool endsTls = false;               // endTls()

    Rule& once() { return times(1); }
    Rule& times(int n) { usesLeft = n; return *this; }
    Rule& reply(std::string t) { text = std::move(t); return *this; }
    Rule& silence() { quiet = true; return *this; }
    Rule& hold() { held = true; return *this; }
    Rule& delay(int ms) { delayMs = ms; return *this; }
    Rule& closeBefore() { conn = Conn::CloseBefore; return *this; }
    Rule& resetBefore() { conn = Conn::ResetBefore; return *this; }
    Rule& closeAfter() { conn = Conn::CloseAfter; return *this; }
    Rule& resetAfter() { conn = Conn::ResetAfter; return *this; }
    Rule& byteByByte(int pauseMs = 2) { bytePauseMs = pauseMs; return *this; }
    Rule& split(size_t at, int pauseMs = 50) { splitAt = at; splitPauseMs = pauseMs; return *this; }
    Rule& later(std::string t, int ms) { laterText = std::move(t); laterMs = ms; return *this; }

    Rule& data(std::string b) { xfer = Xfer::Send; body = std::move(b); return *this; }
    Rule& receive() { xfer = Xfer::Receive; return *this; }
    Rule& noData() { xfer = Xfer::None; return *this; }
    Rule& after(std::string t) { afterText = std::move(t); return *this; }
    Rule& refuseData() { fault = Fault::Refuse; return *this; }
    Rule& highDataPort() { highPort = true; return *this; }
    Rule& neverConnect() { fault = Fault::Never; return *this; }
    Rule& closeDataAfter(size_t n) { fault = Fault::CloseAfter; faultBytes = n; return *this; }
    Rule& resetDataAfter(size_t n) { fault = Fault::ResetAfter; faultBytes = n; return *this; }
    Rule& dataDelay(int ms) { dataDelayMs = ms; return *this; }
    Rule& chunked(size_t size, int pauseMs) { chunkSize = size; chunkPauseMs = pauseMs; return *this; }
    Rule& afterDelay(int ms) { afterDelayMs = ms; return *this; }
    Rule& afterByteByByte(int pauseMs) { afterPauseMs = pauseMs; return *this; }

    Rule& startTls() { tls = true; return *this; }
    Rule& clearText() { clear = true; return *this; }
    Rule& plainData() { plain = true; return *this; }
    Rule& noCloseNotify() { noNotify = true; return *this; }
    Rule& waitAfterNotify() { waitClose = true; return *this; }
    Rule& endTls() { endsTls = true; return *this; }
};

struct Scenario {
    std::string greeting = "220 Service ready.\r\n";
    std::string defaultReply = "200 OK\r\n";
    int dataTimeoutMs = 5000; // bound for data connections and uploads
                              // (and for TLS handshakes)
    std::string tlsCertFile;  // PEM with key and certificate; "" no TLS
    bool implicitTls = false; // TLS accept before the greeting
    int tlsVersion = 0;       // 0 TLS 1.2 or 1.3, 12 only 1.2, 13 only 1.3

    // References stay valid while more rules are added (deque).
    std::deque<Rule> rules;
    std::deque<Rule> connectRules;

    Rule& on(std::string match) {
        rules.emplace_back();
        rules.back().match = std::move(match);
        return rules.back();
    }
    Rule& onConnect() {
        connectRules.emplace_back();
        return connectRules.back();
    }
};

class ScriptedFtpServer {
public:
    explicit ScriptedFtpServer(Scenario sc = {});
    ~ScriptedFtpServer();
    ScriptedFtpServer(const ScriptedFtpServer&) = delete;
    ScriptedFtpServer& operator=(const ScriptedFtpServer&) = delete;

    bool start();  // binds 127.0.0.1:0 and starts the server thread
    void stop();   // bounded; safe to call twice
    int port() const { return port_; }
    const std::string& error() const { return error_; } // why start() failed

    // Whether this build has the TLS mode (POSIX with OpenSSL).
    static bool tlsAvailable();

    std::vector<std::string> transcript() const;
    std::string rawInput() const;
    std::vector<std::string> uploads() const;
    int connections() const;
    int dataConnections() const;
    int activePort() const; // port of the last parsable PORT, 0 if none
    int passivePort() const; // port of the last PASV/EPSV listener, 0 if none
    int tlsDataConnections() const;
    int tlsDataResumed() const;
    std::vector<bool> uploadCloseNotify() const;

    // Lets every rule with hold() go on, now and from then on.
    void openGate();

    bool waitForCommands(size_t n, int timeoutMs = 5000) const;
    bool waitForConnections(int n, int timeoutMs = 5000) const;

private:
    struct Session;

    void run();
    void serve(int fd);
    bool pollControl(Session& s);
    void handleLine(Session& s, const std::string& line);
    void handlePasv(Session& s, const Rule& r, const char* builtin);
    void handlePort(Session& s, const Rule& r, const std::string& line);
    void handleTransfer(Session& s, const Rule& r, bool receiving);
    int openData(Session& s, const Rule& r);
    void sendBody(Session& s, int dfd, void* dtls, const Rule& r);
    void receiveBody(Session& s, int dfd, void* dtls, const Rule& r);
    bool act(Session& s, const Rule& r, const std::string& text);
    bool waitGate();
    bool sendReply(Session& s, const Rule& r, const std::string& text);
    bool sendControl(Session& s, const char* p, size_t n, bool clear);
    long recvControl(Session& s, char* buf, size_t len, int waitMs);
    bool startTls(Session& s);
    void closeControl(Session& s, bool reset, bool notify = true);
    const Rule* pick(std::deque<Rule>& rules, const std::string& line);

    template <class F> void record(F f) {
        { std::lock_guard<std::mutex> g(mu_); f(); }
        cv_.notify_all();
    }

    Scenario sc_;
    void* tlsCtx_ = nullptr; // SSL_CTX* when tlsCertFile is set
    std::string error_;
    int listenFd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;

    mutable std::mutex mu_;
    mutable std::condition_variable cv_;
    std::vector<std::string> transcript_;
    std::string raw_;
    std::vector<std::string> uploads_;
    int connections_ = 0;
    int dataConnections_ = 0;
    int activePort_ = 0;
    int passivePort_ = 0;
    int tlsData_ = 0;
    int tlsResumed_ = 0;
    std::vector<bool> uploadNotify_;
    bool gateOpen_ = false;
};

} // namespace zt
