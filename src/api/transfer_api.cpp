// transfer_api.cpp - transfer exports: zubGetFile, zubPutFile, zubGetList,
// zubSetMode.
#include "api/operation.h"
#include "engine/driver.h"
#include "frame/log.h"
#include "net/text.h"
#include "platform/platform.h"
#include "zub32.h"

using namespace zub;

namespace {
// "source" or "source<sep>destination": only the first separator splits.
// The caller's string is only read (it may be a literal), and a separator
// of 0 means none. Each name must fit its field whole: 0, or -6.
int32_t SplitName(ChannelRecord *rec, const char *name) {
    const char *n = name ? name : "";
    const char sep = static_cast<char>(EngineSettings.NameSeparator);
    int32_t at = -1;
    for (int32_t i = 0; sep != 0 && n[i]; ++i) {
        if (n[i] == sep) {
            at = i;
            break;
        }
    }
    const char *second = at < 0 ? "" : n + at + 1;
    const int32_t firstLength = at < 0 ? TextLength(n) : at;
    if (!FitsField(n, INT32_MAX) || firstLength > kNameFieldSize || TextLength(second) > kNameFieldSize)
        return RefuseText(rec);
    CopyLine(rec->FileName2, second, kNameFieldSize);
    CopyLine(rec->FileName, n, at < 0 ? kNameFieldSize : at);
    return 0;
}

// The argument of LIST/NLST, NUL-terminated within the caller's buffer, on
// one line, and short enough for the whole command to fit one formatted line.
int32_t CheckListArgument(ChannelRecord *rec, int32_t kind, const char *buffer, int32_t size) {
    if (kind < ZUB_LIST_ARG || !buffer) return 0;
    int32_t n = 0;
    while (n < size && buffer[n]) ++n;
    if (n >= size) return RefuseText(rec);
    enum { kArgMax = ZP_FORMAT_MAX - 1 - 7 };  // "NLST " and CR LF around it
    return CheckText(rec, buffer, kArgMax);
}
}  // namespace

extern "C" ZUB_EXPORT int32_t ZUB_CALL zubGetFile(int32_t channel, const char *name) {
    ChannelCall call(channel);
    if (int32_t bad = EnterOperation(call, "zubGetFile")) return bad;
    ChannelRecord *rec = call.Rec();
    if (int32_t bad = SplitName(rec, name)) return bad;
    rec->GetBytes = 0;
    return RunOperation(rec, S_GetStart, true);
}

extern "C" ZUB_EXPORT int32_t ZUB_CALL zubPutFile(int32_t channel, const char *name) {
    ChannelCall call(channel);
    if (int32_t bad = EnterOperation(call, "zubPutFile")) return bad;
    ChannelRecord *rec = call.Rec();
    if (int32_t bad = SplitName(rec, name)) return bad;
    rec->RestartOffset = 0;
    CloseLocalFile(rec);  // one local file at a time
    int32_t h = OpenLocalFile(rec, rec->FileName, 'R');
    if (h <= 0) return ZUB_E_CANNOT_OPEN_FILE;
    rec->LocalFile = h;
    rec->PutBytes = 0;
    return RunOperation(rec, S_PutStart, true);
}

extern "C" ZUB_EXPORT int32_t ZUB_CALL zubGetList(int32_t channel, int32_t kind, char *buffer, int32_t size) {
    ChannelCall call(channel);
    if (int32_t bad = EnterOperation(call, "zubGetList")) return bad;
    ChannelRecord *rec = call.Rec();
    if (int32_t bad = CheckListArgument(rec, kind, buffer, size)) return bad;
    rec->ListPtr = buffer;
    rec->ListRoom = buffer ? size : 0;
    rec->ListCount = 0;
    rec->ListKind = kind;
    int32_t r = RunOperation(rec, S_ListStart, true);
    if (rec->AutoCall == 0) return r;
    if (rec->ListOverflow) return ZUB_E_LIST_OVERFLOW;
    return r < 0 ? r : rec->ListCount;
}

extern "C" ZUB_EXPORT int32_t ZUB_CALL zubSetMode(int32_t channel, int32_t mode) {
    ChannelCall call(channel);
    if (int32_t bad = EnterOperation(call, "zubSetMode")) return bad;
    ChannelRecord *rec = call.Rec();
    char m = static_cast<char>(mode & 0xFF);
    if (m != ZUB_MODE_ASCII && m != ZUB_MODE_BINARY) return ZUB_E_BAD_MODE;
    rec->BinaryMode = m == ZUB_MODE_BINARY;
    return RunOperation(rec, S_SendType, true);
}
