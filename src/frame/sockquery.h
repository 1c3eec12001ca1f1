// sockquery.h - the socket queries the frame's numbered getters answer
// with. The socket layer above defines them; the frame knows only these
// declarations, so it depends on no layer above it.
#pragma once

#include <cstdint>

#include "frame/record.h"

namespace zub {

// mode is a ZpPollMode: nonzero / 0; -4 for any other mode.
int32_t PollSocket(int32_t sock, int mode);
// Fills LocalAddr and LocalIPText from the control socket: 1, or the code.
int32_t QueryLocalAddress(ChannelRecord *rec);

}  // namespace zub
