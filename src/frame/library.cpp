// library.cpp - library lifecycle: attach, release, the channel table and the
// common channel check.
//
// Divisions: library state, record creation, attach and release.
#include <cstring>

#include "frame/log.h"
#include "frame/record.h"
#include "net/text.h"
#include "platform/platform.h"
#include "zub32.h"

namespace zub {

uint16_t ChannelCount = 0;
ChannelRecord *ChannelTable[kMaxChannels];
int32_t TraceFile = 0;
char StackDescription[257];

int32_t CheckChannel(int32_t channel, ChannelRecord **rec) {
    if (ChannelCount == 0) return ZUB_E_NOT_ATTACHED;
    uint16_t chan = static_cast<uint16_t>(channel & 0xFFFF);
    if (chan >= ChannelCount || !ChannelTable[chan]) return ZUB_E_CHANNEL_RANGE;
    *rec = ChannelTable[chan];
    return 0;
}

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

int32_t CreateRecord(int c) {
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
    AssignDataPorts(rec, c, ChannelCount);
    rec->CtrlRing.RingSock = 0;
    rec->DataRing.RingSock = 0;
    if (zp_current_dir(rec->LocalDir, 255) > 254) rec->LocalDir[254] = 0;
    return 1;
}

namespace {

void ReleaseAllChannels() {
    for (int c = 0; c < kMaxChannels; ++c) {
        ReleaseChannelBlocks(c);
        ChannelTable[c] = nullptr;
    }
}

}  // namespace

}  // namespace zub

using namespace zub;

extern "C" ZUB_EXPORT int32_t ZUB_CALL zubAttach(int32_t channels, int32_t /*reserved*/) {
    if (ChannelCount != 0) return ZUB_E_ALREADY_ATTACHED;
    uint16_t count = static_cast<uint16_t>(channels & 0xFFFF);
    if (count > kMaxChannels) return ZUB_E_CHANNEL_RANGE;
    zp_lock_create();
    zp_lock_enter();
    int e = zp_net_startup(StackDescription, sizeof StackDescription);
    if (e != 0) {
        zp_lock_leave();
        return -e;
    }
    ResetBlockTable();
    for (int c = 0; c < kMaxChannels; ++c) ChannelTable[c] = nullptr;
    ChannelCount = count;
    for (int c = 0; c < count; ++c) {
        if (CreateRecord(c) != 1) {
            // No half-attached library: give back everything built so far.
            ReleaseAllChannels();
            ChannelCount = 0;
            zp_net_cleanup();
            zp_lock_leave();
            zp_lock_delete();
            return ZUB_E_NO_MEMORY;
        }
    }
    zp_lock_leave();
    return 1;
}

extern "C" ZUB_EXPORT int32_t ZUB_CALL zubRelease(void) {
    if (ChannelCount == 0) return 1;
    zp_lock_enter();
    zp_net_cleanup();
    for (int c = 0; c < ChannelCount; ++c) ReleaseChannelBlocks(c);
    ChannelCount = 0;
    zp_lock_leave();
    zp_lock_delete();
    return 1;
}
