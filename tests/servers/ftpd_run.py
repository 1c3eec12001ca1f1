#!/usr/bin/python3
"""Runs one of Debian's FTP daemons (vsftpd, proftpd, pure-ftpd) for the tests,
the way pyftpd_run.py runs pyftpdlib: started by PyFtpd (pyftpd.cpp) or by
pyftpd_broker.py when PyFtpdOptions::daemon names a daemon.

  ftpd_run.py --daemon vsftpd|proftpd|pure-ftpd --root DIR --log FILE
              --user U --password P [--tls explicit|implicit --certfile PEM]
              [--daemon-dir DIR]

Prints the control port as the first line on stdout once the daemon answers
on it (a 220 greeting; with implicit TLS a completed handshake), and exits,
stopping the daemon and every session process it forked, when its stdin
reaches end of file or on SIGTERM. Needs root: the daemons log in real
users and switch to their uid.

The daemons are never installed (their packages conflict): their .debs are
fetched with apt-get download and unpacked with dpkg -x into
DAEMON_DIR/<daemon>/ (DAEMON_DIR: --daemon-dir, else $ZUB_DAEMON_DIR, else
<repo>/build/daemons), once, under a lock that parallel test processes share.

Each daemon runs in a session and a mount namespace of its own (setsid,
unshare), in which /etc/passwd, /etc/shadow and /etc/group are private
copies that add the test user (any name but the daemons' own, any password)
with a uid no account on this machine has and --root as its home; nothing
on the machine changes. vsftpd logs that user in through PAM (no PAM file
of its own is installed, so /etc/pam.d/other with pam_unix reads the
private shadow); proftpd reads its own AuthUserFile and pure-ftpd a PureDB
file, both made here for the same user. Each is chrooted to --root, which
is handed to that uid with all it holds; files the test puts there later
must be handed over too (PyFtpd's helpers chown them to the root's owner).
Stopping ends every process of the session and of the namespace, session
processes that made a session of their own included; should this script be
killed instead, a guard process in the namespace (the daemon's parent) does
that when the pipe from this script closes. Configuration files
live in a temporary directory beside --root; the daemon's logs go to --log
(pure-ftpd logs only to syslog: its namespace gets a /dev/log socket read
here).

TLS (--certfile: key and certificate in one PEM file): required for the
log-in and for data connections, TLS 1.2 and 1.3 (proftpd 1.2 only, see
proftpd_config). Explicit (AUTH TLS) with all three; implicit with vsftpd
(implicit_ssl) and proftpd (UseImplicitSSL) only: Debian's pure-ftpd is not
built with implicit TLS. vsftpd and proftpd require the data connection's
TLS session to resume the control connection's; pure-ftpd has no such
setting (it resumes under TLS 1.2, not under 1.3).
"""
import argparse
import ctypes
import fcntl
import os
import re
import select
import shutil
import signal
import socket
import ssl
import stat
import subprocess
import sys
import tempfile
import threading
import time
import warnings

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
PYTHON = "/usr/bin/python3"

# The packages each daemon needs, and its binary inside the unpacked tree.
PACKAGES = {
    "vsftpd": ["vsftpd"],
    "proftpd": ["proftpd-core", "proftpd-mod-crypto"],  # mod_tls is in the latter
    "pure-ftpd": ["pure-ftpd"],
}
BINARY = {
    "vsftpd": "usr/sbin/vsftpd",
    "proftpd": "usr/sbin/proftpd",
    "pure-ftpd": "usr/sbin/pure-ftpd",
}
RESERVED_USERS = ("root", "nobody", "_pure-ftpd")
GROUP_NAME = "zubftp"
START_BOUND = 20.0  # seconds for a daemon to answer on its port
STOP_BOUND = 5.0
BIND_TRIES = 5


class StartError(Exception):
    pass


def parse_args(argv):
    p = argparse.ArgumentParser()
    p.add_argument("--daemon", required=True, choices=sorted(PACKAGES))
    p.add_argument("--root", required=True)
    p.add_argument("--log", required=True)
    p.add_argument("--user", default="user")
    p.add_argument("--password", default="secret")
    p.add_argument("--tls", choices=("explicit", "implicit"))
    p.add_argument("--certfile", help="PEM file with private key and certificate")
    p.add_argument("--daemon-dir")
    p.add_argument("--tls-resume-optional", action="store_true",
                   help="data connections need not resume the control session "
                        "(for clients that resume none, such as Wine's SChannel)")
    # pyftpd_run.py's options: TLS data is always required here; no anonymous log-in.
    p.add_argument("--tls-data-required", action="store_true")
    p.add_argument("--anonymous", action="store_true")
    p.add_argument("--ipv6", action="store_true", help="vsftpd only: listen on ::1")
    args = p.parse_args(argv)
    if args.ipv6 and args.daemon != "vsftpd":
        p.error("--ipv6 is for vsftpd only")
    if args.tls and not args.certfile:
        p.error("--tls needs --certfile")
    return args


# ---- fetching the daemons ----------------------------------------------------------

def daemon_dir(args):
    return os.path.abspath(args.daemon_dir or os.environ.get("ZUB_DAEMON_DIR") or
                           os.path.join(REPO, "build", "daemons"))


def run_quiet(cmd, cwd=None):
    """Runs cmd; its output on failure, else None."""
    done = subprocess.run(cmd, cwd=cwd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, timeout=600, check=False)
    if done.returncode == 0:
        return None
    return done.stdout.decode("utf-8", "replace").strip() or "exit status %d" % done.returncode


def last_line(text):
    lines = [l for l in text.splitlines() if l.strip()]
    return lines[-1].strip() if lines else text


def fetch(daemon, top):
    """Unpacks the daemon's packages into top/daemon once; the lock makes a
    second process wait for the first one's work instead of repeating it."""
    tree = os.path.join(top, daemon)
    done_mark = os.path.join(tree, ".unpacked")
    os.makedirs(top, exist_ok=True)
    with open(os.path.join(top, ".lock"), "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if os.path.exists(done_mark):
            return tree
        work = tempfile.mkdtemp(prefix=".fetch-", dir=top)
        try:
            debs = os.path.join(work, "debs")
            os.mkdir(debs)
            out = run_quiet(["apt-get", "-q", "-o", "APT::Sandbox::User=root", "download"] +
                            PACKAGES[daemon], cwd=debs)
            if out is not None:
                raise StartError("apt-get download %s failed: %s" %
                                 (" ".join(PACKAGES[daemon]), last_line(out)))
            unpacked = os.path.join(work, "tree")
            for deb in sorted(os.listdir(debs)):
                out = run_quiet(["dpkg-deb", "-x", os.path.join(debs, deb), unpacked])
                if out is not None:
                    raise StartError("dpkg -x %s failed: %s" % (deb, last_line(out)))
            with open(os.path.join(unpacked, ".unpacked"), "w") as f:
                f.write("\n".join(sorted(os.listdir(debs))) + "\n")
            shutil.rmtree(tree, ignore_errors=True)
            os.rename(unpacked, tree)
        finally:
            shutil.rmtree(work, ignore_errors=True)
    return tree


def check_libraries(files):
    """The shared libraries the unpacked binaries need must be installed."""
    missing = set()
    for f in files:
        done = subprocess.run(["ldd", f], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                              check=False)
        for line in done.stdout.decode("utf-8", "replace").splitlines():
            if "not found" in line:
                missing.add(line.split()[0])
    if missing:
        raise StartError("shared libraries missing for %s: %s (bash tools/deps.sh installs them)" %
                         (os.path.basename(files[0]), " ".join(sorted(missing))))


# ---- the test user -------------------------------------------------------------------

def hash_password(password):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        try:
            import crypt
            return crypt.crypt(password, crypt.mksalt(crypt.METHOD_SHA512))
        except ImportError:  # Python 3.13 has no crypt module
            pass
    done = subprocess.run(["openssl", "passwd", "-6", "-stdin"], input=password.encode(),
                          stdout=subprocess.PIPE, check=True)
    return done.stdout.decode().strip()


def free_id(path, field):
    """An id from 61000 up that no line of path (passwd or group) uses."""
    used = set()
    with open(path) as f:
        for line in f:
            parts = line.split(":")
            if len(parts) > field and parts[field].isdigit():
                used.add(int(parts[field]))
    for n in range(61000, 65000):
        if n not in used:
            return n
    raise StartError("no free id in %s" % path)


def copy_without(src, dst, names, extra):
    """src's lines without those for names, plus the extra lines."""
    with open(src) as f:
        lines = [l for l in f if l.split(":", 1)[0] not in names]
    with open(dst, "w") as f:
        f.writelines(lines)
        f.writelines(l + "\n" for l in extra)
    os.chmod(dst, os.stat(src).st_mode & 0o777)


class Identity:
    """The test user as the daemon's namespace sees it."""

    def __init__(self, args, conf):
        self.name = args.user
        if not re.fullmatch(r"[A-Za-z0-9_][A-Za-z0-9_.-]*", self.name) or \
                self.name in RESERVED_USERS:
            raise StartError("user name %r cannot be a daemon's local user" % self.name)
        self.uid = free_id("/etc/passwd", 2)
        self.gid = free_id("/etc/group", 2)
        self.hash = hash_password(args.password)
        self.root = os.path.abspath(args.root)
        etc = os.path.join(conf, "etc")
        os.mkdir(etc, 0o755)
        today = int(time.time() // 86400)
        names = (self.name, GROUP_NAME, "_pure-ftpd")
        empty = os.path.join(conf, "empty")
        os.mkdir(empty, 0o755)
        copy_without("/etc/passwd", os.path.join(etc, "passwd"), names, [
            "%s:x:%d:%d:zub32 test user:%s:/bin/sh" % (self.name, self.uid, self.gid, self.root),
            "_pure-ftpd:x:%d:%d:pure-ftpd privsep:%s:/usr/sbin/nologin" % (
                self.uid + 1, self.gid, empty)])
        copy_without("/etc/shadow", os.path.join(etc, "shadow"), names, [
            "%s:%s:%d:0:99999:7:::" % (self.name, self.hash, today),
            "_pure-ftpd:!:%d:0:99999:7:::" % today])
        copy_without("/etc/group", os.path.join(etc, "group"), names,
                     ["%s:x:%d:" % (GROUP_NAME, self.gid)])


def hand_over_root(ident):
    """The root and what is in it become the test user's. The root's parent
    must be passable for that user: vsftpd enters the home directory under
    the user's uid."""
    root = ident.root
    parent = os.path.dirname(root)
    mode = stat.S_IMODE(os.stat(parent).st_mode)
    if mode & 0o001 == 0:
        os.chmod(parent, mode | 0o011)
    for dirpath, dirnames, filenames in os.walk(root):
        for name in [dirpath] + [os.path.join(dirpath, n) for n in dirnames + filenames]:
            os.lchown(name, ident.uid, ident.gid)


# ---- configuration per daemon -------------------------------------------------------

def vsftpd_config(args, conf, tree, ident, port):
    lines = [
        "listen=NO", "listen_ipv6=YES", "listen_address6=::1", "listen_port=%d" % port,
    ] if args.ipv6 else [
        "listen=YES", "listen_ipv6=NO", "listen_address=127.0.0.1", "listen_port=%d" % port,
    ]
    lines += [
        "background=NO",
        "anonymous_enable=NO", "local_enable=YES", "write_enable=YES", "local_umask=022",
        "local_root=" + ident.root, "chroot_local_user=YES", "allow_writeable_chroot=YES",
        "pam_service_name=zub-vsftpd",  # no such PAM file: /etc/pam.d/other applies
        "userlist_enable=NO", "tcp_wrappers=NO",
        "secure_chroot_dir=" + os.path.join(conf, "empty"), "nopriv_user=nobody",
        "pasv_enable=YES", "port_enable=YES", "connect_from_port_20=NO",
        "idle_session_timeout=60", "data_connection_timeout=30",
        # pam_unix still pauses about 2 s before refusing a wrong password.
        "delay_failed_login=0", "delay_successful_login=0",
        "syslog_enable=NO", "xferlog_enable=YES", "xferlog_std_format=NO",
        "log_ftp_protocol=YES", "vsftpd_log_file=" + os.path.abspath(args.log),
    ]
    if args.tls:
        lines += [
            "ssl_enable=YES", "rsa_cert_file=" + args.certfile,
            "rsa_private_key_file=" + args.certfile,
            # ssl_tlsv1 switches TLS 1.0 alone; 1.2 and 1.3 are always on.
            "ssl_sslv2=NO", "ssl_sslv3=NO", "ssl_tlsv1=NO",
            "ssl_ciphers=HIGH",  # the built-in list names none OpenSSL 3 still has
            "force_local_logins_ssl=YES", "force_local_data_ssl=YES",
            "require_ssl_reuse=" + ("NO" if args.tls_resume_optional else "YES"),
            "ssl_request_cert=NO", "debug_ssl=YES",
            "implicit_ssl=" + ("YES" if args.tls == "implicit" else "NO"),
        ]
    path = os.path.join(conf, "vsftpd.conf")
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")
    return [os.path.join(tree, BINARY["vsftpd"]), path]


def proftpd_config(args, conf, tree, ident, port):
    log = os.path.abspath(args.log)
    users = os.path.join(conf, "ftpd.passwd")
    groups = os.path.join(conf, "ftpd.group")
    with open(users, "w") as f:
        f.write("%s:%s:%d:%d::%s:/bin/sh\n" % (ident.name, ident.hash, ident.uid, ident.gid,
                                               ident.root))
    with open(groups, "w") as f:
        f.write("%s:x:%d:%s\n" % (GROUP_NAME, ident.gid, ident.name))
    os.chmod(users, 0o600)
    os.chmod(groups, 0o600)
    lines = [
        'ServerName "zub32 test proftpd"', "ServerType standalone",
        "UseIPv6 off", "DefaultAddress 127.0.0.1", "SocketBindTight on", "Port %d" % port,
        "User nobody", "Group nogroup", "Umask 022", "MaxInstances 50",
        "PidFile " + os.path.join(conf, "proftpd.pid"),
        "ScoreboardFile " + os.path.join(conf, "proftpd.scoreboard"),
        "WtmpLog off", "UseReverseDNS off", "UseFtpUsers off", "ControlsEngine off",
        "DelayEngine off", "AuthPAM off", "AuthOrder mod_auth_file.c",
        "AuthUserFile " + users, "AuthGroupFile " + groups,
        "RequireValidShell off", "DefaultRoot ~",
        "AllowOverwrite on", "AllowRetrieveRestart on", "AllowStoreRestart on",
        "TimeoutLogin 30", "TimeoutIdle 60", "TimeoutNoTransfer 60", "TimeoutStalled 30",
        "SystemLog " + log, "TransferLog " + log,
        'LogFormat protocol "%P %a %u: %r => %s %S"', "ExtendedLog %s ALL protocol" % log,
    ]
    if args.tls:
        lines += [
            "ModulePath " + os.path.join(tree, "usr/lib/proftpd"),
            "LoadModule mod_tls.c",
            "<IfModule mod_tls.c>",
            # TLS 1.2: data connections must resume the control session, and
            # proftpd 1.3.8 hands out TLS 1.3 tickets that each resume once,
            # on the control connection and after downloads but never after
            # an upload: after two uploads a session has none left (newer
            # proftpd sends a fresh one on the control connection first).
            # A TLS 1.2 session resumes as often as it is offered.
            "TLSEngine on", "TLSLog " + log, "TLSProtocol TLSv1.2",
            "TLSECCertificateFile " + args.certfile,
            "TLSECCertificateKeyFile " + args.certfile,
            "TLSRequired on",  # the log-in and data connections
            "TLSVerifyClient off", "TLSRenegotiate none",
        ]
        options = ["UseImplicitSSL"] if args.tls == "implicit" else []
        if args.tls_resume_optional:
            options.append("NoSessionReuseRequired")
        if options:
            lines.append("TLSOptions " + " ".join(options))
        lines.append("</IfModule>")
    path = os.path.join(conf, "proftpd.conf")
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")
    return [os.path.join(tree, BINARY["proftpd"]), "--nodaemon", "--config", path]


def pure_ftpd_config(args, conf, tree, ident, port):
    users = os.path.join(conf, "pureftpd.passwd")
    pdb = os.path.join(conf, "pureftpd.pdb")
    if not os.path.exists(pdb):
        # account:password:uid:gid:gecos:home, then twelve limits left unset
        with open(users, "w") as f:
            f.write("%s:%s:%d:%d::%s/./%s\n" % (ident.name, ident.hash, ident.uid, ident.gid,
                                                ident.root, ":" * 12))
        os.chmod(users, 0o600)
        out = run_quiet([os.path.join(tree, "usr/bin/pure-pw"), "mkdb", pdb, "-f", users])
        if out is not None:
            raise StartError("pure-pw mkdb failed: " + last_line(out))
    cmd = [os.path.join(tree, BINARY["pure-ftpd"]),
           "-S", "127.0.0.1,%d" % port, "-4", "-l", "puredb:" + pdb,
           "-A", "-E", "-H", "-I", "1", "-u", "1",
           "-g", os.path.join(conf, "pure-ftpd.pid"), "-O", "clf:" + args.log, "-d"]
    if args.tls:
        cmd += ["-Y", "3", "-2", args.certfile]  # TLS for the log-in and for data
    return cmd


CONFIG = {"vsftpd": vsftpd_config, "proftpd": proftpd_config, "pure-ftpd": pure_ftpd_config}


# ---- syslog for pure-ftpd -----------------------------------------------------------

def prepare_dev(conf):
    """A copy of /dev's entries (placeholders: the namespace bind-mounts the
    originals on them) with a syslog socket as log; returns that socket."""
    dev = os.path.join(conf, "dev")
    os.mkdir(dev, 0o755)
    for name in os.listdir("/dev"):
        src, dst = os.path.join("/dev", name), os.path.join(dev, name)
        if name == "log":
            continue
        if os.path.islink(src):
            os.symlink(os.readlink(src), dst)
        elif os.path.isdir(src):
            os.mkdir(dst)
        else:
            open(dst, "w").close()
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    sock.bind(os.path.join(dev, "log"))
    os.chmod(os.path.join(dev, "log"), 0o666)
    return sock


def relay_syslog(sock, log):
    """Appends what arrives on the syslog socket to the log, without the
    priority field."""
    while True:
        try:
            data = sock.recv(8192)
        except OSError:
            return
        text = re.sub(r"^<\d+>", "", data.decode("utf-8", "replace")).rstrip("\n")
        with open(log, "a") as f:
            f.write(text + "\n")


def enter_namespace(conf, watch_fd, argv):
    """In the daemon's fresh mount namespace: the private account files (and
    for pure-ftpd /dev with the syslog socket), then the daemon itself as a
    child of this process, which stays as its guard (see guard)."""
    libc = ctypes.CDLL(None, use_errno=True)
    ms_bind, ms_rec = 0x1000, 0x4000

    def bind(src, dst):
        if libc.mount(src.encode(), dst.encode(), None, ms_bind | ms_rec, None) != 0:
            raise StartError("mount %s on %s failed: %s" %
                             (src, dst, os.strerror(ctypes.get_errno())))

    for name in ("passwd", "shadow", "group"):
        bind(os.path.join(conf, "etc", name), "/etc/" + name)
    dev = os.path.join(conf, "dev")
    if os.path.isdir(dev):
        for name in os.listdir(dev):
            path = os.path.join(dev, name)
            if name != "log" and not os.path.islink(path):
                bind(os.path.join("/dev", name), path)
        bind(dev, "/dev")
    pid = os.fork()
    if pid == 0:
        os.close(watch_fd)
        os.execv(argv[0], argv)
    return guard(pid, watch_fd)


def namespace_members(ns):
    """The processes in mount namespace ns (not zombies, not this one)."""
    pids = set()
    for entry in os.listdir("/proc"):
        if not entry.isdigit() or int(entry) == os.getpid():
            continue
        try:
            with open("/proc/%s/stat" % entry) as f:
                if f.read().rsplit(")", 1)[1].split()[0] == "Z":
                    continue
            if os.readlink("/proc/%s/ns/mnt" % entry) == ns:
                pids.add(int(entry))
        except OSError:
            continue
    return pids


def guard(pid, watch_fd):
    """Waits for the daemon to exit (and exits with its status) or for the
    launcher to go without stopping it (killed: the watch pipe's other end
    closes); then ends every process of the namespace, the daemon's
    sessions included, whatever session or group they made themselves."""
    while True:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done == pid:
            return os.waitstatus_to_exitcode(status)
        readable, _, _ = select.select([watch_fd], [], [], 0.2)
        if readable and not os.read(watch_fd, 1):
            break
    ns = os.readlink("/proc/self/ns/mnt")
    for sig in (signal.SIGTERM, signal.SIGKILL):
        end = time.monotonic() + STOP_BOUND
        while time.monotonic() < end:
            members = namespace_members(ns)
            if not members:
                return 1
            for member in members:
                try:
                    os.kill(member, sig)
                except OSError:
                    pass
            try:
                os.waitpid(pid, os.WNOHANG)
            except ChildProcessError:
                pass
            time.sleep(0.05)  # waiting for them to go; bounded
    return 1


# ---- running ----------------------------------------------------------------------

# The loopback address the daemon listens on: ::1 with --ipv6.
LOOPBACK = "127.0.0.1"


def free_port():
    s = socket.socket(socket.AF_INET6 if ":" in LOOPBACK else socket.AF_INET, socket.SOCK_STREAM)
    try:
        s.bind((LOOPBACK, 0))
        return s.getsockname()[1]
    finally:
        s.close()


def log_tail(log, offset):
    try:
        with open(log, "rb") as f:
            f.seek(offset)
            return f.read().decode("utf-8", "replace")
    except OSError:
        return ""


def listener_inode(port):
    """The inode of the socket listening on the loopback address and port, or None."""
    v6 = ":" in LOOPBACK
    local = ("00000000000000000000000001000000" if v6 else "0100007F") + ":%04X" % port
    with open("/proc/net/tcp6" if v6 else "/proc/net/tcp") as f:
        next(f)
        for line in f:
            parts = line.split()
            if parts[3] == "0A" and parts[1] == local:
                return parts[9]
    return None


def holds_socket(pids, inode):
    target = "socket:[%s]" % inode
    for pid in pids:
        try:
            fds = os.listdir("/proc/%d/fd" % pid)
        except OSError:
            continue
        for fd in fds:
            try:
                if os.readlink("/proc/%d/fd/%s" % (pid, fd)) == target:
                    return True
            except OSError:
                continue
    return False


def answers(port, tls):
    """True when the daemon on port greets (or, implicit TLS, completes a
    handshake); False when nobody listens yet."""
    try:
        s = socket.create_connection((LOOPBACK, port), timeout=5)
    except OSError:
        return False
    try:
        if tls == "implicit":
            ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
            ctx.check_hostname = False
            ctx.verify_mode = ssl.CERT_NONE
            with ctx.wrap_socket(s, server_hostname="127.0.0.1") as t:
                t.settimeout(5)
                return t.recv(4).startswith(b"220")
        data = b""
        while b"\n" not in data:
            chunk = s.recv(512)
            if not chunk:
                break
            data += chunk
        if data.startswith(b"220"):
            s.sendall(b"QUIT\r\n")
            return True
        return False
    except (OSError, ssl.SSLError):
        return False
    finally:
        s.close()


class Daemon:
    def __init__(self, args):
        self.args = args
        self.proc = None
        self.conf = None
        self.ns = None
        self.ns_fd = None
        self.syslog = None
        self.watch = None

    def start(self):
        args = self.args
        if args.daemon == "pure-ftpd" and args.tls == "implicit":
            raise StartError("pure-ftpd: Debian's build has no implicit TLS (only explicit AUTH TLS)")
        if args.anonymous:
            raise StartError("%s: no anonymous log-in here" % args.daemon)
        if os.geteuid() != 0:
            raise StartError("%s needs root (it logs in a local user)" % args.daemon)
        args.root = os.path.abspath(args.root)
        args.log = os.path.abspath(args.log)
        if args.certfile:
            args.certfile = os.path.abspath(args.certfile)
        tree = fetch(args.daemon, daemon_dir(args))
        binary = os.path.join(tree, BINARY[args.daemon])
        libs = [binary] + ([os.path.join(tree, "usr/lib/proftpd/mod_tls.so")]
                           if args.daemon == "proftpd" and args.tls else [])
        check_libraries(libs)
        self.conf = tempfile.mkdtemp(prefix="ftpd-%s-" % args.daemon,
                                     dir=os.path.dirname(args.root))
        os.chmod(self.conf, 0o711)
        ident = Identity(args, self.conf)
        hand_over_root(ident)
        if args.daemon == "pure-ftpd":
            self.syslog = prepare_dev(self.conf)
            threading.Thread(target=relay_syslog, args=(self.syslog, args.log),
                             daemon=True).start()
        for _ in range(BIND_TRIES):
            port = free_port()
            argv = CONFIG[args.daemon](args, self.conf, tree, ident, port)
            offset = os.path.getsize(args.log) if os.path.exists(args.log) else 0
            if self.launch(argv, port):
                return port
            text = log_tail(args.log, offset)
            self.stop()
            if not re.search(r"in use|bind", text, re.I):
                raise StartError("%s did not start: %s" % (args.daemon, last_line(text) or
                                                           "no output"))
        raise StartError("%s could not bind a free port in %d tries" % (args.daemon, BIND_TRIES))

    def launch(self, argv, port):
        """Starts the daemon in a new session and mount namespace; True once
        it answers on port, False when it exits first."""
        # The guard in the namespace reads the watch pipe: its end means this
        # script is gone without having stopped the daemon.
        watch_read, self.watch = os.pipe()
        with open(self.args.log, "ab") as log:
            # vsftpd writes its start-up errors to fd 0, as it would to an inetd client.
            stdin = log if self.args.daemon == "vsftpd" else subprocess.DEVNULL
            self.proc = subprocess.Popen(
                ["unshare", "--mount", "--propagation", "private", PYTHON,
                 os.path.abspath(__file__), "--enter-namespace", self.conf, str(watch_read),
                 "--"] + argv,
                stdin=stdin, stdout=log, stderr=log, start_new_session=True,
                pass_fds=(watch_read,))
        os.close(watch_read)
        end = time.monotonic() + START_BOUND
        while time.monotonic() < end:
            if self.proc.poll() is not None:
                return False
            # The port is the daemon's (not someone else's who took it
            # after free_port) and the daemon greets on it.
            inode = listener_inode(port)
            if inode and holds_socket(self.members(), inode) and answers(port, self.args.tls):
                self.ns = self.namespace_of(self.proc.pid)
                # Held open until the stop is over, the namespace cannot end
                # and have its number given to another daemon's namespace,
                # whose processes members() would then take for these.
                try:
                    self.ns_fd = os.open("/proc/%d/ns/mnt" % self.proc.pid, os.O_RDONLY)
                except OSError:
                    self.ns = None
                return True
            time.sleep(0.05)  # polling the port; bounded by START_BOUND
        raise StartError("%s did not answer on port %d within %.0f s" %
                         (self.args.daemon, port, START_BOUND))

    @staticmethod
    def namespace_of(pid):
        try:
            ns = os.readlink("/proc/%d/ns/mnt" % pid)
        except OSError:
            return None
        return ns if ns != os.readlink("/proc/self/ns/mnt") else None

    def members(self):
        """Processes of the daemon: its process group, and whatever runs in its
        mount namespace (sessions that made a group or namespace of their own)."""
        pids = set()
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            pid = int(entry)
            try:
                with open("/proc/%d/stat" % pid) as f:
                    if f.read().rsplit(")", 1)[1].split()[0] == "Z":
                        continue  # gone already, waiting for its parent
                # The group only while its leader is not reaped: its number
                # may then lead another group.
                if self.proc and self.proc.returncode is None and os.getpgid(pid) == self.proc.pid:
                    pids.add(pid)
                elif self.ns and os.readlink("/proc/%d/ns/mnt" % pid) == self.ns:
                    pids.add(pid)
            except OSError:
                continue
        pids.discard(os.getpid())
        return pids

    def signal_all(self, sig):
        for pid in self.members():
            try:
                os.kill(pid, sig)
            except OSError:
                pass

    def stop(self):
        if self.proc is not None:
            self.signal_all(signal.SIGTERM)
            end = time.monotonic() + STOP_BOUND
            while time.monotonic() < end:
                self.proc.poll()
                if not self.members():
                    break
                time.sleep(0.02)  # waiting for the processes to go; bounded
            else:
                self.signal_all(signal.SIGKILL)
            try:
                self.proc.wait(timeout=STOP_BOUND)
            except subprocess.TimeoutExpired:
                pass
            self.proc = None
            self.ns = None
        if self.ns_fd is not None:
            os.close(self.ns_fd)
            self.ns_fd = None
        if self.watch is not None:
            os.close(self.watch)
            self.watch = None

    def cleanup(self):
        self.stop()
        if self.syslog is not None:
            self.syslog.close()
        if self.conf:
            shutil.rmtree(self.conf, ignore_errors=True)
            self.conf = None


def main(argv):
    if len(argv) > 3 and argv[0] == "--enter-namespace" and argv[3] == "--":
        try:
            return enter_namespace(argv[1], int(argv[2]), argv[4:])
        except (StartError, OSError) as e:
            print("ftpd_run.py: %s" % e, file=sys.stderr)
            return 1
    args = parse_args(argv)
    global LOOPBACK
    if args.ipv6:
        LOOPBACK = "::1"
    daemon = Daemon(args)
    done = threading.Event()

    def on_term(*_):
        done.set()

    signal.signal(signal.SIGTERM, on_term)
    signal.signal(signal.SIGINT, on_term)
    try:
        try:
            t0 = time.monotonic()
            port = daemon.start()
        except (StartError, OSError, subprocess.SubprocessError) as e:
            print("ftpd_run.py: %s" % e, file=sys.stderr, flush=True)
            return 1
        with open(args.log, "a") as f:
            f.write("ftpd_run.py: %s answers on port %d after %.2f s\n" %
                    (args.daemon, port, time.monotonic() - t0))
        print(port, flush=True)

        def wait_stdin():
            try:
                sys.stdin.buffer.read()
            finally:
                done.set()

        threading.Thread(target=wait_stdin, daemon=True).start()
        while not done.wait(0.5):
            if daemon.proc.poll() is not None:
                print("ftpd_run.py: %s exited (status %s)" % (args.daemon, daemon.proc.returncode),
                      file=sys.stderr, flush=True)
                return 1
        return 0
    finally:
        daemon.cleanup()


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
