// transfer_pyftpd_test.cpp - end-to-end transfers and listings against a real
// FTP server (pyftpdlib), every case in passive and in active mode.
//
// Divisions: fixture, whole files both ways, resumed transfers, name split,
// refusals, stepping and abort, listings.

#include <algorithm>
#include <chrono>
#include <cstring>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support.h"
#include "servers/pyftpd.h"

namespace {

using xfer::FileExists;
using xfer::FileHeldOpen;
using xfer::Occurrences;
using xfer::PatternBytes;
using xfer::ReadFile;
using xfer::SameBytes;
using xfer::SentCommands;
using xfer::WriteFile;

enum class Mode { Passive, Active };

std::string ModeName(const ::testing::TestParamInfo<Mode> &info) {
    return info.param == Mode::Passive ? "Passive" : "Active";
}

// ---- fixture -----------------------------------------------------------------------------
class PyftpdChannel : public xfer::ChannelFixture<::testing::TestWithParam<Mode>> {
protected:
    using Base = xfer::ChannelFixture<::testing::TestWithParam<Mode>>;
    zt::PyFtpd srv;

    void SetUp() override {
        Base::SetUp();
        if (HasFatalFailure()) return;
        ASSERT_TRUE(srv.start()) << srv.error();
        zubSetInteger(0, ZUB_SET_PASSIVE, GetParam() == Mode::Passive ? 1 : 0);
        ASSERT_EQ(Connect(srv.port()), 0);
        ASSERT_EQ(zubSetMode(0, 'B'), 0);  // byte-exact transfers
    }

    void TearDown() override {
        if (HasFailure()) std::printf("---- server log ----\n%s\n", srv.logText().c_str());
        Base::TearDown();
        srv.stop();
    }

    // Everything logged from here on.
    size_t Mark() const { return Log().size(); }
    std::string LogSince(size_t mark) const { return Log().substr(mark); }

    // Blocks until the control connection has something to read (bounded).
    bool ControlReadable(int timeoutMs) const {
        return zt::sock::waitReadable(Rec()->CtrlSock, timeoutMs) == 1;
    }
};

using TransferPyftpd = PyftpdChannel;
using ListingPyftpd = PyftpdChannel;

// The 64 MiB payload, made once per process.
const std::string &BigData() {
    static const std::string data = PatternBytes(64u << 20, 64);
    return data;
}

// ---- whole files both ways -------------------------------------------------------------------
TEST_P(TransferPyftpd, SmallFilesRoundTripWithCounters) {
    zubSetInteger(0, ZUB_SET_BLOCK_SIZE, 128);
    int32_t getTotal = 0, putTotal = 0;
    for (size_t size : {0u, 1u, 1000u}) {
        SCOPED_TRACE(size);
        const std::string data = PatternBytes(size, static_cast<uint32_t>(size) + 7);
        const std::string down = "down" + std::to_string(size) + ".bin";
        const std::string up = "up" + std::to_string(size) + ".bin";
        ASSERT_TRUE(srv.writeFile(down, data));
        const size_t mark = Mark();
        EXPECT_EQ(zubGetFile(0, down.c_str()), 0);
        ASSERT_TRUE(FileExists(Local(down)));
        EXPECT_TRUE(SameBytes(ReadFile(Local(down)), data));
        EXPECT_FALSE(FileHeldOpen(Local(down)));
        getTotal += static_cast<int32_t>(size);
        EXPECT_EQ(zubGetInteger(0, ZUB_GET_GET_BYTES), static_cast<int32_t>(size));
        EXPECT_EQ(zubGetInteger(0, ZUB_GET_GET_TOTAL), getTotal);
        EXPECT_NE(LogSince(mark).find(std::to_string(size) + " bytes received\r\n"), std::string::npos);

        ASSERT_TRUE(WriteFile(Local(up), data));
        EXPECT_EQ(zubPutFile(0, up.c_str()), 0);
        EXPECT_TRUE(SameBytes(srv.readFile(up), data));
        EXPECT_TRUE(srv.exists(up));
        EXPECT_FALSE(FileHeldOpen(Local(up)));
        putTotal += static_cast<int32_t>(size);
        EXPECT_EQ(zubGetInteger(0, ZUB_GET_PUT_BYTES), static_cast<int32_t>(size));
        EXPECT_EQ(zubGetInteger(0, ZUB_GET_PUT_TOTAL), putTotal);
        EXPECT_NE(LogSince(mark).find(std::to_string(size) + " bytes transmitted\r\n"), std::string::npos);
    }
}

TEST_P(TransferPyftpd, UploadSendsOneBlockPerStep) {
    zubSetInteger(0, ZUB_SET_BLOCK_SIZE, 128);
    const std::string data = PatternBytes(1000, 3);
    ASSERT_TRUE(WriteFile(Local("blocks.bin"), data));
    zubSetInteger(0, ZUB_SET_AUTO_CALL, 0);
    ASSERT_EQ(zubPutFile(0, "blocks.bin"), 0);
    std::vector<int32_t> sent;  // PutBytes gained by each step
    int32_t last = 0, r;
    do {
        r = Drive(nullptr, [](int32_t) { return true; });  // exactly one step
        int32_t now = zubGetInteger(0, ZUB_GET_PUT_BYTES);
        if (now != last) sent.push_back(now - last);
        last = now;
    } while (r > 0);
    EXPECT_EQ(r, 0);
    EXPECT_EQ(sent, (std::vector<int32_t>{128, 128, 128, 128, 128, 128, 128, 104}));
    const std::string log = Log();
    const size_t eof = log.find("[EOF]\r\n");
    ASSERT_NE(eof, std::string::npos);
    EXPECT_NE(log.find("1000 bytes transmitted\r\n", eof), std::string::npos);
    EXPECT_TRUE(SameBytes(srv.readFile("blocks.bin"), data));
}

TEST_P(TransferPyftpd, LargeFileBothWays) {
    const std::string &data = BigData();
    ASSERT_TRUE(srv.writeFile("big.bin", data));
    ASSERT_TRUE(WriteFile(Local("bigup.bin"), data));
    zubSetInteger(0, ZUB_SET_BLOCK_SIZE, 8192);
    using Clock = std::chrono::steady_clock;
    auto t0 = Clock::now();
    EXPECT_EQ(zubGetFile(0, "big.bin"), 0);
    auto t1 = Clock::now();
    EXPECT_EQ(zubPutFile(0, "bigup.bin:bigcopy.bin"), 0);
    auto t2 = Clock::now();
    auto ms = [](Clock::duration d) { return std::chrono::duration_cast<std::chrono::milliseconds>(d).count(); };
    RecordProperty("download_ms", static_cast<int>(ms(t1 - t0)));
    RecordProperty("upload_ms", static_cast<int>(ms(t2 - t1)));
    std::printf("64 MiB: download %lld ms, upload %lld ms\n", static_cast<long long>(ms(t1 - t0)),
                static_cast<long long>(ms(t2 - t1)));
    EXPECT_EQ(zubGetInteger(0, ZUB_GET_GET_BYTES), static_cast<int32_t>(data.size()));
    EXPECT_EQ(zubGetInteger(0, ZUB_GET_PUT_BYTES), static_cast<int32_t>(data.size()));
    EXPECT_TRUE(SameBytes(ReadFile(Local("big.bin")), data));
    EXPECT_TRUE(SameBytes(srv.readFile("bigcopy.bin"), data));
}

// ---- resumed transfers ---------------------------------------------------------------------------
TEST_P(TransferPyftpd, ResumedDownloadRestartsAtTheOffset) {
    const std::string data = PatternBytes(12000, 5);
    ASSERT_TRUE(srv.writeFile("resume.bin", data));
    ASSERT_TRUE(WriteFile(Local("resume.bin"), data.substr(0, 5000)));
    zubSetInteger(0, ZUB_SET_RESUME, 1);
    zubSetInteger(0, ZUB_SET_RESTART_OFFSET, 5000);
    zubSetInteger(0, ZUB_SET_APPEND_OFFSET, 5000);
    size_t mark = Mark();
    EXPECT_EQ(zubGetFile(0, "resume.bin"), 0);
    EXPECT_TRUE(SameBytes(ReadFile(Local("resume.bin")), data));
    EXPECT_EQ(zubGetInteger(0, ZUB_GET_GET_BYTES), 7000);
    std::vector<std::string> sent = SentCommands(LogSince(mark));
    EXPECT_NE(std::find(sent.begin(), sent.end(), "REST 5000"), sent.end());
    EXPECT_NE(std::find(sent.begin(), sent.end(), "RETR resume.bin"), sent.end());

    // The one-shot flags are used up: the next download starts from 0 and
    // replaces the local file.
    ASSERT_TRUE(WriteFile(Local("resume.bin"), std::string(20000, 'x')));
    mark = Mark();
    EXPECT_EQ(zubGetFile(0, "resume.bin"), 0);
    EXPECT_TRUE(SameBytes(ReadFile(Local("resume.bin")), data));
    EXPECT_EQ(Occurrences(LogSince(mark), "S: REST"), 0);
}

TEST_P(TransferPyftpd, ResumedUploadAppends) {
    const std::string data = PatternBytes(12000, 6);
    ASSERT_TRUE(srv.writeFile("append.bin", data.substr(0, 5000)));
    ASSERT_TRUE(WriteFile(Local("append.bin"), data));
    zubSetInteger(0, ZUB_SET_RESUME, 1);
    zubSetInteger(0, ZUB_SET_RESTART_OFFSET, 777);  // an upload clears it unused
    zubSetInteger(0, ZUB_SET_APPEND_OFFSET, 5000);
    size_t mark = Mark();
    EXPECT_EQ(zubPutFile(0, "append.bin"), 0);
    EXPECT_TRUE(SameBytes(srv.readFile("append.bin"), data));
    EXPECT_EQ(zubGetInteger(0, ZUB_GET_PUT_BYTES), 7000);
    EXPECT_EQ(Occurrences(LogSince(mark), "S: APPE append.bin\r\n"), 1);

    mark = Mark();
    EXPECT_EQ(zubPutFile(0, "append.bin"), 0);
    EXPECT_TRUE(SameBytes(srv.readFile("append.bin"), data));
    EXPECT_EQ(Occurrences(LogSince(mark), "S: STOR append.bin\r\n"), 1);
    // Neither a REST from the old restart offset nor an offset read.
    ASSERT_TRUE(srv.writeFile("plain.bin", "plain"));
    mark = Mark();
    EXPECT_EQ(zubGetFile(0, "plain.bin"), 0);
    EXPECT_EQ(Occurrences(LogSince(mark), "S: REST"), 0);
    EXPECT_EQ(ReadFile(Local("plain.bin")), "plain");
}

// ---- name split --------------------------------------------------------------------------------------
TEST_P(TransferPyftpd, NamesSplitAtTheFirstSeparator) {
    // Every name is a string literal: on Linux those are read-only, so a
    // split that wrote into the caller's string would crash here.
    struct Case {
        const char *name;
        uint32_t separator;
        const char *remote;
        const char *local;
    } cases[] = {
        {"src1.txt:dst1.txt", ':', "src1.txt", "dst1.txt"},
        {"src2.txt|dst2.txt", '|', "src2.txt", "dst2.txt"},
#ifndef _WIN32
        // (Windows file names cannot hold ':', so these local names are
        // POSIX only.)
        {"a:b:c", ':', "a", "b:c"},
        {"x:y.txt", '|', "x:y.txt", "x:y.txt"},
        {"p:q.txt", 0, "p:q.txt", "p:q.txt"},
#endif
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string body = std::string("body of ") + c.remote;
        ASSERT_TRUE(srv.writeFile(c.remote, body));
        zubSetInteger(0, ZUB_SET_NAME_SEPARATOR, c.separator);
        EXPECT_EQ(zubGetFile(0, c.name), 0);
        EXPECT_EQ(ReadFile(Local(c.local)), body);
    }
    zubSetInteger(0, ZUB_SET_NAME_SEPARATOR, ':');
    ASSERT_TRUE(WriteFile(Local("lsrc.txt"), "upload body"));
    EXPECT_EQ(zubPutFile(0, "lsrc.txt:rdst.txt"), 0);
    EXPECT_EQ(srv.readFile("rdst.txt"), "upload body");
    EXPECT_FALSE(srv.exists("lsrc.txt"));
}

// ---- refusals ------------------------------------------------------------------------------------------
TEST_P(TransferPyftpd, ModeCharacterIsCheckedBeforeSending) {
    struct Case {
        int32_t mode;
        int32_t result;
        const char *sent;  // null: nothing sent
    } cases[] = {
        {'A', 0, "S: TYPE A\r\n"},
        {'B', 0, "S: TYPE I\r\n"},
        {0x100 | 'A', 0, "S: TYPE A\r\n"},  // only the low eight bits count
        {'a', ZUB_E_BAD_MODE, nullptr},
        {'I', ZUB_E_BAD_MODE, nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.mode);
        size_t mark = Mark();
        EXPECT_EQ(zubSetMode(0, c.mode), c.result);
        const char *sent = c.sent ? c.sent : "S: ";
        EXPECT_EQ(Occurrences(LogSince(mark), sent), c.sent ? 1 : 0);
    }
}

TEST_P(TransferPyftpd, MissingFilesOnEitherSide) {
    size_t mark = Mark();
    EXPECT_EQ(zubPutFile(0, "not-here.bin"), ZUB_E_CANNOT_OPEN_FILE);
    EXPECT_EQ(Occurrences(LogSince(mark), "S: "), 0);  // nothing sent
    EXPECT_FALSE(srv.exists("not-here.bin"));

    EXPECT_EQ(zubGetFile(0, "absent.bin"), ZUB_E_SERVER_ERROR);
    EXPECT_FALSE(FileExists(Local("absent.bin")));
    char text[512];
    ASSERT_GT(zubErrorText(0, ZUB_E_SERVER_ERROR, text, sizeof text), 0);
    EXPECT_EQ(std::string(text).rfind("FTP server returned error. 550 ", 0), 0u) << text;
    ASSERT_GT(zubGetString(0, ZUB_STR_ERROR_TEXT, text, sizeof text - 1), 0);
    EXPECT_EQ(std::string(text).rfind("550 ", 0), 0u) << text;
    EXPECT_EQ(zubDriver(0), 0);  // idle
    EXPECT_EQ(zubHello(0), 0);
}

// ---- stepping and abort ------------------------------------------------------------------------------
TEST_P(TransferPyftpd, SteppedDownloadCountsUpMonotonically) {
    const std::string data = PatternBytes(4u << 20, 9);
    ASSERT_TRUE(srv.writeFile("stepped.bin", data));
    zubSetInteger(0, ZUB_SET_AUTO_CALL, 0);
    ASSERT_EQ(zubGetFile(0, "stepped.bin"), 0);
    int32_t last = 0;
    std::set<int32_t> seen;
    bool monotonic = true;
    int32_t r = Drive(nullptr, [&](int32_t) {
        int32_t now = zubGetInteger(0, ZUB_GET_GET_BYTES);
        monotonic = monotonic && now >= last;
        last = now;
        seen.insert(now);
        return false;
    });
    EXPECT_EQ(r, 0);
    EXPECT_TRUE(monotonic);
    EXPECT_EQ(last, static_cast<int32_t>(data.size()));
    EXPECT_GT(seen.size(), 100u);  // the counter moves block by block
    EXPECT_TRUE(SameBytes(ReadFile(Local("stepped.bin")), data));
}

TEST_P(TransferPyftpd, AbortMidDownloadLeavesAClosedPartialFile) {
    ASSERT_TRUE(srv.writeFile("abort.bin", BigData()));
    ASSERT_TRUE(srv.writeFile("after.bin", "after the abort"));
    zubSetInteger(0, ZUB_SET_AUTO_CALL, 0);
    ASSERT_EQ(zubGetFile(0, "abort.bin"), 0);
    const int32_t enough = 1 << 20;
    int32_t r = Drive(nullptr, [&](int32_t) { return zubGetInteger(0, ZUB_GET_GET_BYTES) > enough; });
    ASSERT_GT(r, 0) << "the download ended before it could be aborted";
    EXPECT_EQ(zubAbort(0), 1);
    const int32_t got = zubGetInteger(0, ZUB_GET_GET_BYTES);
    EXPECT_GT(got, enough);
    EXPECT_LT(got, static_cast<int32_t>(BigData().size()));
    EXPECT_FALSE(FileHeldOpen(Local("abort.bin")));
    EXPECT_EQ(xfer::FileSize(Local("abort.bin")), got);
    EXPECT_TRUE(SameBytes(ReadFile(Local("abort.bin")), BigData().substr(0, static_cast<size_t>(got))));
    EXPECT_EQ(zubDriver(0), 0);  // idle
    EXPECT_EQ(xfer::Val(Rec()->DataSock), 0);
    EXPECT_EQ(xfer::Val(Rec()->ListenSock), 0);

    // The server answers the broken transfer on the control connection; the
    // next operation discards that reply and works.
    EXPECT_TRUE(ControlReadable(10000));
    zubSetInteger(0, ZUB_SET_AUTO_CALL, 1);
    EXPECT_EQ(zubHello(0), 0);
    EXPECT_EQ(zubGetFile(0, "after.bin"), 0);
    EXPECT_EQ(ReadFile(Local("after.bin")), "after the abort");
}

// ---- the bulk path ------------------------------------------------------------------------------------
// Each transfer with ZUB_SET_BULK off and then on: the same bytes on both
// sides, the same counters and the same log lines (the raw trace aside).
TEST_P(TransferPyftpd, BulkPathKeepsFilesCountersAndLogLines) {
    struct Case {
        const char *what;
        size_t size;
        bool upload;
        uint32_t offset;  // resumed from here
    } cases[] = {
        {"empty download", 0, false, 0},
        {"one-byte download", 1, false, 0},
        {"download of several steps", (3u << 20) + 5, false, 0},
        {"resumed download", 300000, false, 100000},
        {"empty upload", 0, true, 0},
        {"upload of several steps", (3u << 20) + 5, true, 0},
        {"appended upload", 300000, true, 120000},
    };
    // The pauses after a close and an upload's last block are not logged.
    zubSetInteger(0, ZUB_SET_LINGER_LIMIT, 0);
    zubSetInteger(0, ZUB_SET_END_DELAY, 0);
    for (const Case &c : cases) {
        std::string logs[2];
        for (uint32_t bulk : {0u, 1u}) {
            SCOPED_TRACE(std::string(c.what) + (bulk ? ", bulk" : ", blocks"));
            ASSERT_EQ(zubSetInteger(0, ZUB_SET_BULK, bulk), static_cast<int32_t>(bulk));
            const std::string data = PatternBytes(c.size, static_cast<uint32_t>(c.size) + bulk);
            const std::string have = data.substr(0, c.offset);
            ASSERT_TRUE(c.upload ? srv.writeFile("b.bin", have) : srv.writeFile("b.bin", data));
            ASSERT_TRUE(WriteFile(Local("b.bin"), c.upload ? data : have));
            if (c.offset != 0) {
                zubSetInteger(0, ZUB_SET_RESUME, 1);
                zubSetInteger(0, c.upload ? ZUB_SET_APPEND_OFFSET : ZUB_SET_RESTART_OFFSET, c.offset);
                zubSetInteger(0, ZUB_SET_APPEND_OFFSET, c.offset);
            }
            const size_t mark = Mark();
            EXPECT_EQ(c.upload ? zubPutFile(0, "b.bin") : zubGetFile(0, "b.bin"), 0);
            EXPECT_TRUE(SameBytes(c.upload ? srv.readFile("b.bin") : ReadFile(Local("b.bin")), data));
            EXPECT_EQ(zubGetInteger(0, c.upload ? ZUB_GET_PUT_BYTES : ZUB_GET_GET_BYTES),
                      static_cast<int32_t>(c.size - c.offset));
            EXPECT_FALSE(FileHeldOpen(Local("b.bin")));
            logs[bulk] = xfer::LogWithoutTrace(LogSince(mark));
        }
        EXPECT_EQ(logs[0], logs[1]) << c.what;
    }
}

// Stepped by the application, a bulk transfer moves at most 1 MiB a step,
// in pieces larger than blocks.
TEST_P(TransferPyftpd, BulkStepsAreBounded) {
    const std::string data = PatternBytes(6u << 20, 21);
    ASSERT_TRUE(srv.writeFile("steps.bin", data));
    ASSERT_TRUE(WriteFile(Local("steps-up.bin"), data));
    ASSERT_EQ(zubSetInteger(0, ZUB_SET_BULK, 1), 1);
    zubSetInteger(0, ZUB_SET_AUTO_CALL, 0);
    for (bool upload : {false, true}) {
        SCOPED_TRACE(upload ? "upload" : "download");
        const int32_t counter = upload ? ZUB_GET_PUT_BYTES : ZUB_GET_GET_BYTES;
        ASSERT_EQ(upload ? zubPutFile(0, "steps-up.bin:steps-back.bin") : zubGetFile(0, "steps.bin"), 0);
        int32_t last = 0, largest = 0;
        int steps = 0;
        EXPECT_EQ(Drive(nullptr, [&](int32_t) {
                      const int32_t now = zubGetInteger(0, counter);
                      largest = std::max(largest, now - last);
                      last = now;
                      ++steps;
                      return false;
                  }),
                  0);
        EXPECT_EQ(last, static_cast<int32_t>(data.size()));
        EXPECT_LE(largest, 1 << 20);
        EXPECT_GT(largest, 8192) << "the pieces are as small as blocks";
        RecordProperty(upload ? "upload_steps" : "download_steps", steps);
    }
    EXPECT_TRUE(SameBytes(ReadFile(Local("steps.bin")), data));
    EXPECT_TRUE(SameBytes(srv.readFile("steps-back.bin"), data));
}

// ---- listings ------------------------------------------------------------------------------------------
std::vector<std::string> Lines(const std::string &text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) out.push_back(line);
    }
    return out;
}

TEST_P(ListingPyftpd, EachKindWithArgumentInTheBuffer) {
    ASSERT_TRUE(srv.writeFile("alpha.txt", "a"));
    ASSERT_TRUE(srv.writeFile("beta.bin", "bb"));
    ASSERT_TRUE(srv.writeFile("sub/inner.txt", "ccc"));
    struct Case {
        int32_t kind;
        const char *arg;
        const char *command;
        std::set<std::string> names;  // NLST: exactly these; LIST: each in some line
    } cases[] = {
        {ZUB_LIST, "", "S: LIST\r\n", {"alpha.txt", "beta.bin", "sub"}},
        {ZUB_NLST, "", "S: NLST\r\n", {"alpha.txt", "beta.bin", "sub"}},
        {ZUB_LIST_ARG, "sub", "S: LIST sub\r\n", {"inner.txt"}},
        {ZUB_NLST_ARG, "sub", "S: NLST sub\r\n", {"inner.txt"}},
        // Lines of facts, each ending in "; name".
        {ZUB_MLSD, "", "S: MLSD\r\n", {"alpha.txt", "beta.bin", "sub"}},
        {ZUB_MLSD_ARG, "sub", "S: MLSD sub\r\n", {"inner.txt"}},
    };
    ASSERT_EQ(zubSetInteger(0, ZUB_SET_MLSD, 1), 1);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.command);
        char buf[4096];
        std::strcpy(buf, c.arg);
        size_t mark = Mark();
        int32_t n = zubGetList(0, c.kind, buf, sizeof buf);
        ASSERT_GT(n, 0);
        EXPECT_EQ(n, static_cast<int32_t>(std::strlen(buf)));
        EXPECT_EQ(Occurrences(LogSince(mark), c.command), 1);
        EXPECT_EQ(zubGetInteger(0, ZUB_GET_LIST_FORMAT), c.kind >= ZUB_MLSD ? 1 : 0);
        std::vector<std::string> lines = Lines(buf);
        if (c.kind == ZUB_NLST || c.kind == ZUB_NLST_ARG) {
            std::set<std::string> names;
            for (const std::string &l : lines) names.insert(l.substr(l.rfind('/') + 1));
            EXPECT_EQ(names, c.names) << buf;
        } else {
            EXPECT_EQ(lines.size(), c.names.size()) << buf;
            for (const std::string &name : c.names)
                EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                                        [&](const std::string &l) { return l.size() > name.size() &&
                                                                           l.compare(l.size() - name.size(),
                                                                                     name.size(), name) == 0; }),
                          1)
                    << name << " in\n" << buf;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, TransferPyftpd, ::testing::Values(Mode::Passive, Mode::Active), ModeName);
INSTANTIATE_TEST_SUITE_P(Modes, ListingPyftpd, ::testing::Values(Mode::Passive, Mode::Active), ModeName);

}  // namespace
