// family.h - each channel's addresses of either family (setting 35),
// kept beside its record: the resolved list, the control connection's two
// ends, and the data connections of an IPv6 session. With the setting at
// 0 (IPv4 only) none of this is used: the record's own IPv4 fields are.
#pragma once

#include <cstdint>

#include "frame/record.h"
#include "net/address6.h"
#include "platform/platform.h"

namespace zub {

enum AddressFamilySetting : uint32_t { kFamilyIPv4 = 0, kFamilyAny = 1, kFamilyIPv6 = 2 };
constexpr int kMaxAddresses = 8;

struct FamilyChannel {
    uint32_t Family;                   // setting 35
    zp_addr List[kMaxAddresses];       // the last resolve, in the resolver's order
    int32_t Count;                     // addresses in List
    int32_t Next;                      // the next one a connect tries
    int32_t LastError;                 // the last failed attempt's code
    uint32_t AttemptEnd;               // tick the attempt under way is given up
    bool V6;                           // the control connection is IPv6
    zp_addr Peer;                      // the control connection's server (family 0: none)
    zp_addr Local;                     // and its local end
};
FamilyChannel &FamilyOf(const ChannelRecord *rec);
void ResetFamilyChannel(int chan);
// A session begins or ends: no peer, no local address.
void ForgetAddresses(const ChannelRecord *rec);
// Library setting 36: how long one address of a connect under "any" or
// "IPv6 only" is given before the next is tried (milliseconds).
extern uint32_t gAddressWait;

// The server name (an address literal, bracketed or not, or a name for
// the resolver) into the channel's list, the family setting's addresses
// only; HostIndex names the first to try. 1, -6 (a literal of the wrong
// family, or fewer addresses than HostIndex + 1), or minus the resolver's
// error (11001 unknown, 11004 none of that family).
int32_t ResolveAddresses(ChannelRecord *rec);
// Starts a non-blocking connect of CtrlSock (made here, of the address's
// family) to a: 1 under way or made, or minus the error.
int32_t ConnectControlTo(ChannelRecord *rec, const zp_addr *a);
// After the control connection is up: Peer and Local, the record's IPv4
// fields for an IPv4 session (LocalAddr, LocalIPText, logged as today),
// 0 and "0.0.0.0" for an IPv6 one. 1, or -6.
int32_t QueryLocalAddresses(ChannelRecord *rec);
// An IPv6 session's data sockets, as ConnectData and ListenData.
int32_t ConnectData6(ChannelRecord *rec);
int32_t ListenData6(ChannelRecord *rec);
// Whether a and b are the same address (family, bytes, scope; not port).
bool SameAddress(const zp_addr *a, const zp_addr *b);

}  // namespace zub
