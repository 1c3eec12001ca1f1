#!/usr/bin/python3
"""Runs a pyftpdlib FTP server for the tests (started by PyFtpd in pyftpd.cpp).

Binds 127.0.0.1 on an ephemeral port and prints that port as the first line
on stdout, so the caller never has to guess a free port. Logging goes to the
file named by --log, never to the terminal. The server exits when its stdin
reaches end of file, so a test binary that dies leaves no server behind.
"""
import argparse
import logging
import os
import sys
import threading

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer

FULL_PERMS = "elradfmwMT"


def parse_args():
    p = argparse.ArgumentParser()
    p.add_argument("--root", required=True)
    p.add_argument("--user", default="user")
    p.add_argument("--password", default="secret")
    p.add_argument("--anonymous", action="store_true")
    p.add_argument("--log", required=True)
    return p.parse_args()


def make_handler(args):
    auth = DummyAuthorizer()
    auth.add_user(args.user, args.password, args.root, perm=FULL_PERMS)
    if args.anonymous:
        auth.add_anonymous(args.root, perm=FULL_PERMS)

    class Handler(FTPHandler):
        pass

    Handler.authorizer = auth
    Handler.banner = "pyftpdlib test server ready."
    # Data connections must stay on the loopback address the client used.
    Handler.masquerade_address = None
    Handler.permit_foreign_addresses = False
    Handler.permit_privileged_ports = False
    # Short timeouts keep a misbehaving test from holding the server for long.
    Handler.timeout = 60
    Handler.dtp_handler.timeout = 30
    # A wrong password is answered at once instead of after 3 s.
    Handler.auth_failed_timeout = 0.05
    return Handler


def exit_on_stdin_eof():
    try:
        sys.stdin.buffer.read()
    finally:
        os._exit(0)


def main():
    args = parse_args()
    log = logging.getLogger("pyftpdlib")
    log.setLevel(logging.DEBUG)
    handler = logging.FileHandler(args.log)
    handler.setFormatter(logging.Formatter("%(asctime)s %(message)s"))
    log.addHandler(handler)
    log.propagate = False

    server = FTPServer(("127.0.0.1", 0), make_handler(args))
    print(server.socket.getsockname()[1], flush=True)
    threading.Thread(target=exit_on_stdin_eof, daemon=True).start()
    server.serve_forever(timeout=0.2)


if __name__ == "__main__":
    main()
