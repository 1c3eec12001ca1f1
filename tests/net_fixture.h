// net_fixture.h - what the socket and ring tests share: an attached library
// with one channel, its log (which is also the raw trace), and a control
// socket of the library connected over loopback to a plain socket of the
// test. Every fixture test leaves the platform call table and the settings
// as it found them.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "frame/record.h"
#include "net/net.h"
#include "platform/platform.h"
#include "testserver/sock.h"
#include "zub32.h"

namespace nettest {

class NetFixture : public ::testing::Test {
protected:
    zub::ChannelRecord *rec = nullptr;
    int peer = -1;  // the test's end of the control connection
    std::string logPath;

    void SetUp() override {
        saved_ = zub::EngineSettings;
        ASSERT_EQ(zubAttach(1, 0), 1);
        rec = zub::ChannelTable[0];
        ASSERT_NE(rec, nullptr);
    }

    void TearDown() override {
        zp_syscall_reset();
        CloseLog();
        if (peer >= 0) ::close(peer);
        zub::EngineSettings = saved_;
        zubRelease();  // closes every socket the library still holds
    }

    void OpenLog() {
        const ::testing::TestInfo *info = ::testing::UnitTest::GetInstance()->current_test_info();
        // The process id keeps concurrent runs of one test apart.
        logPath = ::testing::TempDir() + "zub_" + info->test_suite_name() + "_" + info->name() + "_" +
                  std::to_string(::getpid()) + ".log";
        ASSERT_GT(zubSetString(0, 20, logPath.c_str()), 0);
    }

    std::string Log() const {
        std::ifstream in(logPath, std::ios::binary);
        std::stringstream all;
        all << in.rdbuf();
        return all.str();
    }

    void CloseLog() {
        if (!rec || rec->LogFile == 0) return;
        zp_file_close(rec->LogFile);
        rec->LogFile = 0;
        zub::TraceFile = 0;
        std::remove(logPath.c_str());
    }

    // Channel 0's control socket, connected (blocking connect) to `peer`.
    void ConnectPair() {
        int port = 0;
        int lfd = zt::sock::listenLoopback(&port);
        ASSERT_GE(lfd, 0);
        int32_t s = zub::CreateSocket();
        ASSERT_GT(s, 0);
        rec->CtrlSock = s;
        rec->CtrlRing.RingSock = s;
        rec->ServerAddr = 0x7F000001;
        rec->ServerPort = static_cast<uint16_t>(port);
        ASSERT_EQ(zub::ConnectControl(rec), 1);
        peer = zt::sock::acceptWithin(lfd, 5000);
        ::close(lfd);
        ASSERT_GE(peer, 0);
    }

    void PeerSend(const std::string &bytes) { ASSERT_TRUE(zt::sock::sendAll(peer, bytes, 5000)); }

    void PeerClose() {
        zt::sock::closeGraceful(peer);
        peer = -1;
    }

private:
    zub::Settings saved_{};
};

// The record is byte-packed, so its fields are read by value: a reference
// to one (as the test macros take) would be misaligned.
template <typename T>
T V(T field) {
    return field;
}

// Number of times `needle` occurs in `hay`.
inline int Occurrences(const std::string &hay, const std::string &needle) {
    int n = 0;
    for (size_t at = hay.find(needle); at != std::string::npos; at = hay.find(needle, at + needle.size())) ++n;
    return n;
}

}  // namespace nettest
