// socket.cpp - the socket layer: creating, polling, waiting, sending and
// closing sockets, and opening the control and data connections.
//
// Readiness is only ever asked with a zero-timeout poll; every wait is a
// loop of polls and SleepTime pauses up to a deadline, so no call here
// blocks on the network (except a blocking connect, by the caller's choice).
//
// Divisions: error results, create and poll, waits, send and close,
// connections.
#include "frame/log.h"
#include "net/net.h"
#include "net/tls.h"
#include "platform/platform.h"
#include "zub32.h"

namespace zub {

// ---- error results -----------------------------------------------------------
int32_t NegatedLastError() {
    int e = zp_last_error();
    // A failure without a recorded number still has to read as a failure.
    return e > 0 ? -e : -1;
}

// ---- create and poll -----------------------------------------------------------
int32_t CreateSocket() {
    zp_lock_enter();
    int32_t s = zp_socket();
    zp_lock_leave();
    return s > 0 ? s : ZUB_E_INVALID_SOCKET;
}

int32_t CreateSocketOf(int family) {
    zp_lock_enter();
    int32_t s = zp_socket_family(family);
    zp_lock_leave();
    return s > 0 ? s : ZUB_E_INVALID_SOCKET;
}

int32_t PollSocket(int32_t sock, int mode) {
    if (mode < ZP_POLL_READABLE || mode > ZP_POLL_ERROR) return ZUB_E_BAD_STATUS_FLAG;
    // The poll sets are library-wide, so only one poll runs at a time.
    zp_lock_enter();
    int r = zp_poll(sock, mode);
    zp_lock_leave();
    return r;
}

int PollAnswers(int32_t sock) {
    zp_lock_enter();
    int answers = zp_poll_all(sock);
    zp_lock_leave();
    return answers;
}

// The answers for a second socket, learnt by the poll of the first one in
// the same step: the next wait on that socket in this thread starts from
// them instead of polling again. One per thread, as a step runs on one.
namespace {
struct AnsweredAhead {
    int32_t sock;
    int answers;
};
thread_local AnsweredAhead gAhead = {0, 0};
}  // namespace

int PollTwoAnswers(int32_t first, int32_t second) {
    zp_lock_enter();
    int both = zp_poll_pair(first, second);
    zp_lock_leave();
    gAhead = {second, (both >> ZP_POLL_PAIR_SHIFT) & 0xF};
    return both & 0xF;
}

void ForgetAnsweredAhead() { gAhead.sock = 0; }

// ---- yields --------------------------------------------------------------------
void YieldProcessor() {
    // The scheduler takes the processor from a thread whose time is up
    // whenever another one is waiting for it, so within one millisecond
    // tick a second yield has nothing left to hand over: only the first
    // one of each tick is made.
    static thread_local uint32_t lastTick = 0;
    uint32_t now = zp_ticks();
    if (now == lastTick) return;
    lastTick = now;
    zp_yield();
}

// ---- waits ---------------------------------------------------------------------
namespace {

// Polls until the socket is ready in `mode` or `waitMs` has passed. A
// socket in the error condition is never waited on. `trace` marks each
// pause with "!" in the raw trace.
int32_t AwaitReady(int32_t sock, int mode, uint32_t waitMs, bool trace) {
    uint32_t deadline = 0;
    bool armed = false;
    for (;;) {
        // One poll answers both questions: the error condition first.
        int answers;
        if (gAhead.sock == sock && sock > 0) {
            answers = gAhead.answers;
            gAhead.sock = 0;
        } else {
            answers = PollAnswers(sock);
        }
        if (answers & (1 << ZP_POLL_ERROR)) return 0;
        if (answers & (1 << mode)) return 1;
        uint32_t now = zp_ticks();
        if (!armed) {
            // A local deadline, never stored: the raw sum is fine, even 0.
            deadline = now + waitMs;
            armed = true;
        }
        if (TickReached(now, deadline)) return 0;
        zp_sleep(EngineSettings.SleepTime);
        if (trace) TraceText("!");
    }
}

}  // namespace

int32_t AwaitReadable(int32_t sock, uint32_t waitMs) {
    // Bytes a TLS connection has already taken off the socket show in no poll.
    if (TlsPending(sock)) return 1;
    return AwaitReady(sock, ZP_POLL_READABLE, waitMs, false);
}

int32_t AwaitWritable(int32_t sock, uint32_t waitMs) { return AwaitReady(sock, ZP_POLL_WRITABLE, waitMs, true); }

// ---- send and close ----------------------------------------------------------------
int32_t SendAll(int32_t sock, const char *bytes, int32_t count) {
    // Writability is awaited once; later partial sends follow at once.
    if (!AwaitWritable(sock, EngineSettings.ResponseWait)) return ZUB_E_SOCKET_CLOSED;
    if (TlsOnSocket(sock)) {
        int32_t sent = TlsWrite(sock, bytes, count);
        TraceWrite("send(%d):%d\r\n", sock, sent);
        return sent;
    }
    int32_t done = 0;
    while (done < count) {
        zp_set_last_error(0);
        int32_t sent = zp_send(sock, bytes + done, count - done);
        // Taken before the trace line, whose own write may replace it.
        const int32_t failure = sent <= 0 ? NegatedLastError() : 0;
        TraceWrite("send(%d):%d\r\n", sock, sent);
        if (sent <= 0) return failure;
        done += sent;
        YieldProcessor();
    }
    return count;
}

int32_t CloseSocket(int32_t sock, uint32_t lingerMs) {
    while (zp_is_blocking()) zp_sleep(EngineSettings.SleepTime);
    TlsEnd(sock);  // the close notify goes before the socket's own close
    uint16_t linger = static_cast<uint16_t>(lingerMs & 0xFFFF);
    // The pause is taken inside the lock on purpose: no other channel
    // creates or polls a socket while the closed one lingers.
    zp_lock_enter();
    int r = zp_close_socket(sock);
    int32_t failed = r < 0 ? NegatedLastError() : 0;
    uint32_t pause = linger >> 1;
    zp_sleep(pause < EngineSettings.LingerLimit ? pause : EngineSettings.LingerLimit);
    zp_lock_leave();
    return r < 0 ? failed : 1;
}

// ---- connections -----------------------------------------------------------------
// A connect that is still under way counts as made: the caller waits for
// writability afterwards.
int32_t ConnectResult(int r) {
    if (r == 0) return 1;
    int32_t e = NegatedLastError();
    return e == -ZP_WSAEWOULDBLOCK ? 1 : e;
}

int32_t ConnectControl(ChannelRecord *rec) {
    FillSockAddr(&rec->ServerSockAddr, rec->ServerAddr, rec->ServerPort);
    if (rec->NonBlockConnect) {
        rec->NonBlockArg = 1;
        zp_set_nonblocking(rec->CtrlSock, 1);  // result not needed: the connect tells
        rec->WaitWritable = 1;
    }
    return ConnectResult(zp_connect(rec->CtrlSock, rec->ServerAddr, rec->ServerPort));
}

int32_t ConnectData(ChannelRecord *rec) {
    int32_t s = CreateSocket();
    // A failed create leaves "no socket" (0) behind, never the error value.
    rec->DataSock = s > 0 ? s : 0;
    RingAttach(&rec->DataRing, rec->DataSock);
    if (s < 0) return s;
    // Passive data always goes to the control connection's server; only the
    // port comes from the passive reply.
    FillSockAddr(&rec->DataSockAddr, rec->ServerAddr, rec->DataPort);
    return ConnectResult(zp_connect(s, rec->ServerAddr, rec->DataPort));
}

int32_t ListenData(ChannelRecord *rec) {
    int32_t s = CreateSocket();
    rec->ListenSock = s > 0 ? s : 0;
    if (s < 0) return s;
    LogWrite(rec, "Binding %s to port %d\r\n", rec->LocalIPText, rec->DataPort);
    FillSockAddr(&rec->ListenSockAddr, rec->LocalAddr, rec->DataPort);
    // The caller's clean-up closes ListenSock when bind or listen fails.
    if (zp_bind(s, rec->LocalAddr, rec->DataPort) < 0) return NegatedLastError();
    LogText(rec, "Listening...\r\n");
    if (zp_listen(s, 1) < 0) return NegatedLastError();
    return 1;
}

}  // namespace zub
