// fuzz_reply.cpp - the reply reader fed over a socket pair in arbitrary
// pieces.
//
// Input: byte 0 gives k = byte0 % 8, the number of piece-size bytes after
// it (each a size of 1..256, taken in turn); everything behind them is what
// the server sends. k = 0 sends it all at once. Each piece is followed by
// one reply read that waits for nothing (its deadline already past, so it
// takes at most the lines at hand); then the sending end closes and reads
// go on, bounded, until the reader reports the close or a failure.
//
// Every input gets a freshly attached library and is released after, and
// the guards of every block of the channel are checked before release.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "engine/reply.h"
#include "frame/record.h"
#include "net/net.h"
#include "platform/platform.h"
#include "zub32.h"

namespace {

constexpr int32_t kReplyBufSize = 4096;

void Check(bool ok) {
    if (!ok) std::abort();
}

// What has to hold after any reply read, whatever came in.
void CheckRecord(const zub::ChannelRecord *rec, int32_t result) {
    Check(zub::RingHeld(&rec->CtrlRing) < zub::kRingSize);
    Check(std::memchr(rec->ReplyBuf, 0, kReplyBufSize) != nullptr);
    Check(std::memchr(rec->ErrorText, 0, zub::kErrorTextSize) != nullptr);
    Check(rec->ReplyText == nullptr ||
          (rec->ReplyText >= rec->ReplyBuf && rec->ReplyText < rec->ReplyBuf + kReplyBufSize));
    Check(result < kReplyBufSize);
}

// One ReadReply; `wait` false arms a deadline in the past.
int32_t ReadOnce(zub::ChannelRecord *rec, bool wait) {
    uint32_t past = zp_ticks() - 1000u;
    rec->TimeStop = wait ? 0 : (past == 0 ? 1 : past);
    int32_t r = zub::ReadReply(rec);
    CheckRecord(rec, r);
    return r;
}

// Sends all of [p, p + n) on a non-blocking socket; a full socket buffer is
// drained by reply reads. False if the bytes do not go.
bool SendPiece(zub::ChannelRecord *rec, int fd, const uint8_t *p, size_t n) {
    for (int tries = 0; n > 0 && tries < 256; ++tries) {
        ssize_t sent = ::send(fd, p, n, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent > 0) {
            p += sent;
            n -= static_cast<size_t>(sent);
        } else {
            ReadOnce(rec, false);
        }
    }
    return n == 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // Descriptor 0 means "no socket" to the library: keep it taken, so that
    // no socket pair gets it when the fuzzer runs without standard input.
    if (::fcntl(0, F_GETFD) == -1) Check(::open("/dev/null", O_RDONLY) == 0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    const size_t k = data[0] % 8;
    if (size < 1 + k) return 0;
    const uint8_t *sizes = data + 1;
    const uint8_t *wire = data + 1 + k;
    const size_t wireLen = size - 1 - k;

    Check(zubAttach(1, 0) == 1);
    const zub::Settings saved = zub::EngineSettings;
    zub::EngineSettings.ReplyLineWait = 0;
    zub::EngineSettings.ResponseWait = 5;
    zub::EngineSettings.SleepTime = 0;
    zub::ChannelRecord *rec = zub::ChannelTable[0];

    int sv[2];
    Check(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) == 0);
    Check(sv[0] > 0 && sv[1] > 0);
    rec->CtrlSock = sv[0];
    rec->CtrlRing.RingSock = sv[0];

    bool sending = true;
    for (size_t at = 0, i = 0; sending && at < wireLen; ++i) {
        size_t piece = k == 0 ? wireLen : static_cast<size_t>(sizes[i % k]) + 1;
        if (piece > wireLen - at) piece = wireLen - at;
        sending = SendPiece(rec, sv[1], wire + at, piece);
        at += piece;
        ReadOnce(rec, false);
    }
    ::close(sv[1]);
    // Every read after the close takes at least one line or ends: the bound
    // is only a backstop.
    for (size_t round = 0; round < wireLen + 16; ++round) {
        int32_t r = ReadOnce(rec, true);
        if (r <= 1 && r != ZUB_E_SERVER_ERROR) break;
    }

    rec->CtrlSock = 0;
    rec->CtrlRing.RingSock = 0;
    ::close(sv[0]);
    for (int block = 0; block < zub::kBlocksPerChannel; ++block) Check(zub::SlotCheck(block) == 1);
    zub::EngineSettings = saved;
    zubRelease();
    return 0;
}
