// threads_test.cpp - channels on many threads, and a release that meets
// calls still running on other threads or handles a session left open.
// These suites (Threads*) are the ones the ThreadSanitizer build runs.
//
// Divisions: a channel's session, 32 channels against one server, release
// during calls, release of what sessions left open.
#ifndef _WIN32
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <array>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support.h"
#include "servers/pyftpd.h"
#include "servers/scripted.h"

namespace {

constexpr int kChannels = 32;

// ---- a channel's session ------------------------------------------------------------
// One step of a channel's session: the export that starts it, and what must
// hold once it has ended with 0. Failures are collected as text, since they
// are found on other threads.
struct Step {
    std::string what;
    std::function<int32_t()> start;
    std::function<bool()> holds;
};

// Connect, upload channel-specific bytes, download them again, list, delete,
// close; in the channel's own local directory, with its own log.
struct ChannelSession {
    int ch = 0;
    std::string local;  // local directory
    std::string name;   // the file's name on the server
    std::string data;
    std::array<char, 16384> list{};
    std::vector<Step> steps;

    ChannelSession(int c, int port, const std::string &root) : ch(c) {
        local = root + "/ch" + std::to_string(c);
        name = "file" + std::to_string(c) + ".bin";
        data = xfer::PatternBytes(20000 + 997 * static_cast<size_t>(c), static_cast<uint32_t>(c) + 1);
        const std::string up = "up.bin:" + name, down = name + ":down.bin";
        steps = {
            {"log", [=] { return zubSetString(c, ZUB_STR_OPEN_LOG, (local + ".log").c_str()) > 0 ? 0 : -1; }, {}},
            {"port", [=] { return zubSetInteger(c, ZUB_SET_SERVER_PORT, static_cast<uint32_t>(port)) == port ? 0 : -1; }, {}},
            {"passive", [=] { return zubSetInteger(c, ZUB_SET_PASSIVE, 1) == 1 ? 0 : -1; }, {}},
            {"local dir", [this] { return std::filesystem::create_directory(local) ? zubSetLocalDir(ch, local.c_str()) : -1; }, {}},
            {"connect", [=] { return zubConnect(c, "127.0.0.1", "user", "secret"); }, {}},
            {"mode", [=] { return zubSetMode(c, 'B'); }, {}},
            {"put", [this, up] { return xfer::WriteFile(local + "/up.bin", data) ? zubPutFile(ch, up.c_str()) : -1; }, {}},
            {"get", [this, down] { return zubGetFile(ch, down.c_str()); },
             [this] { return xfer::ReadFile(local + "/down.bin") == data; }},
            {"list", [this] { return zubGetList(ch, ZUB_NLST, list.data(), static_cast<int32_t>(list.size()) - 1) < 0 ? -1 : 0; },
             [this] { return std::strstr(list.data(), name.c_str()) != nullptr; }},
            {"delete", [=] { return zubDelFile(c, name.c_str()); }, {}},
            {"close", [=] { return zubClose(c); }, {}},
        };
    }

    // The whole session with AUTO_CALL on: each export runs to its end.
    std::string RunToEnd() {
        for (const Step &s : steps) {
            const int32_t r = s.start();
            if (r != 0) return Failed(s, r);
            if (s.holds && !s.holds()) return Failed(s, 0);
        }
        return "";
    }

    std::string Failed(const Step &s, int32_t r) const {
        return "channel " + std::to_string(ch) + ": " + s.what + (r != 0 ? " returned " + std::to_string(r) : " gave a wrong result");
    }
};

// ---- 32 channels against one server ----------------------------------------------------------
class ThreadsPyftpd : public ::testing::Test {
protected:
    zt::PyFtpd srv;
    e2e::TempDir tmp_;
    std::vector<std::unique_ptr<ChannelSession>> sessions;

    void SetUp() override {
        saved_ = zub::EngineSettings;
        ASSERT_EQ(zubAttach(kChannels, 0), 1);
        ASSERT_TRUE(tmp_.ok());
        ASSERT_TRUE(srv.start()) << srv.error();
        for (int c = 0; c < kChannels; ++c)
            sessions.push_back(std::make_unique<ChannelSession>(c, srv.port(), tmp_.path()));
    }

    void TearDown() override {
        if (HasFailure()) std::printf("---- server log ----\n%s\n", srv.logText().c_str());
        EXPECT_EQ(zubRelease(), 1);
        zub::EngineSettings = saved_;
        srv.stop();
    }

    void ExpectServerLeftEmpty() {
        for (const auto &s : sessions) EXPECT_FALSE(srv.exists(s->name)) << s->name;
    }

private:
    zub::Settings saved_{};
};

TEST_F(ThreadsPyftpd, ThirtyTwoChannelsOnThirtyTwoThreads) {
    std::vector<std::string> failures(kChannels);
    std::vector<std::thread> threads;
    for (int c = 0; c < kChannels; ++c)
        threads.emplace_back([&, c] { failures[c] = sessions[c]->RunToEnd(); });
    for (std::thread &t : threads) t.join();
    for (const std::string &f : failures) EXPECT_EQ(f, "");
    ExpectServerLeftEmpty();
}

// The same sessions with AUTO_CALL off, every channel stepped in turn from
// this one thread. The close keeps control sockets and logs open here; the
// fixture's release closes them.
TEST_F(ThreadsPyftpd, ThirtyTwoChannelsSteppedByOneThread) {
    for (int c = 0; c < kChannels; ++c) ASSERT_EQ(zubSetInteger(c, ZUB_SET_AUTO_CALL, 0), 0);
    std::vector<size_t> at(kChannels, 0);
    std::vector<bool> stepping(kChannels, false);
    std::vector<std::string> failures(kChannels);
    // Starts the channel's steps until one has to be driven; false when the
    // channel is finished or failed.
    auto startNext = [&](int c) {
        ChannelSession &s = *sessions[c];
        while (at[c] < s.steps.size()) {
            const Step &step = s.steps[at[c]];
            const int32_t r = step.start();
            if (r != 0) {
                failures[c] = s.Failed(step, r);
                return false;
            }
            // Settings and local directory take effect in the call; the
            // operations are only armed.
            if (step.what == "log" || step.what == "port" || step.what == "passive" || step.what == "local dir") {
                ++at[c];
                continue;
            }
            return true;
        }
        return false;
    };
    int active = 0;
    for (int c = 0; c < kChannels; ++c) active += (stepping[c] = startNext(c)) ? 1 : 0;
    const int64_t bound = e2e::NowMs() + 120000;  // only keeps a broken engine from hanging
    while (active > 0 && e2e::NowMs() < bound) {
        for (int c = 0; c < kChannels; ++c) {
            if (!stepping[c]) continue;
            const int32_t r = zubDriver(c);
            if (r > 0) continue;
            ChannelSession &s = *sessions[c];
            const Step &step = s.steps[at[c]];
            if (r < 0 || (step.holds && !step.holds())) {
                failures[c] = s.Failed(step, r);
                stepping[c] = false;
            } else {
                ++at[c];
                stepping[c] = startNext(c);
            }
            if (!stepping[c]) --active;
        }
    }
    EXPECT_EQ(active, 0) << "channels still stepping at the bound";
    for (const std::string &f : failures) EXPECT_EQ(f, "");
    ExpectServerLeftEmpty();
}

// ---- release during calls -----------------------------------------------------------------
// A connect held at the greeting is a call in progress: release refuses and
// frees nothing until it has returned.
TEST(ThreadsRelease, RefusedWhileACallIsInProgressAndDoneAfterIt) {
    zt::Scenario sc;
    sc.onConnect().hold();
    zt::ScriptedFtpServer srv(sc);
    ASSERT_TRUE(srv.start());
    ASSERT_EQ(zubAttach(2, 0), 1);
    ASSERT_EQ(zubSetInteger(0, ZUB_SET_SERVER_PORT, static_cast<uint32_t>(srv.port())), srv.port());
    std::atomic<int32_t> connected{INT32_MIN};
    std::thread caller([&] { connected = zubConnect(0, "127.0.0.1", "u", "p"); });
    ASSERT_TRUE(srv.waitForConnections(1, 20000));  // the connect is inside zubConnect now

    EXPECT_EQ(zubRelease(), ZUB_E_BUSY);
    EXPECT_EQ(zubRelease(), ZUB_E_BUSY);
    EXPECT_EQ(zubGetInteger(1, ZUB_GET_VERSION), 560) << "the refused release left the channels as they were";
    char text[64];
    EXPECT_EQ(zubErrorText(1, ZUB_E_BUSY, text, sizeof text), 35);
    EXPECT_STREQ(text, "A call is in progress on a channel.");

    srv.openGate();
    caller.join();
    EXPECT_EQ(connected.load(), 0);
    EXPECT_EQ(zubRelease(), 1);
    EXPECT_EQ(zubGetInteger(0, ZUB_GET_VERSION), ZUB_E_NOT_ATTACHED);
    EXPECT_EQ(zubRelease(), 1);
}

// Calls racing a release either run on the records or are refused as not
// attached; none may run on freed ones (AddressSanitizer and
// ThreadSanitizer watch this one).
TEST(ThreadsRelease, RacingCallsRunWholeOrAreRefused) {
    ASSERT_EQ(zubAttach(2, 0), 1);
    std::atomic<int> started{0};
    std::vector<std::string> odd(2);
    std::vector<std::thread> callers;
    for (int c = 0; c < 2; ++c) {
        callers.emplace_back([&, c] {
            bool counted = false;
            for (;;) {
                const int32_t r = c == 0 ? zubGetInteger(c, ZUB_GET_VERSION) : zubSetString(c, ZUB_STR_LOG_TEXT, "x");
                if (r == ZUB_E_NOT_ATTACHED) return;
                if (r != (c == 0 ? 560 : 0)) {
                    odd[c] = "channel " + std::to_string(c) + " got " + std::to_string(r);
                    return;
                }
                if (!counted) {
                    counted = true;
                    ++started;
                }
                std::this_thread::yield();
            }
        });
    }
    const int64_t bound = e2e::NowMs() + 60000;
    while (started.load() < 2 && e2e::NowMs() < bound) std::this_thread::yield();
    int32_t r;
    while ((r = zubRelease()) == ZUB_E_BUSY && e2e::NowMs() < bound) std::this_thread::yield();
    EXPECT_EQ(r, 1);
    if (r != 1) {  // let the callers end
        while (zubRelease() != 1) std::this_thread::yield();
    }
    for (std::thread &t : callers) t.join();
    for (const std::string &o : odd) EXPECT_EQ(o, "");
}

// ---- release of what sessions left open -------------------------------------------------------
// Descriptors from 4096 up are outside the POSIX backend's own bookkeeping:
// sockets moved there must still be closed, from the records. (Descriptor
// numbers and their limit are POSIX's; Windows handles have no such range.)
constexpr int kHighFd = 4100;

#ifndef _WIN32

int HighSocket(int domain, int type, int protocol) {
    const int fd = ::socket(domain, type, protocol);
    if (fd < 0) return fd;
    const int high = ::fcntl(fd, F_DUPFD_CLOEXEC, kHighFd);
    ::close(fd);
    return high;
}

bool RoomForHighDescriptors() {
    struct rlimit rl;
    if (::getrlimit(RLIMIT_NOFILE, &rl) != 0) return false;
    const rlim_t need = kHighFd + 64;
    if (rl.rlim_cur >= need) return true;
    if (rl.rlim_max != RLIM_INFINITY && rl.rlim_max < need) return false;
    rl.rlim_cur = need;
    return ::setrlimit(RLIMIT_NOFILE, &rl) == 0;
}
#endif

// Steps channel c (AUTO_CALL off) until `reached`; false when the driver
// ended or failed first, or at the bound.
bool StepUntil(int c, const std::function<bool()> &reached) {
    const int64_t bound = e2e::NowMs() + 30000;
    while (!reached()) {
        if (zubDriver(c) <= 0 || e2e::NowMs() > bound) return reached();
    }
    return true;
}

// Channel 0 is left with its log, control socket, active-mode listener and
// the local file of its upload; channel 1 with its log, control socket,
// passive data socket and local file.
TEST(ThreadsRelease, ClosesEveryHandleASessionLeftOpen) {
    zt::PyFtpd srv;
    ASSERT_TRUE(srv.start()) << srv.error();
    e2e::TempDir tmp;
    ASSERT_TRUE(tmp.ok());
    ASSERT_TRUE(xfer::WriteFile(tmp.file("up.bin"), xfer::PatternBytes(1 << 20)));
#ifndef _WIN32
    const bool high = RoomForHighDescriptors();
    if (high) zp_syscall_set("socket", reinterpret_cast<zp_syscall_ptr>(&HighSocket));
#else
    const bool high = false;
#endif
    const int before = xfer::CountOpenFds();

    ASSERT_EQ(zubAttach(2, 0), 1);
    for (int c = 0; c < 2; ++c) {
        SCOPED_TRACE(c);
        const std::string log = tmp.file("ch" + std::to_string(c) + ".log");
        ASSERT_GT(zubSetString(c, ZUB_STR_OPEN_LOG, log.c_str()), 0);
        ASSERT_EQ(zubSetLocalDir(c, tmp.path().c_str()), 0);
        zubSetInteger(c, ZUB_SET_PASSIVE, c);
        zubSetInteger(c, ZUB_SET_SERVER_PORT, static_cast<uint32_t>(srv.port()));
        // Apart from the ports of test processes that attached at the same moment.
        zubSetInteger(c, ZUB_SET_DATA_PORT, zub::ChannelTable[c]->DataPortBase + 1u + support::ProcessId() % 120u);
        ASSERT_EQ(zubConnect(c, "127.0.0.1", "user", "secret"), 0);
        ASSERT_EQ(zubSetInteger(c, ZUB_SET_AUTO_CALL, 0), 0);
        ASSERT_EQ(zubPutFile(c, "up.bin"), 0);
    }
    zub::ChannelRecord *r0 = zub::ChannelTable[0], *r1 = zub::ChannelTable[1];
    ASSERT_TRUE(StepUntil(0, [&] { return r0->ListenSock > 0; }));
    ASSERT_TRUE(StepUntil(1, [&] { return r1->DataSock > 0; }));
    EXPECT_GT(xfer::Val(r0->LocalFile), 0);
    EXPECT_GT(xfer::Val(r1->LocalFile), 0);
    if (high) {
        for (int32_t s : {xfer::Val(r0->CtrlSock), xfer::Val(r0->ListenSock), xfer::Val(r1->CtrlSock), xfer::Val(r1->DataSock)})
            EXPECT_GE(s, kHighFd);
    }
    EXPECT_EQ(xfer::CountOpenFds(), before + 8);  // two logs, two local files, four sockets

    EXPECT_EQ(zubRelease(), 1);
    EXPECT_EQ(xfer::CountOpenFds(), before);
    EXPECT_EQ(zub::TraceFile, 0);
    zp_syscall_reset();
}

}  // namespace
