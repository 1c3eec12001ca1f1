// library.cpp - library lifecycle: attach, release, the channel table, and
// the calls in progress that a release must not free records under. The
// exports that call attach and release are in api/library_api.cpp.
//
// Divisions: library state and calls in progress, record creation, channel
// handles, attach and release.
#include <cstring>

#include "frame/log.h"
#include "frame/record.h"
#include "frame/text.h"
#include "platform/platform.h"
#include "zub32.h"

namespace zub {

std::atomic<uint16_t> ChannelCount{0};
ChannelRecord *ChannelTable[kMaxChannels];
std::atomic<int32_t> TraceFile{0};
char StackDescription[257];

namespace {

// Exports running with a channel record in hand.
std::atomic<int32_t> gCallsInProgress{0};
// Raised while attach or release changes the channel table: calls that
// start meanwhile are refused, and a second attach or release is turned
// away instead of running alongside.
std::atomic<bool> gTableChanging{false};

int32_t CheckChannel(int32_t channel, ChannelRecord **rec) {
    const uint16_t count = ChannelCount.load();
    if (count == 0) return ZUB_E_NOT_ATTACHED;
    uint16_t chan = static_cast<uint16_t>(channel & 0xFFFF);
    if (chan >= count || !ChannelTable[chan]) return ZUB_E_CHANNEL_RANGE;
    *rec = ChannelTable[chan];
    return 0;
}

}  // namespace

ChannelCall::ChannelCall(int32_t channel) {
    gCallsInProgress.fetch_add(1);
    refused_ = gTableChanging.load() ? ZUB_E_NOT_ATTACHED : CheckChannel(channel, &rec_);
}

ChannelCall::~ChannelCall() { gCallsInProgress.fetch_sub(1); }

namespace {

// Gives channel c its own 128 ports in 16384..32767, shifted by the start
// time in steps of four seconds so that a restarted application does not
// reuse the ports of its previous run at once.
void AssignDataPorts(ChannelRecord *rec, int c, uint16_t count) {
    uint32_t t = zp_ticks() / 4000;
    uint32_t base;
    uint8_t nibble;
    if (count <= 8) {
        nibble = t & 15;
        base = 0x4000 | (nibble << 10) | (c << 7);
    } else if (count <= 16) {
        nibble = t & 7;
        base = 0x4000 | (nibble << 11) | (c << 7);
    } else {
        nibble = t & 3;
        base = 0x4000 | (nibble << 12) | (c << 7);
    }
    rec->PortNibble = nibble;
    rec->DataPortBase = static_cast<uint16_t>(base);
    rec->DataPortLimit = static_cast<uint16_t>(base | 0x7F);
    rec->DataPort = static_cast<uint16_t>(base);
}

}  // namespace

int32_t CreateRecord(int c, uint16_t count) {
    char *mem = AllocBlock(c, 0, BlockSize(0));
    if (!mem) return ZUB_E_NO_MEMORY;
    ChannelRecord *rec = reinterpret_cast<ChannelRecord *>(mem);
    ChannelTable[c] = rec;
    rec->ServerPort = 21;
    rec->ChanIndex = c;
    rec->PrevState = -2;
    rec->ThisState = -1;
    rec->WaitWritable = 0;
    rec->AutoCall = 1;

    // The record sits one byte into its block, so its pointer fields are
    // unaligned: they are only ever assigned by name, never through a char**.
    static const int kBlocks[] = {1, 4, 5, 6, 2, 3, 7, 8, 9, 10, 11, 12};
    char *block[kBlocksPerChannel] = {};
    for (int b : kBlocks) {
        block[b] = AllocBlock(c, b, BlockSize(b));
        if (!block[b]) return ZUB_E_NO_MEMORY;
    }
    rec->DataBuf = block[1];
    rec->CmdBuf = block[2];
    rec->ReplyBuf = block[3];
    rec->ServerName = block[4];
    rec->UserName = block[5];
    rec->Password = block[6];
    rec->FileName = block[7];
    rec->FileName2 = block[8];
    rec->ServerDir = block[9];
    rec->LocalDir = block[10];
    rec->UserCommand = block[11];
    rec->LogLine = block[12];
    rec->ReplyText = rec->ReplyBuf;
    rec->PassiveMode = 0;
    rec->NonBlockConnect = 0;
    AssignDataPorts(rec, c, count);
    rec->CtrlRing.RingSock = 0;
    rec->DataRing.RingSock = 0;
    if (zp_current_dir(rec->LocalDir, kNameFieldSize) > kNameFieldSize - 1) rec->LocalDir[kNameFieldSize - 1] = 0;
    return 1;
}

namespace {

void ReleaseAllChannels() {
    for (int c = 0; c < kMaxChannels; ++c) {
        ReleaseChannelBlocks(c);
        ChannelTable[c] = nullptr;
    }
}

void CloseSocketNow(int32_t sock) {
    if (sock > 0) zp_close_socket(sock);
}

// What a channel holds besides its memory, taken from the record itself:
// the POSIX bookkeeping does not see descriptors from 4096 up, and
// WSACleanup closes nothing while the host process keeps a WinSock
// reference of its own. The log stays open for the block check's report.
void CloseChannelHandles(ChannelRecord *rec, ChannelHook endChannel) {
    endChannel(rec->ChanIndex);
    if (rec->LocalFile > 0) zp_file_close(rec->LocalFile);
    rec->LocalFile = 0;
    CloseSocketNow(rec->CtrlSock);
    CloseSocketNow(rec->DataSock);
    CloseSocketNow(rec->ListenSock);
    rec->CtrlSock = rec->DataSock = rec->ListenSock = 0;
    rec->CtrlRing.RingSock = rec->DataRing.RingSock = 0;
}

// Frees channel c and then closes its log, whose handle is read first: a
// release that frees the record leaves nothing to read it from.
void ReleaseChannel(int c) {
    ChannelRecord *rec = ChannelTable[c];
    const int32_t log = rec ? rec->LogFile : 0;
    ReleaseChannelBlocks(c);
    if (ChannelTable[c]) ChannelTable[c]->LogFile = 0;  // kept behind a damaged block
    CloseLogHandle(log, false);
}

}  // namespace

int32_t AttachChannels(int32_t channels, ChannelHook startChannel) {
    if (ChannelCount.load() != 0) return ZUB_E_ALREADY_ATTACHED;
    uint16_t count = static_cast<uint16_t>(channels & 0xFFFF);
    if (count > kMaxChannels) return ZUB_E_CHANNEL_RANGE;
    if (gTableChanging.exchange(true)) return ZUB_E_ALREADY_ATTACHED;  // another attach or release
    if (ChannelCount.load() != 0) {
        gTableChanging.store(false);
        return ZUB_E_ALREADY_ATTACHED;
    }
    zp_lock_create();
    zp_lock_enter();
    int e = zp_net_startup(StackDescription, sizeof StackDescription);
    if (e != 0) {
        zp_lock_leave();
        gTableChanging.store(false);
        return -e;
    }
    ResetBlockTable();
    for (int c = 0; c < kMaxChannels; ++c) ChannelTable[c] = nullptr;
    for (int c = 0; c < count; ++c) {
        startChannel(c);
        if (CreateRecord(c, count) != 1) {
            // No half-attached library: give back everything built so far.
            ReleaseAllChannels();
            zp_net_cleanup();
            zp_lock_leave();
            zp_lock_delete();
            gTableChanging.store(false);
            return ZUB_E_NO_MEMORY;
        }
    }
    // Published last: a call that sees the count sees the records.
    ChannelCount.store(count);
    zp_lock_leave();
    gTableChanging.store(false);
    return 1;
}

int32_t ReleaseChannels(ChannelHook endChannel) {
    if (ChannelCount.load() == 0) return 1;
    if (gTableChanging.exchange(true)) return ZUB_E_BUSY;
    if (gCallsInProgress.load() != 0) {
        gTableChanging.store(false);
        return ZUB_E_BUSY;
    }
    const uint16_t count = ChannelCount.load();
    if (count == 0) {  // a release that ran just before this one
        gTableChanging.store(false);
        return 1;
    }
    zp_lock_enter();
    for (int c = 0; c < count; ++c)
        if (ChannelTable[c]) CloseChannelHandles(ChannelTable[c], endChannel);
    zp_net_cleanup();
    for (int c = 0; c < count; ++c) ReleaseChannel(c);
    ChannelCount.store(0);
    zp_lock_leave();
    zp_lock_delete();
    gTableChanging.store(false);
    return 1;
}

}  // namespace zub
