#!/usr/bin/env bash
# deps.sh - installs the Debian packages that building and testing need and
# that are not there yet (non-interactively; as root, or through sudo).
# With --run only what the main job needs (no test libraries). Extra package
# names given as arguments are installed too.
set -euo pipefail

# The test list also has the shared libraries of the FTP daemons that
# tests/servers/ftpd_run.py unpacks from their packages without installing them.
# The Python package's install test needs python3-venv, python3-pip,
# python3-setuptools and python3-wheel (a plain venv has no wheel).
base=(cmake ninja-build g++ libssl-dev python3-pyftpdlib python3-openssl python3-cryptography libgtest-dev libgmock-dev
      libwrap0 libhiredis0.14 libmemcached11 libmemcachedutil2 libpcre2-posix3 libsodium23
      python3-venv python3-pip python3-setuptools python3-wheel)
if [ "${1:-}" = "--run" ]; then
  base=(cmake ninja-build g++ libssl-dev python3-pyftpdlib python3-openssl python3-cryptography)
  shift
fi
need=()
for pkg in "${base[@]}" "$@"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || need+=("$pkg")
done
[ "${#need[@]}" -eq 0 ] && exit 0

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
"${sudo[@]}" apt-get update
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y --no-install-recommends "${need[@]}"
