"""The server program's command line: password hashing, clear errors for bad
settings, anonymous access rules, the demo script."""

import ftplib
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import unittest

from stack import PLUGIN, SERVER, SOURCE_DIR, BINARY_DIR, FtpTestCase, Stack


def run_server(*args, timeout=20, input=None):
    return subprocess.run([SERVER] + list(args), capture_output=True, text=True, timeout=timeout, input=input)


class CommandLineTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="orvel-cli-")

    def tearDown(self):
        shutil.rmtree(self.tmp, ignore_errors=True)

    def path(self, name):
        return os.path.join(self.tmp, name)

    def test_hash_password_line(self):
        r = run_server("--hash-password", "ann", input="pw one\n")
        self.assertEqual(r.returncode, 0, r.stderr)
        user, hashed = r.stdout.strip().split(":")
        self.assertEqual(user, "ann")
        self.assertTrue(hashed.startswith("$y$"), hashed)  # yescrypt, as in /etc/shadow
        again = run_server("--hash-password", "ann", input="pw one\n").stdout.strip()
        self.assertNotEqual(again.split(":")[1], hashed, "every line gets its own salt")
        self.assertEqual(run_server("--hash-password", "a:b", input="x\n").returncode, 2)

    def test_missing_or_unreadable_files_exit_2(self):
        missing = self.path("no-such-users")
        r = run_server("--users", missing, "--port", "0")
        self.assertEqual(r.returncode, 2)
        self.assertIn(missing, r.stderr)
        self.assertIn("No such file or directory", r.stderr)

        users = self.path("users")
        with open(users, "w") as f:
            f.write(run_server("--hash-password", "ann", input="pw\n").stdout)
        r = run_server("--users", users, "--creds", self.path("nocreds.json"), "--plugin", PLUGIN, "--port", "0")
        self.assertEqual(r.returncode, 2)
        self.assertIn(self.path("nocreds.json"), r.stderr)

        r = run_server("--users", users, "--plugin", self.path("nolib.so"), "--port", "0")
        self.assertEqual(r.returncode, 2)
        self.assertIn("nolib.so", r.stderr)

        r = run_server("--config", self.path("nothing.conf"))
        self.assertEqual(r.returncode, 2)
        self.assertIn("nothing.conf", r.stderr)

        with open(self.path("bad-users"), "w") as f:
            f.write("ann:md5:salt:abc\n")
        r = run_server("--users", self.path("bad-users"), "--plugin", PLUGIN, "--port", "0")
        self.assertEqual(r.returncode, 2)
        self.assertIn("bad-users:1", r.stderr)

        r = run_server("--port", "99999")
        self.assertEqual(r.returncode, 2)
        self.assertIn("port", r.stderr)

    def test_anonymous_only_on_loopback(self):
        r = run_server("--allow-anonymous", "--listen", "0.0.0.0", "--plugin", PLUGIN, "--port", "0")
        self.assertEqual(r.returncode, 2)
        self.assertIn("loopback", r.stderr)
        conf = self.path("server.conf")
        with open(conf, "w") as f:
            f.write("# comment\nlisten = 0.0.0.0\nallow-anonymous = yes\n")
        r = run_server("--config", conf, "--plugin", PLUGIN, "--port", "0")
        self.assertEqual(r.returncode, 2)
        self.assertIn("loopback", r.stderr)
        # Neither a certificate nor an explicit clear-text setting: no start (and no port bound).
        with open(self.path("users"), "w") as f:
            f.write(run_server("--hash-password", "ann", input="pw\n").stdout)
        r = run_server("--listen", "0.0.0.0", "--users", self.path("users"), "--plugin", PLUGIN, "--port", "0")
        self.assertEqual(r.returncode, 2)
        self.assertIn("refusing to listen on 0.0.0.0 without TLS", r.stderr)


class AnonymousTest(unittest.TestCase):
    def test_anonymous_login_when_enabled(self):
        with Stack(server_args=["--allow-anonymous"]) as stack:
            os.symlink(os.path.join(stack.tmp, "creds-ann.json"), os.path.join(stack.tmp, "creds-anonymous.json"))
            stack.put("/pub.txt", b"public")
            with stack.session(user="anonymous", password="guest@example.org") as f:
                self.assertEqual(f.size("/pub.txt"), 6)
            idle = stack.ftp()  # a session still open when the server stops
            try:
                stack.server.send_signal(signal.SIGTERM)
                self.assertEqual(stack.server.wait(timeout=15), 0)
                self.assertFalse(os.path.exists(stack.port_file))
                with self.assertRaises((EOFError, ConnectionError, ftplib.Error)):
                    idle.sendcmd("NOOP")  # its session process has ended too
            finally:
                idle.close()


class SessionStartFailureTest(FtpTestCase):
    def test_login_refused_when_the_storage_session_cannot_start(self):
        users = [("ann", "secret-ann", "T", "dbid:AAAApersonal", "1000"),
                 ("bob", "pw-bob", "T", "dbid:AAAApersonal", "1000")]
        with Stack(users=users) as stack:
            os.unlink(os.path.join(stack.tmp, "creds-bob.json"))
            text = self.assertRefused("530", stack.ftp, "bob", "pw-bob")
            self.assertIn("credential", text)
            self.assertIn("creds-bob.json: No such file or directory", stack.server_log())
            with open(os.path.join(stack.tmp, "creds-ann.json"), "w") as f:
                f.write("{not json")
            self.assertRefused("530", stack.ftp)


class LimitsTest(FtpTestCase):
    def test_session_limit_and_idle_timeout(self):
        with Stack(server_args=["--max-sessions", "1", "--idle-timeout", "2"]) as stack:
            first = stack.ftp()
            try:
                self.assertRefused("421", stack.ftp)
                # The silent first session is closed after the idle time.
                first.sock.settimeout(20)
                self.assertTrue(first.getline().startswith("421"))
            finally:
                first.close()
            # Its process is reaped, so a new client gets in.
            deadline = time.monotonic() + 10
            while True:
                try:
                    stack.ftp().quit()
                    break
                except ftplib.error_temp:
                    if time.monotonic() > deadline:
                        raise
                    time.sleep(0.1)


class UnreadRepliesTest(FtpTestCase):
    def test_client_that_never_reads_its_replies(self):
        with Stack(server_args=["--max-sessions", "1", "--idle-timeout", "2"]) as stack:
            sock = socket.socket()
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            sock.connect(("127.0.0.1", stack.port))
            try:
                sock.sendall(b"USER ann\r\nPASS secret-ann\r\n")
                # Commands keep coming, their replies are never read: the
                # session's replies back up until its writes stall.
                sock.setblocking(False)
                deadline = time.monotonic() + 20
                stalled = 0
                while stalled < 50 and time.monotonic() < deadline:
                    try:
                        sock.send(b"HELP\r\n" * 100)
                        stalled = 0
                    except BlockingIOError:
                        stalled += 1
                        time.sleep(0.02)
                # A stalled session ends after the idle time and frees its slot.
                deadline = time.monotonic() + 15
                while True:
                    try:
                        stack.ftp(timeout=5).quit()
                        break
                    except ftplib.error_temp:
                        if time.monotonic() > deadline:
                            raise
                        time.sleep(0.2)
            finally:
                sock.close()


class DataConnectionTimeoutTest(FtpTestCase):
    def test_client_that_never_connects(self):
        with Stack(server_args=["--data-timeout", "1", "--passive-ports", "47100-47199"]) as stack:
            stack.put("/f.txt", b"data")
            with stack.session() as f:
                for _ in range(3):  # ports come from the configured range
                    port = int(f.sendcmd("EPSV").split("|")[3])
                    self.assertTrue(47100 <= port <= 47199, port)
                    host, port = ftplib.parse227(f.sendcmd("PASV"))
                    self.assertEqual(host, "127.0.0.1")
                    self.assertTrue(47100 <= port <= 47199, port)
                for command in ("LIST /", "RETR /f.txt", "STOR /g.txt"):
                    with self.subTest(command=command):
                        f.sendcmd("PASV")
                        self.assertTrue(f.sendcmd(command).startswith("150"))
                        self.assertRefused(("425", "426"), f.getresp)
                self.assertEqual(f.size("/f.txt"), 4)
            self.assertFalse(os.path.exists(stack.local("/g.txt")))


class PassivePortReuseTest(FtpTestCase):
    def test_two_passive_ports_serve_many_transfers(self):
        with Stack(server_args=["--passive-ports", "47300-47301"]) as stack:
            stack.put("/f.txt", b"data")
            with stack.session() as f:
                for _ in range(6):
                    got = []
                    f.retrbinary("RETR /f.txt", got.append)
                    self.assertEqual(b"".join(got), b"data")


class DemoTest(unittest.TestCase):
    def test_demo_check(self):
        env = dict(os.environ, ORVEL_BINARY_DIR=BINARY_DIR)
        r = subprocess.run(["bash", os.path.join(SOURCE_DIR, "scripts", "demo.sh"), "--check"], env=env,
                           capture_output=True, text=True, timeout=120)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        self.assertIn("check passed", r.stdout)


if __name__ == "__main__":
    unittest.main()
