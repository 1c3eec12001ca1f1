"""zub32.py - Python access to the zub32 FTP client engine through ctypes.

Standard library only. The shared library is taken from the environment
variable ZUB32_LIBRARY, else from a build directory of this source tree
(build/), else from the system's library path.

    import zub32
    lib = zub32.Library()          # attaches the channels
    ch = lib.channel(0)
    ch.connect("127.0.0.1", "user", "secret", port=2121)
    ch.set_mode(zub32.MODE_BINARY)  # the default ASCII type changes binary files
    ch.set_passive(True)
    ch.put_file("local.bin", "remote.bin")
    print(ch.listing())
    ch.close()
    lib.release()

Every call whose result is negative raises Zub32Error(code, text); for a
refusal by the server (-18) the text ends with the server's reply, which is
also in the error's `reply` attribute.
"""
import ctypes
import ctypes.util
import os
import sys

# Result codes the caller most often tests for.
E_CANNOT_COMPLY = -6
E_SERVER_ERROR = -18
E_TIMEOUT = -22
E_BUSY = -33
PACING = 9999

# Setting numbers (zubSetInteger) and query numbers (zubGetInteger).
SET_AUTO_CALL = 6
SET_SERVER_PORT = 9
SET_PASSIVE = 12
SET_NAME_SEPARATOR = 17
GET_SERVER_CODE = 3
GET_GET_BYTES = 10
GET_PUT_BYTES = 12

# zubGetList kinds.
LIST = 0
NLST = 1
LIST_ARG = 2
NLST_ARG = 3

MODE_ASCII = "A"
MODE_BINARY = "B"

_STR_OPEN_LOG = 20
_STR_REPLY = 18


class Zub32Error(Exception):
    """A negative result: `code` is the result code, `text` its text."""

    def __init__(self, code, text, reply=""):
        super().__init__("%d: %s" % (code, text))
        self.code = code
        self.text = text
        self.reply = reply


def _find_library():
    path = os.environ.get("ZUB32_LIBRARY")
    if path:
        return path
    here = os.path.dirname(os.path.abspath(__file__))
    build = os.path.join(here, os.pardir, os.pardir, "build")
    for name in ("libzub32.so", "ZUB32.dll", "libzub32.dylib"):
        candidate = os.path.join(build, name)
        if os.path.exists(candidate):
            return candidate
    found = ctypes.util.find_library("zub32") or ctypes.util.find_library("ZUB32")
    if not found:
        raise OSError("zub32 shared library not found; set ZUB32_LIBRARY")
    return found


def _bytes(text):
    if isinstance(text, bytes):
        return text
    return os.fsencode(text)


def _declare(dll):
    i32, u32, cp, vp = ctypes.c_int32, ctypes.c_uint32, ctypes.c_char_p, ctypes.c_void_p
    table = {
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
    """The loaded library with its channels attached (1 to 32)."""

    def __init__(self, path=None, channels=1):
        path = path or _find_library()
        # The 32-bit Windows DLL uses the standard Windows calling convention.
        if sys.platform == "win32" and ctypes.sizeof(ctypes.c_void_p) == 4:
            self.dll = ctypes.WinDLL(path)
        else:
            self.dll = ctypes.CDLL(path)
        _declare(self.dll)
        # Setting 17 is library-wide; remembered here to join names.
        self.separator = ":"
        self.attach(channels)

    def attach(self, channels=1):
        self._check(0, self.dll.zubAttach(channels, 0))

    def release(self):
        """Frees the channels; raises with E_BUSY while a call is running."""
        self._check(0, self.dll.zubRelease())

    def channel(self, number=0):
        return Channel(self, number)

    def error_text(self, code, channel=0):
        buf = ctypes.create_string_buffer(512)
        self.dll.zubErrorText(channel, code, buf, len(buf))
        return buf.value.decode("utf-8", "replace")

    def _check(self, channel, result):
        if result >= 0:
            return result
        reply = ""
        if result == E_SERVER_ERROR:
            buf = ctypes.create_string_buffer(1024)
            n = self.dll.zubGetString(channel, _STR_REPLY, buf, len(buf))
            reply = buf.raw[:max(n, 0)].decode("utf-8", "replace")
        raise Zub32Error(result, self.error_text(result, channel), reply)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.release()


class Channel:
    """One channel; each operation runs to its end (AUTO_CALL on) or, with
    AUTO_CALL off, is then stepped with step()."""

    def __init__(self, library, number):
        self.lib = library
        self.dll = library.dll
        self.number = number

    def _run(self, result):
        return self.lib._check(self.number, result)

    def _join(self, first, second):
        first = _bytes(first)
        if second is None:
            return first
        sep = self.lib.separator.encode()
        if not sep:
            raise ValueError("the name separator is off: pass one name")
        return first + sep + _bytes(second)

    # -- settings ---------------------------------------------------------
    def set_integer(self, number, value):
        r = self.dll.zubSetInteger(self.number, number, value & 0xFFFFFFFF)
        if r < 0 and r != ctypes.c_int32(value & 0xFFFFFFFF).value:
            self._run(r)
        if number == SET_NAME_SEPARATOR:
            self.lib.separator = chr(value & 0xFF) if value & 0xFF else ""
        return r

    def get_integer(self, number):
        """The raw query result (byte counters are 32-bit and may wrap)."""
        return self.dll.zubGetInteger(self.number, number)

    def settings(self, **named):
        """Sets by name: auto_call, server_port, passive, name_separator."""
        numbers = {"auto_call": SET_AUTO_CALL, "server_port": SET_SERVER_PORT,
                   "passive": SET_PASSIVE, "name_separator": SET_NAME_SEPARATOR}
        for key, value in named.items():
            self.set_integer(numbers[key], int(value))

    def set_mode(self, mode):
        return self._run(self.dll.zubSetMode(self.number, ord(mode)))

    def set_passive(self, on=True):
        return self.set_integer(SET_PASSIVE, 1 if on else 0)

    def open_log(self, path):
        return self._run(self.dll.zubSetString(self.number, _STR_OPEN_LOG, _bytes(path)))

    # -- session ----------------------------------------------------------
    def connect(self, server, user, password, port=None):
        if port is not None:
            self.set_integer(SET_SERVER_PORT, port)
        return self._run(self.dll.zubConnect(self.number, _bytes(server), _bytes(user),
                                             _bytes(password)))

    def close(self):
        return self._run(self.dll.zubClose(self.number))

    def hello(self):
        return self._run(self.dll.zubHello(self.number))

    def command(self, text):
        return self._run(self.dll.zubCommand(self.number, _bytes(text)))

    def abort(self):
        return self._run(self.dll.zubAbort(self.number))

    def step(self):
        """One zubDriver step: PACING or a state number (call again), 0 done."""
        return self._run(self.dll.zubDriver(self.number))

    def reply(self):
        buf = ctypes.create_string_buffer(1024)
        n = self.dll.zubGetString(self.number, _STR_REPLY, buf, len(buf))
        return buf.raw[:max(n, 0)].decode("utf-8", "replace")

    # -- transfers --------------------------------------------------------
    def get_file(self, remote, local=None):
        return self._run(self.dll.zubGetFile(self.number, self._join(remote, local)))

    def put_file(self, local, remote=None):
        return self._run(self.dll.zubPutFile(self.number, self._join(local, remote)))

    def listing(self, kind=LIST, argument=None, size=65536):
        buf = ctypes.create_string_buffer(size)
        if argument is not None:
            arg = _bytes(argument)
            if len(arg) >= size:
                raise ValueError("listing argument longer than the buffer")
            buf.raw = arg + b"\0"
            if kind in (LIST, NLST):
                kind += 2
        n = self._run(self.dll.zubGetList(self.number, kind, buf, size))
        return buf.raw[:n].decode("utf-8", "surrogateescape")

    # -- directories ------------------------------------------------------
    def set_server_dir(self, path):
        return self._run(self.dll.zubSetServerDir(self.number, _bytes(path)))

    def server_dir(self):
        buf = ctypes.create_string_buffer(512)
        self._run(self.dll.zubGetServerDir(self.number, buf, len(buf) - 1))
        return buf.value.decode("utf-8", "surrogateescape")

    def delete(self, name):
        return self._run(self.dll.zubDelFile(self.number, _bytes(name)))

    def mkdir(self, path):
        return self._run(self.dll.zubMakeServerDir(self.number, _bytes(path)))

    def rmdir(self, path):
        return self._run(self.dll.zubDelServerDir(self.number, _bytes(path)))

    def set_local_dir(self, path):
        return self._run(self.dll.zubSetLocalDir(self.number, _bytes(path)))

    def local_dir(self):
        buf = ctypes.create_string_buffer(512)
        self._run(self.dll.zubGetLocalDir(self.number, buf, len(buf)))
        return buf.value.decode("utf-8", "surrogateescape")
