// reply.cpp - the FTP reply reader: the control connection's lines, taken
// from its receive ring, assembled into replies; each reply's code is
// recorded and the text of an error collected.
//
// Divisions: deadlines, codes, replies.
#include "engine/reply.h"

#include "frame/log.h"
#include "frame/text.h"
#include "net/net.h"
#include "platform/platform.h"
#include "zub32.h"

namespace zub {

// ---- deadlines ---------------------------------------------------------------------
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

}  // namespace

// ---- codes ---------------------------------------------------------------------------
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

namespace {

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

// ---- replies ---------------------------------------------------------------------------
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

}  // namespace zub
