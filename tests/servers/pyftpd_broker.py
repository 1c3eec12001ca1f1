#!/usr/bin/python3
"""Starts pyftpdlib servers for test programs that cannot start Linux
processes themselves (the Windows tests running under Wine; see PyFtpd in
pyftpd.cpp).

Listens on 127.0.0.1 on an ephemeral port and prints that port as the first
line on stdout. Each connection asks for one server, with one line of
tab-separated fields:

    start USER PASSWORD ANONYMOUS(0|1) TIMEOUT_MS [TLS CERTFILE DATA_REQUIRED [DAEMON [RESUME_OPTIONAL [IPV6]]]]

TLS is 0 (none), 1 (explicit) or 2 (implicit), CERTFILE a PEM file with key
and certificate (a Wine path on drive Z:, such as Z:\\tmp\\x\\server.pem, is
taken as the Linux path it shows), DATA_REQUIRED 0 or 1 (pyftpd_run.py's
--tls-data-required). The broker makes a fresh temporary directory holding
root/ and server.log, starts pyftpd_run.py on it with /usr/bin/python3 and
answers

    ok PORT PID DIR          (DIR is the directory's Linux path)
    error TEXT

DAEMON, when given, names a real FTP daemon (vsftpd, proftpd, pure-ftpd)
that ftpd_run.py runs instead of pyftpdlib, its packages kept in
$ZUB_DAEMON_DIR (tests/wine/run-tests.sh names the native build tree's
daemons/). Such a daemon serves the root as a user of its own, so files the
test puts there must become that user's: "own" chowns everything under the
root to the root's owner, answered with "owned". RESUME_OPTIONAL 1 lets
the daemon's TLS data connections go without resuming the control session
(ftpd_run.py --tls-resume-optional).

Then "stop", or the connection closing, stops that server by its pid and
removes the directory; "stopped" confirms it.

A connection may instead ask for the test certificates (TestCerts, certs.cpp)
with the single field

    certs

The broker runs mkcerts.py into a fresh temporary directory and answers
"ok DIR" (its Linux path) or "error TEXT"; "stop", or the connection
closing, removes the directory ("stopped" confirms it).

The broker exits, stopping every server it started, when its stdin reaches
end of file or on SIGTERM.
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
HERE = os.path.dirname(os.path.abspath(__file__))
SCRIPT = os.path.join(HERE, "pyftpd_run.py")
DAEMON_SCRIPT = os.path.join(HERE, "ftpd_run.py")
DAEMONS = ("vsftpd", "proftpd", "pure-ftpd")
MKCERTS = os.path.join(HERE, "mkcerts.py")
TLS_MODES = {"0": None, "1": "explicit", "2": "implicit"}

servers = {}  # pid -> (Popen, directory, seconds to wait for it to stop)
servers_lock = threading.Lock()
cert_dirs = set()  # directories made by make_certs, removed by stop_all too


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


def linux_path(path):
    """Z:\\tmp\\x as Wine shows /tmp/x; other paths are returned as given."""
    if len(path) >= 3 and path[0] in "zZ" and path[1] == ":" and path[2] in "\\/":
        return path[2:].replace("\\", "/")
    return path


def start_server(user, password, anonymous, timeout_ms, tls=None, certfile="",
                 data_required=False, daemon="", resume_optional=False, ipv6=False):
    directory = tempfile.mkdtemp(prefix="zub-pyftpd-", dir="/tmp")
    root = os.path.join(directory, "root")
    log = os.path.join(directory, "server.log")
    os.mkdir(root)
    args = [PYTHON, DAEMON_SCRIPT if daemon else SCRIPT, "--root", root, "--log", log,
            "--user", user, "--password", password]
    if daemon:
        args += ["--daemon", daemon]
        if os.environ.get("ZUB_DAEMON_DIR"):
            args += ["--daemon-dir", os.environ["ZUB_DAEMON_DIR"]]
        if resume_optional:
            args.append("--tls-resume-optional")
    if anonymous:
        args.append("--anonymous")
    if tls:
        args += ["--tls", tls, "--certfile", linux_path(certfile)]
    if data_required:
        args.append("--tls-data-required")
    if ipv6:
        args.append("--ipv6")
    try:
        with open(log, "ab") as err:
            proc = subprocess.Popen(args, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                    stderr=err, close_fds=True)
    except OSError:
        shutil.rmtree(directory, ignore_errors=True)
        raise
    with servers_lock:
        servers[proc.pid] = (proc, directory, 20 if daemon else 3)
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
    proc, directory, bound = entry
    try:
        proc.stdin.close()  # the server exits on stdin EOF as well
    except OSError:
        pass
    proc.terminate()
    try:
        proc.wait(timeout=bound)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait(timeout=3)
    proc.stdout.close()
    shutil.rmtree(directory, ignore_errors=True)


def hand_over(root):
    """Everything under root gets root's owner (a daemon's user)."""
    st = os.stat(root)
    for dirpath, dirnames, filenames in os.walk(root):
        for name in dirnames + filenames:
            os.lchown(os.path.join(dirpath, name), st.st_uid, st.st_gid)


def wait_for_stop(conn, buf, root=None):
    """Waits (without bound: the test decides how long a server or the
    certificates live) for "stop" or the connection's end; answers "own"
    for a server's root."""
    while True:
        line = read_line(conn, buf, 3600)
        if line is None or line == "stop":
            return
        if line == "own" and root:
            hand_over(root)
            conn.sendall(b"owned\n")


def make_certs(conn, buf):
    directory = tempfile.mkdtemp(prefix="zub-certs-", dir="/tmp")
    with servers_lock:
        cert_dirs.add(directory)
    try:
        try:
            done = subprocess.run([PYTHON, MKCERTS, directory], stdin=subprocess.DEVNULL,
                                  stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                  timeout=60, check=False)
            if done.returncode != 0:
                text = done.stdout.decode("utf-8", "replace")[-2000:]
                raise RuntimeError("mkcerts.py failed: " + text)
        except Exception as e:  # the reason goes back to the test
            text = " | ".join(str(e).replace("\t", " ").splitlines())
            conn.sendall(("error\t%s\n" % text).encode())
            return
        conn.sendall(("ok\t%s\n" % directory).encode())
        wait_for_stop(conn, buf)
        shutil.rmtree(directory, ignore_errors=True)
        conn.sendall(b"stopped\n")
    finally:
        shutil.rmtree(directory, ignore_errors=True)
        with servers_lock:
            cert_dirs.discard(directory)


def serve(conn):
    pid = None
    buf = [b""]
    try:
        line = read_line(conn, buf, 30)
        fields = line.split("\t") if line is not None else []
        if fields == ["certs"]:
            make_certs(conn, buf)
            return
        if len(fields) not in (5, 8, 9, 10, 11) or fields[0] != "start" or \
                (len(fields) >= 8 and fields[5] not in TLS_MODES) or \
                (len(fields) >= 9 and fields[8] not in DAEMONS + ("",)) or \
                (len(fields) >= 10 and fields[9] not in ("0", "1")) or \
                (len(fields) == 11 and fields[10] not in ("0", "1")):
            conn.sendall(b"error\tbad request\n")
            return
        tls, certfile, data_required, daemon = None, "", False, ""
        if len(fields) >= 8:
            tls, certfile, data_required = TLS_MODES[fields[5]], fields[6], fields[7] == "1"
        if len(fields) >= 9:
            daemon = fields[8]
        resume_optional = len(fields) >= 10 and fields[9] == "1"
        ipv6 = len(fields) == 11 and fields[10] == "1"
        try:
            port, pid, directory = start_server(fields[1], fields[2], fields[3] == "1",
                                                int(fields[4]), tls, certfile, data_required,
                                                daemon, resume_optional, ipv6)
        except Exception as e:  # the reason goes back to the test
            text = " | ".join(str(e).replace("\t", " ").splitlines())
            conn.sendall(("error\t%s\n" % text).encode())
            return
        conn.sendall(("ok\t%d\t%d\t%s\n" % (port, pid, directory)).encode())
        wait_for_stop(conn, buf, os.path.join(directory, "root"))
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
        dirs = list(cert_dirs)
    for pid in pids:
        stop_server(pid)
    for directory in dirs:
        shutil.rmtree(directory, ignore_errors=True)
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
