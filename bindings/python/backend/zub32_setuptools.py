"""Build backend: setuptools' own, made to work in a plain virtual
environment without the `wheel` package.

setuptools before 70.1 builds wheels with the `wheel` package's bdist_wheel
command. A virtual environment made by `python3 -m venv` has pip and
setuptools but not `wheel`, and `pip install --no-index
--no-build-isolation` cannot fetch it. The system interpreter's packages
often hold it (Debian's python3-wheel, a dependency of python3-pip): when
`wheel` cannot be imported, the base interpreter's package directories are
appended to the search path, after the environment's own, so that only
what the environment lacks is taken from there.
"""
import os
import sys


def _base_package_dirs():
    version = "python%d.%d" % sys.version_info[:2]
    for prefix in dict.fromkeys((sys.base_prefix, "/usr/local", "/usr")):
        for sub in (("lib", "python3", "dist-packages"), ("lib", version, "dist-packages"),
                    ("lib", version, "site-packages")):
            path = os.path.join(prefix, *sub)
            if os.path.isdir(os.path.join(path, "wheel")):
                yield path


try:
    import wheel  # noqa: F401
except ImportError:
    for _dir in _base_package_dirs():
        if _dir not in sys.path:
            sys.path.append(_dir)

from setuptools.build_meta import *  # noqa: E402,F401,F403
from setuptools.build_meta import __all__  # noqa: E402,F401
