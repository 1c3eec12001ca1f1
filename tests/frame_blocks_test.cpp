// frame_blocks_test.cpp - the guarded block table and the channel record:
// slot codes, guard and identity damage found at release, every block
// usable to its last byte, the per-channel data port ranges, and tick
// arithmetic across the 32-bit wrap.
//
// Divisions: slot operations, damage at release, full blocks, data ports,
// ticks.
#include <cstring>
#include <set>
#include <string>

#include "support.h"

using namespace frame_test;

namespace {

constexpr int kBlocks = zub::kBlocksPerChannel;

int SlotOf(int chan, int block) { return block + kBlocks * chan; }

// ---- slot operations -----------------------------------------------------------
class FrameBlocks : public FrameTest {
protected:
    void SetUp() override {
        FrameTest::SetUp();
        zub::ResetBlockTable();
    }
};

TEST_F(FrameBlocks, BadSlotNumbersAreRefusedByEveryOperation) {
    for (int slot : {-1, int(zub::kSlotCount), int(zub::kSlotCount) + 1, 0x7FFFFFFF}) {
        SCOPED_TRACE(slot);
        EXPECT_EQ(zub::SlotAllocate(slot, 10), zub::kSlotBadNumber);
        EXPECT_EQ(zub::SlotCheck(slot), zub::kSlotBadNumber);
        EXPECT_EQ(zub::SlotFree(slot), zub::kSlotBadNumber);
        EXPECT_EQ(zub::SlotAddress(slot), nullptr);
    }
}

TEST_F(FrameBlocks, LayoutIsGuardedAndZeroFilled) {
    const int slot = 7;
    ASSERT_EQ(zub::SlotAllocate(slot, 20), slot);
    unsigned char *raw = zub::SlotRaw(slot);
    ASSERT_NE(raw, nullptr);
    EXPECT_EQ(reinterpret_cast<unsigned char *>(zub::SlotAddress(slot)), raw + 1);
    EXPECT_EQ(raw[0], 'U');
    for (int i = 1; i <= 22; ++i) EXPECT_EQ(raw[i], 0) << "byte " << i;
    EXPECT_EQ(raw[23], 'z');
    EXPECT_EQ(zub::SlotCheck(slot), 1);
    EXPECT_EQ(zub::SlotFree(slot), 1);
}

TEST_F(FrameBlocks, AllocatingTwiceKeepsTheFirstMemory) {
    const int slot = 100;
    ASSERT_EQ(zub::SlotAllocate(slot, 64), slot);
    char *first = zub::SlotAddress(slot);
    std::strcpy(first, "kept");
    EXPECT_EQ(zub::SlotAllocate(slot, 4096), zub::kSlotInUse);
    EXPECT_EQ(zub::SlotAddress(slot), first);
    EXPECT_STREQ(first, "kept");
    EXPECT_EQ(zub::SlotCheck(slot), 1);  // the size stayed the first one's
    EXPECT_EQ(zub::SlotFree(slot), 1);
}

TEST_F(FrameBlocks, FreeSlotsReportNotAllocated) {
    const int slot = 3;
    EXPECT_EQ(zub::SlotCheck(slot), zub::kSlotNotAllocated);
    EXPECT_EQ(zub::SlotFree(slot), zub::kSlotNotAllocated);
    EXPECT_EQ(zub::SlotAddress(slot), nullptr);
    ASSERT_EQ(zub::SlotAllocate(slot, 1), slot);
    EXPECT_EQ(zub::SlotFree(slot), 1);
    EXPECT_EQ(zub::SlotFree(slot), zub::kSlotNotAllocated);
    EXPECT_EQ(zub::SlotCheck(slot), zub::kSlotNotAllocated);
}

TEST_F(FrameBlocks, DamagedIdentityBlocksEveryOperation) {
    const int slot = 40;
    ASSERT_EQ(zub::SlotAllocate(slot, 8), slot);
    zub::SlotSetIdentity(slot, slot + 1);
    EXPECT_EQ(zub::SlotCheck(slot), zub::kSlotIdentity);
    EXPECT_EQ(zub::SlotFree(slot), zub::kSlotIdentity);
    EXPECT_EQ(zub::SlotAllocate(slot, 8), zub::kSlotIdentity);
    EXPECT_EQ(zub::SlotAddress(slot), nullptr);
    zub::SlotSetIdentity(slot, slot);
    EXPECT_EQ(zub::SlotFree(slot), 1);  // the memory was never given up
}

TEST_F(FrameBlocks, EitherDamagedGuardFailsTheCheck) {
    const int slot = 9;
    const uint16_t n = 30;
    ASSERT_EQ(zub::SlotAllocate(slot, n), slot);
    unsigned char *raw = zub::SlotRaw(slot);
    for (int at : {0, n + 3}) {
        SCOPED_TRACE(at);
        const unsigned char keep = raw[at];
        raw[at] ^= 0x20;
        EXPECT_EQ(zub::SlotCheck(slot), zub::kSlotGuard);
        raw[at] = keep;
        EXPECT_EQ(zub::SlotCheck(slot), 1);
    }
    // The two terminator bytes and the spare byte are free to use.
    raw[n + 1] = raw[n + 2] = raw[n + 4] = 0x55;
    EXPECT_EQ(zub::SlotCheck(slot), 1);
    EXPECT_EQ(zub::SlotFree(slot), 1);
}

TEST_F(FrameBlocks, FailedAllocationReportsNoMemoryAndLeavesTheSlotFree) {
    ASSERT_NE(ReplaceCall(zp_alloc_zero, [](size_t) -> void * { return nullptr; }), nullptr);
    EXPECT_EQ(zub::SlotAllocate(5, 10), zub::kSlotNoMemory);
    zp_syscall_reset();
    EXPECT_EQ(zub::SlotCheck(5), zub::kSlotNotAllocated);
    EXPECT_EQ(zub::SlotAllocate(5, 10), 5);
    EXPECT_EQ(zub::SlotFree(5), 1);
}

// ---- damage found at release -------------------------------------------------------
struct Damage {
    const char *what;
    int block;
    bool identity;  // else the trailing guard
    int code;
};

class FrameBlocksRelease : public FrameTest, public ::testing::WithParamInterface<Damage> {};

// Release walks blocks 1..12 and then 0: what comes before the damaged
// block is freed, the damaged block and everything after it stay.
TEST_P(FrameBlocksRelease, DamageIsLoggedAndStopsThatChannelOnly) {
    const Damage d = GetParam();
    Attach(2);
    OpenLog(0, "release.log");
    const int slot = SlotOf(0, d.block);
    const uint16_t size = zub::BlockSize(d.block);
    unsigned char *raw = zub::SlotRaw(slot);
    ASSERT_NE(raw, nullptr);
    if (d.identity)
        zub::SlotSetIdentity(slot, static_cast<uint16_t>(slot ^ 0x100));
    else
        raw[size + 3] = '!';

    EXPECT_EQ(zubRelease(), 1);
    EXPECT_EQ(ReadFile(Path("release.log")),
              "FreeMemory Error: Chan=0, Index=" + std::to_string(d.block) +
                  ", Code=" + std::to_string(d.code) + "\r\n");

    static const int kOrder[kBlocks] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 0};
    bool reached = false;
    for (int b : kOrder) {
        if (b == d.block) reached = true;
        const int expect = b == d.block ? d.code : reached ? 1 : zub::kSlotNotAllocated;
        EXPECT_EQ(zub::SlotCheck(SlotOf(0, b)), expect) << "block " << b;
        EXPECT_EQ(zub::SlotCheck(SlotOf(1, b)), zub::kSlotNotAllocated) << "channel 1 block " << b;
    }
    EXPECT_EQ(zubGetInteger(0, ZUB_GET_VERSION), ZUB_E_NOT_ATTACHED);

    // Repair and finish the release so that nothing leaks.
    if (d.identity)
        zub::SlotSetIdentity(slot, static_cast<uint16_t>(slot));
    else
        raw[size + 3] = 'z';
    // The release closed the log all the same: no handle stays behind.
    EXPECT_EQ(+zub::ChannelTable[0]->LogFile, 0);
    EXPECT_EQ(zub::TraceFile, 0);
    zub::ReleaseChannelBlocks(0);
    for (int b = 0; b < kBlocks; ++b) EXPECT_EQ(zub::SlotCheck(SlotOf(0, b)), zub::kSlotNotAllocated);
    EXPECT_EQ(zub::ChannelTable[0], nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Damage, FrameBlocksRelease,
    ::testing::Values(Damage{"GuardOfFirstBlock", 1, false, zub::kSlotGuard},
                      Damage{"GuardOfNameBlock", 5, false, zub::kSlotGuard},
                      Damage{"GuardOfLogLine", 12, false, zub::kSlotGuard},
                      // The record goes last: the line must not need the freed LogLine.
                      Damage{"GuardOfRecord", 0, false, zub::kSlotGuard},
                      Damage{"IdentityOfReplyBuf", 3, true, zub::kSlotIdentity}),
    [](const ::testing::TestParamInfo<Damage> &p) { return std::string(p.param.what); });

// ---- full blocks --------------------------------------------------------------------
using FrameRecordBlocks = FrameTest;

TEST_F(FrameRecordBlocks, EveryBlockIsUsableToItsTerminatorBytes) {
    Attach(3);
    for (int c = 0; c < 3; ++c) {
        zub::ChannelRecord *rec = Rec(c);
        ASSERT_NE(rec, nullptr);
        struct {
            char *ptr;
            int block;
        } const blocks[] = {
            {rec->DataBuf, 1},   {rec->CmdBuf, 2},      {rec->ReplyBuf, 3}, {rec->ServerName, 4},
            {rec->UserName, 5},  {rec->Password, 6},    {rec->FileName, 7}, {rec->FileName2, 8},
            {rec->ServerDir, 9}, {rec->LocalDir, 10},   {rec->UserCommand, 11},
            {rec->LogLine, 12},
        };
        EXPECT_EQ(reinterpret_cast<char *>(rec), zub::SlotAddress(SlotOf(c, 0)));
        for (const auto &b : blocks) {
            EXPECT_EQ(b.ptr, zub::SlotAddress(SlotOf(c, b.block))) << "channel " << c << " block " << b.block;
            std::memset(b.ptr, 'x', zub::BlockSize(b.block) + 2u);
        }
        // Block 0 is the record itself: only what lies behind it.
        char *tail = reinterpret_cast<char *>(rec) + sizeof(zub::ChannelRecord);
        std::memset(tail, 'x', zub::BlockSize(0) + 2u - sizeof(zub::ChannelRecord));
    }
    for (int s = 0; s < 3 * kBlocks; ++s) EXPECT_EQ(zub::SlotCheck(s), 1) << "slot " << s;
    EXPECT_EQ(zubRelease(), 1);
    for (int s = 0; s < zub::kSlotCount; ++s) EXPECT_EQ(zub::SlotCheck(s), zub::kSlotNotAllocated) << "slot " << s;
}

TEST(FrameRecord, BlockSizesAndRecordFit) {
    const int kSizes[kBlocks] = {8745, 8192, 4096, 4096, 64, 64, 64, 255, 255, 255, 255, 255, 4096};
    for (int b = 1; b < kBlocks; ++b) EXPECT_EQ(zub::BlockSize(b), kSizes[b]) << "block " << b;
    EXPECT_GE(zub::BlockSize(0), kSizes[0]);
    EXPECT_GE(zub::BlockSize(0), sizeof(zub::ChannelRecord));
    EXPECT_EQ(zub::BlockSize(-1), 0);
    EXPECT_EQ(zub::BlockSize(kBlocks), 0);
}

// ---- data ports ------------------------------------------------------------------
struct PortCase {
    int channels;
    int nibbleShift;
    int nibbleMask;
};

class FrameDataPorts : public FrameTest, public ::testing::WithParamInterface<PortCase> {};

TEST_P(FrameDataPorts, EachChannelOwnsItsOwn128Ports) {
    const PortCase pc = GetParam();
    // 13 steps of four seconds: the tick bits are 13 masked to the field.
    UseFakeClock(13 * 4000 + 1234);
    Attach(pc.channels);
    std::set<int> used;
    for (int c = 0; c < pc.channels; ++c) {
        SCOPED_TRACE(c);
        const zub::ChannelRecord *rec = Rec(c);
        EXPECT_EQ(rec->PortNibble, 13 & pc.nibbleMask);
        const int base = 0x4000 | (rec->PortNibble << pc.nibbleShift) | (c << 7);
        EXPECT_EQ(+rec->DataPortBase, base);
        EXPECT_EQ(+rec->DataPortLimit, base | 0x7F);
        EXPECT_EQ(+rec->DataPort, base);
        EXPECT_GE(+rec->DataPortBase, 16384);
        EXPECT_LE(+rec->DataPortLimit, 32767);
        for (int p = rec->DataPortBase; p <= rec->DataPortLimit; ++p) EXPECT_TRUE(used.insert(p).second) << p;
        EXPECT_EQ(zubGetInteger(c, ZUB_GET_PORT_NIBBLE), rec->PortNibble);
    }
}

INSTANTIATE_TEST_SUITE_P(Counts, FrameDataPorts,
                         ::testing::Values(PortCase{1, 10, 15}, PortCase{8, 10, 15}, PortCase{9, 11, 7},
                                           PortCase{16, 11, 7}, PortCase{17, 12, 3}, PortCase{20, 12, 3},
                                           PortCase{32, 12, 3}),
                         [](const ::testing::TestParamInfo<PortCase> &p) {
                             return "Channels" + std::to_string(p.param.channels);
                         });

TEST_F(FrameRecordBlocks, ChannelThreeOfEightHasItsBitsInPlace) {
    Attach(8);
    const zub::ChannelRecord *rec = Rec(3);
    EXPECT_EQ(rec->DataPortBase & 0x4000, 0x4000);
    EXPECT_EQ(rec->DataPortBase & (7 << 7), 3 << 7);
    EXPECT_EQ((rec->DataPortBase >> 10) & 15, rec->PortNibble);
    EXPECT_EQ(rec->DataPortBase & 0x7F, 0);
}

// ---- ticks ---------------------------------------------------------------------
TEST(FrameTicks, ComparisonsSurviveTheWrap) {
    struct {
        uint32_t a, b;
        bool after, reached;
    } const cases[] = {
        {10, 5, true, true},
        {5, 10, false, false},
        {7, 7, false, true},
        {0x00000010u, 0xFFFFFFF0u, true, true},    // just past the wrap is later
        {0xFFFFFFF0u, 0x00000010u, false, false},  // just before it is earlier
        {0x80000000u, 0x00000001u, true, true},
        {0x00000000u, 0xFFFFFFFFu, true, true},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(zub::TickAfter(c.a, c.b), c.after) << c.a << " vs " << c.b;
        EXPECT_EQ(zub::TickReached(c.a, c.b), c.reached) << c.a << " vs " << c.b;
    }
    EXPECT_EQ(zub::TickAdd(0xFFFFFFF0u, 0x20), 0x10u);
    EXPECT_EQ(zub::TickAdd(0xFFFFFFFFu, 1), 1u);  // 0 would mean "no deadline"
    EXPECT_EQ(zub::TickAdd(0, 0), 1u);
    EXPECT_EQ(zub::TickAdd(100, 50), 150u);
}

// The driver's pacing and deadline checks on a channel whose stamps were
// taken on the other side of the wrap.
using FrameTickWrap = FrameTest;

TEST_F(FrameTickWrap, DriverPacesAndTimesOutAcrossTheWrap) {
    const uint64_t wrap = uint64_t(1) << 32;
    Attach(1);
    ASSERT_EQ(zubSetInteger(0, ZUB_SET_AUTO_CALL, 0), 0);
    zub::ChannelRecord *rec = Rec(0);
    struct {
        const char *what;
        uint64_t clock;
        uint32_t nextTime, timeStop;
        int32_t result;
    } const cases[] = {
        {"pacing ended before the wrap", wrap + 0x10, 0xFFFFFFF0u, 0, 0},
        {"pacing ends after the wrap", wrap - 0x10, 0x10u, 0, ZUB_PACING},
        {"deadline passed before the wrap", wrap + 0x10, 0, 0xFFFFFFF0u, ZUB_E_TIMEOUT},
        {"deadline after the wrap", wrap - 0x10, 0, 0x10u, 0},
    };
    zub::EngineSettings.SleepTime = 0;
    for (const auto &c : cases) {
        UseFakeClock(c.clock);
        rec->NextState = 0;
        rec->NextTime = c.nextTime;
        rec->TimeStop = c.timeStop;
        EXPECT_EQ(zubDriver(0), c.result) << c.what;
    }
}

}  // namespace
