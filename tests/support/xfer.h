// xfer.h - what the transfer and session suites share: log text helpers
// and the one-channel fixture with its log and a private local directory.
//
// Divisions: log text, the channel fixture.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "support/common.h"
#include "support/files.h"
#include "support/fixture.h"

namespace xfer {

using support::Occurrences;
using support::ReadFile;
using support::Val;

// ---- log text ---------------------------------------------------------------------

// The lines of the log with the variable parts masked: tick stamps of state
// lines and of ERROR lines become "T".
inline std::string MaskTicks(const std::string &log) {
    static const std::regex state("<( *\\d+):\\d{3}\\.\\d{3}>");
    static const std::regex error("ERROR\\(\\d{3}\\.\\d{3}\\)");
    std::string s = std::regex_replace(log, state, "<$1:T>");
    return std::regex_replace(s, error, "ERROR(T)");
}

// MaskTicks without the raw trace (each receive and send, whose pieces
// depend on the data path, and the "!" of each pause), with the numbers of data ports masked
// and the preliminary replies' texts (125 or 150, as the server's timing
// has it), and the decimal figures of servers that report their own speed:
// what stays is the same for the same operations.
inline std::string LogWithoutTrace(const std::string &log) {
    static const std::regex trace("(recv|send)\\(\\d+\\):-?\\d+\r\n|zubQueueLoad=-?\\d+\r\n|!+");
    static const std::regex port("(DataPort = |PORT |to port |\\(|,|\\|)\\d+");
    static const std::regex preliminary("R: 1\\d\\d [^\r]*");
    // Lines of a multi-line preliminary reply are the server's own text and
    // some servers vary them (pure-ftpd adds a line to some downloads only).
    static const std::regex preliminaryLines("r: 1\\d\\d-[^\r]*\r\n");
    static const std::regex figure("\\d+\\.\\d+");
    static const std::regex rateUnit("[KMG]bytes per second");  // pure-ftpd picks the unit by speed
    std::string s = std::regex_replace(std::regex_replace(MaskTicks(log), trace, ""), port, "$1#");
    s = std::regex_replace(s, preliminaryLines, "");
    s = std::regex_replace(std::regex_replace(s, preliminary, "R: 1xx"), figure, "#.#");
    return std::regex_replace(s, rateUnit, "#bytes per second");
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

// ---- the channel fixture -------------------------------------------------------------
// Channel 0 of a freshly attached library, its log in a private temporary
// directory and its local directory in a subdirectory of that.
template <class Base = ::testing::Test>
class ChannelFixture : public support::BaseFixture<Base> {
protected:
    std::string dir;       // private temporary directory
    std::string localDir;  // dir + "/local", the channel's local directory
    std::string logPath;
    int attachBase = 0;    // DataPortBase as the attach chose it

    ChannelFixture() : support::BaseFixture<Base>({1, "zub-e2e-", false}) {}

    void SetUp() override {
        support::BaseFixture<Base>::SetUp();
        if (this->HasFatalFailure()) return;
        dir = this->TempPath();
        localDir = dir + "/local";
        ASSERT_TRUE(std::filesystem::create_directory(localDir));
        logPath = dir + "/channel.log";
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
        // The real calls again before the log is read and closed.
        zp_syscall_reset();
        if (this->HasFailure()) DumpLog();
        CloseLog();
        support::BaseFixture<Base>::TearDown();
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
};

}  // namespace xfer
