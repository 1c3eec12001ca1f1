// frame.h - what the frame suites share: a fake monotonic clock, the
// current directory, and a fixture that leaves the attach to the test and
// always releases (the release's result checked), with a scratch directory.
//
// Divisions: fake clock, files, fixture.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>

#include "support/common.h"
#include "support/fixture.h"

namespace frame_test {

using support::ReadFile;

// ---- fake clock ---------------------------------------------------------------
// Milliseconds of the fake clock; the library's ticks are its low 32 bits.
inline uint64_t gFakeMs = 0;

inline uint32_t FakeTicks() { return static_cast<uint32_t>(gFakeMs); }

inline void UseFakeClock(uint64_t ms) {
    gFakeMs = ms;
    ReplaceCall(zp_ticks, &FakeTicks);
}

// ---- files -----------------------------------------------------------------------

inline std::string CurrentDir() {
    std::error_code ec;
    std::string dir = std::filesystem::current_path(ec).string();
    return ec ? std::string() : dir;
}

// ---- fixture ---------------------------------------------------------------------
// The release comes before the call table is put back, so it runs with
// whatever the test replaced.
class FrameTest : public support::BaseFixture<> {
protected:
    FrameTest() : BaseFixture({0, "zubframe.", true, true}) {}

    void Attach(int channels) { ASSERT_EQ(zubAttach(channels, 0), 1); }
    zub::ChannelRecord *Rec(int c) { return zub::ChannelTable[c]; }
    std::string Path(const char *name) const { return TempPath() + "/" + name; }

    // Opens channel c's log; returns the handle.
    int32_t OpenLog(int c, const char *name) {
        int32_t h = zubSetString(c, ZUB_STR_OPEN_LOG, Path(name).c_str());
        EXPECT_GT(h, 0);
        return h;
    }
};

}  // namespace frame_test
