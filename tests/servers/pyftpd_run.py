#!/usr/bin/python3
"""Runs a pyftpdlib FTP server for the tests (started by PyFtpd in pyftpd.cpp).

Binds 127.0.0.1 on an ephemeral port and prints that port as the first line
on stdout, so the caller never has to guess a free port. Logging goes to the
file named by --log, never to the terminal. The server exits when its stdin
reaches end of file, so a test binary that dies leaves no server behind.

FTPS (--tls, with --certfile naming a PEM file holding key and certificate):
  explicit  pyftpdlib's TLS_FTPHandler: AUTH TLS, PBSZ 0, PROT P/C; USER
            and PASS before AUTH TLS are refused (550).
  implicit  TLS from the first byte: the handshake starts as soon as the
            control connection is accepted and the 220 greeting comes after
            it; the session counts as secured, so PBSZ/PROT work (AUTH gets
            503).
In both, data connections are TLS after PROT P (the data connection's
handshake may resume the control connection's session), and
--tls-data-required refuses PASV/EPSV/PORT/EPRT (550) until PROT P.
TLS 1.2 and 1.3 are both offered. At the end of a download pyftpdlib sends
a close notify, then closes; an upload's end is taken from the client's
close notify or from a plain end of the connection alike (226 either way).

One fix to pyftpdlib 1.5.7 (ShutdownFailureCloses below): when the client
ends its half of a TLS connection without a close notify but keeps reading
(shutdown(SHUT_WR)), pyftpdlib's own TLS shutdown fails ("shutdown while in
init") and is retried at every loop turn, for ever: the server spins, its
log grows by the megabyte and the transfer never ends. Here it closes the
connection instead, as pyftpdlib does when the client closed both halves.
"""
import argparse
import logging
import os
import sys
import threading

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
try:
    from pyftpdlib.handlers import SSLConnection, TLS_DTPHandler, TLS_FTPHandler
except ImportError:  # pyOpenSSL missing: only --tls fails
    TLS_FTPHandler = None
from pyftpdlib.servers import FTPServer

FULL_PERMS = "elradfmwMT"


def parse_args():
    p = argparse.ArgumentParser()
    p.add_argument("--root", required=True)
    p.add_argument("--user", default="user")
    p.add_argument("--password", default="secret")
    p.add_argument("--anonymous", action="store_true")
    p.add_argument("--log", required=True)
    p.add_argument("--tls", choices=("explicit", "implicit"))
    p.add_argument("--certfile", help="PEM file with private key and certificate")
    p.add_argument("--tls-data-required", action="store_true")
    p.add_argument("--ipv6", action="store_true", help="listen on ::1 instead of 127.0.0.1")
    p.add_argument("--refuse", default="", help="commands (comma-separated) answered as unknown")
    args = p.parse_args()
    if args.tls and not args.certfile:
        p.error("--tls needs --certfile")
    if args.tls and TLS_FTPHandler is None:
        p.error("--tls needs pyOpenSSL (Debian: python3-openssl)")
    return args


class ShutdownFailureCloses:
    """A TLS shutdown that has failed for good (neither done nor waiting for
    the socket) closes the connection, instead of being retried for ever."""

    def _do_ssl_shutdown(self):
        super()._do_ssl_shutdown()
        if self._ssl_closing and not self._closed and \
                not (self._ssl_want_read or self._ssl_want_write):
            self._ssl_established = False
            self._ssl_closing = False
            super(SSLConnection, self).close()  # the plain handler's close


def tls_handler_base(args):
    """The handler class to build on: plain, explicit or implicit TLS."""
    if not args.tls:
        return FTPHandler

    class DataHandler(ShutdownFailureCloses, TLS_DTPHandler):
        pass

    class ExplicitHandler(ShutdownFailureCloses, TLS_FTPHandler):
        dtp_handler = DataHandler

    ExplicitHandler.certfile = args.certfile
    ExplicitHandler.tls_control_required = True
    ExplicitHandler.tls_data_required = args.tls_data_required
    # A context of this class's own (the base class caches one per class).
    ExplicitHandler.ssl_context = None
    ExplicitHandler.get_ssl_context()
    if args.tls == "explicit":
        return ExplicitHandler

    class ImplicitHandler(ExplicitHandler):
        """TLS before the greeting. pyftpdlib's own handle() sends the 220 at
        once; here it is sent when the handshake is done."""
        _greeted = False

        def handle(self):
            self.secure_connection(self.ssl_context)

        def handle_ssl_established(self):
            if not self._greeted:
                self._greeted = True
                ExplicitHandler.handle(self)

        def ftp_AUTH(self, line):
            self.respond("503 Already using TLS.")

    return ImplicitHandler


def make_handler(args):
    auth = DummyAuthorizer()
    auth.add_user(args.user, args.password, args.root, perm=FULL_PERMS)
    if args.anonymous:
        auth.add_anonymous(args.root, perm=FULL_PERMS)

    class Handler(tls_handler_base(args)):
        pass

    Handler.authorizer = auth
    refused = {c.strip().upper() for c in args.refuse.split(",") if c.strip()}
    if refused:
        Handler.proto_cmds = {k: v for k, v in Handler.proto_cmds.items() if k not in refused}
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

    server = FTPServer(("::1" if args.ipv6 else "127.0.0.1", 0), make_handler(args))
    print(server.socket.getsockname()[1], flush=True)
    threading.Thread(target=exit_on_stdin_eof, daemon=True).start()
    server.serve_forever(timeout=0.2)


if __name__ == "__main__":
    main()
