"""Namespace commands, checksums, error replies, logins and concurrent
sessions through the FTP server."""

import ftplib
import hashlib
import io
import json
import os
import threading
import time
import unittest
import zlib

from stack import SharedStackTest, Stack, content_hash, generated_chunks

MiB = 1024 * 1024


class CommandTest(SharedStackTest):
    SHARED_FTP = True

    @classmethod
    def seed(cls):
        cls.data = b"".join(generated_chunks(9 * MiB + 777, seed=11))  # three content-hash blocks
        cls.stack.put("/sums/file.bin", cls.data)
        cls.stack.put("/sums/empty.bin", b"")
        cls.stack.put("/ns/file.txt", b"some text")

    def exists(self, path):
        return os.path.exists(self.stack.local(path))

    def test_make_remove_rename_delete(self):
        f = self.ftp
        self.assertIn('"/ns/newdir"', f.sendcmd("MKD /ns/newdir"))
        self.assertTrue(os.path.isdir(self.stack.local("/ns/newdir")))
        f.cwd("/ns")
        try:
            self.assertIn('"/ns/rel"', f.sendcmd("MKD rel"))  # relative to the current folder
        finally:
            f.cwd("/")
        self.assertTrue(f.sendcmd("RMD /ns/rel").startswith("250"))
        self.assertFalse(self.exists("/ns/rel"))

        f.storbinary("STOR /ns/newdir/x.txt", io.BytesIO(b"x"))
        self.assertTrue(f.sendcmd("RNFR /ns/newdir/x.txt").startswith("350"))
        self.assertTrue(f.sendcmd("RNTO /ns/newdir/y.txt").startswith("250"))
        self.assertFalse(self.exists("/ns/newdir/x.txt"))
        self.assertEqual(self.stack.read("/ns/newdir/y.txt"), b"x")
        self.assertRefused("550", f.sendcmd, "RNFR /ns/newdir/missing.txt")
        self.assertRefused("503", f.sendcmd, "RNTO /ns/z.txt")  # the failed RNFR left nothing to rename

        self.assertTrue(f.sendcmd("DELE /ns/newdir/y.txt").startswith("250"))
        self.assertFalse(self.exists("/ns/newdir/y.txt"))
        f.storbinary("STOR /ns/newdir/z.txt", io.BytesIO(b"z"))
        self.assertTrue(f.sendcmd("SITE RDEL /ns/newdir").startswith("250"))
        self.assertFalse(self.exists("/ns/newdir"))

    def cksm(self, alg, offset, length, path):
        reply = self.ftp.sendcmd("CKSM %s %d %d %s" % (alg, offset, length, path))
        self.assertTrue(reply.startswith("213 "), reply)
        return reply[4:].strip()

    def test_checksums_match_independent_computation(self):
        d = self.data
        self.assertEqual(self.cksm("MD5", 0, -1, "/sums/file.bin"), hashlib.md5(d).hexdigest())
        self.assertEqual(self.cksm("MD5", 1000, 5000, "/sums/file.bin"), hashlib.md5(d[1000:6000]).hexdigest())
        self.assertEqual(self.cksm("SHA1", 4 * MiB, -1, "/sums/file.bin"), hashlib.sha1(d[4 * MiB:]).hexdigest())
        self.assertEqual(self.cksm("SHA256", 0, -1, "/sums/file.bin"), hashlib.sha256(d).hexdigest())
        self.assertEqual(self.cksm("ADLER32", 0, -1, "/sums/file.bin"), "%08x" % zlib.adler32(d))
        expected = content_hash([d])
        self.assertEqual(self.cksm("DROPBOX", 0, -1, "/sums/file.bin"), expected)
        self.assertEqual(self.cksm("dropbox", 0, -1, "/sums/file.bin"), expected)
        self.assertEqual(self.cksm("DROPBOX", 10, -1, "/sums/file.bin"), content_hash([d[10:]]))
        self.assertEqual(self.cksm("MD5", 0, -1, "/sums/empty.bin"), hashlib.md5(b"").hexdigest())
        self.assertEqual(self.cksm("MD5", 0, 0, "/sums/file.bin"), hashlib.md5(b"").hexdigest())

    def test_error_replies_carry_the_storage_codes(self):
        f = self.ftp
        cases = [
            ("SIZE /nothing/here", "550", "PATH_NOT_FOUND"),
            ("CKSM MD5 0 -1 /nothing.bin", "550", "PATH_NOT_FOUND"),
            ("DELE /nothing.bin", "550", "PATH_NOT_FOUND"),
            ("MKD /ns/file.txt", "553", None),
            ("SITE CHMOD 644 /ns/file.txt", "500", "NOT_IMPLEMETED"),
        ]
        for command, code, error_code in cases:
            with self.subTest(command=command):
                text = self.assertRefused(code, f.sendcmd, command)
                if error_code:
                    self.assertIn(error_code, text)
        # Announced size above the account's limit: refused before any data flows.
        f.voidcmd("ALLO %d" % (351 * 1024 * MiB))
        text = self.assertRefused("451", f.storbinary, "STOR /ns/huge.bin", io.BytesIO(b"never sent"))
        self.assertIn("QUOTA_EXCEEDED", text)
        self.assertIn("Upload size is too large.", text)
        self.assertFalse(self.exists("/ns/huge.bin"))
        # A retrieve of a missing file answers before the data connection opens.
        self.assertRefused("550", f.retrbinary, "RETR /nothing.bin", lambda b: None)
        self.assertEqual(f.size("/ns/file.txt"), 9)  # the session is still usable

    def test_logins(self):
        self.assertRefused("530", self.stack.ftp, password="wrong")
        self.assertRefused("530", self.stack.ftp, user="nobody", password="secret-ann")
        with self.assertRaises(ftplib.error_perm):
            self.stack.ftp(user="anonymous", password="guest")  # not enabled
        result = self.stack.curl(self.stack.url("/"), user="ann:bad", check=False)
        self.assertNotEqual(result.returncode, 0)

        # Repeated failures end the connection.
        f = ftplib.FTP()
        f.connect("127.0.0.1", self.stack.port, timeout=30)
        replies = []
        for _ in range(3):
            f.sendcmd("USER ann")
            try:
                f.sendcmd("PASS wrong")
            except ftplib.error_perm as e:
                replies.append(str(e)[:3])
        self.assertEqual(replies, ["530", "530", "530"])
        with self.assertRaises((ftplib.error_temp, EOFError, ConnectionError)):
            f.getresp()  # the 421 sent before closing
            f.sendcmd("NOOP")
        f.close()
        self.assertIn('login failed for "ann"', self.stack.server_log())


class TokenRenewalTest(unittest.TestCase):
    def test_renewal_rereads_the_credential_document(self):
        with Stack() as stack:
            stack.put("/r.txt", b"renewed")
            creds = os.path.join(stack.tmp, "creds-ann.json")

            def write_creds(token, seconds):
                expiry = time.strftime("%Y-%m-%dT%H:%M:%S.000000+00:00", time.gmtime(time.time() + seconds))
                with open(creds, "w") as f:
                    json.dump({"access_token": token, "token_expiry": expiry, "sub": "dbid:AAAApersonal",
                               "root_info": {"root_namespace_id": "1000", "home_namespace_id": "1000"}}, f)

            write_creds("STALE", 50)  # about to expire: the next operation renews it
            with stack.session() as f:
                write_creds("T", 86400)  # what an external refresher would do
                self.assertEqual(f.size("/r.txt"), 7)
                buf = io.BytesIO()
                f.retrbinary("RETR /r.txt", buf.write)
                self.assertEqual(buf.getvalue(), b"renewed")


class ChecksumProgressTest(unittest.TestCase):
    def test_progress_replies_before_the_digest(self):
        with Stack(server_args=["--cksm-interval", "1"]) as stack:
            data = os.urandom(300000)
            stack.put("/p.bin", data)
            with stack.session() as f:
                self.assertEqual(f.size("/p.bin"), len(data))  # resolves the path first
                # The download starts late, so its first block comes after the interval.
                stack.emu.add_faults({"path": "/2/files/download", "action": "delay_start", "delay_ms": 1500})
                f.putcmd("CKSM MD5 0 -1 /p.bin")
                first = f.getline()
                self.assertRegex(first, r"^113 \d+$")
                lines = [first]
                while True:
                    line = f.getline()
                    lines.append(line)
                    if line.startswith("213 "):
                        break
                    self.assertRegex(line, r"^113 \d+$")
                self.assertEqual(lines[-1], "213 " + hashlib.md5(data).hexdigest())


class ConcurrentSessionsTest(SharedStackTest):
    """Two clients at once: two session processes of one account pace their
    calls together through the plug-in's shared state file."""

    RATE = 5  # calls per second for the account
    STACK_OPTIONS = {"policy": {"user_api_rate_limit": RATE}}

    @classmethod
    def seed(cls):
        for i in range(6):
            cls.stack.put("/c/f%d.txt" % i, b"file %d\n" % i)

    def session_children(self):
        with open("/proc/%d/task/%d/children" % (self.stack.server.pid, self.stack.server.pid)) as f:
            return [int(p) for p in f.read().split()]

    def test_two_clients_share_pacing(self):
        clients = [self.stack.ftp(), self.stack.ftp()]
        try:
            pids = self.session_children()
            self.assertEqual(len(pids), 2, "one process per session")
            for c in clients:
                c.nlst("/c")  # fills each session's cache
            self.stack.emu.clear_log()
            errors = []
            spans = []

            def work(client):
                try:
                    start = time.monotonic()
                    for i in range(6):
                        buf = io.BytesIO()
                        client.retrbinary("RETR /c/f%d.txt" % i, buf.write)
                        if buf.getvalue() != b"file %d\n" % i:
                            errors.append("wrong content of f%d" % i)
                    spans.append((start, time.monotonic()))
                except Exception as e:  # noqa: BLE001 - reported below
                    errors.append(repr(e))

            threads = [threading.Thread(target=work, args=(c,)) for c in clients]
            for t in threads:
                t.start()
            for t in threads:
                t.join(timeout=120)
            self.assertEqual(errors, [])
            (s1, e1), (s2, e2) = spans
            self.assertLess(max(s1, s2), min(e1, e2), "the two sessions ran at the same time")
            starts = sorted(e["start"] for e in self.stack.emu.log() if e["path"] == "/2/files/download")
            self.assertEqual(len(starts), 12)
            gaps = [b - a for a, b in zip(starts, starts[1:])]
            # Both processes together keep to the account's rate. Request starts are
            # paced in the plug-in and seen a little later by the emulator, so a gap
            # may shrink by network jitter; unpaced requests would be milliseconds apart.
            interval = 1.0 / self.RATE
            self.assertGreaterEqual(min(gaps), 0.6 * interval, gaps)
            self.assertGreaterEqual(starts[-1] - starts[0], 0.9 * interval * (len(starts) - 1), gaps)
        finally:
            for c in clients:
                c.quit()
        log = self.stack.server_log()
        for pid in pids:
            self.assertIn("orvel-gridftp-server[%d]" % pid, log)


if __name__ == "__main__":
    unittest.main()
