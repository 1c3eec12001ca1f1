// family.cpp - addresses of either family (setting 35): resolving a name
// or literal into a list, connecting the control socket to one of them,
// and the local and data sockets of an IPv6 session. The record's IPv4
// fields keep their meaning; what an IPv6 session needs lives here.
//
// Divisions: the channels' tables, resolving, connecting, data sockets.
#include "net/family.h"

#include <cstring>

#include "frame/log.h"
#include "frame/settings.h"
#include "net/net.h"
#include "net/text.h"
#include "zub32.h"

namespace zub {

// ---- the channels' tables -----------------------------------------------------
namespace {
FamilyChannel gChannels[kMaxChannels];
}  // namespace

uint32_t gAddressWait = 2000;

FamilyChannel &FamilyOf(const ChannelRecord *rec) {
    int c = rec->ChanIndex;
    return gChannels[c >= 0 && c < kMaxChannels ? c : 0];
}

void ResetFamilyChannel(int chan) { gChannels[chan] = FamilyChannel{}; }

void ForgetAddresses(const ChannelRecord *rec) {
    FamilyChannel &f = FamilyOf(rec);
    f.V6 = false;
    f.Peer = zp_addr{};
    f.Local = zp_addr{};
}

bool SameAddress(const zp_addr *a, const zp_addr *b) {
    const int n = a->family == 4 ? 4 : 16;
    return a->family == b->family && a->scope == b->scope && std::memcmp(a->addr, b->addr, n) == 0;
}

// ---- resolving ---------------------------------------------------------------------
int32_t ResolveAddresses(ChannelRecord *rec) {
    FamilyChannel &f = FamilyOf(rec);
    f.Count = f.Next = 0;
    zp_addr literal;
    if (ParseAddressLiteral(rec->ServerName, &literal)) {
        if (f.Family == kFamilyIPv6 && literal.family != 6) return ZUB_E_CANNOT_COMPLY;
        f.List[0] = literal;
        f.Count = 1;
    } else {
        const char *name = rec->ServerName;
        while (zp_is_blocking()) zp_sleep(EngineSettings.SleepTime);
        int n = zp_resolve_addrs(name, f.Family == kFamilyIPv6 ? 6 : 0, f.List, kMaxAddresses);
        if (n < 0) return NegatedLastError();
        f.Count = n;
    }
    const int32_t index = static_cast<int32_t>(EngineSettings.HostIndex & 7);
    if (index >= f.Count) return ZUB_E_CANNOT_COMPLY;
    f.Next = index;
    return 1;
}

// ---- connecting -----------------------------------------------------------------
int32_t ConnectControlTo(ChannelRecord *rec, const zp_addr *a) {
    int32_t s = CreateSocketOf(a->family);
    rec->CtrlSock = s > 0 ? s : 0;
    RingAttach(&rec->CtrlRing, rec->CtrlSock);
    if (s < 0) return s;
    if (a->family == 4) {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v = v << 8 | a->addr[i];
        rec->ServerAddr = v;
        FillSockAddr(&rec->ServerSockAddr, v, a->port);
    } else {
        rec->ServerAddr = 0;
    }
    zp_set_nonblocking(s, 1);
    return ConnectResult(zp_connect_addr(s, a));
}

int32_t QueryLocalAddresses(ChannelRecord *rec) {
    FamilyChannel &f = FamilyOf(rec);
    zp_addr local;
    if (zp_getsockname_addr(rec->CtrlSock, &local) < 0) return ZUB_E_CANNOT_COMPLY;
    f.Local = local;
    f.V6 = local.family == 6;
    if (!f.V6) return QueryLocalAddress(rec);
    rec->LocalAddr = 0;
    BoundedCopy(rec->LocalIPText, "0.0.0.0", kLocalIPTextSize - 1);
    char text[kAddressTextSize];
    FormatAddress(&local, text, sizeof text);
    LogWrite(rec, "LocalIP=[%s]\r\n", text);
    return 1;
}

// ---- data sockets of an IPv6 session ----------------------------------------------
int32_t ConnectData6(ChannelRecord *rec) {
    int32_t s = CreateSocketOf(6);
    rec->DataSock = s > 0 ? s : 0;
    RingAttach(&rec->DataRing, rec->DataSock);
    if (s < 0) return s;
    // The data goes to the control connection's server, whatever a reply
    // named; only the port is the reply's.
    zp_addr to = FamilyOf(rec).Peer;
    to.port = rec->DataPort;
    return ConnectResult(zp_connect_addr(s, &to));
}

int32_t ListenData6(ChannelRecord *rec) {
    int32_t s = CreateSocketOf(6);
    rec->ListenSock = s > 0 ? s : 0;
    if (s < 0) return s;
    zp_addr at = FamilyOf(rec).Local;
    at.port = rec->DataPort;
    char text[kAddressTextSize];
    FormatAddress(&at, text, sizeof text);
    LogWrite(rec, "Binding [%s] to port %d\r\n", text, rec->DataPort);
    if (zp_bind_addr(s, &at) < 0) return NegatedLastError();
    LogText(rec, "Listening...\r\n");
    if (zp_listen(s, 1) < 0) return NegatedLastError();
    return 1;
}

}  // namespace zub
