// reply.h - the FTP reply reader over the control connection's ring.
#pragma once

#include <cstdint>

#include "frame/record.h"

namespace zub {

// Reads one whole reply into ReplyBuf (a multi-line reply to its last
// line), within the armed TimeStop or ResponseWait: the last line's length,
// 1 when there is no control socket or it closed first, -18 for an error
// reply, or the read's or the deadline's code.
int32_t ReadReply(ChannelRecord *rec);
// The number the at most ten leading digits of a reply line make (0 when
// there are none; past 32 bits it wraps); *digits, when given, gets how
// many digits there were.
int32_t ScanReplyCode(const char *line, int *digits = nullptr);
// ScanReplyCode of ReplyBuf; ReplyText points behind the code and one more.
int32_t ParseReplyCode(ChannelRecord *rec);

}  // namespace zub
