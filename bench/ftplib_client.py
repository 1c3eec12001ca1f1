"""Python ftplib's side of the benchmarks in bench/run.py.

Same commands and output as zubbench (see zubbench.c): one line of
key=value pairs, "seconds" being the measured work alone. Binary type and
passive mode, ftplib's default block size (8192).
"""
import ftplib
import sys
import time


def session(host, port, user, password):
    ftp = ftplib.FTP()
    ftp.connect(host, int(port))
    ftp.login(user, password)
    ftp.voidcmd("TYPE I")
    return ftp


def main(argv):
    cmd, host, port, user, password = argv[:5]
    args = argv[5:]
    if cmd == "login":
        t0 = time.monotonic()
        ftp = ftplib.FTP()
        ftp.connect(host, int(port))
        ftp.login(user, password)
        print("seconds=%.6f" % (time.monotonic() - t0))
        ftp.quit()
        return 0
    ftp = session(host, port, user, password)
    t0 = time.monotonic()
    if cmd == "get":
        with open(args[1], "wb") as f:
            ftp.retrbinary("RETR " + args[0], f.write)
    elif cmd == "put":
        with open(args[0], "rb") as f:
            ftp.storbinary("STOR " + args[1], f)
    elif cmd == "hello":
        for _ in range(int(args[0])):
            ftp.voidcmd("NOOP")
    elif cmd == "list":
        lines = []
        ftp.retrlines("LIST " + args[0], lines.append)
    elif cmd == "small":
        folder, count, local = args[0], int(args[1]), args[2]
        for i in range(count):
            with open(local + "/small.bin", "rb") as f:
                ftp.storbinary("STOR %s/s%d.bin" % (folder, i), f)
        for i in range(count):
            with open("%s/back%d.bin" % (local, i), "wb") as f:
                ftp.retrbinary("RETR %s/s%d.bin" % (folder, i), f.write)
    else:
        print("ftplib_client: unknown command " + cmd, file=sys.stderr)
        return 2
    print("seconds=%.6f" % (time.monotonic() - t0))
    ftp.quit()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
