// settings_api.cpp - the numbered settings and queries (zubSetInteger,
// zubGetInteger, zubSetString, zubGetString) and zubErrorText. The record's
// own settings and queries are answered by the frame; those about sockets,
// TLS and the FTP session are answered here, from their layers.
#include "engine/driver.h"
#include "frame/errors.h"
#include "frame/log.h"
#include "frame/settings.h"
#include "frame/text.h"
#include "net/family.h"
#include "net/net.h"
#include "net/tls.h"
#include "platform/platform.h"
#include "zub32.h"

namespace zub {
namespace {

// The settings of a channel's TLS and FTP session: false for a number that
// is not one of these.
bool StoreSessionSetting(ChannelRecord *rec, uint32_t number, uint32_t value, int32_t *result) {
    *result = static_cast<int32_t>(value);
    switch (number) {
    case ZUB_SET_SECURITY:
        // An unknown kind of security is refused rather than taken as none.
        if (value > ZUB_TLS_IMPLICIT) return false;
        TlsOf(rec).Security = value;
        break;
    case ZUB_SET_VERIFY: TlsOf(rec).Verify = value != 0 ? 1 : 0; *result = static_cast<int32_t>(TlsOf(rec).Verify); break;
    case ZUB_SET_EPSV:
        FtpOf(rec).Epsv = value != 0 ? 1 : 0;
        FtpOf(rec).EpsvRefused = false;
        *result = static_cast<int32_t>(FtpOf(rec).Epsv);
        break;
    case ZUB_SET_BULK: *result = SetBulk(rec, value); break;
    case ZUB_SET_ADDRESS_FAMILY:
        if (value > kFamilyIPv6) return false;  // refused rather than taken as another
        FamilyOf(rec).Family = value;
        break;
    case ZUB_SET_ADDRESS_WAIT: gAddressWait = value; break;
    case ZUB_SET_MLSD:
        FtpOf(rec).Mlsd = value != 0 ? 1 : 0;
        FtpOf(rec).MlsdRefused = false;
        *result = static_cast<int32_t>(FtpOf(rec).Mlsd);
        break;
    default: return false;
    }
    return true;
}

}  // namespace
}  // namespace zub

using namespace zub;

extern "C" ZUB_EXPORT int32_t ZUB_CALL zubSetInteger(int32_t channel, uint32_t number, uint32_t value) {
    ChannelCall call(channel);
    if (int32_t bad = call.Refused()) return bad;
    ChannelRecord *rec = call.Rec();
    LogWrite(rec, "*** zubSetInteger(%d,%d,%ld)\r\n", static_cast<int>(channel), static_cast<int>(number),
             static_cast<long>(static_cast<int32_t>(value)));
    int32_t result;
    const bool stored = StoreSessionSetting(rec, number, value, &result) || StoreSetting(rec, number, value, &result);
    return stored ? result : -1;
}

extern "C" ZUB_EXPORT int32_t ZUB_CALL zubGetInteger(int32_t channel, int32_t number) {
    ChannelCall call(channel);
    if (int32_t bad = call.Refused()) return bad;
    ChannelRecord *rec = call.Rec();
    switch (number) {
    case ZUB_GET_CTRL_STATE:
        if (PollSocket(rec->CtrlSock, ZP_POLL_ERROR)) return ZUB_E_CONNECT_ERROR;
        return PollSocket(rec->CtrlSock, ZP_POLL_WRITABLE);
    case ZUB_GET_TLS_VERSION: return rec->CtrlSock != 0 ? TlsOf(rec).LastVersion : 0;
    case ZUB_GET_TLS_VERIFIED: return rec->CtrlSock != 0 && TlsOf(rec).LastVerified ? 1 : 0;
    case ZUB_GET_TLS_BUILT: return TlsBuilt() ? 1 : 0;
    case ZUB_GET_LIST_FORMAT: return FtpOf(rec).MlsdSent ? 1 : 0;
    case ZUB_GET_ADDRESS_FAMILY: {
        // Connected only: a socket left by a failed connect has no family yet.
        zp_addr peer{};
        return rec->CtrlSock != 0 && zp_getpeername_addr(rec->CtrlSock, &peer) == 0 ? peer.family : 0;
    }
    default: {
        int32_t value;
        return QueryInteger(rec, number, &value) ? value : -1;
    }
    }
}

extern "C" ZUB_EXPORT int32_t ZUB_CALL zubSetString(int32_t channel, int32_t number, const char *text) {
    ChannelCall call(channel);
    if (int32_t bad = call.Refused()) return bad;
    ChannelRecord *rec = call.Rec();
    const char *t = text ? text : "";
    LogWrite(rec, "*** zubSetString(%d,%d,'%s')\r\n", static_cast<int>(channel), static_cast<int>(number), t);
    if (number == ZUB_STR_CA_FILE) {
        // A path that does not fit is refused, never cut to another file's name.
        if (!FitsField(t, kCaFileSize - 1)) return ZUB_E_CANNOT_COMPLY;
        BoundedCopy(TlsOf(rec).CaFile, t, kCaFileSize - 1);
        return 1;
    }
    return StoreString(rec, number, text);
}

extern "C" ZUB_EXPORT int32_t ZUB_CALL zubGetString(int32_t channel, int32_t number, char *buffer, int32_t size) {
    ChannelCall call(channel);
    if (int32_t bad = call.Refused()) return bad;
    ChannelRecord *rec = call.Rec();
    LogText(rec, "*** zubGetString\r\n");
    switch (number) {
    case ZUB_STR_LOCAL_IP: {
        // An IPv6 session has no IPv4 address: LocalIPText says 0.0.0.0.
        int32_t r = FamilyOf(rec).V6 ? 1 : QueryLocalAddress(rec);
        return r == 1 ? BoundedCopy(buffer, rec->LocalIPText, size) : r;
    }
    case ZUB_STR_SERVER_ADDRESS:
    case ZUB_STR_LOCAL_ADDRESS: {
        // Either family, from the connection itself ("" when there is none).
        zp_addr a{};
        char text[kAddressTextSize] = "";
        const bool server = number == ZUB_STR_SERVER_ADDRESS;
        if (rec->CtrlSock != 0 &&
            (server ? zp_getpeername_addr(rec->CtrlSock, &a) : zp_getsockname_addr(rec->CtrlSock, &a)) == 0)
            FormatAddress(&a, text, sizeof text);
        return BoundedCopy(buffer, text, size);
    }
    case ZUB_STR_TLS_CIPHER: {
        if (!buffer || size < 1) return 0;
        return BoundedCopy(buffer, TlsCipher(rec->CtrlSock), size - 1);
    }
    case ZUB_STR_SERVER_DIR: return BoundedCopy(buffer, LastPwdDir(rec), size);
    default: return QueryString(rec, number, buffer, size);
    }
}

extern "C" ZUB_EXPORT int32_t ZUB_CALL zubErrorText(int32_t channel, int32_t code, char *buffer, int32_t size) {
    ChannelCall call(channel);
    if (int32_t bad = call.Refused()) return bad;
    return FormatErrorText(call.Rec(), code, buffer, size);
}
