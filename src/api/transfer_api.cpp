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
// of 0 means none.
void SplitName(ChannelRecord *rec, const char *name) {
    const char *n = name ? name : "";
    const char sep = static_cast<char>(EngineSettings.NameSeparator);
    int32_t at = -1;
    for (int32_t i = 0; sep != 0 && n[i]; ++i) {
        if (n[i] == sep) {
            at = i;
            break;
        }
    }
    if (at < 0) {
        rec->FileName2[0] = 0;
        CopyLine(rec->FileName, n, 255);
        return;
    }
    CopyLine(rec->FileName2, n + at + 1, 255);
    CopyLine(rec->FileName, n, at < 255 ? at : 255);
}
}  // namespace

extern "C" ZUB_EXPORT int32_t ZUB_CALL zubGetFile(int32_t channel, const char *name) {
    ChannelCall call(channel);
    if (int32_t bad = EnterOperation(call, "zubGetFile")) return bad;
    ChannelRecord *rec = call.Rec();
    SplitName(rec, name);
    rec->GetBytes = 0;
    return RunOperation(rec, S_GetStart, true);
}

extern "C" ZUB_EXPORT int32_t ZUB_CALL zubPutFile(int32_t channel, const char *name) {
    ChannelCall call(channel);
    if (int32_t bad = EnterOperation(call, "zubPutFile")) return bad;
    ChannelRecord *rec = call.Rec();
    SplitName(rec, name);
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
    if (m != 'A' && m != 'B') return ZUB_E_BAD_MODE;
    rec->BinaryMode = m != 'A';
    return RunOperation(rec, S_SendType, true);
}
