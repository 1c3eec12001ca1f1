// e2e.h - driving the library end to end: the test's own clock, a scratch
// directory, a fixture with two attached channels, a bounded driver loop,
// and reading the channel log with its varying fields masked.
//
// Divisions: clock, scratch directory, fixture, driving, the channel log.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "support/common.h"
#include "support/fixture.h"

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
// Attaches `kChannels` channels; the base puts the library-wide settings and
// the platform call table back, and checks that the release closes any log
// a test left open.
class LibFixture : public support::BaseFixture<> {
protected:
    static constexpr int kChannels = 2;

    LibFixture() : BaseFixture({kChannels, "zub-e2e-", true}), tmp_{TempPath()} {}

    zub::ChannelRecord *Rec(int ch = 0) const { return zub::ChannelTable[ch]; }

    // Opens the channel log in the scratch directory; returns its path.
    std::string OpenLog(int ch = 0, const std::string &name = "channel.log") {
        std::string path = tmp_.file(name);
        EXPECT_GT(zubSetString(ch, ZUB_STR_OPEN_LOG, path.c_str()), 0);
        return path;
    }

    // The scratch directory the base made for this test.
    struct Scratch {
        const std::string &dir;
        const std::string &path() const { return dir; }
        std::string file(const std::string &name) const { return dir + "/" + name; }
    } tmp_;
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
