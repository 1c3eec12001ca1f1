// fuzz_pasv_pwd.cpp - the reply-text parses of the PASV and PWD reply
// states, run on any reply line: the reply code, the six numbers of a 227
// reply and the quoted directory of a 257 reply, in the steps the states
// take. The reply buffer and the directory buffer are allocated at their
// exact sizes, so any read or write past them is caught.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "engine/reply.h"
#include "frame/record.h"
#include "frame/text.h"
#include "net/net.h"
#include "net/text.h"

namespace {

constexpr size_t kReplyBufSize = 4096;
constexpr int32_t kServerDirChars = 255;  // the block's characters; its NUL follows

void Check(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static zub::ChannelRecord rec;  // only ReplyBuf and ReplyText are used
    std::vector<char> reply(kReplyBufSize);
    const size_t len = size < kReplyBufSize - 1 ? size : kReplyBufSize - 1;
    std::memcpy(reply.data(), data, len);
    reply[len] = 0;
    const char *buf = reply.data();
    const char *textEnd = buf + zub::TextLength(buf);
    rec.ReplyBuf = reply.data();
    rec.ReplyText = nullptr;

    // The code, as the reply reader takes it from every line.
    const int32_t code = zub::ParseReplyCode(&rec);
    Check(rec.ReplyText >= buf && rec.ReplyText <= textEnd);
    if (buf[0] < '0' || buf[0] > '9') Check(code == 0);

    // PASV: six numbers behind the code; a port only when all are in range.
    if (zub::TextLength(buf) > 4) {
        const uint16_t port = zub::ParsePasvPort(buf + 4);
        Check(port == 0 || zub::FindDigit(buf + 4) != nullptr);
    }

    // PWD: the line from just inside the quote, cut at the closing quote,
    // each doubled quote kept once: never longer, and no line end left.
    std::vector<char> dir(kServerDirChars + 1);
    const int32_t copied = zub::CopyLine(dir.data(), rec.ReplyText, kServerDirChars);
    Check(copied >= 0 && copied <= kServerDirChars && dir[copied] == 0);
    zub::UndoubleQuotes(dir.data());
    Check(zub::TextLength(dir.data()) <= copied);
    Check(std::strchr(dir.data(), '\r') == nullptr && std::strchr(dir.data(), '\n') == nullptr);
    rec.ReplyBuf = nullptr;
    return 0;
}
