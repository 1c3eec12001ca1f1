// ring.cpp - the receive rings and the lines read from them.
//
// A ring is 4096 bytes of circular storage filled straight from its socket,
// one recv per fill, never more than 4095 bytes held. Lines are found by
// peeking and then taking exactly through the LF, so nothing behind a line
// end is consumed.
//
// Divisions: ring primitives, fill and wait, read and peek, lines, draining.
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

// Where a receive goes: straight into an empty ring's storage, from its
// start, so that the bytes are copied once; else a scratch buffer that
// Received wraps into the ring.
char *ReceiveTarget(RecvRing *ring, char *scratch) {
    if (RingHeld(ring) != 0) return scratch;
    ring->RingHead = ring->RingTail = 0;
    return ring->RingData;
}

void CopyIn(RecvRing *ring, const char *src, int32_t n);

void Received(RecvRing *ring, const char *target, int32_t n) {
    if (target != ring->RingData) {
        CopyIn(ring, target, n);
        return;
    }
    ring->RingTail = static_cast<uint16_t>(n);
    ring->RingData[n] = 0;  // keeps the unread bytes scannable as text
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
    if (held == 0) ring->RingHead = ring->RingTail = 0;
    char scratch[kRingSize];
    if (TlsOnSocket(ring->RingSock)) return FillDecrypted(ring, scratch, kRingCapacity - held);
    char *target = ReceiveTarget(ring, scratch);
    int32_t got = zp_recv(ring->RingSock, target, kRingCapacity - held);
    // Taken before the trace line: a failed trace write may replace the
    // thread's last error.
    const int32_t failure = got < 0 ? NegatedLastError() : 0;
    TraceWrite("recv(%d):%d\r\n", ring->RingSock, got);
    if (got == 0) return ZUB_E_SOCKET_CLOSED;  // closed by the peer
    // A failed receive (a reset, say) carries its own code, so a transfer cut
    // off mid-way is told apart from one the server ended.
    if (got < 0) return failure;
    Received(ring, target, got);
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
    char *target = ReceiveTarget(ring, scratch);
    int32_t got = zp_recv_now(ring->RingSock, target, kRingCapacity - held);
    // Nothing there, or the end of the stream: neither was asked for, so
    // neither leaves a trace; the end stays for the next RingFill, which
    // reports it as it always does.
    if (got == 0 || (got < 0 && zp_last_error() == ZP_WSAEWOULDBLOCK)) return 0;
    const int32_t failure = got < 0 ? NegatedLastError() : 0;
    TraceWrite("recv(%d):%d\r\n", ring->RingSock, got);
    if (got < 0) return failure;
    Received(ring, target, got);
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

// ---- draining -------------------------------------------------------------------------
void DrainReplies(ChannelRecord *rec) {
    char scratch[256];
    // Bounded, so a server that never stops talking cannot hold the call.
    for (int round = 0; round < 64 && RingWait(&rec->CtrlRing, 0) > 0; ++round) {
        if (RingRead(&rec->CtrlRing, scratch, 255) < 0) break;
    }
}

}  // namespace zub
