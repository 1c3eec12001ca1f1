# serve.sh - sourced by the scripts that start a test server of their own.
#
#   start_server CMD [ARG...]  starts CMD as a coprocess and reads the port
#                              it prints first into $server_port (20 s at most)
#   stop_server                ends it by its process id (safe to call twice)
#
# Used by tools/session-demo.sh and tests/wine/*.sh; the server (pyftpd_run.py
# or pyftpd_broker.py) exits by itself when its standard input closes.
server_pid=
server_port=

start_server() {
  coproc SERVER { exec "$@"; }
  server_pid=$SERVER_PID
  if ! read -r -t 20 server_port <&"${SERVER[0]}"; then
    echo "$(basename "$0"): the server did not report its port" >&2
    return 1
  fi
}

stop_server() {
  if [ -n "$server_pid" ]; then
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
    server_pid=
  fi
}
