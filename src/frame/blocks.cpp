// blocks.cpp - the table of guarded memory blocks behind every channel.
//
// Each block is n + 5 zero-filled bytes: a leading guard 'U', the n usable
// bytes, two spare zero bytes for terminators, a trailing guard 'z' and one
// spare byte. A damaged guard is found when the block is checked at release.
//
// Divisions: slot table, slot operations, channel allocation.
#include <cstring>

#include "frame/record.h"
#include "platform/platform.h"

namespace zub {

namespace {

struct Slot {
    void *Memory;       // what the allocator returned; null = free
    unsigned char *Raw; // the block's first byte (the leading guard)
    uint32_t Size;      // requested size + 2
    uint16_t Identity;  // the slot's own number, to catch a damaged table
};

Slot gSlots[kSlotCount];

constexpr unsigned char kLeadGuard = 'U';
constexpr unsigned char kTrailGuard = 'z';

// Checks the slot number and its identity; 0 when usable.
int SlotValid(int slot) {
    if (slot < 0 || slot >= kSlotCount) return kSlotBadNumber;
    if (gSlots[slot].Identity != slot) return kSlotIdentity;
    return 0;
}

// Formats in a buffer of its own, not in the channel's LogLine: when the
// record's block is checked at release, LogLine has already been freed.
void LogBlockError(const ChannelRecord *rec, const char *what, int chan, int block, int code) {
    if (!rec || rec->LogFile == 0) return;
    char line[ZP_FORMAT_MAX];
    int n = zp_format(line, "%s: Chan=%d, Index=%d, Code=%d\r\n", what, chan, block, code);
    zp_file_write(rec->LogFile, line, static_cast<uint32_t>(n));
}

}  // namespace

uint16_t BlockSize(int block) {
    static const uint16_t kSizes[kBlocksPerChannel] = {
        sizeof(ChannelRecord) > kRecordBlockSize ? static_cast<uint16_t>(sizeof(ChannelRecord))
                                                 : static_cast<uint16_t>(kRecordBlockSize),
        kDataBufSize,    kCmdBufSize,    kReplyBufSize,  kLoginFieldSize, kLoginFieldSize,
        kLoginFieldSize, kNameFieldSize, kNameFieldSize, kNameFieldSize, kNameFieldSize,
        kNameFieldSize,  kLogLineSize};
    return block >= 0 && block < kBlocksPerChannel ? kSizes[block] : 0;
}

void ResetBlockTable() {
    for (int i = 0; i < kSlotCount; ++i) {
        gSlots[i].Memory = nullptr;
        gSlots[i].Raw = nullptr;
        gSlots[i].Size = 0;
        gSlots[i].Identity = static_cast<uint16_t>(i);
    }
}

int SlotAllocate(int slot, uint16_t size) {
    if (int bad = SlotValid(slot)) return bad;
    Slot &s = gSlots[slot];
    if (s.Memory) return kSlotInUse;
    unsigned char *raw = static_cast<unsigned char *>(zp_alloc_zero(size + 5u));
    if (!raw) return kSlotNoMemory;
    raw[0] = kLeadGuard;
    raw[size + 3u] = kTrailGuard;
    s.Memory = raw;
    s.Raw = raw;
    s.Size = size + 2u;
    return slot;
}

char *SlotAddress(int slot) {
    if (SlotValid(slot) || !gSlots[slot].Memory) return nullptr;
    return reinterpret_cast<char *>(gSlots[slot].Raw + 1);
}

unsigned char *SlotRaw(int slot) { return SlotValid(slot) ? nullptr : gSlots[slot].Raw; }

void SlotSetIdentity(int slot, uint16_t identity) {
    if (slot >= 0 && slot < kSlotCount) gSlots[slot].Identity = identity;
}

int SlotCheck(int slot) {
    if (int bad = SlotValid(slot)) return bad;
    const Slot &s = gSlots[slot];
    if (!s.Memory || !s.Raw || s.Size == 0) return kSlotNotAllocated;
    return s.Raw[0] == kLeadGuard && s.Raw[s.Size + 1] == kTrailGuard ? 1 : kSlotGuard;
}

int SlotFree(int slot) {
    if (int bad = SlotValid(slot)) return bad;
    Slot &s = gSlots[slot];
    if (!s.Memory) return kSlotNotAllocated;
    void *mem = s.Memory;
    s.Memory = nullptr;
    s.Raw = nullptr;
    s.Size = 0;
    zp_free(mem);
    return 1;
}

char *AllocBlock(int chan, int block, uint16_t size) {
    int r = SlotAllocate(block + kBlocksPerChannel * chan, size);
    if (r >= 0) return SlotAddress(r);
    LogBlockError(chan >= 0 && chan < kMaxChannels ? ChannelTable[chan] : nullptr, "AllocateMemory Error", chan,
                  block, r);
    return nullptr;
}

// Frees blocks 1..12 and then the record; a damaged block stops the release
// of the channel's range, so nothing is freed behind a corrupted block.
void ReleaseChannelBlocks(int chan) {
    static const int kOrder[kBlocksPerChannel] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 0};
    ChannelRecord *rec = ChannelTable[chan];
    for (int block : kOrder) {
        int slot = block + kBlocksPerChannel * chan;
        int r = SlotCheck(slot);
        if (r == kSlotNotAllocated) continue;
        if (r != 1) {
            LogBlockError(rec, "FreeMemory Error", chan, block, r);
            return;
        }
        if (block == 0) ChannelTable[chan] = nullptr;
        SlotFree(slot);
    }
}

}  // namespace zub
