// directory_api.cpp - server and local directory exports: zubSetServerDir,
// zubGetServerDir, zubDelFile, zubMakeServerDir, zubDelServerDir,
// zubSetLocalDir, zubGetLocalDir.
//
// Divisions: server side (through the driver), local side (in the call).
#include "api/operation.h"
#include "engine/driver.h"
#include "frame/log.h"
#include "net/text.h"
#include "platform/platform.h"
#include "zub32.h"

using namespace zub;

// ---- server side ------------------------------------------------------------------
namespace {
int32_t NameOperation(int32_t channel, const char *logName, const char *text, int32_t firstState,
                      bool intoServerDir) {
    ChannelCall call(channel);
    if (int32_t bad = EnterOperation(call, logName)) return bad;
    ChannelRecord *rec = call.Rec();
    if (int32_t bad = CheckText(rec, text, kNameFieldSize)) return bad;
    CopyLine(intoServerDir ? rec->ServerDir : rec->FileName, text ? text : "", kNameFieldSize);
    return RunOperation(rec, firstState, true);
}
}  // namespace

extern "C" ZUB_EXPORT int32_t ZUB_CALL zubSetServerDir(int32_t channel, const char *dir) {
    return NameOperation(channel, "zubSetServerDir", dir, S_SendCwd, true);
}

extern "C" ZUB_EXPORT int32_t ZUB_CALL zubDelFile(int32_t channel, const char *name) {
    return NameOperation(channel, "zubDelFile", name, S_SendDele, false);
}

extern "C" ZUB_EXPORT int32_t ZUB_CALL zubMakeServerDir(int32_t channel, const char *dir) {
    return NameOperation(channel, "zubMakeServerDir", dir, S_SendMkd, false);
}

extern "C" ZUB_EXPORT int32_t ZUB_CALL zubDelServerDir(int32_t channel, const char *dir) {
    return NameOperation(channel, "zubRemoveServerDir", dir, S_SendRmd, false);
}

extern "C" ZUB_EXPORT int32_t ZUB_CALL zubGetServerDir(int32_t channel, char *buffer, int32_t size) {
    ChannelCall call(channel);
    if (int32_t bad = EnterOperation(call, "zubGetServerDir")) return bad;
    ChannelRecord *rec = call.Rec();
    int32_t r = RunOperation(rec, S_SendPwd, true);
    if (rec->AutoCall == 0 || r < 0) return r;
    BoundedCopy(buffer, rec->ServerDir, size);
    return TextLength(rec->ServerDir);
}

// ---- local side -------------------------------------------------------------------
namespace {
enum { kLocalDirMax = 254 };

// Tests that a file can be created in dir. Returns the probe's handle (> 0),
// 0 when the text is too short to probe, or -1.
int32_t ProbeLocalDir(const char *dir) {
    char path[kLocalDirMax + 1 + 8 + 1];
    int32_t n = TextLength(dir);
    if (n > kLocalDirMax) return -1;  // would not fit the local directory field
    if (n <= 1) return 0;
    BoundedCopy(path, dir, kLocalDirMax);
    EndWithSeparator(path, n);
    BoundedAppend(path, "$$$$.TMP", sizeof path);
    int32_t h = zp_file_create(path, ZP_ATTR_HIDDEN);
    if (h > 0) {
        zp_file_close(h);
        zp_file_delete(path);
    }
    return h;
}
}  // namespace

extern "C" ZUB_EXPORT int32_t ZUB_CALL zubSetLocalDir(int32_t channel, const char *dir) {
    ChannelCall call(channel);
    if (int32_t bad = EnterOperation(call, "zubSetLocalDir")) return bad;
    ChannelRecord *rec = call.Rec();
    const char *d = dir ? dir : "";
    if (!FitsField(d, kLocalDirMax) || ProbeLocalDir(d) < 0) return ZUB_E_CANNOT_COMPLY;
    int32_t n = CopyLine(rec->LocalDir, d, kLocalDirMax);
    if (n == 0) return 0;
    EndWithSeparator(rec->LocalDir, n);
    LogWrite(rec, "Local directory is '%s'\r\n", rec->LocalDir);
    return 0;
}

extern "C" ZUB_EXPORT int32_t ZUB_CALL zubGetLocalDir(int32_t channel, char *buffer, int32_t size) {
    ChannelCall call(channel);
    if (int32_t bad = EnterOperation(call, "zubGetLocalDir")) return bad;
    ChannelRecord *rec = call.Rec();
    LogWrite(rec, "Local directory is '%s'\r\n", rec->LocalDir);
    return BoundedCopy(buffer, rec->LocalDir, size);
}
