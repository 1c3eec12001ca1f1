// session_api.cpp - exports that open, keep and close a session: zubConnect,
// zubClose, zubHello, zubCommand, zubAbort, zubDebug.
#include <initializer_list>

#include "api/operation.h"
#include "engine/driver.h"
#include "frame/log.h"
#include "net/net.h"
#include "net/text.h"
#include "platform/platform.h"
#include "zub32.h"

using namespace zub;

extern "C" ZUB_EXPORT int32_t ZUB_CALL zubConnect(int32_t channel, const char *server, const char *user,
                                                  const char *password) {
    ChannelCall call(channel);
    if (int32_t bad = EnterOperation(call, "zubConnect")) return bad;
    ChannelRecord *rec = call.Rec();
    if (!server) return ZUB_E_NO_SERVER_NAME;
    if (!user) return ZUB_E_NO_USER;
    if (!password) return ZUB_E_NO_PASSWORD;
    for (const char *text : {server, user, password})
        if (int32_t bad = CheckText(rec, text, kLoginFieldSize)) return bad;
    CopyLine(rec->ServerName, server, kLoginFieldSize);
    CopyLine(rec->UserName, user, kLoginFieldSize);
    CopyLine(rec->Password, password, kLoginFieldSize);
    rec->WaitWritable = 0;
    rec->SockCode = 0;
    return RunOperation(rec, S_ConnectStart, false);
}

extern "C" ZUB_EXPORT int32_t ZUB_CALL zubClose(int32_t channel) {
    ChannelCall call(channel);
    if (int32_t bad = EnterOperation(call, "zubClose")) return bad;
    ChannelRecord *rec = call.Rec();
    // Without a control socket there is nothing to wait for: state 220 then
    // skips QUIT and the close ends at once.
    rec->WaitWritable = rec->CtrlSock > 0 ? 1 : 0;
    rec->SockCode = 0;
    // The close sequence's last step closes the sockets and the log, also
    // when the application steps the channel itself.
    return RunOperation(rec, S_SendQuit, false);
}

extern "C" ZUB_EXPORT int32_t ZUB_CALL zubHello(int32_t channel) {
    ChannelCall call(channel);
    if (int32_t bad = EnterOperation(call, "zubHello")) return bad;
    ChannelRecord *rec = call.Rec();
    return RunOperation(rec, S_SendNoop, true);
}

extern "C" ZUB_EXPORT int32_t ZUB_CALL zubCommand(int32_t channel, const char *command) {
    ChannelCall call(channel);
    if (int32_t bad = EnterOperation(call, "zubCommand")) return bad;
    ChannelRecord *rec = call.Rec();
    if (int32_t bad = CheckText(rec, command, kNameFieldSize)) return bad;
    CopyLine(rec->UserCommand, command ? command : "", kNameFieldSize);
    return RunOperation(rec, S_SendRaw, true);
}

extern "C" ZUB_EXPORT int32_t ZUB_CALL zubAbort(int32_t channel) {
    ChannelCall call(channel);
    if (int32_t bad = EnterOperation(call, "zubAbort")) return bad;
    ChannelRecord *rec = call.Rec();
    rec->NextTime = 0;
    rec->TimeStop = 0;
    rec->NextState = 0;
    CloseDataSockets(rec, 500);
    return 1;
}

extern "C" ZUB_EXPORT int32_t ZUB_CALL zubDebug(int32_t channel, int32_t, int32_t, int32_t) {
    ChannelCall call(channel);
    if (int32_t bad = EnterOperation(call, "zubDebug")) return bad;
    return 1;
}
