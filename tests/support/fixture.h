// fixture.h - the one base of every fixture: attaches the channels, keeps
// the library-wide settings and the platform call table as it found them,
// and gives each test a temporary directory of its own.
//
// Settings are library-wide and outlive an attach, and tests replace
// entries of the call table, so both are put back after every test. The
// fixtures built on this one (LibFixture, ChannelFixture, FrameTest,
// NetFixture) choose how many channels to attach, whether the directory is
// made, and whether the release's result is checked.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "support/common.h"
#include "support/files.h"

namespace support {

struct FixtureOptions {
    int channels = 1;                // attached in SetUp; 0: the test attaches
    const char *tempPrefix = nullptr;  // the directory's name prefix; none: no directory
    bool checkRelease = false;       // the release must succeed and close the trace
    bool releaseFirst = false;       // release before the call table is put back
};

template <class Base = ::testing::Test>
class BaseFixture : public Base {
protected:
    explicit BaseFixture(FixtureOptions opts) : opts_(opts) {}

    void SetUp() override {
        saved_ = zub::EngineSettings;
        if (opts_.tempPrefix) {
            tempDir_ = MakeTempDir(opts_.tempPrefix);
            ASSERT_FALSE(tempDir_.empty());
        }
        if (opts_.channels > 0) {
            ASSERT_EQ(zubAttach(opts_.channels, 0), 1);
        }
    }

    // A derived fixture does its own cleaning first, then calls this.
    void TearDown() override {
        if (!opts_.releaseFirst) zp_syscall_reset();
        Release();
        if (opts_.releaseFirst) zp_syscall_reset();
        zub::EngineSettings = saved_;
        if (!tempDir_.empty()) xfer::RemoveTree(tempDir_);
        tempDir_.clear();
    }

    // The test's own directory ("" when the options asked for none).
    const std::string &TempPath() const { return tempDir_; }

private:
    void Release() {
        if (!opts_.checkRelease) {
            zubRelease();
            return;
        }
        // The release closes the logs (and the trace with them).
        EXPECT_EQ(zubRelease(), 1);
        EXPECT_EQ(zub::TraceFile, 0);
    }

    FixtureOptions opts_;
    zub::Settings saved_{};
    std::string tempDir_;
};

}  // namespace support
