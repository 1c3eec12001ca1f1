// localdir_test.cpp - end-to-end tests of the local directory: setting it
// with its write probe, reading it back into buffers of every size, and the
// transfers that resolve their local file names against it.
//
// Divisions: setting and probing, reading back, use by transfers.
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "support.h"
#include "servers/scripted.h"

namespace {

using xfer::FileExists;
using xfer::ReadFile;
using xfer::WriteFile;
namespace fs = std::filesystem;

// The separator the library appends to a local directory.
const std::string kSep(1, zp_path_separator());

class LocalDirTest : public xfer::ChannelFixture<> {
protected:
    std::string Get() {
        char buf[300];
        std::memset(buf, 'Z', sizeof buf);
        int32_t n = zubGetLocalDir(0, buf, 290);
        EXPECT_EQ(n, static_cast<int32_t>(std::strlen(buf)));
        return buf;
    }

    // The guards of channel 0's local-directory block are intact.
    static bool LocalDirBlockIntact() { return zub::SlotCheck(10) == 1; }
};

// ---- setting and probing -------------------------------------------------------------
TEST_F(LocalDirTest, SetAppendsOneSeparatorAndLogsIt) {
    const std::string sub = dir + "/in";
    ASSERT_TRUE(fs::create_directory(sub));
    for (const std::string &text : {sub, sub + kSep}) {
        SCOPED_TRACE(text);
        EXPECT_EQ(zubSetLocalDir(0, text.c_str()), 0);
        EXPECT_EQ(Get(), sub + kSep);
    }
    EXPECT_NE(Log().find("*** zubSetLocalDir\r\nLocal directory is '" + sub + kSep + "'\r\n"), std::string::npos);
    EXPECT_NE(Log().find("*** zubGetLocalDir\r\nLocal directory is '" + sub + kSep + "'\r\n"), std::string::npos);
}

TEST_F(LocalDirTest, ProbeLeavesNoProbeFileBehind) {
    const std::string probe = localDir + "/$$$$.TMP";
    ASSERT_TRUE(WriteFile(probe, "an older file of the probe's name"));
    EXPECT_EQ(zubSetLocalDir(0, localDir.c_str()), 0);
    EXPECT_FALSE(FileExists(probe));
}

TEST_F(LocalDirTest, RefusedTextsKeepThePreviousDirectory) {
    const std::string before = Get();
    ASSERT_TRUE(WriteFile(dir + "/plainfile", "x"));
    struct Case {
        const char *what;
        std::string text;
    } cases[] = {
        {"missing directory", dir + "/does/not/exist"},
        {"a file, not a directory", dir + "/plainfile"},
        // An existing directory named by a text that does not fit the
        // 254-character field ("dir////...") is refused, not probed cut.
        {"255 characters", dir + std::string(255 - dir.size(), '/')},
        {"1000 characters", dir + std::string(1000 - dir.size(), '/')},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(zubSetLocalDir(0, c.text.c_str()), ZUB_E_CANNOT_COMPLY);
        EXPECT_EQ(Get(), before);
        EXPECT_TRUE(LocalDirBlockIntact());
    }
}

#ifndef _WIN32
// (POSIX only: Windows' file calls stop at 260 characters, short of a
// 254-character directory with the probe's name after it.)
TEST_F(LocalDirTest, LongestAcceptedTextFillsTheField) {
    // A real directory whose path is exactly 254 characters long.
    std::string path = dir;
    while (path.size() < 254) {
        size_t room = 254 - path.size() - 1;  // characters after the next '/'
        path += "/" + std::string(room > 200 ? 100 : room, 'd');
        ASSERT_TRUE(fs::create_directory(path)) << path;
    }
    ASSERT_EQ(path.size(), 254u);
    EXPECT_EQ(zubSetLocalDir(0, path.c_str()), 0);
    EXPECT_EQ(Get(), path + kSep);
    EXPECT_EQ(zubGetLocalDir(0, nullptr, 300), 0);
    EXPECT_TRUE(LocalDirBlockIntact());
}
#endif

TEST_F(LocalDirTest, EmptyAndOneCharacterTextsAreNotProbed) {
    EXPECT_EQ(zubSetLocalDir(0, ""), 0);
    EXPECT_EQ(Get(), "");
    // "D" names nothing on disk: only an unprobed text can be accepted.
    EXPECT_EQ(zubSetLocalDir(0, "D"), 0);
    EXPECT_EQ(Get(), "D" + kSep);
}

TEST_F(LocalDirTest, LineEndIsRefusedEvenWhereTheDirectoryExists) {
    ASSERT_TRUE(fs::create_directory(dir + "/a"));
#ifndef _WIN32
    // (Windows names cannot hold line ends: there only the text is refused.)
    ASSERT_TRUE(fs::create_directory(dir + "/a\r\nb"));
#endif
    EXPECT_EQ(zubSetLocalDir(0, (dir + "/a").c_str()), 0);
    // Storing only "a" would send files somewhere the caller did not name.
    EXPECT_EQ(zubSetLocalDir(0, (dir + "/a\r\nb").c_str()), ZUB_E_CANNOT_COMPLY);
    EXPECT_EQ(zubSetLocalDir(0, (dir + "/a\nmissing").c_str()), ZUB_E_CANNOT_COMPLY);
    EXPECT_EQ(Get(), dir + "/a" + kSep);
}

TEST(LocalDirChecks, ChannelIsCheckedFirst) {
    char buf[8] = "keep";
    EXPECT_EQ(zubSetLocalDir(0, "/tmp"), ZUB_E_NOT_ATTACHED);
    EXPECT_EQ(zubGetLocalDir(0, buf, 7), ZUB_E_NOT_ATTACHED);
    ASSERT_EQ(zubAttach(2, 0), 1);
    EXPECT_EQ(zubSetLocalDir(2, "/tmp"), ZUB_E_CHANNEL_RANGE);
    EXPECT_EQ(zubGetLocalDir(5, buf, 7), ZUB_E_CHANNEL_RANGE);
    EXPECT_STREQ(buf, "keep");
    zubRelease();
}

// ---- reading back ------------------------------------------------------------------------
TEST_F(LocalDirTest, GetCopiesAtMostSizeCharactersAndANul) {
    const std::string full = localDir + kSep;
    const int32_t len = static_cast<int32_t>(full.size());
    for (int32_t size : {0, 1, len - 1, len, len + 1, 1000}) {
        SCOPED_TRACE(size);
        std::vector<char> buf(static_cast<size_t>(len) + 8, 'Z');
        int32_t n = zubGetLocalDir(0, buf.data(), size);
        int32_t expect = size < len ? size : len;
        EXPECT_EQ(n, expect);
        EXPECT_EQ(std::string(buf.data(), static_cast<size_t>(n)), full.substr(0, static_cast<size_t>(n)));
        EXPECT_EQ(buf[static_cast<size_t>(n)], '\0');
        if (size < len) {
            EXPECT_EQ(buf[static_cast<size_t>(n) + 1], 'Z') << "written past size + 1";
        }
    }
}

// ---- use by transfers ----------------------------------------------------------------------
class LocalDirTransferTest : public LocalDirTest {
protected:
    std::unique_ptr<zt::ScriptedFtpServer> srv;

    void Serve(const zt::Scenario &sc) {
        srv = std::make_unique<zt::ScriptedFtpServer>(sc);
        ASSERT_TRUE(srv->start());
        zubSetInteger(0, ZUB_SET_PASSIVE, 1);
        ASSERT_EQ(Connect(srv->port()), 0);
    }

    void TearDown() override {
        LocalDirTest::TearDown();
        if (srv) srv->stop();
    }
};

TEST_F(LocalDirTransferTest, LocalNamesResolveAgainstTheLocalDirectory) {
    zt::Scenario sc;
    sc.on("RETR").data("downloaded");
    Serve(sc);
    const std::string other = dir + "/other";
    ASSERT_TRUE(fs::create_directory(other));

    EXPECT_EQ(zubGetFile(0, "a.txt"), 0);
    EXPECT_EQ(ReadFile(localDir + "/a.txt"), "downloaded");

    ASSERT_EQ(zubSetLocalDir(0, other.c_str()), 0);
    ASSERT_TRUE(WriteFile(other + "/up.txt", "uploaded"));
    EXPECT_EQ(zubPutFile(0, "up.txt"), 0);
    EXPECT_EQ(zubGetFile(0, "b.txt"), 0);
    EXPECT_EQ(ReadFile(other + "/b.txt"), "downloaded");

    // An empty local directory leaves names relative to the current one.
    const fs::path cwd = fs::current_path();
    fs::current_path(dir);
    ASSERT_EQ(zubSetLocalDir(0, ""), 0);
    int32_t r = zubGetFile(0, "c.txt");
    fs::current_path(cwd);
    EXPECT_EQ(r, 0);
    EXPECT_EQ(ReadFile(dir + "/c.txt"), "downloaded");
    EXPECT_EQ(srv->uploads(), std::vector<std::string>{"uploaded"});
}

TEST_F(LocalDirTransferTest, CallsBetweenDriverStepsLeaveTheOperationAlone) {
    zt::Scenario sc;
    sc.on("RETR").data("stepped");
    Serve(sc);
    zubSetInteger(0, ZUB_SET_AUTO_CALL, 0);
    ASSERT_EQ(zubGetFile(0, "s.txt"), 0);
    int32_t r;
    int steps = 0;
    do {
        r = zubDriver(0);
        const int32_t next = Rec()->NextState, stop = static_cast<int32_t>(Rec()->TimeStop);
        char buf[300];
        EXPECT_GT(zubGetLocalDir(0, buf, 299), 0);
        EXPECT_EQ(zubSetLocalDir(0, localDir.c_str()), 0);
        EXPECT_EQ(xfer::Val(Rec()->NextState), next);
        EXPECT_EQ(static_cast<int32_t>(Rec()->TimeStop), stop);
        ASSERT_LT(++steps, 1000000);
    } while (r > 0);
    EXPECT_EQ(r, 0);
    EXPECT_EQ(ReadFile(Local("s.txt")), "stepped");
}

}  // namespace
