// frame_support.h - what the library-frame tests share: a fixture that
// attaches and always releases, restores the library-wide settings and the
// system-call table, and gives each test a scratch directory; a fake
// monotonic clock; file helpers.
#pragma once

#include <gtest/gtest.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "frame/record.h"
#include "platform/platform.h"
#include "zub32.h"

namespace frame_test {

// ---- fake clock ---------------------------------------------------------------
// Milliseconds the fake clock_gettime reports; the library's ticks are its
// low 32 bits.
inline uint64_t gFakeMs = 0;

inline int FakeClockGettime(clockid_t, struct timespec *ts) {
    ts->tv_sec = static_cast<time_t>(gFakeMs / 1000);
    ts->tv_nsec = static_cast<long>(gFakeMs % 1000) * 1000000L;
    return 0;
}

inline void UseFakeClock(uint64_t ms) {
    gFakeMs = ms;
    zp_syscall_set("clock_gettime", reinterpret_cast<zp_syscall_ptr>(&FakeClockGettime));
}

// ---- files -----------------------------------------------------------------------
inline std::string ReadWholeFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline std::string CurrentDir() {
    char buf[4096];
    return getcwd(buf, sizeof buf) ? std::string(buf) : std::string();
}

// ---- fixture ---------------------------------------------------------------------
class FrameTest : public ::testing::Test {
protected:
    void SetUp() override {
        savedSettings_ = zub::EngineSettings;
        std::string tmpl = ::testing::TempDir() + "zubframe.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
        dir_ = tmpl;
    }

    void TearDown() override {
        // The release closes the logs (and the trace with them).
        EXPECT_EQ(zubRelease(), 1);
        EXPECT_EQ(zub::TraceFile, 0);
        zp_syscall_reset();
        zub::EngineSettings = savedSettings_;
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }

    void Attach(int channels) { ASSERT_EQ(zubAttach(channels, 0), 1); }
    zub::ChannelRecord *Rec(int c) { return zub::ChannelTable[c]; }
    std::string Path(const char *name) const { return dir_ + "/" + name; }

    // Opens channel c's log; returns the handle.
    int32_t OpenLog(int c, const char *name) {
        int32_t h = zubSetString(c, ZUB_STR_OPEN_LOG, Path(name).c_str());
        EXPECT_GT(h, 0);
        return h;
    }

    zub::Settings savedSettings_{};
    std::string dir_;
};

}  // namespace frame_test
