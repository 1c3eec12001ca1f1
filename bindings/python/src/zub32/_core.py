"""The library and its channels: the raw calls, checked, and the
higher-level operations built on them (listings as lists and entries,
transfers with progress, rename, size, mtime).

Every text argument is checked before the library is called: NUL, CR or LF
raise InvalidArgument (a ValueError) and nothing is sent. Channel numbers
and integer settings are checked against their C types, so that ctypes
never cuts them short.
"""
from __future__ import annotations

import contextlib
import ctypes
import datetime as _dt
import os
import re
from typing import (Callable, Dict, Iterator, List, Optional, Sequence, Type, TypeVar, Union)

from . import _constants as C
from . import _loader, listing
from .errors import (ArgumentTypeError, ChannelRangeError, Error, InvalidArgument, LocalFileError,
                     error_class)

Text = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
Progress = Callable[[int, Optional[int]], None]

# The first listing buffer, and how far a listing that does not fit may
# grow it (doubling) before the call gives up.
LIST_BUFFER = 64 * 1024
LIST_BUFFER_MAX = 64 * 1024 * 1024
MAX_CHANNELS = 32
_U32 = 1 << 32

# Characters the library may use as the name separator (setting 17) when
# the default one occurs in a name.
_SEPARATORS = ":|*?<>\"\x01"

T = TypeVar("T")


def encode(value: Text, what: str = "text") -> bytes:
    """The bytes the library is given for a text argument; InvalidArgument
    for NUL, CR or LF (the library would cut the text at a NUL, and a line
    end would end the command)."""
    if isinstance(value, (str, os.PathLike)):
        data = os.fsencode(value)
    elif isinstance(value, (bytes, bytearray)):
        data = bytes(value)
    else:
        raise ArgumentTypeError(C.E_CANNOT_COMPLY, "%s must be str, bytes or a path, not %s"
                                % (what, type(value).__name__))
    for bad, name in ((b"\0", "NUL"), (b"\r", "CR"), (b"\n", "LF")):
        if bad in data:
            raise InvalidArgument(C.E_CANNOT_COMPLY, "%s holds a %s: %r" % (what, name, value))
    return data


def _decode(data: bytes) -> str:
    return data.decode("utf-8", "surrogateescape")


def _int32(value: object, what: str) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise ArgumentTypeError(C.E_CANNOT_COMPLY,
                                "%s must be an int, not %s" % (what, type(value).__name__))
    if not -(1 << 31) <= value < (1 << 31):
        raise InvalidArgument(C.E_CANNOT_COMPLY, "%s out of range: %d" % (what, value))
    return value


def _declare(dll: ctypes.CDLL) -> None:
    i32, u32, cp, vp = ctypes.c_int32, ctypes.c_uint32, ctypes.c_char_p, ctypes.c_void_p
    table: Dict[str, Sequence[type]] = {
        "zubAttach": (i32, i32),
        "zubRelease": (),
        "zubDriver": (i32,),
        "zubSetInteger": (i32, u32, u32),
        "zubGetInteger": (i32, i32),
        "zubSetString": (i32, i32, cp),
        "zubGetString": (i32, i32, vp, i32),
        "zubErrorText": (i32, i32, vp, i32),
        "zubConnect": (i32, cp, cp, cp),
        "zubClose": (i32,),
        "zubHello": (i32,),
        "zubCommand": (i32, cp),
        "zubAbort": (i32,),
        "zubGetFile": (i32, cp),
        "zubPutFile": (i32, cp),
        "zubGetList": (i32, i32, vp, i32),
        "zubSetMode": (i32, i32),
        "zubSetServerDir": (i32, cp),
        "zubGetServerDir": (i32, vp, i32),
        "zubDelFile": (i32, cp),
        "zubMakeServerDir": (i32, cp),
        "zubDelServerDir": (i32, cp),
        "zubSetLocalDir": (i32, cp),
        "zubGetLocalDir": (i32, vp, i32),
    }
    for name, args in table.items():
        fn = getattr(dll, name)
        fn.argtypes = list(args)
        fn.restype = i32


class Library:
    """The loaded library with `channels` channels attached (1 to 32).

    `path` names the library file; without it the search of the package
    docstring is used."""

    def __init__(self, path: Optional[str] = None, channels: int = 1) -> None:
        self.dll = _loader.load(path)
        self.path: str = getattr(self.dll, "zub32_path", path or "")
        _declare(self.dll)
        # Setting 17 is library-wide; remembered here to join names.
        self.separator = ":"
        self.channels = 0
        self.attach(channels)

    def attach(self, channels: int = 1) -> None:
        if isinstance(channels, bool) or not isinstance(channels, int) \
                or not 1 <= channels <= MAX_CHANNELS:
            raise InvalidArgument(C.E_CHANNEL_RANGE, "channels must be an int from 1 to %d: %r"
                                  % (MAX_CHANNELS, channels))
        self._check(0, self.dll.zubAttach(channels, 0))
        self.channels = channels

    def release(self) -> None:
        """Frees the channels; raises with E_BUSY while a call is running."""
        self._check(0, self.dll.zubRelease())
        self.channels = 0

    def channel(self, number: int = 0) -> "Channel":
        return Channel(self, number)

    def error_text(self, code: int, channel: int = 0) -> str:
        buf = ctypes.create_string_buffer(512)
        self.dll.zubErrorText(channel, _int32(code, "code"), buf, len(buf) - 1)
        return _decode(buf.value)

    def _check(self, channel: int, result: int) -> int:
        if result >= 0:
            return result
        reply = ""
        if result == C.E_SERVER_ERROR:
            buf = ctypes.create_string_buffer(1024)
            n = self.dll.zubGetString(channel, C.STR_REPLY, buf, len(buf) - 1)
            reply = _decode(buf.raw[:max(n, 0)])
        raise error_class(result)(result, self.error_text(result, channel), reply)

    def __enter__(self) -> "Library":
        return self

    def __exit__(self, *exc: object) -> None:
        self.release()


class Channel:
    """One channel. Each operation runs to its end (AUTO_CALL on, the
    default) or, with AUTO_CALL off, is then stepped with step(). The
    higher-level methods (nlst, list, entries, get, put, rename, size,
    mtime, quote) need AUTO_CALL on, and turn it on for their duration.

    As a context manager the channel's session is closed at the end; a
    channel made by zub32.connect() also gives its channel back."""

    def __init__(self, library: Library, number: int) -> None:
        if isinstance(number, bool) or not isinstance(number, int):
            raise ArgumentTypeError(C.E_CHANNEL_RANGE, "channel number must be an int, not %s"
                                    % type(number).__name__)
        if not 0 <= number < min(library.channels, MAX_CHANNELS):
            raise ChannelRangeError(C.E_CHANNEL_RANGE, "channel %d is not attached (0 .. %d)" % (
                number, library.channels - 1))
        self.lib = library
        self.dll = library.dll
        self.number = number
        self._auto_call = True
        self._mlsd: Optional[bool] = None   # None: setting 34 not sent yet
        self.use_mlsd = True
        self._on_close: Optional[Callable[[], None]] = None

    def _run(self, result: int) -> int:
        return self.lib._check(self.number, result)

    def _join(self, first: Text, second: Optional[Text], what: str = "name") -> bytes:
        one = encode(first, what)
        if second is None:
            return one
        two = encode(second, what)
        sep = self.lib.separator.encode()
        if not sep:
            raise InvalidArgument(C.E_CANNOT_COMPLY, "the name separator is off: pass one name")
        return one + sep + two

    # -- settings ---------------------------------------------------------
    def set_integer(self, number: int, value: int) -> int:
        """Stores setting `number` (0 .. 2**32-1) as `value` (an unsigned or
        signed 32-bit value); returns the value stored."""
        if isinstance(number, bool) or not isinstance(number, int) or not 0 <= number < _U32:
            raise InvalidArgument(C.E_CANNOT_COMPLY, "setting number out of range: %r" % (number,))
        if isinstance(value, bool):
            value = int(value)
        if not isinstance(value, int) or not -(1 << 31) <= value < _U32:
            raise InvalidArgument(C.E_CANNOT_COMPLY,
                                  "setting %d: value does not fit 32 bits: %r" % (number, value))
        raw = value & 0xFFFFFFFF
        r = self.dll.zubSetInteger(self.number, number, raw)
        if r < 0 and r != ctypes.c_int32(raw).value:
            if r == -1:
                raise InvalidArgument(-1, "no such setting, or a value it refuses: setting %d = %d"
                                      % (number, value))
            self._run(r)
        if number == C.SET_NAME_SEPARATOR:
            self.lib.separator = chr(raw & 0xFF) if raw & 0xFF else ""
        elif number == C.SET_AUTO_CALL:
            self._auto_call = bool(raw & 1)
        elif number == C.SET_MLSD:
            self._mlsd = self.use_mlsd = bool(raw)
        return r

    def get_integer(self, number: int) -> int:
        """The raw query result (byte counters are 32-bit and may wrap)."""
        return self.dll.zubGetInteger(self.number, _int32(number, "query number"))

    def settings(self, **named: int) -> None:
        """Sets by name: auto_call, server_port, passive, name_separator,
        security, verify, epsv, bulk, mlsd."""
        numbers = {"auto_call": C.SET_AUTO_CALL, "server_port": C.SET_SERVER_PORT,
                   "passive": C.SET_PASSIVE, "name_separator": C.SET_NAME_SEPARATOR,
                   "security": C.SET_SECURITY, "verify": C.SET_VERIFY, "epsv": C.SET_EPSV,
                   "bulk": C.SET_BULK, "mlsd": C.SET_MLSD}
        for key, value in named.items():
            self.set_integer(numbers[key], int(value))

    def set_mode(self, mode: str) -> int:
        if not isinstance(mode, str) or len(mode) != 1:
            raise InvalidArgument(C.E_BAD_MODE, "mode must be 'A' or 'B': %r" % (mode,))
        return self._run(self.dll.zubSetMode(self.number, ord(mode)))

    def set_passive(self, on: bool = True) -> int:
        return self.set_integer(C.SET_PASSIVE, 1 if on else 0)

    def set_security(self, tls: Union[bool, str, int], cafile: Optional[Text] = None,
                     verify: bool = True) -> None:
        """TLS for the next connect: False/"none", True/"explicit" (AUTH
        TLS) or "implicit"; `cafile` a PEM file of trusted authorities (None:
        the system's); `verify` False skips the certificate check."""
        kinds = {False: C.TLS_NONE, "none": C.TLS_NONE, True: C.TLS_EXPLICIT,
                 "explicit": C.TLS_EXPLICIT, "implicit": C.TLS_IMPLICIT}
        if tls not in kinds:
            raise InvalidArgument(C.E_CANNOT_COMPLY,
                                  "tls must be False, True, 'explicit' or 'implicit': %r" % (tls,))
        self.set_integer(C.SET_SECURITY, kinds[tls])  # type: ignore[index]
        self.set_integer(C.SET_VERIFY, 1 if verify else 0)
        if cafile is not None:
            self.set_ca_file(cafile)

    def set_ca_file(self, path: Text) -> None:
        """The PEM file of trusted authorities ("" for the system's)."""
        self._run(self.dll.zubSetString(self.number, C.STR_CA_FILE, encode(path, "CA file")))

    def open_log(self, path: Text) -> int:
        r = self.dll.zubSetString(self.number, C.STR_OPEN_LOG, encode(path, "log path"))
        if r == -1:
            raise LocalFileError(-1, "cannot create the channel log %r" % (path,))
        return self._run(r)

    def log_text(self, text: Text) -> int:
        return self._run(self.dll.zubSetString(self.number, C.STR_LOG_TEXT, encode(text)))

    def get_string(self, number: int, size: int = 1024) -> str:
        buf = ctypes.create_string_buffer(size + 1)
        n = self.dll.zubGetString(self.number, _int32(number, "text number"), buf, size)
        return _decode(buf.raw[:max(min(n, size), 0)])

    # -- session ----------------------------------------------------------
    def connect(self, server: Text, user: Text, password: Text, port: Optional[int] = None) -> int:
        s, u, p = encode(server, "server"), encode(user, "user"), encode(password, "password")
        if port is not None:
            if isinstance(port, bool) or not isinstance(port, int) or not 0 < port < 65536:
                raise InvalidArgument(C.E_CANNOT_COMPLY, "port out of range: %r" % (port,))
            self.set_integer(C.SET_SERVER_PORT, port)
        return self._run(self.dll.zubConnect(self.number, s, u, p))

    def close(self) -> int:
        """QUIT and close; a channel from zub32.connect() is given back too."""
        try:
            return self._run(self.dll.zubClose(self.number))
        finally:
            done, self._on_close = self._on_close, None
            if done:
                done()

    def hello(self) -> int:
        return self._run(self.dll.zubHello(self.number))

    def command(self, text: Text) -> int:
        return self._run(self.dll.zubCommand(self.number, encode(text, "command")))

    def abort(self) -> int:
        return self._run(self.dll.zubAbort(self.number))

    def step(self) -> int:
        """One zubDriver step: PACING or a state number (call again), 0 done."""
        return self._run(self.dll.zubDriver(self.number))

    def reply(self) -> str:
        return self.get_string(C.STR_REPLY)

    def __enter__(self) -> "Channel":
        return self

    def __exit__(self, exc_type: Optional[Type[BaseException]], *rest: object) -> None:
        try:
            self.close()
        except Error:
            # The session is closed either way; an exception already on its
            # way out is the one worth seeing.
            if exc_type is None:
                raise

    # -- transfers --------------------------------------------------------
    def get_file(self, remote: Text, local: Optional[Text] = None) -> int:
        return self._run(self.dll.zubGetFile(self.number, self._join(remote, local)))

    def put_file(self, local: Text, remote: Optional[Text] = None) -> int:
        return self._run(self.dll.zubPutFile(self.number, self._join(local, remote)))

    def listing(self, kind: int = C.LIST, argument: Optional[Text] = None,
                size: int = LIST_BUFFER) -> str:
        """The listing as the server sent it (CR LF line ends)."""
        buf = ctypes.create_string_buffer(size)
        if argument is not None:
            arg = encode(argument, "listing argument")
            if len(arg) >= size:
                raise InvalidArgument(C.E_CANNOT_COMPLY, "listing argument longer than the buffer")
            buf.raw = arg + b"\0"
            if kind in (C.LIST, C.NLST):
                kind += 2
            elif kind == C.MLSD:
                kind = C.MLSD_ARG
        n = self._run(self.dll.zubGetList(self.number, _int32(kind, "kind"), buf, size))
        return _decode(buf.raw[:n])

    # -- directories ------------------------------------------------------
    def set_server_dir(self, path: Text) -> int:
        return self._run(self.dll.zubSetServerDir(self.number, encode(path, "directory")))

    def server_dir(self) -> str:
        buf = ctypes.create_string_buffer(512)
        self._run(self.dll.zubGetServerDir(self.number, buf, len(buf) - 1))
        return _decode(buf.value)

    def delete(self, name: Text) -> int:
        return self._run(self.dll.zubDelFile(self.number, encode(name, "name")))

    def mkdir(self, path: Text) -> int:
        return self._run(self.dll.zubMakeServerDir(self.number, encode(path, "directory")))

    def rmdir(self, path: Text) -> int:
        return self._run(self.dll.zubDelServerDir(self.number, encode(path, "directory")))

    def set_local_dir(self, path: Text) -> int:
        return self._run(self.dll.zubSetLocalDir(self.number, encode(path, "local directory")))

    def local_dir(self) -> str:
        buf = ctypes.create_string_buffer(512)
        self._run(self.dll.zubGetLocalDir(self.number, buf, len(buf) - 1))
        return _decode(buf.value)

    cwd = set_server_dir
    pwd = server_dir

    # -- higher-level operations -----------------------------------------
    @contextlib.contextmanager
    def _auto(self, on: bool) -> Iterator[None]:
        """AUTO_CALL as `on` for the block, as it was afterwards."""
        before = self._auto_call
        if before != on:
            self.set_integer(C.SET_AUTO_CALL, int(on))
        try:
            yield
        finally:
            if before != on:
                self.set_integer(C.SET_AUTO_CALL, int(before))

    def _lines(self, kind: int, path: Optional[Text]) -> List[str]:
        arg = None if path is None else encode(path, "path")
        size = LIST_BUFFER
        if arg is not None:
            size = max(size, 2 * len(arg) + 2)
        with self._auto(True):
            while True:
                try:
                    text = self.listing(kind, arg, size)
                    break
                except Error as e:
                    if e.code != C.E_LIST_OVERFLOW or size >= LIST_BUFFER_MAX:
                        raise
                    size *= 2
        return [line for line in re.split(r"\r?\n", text) if line]

    def quote(self, raw: Text) -> str:
        """Sends a raw command line; its reply (ReplyError when refused)."""
        with self._auto(True):
            self.command(raw)
        return self.reply()

    def nlst(self, path: Optional[Text] = None) -> List[str]:
        """The names in a directory (NLST)."""
        return self._lines(C.NLST, path)

    def list(self, path: Optional[Text] = None) -> List[str]:
        """The lines of a LIST listing."""
        return self._lines(C.LIST, path)

    def __iter__(self) -> Iterator[str]:
        return iter(self.nlst())

    def _mlsd_supported(self) -> bool:
        """Sends setting 34 once (use_mlsd); False for a library without it."""
        want = bool(self.use_mlsd)
        if self._mlsd is None or self._mlsd != want:
            if self.dll.zubSetInteger(self.number, C.SET_MLSD, int(want)) < 0:
                return False
            self._mlsd = want
        return True

    def entries(self, path: Optional[Text] = None) -> Iterator[listing.Entry]:
        """The entries of a directory: MLSD facts when the server offers
        them (and use_mlsd is True), else read from its LIST text. The
        directory itself and its parent are left out."""
        arg = None if path is None else encode(path, "path")
        kind = C.MLSD if self._mlsd_supported() else C.LIST
        lines = self._lines(kind, arg)
        mlsd = kind == C.MLSD and self.get_integer(C.GET_LIST_FORMAT) == 1
        return listing.parse(iter(lines), mlsd)

    iter_entries = entries

    def _reply_value(self, command: str, name: Text) -> str:
        arg = encode(name, "name")
        self.quote(command.encode() + b" " + arg)
        reply = self.reply()
        m = re.match(r"213[ -](.*)", reply)
        if not m:
            raise Error(C.E_SERVER_ERROR, "unexpected reply to %s: %r" % (command, reply), reply)
        return m.group(1).strip()

    def size(self, name: Text) -> int:
        """SIZE: the file's size in bytes (in the current transfer type)."""
        value = self._reply_value("SIZE", name)
        if not value.isdigit():
            raise Error(C.E_SERVER_ERROR, "unexpected SIZE reply: %r" % value, value)
        return int(value)

    def mtime(self, name: Text) -> _dt.datetime:
        """MDTM: the file's modification time (aware, UTC)."""
        value = self._reply_value("MDTM", name)
        stamp = listing.parse_time(value)
        if stamp is None:
            raise Error(C.E_SERVER_ERROR, "unexpected MDTM reply: %r" % value, value)
        return stamp

    def rename(self, old: Text, new: Text) -> None:
        """RNFR old, RNTO new."""
        a, b = encode(old, "name"), encode(new, "name")
        self.quote(b"RNFR " + a)
        self.quote(b"RNTO " + b)

    def _transfer(self, call: Callable[[int, bytes], int], first: bytes, second: bytes,
                  counter: int, progress: Optional[Progress], total: Optional[int]) -> None:
        sep = self._pick(first, second)
        names = first + sep.encode() + second
        with self._separator(sep):
            if progress is None:
                with self._auto(True):
                    self._run(call(self.number, names))
                return
            with self._auto(False):
                self._step_through(call, names, counter, progress, total)

    @contextlib.contextmanager
    def _separator(self, sep: str) -> Iterator[None]:
        """Setting 17 (library-wide) as `sep` for the block."""
        current = self.lib.separator
        if sep == current:
            yield
            return
        self.set_integer(C.SET_NAME_SEPARATOR, ord(sep))
        try:
            yield
        finally:
            self.set_integer(C.SET_NAME_SEPARATOR, ord(current) if current else 0)

    def _step_through(self, call: Callable[[int, bytes], int], names: bytes, counter: int,
                      progress: Progress, total: Optional[int]) -> None:
        self._run(call(self.number, names))
        progress(0, total)
        done, last, wraps = 0, 0, 0
        try:
            while True:
                r = self.dll.zubDriver(self.number)
                if r < 0:
                    self._run(r)
                # The counters are 32-bit: a smaller value has wrapped.
                raw = self.get_integer(counter) & 0xFFFFFFFF
                wraps += raw < last
                last = raw
                now = wraps * _U32 + raw
                if now != done:
                    done = now
                    progress(done, total)
                if r == 0:
                    return
        except BaseException:
            self.dll.zubAbort(self.number)
            raise

    def get(self, remote: Text, local: Optional[Text] = None,
            progress: Optional[Progress] = None) -> str:
        """Downloads `remote` into `local` (default: its last name component
        in the current directory); returns the local path. `progress` is
        called as progress(bytes_so_far, total_or_None) while it runs."""
        r = encode(remote, "remote name")
        if local is None:
            base = r.rstrip(b"/").rsplit(b"/", 1)[-1]
            if not base or base in (b".", b".."):
                raise InvalidArgument(C.E_CANNOT_COMPLY, "no local name for %r" % (remote,))
            local = os.fsdecode(base)
        path = os.path.abspath(os.fsdecode(encode(local, "local name")))
        total: Optional[int] = None
        if progress is not None:
            try:
                total = self.size(remote)
            except Error as e:
                if e.code != C.E_SERVER_ERROR:
                    raise
        self._transfer(self.dll.zubGetFile, r, os.fsencode(path), C.GET_GET_BYTES, progress, total)
        return path

    def put(self, local: Text, remote: Optional[Text] = None,
            progress: Optional[Progress] = None) -> str:
        """Uploads `local` as `remote` (default: the local file's name);
        returns the remote name. `progress` as for get()."""
        path = os.path.abspath(os.fsdecode(encode(local, "local name")))
        r = encode(remote, "remote name") if remote is not None else \
            os.fsencode(os.path.basename(path))
        if not os.path.isfile(path):
            raise LocalFileError(C.E_CANNOT_OPEN_FILE, "no such local file: %r" % path)
        total = os.path.getsize(path) if progress is not None else None
        self._transfer(self.dll.zubPutFile, os.fsencode(path), r, C.GET_PUT_BYTES, progress, total)
        return _decode(r)

    def _pick(self, first: bytes, second: bytes) -> str:
        for sep in (self.lib.separator or ":") + _SEPARATORS:
            s = sep.encode()
            if s not in first and s not in second:
                return sep
        raise InvalidArgument(C.E_CANNOT_COMPLY, "no name separator fits these names")
