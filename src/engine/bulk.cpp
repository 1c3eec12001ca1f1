// bulk.cpp - the bulk data path of binary transfers (ZUB_SET_BULK): file
// data moves in large pieces instead of the original ring-sized reads and
// BlockSize blocks. On Linux a plain connection moves it without a copy
// through this process (splice through the channel's pipe, sendfile);
// elsewhere, and on TLS connections, through one large buffer.
//
// Everything a channel needs is set aside when the setting is turned on
// and given back when it is turned off or at release: nothing is allocated
// during a transfer. A step moves at most kStepBytes and never waits for
// data that is not there, so channels stepped from one thread share it.
//
// Divisions: channel resources, the setting, download, upload.
#include "engine/driver.h"
#include "frame/log.h"
#include "net/net.h"
#include "net/tls.h"
#include "platform/platform.h"
#include "zub32.h"

namespace zub {

// ---- channel resources ------------------------------------------------------------
namespace {

constexpr int32_t kBufSize = 256 * 1024;  // the large buffer
constexpr int32_t kStepBytes = 1 << 20;   // at most this much per step
constexpr uint32_t kIdleWaitMs = 50;      // longest wait between two steps of a call
// Steps in a row that find nothing before the call waits: data that is on
// its way is picked up at once, as waking from a wait takes far longer.
constexpr int kSpinsBeforeWait = 64;

struct BulkChannel {
    uint32_t On;
    char *Buf;         // kBufSize bytes while On
    int32_t PipeRead;  // the channel's pipe, 0 where the system has none
    int32_t PipeWrite;
    bool NoSendFile;   // this upload's file is read and sent by us
    int WaitMode;      // the last step found nothing: the poll mode to wait in
    int Starved;       // steps in a row that found nothing
};
BulkChannel gBulk[kMaxChannels];

BulkChannel &BulkOf(const ChannelRecord *rec) {
    int c = rec->ChanIndex;
    return gBulk[c >= 0 && c < kMaxChannels ? c : 0];
}

void GiveBack(BulkChannel &b) {
    if (b.PipeRead > 0) zp_file_close(b.PipeRead);
    if (b.PipeWrite > 0) zp_file_close(b.PipeWrite);
    zp_free(b.Buf);
    b = BulkChannel{};
}

// The plain connection's zero-copy calls apply.
bool ZeroCopy(const BulkChannel &b, int32_t sock) { return b.PipeRead > 0 && !TlsOnSocket(sock); }

}  // namespace

void EndBulk(int chan) {
    if (chan >= 0 && chan < kMaxChannels) GiveBack(gBulk[chan]);
}

bool BulkFor(const ChannelRecord *rec) { return BulkOf(rec).On != 0 && rec->BinaryMode != 0; }

// ---- the setting ------------------------------------------------------------------
int32_t SetBulk(ChannelRecord *rec, uint32_t value) {
    BulkChannel &b = BulkOf(rec);
    const uint32_t on = value != 0 ? 1 : 0;
    if (on == b.On) return static_cast<int32_t>(on);
    // A transfer under way keeps the path it started with.
    if (rec->NextState != 0) return ZUB_E_BUSY;
    if (!on) {
        GiveBack(b);
        return 0;
    }
    b.Buf = static_cast<char *>(zp_alloc_zero(kBufSize));
    if (b.Buf == nullptr) return ZUB_E_NO_MEMORY;
    if (zp_pipe_open(&b.PipeRead, &b.PipeWrite) < 0) {
        // Without pipes the buffer serves; a system that has them but
        // cannot give one now is out of resources.
        const bool unsupported = zp_last_error() == ZP_WSAEOPNOTSUPP;
        b.PipeRead = b.PipeWrite = 0;
        if (!unsupported) {
            GiveBack(b);
            return ZUB_E_NO_MEMORY;
        }
    }
    b.On = 1;
    return 1;
}

// ---- download -----------------------------------------------------------------------
namespace {

// Writes the buffer's first n bytes to the local file: true when all went.
bool WriteOut(ChannelRecord *rec, const char *buf, int32_t n) {
    return n == 0 || zp_file_write(rec->LocalFile, buf, static_cast<uint32_t>(n)) == n;
}

// Socket to pipe to file. Each piece the socket gives is written before the
// next is taken, so the pipe is empty between pieces.
BulkMove ReceiveZeroCopy(ChannelRecord *rec, const BulkChannel &b) {
    BulkMove m;
    while (m.Moved < kStepBytes) {
        int32_t n = zp_splice_in(rec->DataSock, b.PipeWrite, kStepBytes - m.Moved);
        const int32_t failure = n < 0 ? NegatedLastError() : 0;
        // Nothing there now leaves no trace, as with the ring's fills.
        if (failure != -ZP_WSAEWOULDBLOCK) TraceWrite("recv(%d):%d\r\n", rec->DataSock, n);
        if (n == 0) {
            m.End = 1;
        } else if (n < 0) {
            if (failure != -ZP_WSAEWOULDBLOCK) m.End = failure;
        } else if (zp_splice_out(b.PipeRead, rec->LocalFile, n) != n) {
            m.FileFailed = true;
        } else {
            m.Moved += n;
            continue;
        }
        break;
    }
    return m;
}

// Socket (or its TLS connection) to the buffer, the buffer to the file
// whenever it is full and at the end of the step.
BulkMove ReceiveBuffered(ChannelRecord *rec, const BulkChannel &b) {
    BulkMove m;
    const bool tls = TlsOnSocket(rec->DataSock);
    if (tls) TlsReadAhead(rec->DataSock);
    int32_t held = 0;
    while (m.Moved + held < kStepBytes) {
        const int32_t room = kBufSize - held;
        int32_t n = tls ? TlsRead(rec->DataSock, b.Buf + held, room) : zp_recv_now(rec->DataSock, b.Buf + held, room);
        if (!tls && n < 0 && zp_last_error() == ZP_WSAEWOULDBLOCK) n = 0;
        else if (!tls && n == 0) n = ZUB_E_SOCKET_CLOSED;
        else if (!tls && n < 0) n = NegatedLastError();
        if (n != 0) TraceWrite("recv(%d):%d\r\n", rec->DataSock, n);
        if (n <= 0) {
            if (n == ZUB_E_SOCKET_CLOSED) m.End = 1;
            else if (n < 0) m.End = n;
            break;
        }
        held += n;
        if (held == kBufSize) {
            if (!WriteOut(rec, b.Buf, held)) {
                m.FileFailed = true;
                return m;
            }
            m.Moved += held;
            held = 0;
        }
    }
    if (!WriteOut(rec, b.Buf, held)) m.FileFailed = true;
    else m.Moved += held;
    return m;
}

// A step that moved nothing and met no end has the call wait before the
// next one (BulkIdleWait), once enough of them came in a row.
void NoteStarved(BulkChannel &b, const BulkMove &m, int mode) {
    const bool starved = m.Moved == 0 && m.End == 0 && !m.FileFailed;
    b.Starved = starved ? b.Starved + 1 : 0;
    b.WaitMode = starved && b.Starved > kSpinsBeforeWait ? mode : 0;
}

}  // namespace

BulkMove BulkReceive(ChannelRecord *rec) {
    BulkChannel &b = BulkOf(rec);
    BulkMove m;
    // Bytes a ring fill took before the bulk path began go first.
    if (int32_t held = RingHeld(&rec->DataRing); held > 0) {
        m.Moved = RingRead(&rec->DataRing, b.Buf, held);
        m.FileFailed = !WriteOut(rec, b.Buf, m.Moved);
    } else {
        m = ZeroCopy(b, rec->DataSock) ? ReceiveZeroCopy(rec, b) : ReceiveBuffered(rec, b);
    }
    NoteStarved(b, m, ZP_POLL_READABLE);
    return m;
}

// ---- upload -------------------------------------------------------------------------
namespace {

// The file straight to the socket, as far as it has room now.
BulkMove SendZeroCopy(ChannelRecord *rec, BulkChannel &b) {
    BulkMove m;
    while (m.Moved < kStepBytes) {
        int32_t n = zp_send_file(rec->DataSock, rec->LocalFile, kStepBytes - m.Moved);
        const int err = n < 0 ? zp_last_error() : 0;
        const int32_t failure = n < 0 ? NegatedLastError() : 0;
        if (n != 0 && err != ZP_WSAEWOULDBLOCK && err != ZP_WSAEOPNOTSUPP)
            TraceWrite("send(%d):%d\r\n", rec->DataSock, n);
        if (n > 0) {
            m.Moved += n;
            continue;
        }
        if (n == 0) {
            m.End = 1;
        } else if (err == ZP_WSAEOPNOTSUPP) {
            // This file goes through the buffer from here on, on a socket
            // that blocks again as SendAll expects.
            b.NoSendFile = true;
            zp_set_nonblocking(rec->DataSock, 0);
        } else if (err != ZP_WSAEWOULDBLOCK) {
            m.End = failure;
        }
        break;
    }
    return m;
}

// One buffer of the file read and sent (encrypted on a TLS connection).
BulkMove SendBuffered(ChannelRecord *rec, const BulkChannel &b) {
    BulkMove m;
    int32_t n = zp_file_read(rec->LocalFile, b.Buf, kBufSize);
    if (n < 0) {
        m.FileFailed = true;
    } else if (n == 0) {
        m.End = 1;
    } else {
        int32_t s = SendAll(rec->DataSock, b.Buf, n);
        if (s < 0) m.End = s;
        else m.Moved = s;
    }
    return m;
}

}  // namespace

void BulkUploadBegins(const ChannelRecord *rec) { BulkOf(rec).NoSendFile = false; }

BulkMove BulkSend(ChannelRecord *rec) {
    BulkChannel &b = BulkOf(rec);
    BulkMove m;
    const bool zeroCopy = ZeroCopy(b, rec->DataSock) && !b.NoSendFile;
    if (zeroCopy) {
        // The poll before this step already asked about the data socket:
        // no room there now is no piece this step.
        if (AwaitWritable(rec->DataSock, 0)) m = SendZeroCopy(rec, b);
        NoteStarved(b, m, ZP_POLL_WRITABLE);
        if (!b.NoSendFile || m.Moved > 0 || m.End != 0) return m;
    }
    // A buffered piece goes out as the block path's blocks do: the send
    // waits for room in the socket, as polling for it would (encrypted
    // uploads, and systems without sendfile).
    m = SendBuffered(rec, b);
    NoteStarved(b, m, 0);
    return m;
}

void BulkIdleWait(ChannelRecord *rec) {
    BulkChannel &b = BulkOf(rec);
    const int mode = b.WaitMode;
    b.WaitMode = 0;
    if (mode == 0 || (rec->NextState != S_ReceiveBlock && rec->NextState != S_SendBlock)) return;
    uint32_t wait = kIdleWaitMs;
    if (rec->TimeStop != 0) {
        const uint32_t now = zp_ticks();
        if (TickReached(now, rec->TimeStop)) return;
        if (rec->TimeStop - now < wait) wait = rec->TimeStop - now;
    }
    zp_wait(rec->DataSock, mode, wait);
}

}  // namespace zub
