#!/usr/bin/python3
"""Starts pyftpdlib servers for test programs that cannot start Linux
processes themselves (the Windows tests running under Wine; see PyFtpd in
pyftpd.cpp).

Listens on 127.0.0.1 on an ephemeral port and prints that port as the first
line on stdout. Each connection asks for one server, with one line of
tab-separated fields:

    start USER PASSWORD ANONYMOUS(0|1) TIMEOUT_MS

The broker makes a fresh temporary directory holding root/ and server.log,
starts pyftpd_run.py on it with /usr/bin/python3 and answers

    ok PORT PID DIR          (DIR is the directory's Linux path)
    error TEXT

Then "stop", or the connection closing, stops that server by its pid and
removes the directory; "stopped" confirms it. The broker exits, stopping
every server it started, when its stdin reaches end of file or on SIGTERM.
"""
import os
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

PYTHON = "/usr/bin/python3"  # pyftpdlib is installed for it
SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "pyftpd_run.py")

servers = {}  # pid -> (Popen, directory)
servers_lock = threading.Lock()


def read_line(conn, buf, timeout):
    """One line from conn (without its end); None on close or timeout."""
    end = time.monotonic() + timeout
    while b"\n" not in buf[0]:
        left = end - time.monotonic()
        if left <= 0:
            return None
        ready, _, _ = select.select([conn], [], [], left)
        if not ready:
            continue
        try:
            data = conn.recv(4096)
        except OSError:
            return None
        if not data:
            return None
        buf[0] += data
    line, _, rest = buf[0].partition(b"\n")
    buf[0] = rest
    return line.decode("utf-8", "replace").rstrip("\r")


def start_server(user, password, anonymous, timeout_ms):
    directory = tempfile.mkdtemp(prefix="zub-pyftpd-", dir="/tmp")
    root = os.path.join(directory, "root")
    log = os.path.join(directory, "server.log")
    os.mkdir(root)
    args = [PYTHON, SCRIPT, "--root", root, "--log", log,
            "--user", user, "--password", password]
    if anonymous:
        args.append("--anonymous")
    try:
        with open(log, "ab") as err:
            proc = subprocess.Popen(args, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                    stderr=err, close_fds=True)
    except OSError:
        shutil.rmtree(directory, ignore_errors=True)
        raise
    with servers_lock:
        servers[proc.pid] = (proc, directory)
    try:
        return read_port(proc, timeout_ms), proc.pid, directory
    except Exception as e:
        with open(log, errors="replace") as f:
            text = f.read()[-2000:]
        stop_server(proc.pid)
        raise RuntimeError("%s; server log: %s" % (e, text)) from e


def read_port(proc, timeout_ms):
    line = b""
    end = time.monotonic() + timeout_ms / 1000.0
    while not line.endswith(b"\n"):
        left = end - time.monotonic()
        if left <= 0:
            raise RuntimeError("server did not report its port in time")
        ready, _, _ = select.select([proc.stdout], [], [], left)
        if ready:
            chunk = os.read(proc.stdout.fileno(), 64)
            if not chunk:
                raise RuntimeError("server exited before reporting its port")
            line += chunk
    return int(line)


def stop_server(pid):
    with servers_lock:
        entry = servers.pop(pid, None)
    if entry is None:
        return
    proc, directory = entry
    try:
        proc.stdin.close()  # the server exits on stdin EOF as well
    except OSError:
        pass
    proc.terminate()
    try:
        proc.wait(timeout=3)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait(timeout=3)
    proc.stdout.close()
    shutil.rmtree(directory, ignore_errors=True)


def serve(conn):
    pid = None
    buf = [b""]
    try:
        line = read_line(conn, buf, 30)
        fields = line.split("\t") if line is not None else []
        if len(fields) != 5 or fields[0] != "start":
            conn.sendall(b"error\tbad request\n")
            return
        try:
            port, pid, directory = start_server(fields[1], fields[2], fields[3] == "1",
                                                int(fields[4]))
        except Exception as e:  # the reason goes back to the test
            text = " | ".join(str(e).replace("\t", " ").splitlines())
            conn.sendall(("error\t%s\n" % text).encode())
            return
        conn.sendall(("ok\t%d\t%d\t%s\n" % (port, pid, directory)).encode())
        # Waits (without bound: the test decides how long a server lives)
        # for "stop" or the connection's end.
        while True:
            line = read_line(conn, buf, 3600)
            if line is None or line == "stop":
                break
        stop_server(pid)
        pid = None
        conn.sendall(b"stopped\n")
    except OSError:
        pass
    finally:
        if pid is not None:
            stop_server(pid)
        conn.close()


def stop_all(*_):
    with servers_lock:
        pids = list(servers)
    for pid in pids:
        stop_server(pid)
    os._exit(0)


def exit_on_stdin_eof():
    try:
        sys.stdin.buffer.read()
    finally:
        stop_all()


def main():
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.bind(("127.0.0.1", 0))
    listener.listen(16)
    signal.signal(signal.SIGTERM, stop_all)
    print(listener.getsockname()[1], flush=True)
    threading.Thread(target=exit_on_stdin_eof, daemon=True).start()
    while True:
        conn, _ = listener.accept()
        threading.Thread(target=serve, args=(conn,), daemon=True).start()


if __name__ == "__main__":
    main()
