/*
 * zub32.h - public interface of the zub32 FTP client engine.
 *
 * Plain C, no operating-system header. Every export returns a signed
 * 32-bit result code: > 0 success, progress or a count; 0 done or idle;
 * < 0 an error (library codes -1..-33, socket errors negated
 * -10004..-10093, resolver errors negated -11001..-11004).
 *
 * Divisions: calling convention, result codes, setting and query numbers,
 * exports by family.
 */
#ifndef ZUB32_H
#define ZUB32_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The 32-bit Windows library uses the standard Windows calling convention;
 * every other build uses the platform's default. */
#if defined(_WIN32) && !defined(_WIN64)
#define ZUB_CALL __stdcall
#else
#define ZUB_CALL
#endif

#if defined(ZUB32_BUILDING) && !defined(_WIN32) && defined(__GNUC__)
#define ZUB_EXPORT __attribute__((visibility("default")))
#else
#define ZUB_EXPORT
#endif

/* ---- result codes ---------------------------------------------------- */
#define ZUB_OK 0
#define ZUB_E_SOCKET_CLOSED (-1)
#define ZUB_E_ALREADY_ATTACHED (-3)
#define ZUB_E_BAD_STATUS_FLAG (-4)
#define ZUB_E_NO_MEMORY (-5)
#define ZUB_E_CANNOT_COMPLY (-6)
#define ZUB_E_CANNOT_CREATE_SOCKET (-7)
#define ZUB_E_CHANNEL_RANGE (-8)
#define ZUB_E_CONNECT_ERROR (-9)
#define ZUB_E_INVALID_SOCKET (-10)
#define ZUB_E_WINSOCK_BLOCKING (-11)
#define ZUB_E_NO_HOST_NAME (-12)
#define ZUB_E_NO_SERVER (-13)
#define ZUB_E_NO_SOCKADDR (-14)
#define ZUB_E_NOT_ATTACHED (-15)
#define ZUB_E_ILLEGAL_SERVER_NAME (-16)
#define ZUB_E_NO_PASSWORD (-17)
#define ZUB_E_SERVER_ERROR (-18)
#define ZUB_E_NO_SERVER_NAME (-19)
#define ZUB_E_READ_ERROR (-20)
#define ZUB_E_WRITE_ERROR (-21)
#define ZUB_E_TIMEOUT (-22)
#define ZUB_E_NO_USER (-23)
#define ZUB_E_BAD_MODE (-24)
#define ZUB_E_LISTEN (-25)
#define ZUB_E_NO_LISTEN_RESPONSE (-26)
#define ZUB_E_ACCEPT_TIMEOUT (-27)
#define ZUB_E_CANNOT_OPEN_FILE (-28)
#define ZUB_E_FILE_WRITE (-29)
#define ZUB_E_NO_PASV_PORT (-30)
#define ZUB_E_NOT_COMPLETED (-31)
#define ZUB_E_LIST_OVERFLOW (-32)
/* zubRelease: a call that uses a channel is still running on another
 * thread (or another attach or release is); nothing was released. Call
 * zubRelease again once that call has returned. Calls that start while a
 * release runs return ZUB_E_NOT_ATTACHED. */
#define ZUB_E_BUSY (-33)
/* zubDriver: the channel is pacing or waiting; call again. */
#define ZUB_PACING 9999

/* ---- zubSetInteger numbers (times in milliseconds) ------------------- */
#define ZUB_SET_CONNECT_WAIT 1
#define ZUB_SET_RESPONSE_DELAY 2
#define ZUB_SET_RESPONSE_WAIT 3
#define ZUB_SET_BLOCK_DELAY 4
#define ZUB_SET_BLOCK_WAIT 5
#define ZUB_SET_AUTO_CALL 6
#define ZUB_SET_SLEEP_TIME 8
#define ZUB_SET_SERVER_PORT 9
#define ZUB_SET_END_DELAY 10
#define ZUB_SET_BLOCK_SIZE 11
#define ZUB_SET_PASSIVE 12
#define ZUB_SET_DATA_WAIT 13
#define ZUB_SET_HOST_INDEX 14
#define ZUB_SET_RESUME 15
#define ZUB_SET_DATA_PORT 16
#define ZUB_SET_NAME_SEPARATOR 17
#define ZUB_SET_RESTART_OFFSET 18
#define ZUB_SET_APPEND_OFFSET 19
#define ZUB_SET_REPLY_LINE_WAIT 22
#define ZUB_SET_BLOCKING_CONNECT 23

/* ---- zubGetInteger numbers ------------------------------------------- */
#define ZUB_GET_STEP_COUNT 2
#define ZUB_GET_SERVER_CODE 3
#define ZUB_GET_SOCK_CODE 4
#define ZUB_GET_GET_BYTES 10
#define ZUB_GET_GET_TOTAL 11
#define ZUB_GET_PUT_BYTES 12
#define ZUB_GET_PUT_TOTAL 13
#define ZUB_GET_CTRL_SOCK 14
#define ZUB_GET_CTRL_STATE 15
#define ZUB_GET_VERSION 20
#define ZUB_GET_BUILD 21
#define ZUB_GET_EMPTY_POLLS 25
#define ZUB_GET_PORT_NIBBLE 2000

/* ---- zubSetString / zubGetString numbers ----------------------------- */
#define ZUB_STR_OPEN_LOG 20
#define ZUB_STR_LOG_TEXT 21
#define ZUB_STR_REPLY 18
#define ZUB_STR_SERVER_IP 19
#define ZUB_STR_LINE_COUNT 22
#define ZUB_STR_LOCAL_IP 23
#define ZUB_STR_ERROR_TEXT 24

/* ---- zubGetList kinds ------------------------------------------------ */
#define ZUB_LIST 0
#define ZUB_NLST 1
#define ZUB_LIST_ARG 2
#define ZUB_NLST_ARG 3

/* ---- library and channels -------------------------------------------- */
ZUB_EXPORT int32_t ZUB_CALL zubAttach(int32_t channels, int32_t reserved);
/* Closes every channel's log, local file and sockets and frees the
 * channels: 1, or ZUB_E_BUSY while a call on a channel is in progress. */
ZUB_EXPORT int32_t ZUB_CALL zubRelease(void);

/* ---- stepping --------------------------------------------------------- */
ZUB_EXPORT int32_t ZUB_CALL zubDriver(int32_t channel);

/* ---- settings, queries and texts ------------------------------------- */
ZUB_EXPORT int32_t ZUB_CALL zubSetInteger(int32_t channel, uint32_t number, uint32_t value);
ZUB_EXPORT int32_t ZUB_CALL zubGetInteger(int32_t channel, int32_t number);
ZUB_EXPORT int32_t ZUB_CALL zubSetString(int32_t channel, int32_t number, const char *text);
ZUB_EXPORT int32_t ZUB_CALL zubGetString(int32_t channel, int32_t number, char *buffer, int32_t size);
ZUB_EXPORT int32_t ZUB_CALL zubErrorText(int32_t channel, int32_t code, char *buffer, int32_t size);

/* ---- session ---------------------------------------------------------- */
ZUB_EXPORT int32_t ZUB_CALL zubConnect(int32_t channel, const char *server, const char *user,
                                       const char *password);
ZUB_EXPORT int32_t ZUB_CALL zubClose(int32_t channel);
ZUB_EXPORT int32_t ZUB_CALL zubHello(int32_t channel);
ZUB_EXPORT int32_t ZUB_CALL zubCommand(int32_t channel, const char *command);
ZUB_EXPORT int32_t ZUB_CALL zubAbort(int32_t channel);
ZUB_EXPORT int32_t ZUB_CALL zubDebug(int32_t channel, int32_t a, int32_t b, int32_t c);

/* ---- transfers -------------------------------------------------------- */
ZUB_EXPORT int32_t ZUB_CALL zubGetFile(int32_t channel, const char *name);
ZUB_EXPORT int32_t ZUB_CALL zubPutFile(int32_t channel, const char *name);
ZUB_EXPORT int32_t ZUB_CALL zubGetList(int32_t channel, int32_t kind, char *buffer, int32_t size);
ZUB_EXPORT int32_t ZUB_CALL zubSetMode(int32_t channel, int32_t mode);

/* ---- directories ------------------------------------------------------ */
ZUB_EXPORT int32_t ZUB_CALL zubSetServerDir(int32_t channel, const char *dir);
ZUB_EXPORT int32_t ZUB_CALL zubGetServerDir(int32_t channel, char *buffer, int32_t size);
ZUB_EXPORT int32_t ZUB_CALL zubDelFile(int32_t channel, const char *name);
ZUB_EXPORT int32_t ZUB_CALL zubMakeServerDir(int32_t channel, const char *dir);
ZUB_EXPORT int32_t ZUB_CALL zubDelServerDir(int32_t channel, const char *dir);
ZUB_EXPORT int32_t ZUB_CALL zubSetLocalDir(int32_t channel, const char *dir);
ZUB_EXPORT int32_t ZUB_CALL zubGetLocalDir(int32_t channel, char *buffer, int32_t size);

/* ---- list utilities (no channel, no attach needed) -------------------- */
ZUB_EXPORT int32_t ZUB_CALL zubMatchFile(const char *buffer, int32_t offset, char *line,
                                         int32_t lineSize, const char *pattern, int32_t exact);
ZUB_EXPORT int32_t ZUB_CALL zubExtract(const char *text, int32_t lineNo, int32_t fieldNo,
                                       char *dest, int32_t destSize);
ZUB_EXPORT int32_t ZUB_CALL zubFileLength(const char *text, int32_t firstField, int32_t lastField);

#ifdef __cplusplus
}
#endif

#endif /* ZUB32_H */
