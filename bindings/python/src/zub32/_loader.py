"""Finds and loads the zub32 shared library.

Search order (the first one that loads wins):

1. the environment variable ZUB32_LIBRARY: the library's path, or a
   directory holding it; when it is set, nothing else is tried;
2. a copy bundled inside this package's directory;
3. when the package runs from the zub32 source tree: the build directories
   build-main, build, then the other build* directories in name order
   (those configured with a sanitizer are passed over: their library cannot
   be loaded into a plain interpreter);
4. the system's: ctypes.util.find_library("zub32"), the dynamic loader's own
   search (LD_LIBRARY_PATH, the loader cache), then the lib directories of
   sys.prefix, /usr/local and /usr.
"""
from __future__ import annotations

import ctypes
import ctypes.util
import os
import sys
from typing import Iterable, List, Mapping, Optional

ENV_VAR = "ZUB32_LIBRARY"

if sys.platform == "win32":
    NAMES = ("ZUB32.dll", "zub32.dll")
elif sys.platform == "darwin":
    NAMES = ("libzub32.dylib",)
else:
    NAMES = ("libzub32.so", "libzub32.so.2")

PACKAGE_DIR = os.path.dirname(os.path.abspath(__file__))

# Build directories searched first, in this order; the other build* follow.
FIRST_BUILD_DIRS = ("build-main", "build")


class LibraryNotFoundError(OSError):
    """No zub32 shared library could be found or loaded."""


def source_tree(package_dir: str = PACKAGE_DIR) -> Optional[str]:
    """The source tree's top directory when the package runs from it."""
    top = os.path.abspath(os.path.join(package_dir, os.pardir, os.pardir, os.pardir, os.pardir))
    marks = (os.path.join(top, "include", "zub32.h"),
             os.path.join(top, "bindings", "python", "pyproject.toml"))
    return top if all(os.path.isfile(m) for m in marks) else None


def _sanitized(build_dir: str) -> bool:
    try:
        with open(os.path.join(build_dir, "CMakeCache.txt"), encoding="utf-8",
                  errors="replace") as f:
            cache = f.read()
    except OSError:
        return False
    return any("%s:BOOL=ON" % opt in cache for opt in ("ZUB_SANITIZE", "ZUB_TSAN", "ZUB_FUZZ"))


def _in_dir(directory: str) -> List[str]:
    return [os.path.join(directory, n) for n in NAMES if os.path.isfile(os.path.join(directory, n))]


def _build_dirs(top: str) -> List[str]:
    try:
        others = sorted(d for d in os.listdir(top)
                        if d.startswith("build") and d not in FIRST_BUILD_DIRS)
    except OSError:
        others = []
    dirs = [os.path.join(top, d) for d in (*FIRST_BUILD_DIRS, *others)]
    return [d for d in dirs if os.path.isdir(d) and not _sanitized(d)]


def candidates(environ: Mapping[str, str] = os.environ, package_dir: str = PACKAGE_DIR,
               system: bool = True) -> List[str]:
    """The paths (or bare names for the loader's own search) tried, in order."""
    env = environ.get(ENV_VAR)
    if env:
        return _in_dir(env) if os.path.isdir(env) else [env]
    found = _in_dir(package_dir)
    top = source_tree(package_dir)
    if top:
        for d in _build_dirs(top):
            found += _in_dir(d)
    if system:
        name = ctypes.util.find_library("zub32") or ctypes.util.find_library("ZUB32")
        if name:
            found.append(name)
        found += list(NAMES)
        prefixes = [sys.prefix, "/usr/local", "/usr"] if sys.platform != "win32" else [sys.prefix]
        for prefix in prefixes:
            for lib in ("lib", "lib64", os.path.join("lib", "x86_64-linux-gnu")):
                found += _in_dir(os.path.join(prefix, lib))
    seen = set()
    return [c for c in found if not (c in seen or seen.add(c))]


def _open(path: str) -> ctypes.CDLL:
    # The 32-bit Windows DLL uses the standard Windows calling convention.
    if sys.platform == "win32" and ctypes.sizeof(ctypes.c_void_p) == 4:
        return ctypes.WinDLL(path)
    return ctypes.CDLL(path)


def load(path: Optional[str] = None) -> ctypes.CDLL:
    """Loads the library at `path`, or the first of candidates() that loads."""
    tried: Iterable[str] = [path] if path else candidates()
    errors = []
    for c in tried:
        try:
            dll = _open(c)
        except OSError as e:
            errors.append("%s (%s)" % (c, e))
            continue
        dll.zub32_path = c
        return dll
    if path:
        raise LibraryNotFoundError("cannot load the zub32 library %s" % "; ".join(errors))
    if os.environ.get(ENV_VAR):
        raise LibraryNotFoundError("%s=%s does not name a loadable zub32 library: %s" % (
            ENV_VAR, os.environ[ENV_VAR], "; ".join(errors) or "no library file there"))
    raise LibraryNotFoundError(
        "the zub32 shared library was not found; set %s to its path (for example "
        "build/libzub32.so), install it (cmake --install), or bundle it in %s. Tried: %s"
        % (ENV_VAR, PACKAGE_DIR, "; ".join(errors) or "nothing"))
