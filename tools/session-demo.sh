#!/usr/bin/env bash
# session-demo.sh BUILD_DIR - the main job: a real FTP session with zubftp.
#
# Starts a local FTP server (pyftpdlib) on 127.0.0.1 over a temporary
# directory, then, in one zubftp session: makes a directory, uploads a
# 64 MiB file, lists it, downloads it back under another name, compares
# checksums, deletes the file and removes the directory. Prints the timings
# and where the channel log is, and stops the server.
set -euo pipefail
build=${1:-build-main}
here=$(cd "$(dirname "$0")/.." && pwd)
zubftp="$build/tools/zubftp/zubftp"
[ -x "$zubftp" ] || zubftp="$build/zubftp"
[ -x "$zubftp" ] || { echo "session-demo: no zubftp in $build" >&2; exit 1; }

work=$(mktemp -d /tmp/zub-demo-XXXXXX)
mkdir -p "$work/server" "$work/local"
source "$here/tests/servers/serve.sh"
cleanup() {
  local rc=$?
  trap - EXIT
  stop_server
  rm -rf "$work/server" "$work/local"
  exit "$rc"
}
trap cleanup EXIT

# The server prints its port first and runs until its input closes.
start_server /usr/bin/python3 "$here/tests/servers/pyftpd_run.py" \
  --root "$work/server" --user demo --password demo-pass --log "$work/server.log"
port=$server_port
echo "FTP server (pyftpdlib) on 127.0.0.1:$port, root $work/server"

head -c $((64 * 1024 * 1024)) /dev/urandom >"$work/local/big.bin"
log="$work/channel.log"
start=$(date +%s.%N)
ZUBFTP_PASSWORD=demo-pass "$zubftp" --log "$log" "ftp://demo@127.0.0.1:$port/" \
  mkdir demo \; cd demo \; put "$work/local/big.bin" big.bin \; ls \; \
  get big.bin "$work/local/back.bin" \; rm big.bin \; cd / \; rmdir demo \; pwd
end=$(date +%s.%N)

sent=$(sha256sum <"$work/local/big.bin" | cut -d' ' -f1)
back=$(sha256sum <"$work/local/back.bin" | cut -d' ' -f1)
echo "sha256 sent:     $sent"
echo "sha256 received: $back"
[ "$sent" = "$back" ] || { echo "session-demo: the file came back changed" >&2; exit 1; }
[ ! -e "$work/server/demo" ] || { echo "session-demo: the directory was not removed" >&2; exit 1; }
secs=$(/usr/bin/python3 -c "print(f'{$end - $start:.2f}')")
echo "session (64 MiB up and down, binary, passive): $secs s"
echo "channel log: $log"
echo "To use a real server: $zubftp ftp://user@host/dir ls  (password from ZUBFTP_PASSWORD, --password-file or ~/.netrc)"
