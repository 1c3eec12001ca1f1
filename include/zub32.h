/*
 * zub32.h - public interface of the zub32 FTP client engine.
 *
 * Plain C, no operating-system header. Every export returns a signed
 * 32-bit result code: > 0 success, progress or a count; 0 done or idle;
 * < 0 an error (library codes -1..-33, encrypted sessions -34..-40,
 * socket errors negated
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
#define ZUB_OK 0  /* done, or idle */
#define ZUB_E_SOCKET_CLOSED (-1)  /* "Socket has been closed." */
#define ZUB_E_ALREADY_ATTACHED (-3)  /* zubAttach: already attached, or another attach/release runs */
#define ZUB_E_BAD_STATUS_FLAG (-4)  /* "Bad status flag passed to zubStatus." (not returned) */
#define ZUB_E_NO_MEMORY (-5)  /* a channel could not be allocated */
#define ZUB_E_CANNOT_COMPLY (-6)  /* text with CR/LF or too long for its field; bad local dir */
#define ZUB_E_CANNOT_CREATE_SOCKET (-7)  /* no socket could be created */
#define ZUB_E_CHANNEL_RANGE (-8)  /* channel number not attached, or more than 32 */
#define ZUB_E_CONNECT_ERROR (-9)  /* connection lost or in error (text adds the reply) */
#define ZUB_E_INVALID_SOCKET (-10)  /* "Invalid socket." */
#define ZUB_E_WINSOCK_BLOCKING (-11)  /* "WINSOCK is currently blocking." */
#define ZUB_E_NO_HOST_NAME (-12)  /* the local host name is not known */
#define ZUB_E_NO_SERVER (-13)  /* "Cannot find FTP server." */
#define ZUB_E_NO_SOCKADDR (-14)  /* "No available sockaddr structures." */
#define ZUB_E_NOT_ATTACHED (-15)  /* zubAttach has not been called (or a release runs) */
#define ZUB_E_ILLEGAL_SERVER_NAME (-16)  /* "Illegal chars in server name." */
#define ZUB_E_NO_PASSWORD (-17)  /* zubConnect: password is NULL */
#define ZUB_E_SERVER_ERROR (-18)  /* the server refused (4xx/5xx); text adds its reply */
#define ZUB_E_NO_SERVER_NAME (-19)  /* zubConnect: server is NULL */
#define ZUB_E_READ_ERROR (-20)  /* a receive failed */
#define ZUB_E_WRITE_ERROR (-21)  /* a send failed */
#define ZUB_E_TIMEOUT (-22)  /* an operation's deadline passed */
#define ZUB_E_NO_USER (-23)  /* zubConnect: user is NULL */
#define ZUB_E_BAD_MODE (-24)  /* zubSetMode: neither 'A' nor 'B' */
#define ZUB_E_LISTEN (-25)  /* active mode: the listening socket failed */
#define ZUB_E_NO_LISTEN_RESPONSE (-26)  /* active mode: nothing on the listening socket */
#define ZUB_E_ACCEPT_TIMEOUT (-27)  /* active mode: the server never connected */
#define ZUB_E_CANNOT_OPEN_FILE (-28)  /* the local file cannot be opened or created */
#define ZUB_E_FILE_WRITE (-29)  /* a download could not write the local file (no text) */
#define ZUB_E_NO_PASV_PORT (-30)  /* passive mode: no port in the PASV reply */
#define ZUB_E_NOT_COMPLETED (-31)  /* the transfer or listing did not complete */
#define ZUB_E_LIST_OVERFLOW (-32)  /* zubGetList: the listing did not fit the buffer */
/* zubRelease: a call that uses a channel is still running on another
 * thread (or another attach or release is); nothing was released. Call
 * zubRelease again once that call has returned. Calls that start while a
 * release runs return ZUB_E_NOT_ATTACHED. */
#define ZUB_E_BUSY (-33)
/* Encrypted sessions (ZUB_SET_SECURITY). None of them ever falls back to
 * clear text, and none is returned before USER or PASS would be sent. */
#define ZUB_E_TLS_REFUSED (-34)  /* the server refused AUTH TLS, PBSZ or PROT */
#define ZUB_E_TLS_HANDSHAKE (-35)  /* the TLS handshake failed (the peer did not speak TLS, say) */
#define ZUB_E_TLS_UNTRUSTED (-36)  /* the certificate is not from a trusted authority */
#define ZUB_E_TLS_NAME (-37)  /* the certificate does not name the server */
#define ZUB_E_TLS_EXPIRED (-38)  /* the certificate has expired or is not valid yet */
#define ZUB_E_TLS_UNAVAILABLE (-39)  /* this build has no TLS */
#define ZUB_E_TLS_BROKEN (-40)  /* an established TLS connection failed (not TLS, or cut) */
#define ZUB_E_EPSV_REFUSED (-41)  /* an IPv6 session's server refused EPSV */
#define ZUB_E_EPRT_REFUSED (-42)  /* an IPv6 session's server refused EPRT */
/* zubDriver: the channel is pacing or waiting; call again. */
#define ZUB_PACING 9999

/* ---- zubSetInteger numbers (times in milliseconds) ------------------- */
#define ZUB_SET_CONNECT_WAIT 1  /* library: connect deadline, 60000 */
#define ZUB_SET_RESPONSE_DELAY 2  /* library: pause before a reply is read, 0 */
#define ZUB_SET_RESPONSE_WAIT 3  /* library: reply deadline, 60000 */
#define ZUB_SET_BLOCK_DELAY 4  /* library: pause between upload blocks, 0 */
#define ZUB_SET_BLOCK_WAIT 5  /* library: block deadline, 60000 */
#define ZUB_SET_AUTO_CALL 6  /* channel: ZUB_AUTO_CALL_ON (default) / _OFF */
#define ZUB_SET_SLEEP_TIME 8  /* library: pause of a ZUB_PACING step, 10 */
#define ZUB_SET_SERVER_PORT 9  /* channel: control port, 21 */
#define ZUB_SET_END_DELAY 10  /* library: pause after the last upload block, 50 */
#define ZUB_SET_BLOCK_SIZE 11  /* library: upload block, 1024 (128..8192) */
#define ZUB_SET_PASSIVE 12  /* channel: ZUB_ACTIVE (default) / ZUB_PASSIVE */
#define ZUB_SET_DATA_WAIT 13  /* library: data connection deadline, 25000 */
#define ZUB_SET_HOST_INDEX 14  /* library: which resolved address, 0 (0..7) */
#define ZUB_SET_RESUME 15  /* channel: next transfer uses REST / APPE, 0 */
#define ZUB_SET_DATA_PORT 16  /* channel: first active data port (value - 1) */
#define ZUB_SET_NAME_SEPARATOR 17  /* library: splits "a:b" names, ':' (0 = none) */
#define ZUB_SET_RESTART_OFFSET 18  /* channel: REST offset of the next download, 0 */
#define ZUB_SET_APPEND_OFFSET 19  /* channel: start in the local file, 0 */
#define ZUB_SET_REPLY_LINE_WAIT 22  /* library: wait per further reply line, 5000 */
#define ZUB_SET_BLOCKING_CONNECT 23  /* channel: 1 blocking connect (default), 0 not */
/* For many small transfers: the fixed pauses of a close and of the login.
 * The defaults keep them as they are; 0 removes them. */
#define ZUB_SET_LINGER_LIMIT 24  /* library: longest pause after a socket close, 32767 */
#define ZUB_SET_PASS_DELAY 25  /* library: pause before the PASS reply is read, 200 */
#define ZUB_SET_PASS_SLEEP 26  /* library: added to SleepTime when it is read, 100 */
/* Encrypted sessions and EPSV. With all three at their defaults nothing
 * changes, on the wire or in the log. */
#define ZUB_SET_SECURITY 30  /* channel: ZUB_TLS_NONE (default), _EXPLICIT, _IMPLICIT */
#define ZUB_SET_VERIFY 31  /* channel: 1 check the server's certificate (default), 0 do not */
#define ZUB_SET_EPSV 32  /* channel: 0 PASV (default), 1 EPSV first, PASV after a 5xx refusal */
/* Large transfers: 1 moves binary file data in large pieces (on Linux from
 * socket to file and file to socket without a copy), 0 the original
 * blocks. Turning it on sets its buffers aside (ZUB_E_NO_MEMORY when they
 * cannot be had); results, counters and log lines stay the same. */
#define ZUB_SET_BULK 33  /* channel: 0 original blocks (default), 1 large pieces */
#define ZUB_SET_ADDRESS_FAMILY 35  /* channel: 0 IPv4 only (default), 1 any, 2 IPv6 only */
#define ZUB_SET_ADDRESS_WAIT 36  /* library: ms one address of a connect is given (families 1, 2), 2000 */
#define ZUB_SET_MLSD 34  /* channel: 1 kinds ZUB_MLSD and ZUB_MLSD_ARG send MLSD; 0 (default) they send LIST <arg> */

/* zubSetInteger values */
#define ZUB_ACTIVE 0         /* ZUB_SET_PASSIVE: active mode (default) */
#define ZUB_PASSIVE 1        /* ZUB_SET_PASSIVE: passive mode */
#define ZUB_AUTO_CALL_OFF 0  /* ZUB_SET_AUTO_CALL: step with zubDriver */
#define ZUB_AUTO_CALL_ON 1   /* ZUB_SET_AUTO_CALL: calls run to the end (default) */
#define ZUB_TLS_NONE 0       /* ZUB_SET_SECURITY: plain FTP (default) */
#define ZUB_TLS_EXPLICIT 1   /* ZUB_SET_SECURITY: AUTH TLS, then PBSZ 0 and PROT P */
#define ZUB_TLS_IMPLICIT 2   /* ZUB_SET_SECURITY: TLS from the first byte (port 990, say) */

/* zubSetMode letters. The default is ASCII: a binary file sent or fetched
 * in ASCII comes back changed by line-end conversion, with every call
 * returning 0. Call zubSetMode(ch, ZUB_MODE_BINARY) after connecting. */
#define ZUB_MODE_ASCII 'A'   /* TYPE A (default) */
#define ZUB_MODE_BINARY 'B'  /* TYPE I */

/* ---- zubGetInteger numbers ------------------------------------------- */
#define ZUB_GET_STEP_COUNT 2  /* states run */
#define ZUB_GET_SERVER_CODE 3  /* last reply code */
#define ZUB_GET_SOCK_CODE 4  /* last socket error (negated) */
#define ZUB_GET_GET_BYTES 10  /* bytes of the last download (32-bit, wraps) */
#define ZUB_GET_GET_TOTAL 11  /* bytes of all downloads (32-bit, wraps) */
#define ZUB_GET_PUT_BYTES 12  /* bytes of the last upload (32-bit, wraps) */
#define ZUB_GET_PUT_TOTAL 13  /* bytes of all uploads (32-bit, wraps) */
#define ZUB_GET_CTRL_SOCK 14  /* control socket, 0 when none */
#define ZUB_GET_CTRL_STATE 15  /* 1 writable, 0 not, -9 in error */
#define ZUB_GET_VERSION 20  /* 0x0230: major, minor, patch */
#define ZUB_GET_BUILD 21  /* build number */
#define ZUB_GET_EMPTY_POLLS 25  /* empty data-socket polls */
#define ZUB_GET_TLS_VERSION 30  /* 0 none, 0x0303 TLS 1.2, 0x0304 TLS 1.3 */
#define ZUB_GET_TLS_VERIFIED 31  /* 1 the server's certificate was checked and passed */
#define ZUB_GET_TLS_BUILT 32  /* 1 this build has TLS, 0 not */
#define ZUB_GET_ADDRESS_FAMILY 34  /* the control connection's family: 4, 6, 0 none */
#define ZUB_GET_LIST_FORMAT 33  /* the last listing: 1 MLSD lines of facts, 0 LIST or NLST text */
#define ZUB_GET_PORT_NIBBLE 2000  /* places the channel's data ports */

/* ---- zubSetString / zubGetString numbers ----------------------------- */
#define ZUB_STR_OPEN_LOG 20  /* set: create the channel log at this path */
#define ZUB_STR_LOG_TEXT 21  /* set: write a line to the channel log */
#define ZUB_STR_REPLY 18  /* get: the last reply */
#define ZUB_STR_SERVER_IP 19  /* get: the server's dotted address (size > 16) */
#define ZUB_STR_LINE_COUNT 22  /* get: lines of the text in the buffer */
#define ZUB_STR_LOCAL_IP 23  /* get: local address of the control connection */
#define ZUB_STR_ERROR_TEXT 24  /* get: the channel's last error text */
#define ZUB_STR_CA_FILE 30  /* set: PEM file of trusted authorities ("" or NULL: the system's) */
#define ZUB_STR_TLS_CIPHER 31  /* get: the control connection's TLS cipher, "" when none */
#define ZUB_STR_SERVER_DIR 32  /* get: the directory of the session's last PWD, "" before one */
#define ZUB_STR_SERVER_ADDRESS 33  /* get: the server's address, either family ("::1"), "" before a connect */
#define ZUB_STR_LOCAL_ADDRESS 34  /* get: the control connection's local address, either family */

/* ---- zubGetList kinds ------------------------------------------------ */
#define ZUB_LIST 0  /* LIST */
#define ZUB_NLST 1  /* NLST */
#define ZUB_LIST_ARG 2  /* LIST <argument placed in the buffer> */
#define ZUB_NLST_ARG 3  /* NLST <argument placed in the buffer> */
/* With ZUB_SET_MLSD at 1 (else these kinds send LIST <argument>). A server
 * that refuses MLSD as unknown (500, 502, 504) is asked with LIST, now and
 * for the rest of the session; ZUB_GET_LIST_FORMAT tells which came. */
#define ZUB_MLSD 4  /* MLSD */
#define ZUB_MLSD_ARG 5  /* MLSD <argument placed in the buffer> */

/* ---- library and channels -------------------------------------------- */
/* Attaches 1..32 channels (reserved: 0): 1, or -3, -8, -5. */
ZUB_EXPORT int32_t ZUB_CALL zubAttach(int32_t channels, int32_t reserved);
/* Closes every channel's log, local file and sockets and frees the
 * channels: 1, or ZUB_E_BUSY while a call on a channel is in progress. */
ZUB_EXPORT int32_t ZUB_CALL zubRelease(void);

/* ---- stepping --------------------------------------------------------- */
/* Runs one step: ZUB_PACING or the next state number (call again),
 * 0 done, < 0 failed. For calls made with AUTO_CALL off. */
ZUB_EXPORT int32_t ZUB_CALL zubDriver(int32_t channel);

/* ---- settings, queries and texts ------------------------------------- */
/* Stores setting `number`: the value stored, or -1 for no such setting. */
ZUB_EXPORT int32_t ZUB_CALL zubSetInteger(int32_t channel, uint32_t number, uint32_t value);
/* Query `number`: its value, or -1 for no such query. */
ZUB_EXPORT int32_t ZUB_CALL zubGetInteger(int32_t channel, int32_t number);
/* ZUB_STR_OPEN_LOG: the log handle (> 0) or -1. ZUB_STR_LOG_TEXT: the
 * log handle, 0 when no log is open. Other numbers: -1. */
ZUB_EXPORT int32_t ZUB_CALL zubSetString(int32_t channel, int32_t number, const char *text);
/* Copies text `number` into buffer (at most size characters, then a NUL:
 * the buffer holds size + 1 bytes): its length. */
ZUB_EXPORT int32_t ZUB_CALL zubGetString(int32_t channel, int32_t number, char *buffer, int32_t size);
/* The text of any result code into buffer: its length. */
ZUB_EXPORT int32_t ZUB_CALL zubErrorText(int32_t channel, int32_t code, char *buffer, int32_t size);

/* ---- session ---------------------------------------------------------- */
/* Connects to server (port: ZUB_SET_SERVER_PORT) and logs in: 0 or < 0. */
ZUB_EXPORT int32_t ZUB_CALL zubConnect(int32_t channel, const char *server, const char *user,
                                       const char *password);
/* QUIT, then closes the sockets, the local file and the log. */
ZUB_EXPORT int32_t ZUB_CALL zubClose(int32_t channel);
/* NOOP: keeps the session alive. */
ZUB_EXPORT int32_t ZUB_CALL zubHello(int32_t channel);
/* Sends one raw command line; -18 when the server refuses it. */
ZUB_EXPORT int32_t ZUB_CALL zubCommand(int32_t channel, const char *command);
/* Stops the operation under way, closes the data sockets: 1. */
ZUB_EXPORT int32_t ZUB_CALL zubAbort(int32_t channel);
/* Writes a log line; nothing else: 1. */
ZUB_EXPORT int32_t ZUB_CALL zubDebug(int32_t channel, int32_t a, int32_t b, int32_t c);

/* ---- transfers -------------------------------------------------------- */
/* Downloads "remote" or "remote:local" (see ZUB_SET_NAME_SEPARATOR). */
ZUB_EXPORT int32_t ZUB_CALL zubGetFile(int32_t channel, const char *name);
/* Uploads "local" or "local:remote". */
ZUB_EXPORT int32_t ZUB_CALL zubPutFile(int32_t channel, const char *name);
/* LIST/NLST (kind ZUB_LIST..) into buffer: bytes stored, or -32. */
ZUB_EXPORT int32_t ZUB_CALL zubGetList(int32_t channel, int32_t kind, char *buffer, int32_t size);
/* ZUB_MODE_ASCII or ZUB_MODE_BINARY (TYPE A / TYPE I); -24 otherwise. */
ZUB_EXPORT int32_t ZUB_CALL zubSetMode(int32_t channel, int32_t mode);

/* ---- directories ------------------------------------------------------ */
/* CWD dir. */
ZUB_EXPORT int32_t ZUB_CALL zubSetServerDir(int32_t channel, const char *dir);
/* PWD into buffer: its length. */
ZUB_EXPORT int32_t ZUB_CALL zubGetServerDir(int32_t channel, char *buffer, int32_t size);
/* DELE name. */
ZUB_EXPORT int32_t ZUB_CALL zubDelFile(int32_t channel, const char *name);
/* MKD dir. */
ZUB_EXPORT int32_t ZUB_CALL zubMakeServerDir(int32_t channel, const char *dir);
/* RMD dir. */
ZUB_EXPORT int32_t ZUB_CALL zubDelServerDir(int32_t channel, const char *dir);
/* Directory that local names are taken in (must be writable): 0 or -6. */
ZUB_EXPORT int32_t ZUB_CALL zubSetLocalDir(int32_t channel, const char *dir);
/* The local directory into buffer: its length. */
ZUB_EXPORT int32_t ZUB_CALL zubGetLocalDir(int32_t channel, char *buffer, int32_t size);

/* ---- list utilities (no channel, no attach needed) -------------------- */
/* Next line at or after offset matching pattern (* ?): the offset
 * after it, 0 when none. */
ZUB_EXPORT int32_t ZUB_CALL zubMatchFile(const char *buffer, int32_t offset, char *line,
                                         int32_t lineSize, const char *pattern, int32_t exact);
/* Field fieldNo of line lineNo into dest: its length, 0 when none. */
ZUB_EXPORT int32_t ZUB_CALL zubExtract(const char *text, int32_t lineNo, int32_t fieldNo,
                                       char *dest, int32_t destSize);
/* First all-digit field in [firstField, lastField) of the last line, or -1. */
ZUB_EXPORT int32_t ZUB_CALL zubFileLength(const char *text, int32_t firstField, int32_t lastField);

#ifdef __cplusplus
}
#endif

#endif /* ZUB32_H */
