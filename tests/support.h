// support.h - what the test suites share, gathered under tests/support/:
//
//   common.h   reading files, counting, packed fields, temporary directories,
//              replacing entries of the platform's call table (support::)
//   fixture.h  BaseFixture, the one base of every fixture below: attach,
//              settings and call table put back, a temporary directory
//   files.h    local files, descriptors, byte patterns (xfer::)
//   e2e.h      the test's clock, a scratch directory, LibFixture, a bounded
//              driver loop, the masked channel log (e2e::)
//   xfer.h     log text and ChannelFixture, one channel with its log and
//              local directory (xfer::)
//   frame.h    the fake clock and FrameTest (frame_test::)
//   net.h      NetFixture, a channel's control socket against a plain
//              socket of the test (nettest::)
#pragma once

#include "support/common.h"
#include "support/e2e.h"
#include "support/files.h"
#include "support/fixture.h"
#include "support/frame.h"
#include "support/net.h"
#include "support/xfer.h"
