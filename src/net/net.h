// net.h - socket layer, receive rings and their lines, and the address
// helpers, over the platform layer.
//
// Divisions: sockets, rings, lines, addresses.
#pragma once

#include <cstdint>

#include "frame/record.h"

namespace zub {

// ---- sockets -------------------------------------------------------------
int32_t CreateSocket();                          // handle, or -10
int32_t CreateSocketOf(int family);              // of family 4 or 6: handle, or -10
// A connect's result r (0 or -1): 1 made or under way, else minus the error.
int32_t ConnectResult(int r);
// The three answers of one zero-timeout poll, bit (1 << mode) for each
// mode of PollSocket that holds.
int PollAnswers(int32_t sock);
// mode is a ZpPollMode: nonzero / 0; -4 for any other mode.
int32_t PollSocket(int32_t sock, int mode);
// PollAnswers of `first`, from one poll that asks about `second` too: the
// next wait on `second` in this thread (AwaitReadable, AwaitWritable,
// SendAll) takes its first answers from that poll. ForgetAnsweredAhead
// drops them when no such wait came.
int PollTwoAnswers(int32_t first, int32_t second);
void ForgetAnsweredAhead();
// Yields the processor between two steps: at most one system call per
// millisecond tick of the calling thread.
void YieldProcessor();
int32_t AwaitReadable(int32_t sock, uint32_t waitMs);  // 1 / 0
int32_t AwaitWritable(int32_t sock, uint32_t waitMs);  // 1 / 0
int32_t SendAll(int32_t sock, const char *bytes, int32_t count);
int32_t CloseSocket(int32_t sock, uint32_t lingerMs);  // only the low 16 bits count
int32_t ConnectControl(ChannelRecord *rec);
// The data sockets. A socket that cannot be created leaves DataSock (and
// the data ring) or ListenSock at 0 and returns CreateSocket's code; the
// calling state takes the error exit.
int32_t ConnectData(ChannelRecord *rec);
int32_t ListenData(ChannelRecord *rec);
// Minus the platform's last error number; -1 if the platform left none.
int32_t NegatedLastError();

// ---- rings -----------------------------------------------------------------
int32_t RingHeld(const RecvRing *ring);  // bytes held
// Gives the ring a new socket, empty: nothing an earlier connection left in
// it is read as the new one's.
void RingAttach(RecvRing *ring, int32_t sock);
int32_t RingFill(RecvRing *ring);
// A further fill that does not ask first: only what the socket already
// holds. 0 when nothing is there now or the peer has closed (the next
// RingFill reports the close); a failed receive's code.
int32_t RingFillMore(RecvRing *ring);
int32_t RingWait(RecvRing *ring, uint32_t waitMs);
int32_t RingRead(RecvRing *ring, char *dest, int32_t count);
int32_t RingPeek(RecvRing *ring, char *dest, int32_t count);

// ---- lines ------------------------------------------------------------------
int32_t ReadLinePiece(RecvRing *ring, char *dest, int32_t room);
// A line of the control connection; waits at most waitMs per piece and,
// when stop is not 0, never past the tick stop.
int32_t ReadLine(ChannelRecord *rec, char *buf, int32_t size, uint32_t waitMs, uint32_t stop = 0);
// Throws away what the control connection holds now: stale replies are
// not read as the answer to the next command.
void DrainReplies(ChannelRecord *rec);

// ---- addresses ---------------------------------------------------------------
// What HostEntry points at after ResolveServer: the server's IPv4 addresses
// in the resolver's order, host byte order. One per channel, overwritten by
// that channel's next resolve.
struct HostList {
    int32_t Count;
    uint32_t Addr[8];  // HostIndex picks one of these
};
int32_t ResolveServer(ChannelRecord *rec);
int32_t GetLocalHostName(char *buf, int32_t size);
// Fills LocalAddr and LocalIPText from the control socket: 1, or the code.
int32_t QueryLocalAddress(ChannelRecord *rec);
// Family 2, port and address (given in host order) in network byte order.
void FillSockAddr(SockAddr16 *sa, uint32_t addr, uint16_t port);

}  // namespace zub
