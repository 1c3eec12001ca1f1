// net.h - the socket-level fixture of the network suites: one channel, its
// log (which is also the raw trace), and a control socket of the library
// connected over loopback to a plain socket of the test.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "net/net.h"
#include "servers/sock.h"
#include "support/common.h"
#include "support/fixture.h"

namespace nettest {

using support::Occurrences;
using support::Val;

class NetFixture : public support::BaseFixture<> {
protected:
    zub::ChannelRecord *rec = nullptr;
    int peer = -1;  // the test's end of the control connection
    std::string logPath;

    NetFixture() : BaseFixture({1, nullptr, false}) {}

    void SetUp() override {
        BaseFixture::SetUp();
        if (HasFatalFailure()) return;
        rec = zub::ChannelTable[0];
        ASSERT_NE(rec, nullptr);
    }

    // The release (in the base) closes every socket the library still holds.
    void TearDown() override {
        zp_syscall_reset();
        CloseLog();
        zt::sock::closeGraceful(peer);
        BaseFixture::TearDown();
    }

    void OpenLog() {
        const ::testing::TestInfo *info = ::testing::UnitTest::GetInstance()->current_test_info();
        // The process id keeps concurrent runs of one test apart.
        logPath = ::testing::TempDir() + "zub_" + info->test_suite_name() + "_" + info->name() + "_" +
                  std::to_string(support::ProcessId()) + ".log";
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
        zt::sock::closeGraceful(lfd);
        ASSERT_GE(peer, 0);
    }

    void PeerSend(const std::string &bytes) { ASSERT_TRUE(zt::sock::sendAll(peer, bytes, 5000)); }

    void PeerClose() {
        zt::sock::closeGraceful(peer);
        peer = -1;
    }
};

}  // namespace nettest
