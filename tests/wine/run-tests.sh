#!/usr/bin/env bash
# run-tests.sh [BUILD_DIR] - runs the GoogleTest suites of the Windows build
# (zub32_tests.exe, the Win32 backend) under wine64.
#
# The build directory is configured with the POSIX-thread MinGW toolchain
# and the tests on, e.g.
#   cmake -S . -B build-wine -G Ninja -DZUB_TESTS=ON \
#         -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64-posix.cmake
#   cmake --build build-wine --target zub32_tests
# (done here when BUILD_DIR has no zub32_tests.exe yet). The pyftpdlib
# servers run on the Linux side: the broker started here starts one for
# each test that asks (tests/servers/pyftpd_broker.py). Extra arguments
# after BUILD_DIR go to the test program (e.g. --gtest_filter=...).
# Prints GoogleTest's summary; exits non-zero when a test failed.
set -euo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=${1:-$repo/build-wine}
shift || true
wine=$(command -v wine64 || ls /usr/lib/wine/wine64 2>/dev/null || command -v wine || true)
[ -n "$wine" ] || { echo "wine: wine64 is not installed (bash tools/deps.sh wine64 wine libgnutls30)" >&2; exit 1; }
wineserver=$(command -v wineserver || ls /usr/lib/wine/wineserver64 2>/dev/null || echo wineserver)

if [ ! -f "$build/zub32_tests.exe" ]; then
  cmake -S "$repo" -B "$build" -G Ninja -DZUB_TESTS=ON \
    -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-x86_64-posix.cmake"
  cmake --build "$build" -j2 --target zub32_tests
fi

work=$(mktemp -d /tmp/zub-wine-tests-XXXXXX)
source "$repo/tests/servers/serve.sh"
cleanup() {
  local rc=$?
  trap - EXIT
  # Whatever still runs in our prefix (the test program after a timeout,
  # Wine's services) ends with its wineserver.
  if [ -n "${WINEPREFIX:-}" ]; then
    "$wineserver" -k 2>/dev/null || true
  fi
  stop_server
  rm -rf "$work"
  exit "$rc"
}
trap cleanup EXIT
mkdir -p "$work/prefix"

# The FTP daemons the broker runs for tests that ask for one (ftpd_run.py)
# are unpacked once into the native build tree.
export ZUB_DAEMON_DIR=${ZUB_DAEMON_DIR:-$repo/build/daemons}
start_server /usr/bin/python3 "$repo/tests/servers/pyftpd_broker.py"
broker_port=$server_port

# A prefix of our own; Wine sees the Linux file system as drive Z:.
export WINEPREFIX="$work/prefix" WINEDEBUG=-all ZUB_PYFTPD_BROKER=$broker_port
"$wine" wineboot --init >/dev/null 2>&1 || true

# Where each thread of a test program that hangs is waiting, before it is
# stopped: Wine's debugger attaches, prints every thread's stack, detaches.
backtraces() {
  local winepid
  winepid=$(timeout 60 winedbg --command "info proc" 2>/dev/null | awk '/zub32_tests.exe/ {print $1; exit}')
  [ -n "$winepid" ] || return 0
  echo "---- the test program's threads ----" >&2
  printf 'attach 0x%s\nbt all\ndetach\nquit\n' "${winepid#=}" | timeout 120 winedbg 2>&1 |
    awk '/^Backtracing for thread/ {keep = /zub32_tests/} keep' | head -n 300 >"$work/threads.txt" || true
  cat "$work/threads.txt" >&2
  # The program's own frames by name (its symbol table is not stripped).
  local addr2line
  addr2line=$(command -v x86_64-w64-mingw32-addr2line || true)
  if [ -n "$addr2line" ]; then
    echo "---- its frames by name ----" >&2
    sed -n 's/.* \(0x[0-9a-f]*\) in zub32_tests .*/\1/p' "$work/threads.txt" | sort -u |
      while read -r a; do printf '%s  %s\n' "$a" "$("$addr2line" -f -C -e "$build/zub32_tests.exe" "$a" | paste -sd' ')"; done >&2
  fi
}

rc=0
limit=${ZUB_WINE_TIMEOUT:-1800}
"$wine" "$build/zub32_tests.exe" --gtest_color=no "$@" >"$work/tests.log" 2>&1 &
tests=$!
(
  for ((waited = 0; waited < limit; waited += 2)); do
    kill -0 "$tests" 2>/dev/null || exit 0
    sleep 2
  done
  backtraces
  kill -9 "$tests" 2>/dev/null
) &
watchdog=$!
wait "$tests" || rc=$?
wait "$watchdog" 2>/dev/null || true
[ "$rc" -eq 137 ] && rc=124
cat "$work/tests.log"
if [ "$rc" -eq 124 ]; then
  echo "wine: zub32_tests.exe did not finish within $limit s" >&2
  # The channel log of the test that was running, for what it was waiting on.
  last=$(find "$work/prefix" -name channel.log -printf '%T@ %p\n' 2>/dev/null | sort -n | tail -n1 | cut -d' ' -f2-)
  if [ -n "$last" ]; then
    echo "---- the newest channel log ($last), last 200 lines ----" >&2
    tail -n 200 "$last" >&2
  fi
fi
# GoogleTest's summary once more at the end, as a closing line to read.
passed=$(sed -n 's/^\[  PASSED  \] \([0-9]*\) tests\{0,1\}\..*/\1/p' "$work/tests.log" | tail -n1)
failed=$(sed -n 's/^\[  FAILED  \] \([0-9]*\) tests\{0,1\}, listed below:.*/\1/p' "$work/tests.log" | tail -n1)
skipped=$(sed -n 's/^\[  SKIPPED \] \([0-9]*\) tests\{0,1\}, listed below:.*/\1/p' "$work/tests.log" | tail -n1)
echo "wine: ${passed:-0} passed, ${failed:-0} failed, ${skipped:-0} skipped"
if [ "$rc" -eq 0 ] && [ -z "$passed" ]; then
  echo "wine: no GoogleTest summary in the output" >&2
  rc=1
fi
exit "$rc"
