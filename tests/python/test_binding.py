#!/usr/bin/python3
"""End to end: the Python binding against a pyftpdlib server on 127.0.0.1.

The library comes from ZUB32_LIBRARY (set by CTest). The server is
tests/servers/pyftpd_run.py as a child process on a free port; it stops
when its stdin is closed, and is killed by its process id if it lingers.
"""
import os
import subprocess
import sys
import tempfile
import unittest

REPO = os.path.abspath(os.path.join(os.path.dirname(__file__), os.pardir, os.pardir))
sys.path.insert(0, os.path.join(REPO, "bindings", "python", "src"))
import zub32  # noqa: E402

SERVER = os.path.join(REPO, "tests", "servers", "pyftpd_run.py")


class BindingTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.root = os.path.join(self.tmp.name, "root")
        self.local = os.path.join(self.tmp.name, "local")
        os.mkdir(self.root)
        os.mkdir(self.local)
        self.server = subprocess.Popen(
            ["/usr/bin/python3", SERVER, "--root", self.root, "--user", "user",
             "--password", "secret", "--log", os.path.join(self.tmp.name, "server.log")],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.port = int(self.server.stdout.readline())
        self.lib = zub32.Library(channels=2)

    def tearDown(self):
        try:
            self.lib.release()
        finally:
            self.server.stdin.close()
            try:
                self.server.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.server.kill()
                self.server.wait()
            self.server.stdout.close()
            self.tmp.cleanup()

    def test_session(self):
        ch = self.lib.channel(1)
        ch.open_log(os.path.join(self.tmp.name, "channel.log"))
        ch.connect("127.0.0.1", "user", "secret", port=self.port)
        ch.set_mode(zub32.MODE_BINARY)
        ch.set_passive(True)
        ch.set_local_dir(self.local)

        # Line ends, a lone CR and NULs: an ASCII-mode transfer would change them.
        data = bytes(range(256)) * 40 + b"a\r\nb\nc\r\0"
        with open(os.path.join(self.local, "up.bin"), "wb") as f:
            f.write(data)
        ch.put_file("up.bin", "stored.bin")
        with open(os.path.join(self.root, "stored.bin"), "rb") as f:
            self.assertEqual(f.read(), data)
        self.assertEqual(ch.get_integer(zub32.GET_PUT_BYTES), len(data))

        ch.mkdir("sub")
        names = ch.listing(zub32.NLST).split("\r\n")
        self.assertIn("stored.bin", names)
        self.assertIn("sub", names)
        self.assertIn("stored.bin", ch.listing(zub32.LIST))
        self.assertEqual(ch.server_dir(), "/")

        ch.get_file("stored.bin", "down.bin")
        with open(os.path.join(self.local, "down.bin"), "rb") as f:
            self.assertEqual(f.read(), data)
        self.assertEqual(ch.get_integer(zub32.GET_GET_BYTES), len(data))

        with self.assertRaises(zub32.Zub32Error) as refused:
            ch.command("XYZZY")
        self.assertEqual(refused.exception.code, zub32.E_SERVER_ERROR)
        self.assertTrue(refused.exception.reply.startswith("500"), refused.exception.reply)
        self.assertIn(refused.exception.reply, refused.exception.text)

        # A name with a line end never reaches the server.
        with self.assertRaises(zub32.Zub32Error) as bad:
            ch.delete("stored.bin\r\nDELE up.bin")
        self.assertEqual(bad.exception.code, zub32.E_CANNOT_COMPLY)

        ch.delete("stored.bin")
        ch.rmdir("sub")
        self.assertEqual(os.listdir(self.root), [])
        ch.close()


if __name__ == "__main__":
    unittest.main()
