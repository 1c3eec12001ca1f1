// driver.h - what the state groups share: the error exit, the command and
// reply patterns, the data-socket and local-file helpers.
#pragma once

#include <cstdint>

#include "engine/reply.h"
#include "engine/states.h"
#include "frame/record.h"

namespace zub {

// The single error exit: logs one ERROR line, makes the channel idle,
// records the socket code, closes the local file. Returns sockCode when it
// is negative, else code.
int32_t FailStep(ChannelRecord *rec, int32_t sockCode, int32_t code);
// Runs one state of the channel (zubDriver without the call frame): the
// driver's result.
int32_t DriverStep(ChannelRecord *rec);
// "sss.mmm" of the low 19 bits of a tick, in a buffer of the caller's own.
struct TickText {
    char text[16];
};
TickText TickStamp(uint32_t tick);

// Arms the step pacing and the deadline: the next state runs from
// now + delay on and fails at now + wait.
void ArmWait(ChannelRecord *rec, uint32_t now, uint32_t delay, uint32_t wait);
// Enters the data connection (PASV or PORT by the channel's mode); the
// state returnState follows once it is up. Returns kStepDone.
int32_t ToDataConnection(ChannelRecord *rec, int32_t returnState);

// Command pattern: CmdBuf is already formatted. Empties ReplyBuf, sends,
// arms NextTime/TimeStop and moves to successor; a send failure e gives
// FailStep(e, failCode).
int32_t SendCommand(ChannelRecord *rec, uint32_t now, int32_t failCode, int32_t successor);
// Reads a whole reply: kStepDone, or FailStep's result for an error reply,
// a failed read, or a connection closed before any reply.
int32_t TakeReply(ChannelRecord *rec);
// The same for a reply ReadReply has already read into r.
int32_t TakeReadReply(ChannelRecord *rec, int32_t r);
// Whether a reply has begun to arrive on the control connection: 1, 0 not
// yet, or FailStep's result when the connection failed or closed first (a
// reset keeps its own code).
int32_t ReplyBegun(ChannelRecord *rec);
// The control connection can no longer take a command: FailStep with the
// connection's own error (a reset, say) when a receive reports one, else -1.
int32_t ControlLost(ChannelRecord *rec);
// A preliminary (1xx) reply: it announces the answer, it is not the answer.
bool IsPreliminary(const ChannelRecord *rec);
// Reply pattern: when a reply is there, reads it; failure r gives
// FailStep(0, r); success sets NextState = successor and returns
// kStepDone. *got tells whether a reply was read. Unless takePreliminary is
// set (the preliminary reply of a transfer), a 1xx reply is not the one
// awaited: the state stays, and reads the next reply within the same
// deadline.
int32_t ReplyState(ChannelRecord *rec, int32_t successor, bool *got = nullptr, bool takePreliminary = false);

// The bulk data path of binary transfers (bulk.cpp), while ZUB_SET_BULK is
// on. What one step moved: Moved bytes to the file or the socket; End 0
// while more may come, 1 at the end of the data (the server closed, or the
// end of the file), < 0 a failed receive or send; FileFailed when the local
// file could not be written or read (the bytes before it are in Moved).
struct BulkMove {
    int32_t Moved = 0;
    int32_t End = 0;
    bool FileFailed = false;
};
// The setting: 1 / 0, ZUB_E_NO_MEMORY when its buffer or pipe cannot be
// had, ZUB_E_BUSY while an operation runs on the channel.
int32_t SetBulk(ChannelRecord *rec, uint32_t value);
void EndBulk(int chan);                     // release: everything given back
bool BulkFor(const ChannelRecord *rec);     // this channel's transfers take the bulk path
BulkMove BulkReceive(ChannelRecord *rec);   // socket to file, never waiting
void BulkUploadBegins(const ChannelRecord *rec);
BulkMove BulkSend(ChannelRecord *rec);      // file to socket, never waiting
// Between two steps of a call that runs to its end: when the last bulk
// step found nothing to move, waits (briefly, never past the deadline)
// for the data connection instead of spinning.
void BulkIdleWait(ChannelRecord *rec);

// Each channel's FTP session beside its record (ftp_channel.cpp).
struct FtpChannel {
    uint32_t Epsv;                    // EPSV before PASV
    bool EpsvRefused;                 // the server refused EPSV once: PASV from then on
    uint32_t Mlsd;                    // listing kinds ZUB_MLSD/ZUB_MLSD_ARG send MLSD
    bool MlsdRefused;                 // this session's server refused MLSD: LIST from then on
    bool MlsdSent;                    // the last listing command was MLSD
    bool Protected;                   // PROT P is in force: data connections use TLS
    char PwdDir[kNameFieldSize + 1];  // the directory of the last PWD reply
};
FtpChannel &FtpOf(const ChannelRecord *rec);
// Attach: EPSV and MLSD off and not refused, nothing protected.
void ResetFtpChannel(int chan);
// A session begins or ends: no protection, nothing verified, no TLS
// version, until this session's own handshake and PROT P say otherwise.
void ClearSession(const ChannelRecord *rec);
// The directory named by the channel's last PWD reply ("" before one in
// this session), stepped or not.
const char *LastPwdDir(const ChannelRecord *rec);
void ForgetPwdDir(const ChannelRecord *rec);

// A listing sent MLSD and the server answered r refusing it as unknown:
// the listing starts again with LIST (new data connection) and true is
// returned; false for any other answer, which the caller handles.
bool MlsdFallsBack(ChannelRecord *rec, int32_t r);

// The close sequence (QUIT and its reply) has ended, well or not: closes
// the data sockets and local file, the control socket and the log.
void EndSession(ChannelRecord *rec);
void CloseDataSockets(ChannelRecord *rec, uint32_t lingerMs);
void DropStaleSockets(ChannelRecord *rec);  // closes leftover data sockets, not the file
// The server closed the data connection of a download or listing.
void DataReachedItsEnd(ChannelRecord *rec);
int32_t OpenLocalFile(ChannelRecord *rec, const char *name, char mode);
void CloseLocalFile(ChannelRecord *rec);

// Encrypted sessions (secure.cpp). The state after the greeting (AUTH TLS
// or USER) and after the login (PBSZ or idle).
bool SessionSecured(const ChannelRecord *rec);
int32_t AfterGreeting(const ChannelRecord *rec);
int32_t AfterLogin(const ChannelRecord *rec);
// Starts the control connection's handshake; kStepDone or FailStep's result.
int32_t StartControlTls(ChannelRecord *rec, uint32_t now);
// Goes on with `next` once the data connection is protected: directly when
// PROT P is not in force, else after its handshake. kStepDone or FailStep's.
int32_t ProtectData(ChannelRecord *rec, int32_t next);

}  // namespace zub
