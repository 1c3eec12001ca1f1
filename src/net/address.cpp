// address.cpp - finding the server's address, the local host name and the
// local address of the control connection, and the socket address records
// kept in the channel for the log.
//
// Divisions: socket address records, server address, local host.
#include <cstring>

#include "frame/log.h"
#include "net/net.h"
#include "net/text.h"
#include "platform/platform.h"
#include "zub32.h"

namespace zub {

// ---- socket address records ---------------------------------------------------
namespace {

// Bytes most significant first, whatever the host's byte order.
uint16_t ToNetwork16(uint16_t v) {
    const uint8_t b[2] = {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
    uint16_t r;
    memcpy(&r, b, sizeof r);
    return r;
}

uint32_t ToNetwork32(uint32_t v) {
    const uint8_t b[4] = {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16),
                          static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
    uint32_t r;
    memcpy(&r, b, sizeof r);
    return r;
}

}  // namespace

void FillSockAddr(SockAddr16 *sa, uint32_t addr, uint16_t port) {
    sa->Family = 2;  // AF_INET
    sa->Port = ToNetwork16(port);
    sa->Addr = ToNetwork32(addr);
    memset(sa->Zero, 0, sizeof sa->Zero);
}

// ---- server address ---------------------------------------------------------------
namespace {

// One result list per channel: a channel is stepped by one thread at a
// time, so its list is never written by two resolves at once, and nothing
// is allocated.
HostList gHostLists[kMaxChannels];

HostList *HostListOf(const ChannelRecord *rec) {
    int32_t c = rec->ChanIndex;
    return &gHostLists[c >= 0 && c < kMaxChannels ? c : 0];
}

}  // namespace

int32_t ResolveServer(ChannelRecord *rec) {
    while (zp_is_blocking()) zp_sleep(EngineSettings.SleepTime);
    HostList *list = HostListOf(rec);
    const int kMax = static_cast<int>(sizeof list->Addr / sizeof list->Addr[0]);
    int n = zp_resolve(rec->ServerName, list->Addr, kMax);
    if (n < 0) {
        list->Count = 0;
        rec->HostEntry = nullptr;
        return NegatedLastError();
    }
    list->Count = n;
    rec->HostEntry = list;
    // HostIndex n takes the (n+1)-th address; a list that ends (or holds a
    // zero address) before it cannot comply.
    uint32_t index = EngineSettings.HostIndex & 7;
    for (uint32_t i = 0; i <= index; ++i) {
        if (static_cast<int>(i) >= n || list->Addr[i] == 0) return ZUB_E_CANNOT_COMPLY;
    }
    rec->ServerAddr = list->Addr[index];
    return 1;
}

// ---- local host ---------------------------------------------------------------------
int32_t GetLocalHostName(char *buf, int32_t size) {
    if (buf && size > 0) buf[0] = 0;
    if (zp_gethostname(buf, size) < 0) return NegatedLastError();
    return buf[0] ? 1 : ZUB_E_NO_HOST_NAME;
}

int32_t QueryLocalAddress(ChannelRecord *rec) {
    uint32_t addr = 0;
    uint16_t port = 0;
    // On failure LocalAddr and LocalIPText keep what they had.
    if (zp_getsockname(rec->CtrlSock, &addr, &port) < 0) return ZUB_E_CANNOT_COMPLY;
    // The record is filled again before every connect, so it can hold the
    // local name meanwhile.
    FillSockAddr(&rec->ServerSockAddr, addr, port);
    rec->LocalAddr = addr;
    FormatDottedQuad(addr, rec->LocalIPText, kLocalIPTextSize);
    LogWrite(rec, "LocalIP=[%s]\r\n", rec->LocalIPText);
    return 1;
}


}  // namespace zub
