"""Exceptions of the zub32 binding, one class per kind of failure.

    Error                       every failure the library reports
      ReplyError                the server refused (a 4xx/5xx reply, -18)
      NetworkError              connect, socket, resolver and TLS failures
        Timeout                 a deadline passed (also builtins.TimeoutError)
      LocalFileError            the local file cannot be opened or written
                                (also OSError)
      InvalidArgument           text the library would refuse, a bad setting
                                or query number (also ValueError)
        ChannelRangeError       a channel number that is not attached
                                (also IndexError)
        ArgumentTypeError       an argument of the wrong type (also TypeError)

Each carries `code` (the library's result code), `text` (its text) and
`reply` (the server's last reply, for refusals). NetworkError derives from
ConnectionError and LocalFileError from OSError, so ordinary `except
OSError` handlers see them too; their `errno` is the library code.
"""
from __future__ import annotations

import builtins
from typing import Dict, Type

from . import _constants as C


class Error(Exception):
    """A failure reported by zub32: `code` is the result code, `text` its
    text, `reply` the server's reply where there is one."""

    def __init__(self, code: int, text: str, reply: str = "") -> None:
        super().__init__(code, text)
        self.code = code
        self.text = text
        self.reply = reply

    def __str__(self) -> str:
        return "%d: %s" % (self.code, self.text)


#: The name of the binding's first release, kept for existing callers.
Zub32Error = Error


class ReplyError(Error):
    """The server refused the command. `reply` is its reply text and
    `reply_code` the three-digit code at its start (0 when there is none)."""

    @property
    def reply_code(self) -> int:
        head = self.reply[:3]
        return int(head) if head.isdigit() else 0


class NetworkError(Error, ConnectionError):
    """The connection could not be made, was lost, or its TLS failed."""

    def __init__(self, code: int, text: str, reply: str = "") -> None:
        Error.__init__(self, code, text, reply)
        self.errno = code
        self.strerror = text


class Timeout(NetworkError, builtins.TimeoutError):
    """A connect, reply or data deadline passed."""


class LocalFileError(Error, OSError):
    """The local file of a transfer cannot be opened, created or written."""

    def __init__(self, code: int, text: str, reply: str = "") -> None:
        Error.__init__(self, code, text, reply)
        self.errno = code
        self.strerror = text


class InvalidArgument(Error, ValueError):
    """An argument the library refuses: text with NUL, CR or LF or too long,
    an unknown setting or query, a value out of range."""


class ChannelRangeError(InvalidArgument, IndexError):
    """A channel number outside the attached channels (0 .. count - 1)."""


class ArgumentTypeError(InvalidArgument, TypeError):
    """An argument of the wrong type (a channel number that is not an int,
    a name that is neither text, bytes nor a path)."""


class TLSError(NetworkError):
    """An encrypted session failed: refused, handshake, certificate."""


_BY_CODE: Dict[int, Type[Error]] = {
    C.E_SERVER_ERROR: ReplyError,
    C.E_TIMEOUT: Timeout,
    C.E_ACCEPT_TIMEOUT: Timeout,
    C.E_CANNOT_OPEN_FILE: LocalFileError,
    C.E_FILE_WRITE: LocalFileError,
    C.E_CANNOT_COMPLY: InvalidArgument,
    C.E_CHANNEL_RANGE: ChannelRangeError,
    C.E_BAD_MODE: InvalidArgument,
    C.E_ILLEGAL_SERVER_NAME: InvalidArgument,
    C.E_NO_PASSWORD: InvalidArgument,
    C.E_NO_SERVER_NAME: InvalidArgument,
    C.E_NO_USER: InvalidArgument,
}
for _code in (C.E_SOCKET_CLOSED, C.E_CANNOT_CREATE_SOCKET, C.E_CONNECT_ERROR, C.E_INVALID_SOCKET,
              C.E_WINSOCK_BLOCKING, C.E_NO_HOST_NAME, C.E_NO_SERVER, C.E_NO_SOCKADDR,
              C.E_READ_ERROR, C.E_WRITE_ERROR, C.E_LISTEN, C.E_NO_LISTEN_RESPONSE,
              C.E_NO_PASV_PORT, C.E_NOT_COMPLETED, C.E_EPSV_REFUSED, C.E_EPRT_REFUSED):
    _BY_CODE[_code] = NetworkError
for _code in range(C.E_TLS_BROKEN, C.E_TLS_REFUSED + 1):
    _BY_CODE[_code] = TLSError

# Negated socket-layer error numbers (Windows socket numbering on every
# platform) and resolver errors.
_SOCKET_TIMEOUT = -10060


def error_class(code: int) -> Type[Error]:
    """The exception class for a negative result code."""
    if code in _BY_CODE:
        return _BY_CODE[code]
    if code == _SOCKET_TIMEOUT:
        return Timeout
    if -11004 <= code <= -10004:
        return NetworkError
    return Error
