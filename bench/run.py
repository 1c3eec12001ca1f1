#!/usr/bin/python3
"""Benchmarks zub32 against the curl tool and Python's ftplib.

    bash bench/run.sh [--quick] [--runs N] [--sections a,b] [--csv FILE] [--baseline ZUBBENCH]

Installs what it needs (tools/deps.sh), builds the library and zubbench
(build-bench/, RelWithDebInfo), starts its own servers on 127.0.0.1 --
pyftpdlib, and vsftpd with a configuration file of its own, an anonymous
login with write access and a temporary root -- runs every client run by
run, interleaved, and prints the medians as one table (also written as
CSV). The servers are stopped by pid at the end.

--baseline names an earlier build's zubbench: its rows ("... (baseline)")
run beside this build's, interleaved, for before/after figures.

Sections: throughput (512 MiB down and up, beside a plain copy loop that
uses no library), latency (login, 1000 NOOPs, a 10 000-entry listing, 100
small files up and down on one session), channels (32 x 64 MiB downloads
at once), ceiling (raw loopback TCP), tls (512 MiB down and up, vsftpd
with TLS required), tools (whole processes: zubftp, curl and lftp getting
512 MiB; zubftp getting 20 small files in turn and on 4 sessions).

Divisions: settings, processes, servers, clients, sections, table, main.
"""
import argparse
import csv
import os
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time
from urllib.parse import quote

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(HERE)
PY = "/usr/bin/python3"  # Debian's, which has pyftpdlib
MiB = 1 << 20
GiB = 1 << 30

# ---- settings ---------------------------------------------------------------
FULL = dict(runs=5, big=512 * MiB, mid=64 * MiB, channels=32, hellos=1000, entries=10000, small=100, few=20)
QUICK = dict(runs=3, big=64 * MiB, mid=8 * MiB, channels=32, hellos=200, entries=2000, small=20, few=20)
FEW_SIZE = 4096  # the files of the tools section's small-file rows
USER, PASSWORD = "anonymous", "bench@example.org"
SECTIONS = "throughput,latency,channels,ceiling,tls,tools"

# How to read the copy-loop rows, printed under the table.
COPY_NOTE = """Copy-loop rows: the same passive transfer with plain sockets and no library
(USER/PASS, TYPE I, PASV, RETR/STOR, then recv/write or read/send), timed like
zub32's from RETR/STOR to the 226. "copy loop 4095/8190" reads and writes in
the library's original sizes: "zub32 default, no pauses" (the same path with
the close's 62 ms linger taken out) should be within 10 % of it; uploads
compare "zub32 BlockSize 8192, no pauses" with "copy loop 8192". "copy loop
256 KiB" is what large pieces can reach: compare the bulk rows with it.
"no pauses" rows set the library's pauses after a close, after PASS and
after an upload's last block to 0, as zubftp does by default."""


# ---- processes ---------------------------------------------------------------
class Result:
    def __init__(self, seconds, cpu, out):
        self.seconds, self.cpu, self.out = seconds, cpu, out


def parse_pairs(text):
    pairs = {}
    for word in text.split():
        if "=" in word:
            k, v = word.split("=", 1)
            pairs[k] = v
    return pairs


def run(argv, cwd=None):
    """Runs one client; returns its wall time, its CPU seconds (user +
    system, children included) and its standard output."""
    t0 = time.monotonic()
    p = subprocess.Popen(argv, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    out, err = p.communicate()
    wall = time.monotonic() - t0
    return wall, out.decode(errors="replace"), err.decode(errors="replace"), p.returncode


class Usage:
    """CPU seconds of the children reaped between start() and stop()."""

    def start(self):
        r = os.times()
        self.t = r.children_user + r.children_system

    def stop(self):
        r = os.times()
        return r.children_user + r.children_system - self.t


SAID = set()  # what clients have said on stderr, shown once each


def show_stderr(err):
    """A client's notes on stderr (a library without the bulk path, say),
    each shown once."""
    for line in err.splitlines():
        if line.strip() and line not in SAID:
            SAID.add(line)
            print("  note: " + line.strip(), flush=True)


def process(argv, cwd=None):
    """Runs a client timed as a whole process: wall time from start to
    exit, CPU seconds of it and its children."""
    u = Usage()
    u.start()
    wall, out, err, rc = run(argv, cwd)
    cpu = u.stop()
    if rc != 0:
        raise RuntimeError("%s failed (%d): %s" % (" ".join(argv[:4]), rc, err.strip()[-400:]))
    show_stderr(err)
    return Result(wall, cpu, out)


def client(argv, cwd=None):
    """process(), with the client's own "seconds=" figure where it prints one."""
    r = process(argv, cwd)
    pairs = parse_pairs(r.out)
    if "seconds" in pairs:
        r.seconds = float(pairs["seconds"])
    return r


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def free_range(count):
    """A base port with `count` free ports behind it."""
    for _ in range(200):
        base = free_port()
        if base + count > 65535:
            continue
        held = []
        try:
            for p in range(base, base + count):
                s = socket.socket()
                s.bind(("127.0.0.1", p))
                held.append(s)
            return base
        except OSError:
            pass
        finally:
            for s in held:
                s.close()
    raise RuntimeError("no free port range")


def wait_listening(port, proc, what):
    for _ in range(200):
        if proc.poll() is not None:
            raise RuntimeError("%s exited at start (%d)" % (what, proc.returncode))
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=1) as s:
                s.recv(100)
                return
        except OSError:
            time.sleep(0.05)
    raise RuntimeError("%s did not start" % what)


# ---- servers ------------------------------------------------------------------
PYFTPD = r"""
import logging, os, sys, threading
from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer
root, port = sys.argv[1], int(sys.argv[2])
auth = DummyAuthorizer()
auth.add_anonymous(root, perm="elradfmwMT")
class Handler(FTPHandler):
    pass
Handler.authorizer = auth
Handler.passive_ports = range(int(sys.argv[3]), int(sys.argv[4]))
logging.getLogger("pyftpdlib").setLevel(logging.WARNING)
def stdin_eof():
    sys.stdin.buffer.read()
    os._exit(0)
threading.Thread(target=stdin_eof, daemon=True).start()
FTPServer(("127.0.0.1", port), Handler).serve_forever(timeout=0.5)
"""

VSFTPD_CONF = """listen=YES
listen_ipv6=NO
listen_address=127.0.0.1
listen_port={port}
background=NO
anonymous_enable=YES
no_anon_password=YES
anon_root={root}
local_enable=NO
write_enable=YES
anon_upload_enable=YES
anon_mkdir_write_enable=YES
anon_other_write_enable=YES
anon_umask=022
pasv_enable=YES
pasv_min_port={pmin}
pasv_max_port={pmax}
connect_from_port_20=NO
secure_chroot_dir={empty}
seccomp_sandbox=NO
isolate=NO
isolate_network=NO
xferlog_enable=NO
dirmessage_enable=NO
max_clients=0
max_per_ip=0
"""

# TLS required for the anonymous login and for every data connection.
VSFTPD_TLS = """ssl_enable=YES
allow_anon_ssl=YES
force_anon_logins_ssl=YES
force_anon_data_ssl=YES
rsa_cert_file={cert}
rsa_private_key_file={cert}
ssl_sslv2=NO
ssl_sslv3=NO
ssl_tlsv1=NO
ssl_ciphers=HIGH
require_ssl_reuse=NO
ssl_request_cert=NO
"""


class Server:
    def __init__(self, name, port, proc):
        self.name, self.port, self.proc = name, port, proc

    def stop(self):
        if self.proc.poll() is None:
            os.kill(self.proc.pid, signal.SIGTERM)
            try:
                self.proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                os.kill(self.proc.pid, signal.SIGKILL)
                self.proc.wait()


def start_pyftpd(root):
    port, pasv = free_port(), free_range(200)
    proc = subprocess.Popen([PY, "-c", PYFTPD, root, str(port), str(pasv), str(pasv + 200)],
                            stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    wait_listening(port, proc, "pyftpdlib")
    return Server("pyftpdlib", port, proc)


def start_vsftpd(work, root, cert=None):
    """vsftpd; with cert (key and certificate in one PEM file) TLS is
    required."""
    name = "vsftpd TLS" if cert else "vsftpd"
    port, pasv = free_port(), free_range(200)
    empty = os.path.join(work, "empty")
    os.makedirs(empty, exist_ok=True)
    conf = os.path.join(work, "vsftpd-tls.conf" if cert else "vsftpd.conf")
    with open(conf, "w") as f:
        f.write(VSFTPD_CONF.format(port=port, root=root, pmin=pasv, pmax=pasv + 199, empty=empty))
        if cert:
            f.write(VSFTPD_TLS.format(cert=cert))
    proc = subprocess.Popen(["/usr/sbin/vsftpd", conf], stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    wait_listening(port, proc, name)
    return Server(name, port, proc)


def make_certs(work):
    """A CA and a server certificate for 127.0.0.1, made now: (CA file,
    server key + certificate)."""
    certs = os.path.join(work, "certs")
    subprocess.run([PY, os.path.join(TOP, "tests", "servers", "mkcerts.py"), certs], check=True,
                   stdout=subprocess.DEVNULL, timeout=120)
    return os.path.join(certs, "ca.pem"), os.path.join(certs, "server.pem")


# ---- clients ---------------------------------------------------------------------
class Clients:
    def __init__(self, zubbench, server, out, root, baseline=None, zubftp=None):
        self.zub = zubbench
        self.zubftp = zubftp
        self.root = root  # the servers' root
        self.base = baseline  # an earlier zubbench, run beside this one
        self.srv = server
        self.out = out  # every client writes here

    def zub_variants(self):
        """(row suffix, zubbench) for this build and the baseline if given."""
        return [("", self.zub)] + ([(" (baseline)", self.base)] if self.base else [])

    def url(self, path, login=False):
        who = "%s:%s@" % (quote(USER, safe=""), quote(PASSWORD, safe="")) if login else ""
        return "ftp://%s127.0.0.1:%d/%s" % (who, self.srv.port, path)

    def zubbench(self, flags, cmd, *args, zub=None):
        return client([zub or self.zub] + flags + [cmd, "127.0.0.1", str(self.srv.port), USER, PASSWORD] + list(args))

    def ftplib(self, cmd, *args):
        return client([PY, os.path.join(HERE, "ftplib_client.py"), cmd, "127.0.0.1", str(self.srv.port),
                       USER, PASSWORD] + list(args))

    def curl(self, args, measure="transfer", flags=()):
        """curl's own clock: the transfer alone (total less pre-transfer),
        or every URL's total added up."""
        fmt = "%{time_pretransfer} %{time_total}\\n"
        r = client(["curl", "-sS", "--user", USER + ":" + PASSWORD, "-w", fmt] + list(flags) + args)
        rows = [line.split() for line in r.out.splitlines() if line.strip()]
        if measure == "transfer":
            r.seconds = sum(float(t) - float(p) for p, t in rows)
        else:
            r.seconds = sum(float(t) for _, t in rows)
        return r


# ---- sections ------------------------------------------------------------------------
def whole(path, size, name):
    """A transfer that reports success but moved less would read as fast."""
    have = os.path.getsize(path)
    if have != size:
        raise RuntimeError("%s: %s holds %d bytes, %d expected" % (name, path, have, size))


def transfers(c, down, up, size, record, srv):
    """Runs every download, then every upload, once each: down maps a row's
    client to fn(local file), up to fn(remote name)."""
    for n, (name, fn) in enumerate(down.items()):
        # Each client writes a new file, as the others do: rewriting one
        # would add the truncation of the last run's copy to the next.
        local = os.path.join(c.out, "down-%d.bin" % n)
        r = fn(local)
        whole(local, size, name)
        record(srv, "download %d MiB" % (size // MiB), name, size / MiB / r.seconds, "MB/s", r.cpu / (size / GiB))
        os.unlink(local)
    for n, (name, fn) in enumerate(up.items()):
        remote = "pub/up-%d.bin" % n
        r = fn(remote)
        whole(os.path.join(c.root, remote), size, name)
        record(srv, "upload %d MiB" % (size // MiB), name, size / MiB / r.seconds, "MB/s", r.cpu / (size / GiB))


def throughput(c, size, record, srv):
    src = c.out + "/src.bin"
    down, up = {}, {}
    for suffix, zub in c.zub_variants():
        # Bound now: the lambdas run later, after the loop has moved on.
        down["zub32 default" + suffix] = lambda o, z=zub: c.zubbench([], "get", "pub/big.bin", o, zub=z)
        down["zub32 BlockSize 8192" + suffix] = lambda o, z=zub: c.zubbench(["-b", "8192"], "get", "pub/big.bin",
                                                                           o, zub=z)
        up["zub32 default" + suffix] = lambda r, z=zub: c.zubbench([], "put", src, r, zub=z)
        up["zub32 BlockSize 8192" + suffix] = lambda r, z=zub: c.zubbench(["-b", "8192"], "put", src, r, zub=z)
    down["zub32 default, no pauses"] = lambda o: c.zubbench(["-f"], "get", "pub/big.bin", o)
    up["zub32 BlockSize 8192, no pauses"] = lambda r: c.zubbench(["-f", "-b", "8192"], "put", src, r)
    down["zub32 bulk, no pauses"] = lambda o: c.zubbench(["-B", "-f"], "get", "pub/big.bin", o)
    up["zub32 bulk, no pauses"] = lambda r: c.zubbench(["-B", "-f"], "put", src, r)
    # No library: the sizes the library's default path reads and writes,
    # and large ones.
    down["copy loop 4095/8190"] = lambda o: c.zubbench([], "copyget", "4095", "8190", "pub/big.bin", o)
    down["copy loop 256 KiB"] = lambda o: c.zubbench([], "copyget", "262144", "262144", "pub/big.bin", o)
    up["copy loop 8192"] = lambda r: c.zubbench([], "copyput", "8192", src, r)
    up["copy loop 256 KiB"] = lambda r: c.zubbench([], "copyput", "262144", src, r)
    down["curl"] = lambda o: c.curl(["-o", o, c.url("pub/big.bin")])
    down["ftplib"] = lambda o: c.ftplib("get", "pub/big.bin", o)
    up["curl"] = lambda r: c.curl(["-T", src, c.url(r)])
    up["ftplib"] = lambda r: c.ftplib("put", src, r)
    transfers(c, down, up, size, record, srv)


def tls(c, size, record, srv, ca):
    """Explicit TLS, control and data encrypted, the certificate checked."""
    src = c.out + "/src.bin"
    down = {
        "zub32 TLS default": lambda o: c.zubbench(["-t", ca], "get", "pub/big.bin", o),
        "zub32 TLS bulk, no pauses": lambda o: c.zubbench(["-B", "-f", "-t", ca], "get", "pub/big.bin", o),
        "curl --ssl-reqd": lambda o: c.curl(["-o", o, c.url("pub/big.bin")], flags=["--ssl-reqd", "--cacert", ca]),
    }
    up = {
        "zub32 TLS default": lambda r: c.zubbench(["-t", ca], "put", src, r),
        "zub32 TLS bulk, no pauses": lambda r: c.zubbench(["-B", "-f", "-t", ca], "put", src, r),
        "curl --ssl-reqd": lambda r: c.curl(["-T", src, c.url(r)], flags=["--ssl-reqd", "--cacert", ca]),
    }
    transfers(c, down, up, size, record, srv)


def tools(c, cfg, record, srv):
    """Whole processes, each timed from its start to its exit."""
    size, n = cfg["big"], cfg["few"]
    zubftp = [c.zubftp, "-q"]
    big = {
        "zubftp": lambda o: process(zubftp + [c.url("pub", True), "get", "big.bin", o]),
        "zubftp --library-defaults": lambda o: process(zubftp + ["--library-defaults", c.url("pub", True), "get",
                                                                 "big.bin", o]),
        "curl": lambda o: process(["curl", "-sS", "-o", o, c.url("pub/big.bin", True)]),
        "lftp": lambda o: process(["lftp", "-c", "set ftp:ssl-allow no; set xfer:clobber on; open %s; get big.bin -o %s"
                                   % (c.url("pub", True), o)]),
    }
    for k, (name, fn) in enumerate(big.items()):
        local = os.path.join(c.out, "whole-%d.bin" % k)
        r = fn(local)
        whole(local, size, name)
        record(srv, "whole process: get %d MiB" % (size // MiB), name, size / MiB / r.seconds, "MB/s",
               r.cpu / (size / GiB))
        os.unlink(local)
    names = ["f%02d.bin" % i for i in range(n)]
    gets = []
    for f in names:
        gets += ["get", f, "DIR/", ";"]
    few = {
        "zubftp": [],
        "zubftp --parallel 4": ["--parallel", "4"],
        "zubftp --library-defaults": ["--library-defaults"],
        "zubftp --library-defaults --parallel 4": ["--library-defaults", "--parallel", "4"],
        "curl (one process)": None,
    }
    for k, (name, options) in enumerate(few.items()):
        d = os.path.join(c.out, "few-%d" % k)
        os.mkdir(d)
        if options is None:
            argv = ["curl", "-sS"]
            for f in names:
                argv += ["-o", os.path.join(d, f), c.url("pub/few/" + f, True)]
        else:
            argv = zubftp + options + [c.url("pub/few", True)] + [d + "/" if w == "DIR/" else w for w in gets[:-1]]
        r = process(argv)
        if sorted(os.listdir(d)) != names or any(os.path.getsize(os.path.join(d, f)) != FEW_SIZE for f in names):
            raise RuntimeError("%s: the small files did not all arrive whole" % name)
        record(srv, "whole process: %d files of %d KiB" % (n, FEW_SIZE // 1024), name, r.seconds * 1000, "ms", None)
        shutil.rmtree(d)


def latency(c, cfg, record, srv, root):
    n = cfg["small"]
    record(srv, "connect + login", "zub32 default", c.zubbench([], "login").seconds * 1000, "ms", None)
    record(srv, "connect + login", "zub32 small-file", c.zubbench(["-f"], "login").seconds * 1000, "ms", None)
    record(srv, "connect + login", "ftplib", c.ftplib("login").seconds * 1000, "ms", None)
    h = cfg["hellos"]
    record(srv, "%d NOOP round trips" % h, "zub32", c.zubbench([], "hello", str(h)).seconds * 1000, "ms", None)
    record(srv, "%d NOOP round trips" % h, "ftplib", c.ftplib("hello", str(h)).seconds * 1000, "ms", None)
    e = cfg["entries"]
    what = "listing of %d entries" % e
    record(srv, what, "zub32", c.zubbench(["-f"], "list", "pub/many").seconds * 1000, "ms", None)
    record(srv, what, "curl", c.curl([c.url("pub/many/"), "-o", c.out + "/list.txt"], "total").seconds * 1000,
           "ms", None)
    record(srv, what, "ftplib", c.ftplib("list", "pub/many").seconds * 1000, "ms", None)
    what = "%d small files up + down" % n
    small_dir = os.path.join(root, "pub", "small")

    def clean():
        for f in os.listdir(small_dir):
            os.unlink(os.path.join(small_dir, f))

    for name, flags in (("zub32 small-file", ["-f"]), ("zub32 default", [])):
        clean()
        record(srv, what, name, c.zubbench(flags, "small", "pub/small", str(n), c.out).seconds * 1000, "ms", None)
    clean()
    record(srv, what, "ftplib", c.ftplib("small", "pub/small", str(n), c.out).seconds * 1000, "ms", None)
    clean()
    args = []
    for i in range(n):
        # -T and -o each go to the next URL in order.
        args += ["-T", c.out + "/small.bin", "-o", "/dev/null", c.url("pub/small/s%d.bin" % i)]
    for i in range(n):
        args += ["-o", c.out + "/back%d.bin" % i, c.url("pub/small/s%d.bin" % i)]
    record(srv, what, "curl (one process)", c.curl(args, "total").seconds * 1000, "ms", None)
    clean()


def channels(c, cfg, record, srv):
    n, size = cfg["channels"], cfg["mid"]
    what = "%d x %d MiB downloads at once" % (n, size // MiB)
    rows = [("zub32 one thread" + suffix, [], zub) for suffix, zub in c.zub_variants()]
    rows.append(("zub32 one thread bulk, no pauses", ["-B", "-f"], c.zub))
    for name, flags, zub in rows:
        r = c.zubbench(flags, "multi", str(n), "pub/mid.bin", c.out, zub=zub)
        record(srv, what, name, n * size / MiB / r.seconds, "MB/s", r.cpu / (n * size / GiB))
        for i in range(n):
            os.unlink(os.path.join(c.out, "m%d.bin" % i))
    u = Usage()
    u.start()
    t0 = time.monotonic()
    procs = [subprocess.Popen(["curl", "-sS", "--user", USER + ":" + PASSWORD, "-o", c.out + "/c%d.bin" % i,
                               c.url("pub/mid.bin")]) for i in range(n)]
    codes = [p.wait() for p in procs]
    wall = time.monotonic() - t0
    cpu = u.stop()
    if any(codes):
        raise RuntimeError("curl failed: %s" % codes)
    record(srv, what, "curl %d processes" % n, n * size / MiB / wall, "MB/s", cpu / (n * size / GiB))
    for i in range(n):
        os.unlink(os.path.join(c.out, "c%d.bin" % i))


def ceiling(zub, size, record):
    for rs in (4095, 256 * 1024):
        r = client([zub, "tcp", str(rs), str(size)])
        record("loopback", "raw TCP, %d-byte reads" % rs, "socket copy", size / MiB / r.seconds, "MB/s",
               r.cpu / (size / GiB))


# ---- table ---------------------------------------------------------------------------------
class Table:
    def __init__(self):
        self.rows = {}  # (server, test, client) -> ([values], [cpu], unit)
        self.order = []

    def record(self, server, test, client_name, value, unit, cpu):
        key = (server, test, client_name)
        if key not in self.rows:
            self.rows[key] = ([], [], unit)
            self.order.append(key)
        self.rows[key][0].append(value)
        if cpu is not None:
            self.rows[key][1].append(cpu)
        print("  %-10s %-32s %-22s %10.2f %s" % (server, test, client_name, value, unit), flush=True)

    def medians(self):
        out = []
        for key in self.order:
            vals, cpus, unit = self.rows[key]
            med = statistics.median(vals)
            cpu = statistics.median(cpus) if cpus else None
            ref = None
            for k2 in self.order:
                if k2[0] == key[0] and k2[1] == key[1] and k2[2].startswith("curl"):
                    ref = statistics.median(self.rows[k2][0])
            ratio = None
            if ref:
                # Higher is better for MB/s, lower for ms: the ratio reads
                # "how many curls" either way (above 1 beats curl).
                ratio = med / ref if unit == "MB/s" else ref / med
            out.append(key + (med, unit, ratio, cpu, len(vals)))
        return out

    def print_and_save(self, path, header):
        rows = self.medians()
        lines = [header, "",
                 "| server | test | client | median | unit | vs curl | CPU s/GiB | runs |",
                 "|---|---|---|---:|---|---:|---:|---:|"]
        for srv, test, cl, med, unit, ratio, cpu, n in rows:
            lines.append("| %s | %s | %s | %.1f | %s | %s | %s | %d |" % (
                srv, test, cl, med, unit, "%.2f" % ratio if ratio else "", "%.2f" % cpu if cpu is not None else "",
                n))
        if any(cl.startswith("copy loop") for _, _, cl, *_ in rows):
            lines += ["", COPY_NOTE]
        print("\n".join(lines))
        with open(path, "w", newline="") as f:
            w = csv.writer(f)
            w.writerow(["server", "test", "client", "median", "unit", "vs_curl", "cpu_s_per_gib", "runs"])
            for srv, test, cl, med, unit, ratio, cpu, n in rows:
                w.writerow([srv, test, cl, "%.3f" % med, unit, "%.3f" % ratio if ratio else "",
                            "%.3f" % cpu if cpu is not None else "", n])
        print("\nwritten: " + path)


# ---- main ------------------------------------------------------------------------------------
def make_file(path, size):
    block = os.urandom(MiB)
    with open(path, "wb") as f:
        for _ in range(size // MiB):
            f.write(block)
        f.write(block[: size % MiB])


def work_dir():
    """A temporary folder in memory (tmpfs) when there is room: an upload
    then measures the client and the server, not the disk's write-back,
    which otherwise slows whichever client runs when it starts."""
    try:
        st = os.statvfs("/dev/shm")
        if st.f_bavail * st.f_frsize >= 8 * GiB:
            return tempfile.mkdtemp(prefix="zubbench.", dir="/dev/shm")
    except OSError:
        pass
    return tempfile.mkdtemp(prefix="zubbench.")


def machine():
    cpu = "?"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    ver = lambda argv: subprocess.run(argv, capture_output=True, text=True).stdout.splitlines()[0]
    return "%d cores, %s, Linux %s; %s; vsftpd %s; pyftpdlib %s; %s; %s" % (
        os.cpu_count(), cpu, os.uname().release, ver(["curl", "--version"]),
        ver(["dpkg-query", "-W", "-f=${Version}\\n", "vsftpd"]),
        ver([PY, "-c", "import pyftpdlib; print(pyftpdlib.__ver__)"]), ver(["openssl", "version"]),
        ver(["lftp", "--version"]) if shutil.which("lftp") else "no lftp")


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="small sizes and three runs, for development")
    ap.add_argument("--runs", type=int)
    ap.add_argument("--sections", default=SECTIONS, help="any of " + SECTIONS)
    ap.add_argument("--servers", default="vsftpd,pyftpdlib")
    ap.add_argument("--csv", default=os.path.join(TOP, "build-bench", "bench.csv"))
    ap.add_argument("--zubbench", default=os.path.join(TOP, "build-bench", "bench", "zubbench"))
    ap.add_argument("--zubftp", default=os.path.join(TOP, "build-bench", "tools", "zubftp", "zubftp"))
    ap.add_argument("--baseline", help="an earlier zubbench: its rows run interleaved with this one's")
    args = ap.parse_args()
    cfg = dict(QUICK if args.quick else FULL)
    if args.runs:
        cfg["runs"] = args.runs
    sections = args.sections.split(",")
    unknown = set(sections) - set(SECTIONS.split(","))
    if unknown:
        ap.error("unknown section(s): " + ",".join(sorted(unknown)))

    work = work_dir()
    root = os.path.join(work, "root")  # the servers' root: vsftpd wants it not writable by the login
    pub = os.path.join(root, "pub")
    out = os.path.join(work, "out")
    for d in (pub, os.path.join(pub, "many"), os.path.join(pub, "small"), os.path.join(pub, "few"), out):
        os.makedirs(d)
    servers, extra = [], []
    try:
        print("preparing files in " + work, flush=True)
        if {"throughput", "tls", "tools"} & set(sections):
            make_file(os.path.join(pub, "big.bin"), cfg["big"])
        if {"throughput", "tls"} & set(sections):
            make_file(os.path.join(out, "src.bin"), cfg["big"])
        for i in range(cfg["few"]):
            make_file(os.path.join(pub, "few", "f%02d.bin" % i), FEW_SIZE)
        if "channels" in sections:
            make_file(os.path.join(pub, "mid.bin"), cfg["mid"])
        for i in range(cfg["entries"]):
            open(os.path.join(pub, "many", "entry-%05d.txt" % i), "w").close()
        make_file(os.path.join(out, "small.bin"), 1024)
        shutil.chown(pub, "ftp", "ftp")
        for dirpath, dirs, files in os.walk(pub):
            for n in dirs + files:
                shutil.chown(os.path.join(dirpath, n), "ftp", "ftp")
        for name in args.servers.split(","):
            servers.append(start_vsftpd(work, root) if name == "vsftpd" else start_pyftpd(root))
        # The tls and tools sections run against vsftpd only: with TLS
        # required, and the plain one (started for them if not listed).
        if "tls" in sections:
            ca, cert = make_certs(work)
            extra.append(start_vsftpd(work, root, cert))
        plain = [s for s in servers if s.name == "vsftpd"]
        if "tools" in sections and not plain:
            extra.append(start_vsftpd(work, root))
            plain = extra[-1:]
        table = Table()
        for run_no in range(cfg["runs"]):
            print("run %d of %d" % (run_no + 1, cfg["runs"]), flush=True)
            for srv in servers:
                c = Clients(args.zubbench, srv, out, root, args.baseline)
                if "throughput" in sections:
                    throughput(c, cfg["big"], table.record, srv.name)
                if "latency" in sections:
                    latency(c, cfg, table.record, srv.name, root)
                if "channels" in sections:
                    channels(c, cfg, table.record, srv.name)
            if "tls" in sections:
                srv = extra[0]
                tls(Clients(args.zubbench, srv, out, root), cfg["big"], table.record, srv.name, ca)
            if "tools" in sections:
                tools(Clients(args.zubbench, plain[0], out, root, zubftp=args.zubftp), cfg, table.record, "vsftpd")
            if "ceiling" in sections:
                ceiling(args.zubbench, cfg["big"], table.record)
        header = "Machine: %s. %s run(s), medians; %s." % (
            machine(), cfg["runs"], "quick sizes" if args.quick else "full sizes")
        os.makedirs(os.path.dirname(os.path.abspath(args.csv)), exist_ok=True)
        table.print_and_save(args.csv, header)
    finally:
        for s in servers + extra:
            s.stop()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
