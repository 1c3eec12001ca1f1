// platform_test.cpp - the platform layer's handle rules: handle 0 is never
// handed out, not even with standard input closed; every call refuses
// handle 0 and leaves the process's descriptor 0 alone; the clock can be
// replaced through the system-call table.
//
// The descriptor-0 checks run in a forked child, which may close or replace
// its own standard input freely; its exit code names the first failed step.
//
// Divisions: child runner, handles with standard input closed, calls on
// handle 0, system-call table.
#ifndef _WIN32
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "support.h"

using namespace frame_test;

namespace {

// ---- child runner --------------------------------------------------------------
struct Step {
    const char *what;
    std::function<bool()> ok;
};

// Descriptor 0 and fork are POSIX's: Windows has neither (its handle 0 is
// never valid), so these checks run on POSIX only.
#ifndef _WIN32

// Runs the steps in a child after `prepare`; returns "" or the failed step.
std::string RunInChild(const std::function<bool()> &prepare, const std::vector<Step> &steps) {
    pid_t pid = fork();
    if (pid < 0) return "fork failed";
    if (pid == 0) {
        if (!prepare()) _exit(100);
        for (size_t i = 0; i < steps.size(); ++i)
            if (!steps[i].ok()) _exit(static_cast<int>(i + 1));
        _exit(0);
    }
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return "waitpid failed";
    if (!WIFEXITED(status)) return "child died by signal " + std::to_string(WTERMSIG(status));
    const int code = WEXITSTATUS(status);
    if (code == 0) return "";
    if (code == 100) return "preparing the child failed";
    if (code <= static_cast<int>(steps.size())) return steps[static_cast<size_t>(code - 1)].what;
    return "exit code " + std::to_string(code);
}

bool DescriptorZeroClosed() { return fcntl(0, F_GETFD) == -1 && errno == EBADF; }

// ---- handles with standard input closed -------------------------------------------
class PlatformHandles : public FrameTest {};

TEST_F(PlatformHandles, NeverZeroEvenWithStandardInputClosed) {
    const std::string path = Path("h.txt");
    const uint32_t lo = 0x7F000001;
    int32_t listener = 0, client = 0;
    uint16_t port = 0;
    const std::vector<Step> steps = {
        {"zp_file_create gives a handle > 0", [&] { return zp_file_create(path.c_str(), ZP_ATTR_NORMAL) > 0; }},
        {"descriptor 0 is free again after create", DescriptorZeroClosed},
        {"zp_file_open gives a handle > 0", [&] { return zp_file_open(path.c_str(), ZP_OPEN_READ) > 0; }},
        {"descriptor 0 is free again after open", DescriptorZeroClosed},
        {"zp_socket gives a handle > 0", [&] { return (listener = zp_socket()) > 0; }},
        {"descriptor 0 is free again after socket", DescriptorZeroClosed},
        {"the lifted socket listens on loopback",
         [&] {
             uint32_t a;
             return zp_bind(listener, lo, 0) == 0 && zp_listen(listener, 1) == 0 &&
                    zp_getsockname(listener, &a, &port) == 0 && port != 0;
         }},
        {"a client connects", [&] { return (client = zp_socket()) > 0 && zp_connect(client, lo, port) == 0; }},
        {"descriptor 0 is free before accept", DescriptorZeroClosed},
        {"zp_accept gives a handle > 0",
         [&] {
             int32_t s = zp_accept(listener, nullptr, nullptr);
             return s > 0 && zp_send(client, "ping", 4) == 4 && [&] {
                 char b[8];
                 return zp_recv(s, b, sizeof b) == 4 && std::memcmp(b, "ping", 4) == 0;
             }();
         }},
        {"descriptor 0 is free after accept", DescriptorZeroClosed},
    };
    // The test process itself may run without standard input already.
    EXPECT_EQ(RunInChild([] { return close(0) == 0 || DescriptorZeroClosed(); }, steps), "");
}

#endif  // !_WIN32

// ---- calls on handle 0 ------------------------------------------------------------------
bool FailsWithNotSocket(int r) { return r == -1 && zp_last_error() == ZP_WSAENOTSOCK; }

std::vector<Step> CallsOnHandle(int32_t h) {
    static char buf[8];
    return {
        {"zp_file_read", [h] { return zp_file_read(h, buf, sizeof buf) == -1; }},
        {"zp_file_write", [h] { return zp_file_write(h, "w", 1) == -1; }},
        {"zp_file_seek", [h] { return zp_file_seek(h, 0, ZP_SEEK_SET) == -1; }},
        {"zp_file_close", [h] { return zp_file_close(h) == -1; }},
        {"zp_set_nonblocking", [h] { return FailsWithNotSocket(zp_set_nonblocking(h, 1)); }},
        {"zp_connect", [h] { return FailsWithNotSocket(zp_connect(h, 0x7F000001, 21)); }},
        {"zp_bind", [h] { return FailsWithNotSocket(zp_bind(h, 0x7F000001, 0)); }},
        {"zp_listen", [h] { return FailsWithNotSocket(zp_listen(h, 1)); }},
        {"zp_accept", [h] { return FailsWithNotSocket(zp_accept(h, nullptr, nullptr)); }},
        {"zp_send", [h] { return FailsWithNotSocket(zp_send(h, "s", 1)); }},
        {"zp_recv", [h] { return FailsWithNotSocket(zp_recv(h, buf, sizeof buf)); }},
        {"zp_getsockname", [h] { return FailsWithNotSocket(zp_getsockname(h, nullptr, nullptr)); }},
        {"zp_close_socket", [h] { return FailsWithNotSocket(zp_close_socket(h)); }},
        {"zp_connect_error", [h] { return zp_connect_error(h) == ZP_WSAENOTSOCK; }},
        {"zp_poll error condition", [h] { return zp_poll(h, ZP_POLL_ERROR) == 1; }},
        {"zp_poll readable", [h] { return zp_poll(h, ZP_POLL_READABLE) == 0; }},
        {"zp_poll writable", [h] { return zp_poll(h, ZP_POLL_WRITABLE) == 0; }},
        {"zp_poll_pair", [h] { return zp_poll_pair(h, h) == (1 << ZP_POLL_ERROR | 1 << (ZP_POLL_ERROR + ZP_POLL_PAIR_SHIFT)); }},
        {"zp_wait answers at once", [h] { return zp_wait(h, ZP_POLL_READABLE, 60000) == 1; }},
        {"zp_splice_in", [h] { return zp_splice_in(h, h, 1) == -1; }},
        {"zp_splice_out", [h] { return zp_splice_out(h, h, 1) == -1; }},
        {"zp_send_file", [h] { return zp_send_file(h, h, 1) == -1; }},
    };
}

#ifndef _WIN32
// Descriptor 0 is a connected socket with one byte waiting: any call that
// reached it would read, write, close it or make it non-blocking. (POSIX
// only: it needs fork and a descriptor 0.)
TEST(PlatformHandleZero, CallsFailAndLeaveDescriptorZeroAlone) {
    int pair[2] = {-1, -1};
    std::vector<Step> steps = CallsOnHandle(0);
    steps.push_back({"descriptor 0 is still blocking", [] { return (fcntl(0, F_GETFL) & O_NONBLOCK) == 0; }});
    steps.push_back({"nothing was sent through descriptor 0", [&] {
                         char c;
                         return recv(pair[1], &c, 1, MSG_DONTWAIT) == -1 && errno == EAGAIN;
                     }});
    steps.push_back({"descriptor 0 still holds its byte", [] {
                         char c = 0;
                         return read(0, &c, 1) == 1 && c == 'x';
                     }});
    const auto prepare = [&] {
        return socketpair(AF_UNIX, SOCK_STREAM, 0, pair) == 0 && dup2(pair[0], 0) == 0 &&
               write(pair[1], "x", 1) == 1;
    };
    EXPECT_EQ(RunInChild(prepare, steps), "");
}
#endif

// Every call refuses handle 0 and negative handles without reaching the
// system.
TEST(PlatformHandleZero, NegativeHandlesFailToo) {
    for (const Step &s : CallsOnHandle(-1)) EXPECT_TRUE(s.ok()) << s.what;
}

// What zp_poll reports for a socket in each state, the same on every
// backend: one never connected can never become writable, so it is in the
// error condition (a wait for it to become writable must end).
TEST(PlatformSockets, PollReportsTheSocketsState) {
    ASSERT_EQ(zp_net_startup(nullptr, 0), 0);
    const uint32_t lo = 0x7F000001;
    uint16_t port = 0;
    const int32_t listener = zp_socket(), client = zp_socket(), fresh = zp_socket();
    ASSERT_GT(listener, 0);
    ASSERT_GT(client, 0);
    ASSERT_GT(fresh, 0);
    ASSERT_EQ(zp_bind(listener, lo, 0), 0);
    ASSERT_EQ(zp_listen(listener, 1), 0);
    ASSERT_EQ(zp_getsockname(listener, nullptr, &port), 0);
    ASSERT_EQ(zp_connect(client, lo, port), 0);
    struct Case {
        const char *what;
        int32_t s;
        int readable, writable, error;
    };
    for (const Case &c : {Case{"never connected", fresh, 0, 0, 1}, Case{"listening, a connection waiting", listener, 1, 0, 0},
                          Case{"connected, nothing to read", client, 0, 1, 0}}) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(zp_poll(c.s, ZP_POLL_READABLE), c.readable);
        EXPECT_EQ(zp_poll(c.s, ZP_POLL_WRITABLE), c.writable);
        EXPECT_EQ(zp_poll(c.s, ZP_POLL_ERROR), c.error);
    }
    for (int32_t s : {listener, client, fresh}) EXPECT_EQ(zp_close_socket(s), 0);
    zp_net_cleanup();
}

TEST(PlatformFiles, DirectoriesDoNotOpenAsFiles) {
    EXPECT_EQ(zp_file_open("/", ZP_OPEN_READ), -1);
    EXPECT_EQ(zp_file_open("/", ZP_OPEN_WRITE), -1);
    EXPECT_EQ(zp_file_create("/", ZP_ATTR_NORMAL), -1);
    EXPECT_EQ(zp_file_open(nullptr, ZP_OPEN_READ), -1);
    EXPECT_EQ(zp_file_create(nullptr, ZP_ATTR_NORMAL), -1);
}

// ---- system-call table ---------------------------------------------------------------
TEST(PlatformSyscalls, TheClockCanBeReplacedAndRestored) {
    UseFakeClock((uint64_t(1) << 32) + 25);
    EXPECT_EQ(zp_ticks(), 25u);  // wraps at 2^32 ms
    gFakeMs = 0xFFFFFFFFull;
    EXPECT_EQ(zp_ticks(), 0xFFFFFFFFu);
    zp_syscall_reset();
    EXPECT_NE(zp_syscall_get("zp_ticks"), reinterpret_cast<zp_syscall_ptr>(&FakeTicks));
    EXPECT_EQ(zp_syscall_set("no-such-call", nullptr), nullptr);
    EXPECT_EQ(zp_syscall_get("no-such-call"), nullptr);
}

// The entries named after platform functions exist on every backend, and
// replacing one changes what that function does until the reset.
TEST(PlatformSyscalls, EveryNeutralEntryIsReplaceableAndRestored) {
    static const char *const kNames[] = {
#define ZP_NAME(result, name, params, args) #name,
        ZP_NEUTRAL_CALLS(ZP_NAME)
#undef ZP_NAME
    };
    const auto marker = reinterpret_cast<zp_syscall_ptr>(&FakeTicks);
    for (const char *name : kNames) {
        SCOPED_TRACE(name);
        const zp_syscall_ptr standard = zp_syscall_get(name);
        ASSERT_NE(standard, nullptr);
        EXPECT_EQ(zp_syscall_set(name, marker), standard);
        EXPECT_EQ(zp_syscall_get(name), marker);
        zp_syscall_reset();
        EXPECT_EQ(zp_syscall_get(name), standard);
    }
    gFakeMs = 7;
    ReplaceCall(zp_file_open, [](const char *, int) -> int32_t { return -1; });
    ReplaceCall(zp_ticks, &FakeTicks);
    EXPECT_EQ(zp_file_open(ZUB_SOURCE_DIR "/CMakeLists.txt", ZP_OPEN_READ), -1);
    EXPECT_EQ(zp_ticks(), 7u);
    zp_syscall_reset();
    const int32_t h = zp_file_open(ZUB_SOURCE_DIR "/CMakeLists.txt", ZP_OPEN_READ);
    EXPECT_GT(h, 0);
    EXPECT_EQ(zp_file_close(h), 0);
}

TEST(PlatformSyscalls, AllocationGoesThroughTheTable) {
    ASSERT_NE(ReplaceCall(zp_alloc_zero, [](size_t) -> void * { return nullptr; }), nullptr);
    EXPECT_EQ(zp_alloc_zero(16), nullptr);
    zp_syscall_set("zp_alloc_zero", nullptr);  // null puts the default back
    void *p = zp_alloc_zero(16);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(static_cast<unsigned char *>(p)[15], 0);
    zp_free(p);
}

}  // namespace
