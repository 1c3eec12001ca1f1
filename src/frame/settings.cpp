// settings.cpp - library-wide tunables, per-channel settings and the
// numbered queries: zubSetInteger, zubGetInteger, zubSetString,
// zubGetString.
//
// Divisions: defaults and version, setting, querying, strings.
#include "frame/errors.h"
#include "frame/log.h"
#include "frame/record.h"
#include "frame/sockquery.h"
#include "frame/text.h"
#include "engine/driver.h"
#include "net/tls.h"
#include "platform/platform.h"
#include "zub32.h"

namespace zub {

// Defaults hold from load to unload; attach and release leave them alone.
Settings EngineSettings = {
    60000,  // ConnectWait
    0,      // ResponseDelay
    60000,  // ResponseWait
    0,      // BlockDelay
    60000,  // BlockWait
    10,     // SleepTime
    50,     // EndDelay
    1024,   // BlockSize
    25000,  // DataWait
    0,      // HostIndex
    ':',    // NameSeparator
    5000,   // ReplyLineWait
    32767,  // LingerLimit: the longest pause a close can take, so none is cut
    200,    // PassDelay
    100,    // PassSleep
};

const char kVersionMarker[] = "$VER 0230 BLD 0008 NOV02 ZUB$";

namespace {
int HexDigits(const char *p) {
    int v = 0;
    for (int i = 0; i < 4; ++i) {
        char c = p[i];
        int d = c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10
                : c >= 'a' && c <= 'f' ? c - 'a' + 10 : 0;
        v = v * 16 + d;
    }
    return v;
}
}  // namespace

int VersionNumber() { return HexDigits(kVersionMarker + 5); }
int BuildNumber() { return HexDigits(kVersionMarker + 14); }

namespace {

// Stores a per-channel or library-wide setting; false for a number that is
// not a setting.
bool StoreSetting(ChannelRecord *rec, uint32_t number, uint32_t value, int32_t *result) {
    Settings &s = EngineSettings;
    *result = static_cast<int32_t>(value);
    switch (number) {
    case ZUB_SET_CONNECT_WAIT: s.ConnectWait = value; break;
    case ZUB_SET_RESPONSE_DELAY: s.ResponseDelay = value; break;
    case ZUB_SET_RESPONSE_WAIT: s.ResponseWait = value; break;
    case ZUB_SET_BLOCK_DELAY: s.BlockDelay = value; break;
    case ZUB_SET_BLOCK_WAIT: s.BlockWait = value; break;
    case ZUB_SET_AUTO_CALL:
        rec->AutoCall = value & 1;
        *result = static_cast<int32_t>(rec->AutoCall);
        LogWrite(rec, "AUTO_CALL = %d\r\n", static_cast<int>(rec->AutoCall));
        rec->NextTime = 0;
        rec->TimeStop = 0;
        break;
    case ZUB_SET_SLEEP_TIME: s.SleepTime = value; break;
    case ZUB_SET_SERVER_PORT: rec->ServerPort = static_cast<uint16_t>(value); break;
    case ZUB_SET_END_DELAY: s.EndDelay = value; break;
    case ZUB_SET_BLOCK_SIZE:
        // A block must fit the channel's data buffer.
        s.BlockSize = value < 128 ? 128u : value > uint32_t{kDataBufSize} ? uint32_t{kDataBufSize} : value;
        *result = static_cast<int32_t>(s.BlockSize);
        break;
    case ZUB_SET_PASSIVE: rec->PassiveMode = value; break;
    case ZUB_SET_DATA_WAIT: s.DataWait = value; break;
    case ZUB_SET_HOST_INDEX:
        s.HostIndex = value & 7;
        *result = static_cast<int32_t>(s.HostIndex);
        break;
    case ZUB_SET_RESUME: rec->ResumeFlag = value; break;
    case ZUB_SET_DATA_PORT: rec->DataPort = static_cast<uint16_t>(value - 1); break;
    case ZUB_SET_NAME_SEPARATOR: s.NameSeparator = static_cast<uint8_t>(value); break;
    case ZUB_SET_RESTART_OFFSET: rec->RestartOffset = value; break;
    case ZUB_SET_APPEND_OFFSET: rec->AppendOffset = value; break;
    case ZUB_SET_REPLY_LINE_WAIT: s.ReplyLineWait = value; break;
    case ZUB_SET_BLOCKING_CONNECT: rec->NonBlockConnect = value == 0 ? 1 : 0; break;
    case ZUB_SET_LINGER_LIMIT: s.LingerLimit = value; break;
    case ZUB_SET_PASS_DELAY: s.PassDelay = value; break;
    case ZUB_SET_PASS_SLEEP: s.PassSleep = value; break;
    case ZUB_SET_SECURITY:
        // An unknown kind of security is refused rather than taken as none.
        if (value > ZUB_TLS_IMPLICIT) return false;
        TlsOf(rec).Security = value;
        break;
    case ZUB_SET_VERIFY: TlsOf(rec).Verify = value != 0 ? 1 : 0; *result = static_cast<int32_t>(TlsOf(rec).Verify); break;
    case ZUB_SET_EPSV:
        TlsOf(rec).Epsv = value != 0 ? 1 : 0;
        TlsOf(rec).EpsvRefused = false;
        *result = static_cast<int32_t>(TlsOf(rec).Epsv);
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
    return StoreSetting(rec, number, value, &result) ? result : -1;
}

extern "C" ZUB_EXPORT int32_t ZUB_CALL zubGetInteger(int32_t channel, int32_t number) {
    ChannelCall call(channel);
    if (int32_t bad = call.Refused()) return bad;
    ChannelRecord *rec = call.Rec();
    switch (number) {
    case ZUB_GET_STEP_COUNT: return rec->StepCount;
    case ZUB_GET_SERVER_CODE: return rec->ServerCode;
    case ZUB_GET_SOCK_CODE: return rec->SockCode;
    case ZUB_GET_GET_BYTES: return rec->GetBytes;
    case ZUB_GET_GET_TOTAL: return rec->GetTotal;
    case ZUB_GET_PUT_BYTES: return rec->PutBytes;
    case ZUB_GET_PUT_TOTAL: return rec->PutTotal;
    case ZUB_GET_CTRL_SOCK: return rec->CtrlSock;
    case ZUB_GET_CTRL_STATE:
        if (PollSocket(rec->CtrlSock, ZP_POLL_ERROR)) return ZUB_E_CONNECT_ERROR;
        return PollSocket(rec->CtrlSock, ZP_POLL_WRITABLE);
    case ZUB_GET_VERSION: return VersionNumber();
    case ZUB_GET_BUILD: return BuildNumber();
    case ZUB_GET_EMPTY_POLLS: return rec->DataRing.EmptyPolls;
    case ZUB_GET_PORT_NIBBLE: return rec->PortNibble;
    case ZUB_GET_TLS_VERSION: return rec->CtrlSock != 0 ? TlsOf(rec).LastVersion : 0;
    case ZUB_GET_TLS_VERIFIED: return rec->CtrlSock != 0 && TlsOf(rec).LastVerified ? 1 : 0;
    case ZUB_GET_TLS_BUILT: return TlsBuilt() ? 1 : 0;
    default: return -1;
    }
}

extern "C" ZUB_EXPORT int32_t ZUB_CALL zubSetString(int32_t channel, int32_t number, const char *text) {
    ChannelCall call(channel);
    if (int32_t bad = call.Refused()) return bad;
    ChannelRecord *rec = call.Rec();
    const char *t = text ? text : "";
    LogWrite(rec, "*** zubSetString(%d,%d,'%s')\r\n", static_cast<int>(channel), static_cast<int>(number), t);
    if (number == ZUB_STR_OPEN_LOG) return OpenChannelLog(rec, text);
    if (number == ZUB_STR_CA_FILE) {
        // A path that does not fit is refused, never cut to another file's name.
        if (!FitsField(t, kCaFileSize - 1)) return ZUB_E_CANNOT_COMPLY;
        BoundedCopy(TlsOf(rec).CaFile, t, kCaFileSize - 1);
        return 1;
    }
    if (number == ZUB_STR_LOG_TEXT) {
        LogWrite(rec, "%s\r\n", t);
        return rec->LogFile;
    }
    return -1;
}

extern "C" ZUB_EXPORT int32_t ZUB_CALL zubGetString(int32_t channel, int32_t number, char *buffer, int32_t size) {
    ChannelCall call(channel);
    if (int32_t bad = call.Refused()) return bad;
    ChannelRecord *rec = call.Rec();
    LogText(rec, "*** zubGetString\r\n");
    switch (number) {
    case ZUB_STR_REPLY: {
        int32_t n = BoundedCopy(buffer, rec->ReplyBuf, size);
        // The count leaves out a trailing CR LF, which stays in the buffer.
        return n > 2 && buffer[n - 2] == '\r' ? n - 2 : n;
    }
    case ZUB_STR_SERVER_IP: {
        char text[18];
        if (size <= 16 || !buffer) return 0;
        FormatDottedQuad(rec->ServerAddr, text, sizeof text);
        return BoundedCopy(buffer, text, size);
    }
    case ZUB_STR_LINE_COUNT: return CountLines(buffer);
    case ZUB_STR_LOCAL_IP: {
        int32_t r = QueryLocalAddress(rec);
        return r == 1 ? BoundedCopy(buffer, rec->LocalIPText, size) : r;
    }
    case ZUB_STR_ERROR_TEXT: return BoundedCopy(buffer, rec->ErrorText, size);
    case ZUB_STR_TLS_CIPHER: {
        if (!buffer || size < 1) return 0;
        return BoundedCopy(buffer, TlsCipher(rec->CtrlSock), size - 1);
    }
    case ZUB_STR_SERVER_DIR: return BoundedCopy(buffer, LastPwdDir(rec), size);
    default:
        if (buffer) {
            buffer[0] = '?';
            buffer[1] = 0;
        }
        return 0;
    }
}
