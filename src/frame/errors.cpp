// errors.cpp - the table of result texts and the text of a result code.
#include "frame/errors.h"

#include "frame/record.h"
#include "platform/platform.h"
#include "zub32.h"

namespace zub {

namespace {

struct ErrorRow {
    int32_t Code;
    const char *Text;
};

// Ends with the row whose code is 999. Codes without a row
// (ZUB_E_FILE_WRITE among them) have the empty text.
const ErrorRow ErrorTable[] = {
    {ZUB_E_ALREADY_ATTACHED, "Already attached."},
    {ZUB_E_BAD_STATUS_FLAG, "Bad status flag passed to zubStatus."},
    {ZUB_E_NO_MEMORY, "Cannot allocate memory."},
    {ZUB_E_CANNOT_COMPLY, "Cannot comply"},
    {ZUB_E_CANNOT_CREATE_SOCKET, "Cannot create socket."},
    {ZUB_E_CHANNEL_RANGE, "Channel out of range."},
    {ZUB_E_CONNECT_ERROR, "Error attempting to connect."},
    {ZUB_E_SOCKET_CLOSED, "Socket has been closed."},
    {ZUB_E_SERVER_ERROR, "FTP server returned error."},
    {ZUB_E_INVALID_SOCKET, "Invalid socket."},
    {ZUB_E_WINSOCK_BLOCKING, "WINSOCK is currently blocking."},
    {ZUB_E_NO_HOST_NAME, "No host name."},
    {ZUB_E_NO_SERVER, "Cannot find FTP server."},
    {ZUB_E_NO_SOCKADDR, "No available sockaddr structures."},
    {ZUB_E_NOT_ATTACHED, "Must call zubAttach first."},
    {ZUB_E_ILLEGAL_SERVER_NAME, "Illegal chars in server name."},
    {ZUB_E_NO_PASSWORD, "PASSWORD not specified."},
    {ZUB_E_NO_SERVER_NAME, "SERVER not specified."},
    {ZUB_E_TIMEOUT, "Socket timed out."},
    {ZUB_E_NO_USER, "USER name not specified."},
    {ZUB_E_BAD_MODE, "Must specify 'A' or 'B' for mode."},
    {ZUB_E_LISTEN, "Listen error."},
    {ZUB_E_NO_LISTEN_RESPONSE, "No response on listener socket."},
    {ZUB_E_ACCEPT_TIMEOUT, "Timed out waiting for accept."},
    {ZUB_E_READ_ERROR, "Socket read error."},
    {ZUB_E_WRITE_ERROR, "Socket write error."},
    {ZUB_E_CANNOT_OPEN_FILE, "Cannot open file."},
    {ZUB_E_NO_PASV_PORT, "Cannot find PASV port."},
    {ZUB_E_NOT_COMPLETED, "LIST/GET/PUT not completed."},
    {ZUB_E_LIST_OVERFLOW, "List buffer has overflowed."},
    {ZUB_E_BUSY, "A call is in progress on a channel."},
    {ZUB_E_TLS_REFUSED, "Server refused TLS (AUTH TLS, PBSZ or PROT)."},
    {ZUB_E_TLS_HANDSHAKE, "TLS handshake failed."},
    {ZUB_E_TLS_UNTRUSTED, "Server certificate is not trusted."},
    {ZUB_E_TLS_NAME, "Server certificate does not match the server name."},
    {ZUB_E_TLS_EXPIRED, "Server certificate has expired or is not yet valid."},
    {ZUB_E_TLS_UNAVAILABLE, "TLS is not available in this build."},
    {ZUB_E_TLS_BROKEN, "TLS connection failed."},
    {ZUB_E_EPSV_REFUSED, "The server refused EPSV on an IPv6 session."},
    {ZUB_E_EPRT_REFUSED, "The server refused EPRT on an IPv6 session."},
    {-ZP_WSAEINTR, "Interrupted system call."},
    {-ZP_WSAEBADF, "Bad file number."},
    {-ZP_WSAEACCES, "Access denied."},
    {-ZP_WSAEFAULT, "Bad address."},
    {-ZP_WSAEINVAL, "Invalid argument."},
    {-ZP_WSAEMFILE, "Too many open files."},
    {-ZP_WSAEWOULDBLOCK, "Would block socket in non-blocking mode."},
    {-ZP_WSAEINPROGRESS, "Blocking call already in progress."},
    {-ZP_WSAEALREADY, "Operation already completed."},
    {-ZP_WSAENOTSOCK, "Not a valid socket descriptor."},
    {-ZP_WSAEDESTADDRREQ, "Destination address required."},
    {-ZP_WSAEMSGSIZE, "Message too big for buffer."},
    {-ZP_WSAEPROTOTYPE, "Protocol mismatch."},
    {-ZP_WSAENOPROTOOPT, "Protocol option invalid."},
    {-ZP_WSAEPROTONOSUPPORT, "Protocol not supported."},
    {-ZP_WSAESOCKTNOSUPPORT, "Socket type not supported."},
    {-ZP_WSAEOPNOTSUPP, "Socket operation not supported."},
    {-ZP_WSAEAFNOSUPPORT, "Socket address family not supported."},
    {-ZP_WSAEADDRINUSE, "Socket address already in use."},
    {-ZP_WSAEADDRNOTAVAIL, "Socket address not available."},
    {-ZP_WSAENETDOWN, "Network error."},
    {-ZP_WSAENETUNREACH, "Cannot reach network."},
    {-ZP_WSAENETRESET, "Connection dropped."},
    {-ZP_WSAECONNABORTED, "Connection timed-out or aborted."},
    {-ZP_WSAECONNRESET, "Connection reset by remote host."},
    {-ZP_WSAENOBUFS, "Out of buffer space."},
    {-ZP_WSAEISCONN, "Socket already connected."},
    {-ZP_WSAENOTCONN, "Socket not connected."},
    {-ZP_WSAESHUTDOWN, "Socket functionality shut down."},
    {-ZP_WSAETIMEDOUT, "Timed-out attempting to connect."},
    {-ZP_WSAECONNREFUSED, "Connection refused by remote host."},
    {-ZP_WSASYSNOTREADY, "Network not yet ready."},
    {-ZP_WSAVERNOTSUPPORTED, "WINSOCK doesn't support requested version."},
    {-ZP_WSANOTINITIALISED, "Sockets not initialized. Call WSAStartup."},
    {-ZP_WSAHOST_NOT_FOUND, "Host does not exist."},
    {-ZP_WSATRY_AGAIN, "Host not found. Try again."},
    {-ZP_WSANO_RECOVERY, "Non-recoverable error has occurred."},
    {-ZP_WSANO_DATA, "No data is available."},
    {-ZP_WSAEHOSTDOWN, "Host is down"},
    {-ZP_WSAEHOSTUNREACH, "No route to host"},
    {999, nullptr},
};

}  // namespace

const char *ErrorTextOf(int32_t code) {
    for (const ErrorRow *row = ErrorTable; row->Code != 999; ++row)
        if (row->Code == code) return row->Text;
    return nullptr;
}

int32_t FormatErrorText(ChannelRecord *rec, int32_t code, char *buffer, int32_t size) {
    if (!buffer || size < 1) return 0;
    const char *text = ErrorTextOf(code);
    int32_t n = 0;
    if (text) {
        while (text[n] && n < size - 1) {
            buffer[n] = text[n];
            ++n;
        }
        // For a refusal or a failed connect the server's own words say most.
        if ((code == ZUB_E_SERVER_ERROR || code == ZUB_E_CONNECT_ERROR || code == ZUB_E_TLS_REFUSED) && n < size - 1) {
            buffer[n++] = ' ';
            for (const char *p = rec->ReplyBuf; p && *p && n < size - 1; ++p) buffer[n++] = *p;
        }
    }
    buffer[n] = 0;
    return n;
}

}  // namespace zub
