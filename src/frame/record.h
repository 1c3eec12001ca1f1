// record.h - the channel record, its guarded blocks and the library-wide
// state: what every part of the engine shares.
//
// Divisions: receive ring, socket address, channel record, block table,
// library state and channel check, engine settings, tick helpers.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace zub {

enum {
    kMaxChannels = 32,
    kBlocksPerChannel = 13,
    kSlotCount = kBlocksPerChannel * kMaxChannels,  // 416
    kRingSize = 4096,
    kRecordBlockSize = 8745,  // block 0 on a 32-bit build
    kErrorTextSize = 255,
    kLoginFieldSize = 64,  // ServerName, UserName, Password
    kNameFieldSize = 255,  // FileName, FileName2, ServerDir, LocalDir, UserCommand
    kDataBufSize = 8192,   // DataBuf: one block of file data, the largest BlockSize
    kCmdBufSize = 4096,    // CmdBuf
    kReplyBufSize = 4096,  // ReplyBuf: one reply line, or one piece of a listing
    kLogLineSize = 4096,   // LogLine
    kLocalIPTextSize = 18,
};

// The record is laid out byte-packed so that a 32-bit build keeps it within
// its 8745-byte block.
#pragma pack(push, 1)

struct RecvRing {
    char RingData[kRingSize];  // circular storage
    char RingTerm;             // always 0: a NUL behind the storage
    uint16_t RingHead;         // next byte to take
    uint16_t RingTail;         // where the next received byte goes
    int32_t RingSock;          // socket this ring receives from, 0 = none
    int32_t EmptyPolls;        // receive attempts that found nothing
};

struct SockAddr16 {
    uint16_t Family;  // always 2 (AF_INET)
    uint16_t Port;    // network byte order
    uint32_t Addr;    // network byte order
    uint8_t Zero[8];
};

struct ChannelRecord {
    RecvRing CtrlRing;     // control connection
    RecvRing DataRing;     // data connection
    uint32_t LocalAddr;    // local IPv4 address of the control connection
    uint32_t ServerAddr;   // server IPv4 address
    char *ListPtr;         // next write position in the caller's list buffer
    int32_t ListRoom;      // bytes left in the list buffer
    int32_t ListCount;     // bytes stored in the list buffer
    char *ServerName;      // block 4, 64
    char *UserName;        // block 5, 64
    char *Password;        // block 6, 64
    char *FileName;        // block 7, 255
    char *FileName2;       // block 8, 255
    char *CmdBuf;          // block 2, 4096: command line being sent
    char *ReplyBuf;        // block 3, 4096: reply line last read
    char *ReplyText;       // into ReplyBuf, just past the reply code
    char *DataBuf;         // block 1, 8192: file data, local path while opening
    char *ServerDir;       // block 9, 255
    char *LocalDir;        // block 10, 255
    char *UserCommand;     // block 11, 255
    char *LogLine;         // block 12, 4096: log line formatting
    int32_t GetBytes;      // bytes written by the current download
    int32_t GetTotal;      // bytes written by all downloads
    int32_t PutBytes;      // bytes sent by the current upload
    int32_t PutTotal;      // bytes sent by all uploads
    uint32_t NextTime;     // the driver does nothing before this tick; 0 = none
    uint32_t TimeStop;     // deadline of the current wait; 0 = none
    int32_t StepCount;     // driver steps that ran a state
    int32_t ChanIndex;     // this channel's number
    int32_t ServerCode;    // code of the last reply line with a code
    int32_t LocalFile;     // open local file, 0 = none
    int32_t PrevState;     // state run by the previous call
    int32_t ThisState;     // state being run, -1 between calls
    int32_t NextState;     // state the next call runs, 0 = idle
    int32_t ReturnState;   // where to go once the data connection is up
    int32_t SockCode;      // socket error of the last failure
    int32_t LogFile;       // channel log, 0 = off
    int32_t CtrlSock;      // sockets, 0 = none
    int32_t DataSock;
    int32_t ListenSock;
    SockAddr16 ServerSockAddr;
    SockAddr16 ListenSockAddr;
    SockAddr16 DataSockAddr;
    uint16_t DataPort;       // data port last used
    uint16_t DataPortBase;   // first of this channel's 128 active-mode ports
    uint16_t DataPortLimit;  // last of them
    const void *HostEntry;   // last name-resolution result (platform-owned)
    char LocalIPText[kLocalIPTextSize];  // dotted local address
    int32_t StopCode;        // result when TimeStop passes; 0 = -22
    uint32_t NonBlockArg;    // argument word of the non-blocking switch
    uint16_t ServerPort;     // control port
    uint32_t AutoCall;       // operations run the driver themselves
    int32_t ListKind;        // listing command selector
    int32_t WaitWritable;    // driver waits for a writable control socket
    uint32_t BinaryMode;     // nonzero = image type
    uint32_t PassiveMode;    // nonzero = PASV data connections
    uint32_t ResumeFlag;     // next transfer restarts / appends
    uint32_t RestartOffset;  // argument of REST
    uint32_t AppendOffset;   // local file position at the next open
    uint32_t NonBlockConnect;  // control connect is non-blocking
    char ErrorText[kErrorTextSize];  // error reply lines of the last reply
    uint8_t PortNibble;      // tick bits used in DataPortBase
    uint8_t ListOverflow;    // a listing did not fit
};

#pragma pack(pop)

static_assert(sizeof(void *) != 4 || sizeof(ChannelRecord) <= kRecordBlockSize,
              "a 32-bit channel record must fit in its 8745-byte block");

// ---- block table -----------------------------------------------------------
enum {
    kSlotBadNumber = -100,
    kSlotNoMemory = -102,
    kSlotInUse = -103,
    kSlotNotAllocated = -104,
    kSlotIdentity = -105,
    kSlotGuard = -106,
};

// Size of each block of a channel, by block index.
uint16_t BlockSize(int block);
int SlotAllocate(int slot, uint16_t size);  // slot number, or a slot code
char *SlotAddress(int slot);                // usable area, or null
int SlotCheck(int slot);                    // 1, or a slot code
int SlotFree(int slot);                     // 1, or a slot code
void ResetBlockTable();
// Allocates block `block` of channel `chan`; logs and returns null on failure.
char *AllocBlock(int chan, int block, uint16_t size);
// Test access to a slot's raw memory (leading guard at [0]).
unsigned char *SlotRaw(int slot);
// Test access: overwrites a slot's stored identity (to damage or repair it).
void SlotSetIdentity(int slot, uint16_t identity);

// ---- library state -------------------------------------------------------
// Read by calls on any thread; written by attach and release only, which
// never run while a call holds a record (see ChannelCall).
extern std::atomic<uint16_t> ChannelCount;
extern ChannelRecord *ChannelTable[kMaxChannels];
// The raw trace: the handle of the last channel log opened, 0 = off. Only
// log.cpp writes it, under the trace lock.
extern std::atomic<int32_t> TraceFile;
extern char StackDescription[257];

// Every export that uses a channel record holds one of these for as long as
// it runs. It counts the call before it checks the channel, and zubRelease
// raises its flag before it reads the count (both sequentially consistent):
// either release sees the call and refuses with -33, or the call sees the
// flag and is refused with -15. So no record is freed under a running call.
class ChannelCall {
public:
    explicit ChannelCall(int32_t channel);
    ~ChannelCall();
    ChannelCall(const ChannelCall &) = delete;
    ChannelCall &operator=(const ChannelCall &) = delete;

    int32_t Refused() const { return refused_; }  // 0, or -15 / -8
    ChannelRecord *Rec() const { return rec_; }   // null when refused

private:
    ChannelRecord *rec_ = nullptr;
    int32_t refused_ = 0;
};

int32_t CreateRecord(int chan, uint16_t count);  // 1 or -5
// Attach and release, the work of zubAttach and zubRelease. The layers
// above keep state of their own for each channel beside its record: attach
// has startChannel start it for each channel as its record is created,
// release has endChannel end it for each channel before its sockets close.
typedef void (*ChannelHook)(int chan);
int32_t AttachChannels(int32_t channels, ChannelHook startChannel);
int32_t ReleaseChannels(ChannelHook endChannel);
void ReleaseChannelBlocks(int chan);

// ---- engine settings -------------------------------------------------------
struct Settings {
    uint32_t ConnectWait;    // 1
    uint32_t ResponseDelay;  // 2
    uint32_t ResponseWait;   // 3
    uint32_t BlockDelay;     // 4
    uint32_t BlockWait;      // 5
    uint32_t SleepTime;      // 8
    uint32_t EndDelay;       // 10
    uint32_t BlockSize;      // 11
    uint32_t DataWait;       // 13
    uint32_t HostIndex;      // 14
    uint8_t NameSeparator;   // 17
    uint32_t ReplyLineWait;  // 22
    // Beyond the original set, for the fixed costs of small transfers; the
    // defaults keep the original pauses.
    uint32_t LingerLimit;  // 24: longest pause of a socket close
    uint32_t PassDelay;    // 25: pacing after PASS
    uint32_t PassSleep;    // 26: added to SleepTime before the PASS reply
};
extern Settings EngineSettings;

extern const char kVersionMarker[];
int VersionNumber();  // 0x0230
int BuildNumber();    // 8

// Byte counters are 32 bits wide and wrap past 4 GiB, with unsigned
// (defined) arithmetic rather than a signed overflow.
inline int32_t WrapAdd(int32_t counter, int32_t n) {
    return static_cast<int32_t>(static_cast<uint32_t>(counter) + static_cast<uint32_t>(n));
}

// ---- ticks -------------------------------------------------------------------
// Deadlines are absolute 32-bit ticks compared by signed difference, so they
// survive the wrap every 2^32 ms. A deadline of 0 means "none", so a
// computed deadline never takes that value.
inline uint32_t TickAdd(uint32_t now, uint32_t wait) {
    uint32_t t = now + wait;
    return t == 0 ? 1 : t;
}
// a is later than b
inline bool TickAfter(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b) > 0; }
// a is at or past b
inline bool TickReached(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b) >= 0; }

}  // namespace zub
