#!/usr/bin/env bash
# run.sh - the benchmark command: installs what is missing, builds the
# library, zubbench and zubftp in build-bench/ (RelWithDebInfo) and runs
# bench/run.py with the arguments given (--quick, --runs N, --sections ...).
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
bash "$top/tools/deps.sh" --run vsftpd curl lftp openssl
# The package's own service would hold port 21 and is not the server
# measured: the harness starts vsftpd itself.
if command -v service >/dev/null && service vsftpd status >/dev/null 2>&1; then
  service vsftpd stop >/dev/null 2>&1 || true
fi
cmake -S "$top" -B "$top/build-bench" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZUB_TESTS=OFF >/dev/null
cmake --build "$top/build-bench" -j2 --target zubbench zubftp
exec /usr/bin/python3 "$top/bench/run.py" "$@"
