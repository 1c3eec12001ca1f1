// errors.cpp - the table of result texts and the text of a result code.
#include "frame/record.h"
#include "frame/errors.h"
#include "zub32.h"

namespace zub {

namespace {

struct ErrorRow {
    int32_t Code;
    const char *Text;
};

// Ends with the row whose code is 999. Codes without a row (-29 among them)
// have the empty text.
const ErrorRow ErrorTable[] = {
    {-3, "Already attached."},
    {-4, "Bad status flag passed to zubStatus."},
    {-5, "Cannot allocate memory."},
    {-6, "Cannot comply"},
    {-7, "Cannot create socket."},
    {-8, "Channel out of range."},
    {-9, "Error attempting to connect."},
    {-1, "Socket has been closed."},
    {-18, "FTP server returned error."},
    {-10, "Invalid socket."},
    {-11, "WINSOCK is currently blocking."},
    {-12, "No host name."},
    {-13, "Cannot find FTP server."},
    {-14, "No available sockaddr structures."},
    {-15, "Must call zubAttach first."},
    {-16, "Illegal chars in server name."},
    {-17, "PASSWORD not specified."},
    {-19, "SERVER not specified."},
    {-22, "Socket timed out."},
    {-23, "USER name not specified."},
    {-24, "Must specify 'A' or 'B' for mode."},
    {-25, "Listen error."},
    {-26, "No response on listener socket."},
    {-27, "Timed out waiting for accept."},
    {-20, "Socket read error."},
    {-21, "Socket write error."},
    {-28, "Cannot open file."},
    {-30, "Cannot find PASV port."},
    {-31, "LIST/GET/PUT not completed."},
    {-32, "List buffer has overflowed."},
    {-33, "A call is in progress on a channel."},
    {-34, "Server refused TLS (AUTH TLS, PBSZ or PROT)."},
    {-35, "TLS handshake failed."},
    {-36, "Server certificate is not trusted."},
    {-37, "Server certificate does not match the server name."},
    {-38, "Server certificate has expired or is not yet valid."},
    {-39, "TLS is not available in this build."},
    {-40, "TLS connection failed."},
    {-10004, "Interrupted system call."},
    {-10009, "Bad file number."},
    {-10013, "Access denied."},
    {-10014, "Bad address."},
    {-10022, "Invalid argument."},
    {-10024, "Too many open files."},
    {-10035, "Would block socket in non-blocking mode."},
    {-10036, "Blocking call already in progress."},
    {-10037, "Operation already completed."},
    {-10038, "Not a valid socket descriptor."},
    {-10039, "Destination address required."},
    {-10040, "Message too big for buffer."},
    {-10041, "Protocol mismatch."},
    {-10042, "Protocol option invalid."},
    {-10043, "Protocol not supported."},
    {-10044, "Socket type not supported."},
    {-10045, "Socket operation not supported."},
    {-10047, "Socket address family not supported."},
    {-10048, "Socket address already in use."},
    {-10049, "Socket address not available."},
    {-10050, "Network error."},
    {-10051, "Cannot reach network."},
    {-10052, "Connection dropped."},
    {-10053, "Connection timed-out or aborted."},
    {-10054, "Connection reset by remote host."},
    {-10055, "Out of buffer space."},
    {-10056, "Socket already connected."},
    {-10057, "Socket not connected."},
    {-10058, "Socket functionality shut down."},
    {-10060, "Timed-out attempting to connect."},
    {-10061, "Connection refused by remote host."},
    {-10091, "Network not yet ready."},
    {-10092, "WINSOCK doesn't support requested version."},
    {-10093, "Sockets not initialized. Call WSAStartup."},
    {-11001, "Host does not exist."},
    {-11002, "Host not found. Try again."},
    {-11003, "Non-recoverable error has occurred."},
    {-11004, "No data is available."},
    {-10064, "Host is down"},
    {-10065, "No route to host"},
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
