// ring.cpp - the receive rings and the FTP reply reader on top of them.
//
// A ring is 4096 bytes of circular storage filled straight from its socket,
// one recv per fill, never more than 4095 bytes held. Lines are found by
// peeking and then taking exactly through the LF, so nothing behind a line
// end is consumed. The reply reader assembles lines into FTP replies,
// records the code and collects error text.
//
// Divisions: ring primitives, fill and wait, read and peek, lines, replies.
#include <cstring>

#include "frame/log.h"
#include "net/net.h"
#include "net/text.h"
#include "net/tls.h"
#include "platform/platform.h"
#include "zub32.h"

namespace zub {

// ---- ring primitives -----------------------------------------------------------
namespace {

constexpr uint16_t kRingMask = kRingSize - 1;
constexpr int32_t kRingCapacity = kRingSize - 1;  // one slot stays free

void CountEmptyPoll(RecvRing *ring) {
    // A long-lived channel may poll more than 2^31 times: wrap, do not overflow.
    ring->EmptyPolls = static_cast<int32_t>(static_cast<uint32_t>(ring->EmptyPolls) + 1u);
}

// Copies up to `count` held bytes from the head on, wrapping; returns them.
int32_t CopyOut(const RecvRing *ring, char *dest, int32_t count) {
    int32_t n = RingHeld(ring);
    if (count < n) n = count;
    if (n <= 0) return 0;
    int32_t head = ring->RingHead;
    int32_t first = kRingSize - head < n ? kRingSize - head : n;
    memcpy(dest, ring->RingData + head, static_cast<size_t>(first));
    memcpy(dest + first, ring->RingData, static_cast<size_t>(n - first));
    return n;
}

void CopyIn(RecvRing *ring, const char *src, int32_t n) {
    int32_t tail = ring->RingTail;
    int32_t first = kRingSize - tail < n ? kRingSize - tail : n;
    memcpy(ring->RingData + tail, src, static_cast<size_t>(first));
    memcpy(ring->RingData, src + first, static_cast<size_t>(n - first));
    ring->RingTail = static_cast<uint16_t>((tail + n) & kRingMask);
    // Keeps the unread bytes scannable as text.
    ring->RingData[ring->RingTail] = 0;
}

}  // namespace

int32_t RingHeld(const RecvRing *ring) { return (ring->RingTail - ring->RingHead) & kRingMask; }

void RingAttach(RecvRing *ring, int32_t sock) {
    ring->RingSock = sock;
    ring->RingHead = ring->RingTail = 0;
    ring->RingData[0] = 0;
}

// ---- fill and wait ---------------------------------------------------------------
namespace {
// A fill through the socket's TLS connection: the decrypted bytes go into
// the ring. A record that has not fully arrived is "nothing now" (0); the
// peer's close notify reads as a closed connection on a data connection.
// On the control connection it means the server stopped speaking TLS
// (whatever follows would be clear text): the session is broken.
int32_t FillDecrypted(RecvRing *ring, char *scratch, int32_t room) {
    int32_t got = TlsRead(ring->RingSock, scratch, room);
    if (got == 0) return 0;
    TraceWrite("recv(%d):%d\r\n", ring->RingSock, got);
    if (got == ZUB_E_SOCKET_CLOSED && TlsIsControl(ring->RingSock)) return ZUB_E_TLS_BROKEN;
    if (got < 0) return got;
    CopyIn(ring, scratch, got);
    return got;
}
}  // namespace

int32_t RingFill(RecvRing *ring) {
    int32_t held = RingHeld(ring);
    // A full ring has no room: asking recv for 0 bytes would read as a
    // closed connection, so a long line is reported as "nothing now".
    if (held >= kRingCapacity) return 0;
    if (!AwaitReadable(ring->RingSock, 0)) return 0;
    if (held == 0) {
        ring->RingHead = ring->RingTail = 0;
        memset(ring->RingData, 0, sizeof ring->RingData);
    }
    char scratch[kRingSize];
    if (TlsOnSocket(ring->RingSock)) return FillDecrypted(ring, scratch, kRingCapacity - held);
    int32_t got = zp_recv(ring->RingSock, scratch, kRingCapacity - held);
    // Taken before the trace line: a failed trace write may replace the
    // thread's last error.
    const int32_t failure = got < 0 ? NegatedLastError() : 0;
    TraceWrite("recv(%d):%d\r\n", ring->RingSock, got);
    if (got == 0) return ZUB_E_SOCKET_CLOSED;  // closed by the peer
    // A failed receive (a reset, say) carries its own code, so a transfer cut
    // off mid-way is told apart from one the server ended.
    if (got < 0) return failure;
    CopyIn(ring, scratch, got);
    return got;
}

int32_t RingFillMore(RecvRing *ring) {
    int32_t held = RingHeld(ring);
    if (held >= kRingCapacity) return 0;
    char scratch[kRingSize];
    if (TlsOnSocket(ring->RingSock)) {
        if (held == 0) ring->RingHead = ring->RingTail = 0;
        // The close notify stays with the connection: the next RingFill
        // reports it, as it does a plain socket's end.
        int32_t got = FillDecrypted(ring, scratch, kRingCapacity - held);
        return got == ZUB_E_SOCKET_CLOSED ? 0 : got;
    }
    int32_t got = zp_recv_now(ring->RingSock, scratch, kRingCapacity - held);
    // Nothing there, or the end of the stream: neither was asked for, so
    // neither leaves a trace; the end stays for the next RingFill, which
    // reports it as it always does.
    if (got == 0 || (got < 0 && zp_last_error() == ZP_WSAEWOULDBLOCK)) return 0;
    const int32_t failure = got < 0 ? NegatedLastError() : 0;
    TraceWrite("recv(%d):%d\r\n", ring->RingSock, got);
    if (got < 0) return failure;
    if (held == 0) {
        ring->RingHead = ring->RingTail = 0;
        memset(ring->RingData, 0, sizeof ring->RingData);
    }
    CopyIn(ring, scratch, got);
    return got;
}

int32_t RingWait(RecvRing *ring, uint32_t waitMs) {
    if (RingHeld(ring) > 0) return 1;
    uint32_t deadline = 0;
    bool armed = false;
    for (;;) {
        int32_t r = RingFill(ring);
        if (r != 0) return r > 0 ? 1 : r;
        CountEmptyPoll(ring);
        uint32_t now = zp_ticks();
        // The first empty attempt only arms the deadline and tries again at
        // once, so even a zero wait makes two attempts.
        if (!armed) {
            deadline = now + waitMs;
            armed = true;
            continue;
        }
        if (TickReached(now, deadline)) return 0;
        zp_sleep(EngineSettings.SleepTime);
    }
}

// ---- read and peek -------------------------------------------------------------------
int32_t RingRead(RecvRing *ring, char *dest, int32_t count) {
    if (RingHeld(ring) == 0) {
        int32_t r = RingFill(ring);
        if (r == 0) CountEmptyPoll(ring);
        TraceWrite("zubQueueLoad=%d\r\n", r);
        if (r <= 0) return r;
    }
    int32_t n = CopyOut(ring, dest, count);
    ring->RingHead = static_cast<uint16_t>((ring->RingHead + n) & kRingMask);
    return n;
}

int32_t RingPeek(RecvRing *ring, char *dest, int32_t count) {
    // Gathers whatever the socket has ready before looking.
    int32_t r = RingFill(ring);
    if (r == 0) CountEmptyPoll(ring);
    // A peer that closed after sending still has its bytes read first; the
    // close is reported once the ring is empty.
    if (r < 0 && RingHeld(ring) == 0) return r;
    return CopyOut(ring, dest, count);
}

// ---- lines -------------------------------------------------------------------------
int32_t ReadLinePiece(RecvRing *ring, char *dest, int32_t room) {
    if (room < 1) return 0;
    int32_t n = RingPeek(ring, dest, room - 1);
    if (n < 0) return n;
    dest[n] = 0;
    if (n == 0) return 0;
    // Searched past any NUL: a stray NUL must not make the piece swallow
    // the lines behind it.
    const void *lf = memchr(dest, '\n', static_cast<size_t>(n));
    int32_t take = lf ? static_cast<int32_t>(static_cast<const char *>(lf) - dest) + 1 : n;
    int32_t got = RingRead(ring, dest, take);
    if (got < 0) return got;
    dest[got] = 0;
    return got;
}

int32_t ReadLine(ChannelRecord *rec, char *buf, int32_t size, uint32_t waitMs, uint32_t stop) {
    RecvRing *ring = &rec->CtrlRing;
    int32_t len = ReadLinePiece(ring, buf, size);
    if (len < 0) return len;
    while (len < size - 1 && (len == 0 || buf[len - 1] != '\n')) {
        // The deadline bounds the whole line: a server that trickles one
        // byte at a time must not stretch it piece by piece.
        uint32_t wait = waitMs;
        if (stop != 0) {
            uint32_t now = zp_ticks();
            if (TickReached(now, stop)) break;
            if (stop - now < wait) wait = stop - now;
        }
        if (RingWait(ring, wait) == 0) break;
        int32_t piece = ReadLinePiece(ring, buf + len, size - len);
        if (piece <= 0) break;
        len += piece;
    }
    if (size > 0) buf[len] = 0;
    return len;
}

// ---- replies ---------------------------------------------------------------------------
namespace {


// The deadline of a whole reply: the armed TimeStop, or ResponseWait from
// `start` when none is armed. It bounds every line wait too, so a reply
// whose final line never comes, or comes one byte at a time, cannot hold
// the caller beyond it.
uint32_t ReplyDeadline(const ChannelRecord *rec, uint32_t start) {
    return rec->TimeStop != 0 ? rec->TimeStop : TickAdd(start, EngineSettings.ResponseWait);
}

bool CutByDeadline(const char *line, int32_t n, uint32_t stop) {
    const bool whole = n >= kReplyBufSize - 1 || n == 3 || (n > 0 && line[n - 1] == '\n');
    return !whole && TickReached(zp_ticks(), stop);
}

// Records the code of a line in ServerCode and its text in ErrorText when
// it is an error or has no code; -18 for an error reply, else 0.
int32_t TakeReplyCode(ChannelRecord *rec, const char *line) {
    int32_t code = ParseReplyCode(rec);
    rec->ServerCode = code;
    if (code > 400 || code == 0) BoundedAppend(rec->ErrorText, line, kErrorTextSize);
    if (code > 400) LogWrite(rec, "\r\nFtpResponse: [%s] Code=%d\r\n", line, code);
    return code >= 400 ? ZUB_E_SERVER_ERROR : 0;
}

}  // namespace

int32_t ReadReply(ChannelRecord *rec) {
    if (rec->CtrlSock == 0) return 1;
    rec->ErrorText[0] = 0;
    char *line = rec->ReplyBuf;
    const uint32_t stop = ReplyDeadline(rec, zp_ticks());
    // An error reply of several lines ("421-...") is read to its last line,
    // so none of it is left to pass for the answer to the next command;
    // the error is reported then (or when the server leaves before it).
    bool refused = false;
    // The first line is always tried, even when the deadline is already past.
    for (bool first = true;; first = false) {
        uint32_t now = zp_ticks();
        if (!first && TickReached(now, stop)) return refused ? ZUB_E_SERVER_ERROR : ZUB_E_TIMEOUT;
        YieldProcessor();
        uint32_t left = TickReached(now, stop) ? 0 : stop - now;
        uint32_t wait = EngineSettings.ReplyLineWait < left ? EngineSettings.ReplyLineWait : left;
        int32_t n = ReadLine(rec, line, kReplyBufSize, wait, stop);
        // A closed connection ends the read without error; the driver's
        // deadline notices the missing reply.
        if (n == ZUB_E_SOCKET_CLOSED) return refused ? ZUB_E_SERVER_ERROR : 1;
        if (n < 0) return n;
        if (n == 0) continue;
        // A line the deadline cut off is no reply: its code may be only the
        // first digits of the real one. (A bare three-digit code with no
        // line end still counts, as it does when the line wait ends it.)
        if (CutByDeadline(line, n, stop)) return refused ? ZUB_E_SERVER_ERROR : ZUB_E_TIMEOUT;
        if (line[0] == ' ') {
            LogWrite(rec, "c: %s", line);
            continue;
        }
        const bool last = n == 3 || (n > 3 && line[3] == ' ');
        // A line without a code inside an error reply is more of its text.
        const int32_t code = ScanReplyCode(line);
        if (refused && code == 0) {
            BoundedAppend(rec->ErrorText, line, kErrorTextSize);
            continue;
        }
        if (TakeReplyCode(rec, line) < 0) {
            if (last) return ZUB_E_SERVER_ERROR;
            refused = true;
            continue;
        }
        if (last) return refused ? ZUB_E_SERVER_ERROR : n;
        LogWrite(rec, "r: %s", line);
    }
}

int32_t ScanReplyCode(const char *line, int *digits) {
    uint32_t value = 0;  // unsigned: ten digits may wrap, never overflow
    int i = 0;
    for (; i < 10 && line[i] >= '0' && line[i] <= '9'; ++i) value = value * 10 + static_cast<uint32_t>(line[i] - '0');
    if (digits) *digits = i;
    return static_cast<int32_t>(value);
}

int32_t ParseReplyCode(ChannelRecord *rec) {
    char *p = rec->ReplyBuf;
    int i = 0;
    const int32_t code = ScanReplyCode(p, &i);
    // Passes the character behind the code and one more, so a quoted path
    // ("257 \"/pub\"") starts right inside the quote; never past the NUL.
    char *text = p + i;
    for (int skip = i < 10 ? 2 : 1; skip > 0 && *text; --skip) ++text;
    rec->ReplyText = text;
    return code;
}

void DrainReplies(ChannelRecord *rec) {
    char scratch[256];
    // Bounded, so a server that never stops talking cannot hold the call.
    for (int round = 0; round < 64 && RingWait(&rec->CtrlRing, 0) > 0; ++round) {
        if (RingRead(&rec->CtrlRing, scratch, 255) < 0) break;
    }
}

void TrimCrLf(char *text) {
    int32_t n = TextLength(text);
    if (n >= 2 && text[n - 2] == '\r' && text[n - 1] == '\n') text[n - 2] = 0;
}

}  // namespace zub
