"""Downloads and uploads through the FTP server: whole files, restarts, partial
retrieves (ERET), uploads with and without an announced size (ALLO)."""

import ftplib
import hashlib
import io
import os
import socket
import tempfile
import time
import unittest

from stack import GeneratedStream, SharedStackTest, content_hash, generated_chunks

MiB = 1024 * 1024


class TransferTest(SharedStackTest):
    @classmethod
    def seed(cls):
        cls.data = b"".join(generated_chunks(3 * MiB + 12345, seed=7))
        cls.stack.put("/data/file.bin", cls.data)
        cls.stack.put("/data/small.txt", b"0123456789abcdef")
        cls.stack.mkdir("/up")
        cls.tmp = tempfile.mkdtemp(prefix="orvel-e2e-files-")

    @classmethod
    def tearDownClass(cls):
        super().tearDownClass()
        for name in os.listdir(cls.tmp):
            os.unlink(os.path.join(cls.tmp, name))
        os.rmdir(cls.tmp)

    def local_file(self, name, data):
        path = os.path.join(self.tmp, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def test_download_whole_with_each_client(self):
        out = self.stack.curl(self.stack.url("/data/file.bin")).stdout
        self.assertEqual(hashlib.sha256(out).hexdigest(), hashlib.sha256(self.data).hexdigest())

        with self.stack.session() as ftp:
            buf = io.BytesIO()
            ftp.retrbinary("RETR /data/file.bin", buf.write)
            self.assertEqual(buf.getvalue(), self.data)

        target = os.path.join(self.tmp, "lftp-got.bin")
        self.stack.lftp("get /data/file.bin -o %s" % target)
        with open(target, "rb") as f:
            self.assertEqual(f.read(), self.data)

    def test_download_with_restart(self):
        with self.stack.session() as ftp:
            buf = io.BytesIO()
            ftp.retrbinary("RETR /data/file.bin", buf.write, rest=1000)
            self.assertEqual(buf.getvalue(), self.data[1000:])
        out = self.stack.curl("-C", "2000000", self.stack.url("/data/file.bin")).stdout
        self.assertEqual(out, self.data[2000000:])
        out = self.stack.curl("-r", "4-9", self.stack.url("/data/small.txt")).stdout
        self.assertEqual(out, b"456789")

    def test_partial_retrieve(self):
        with self.stack.session() as ftp:
            ftp.voidcmd("TYPE I")
            for offset, length in ((0, 100), (12345, 1000000), (len(self.data) - 10, 10)):
                conn = ftp.transfercmd("ERET P %d %d /data/file.bin" % (offset, length))
                got = bytearray()
                while True:
                    chunk = conn.recv(65536)
                    if not chunk:
                        break
                    got += chunk
                conn.close()
                self.assertTrue(ftp.voidresp().startswith("226"))
                self.assertEqual(bytes(got), self.data[offset:offset + length])
            self.assertRefused("504", ftp.sendcmd, "ERET X 0 10 /data/file.bin")
            # An empty range still needs an existing file.
            conn = ftp.transfercmd("ERET P 5 0 /data/small.txt")
            self.assertEqual(conn.recv(100), b"")
            conn.close()
            self.assertTrue(ftp.voidresp().startswith("226"))
            self.assertRefused("550", ftp.transfercmd, "ERET P 0 0 /data/missing.bin")
            self.assertRefused("550", ftp.transfercmd, "ERET P 0 0 /data")

    def test_upload_with_allo(self):
        payload = os.urandom(200000)
        with self.stack.session() as ftp:
            ftp.voidcmd("TYPE I")
            self.assertTrue(ftp.sendcmd("ALLO %d" % len(payload)).startswith("200"))
            ftp.storbinary("STOR /up/allo.bin", io.BytesIO(payload))
            self.assertEqual(self.stack.read("/up/allo.bin"), payload)
            self.assertEqual(ftp.size("/up/allo.bin"), len(payload))
        path = self.local_file("lftp-allo.bin", payload[:70000])
        self.stack.lftp("set ftp:use-allo yes; put %s -o /up/lftp-allo.bin" % path)
        self.assertEqual(self.stack.read("/up/lftp-allo.bin"), payload[:70000])
        path = self.local_file("curl-allo.bin", payload[:90000])
        self.stack.curl("-Q", "ALLO 90000", "-T", path, self.stack.url("/up/curl-allo.bin"))
        self.assertEqual(self.stack.read("/up/curl-allo.bin"), payload[:90000])

    def test_upload_without_allo(self):
        payload = os.urandom(150000)
        path = self.local_file("plain.bin", payload)
        self.stack.curl("-T", path, self.stack.url("/up/"))
        self.assertEqual(self.stack.read("/up/plain.bin"), payload)

        payload2 = os.urandom(5000)
        path2 = self.local_file("lftp.bin", payload2)
        self.stack.lftp("put %s -o /up/lftp.bin" % path2)
        self.assertEqual(self.stack.read("/up/lftp.bin"), payload2)

        # An existing file is replaced.
        with self.stack.session() as ftp:
            ftp.storbinary("STOR /up/plain.bin", io.BytesIO(b"replaced"))
        self.assertEqual(self.stack.read("/up/plain.bin"), b"replaced")

        # Beyond one piece (4 MiB) the storage appends the pieces as they come.
        payload3 = os.urandom(9 * MiB + 7)
        path3 = self.local_file("pieces.bin", payload3)
        self.stack.curl("-T", path3, self.stack.url("/up/"))
        self.assertEqual(self.stack.read("/up/pieces.bin"), payload3)

    def test_failed_uploads_change_nothing(self):
        self.stack.put("/up/keep.bin", b"original")
        with self.stack.session() as ftp:
            ftp.voidcmd("TYPE I")
            ftp.voidcmd("ALLO 10")
            text = self.assertRefused("451", ftp.storbinary, "STOR /up/keep.bin", io.BytesIO(b"x" * 20))
            self.assertIn("QUOTA_EXCEEDED", text)
        self.assertEqual(self.stack.read("/up/keep.bin"), b"original")

        # The control connection is lost in the middle of the STOR (after the
        # announced bytes, when the server has read them before it notices).
        ftp = self.stack.ftp()
        ftp.voidcmd("TYPE I")
        ftp.voidcmd("ALLO 100000")
        conn = ftp.transfercmd("STOR /up/keep.bin")
        conn.sendall(b"y" * 100000)
        ftp.close()
        deadline = time.monotonic() + 30
        while self.stack.server_log().count('command=STOR path="/up/keep.bin"') < 2:
            self.assertLess(time.monotonic(), deadline, self.stack.server_log())
            time.sleep(0.05)
        conn.close()
        self.assertEqual(self.stack.read("/up/keep.bin"), b"original")

    def test_large_upload_with_allo(self):
        # Above 100 MiB the storage appends the file in parts.
        size = 100 * MiB + 123457
        with self.stack.session(timeout=120) as ftp:
            ftp.voidcmd("TYPE I")
            ftp.voidcmd("ALLO %d" % size)
            ftp.storbinary("STOR /up/large.bin", GeneratedStream(size, seed=3), blocksize=1 << 20)
            self.assertEqual(ftp.size("/up/large.bin"), size)
        with open(self.stack.local("/up/large.bin"), "rb") as f:
            stored = content_hash(iter(lambda: f.read(1 << 20), b""))
        self.assertEqual(stored, content_hash(generated_chunks(size, seed=3)))

    def test_restarted_and_appending_uploads_are_refused(self):
        with self.stack.session() as ftp:
            ftp.voidcmd("TYPE I")
            text = self.assertRefused("553", ftp.storbinary, "STOR /up/restart.bin", io.BytesIO(b"tail"), rest=10)
            self.assertIn("APPEND_NOT_SUPPORTED", text)
            self.assertRefused(("502", "553"), ftp.storbinary, "APPE /up/appe.bin", io.BytesIO(b"more"))
            self.assertFalse(os.path.exists(self.stack.local("/up/appe.bin")))
            # The session goes on normally afterwards.
            self.assertEqual(ftp.size("/data/small.txt"), 16)

    def test_abort_during_download(self):
        self.stack.put("/data/abort.bin", b"".join(generated_chunks(40 * MiB, seed=5)))
        with self.stack.session() as ftp:
            ftp.voidcmd("TYPE I")
            conn = ftp.transfercmd("RETR /data/abort.bin")
            got = 0
            while got < MiB:
                got += len(conn.recv(65536))
            # The server stops the transfer: 426 for RETR, then 226 for ABOR.
            self.assertTrue(ftp.abort().startswith("426"))
            self.assertTrue(ftp.getresp().startswith("226"))
            conn.close()
            self.assertEqual(ftp.size("/data/small.txt"), 16)
        self.assertIn('command=RETR path="/data/abort.bin"', self.stack.server_log())

    def test_data_connection_only_from_the_client_address(self):
        with self.stack.session() as ftp:
            ftp.voidcmd("TYPE I")
            host, port = ftplib.parse227(ftp.sendcmd("PASV"))
            self.assertTrue(ftp.sendcmd("RETR /data/small.txt").startswith("150"))
            # Another host (another loopback address) is hung up on...
            with socket.socket() as other:
                other.bind(("127.0.0.2", 0))
                other.settimeout(10)
                other.connect((host, port))
                self.assertEqual(other.recv(100), b"")
            # ... and the client's own connection still gets the file.
            with socket.create_connection((host, port), timeout=10) as conn:
                got = b""
                while chunk := conn.recv(65536):
                    got += chunk
            self.assertEqual(got, b"0123456789abcdef")
            self.assertTrue(ftp.voidresp().startswith("226"))

    def test_transfer_log_lines(self):
        self.stack.curl(self.stack.url("/data/small.txt"))
        log = self.stack.server_log()
        self.assertRegex(log, r'transfer user=ann command=RETR path="/data/small.txt" bytes=16 '
                              r'seconds=[\d.]+ rate=[\d.]+ MB/s status=ok')


if __name__ == "__main__":
    unittest.main()
