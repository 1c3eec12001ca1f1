#!/usr/bin/env bash
# run.sh [BUILD_DIR_64] - runs the Windows DLL for real: builds
# dll_client.exe, which loads ZUB32.dll by name, and runs it under wine64
# against a local FTP server (pyftpdlib on 127.0.0.1, started here). The
# 64-bit DLL is the one run; this machine cannot run 32-bit programs, so the
# 32-bit DLL is only checked statically (tools/build-windows.sh).
set -euo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=${1:-$repo/build-win64}
[ -f "$build/ZUB32.dll" ] || { echo "wine: no $build/ZUB32.dll (run tools/build-windows.sh)" >&2; exit 1; }
wine=$(command -v wine64 || command -v wine || true)
[ -n "$wine" ] || { echo "wine: wine64 is not installed (bash tools/deps.sh wine64 wine)" >&2; exit 1; }
wineserver=$(command -v wineserver || ls /usr/lib/wine/wineserver64 2>/dev/null || echo wineserver)

work=$(mktemp -d /tmp/zub-wine-XXXXXX)
source "$repo/tests/servers/serve.sh"
cleanup() {
  local rc=$?
  trap - EXIT
  # The prefix's wineserver and Wine's services end before the prefix goes.
  if [ -n "${WINEPREFIX:-}" ]; then
    "$wineserver" -k 2>/dev/null || true
  fi
  stop_server
  rm -rf "$work"
  exit "$rc"
}
trap cleanup EXIT
mkdir -p "$work/server" "$work/local" "$work/bin" "$work/prefix"

x86_64-w64-mingw32-gcc -O2 -Wall -Wextra -Werror -I"$repo/include" \
  "$repo/tests/wine/dll_client.c" -o "$work/bin/dll_client.exe"
cp "$build/ZUB32.dll" "$work/bin/"

start_server /usr/bin/python3 "$repo/tests/servers/pyftpd_run.py" \
  --root "$work/server" --user user --password secret --log "$work/server.log"
port=$server_port

# Wine sees the Linux file system as drive Z:.
export WINEPREFIX="$work/prefix" WINEDEBUG=-all
"$wine" wineboot --init >/dev/null 2>&1 || true
windir="Z:$(echo "$work/local" | tr / '\\')"
timeout 300 "$wine" "$work/bin/dll_client.exe" "$port" user secret "$windir"
echo "wine: ZUB32.dll (64-bit) ran a whole session in both modes"
