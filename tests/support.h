// support.h - what the test suites share, in one place.
//
// Divisions: common helpers (files, counting, packed fields); e2e: an
// attached library, a bounded driver loop, a scratch directory and the
// channel log; xfer: files and descriptors, log text and the one-channel
// fixture of the transfer tests; frame_test: the fake clock and the frame
// fixture; nettest: the socket-level fixture of the network tests.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <process.h>
#include <windows.h>
#include <winternl.h>
#else
#include <dirent.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "frame/record.h"
#include "net/net.h"
#include "platform/platform.h"
#include "servers/sock.h"
#include "zub32.h"

namespace support {

// The whole file as bytes; empty when it cannot be read.
inline std::string ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Number of times `needle` occurs in `hay`.
inline int Occurrences(const std::string &hay, const std::string &needle) {
    int n = 0;
    for (size_t at = hay.find(needle); at != std::string::npos; at = hay.find(needle, at + needle.size())) ++n;
    return n;
}

// The record is byte-packed, so its fields are read by value: a reference
// to one (as the test macros take) would be misaligned.
template <class T>
T Val(T value) {
    return value;
}

// This process's id (keeps concurrent runs of one test apart).
inline int ProcessId() {
#ifdef _WIN32
    return static_cast<int>(::GetCurrentProcessId());
#else
    return static_cast<int>(::getpid());
#endif
}

// A new, empty directory under the system's temporary directory, its name
// starting with `prefix`; "" when none could be made. create_directory
// fails on a name that exists, so two processes never share one.
inline std::string MakeTempDir(const std::string &prefix) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path base = fs::temp_directory_path(ec);
    if (ec) return "";
    static std::atomic<unsigned> counter{0};
    const auto stamp = static_cast<unsigned long long>(
        std::chrono::steady_clock::now().time_since_epoch().count());
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string name = prefix + std::to_string(ProcessId()) + "-" +
                                 std::to_string((stamp + counter++) % 1000000007ull);
        const fs::path dir = base / name;
        if (fs::create_directory(dir, ec)) return dir.string();
    }
    return "";
}

// Replaces the backend-neutral table entry named after a platform function
// (ReplaceCall(zp_recv, fake)); fake must have that function's signature.
// Returns the entry it replaced, so the fake can pass calls on to it.
template <class Fn>
Fn ReplaceCallNamed(const char *name, Fn fake) {
    return reinterpret_cast<Fn>(zp_syscall_set(name, reinterpret_cast<zp_syscall_ptr>(fake)));
}
#define ReplaceCall(name, fake) support::ReplaceCallNamed<decltype(&name)>(#name, fake)

}  // namespace support

// ==== e2e util ==================================================
// an attached library whose settings are put back afterwards, a bounded
// driver loop, a scratch directory, and reading the channel log with its
// varying fields masked.
//
// Divisions: clock, scratch directory, fixture, driving, the channel log.
namespace e2e {

using support::ReadFile;

// ---- clock -------------------------------------------------------------------
// Milliseconds of the test's own clock (never the library's, which some
// tests shift).
inline int64_t NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// ---- scratch directory ---------------------------------------------------------
class TempDir {
public:
    TempDir() : path_(support::MakeTempDir("zub-e2e-")) {}
    ~TempDir() {
        std::error_code ec;
        if (!path_.empty()) std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    bool ok() const { return !path_.empty(); }
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// ---- fixture ----------------------------------------------------------------------
// Attaches `kChannels` channels; puts the library-wide settings and the
// platform call table back. The release closes any log a test left open.
class LibFixture : public ::testing::Test {
protected:
    static constexpr int kChannels = 2;

    void SetUp() override {
        saved_ = zub::EngineSettings;
        ASSERT_EQ(zubAttach(kChannels, 0), 1);
        ASSERT_TRUE(tmp_.ok());
    }

    void TearDown() override {
        zp_syscall_reset();
        EXPECT_EQ(zubRelease(), 1);
        EXPECT_EQ(zub::TraceFile, 0);
        zub::EngineSettings = saved_;
    }

    zub::ChannelRecord *Rec(int ch = 0) const { return zub::ChannelTable[ch]; }

    // Opens the channel log in the scratch directory; returns its path.
    std::string OpenLog(int ch = 0, const std::string &name = "channel.log") {
        std::string path = tmp_.file(name);
        EXPECT_GT(zubSetString(ch, ZUB_STR_OPEN_LOG, path.c_str()), 0);
        return path;
    }

    TempDir tmp_;

private:
    zub::Settings saved_{};
};

// ---- driving --------------------------------------------------------------------------
// Result of Drive when the bound passed with the operation still running.
constexpr int32_t kStillRunning = INT32_MIN;

// Steps the channel until zubDriver returns 0 or less; gives up after
// boundMs of the test's clock (generous: a success path never comes near).
inline int32_t Drive(int32_t ch, int boundMs = 20000) {
    const int64_t end = NowMs() + boundMs;
    for (;;) {
        int32_t r = zubDriver(ch);
        if (r <= 0) return r;
        if (NowMs() > end) return kStillRunning;
    }
}

// ---- the channel log ------------------------------------------------------------------

// Lines of the log, split after each LF; CR LF / LF removed. A last piece
// without a line end is kept.
inline std::vector<std::string> LogLines(const std::string &path) {
    std::vector<std::string> lines;
    std::string text = ReadFile(path), cur;
    for (char c : text) {
        if (c != '\n') {
            cur += c;
            continue;
        }
        if (!cur.empty() && cur.back() == '\r') cur.pop_back();
        lines.push_back(cur);
        cur.clear();
    }
    if (!cur.empty()) lines.push_back(cur);
    return lines;
}

// The log with the fields that vary from run to run masked as '#': tick
// stamps, socket handles, host description and names, TimeStop ticks. The
// raw receive trace (whose count depends on how the bytes arrived) and the
// "!" pause marks are dropped; the send trace is kept.
inline std::vector<std::string> MaskedLog(const std::string &path) {
    static const std::regex recvLine(R"(^(recv\(\d+\):-?\d+|zubQueueLoad=-?\d+)$)");
    static const std::vector<std::pair<std::regex, std::string>> masks = {
        {std::regex(R"(<( *-?\d+):\d{3}\.\d{3}>)"), "<$1:#>"},
        {std::regex(R"(ERROR\(\d{3}\.\d{3}\))"), "ERROR(#)"},
        {std::regex(R"(^Description:  '.*'$)"), "Description:  '#'"},
        {std::regex(R"(^LocalHost: '.*'$)"), "LocalHost: '#'"},
        {std::regex(R"(send\(\d+\))"), "send(#)"},
        {std::regex(R"(TimeStop exceeded \[-?\d+:-?\d+\])"), "TimeStop exceeded [#:#]"},
    };
    std::vector<std::string> out;
    for (std::string line : LogLines(path)) {
        size_t bang = line.find_first_not_of('!');
        line.erase(0, bang == std::string::npos ? line.size() : bang);
        if (std::regex_match(line, recvLine)) continue;
        for (const auto &m : masks) line = std::regex_replace(line, m.first, m.second);
        out.push_back(line);
    }
    return out;
}

inline bool HasLine(const std::vector<std::string> &lines, const std::string &line) {
    for (const std::string &l : lines)
        if (l == line) return true;
    return false;
}

inline std::string Joined(const std::vector<std::string> &lines) {
    std::string s;
    for (const std::string &l : lines) s += l + "\n";
    return s;
}

}  // namespace e2e

// ==== e2e xfer util =============================================
// end-to-end tests share: a fixture base that attaches one channel with its
// log and a private local directory, a helper to drive the channel by hand,
// and small file, log and descriptor helpers.
//
// Divisions: files and descriptors, log text, the channel fixture.
namespace xfer {

using support::Occurrences;
using support::ReadFile;
using support::Val;

// ---- files and descriptors -------------------------------------------------------

inline bool WriteFile(const std::string &path, const std::string &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

inline bool FileExists(const std::string &path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

inline long FileSize(const std::string &path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : -1;
}

#ifdef _WIN32
// File handles this process holds, sockets included (both are file
// objects), from the system's handle table: GetProcessHandleCount is a stub
// under Wine, and that table is not. Threads, events and the like are left
// out: the test servers' threads and Wine's own per-thread events come and
// go on their own schedule.
namespace detail {
struct HandleEntry {
    ULONG ownerPid;
    BYTE objectType;
    BYTE flags;
    USHORT handle;
    PVOID object;
    ULONG access;
};

// Calls f(entry) for each handle of this process; false when the table
// cannot be read.
template <class F>
bool ForEachOwnHandle(F f) {
    using Query = LONG(WINAPI *)(ULONG, PVOID, ULONG, PULONG);
    static const auto query = reinterpret_cast<Query>(
        reinterpret_cast<void *>(::GetProcAddress(::GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
    if (!query) return false;
    const ULONG kSystemHandleInformation = 16;
    const LONG kInfoLengthMismatch = static_cast<LONG>(0xC0000004);
    std::vector<char> buf(1 << 16);
    for (;;) {
        ULONG need = 0;
        LONG st = query(kSystemHandleInformation, buf.data(), static_cast<ULONG>(buf.size()), &need);
        if (st == kInfoLengthMismatch) {
            buf.resize(std::max<size_t>(buf.size() * 2, need + 4096));
            continue;
        }
        if (st != 0) return false;
        break;
    }
    const ULONG count = *reinterpret_cast<const ULONG *>(buf.data());
    const auto *entries = reinterpret_cast<const HandleEntry *>(buf.data() + sizeof(void *));
    const ULONG me = ::GetCurrentProcessId();
    for (ULONG i = 0; i < count; ++i)
        if (entries[i].ownerPid == me) f(entries[i]);
    return true;
}

// The type number of file objects, learnt from a file handle of our own.
inline int FileObjectType() {
    static const int type = [] {
        char self[MAX_PATH];
        if (::GetModuleFileNameA(nullptr, self, sizeof self) == 0) return -1;
        HANDLE h = ::CreateFileA(self, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) return -1;
        const auto value = static_cast<USHORT>(reinterpret_cast<uintptr_t>(h));
        int found = -1;
        ForEachOwnHandle([&](const HandleEntry &e) {
            if (e.handle == value) found = e.objectType;
        });
        ::CloseHandle(h);
        return found;
    }();
    return type;
}
}  // namespace detail

inline int CountOpenFds() {
    const int type = detail::FileObjectType();
    if (type < 0) return -1;
    int n = 0;
    if (!detail::ForEachOwnHandle([&](const detail::HandleEntry &e) { n += e.objectType == type; })) return -1;
    return n;
}

// True when some handle of this process refers to `path`: an open that
// shares nothing then fails with a sharing violation.
inline bool FileHeldOpen(const std::string &path) {
    HANDLE h = ::CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
        ::CloseHandle(h);
        return false;
    }
    return ::GetLastError() == ERROR_SHARING_VIOLATION;
}

inline void RemoveTree(const std::string &path) {
    if (path.size() < 8) return;  // never anything like "C:\" or "C:\tmp"
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
    if (ec) std::fprintf(stderr, "could not remove %s\n", path.c_str());
}
#else
// Entries of /proc/self/fd: every descriptor the process holds (the
// directory stream's own descriptor is counted every time alike).
inline int CountOpenFds() {
    DIR *d = ::opendir("/proc/self/fd");
    if (!d) return -1;
    int n = 0;
    while (struct dirent *e = ::readdir(d))
        if (e->d_name[0] != '.') ++n;
    ::closedir(d);
    return n;
}

// True when some descriptor of this process refers to `path`.
inline bool FileHeldOpen(const std::string &path) {
    char real[PATH_MAX];
    if (!::realpath(path.c_str(), real)) return false;
    DIR *d = ::opendir("/proc/self/fd");
    if (!d) return false;
    bool held = false;
    while (struct dirent *e = ::readdir(d)) {
        if (e->d_name[0] == '.') continue;
        char target[PATH_MAX];
        std::string link = std::string("/proc/self/fd/") + e->d_name;
        ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
        if (n <= 0) continue;
        target[n] = 0;
        if (std::string(target) == real) held = true;
    }
    ::closedir(d);
    return held;
}

inline void RemoveTree(const std::string &path) {
    if (path.size() < 8) return;  // never anything like "/" or "/tmp"
    std::string cmd = "rm -rf '" + path + "'";
    if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", path.c_str());
}

#endif

// Deterministic pseudo-random bytes, so a shifted or repeated block shows.
inline std::string PatternBytes(size_t n, uint32_t seed = 12345) {
    std::string s(n, '\0');
    uint32_t x = seed | 1;
    for (size_t i = 0; i < n; i += 4) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        for (size_t k = 0; k < 4 && i + k < n; ++k) s[i + k] = static_cast<char>(x >> (8 * k));
    }
    return s;
}

// Reports where two large byte strings first differ instead of printing them.
inline ::testing::AssertionResult SameBytes(const std::string &got, const std::string &want) {
    if (got == want) return ::testing::AssertionSuccess();
    size_t at = 0;
    while (at < got.size() && at < want.size() && got[at] == want[at]) ++at;
    return ::testing::AssertionFailure() << "sizes " << got.size() << " / " << want.size()
                                         << ", first difference at byte " << at;
}

// ---- log text ---------------------------------------------------------------------

// The lines of the log with the variable parts masked: tick stamps of state
// lines and of ERROR lines become "T".
inline std::string MaskTicks(const std::string &log) {
    static const std::regex state("<( *\\d+):\\d{3}\\.\\d{3}>");
    static const std::regex error("ERROR\\(\\d{3}\\.\\d{3}\\)");
    std::string s = std::regex_replace(log, state, "<$1:T>");
    return std::regex_replace(s, error, "ERROR(T)");
}

// Lines starting with "S: " (the commands sent), without their prefix.
inline std::vector<std::string> SentCommands(const std::string &log) {
    std::vector<std::string> out;
    std::istringstream in(log);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.rfind("S: ", 0) == 0) out.push_back(line.substr(3));
    }
    return out;
}

// The record is byte-packed: its fields are read by value, since the
// references that the EXPECT macros bind would be misaligned.

// ---- the channel fixture -------------------------------------------------------------
// Channel 0 of a freshly attached library, its log in a private temporary
// directory and its local directory in a subdirectory of that. Settings are
// library-wide and outlive the attach, so they are put back afterwards, as
// is the platform call table.
template <class Base = ::testing::Test>
class ChannelFixture : public Base {
protected:
    std::string dir;       // private temporary directory
    std::string localDir;  // dir + "/local", the channel's local directory
    std::string logPath;
    int attachBase = 0;    // DataPortBase as the attach chose it

    void SetUp() override {
        saved_ = zub::EngineSettings;
        dir = support::MakeTempDir("zub-e2e-");
        ASSERT_FALSE(dir.empty());
        localDir = dir + "/local";
        ASSERT_TRUE(std::filesystem::create_directory(localDir));
        logPath = dir + "/channel.log";
        ASSERT_EQ(zubAttach(1, 0), 1);
        // Test processes attaching within the same few seconds would all get
        // the same clock-chosen port range; ctest runs them side by side, so
        // each process takes a range of its own (the one the clock chose is
        // kept in attachBase for the tests of that choice).
        attachBase = Rec()->DataPortBase;
        const uint16_t base = static_cast<uint16_t>(0x4000 + ((support::ProcessId() & 127) << 7));
        Rec()->DataPortBase = base;
        Rec()->DataPortLimit = static_cast<uint16_t>(base + 127);
        Rec()->DataPort = base;
        ASSERT_GT(zubSetString(0, ZUB_STR_OPEN_LOG, logPath.c_str()), 0);
        ASSERT_EQ(zubSetLocalDir(0, localDir.c_str()), 0);
    }

    void TearDown() override {
        zp_syscall_reset();
        if (this->HasFailure()) DumpLog();
        CloseLog();
        zubRelease();
        zub::EngineSettings = saved_;
        RemoveTree(dir);
    }

    zub::ChannelRecord *Rec() const { return zub::ChannelTable[0]; }

    std::string Log() const { return ReadFile(logPath); }
    std::string Local(const std::string &name) const { return localDir + "/" + name; }

    // Connects and logs in with AUTO_CALL on; the result of zubConnect.
    int32_t Connect(int port, const char *user = "user", const char *pass = "secret") {
        zubSetInteger(0, ZUB_SET_SERVER_PORT, static_cast<uint32_t>(port));
        return zubConnect(0, "127.0.0.1", user, pass);
    }

    // Steps the channel until the driver returns 0 or less (or `until`
    // says stop after a step); every result is appended to `results`. The
    // bound is generous: it only keeps a broken engine from hanging a test.
    int32_t Drive(std::vector<int32_t> *results = nullptr,
                  const std::function<bool(int32_t)> &until = nullptr, int boundMs = 60000) {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(boundMs);
        for (;;) {
            int32_t r = zubDriver(0);
            if (results) results->push_back(r);
            if (r <= 0 || (until && until(r))) return r;
            if (std::chrono::steady_clock::now() > end) {
                ADD_FAILURE() << "driver still busy after " << boundMs << " ms, last result " << r;
                return r;
            }
        }
    }

    void DumpLog() const {
        std::string log = Log();
        if (log.size() > 6000) log = "...\n" + log.substr(log.size() - 6000);
        std::printf("---- channel log (%s) ----\n%s\n---- end of log ----\n", logPath.c_str(), log.c_str());
    }

    void CloseLog() {
        zub::ChannelRecord *rec = Rec();
        if (!rec || rec->LogFile == 0) return;
        zp_file_close(rec->LogFile);
        rec->LogFile = 0;
        zub::TraceFile = 0;
    }

private:
    zub::Settings saved_{};
};

}  // namespace xfer

// ==== frame support =============================================
// attaches and always releases, restores the library-wide settings and the
// system-call table, and gives each test a scratch directory; a fake
// monotonic clock; file helpers.
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
class FrameTest : public ::testing::Test {
protected:
    void SetUp() override {
        savedSettings_ = zub::EngineSettings;
        dir_ = support::MakeTempDir("zubframe.");
        ASSERT_FALSE(dir_.empty());
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

// ==== net fixture ===============================================
// with one channel, its log (which is also the raw trace), and a control
// socket of the library connected over loopback to a plain socket of the
// test. Every fixture test leaves the platform call table and the settings
// as it found them.
namespace nettest {

using support::Occurrences;
using support::Val;

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
        zt::sock::closeGraceful(peer);
        zub::EngineSettings = saved_;
        zubRelease();  // closes every socket the library still holds
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

private:
    zub::Settings saved_{};
};

// The record is byte-packed, so its fields are read by value: a reference
// to one (as the test macros take) would be misaligned.

// Number of times `needle` occurs in `hay`.

}  // namespace nettest
