// frame_lifecycle_test.cpp - attach and release: channel counts at the
// edges, the low-16-bit channel number, the common channel check of every
// export, an attach that runs out of memory part-way, and exports handed
// null pointers.
//
// Divisions: attach and release, channel check, failed attach, null
// pointers.
#include <cstring>
#include <functional>
#include <string>

#include "engine/driver.h"
#include "net/tls.h"
#include "support.h"

using namespace frame_test;

namespace {

using FrameLifecycle = FrameTest;

// ---- attach and release ------------------------------------------------------------
TEST_F(FrameLifecycle, ZeroChannelsLeavesTheLibraryNotAttached) {
    EXPECT_EQ(zubAttach(0, 0), 1);
    EXPECT_EQ(zub::ChannelCount, 0);
    EXPECT_EQ(zubGetInteger(0, ZUB_GET_VERSION), ZUB_E_NOT_ATTACHED);
    EXPECT_EQ(zubDebug(0, 0, 0, 0), ZUB_E_NOT_ATTACHED);
    // Not attached, so a real attach is still possible.
    EXPECT_EQ(zubAttach(1, 0), 1);
}

TEST_F(FrameLifecycle, ThirtyTwoChannelsAreTheMostThereAre) {
    Attach(32);
    EXPECT_EQ(zubGetInteger(31, ZUB_GET_VERSION), 560);
    EXPECT_EQ(zubGetInteger(32, ZUB_GET_VERSION), ZUB_E_CHANNEL_RANGE);
    for (int c = 0; c < 32; ++c) EXPECT_EQ(+Rec(c)->ChanIndex, c);
}

TEST_F(FrameLifecycle, TooManyChannelsCreateNothing) {
    for (int32_t n : {33, 0xFFFF, 0x10021}) {
        SCOPED_TRACE(n);
        EXPECT_EQ(zubAttach(n, 0), ZUB_E_CHANNEL_RANGE);
        EXPECT_EQ(zub::ChannelCount, 0);
        EXPECT_EQ(zubGetInteger(0, ZUB_GET_VERSION), ZUB_E_NOT_ATTACHED);
    }
}

TEST_F(FrameLifecycle, OnlyTheLowSixteenBitsCountAtAttach) {
    EXPECT_EQ(zubAttach(0x7FFF0002, 12345), 1);  // the reserved word has no effect
    EXPECT_EQ(zub::ChannelCount, 2);
}

TEST_F(FrameLifecycle, ReleaseBeforeAttachAndAttachAfterRelease) {
    EXPECT_EQ(zubRelease(), 1);
    EXPECT_EQ(zubRelease(), 1);
    Attach(2);
    EXPECT_EQ(zubAttach(2, 0), ZUB_E_ALREADY_ATTACHED);
    EXPECT_EQ(zub::ChannelCount, 2);  // the refused attach changed nothing
    EXPECT_EQ(zubRelease(), 1);
    EXPECT_EQ(zubGetInteger(0, ZUB_GET_VERSION), ZUB_E_NOT_ATTACHED);
    for (int s = 0; s < zub::kSlotCount; ++s) ASSERT_EQ(zub::SlotCheck(s), zub::kSlotNotAllocated) << s;
    Attach(3);
    EXPECT_EQ(zubGetInteger(2, ZUB_GET_VERSION), 560);
}

TEST_F(FrameLifecycle, RecordsStartFromTheirDefaults) {
    Attach(2);
    zub::ChannelRecord *rec = Rec(1);
    // Settle a few per-channel values, then attach anew: they start over.
    ASSERT_EQ(zubSetInteger(1, ZUB_SET_SERVER_PORT, 2121), 2121);
    ASSERT_EQ(zubSetInteger(1, ZUB_SET_AUTO_CALL, 0), 0);
    ASSERT_EQ(zubSetInteger(1, ZUB_SET_PASSIVE, 1), 1);
    // And the channel's TLS and FTP session state, kept beside the record.
    ASSERT_EQ(zubSetInteger(1, ZUB_SET_SECURITY, ZUB_TLS_EXPLICIT), ZUB_TLS_EXPLICIT);
    ASSERT_EQ(zubSetInteger(1, ZUB_SET_VERIFY, 0), 0);
    ASSERT_EQ(zubSetString(1, ZUB_STR_CA_FILE, "ca.pem"), 1);
    ASSERT_EQ(zubSetInteger(1, ZUB_SET_EPSV, 1), 1);
    zub::FtpOf(rec).EpsvRefused = zub::FtpOf(rec).Protected = true;
    ASSERT_EQ(zubRelease(), 1);
    Attach(2);
    rec = Rec(1);
    EXPECT_EQ(+rec->ServerPort, 21);
    EXPECT_EQ(+rec->ChanIndex, 1);
    EXPECT_EQ(+rec->PrevState, -2);
    EXPECT_EQ(+rec->ThisState, -1);
    EXPECT_EQ(+rec->NextState, 0);
    EXPECT_EQ(+rec->AutoCall, 1u);
    EXPECT_EQ(+rec->PassiveMode, 0u);
    EXPECT_EQ(+rec->NonBlockConnect, 0u);
    EXPECT_EQ(+rec->LogFile, 0);
    EXPECT_EQ(+rec->CtrlSock, 0);
    EXPECT_TRUE(rec->ReplyText == rec->ReplyBuf);
    EXPECT_EQ(std::string(rec->LocalDir), CurrentDir());
    const zub::TlsChannel &tls = zub::TlsOf(rec);
    EXPECT_EQ(tls.Security, uint32_t{ZUB_TLS_NONE});
    EXPECT_EQ(tls.Verify, 1u);
    EXPECT_STREQ(tls.CaFile, "");
    const zub::FtpChannel &ftp = zub::FtpOf(rec);
    EXPECT_EQ(ftp.Epsv, 0u);
    EXPECT_FALSE(ftp.EpsvRefused);
    EXPECT_FALSE(ftp.Protected);
}

// ---- channel check ---------------------------------------------------------------
struct Export {
    const char *name;
    std::function<int32_t(int32_t)> call;
};

// Every export that takes a channel; the arguments are harmless ones.
const Export kChannelExports[] = {
    {"zubDriver", [](int32_t c) { return zubDriver(c); }},
    {"zubSetInteger", [](int32_t c) { return zubSetInteger(c, ZUB_SET_SLEEP_TIME, 10); }},
    {"zubGetInteger", [](int32_t c) { return zubGetInteger(c, ZUB_GET_VERSION); }},
    {"zubSetString", [](int32_t c) { return zubSetString(c, ZUB_STR_LOG_TEXT, "x"); }},
    {"zubGetString", [](int32_t c) { char b[64]; return zubGetString(c, ZUB_STR_ERROR_TEXT, b, 63); }},
    {"zubErrorText", [](int32_t c) { char b[64]; return zubErrorText(c, -3, b, 64); }},
    {"zubConnect", [](int32_t c) { return zubConnect(c, nullptr, nullptr, nullptr); }},
    {"zubClose", [](int32_t c) { return zubClose(c); }},
    {"zubHello", [](int32_t c) { return zubHello(c); }},
    {"zubCommand", [](int32_t c) { return zubCommand(c, "NOOP"); }},
    {"zubAbort", [](int32_t c) { return zubAbort(c); }},
    {"zubDebug", [](int32_t c) { return zubDebug(c, 1, 2, 3); }},
    {"zubGetFile", [](int32_t c) { return zubGetFile(c, "a"); }},
    {"zubPutFile", [](int32_t c) { return zubPutFile(c, "a"); }},
    {"zubGetList", [](int32_t c) { char b[16]; return zubGetList(c, ZUB_LIST, b, 16); }},
    {"zubSetMode", [](int32_t c) { return zubSetMode(c, 'B'); }},
    {"zubSetServerDir", [](int32_t c) { return zubSetServerDir(c, "d"); }},
    {"zubGetServerDir", [](int32_t c) { char b[16]; return zubGetServerDir(c, b, 15); }},
    {"zubDelFile", [](int32_t c) { return zubDelFile(c, "a"); }},
    {"zubMakeServerDir", [](int32_t c) { return zubMakeServerDir(c, "d"); }},
    {"zubDelServerDir", [](int32_t c) { return zubDelServerDir(c, "d"); }},
    {"zubSetLocalDir", [](int32_t c) { return zubSetLocalDir(c, "/"); }},
    {"zubGetLocalDir", [](int32_t c) { char b[16]; return zubGetLocalDir(c, b, 15); }},
};

TEST_F(FrameLifecycle, EveryChannelExportChecksTheChannelFirst) {
    for (const Export &e : kChannelExports) EXPECT_EQ(e.call(0), ZUB_E_NOT_ATTACHED) << e.name;
    Attach(2);
    const int32_t log = OpenLog(0, "check.log");
    for (const Export &e : kChannelExports) {
        for (int32_t bad : {2, 0x10002, -1, 0x7FFF}) EXPECT_EQ(e.call(bad), ZUB_E_CHANNEL_RANGE) << e.name << " " << bad;
    }
    // A refused call writes nothing, not even to another channel's log.
    EXPECT_EQ(ReadFile(Path("check.log")), "");
    EXPECT_EQ(+zub::ChannelTable[0]->LogFile, log);
}

TEST_F(FrameLifecycle, HighBitsOfTheChannelNumberAreIgnored) {
    Attach(2);
    EXPECT_EQ(zubSetInteger(0x10001, ZUB_SET_SERVER_PORT, 2121), 2121);
    EXPECT_EQ(zubSetInteger(static_cast<int32_t>(0xABCD0001u), ZUB_SET_PASSIVE, 1), 1);
    EXPECT_EQ(+Rec(1)->ServerPort, 2121);
    EXPECT_EQ(+Rec(1)->PassiveMode, 1u);
    EXPECT_EQ(+Rec(0)->ServerPort, 21);
    EXPECT_EQ(+Rec(0)->PassiveMode, 0u);
    Rec(1)->StepCount = 77;
    EXPECT_EQ(zubGetInteger(0x20001, ZUB_GET_STEP_COUNT), 77);
    EXPECT_EQ(zubDebug(0x10000, 0, 0, 0), 1);
}

// ---- failed attach ---------------------------------------------------------------
// Lets allocation number gFailAt (counted from 0) fail.
int gCallocCalls = 0;
int gFailAt = -1;

decltype(&zp_alloc_zero) gRealAlloc = nullptr;

void *CountingAlloc(size_t size) {
    return gCallocCalls++ == gFailAt ? nullptr : gRealAlloc(size);
}

void ArmCalloc(int failAt) {
    gCallocCalls = 0;
    gFailAt = failAt;
    zp_syscall_reset();
    gRealAlloc = ReplaceCall(zp_alloc_zero, &CountingAlloc);
}

TEST_F(FrameLifecycle, AttachAllocatesThirteenBlocksPerChannelAndNothingWhenRefused) {
    ArmCalloc(-1);
    EXPECT_EQ(zubAttach(33, 0), ZUB_E_CHANNEL_RANGE);
    EXPECT_EQ(gCallocCalls, 0);
    Attach(3);
    EXPECT_EQ(gCallocCalls, 3 * 13);
    EXPECT_EQ(zubAttach(3, 0), ZUB_E_ALREADY_ATTACHED);
    EXPECT_EQ(gCallocCalls, 3 * 13);
}

// Whichever allocation fails, the attach gives back all it built and a
// later attach starts from a clean table. LeakSanitizer checks the memory.
TEST_F(FrameLifecycle, AttachThatRunsOutOfMemoryLeavesNothingBehind) {
    const int kChannels = 4;
    for (int failAt = 0; failAt < kChannels * 13; ++failAt) {
        SCOPED_TRACE("allocation " + std::to_string(failAt));
        ArmCalloc(failAt);
        ASSERT_EQ(zubAttach(kChannels, 0), ZUB_E_NO_MEMORY);
        EXPECT_EQ(gCallocCalls, failAt + 1);  // it stopped at the failure
        EXPECT_EQ(zub::ChannelCount, 0);
        for (int c = 0; c < zub::kMaxChannels; ++c) EXPECT_EQ(zub::ChannelTable[c], nullptr) << c;
        for (int s = 0; s < zub::kSlotCount; ++s) ASSERT_EQ(zub::SlotCheck(s), zub::kSlotNotAllocated) << s;
        EXPECT_EQ(zubGetInteger(0, ZUB_GET_VERSION), ZUB_E_NOT_ATTACHED);
        EXPECT_EQ(zubRelease(), 1);
    }
    zp_syscall_reset();
    Attach(kChannels);
    EXPECT_EQ(zubGetInteger(kChannels - 1, ZUB_GET_VERSION), 560);
}

// ---- null pointers -------------------------------------------------------------------
TEST_F(FrameLifecycle, NullPointersAreRefusedNotFollowed) {
    Attach(1);
    ASSERT_EQ(zubSetInteger(0, ZUB_SET_AUTO_CALL, 0), 0);  // operations only arm the driver
    EXPECT_EQ(zubErrorText(0, -3, nullptr, 80), 0);
    EXPECT_EQ(zubErrorText(0, ZUB_E_SERVER_ERROR, nullptr, 80), 0);
    for (int32_t n = 17; n <= 25; ++n) {
        const int32_t r = zubGetString(0, n, nullptr, 80);
        EXPECT_LE(r, 0) << "zubGetString " << n;
    }
    EXPECT_EQ(zubSetString(0, ZUB_STR_OPEN_LOG, nullptr), -1);
    EXPECT_EQ(+zub::ChannelTable[0]->LogFile, 0);
    EXPECT_EQ(zubSetString(0, ZUB_STR_LOG_TEXT, nullptr), 0);
    EXPECT_EQ(zubSetString(0, 99, nullptr), -1);
    EXPECT_EQ(zubConnect(0, nullptr, "u", "p"), ZUB_E_NO_SERVER_NAME);
    EXPECT_EQ(zubConnect(0, "s", nullptr, "p"), ZUB_E_NO_USER);
    EXPECT_EQ(zubConnect(0, "s", "u", nullptr), ZUB_E_NO_PASSWORD);
    EXPECT_EQ(zubCommand(0, nullptr), 0);
    EXPECT_EQ(zubGetFile(0, nullptr), 0);
    EXPECT_EQ(zubPutFile(0, nullptr), ZUB_E_CANNOT_OPEN_FILE);
    EXPECT_EQ(zubGetList(0, ZUB_LIST, nullptr, 100), 0);
    EXPECT_EQ(zubSetServerDir(0, nullptr), 0);
    EXPECT_EQ(zubGetServerDir(0, nullptr, 100), 0);
    EXPECT_EQ(zubDelFile(0, nullptr), 0);
    EXPECT_EQ(zubMakeServerDir(0, nullptr), 0);
    EXPECT_EQ(zubDelServerDir(0, nullptr), 0);
    EXPECT_EQ(zubSetLocalDir(0, nullptr), 0);
    EXPECT_EQ(zubGetLocalDir(0, nullptr, 100), 0);
}

}  // namespace
