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
    case 1: s.ConnectWait = value; break;
    case 2: s.ResponseDelay = value; break;
    case 3: s.ResponseWait = value; break;
    case 4: s.BlockDelay = value; break;
    case 5: s.BlockWait = value; break;
    case 6:
        rec->AutoCall = value & 1;
        *result = static_cast<int32_t>(rec->AutoCall);
        LogWrite(rec, "AUTO_CALL = %d\r\n", static_cast<int>(rec->AutoCall));
        rec->NextTime = 0;
        rec->TimeStop = 0;
        break;
    case 8: s.SleepTime = value; break;
    case 9: rec->ServerPort = static_cast<uint16_t>(value); break;
    case 10: s.EndDelay = value; break;
    case 11:
        s.BlockSize = value < 128 ? 128 : value > 8192 ? 8192 : value;
        *result = static_cast<int32_t>(s.BlockSize);
        break;
    case 12: rec->PassiveMode = value; break;
    case 13: s.DataWait = value; break;
    case 14:
        s.HostIndex = value & 7;
        *result = static_cast<int32_t>(s.HostIndex);
        break;
    case 15: rec->ResumeFlag = value; break;
    case 16: rec->DataPort = static_cast<uint16_t>(value - 1); break;
    case 17: s.NameSeparator = static_cast<uint8_t>(value); break;
    case 18: rec->RestartOffset = value; break;
    case 19: rec->AppendOffset = value; break;
    case 22: s.ReplyLineWait = value; break;
    case 23: rec->NonBlockConnect = value == 0 ? 1 : 0; break;
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
    case 2: return rec->StepCount;
    case 3: return rec->ServerCode;
    case 4: return rec->SockCode;
    case 10: return rec->GetBytes;
    case 11: return rec->GetTotal;
    case 12: return rec->PutBytes;
    case 13: return rec->PutTotal;
    case 14: return rec->CtrlSock;
    case 15:
        if (PollSocket(rec->CtrlSock, 3)) return ZUB_E_CONNECT_ERROR;
        return PollSocket(rec->CtrlSock, 2);
    case 20: return VersionNumber();
    case 21: return BuildNumber();
    case 25: return rec->DataRing.EmptyPolls;
    case 2000: return rec->PortNibble;
    default: return -1;
    }
}

extern "C" ZUB_EXPORT int32_t ZUB_CALL zubSetString(int32_t channel, int32_t number, const char *text) {
    ChannelCall call(channel);
    if (int32_t bad = call.Refused()) return bad;
    ChannelRecord *rec = call.Rec();
    const char *t = text ? text : "";
    LogWrite(rec, "*** zubSetString(%d,%d,'%s')\r\n", static_cast<int>(channel), static_cast<int>(number), t);
    if (number == 20) return OpenChannelLog(rec, text);
    if (number == 21) {
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
    case 18: {
        int32_t n = BoundedCopy(buffer, rec->ReplyBuf, size);
        // The count leaves out a trailing CR LF, which stays in the buffer.
        return n > 2 && buffer[n - 2] == '\r' ? n - 2 : n;
    }
    case 19: {
        char text[18];
        if (size <= 16 || !buffer) return 0;
        FormatDottedQuad(rec->ServerAddr, text, sizeof text);
        return BoundedCopy(buffer, text, size);
    }
    case 22: return CountLines(buffer);
    case 23: {
        int32_t r = QueryLocalAddress(rec);
        return r == 1 ? BoundedCopy(buffer, rec->LocalIPText, size) : r;
    }
    case 24: return BoundedCopy(buffer, rec->ErrorText, size);
    default:
        if (buffer) {
            buffer[0] = '?';
            buffer[1] = 0;
        }
        return 0;
    }
}
