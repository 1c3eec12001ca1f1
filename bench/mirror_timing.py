#!/usr/bin/python3
"""Wall times of a mirror of 1000 small files in 50 folders, down and up,
zubftp (--parallel 4 and 1) against lftp's mirror --parallel=4, on vsftpd
(ftpd_run.py) and pyftpdlib. Medians of 3.

Usage: mirror_timing.py ZUBFTP REPO   (as root: ftpd_run.py runs vsftpd;
ZUBFTP inside a build tree, whose daemons/ holds the unpacked daemon)
"""
import os, shutil, statistics, subprocess, sys, tempfile, time

ZUB, REPO = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
PY = "/usr/bin/python3"
tmp = tempfile.mkdtemp(prefix="mirror-timing-")
src = os.path.join(tmp, "src")
for f in range(50):
    os.makedirs(os.path.join(src, "folder %02d" % f))
    for i in range(20):
        with open(os.path.join(src, "folder %02d" % f, "file %d.txt" % i), "wb") as out:
            out.write(b"%d-%d\n" % (f, i) * (i + 1))


def start(args):
    p = subprocess.Popen([PY] + args, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    return p, int(p.stdout.readline())


def timed(cmd):
    t0 = time.monotonic()
    r = subprocess.run(cmd, capture_output=True, timeout=600)
    t = time.monotonic() - t0
    if r.returncode:
        sys.exit("failed: %s\n%s" % (cmd, r.stderr.decode(errors="replace")[-2000:]))
    return t


def count(top):
    return sum(len(n) for _, _, n in os.walk(top))


servers = {}
for name in ("vsftpd", "pyftpdlib"):
    root = os.path.join(tmp, "root-" + name)
    os.mkdir(root)
    if name == "vsftpd":
        args = [os.path.join(REPO, "tests/servers/ftpd_run.py"), "--daemon", "vsftpd", "--root", root, "--log",
                root + ".log", "--user", "user", "--password", "pw", "--daemon-dir",
                os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(ZUB))), "daemons")]
    else:
        args = [os.path.join(REPO, "tests/servers/pyftpd_run.py"), "--root", root, "--user", "user", "--password",
                "pw", "--log", root + ".log"]
    servers[name] = (root,) + start(args)

tools = {
    "zubftp --parallel 4": lambda port, up, a, b: [ZUB, "-q", "--parallel", "4", "ftp://user:pw@127.0.0.1:%d" % port,
                                                   "mirror"] + (["-R"] if up else []) + [a, b],
    "zubftp --parallel 1": lambda port, up, a, b: [ZUB, "-q", "ftp://user:pw@127.0.0.1:%d" % port,
                                                   "mirror"] + (["-R"] if up else []) + [a, b],
    "lftp mirror --parallel=4": lambda port, up, a, b: [
        "lftp", "-u", "user,pw", "-p", str(port), "-e",
        "mirror %s--parallel=4 '%s' '%s'; quit" % ("-R " if up else "", a, b), "127.0.0.1"],
}
print("%-10s %-26s %8s %8s   (medians of 3, seconds; runs)" % ("server", "tool", "down", "up"))
for sname, (root, proc, port) in servers.items():
    # The tree the downloads read, put there once.
    shutil.copytree(src, os.path.join(root, "tree"))
    st = os.stat(root)
    for d, _, names in os.walk(os.path.join(root, "tree")):
        for n in [d] + [os.path.join(d, x) for x in names]:
            os.chown(n, st.st_uid, st.st_gid)
    for tname, make in tools.items():
        down, up = [], []
        for k in range(3):
            dst = os.path.join(tmp, "dst-%s-%s-%d" % (sname, tname.replace(" ", "_"), k))
            down.append(timed(make(port, False, "tree", dst)))
            assert count(dst) == 1000, count(dst)
            target = "up-%s-%d" % (tname.replace(" ", "_").replace("=", ""), k)
            up.append(timed(make(port, True, src, target)))
            assert count(os.path.join(root, target)) == 1000
        print("%-10s %-26s %8.2f %8.2f   down %s up %s" % (sname, tname, statistics.median(down),
              statistics.median(up), " ".join("%.2f" % x for x in down), " ".join("%.2f" % x for x in up)),
              flush=True)
for root, proc, port in servers.values():
    proc.terminate()
    proc.wait(timeout=60)
shutil.rmtree(tmp)
