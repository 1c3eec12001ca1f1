// e2e_xfer_util.h - what the transfer, listing and local-directory
// end-to-end tests share: a fixture base that attaches one channel with its
// log and a private local directory, a helper to drive the channel by hand,
// and small file, log and descriptor helpers.
//
// Divisions: files and descriptors, log text, the channel fixture.
#pragma once

#include <dirent.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "frame/record.h"
#include "platform/platform.h"
#include "zub32.h"

namespace xfer {

// ---- files and descriptors -------------------------------------------------------
inline std::string ReadFile(const std::string &path) {
    std::string out;
    FILE *f = std::fopen(path.c_str(), "rb");
    if (!f) return out;
    char buf[1 << 16];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) out.append(buf, n);
    std::fclose(f);
    return out;
}

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

// ---- log text ---------------------------------------------------------------------
inline int Occurrences(const std::string &hay, const std::string &needle) {
    int n = 0;
    for (size_t at = hay.find(needle); at != std::string::npos; at = hay.find(needle, at + needle.size())) ++n;
    return n;
}

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
template <class T>
T Val(T value) {
    return value;
}

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
        char tmpl[] = "/tmp/zub-e2e-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir = tmpl;
        localDir = dir + "/local";
        ASSERT_EQ(::mkdir(localDir.c_str(), 0755), 0);
        logPath = dir + "/channel.log";
        ASSERT_EQ(zubAttach(1, 0), 1);
        // Test processes attaching within the same few seconds would all get
        // the same clock-chosen port range; ctest runs them side by side, so
        // each process takes a range of its own (the one the clock chose is
        // kept in attachBase for the tests of that choice).
        attachBase = Rec()->DataPortBase;
        const uint16_t base = static_cast<uint16_t>(0x4000 + ((::getpid() & 127) << 7));
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
