"""Listings and stat commands through the FTP server, with curl, lftp and ftplib."""

import ftplib
import os
import time
import unittest

from stack import SharedStackTest


class ListingTest(SharedStackTest):
    SHARED_FTP = True

    @classmethod
    def seed(cls):
        cls.stack.put("/README.txt", b"read me\n")
        cls.stack.put("/docs/a.txt", b"hello world\n")
        cls.stack.put("/docs/b.bin", os.urandom(3000))
        cls.stack.mkdir("/empty")
        cls.names250 = ["f%03d.txt" % i for i in range(250)]
        for name in cls.names250:
            cls.stack.put("/many/" + name, name.encode())

    def mlsd(self, path):
        return list(self.ftp.mlsd(path, facts=["type", "size", "modify", "unique", "perm"]))

    def test_root_listing_with_each_client(self):
        entries = dict(self.mlsd("/"))
        self.assertEqual(entries["."]["type"], "cdir")
        self.assertEqual(entries["docs"]["type"], "dir")
        self.assertEqual(entries["empty"]["type"], "dir")
        self.assertEqual(entries["README.txt"]["type"], "file")
        self.assertEqual(entries["README.txt"]["size"], "8")
        self.assertRegex(entries["README.txt"]["modify"], r"^\d{14}$")
        self.assertRegex(entries["README.txt"]["unique"], r"^[0-9a-f]+-[0-9a-f]+$")

        listing = self.stack.curl(self.stack.url("/")).stdout.decode()
        lines = listing.splitlines()
        self.assertEqual(len(lines), 4, listing)  # "." is not an entry of LIST
        readme = [l for l in lines if l.endswith(" README.txt")]
        self.assertEqual(len(readme), 1, listing)
        self.assertRegex(readme[0], r"^-[-rwx]{9} +1 +ann +ann +8 [A-Z][a-z]{2} [ \d]\d ( \d{4}|\d\d:\d\d) README.txt$")
        self.assertTrue(any(l.startswith("d") and l.endswith(" docs") for l in lines), listing)

        out = self.stack.lftp("cls -1 /")  # lftp prints the paths it was given
        self.assertEqual(sorted(out.split()), sorted(["/README.txt", "/docs/", "/empty/", "/many/"]))

    def test_folder_of_250_entries(self):
        # Arrives from the storage in several batches; every entry once.
        entries = self.mlsd("/many")
        names = [n for n, f in entries if f["type"] == "file"]
        self.assertEqual(sorted(names), self.names250)
        self.assertEqual([n for n, f in entries if f["type"] == "cdir"], ["."])

        lines = []
        self.ftp.retrlines("LIST /many", lines.append)
        self.assertEqual(len(lines), 250)
        self.assertEqual(sorted(l.split()[-1] for l in lines), self.names250)

        self.assertEqual(sorted(self.ftp.nlst("/many")), self.names250)
        curl_names = self.stack.curl("--list-only", self.stack.url("/many/")).stdout.decode().split()
        self.assertEqual(sorted(curl_names), self.names250)
        lftp_names = [os.path.basename(p) for p in self.stack.lftp("cls -1 /many").split()]
        self.assertEqual(sorted(lftp_names), self.names250)

    def test_empty_folder_and_relative_listing(self):
        self.assertEqual([n for n, _ in self.mlsd("/empty")], ["."])
        self.ftp.cwd("/docs")
        try:
            self.assertEqual(sorted(self.ftp.nlst()), ["a.txt", "b.bin"])
            self.assertEqual(sorted(self.ftp.nlst("../docs/./")), ["a.txt", "b.bin"])
        finally:
            self.ftp.cwd("/")

    def test_list_of_a_file_and_of_a_missing_path(self):
        lines = []
        self.ftp.retrlines("LIST /docs/a.txt", lines.append)
        self.assertEqual(len(lines), 1)
        self.assertTrue(lines[0].endswith("/docs/a.txt"), lines)
        text = self.assertRefused("550", self.ftp.retrlines, "MLSD /missing", lambda line: None)
        self.assertIn("PATH_NOT_FOUND", text)

    def test_stat_commands(self):
        self.ftp.voidcmd("TYPE I")
        self.assertEqual(self.ftp.size("/docs/b.bin"), 3000)
        mdtm = self.ftp.sendcmd("MDTM /docs/a.txt")
        self.assertRegex(mdtm, r"^213 \d{14}$")
        stamp = time.mktime(time.strptime(mdtm[4:], "%Y%m%d%H%M%S")) - time.timezone
        self.assertLess(abs(stamp - time.time()), 3600)
        mlst = self.ftp.sendcmd("MLST /docs/a.txt")
        self.assertRegex(mlst, r"type=file;size=12;modify=\d{14};")
        self.assertIn(" /docs/a.txt", mlst)
        self.assertRefused("550", self.ftp.size, "/docs")  # a folder has no size
        with self.assertRaises(ftplib.error_perm) as cm:
            self.ftp.sendcmd("MDTM /docs/nothing.txt")
        self.assertIn("PATH_NOT_FOUND", str(cm.exception))
        status = self.ftp.sendcmd("STAT /docs")
        self.assertIn("a.txt", status)
        self.assertTrue(status.startswith("213-"), status)

    def test_cwd_cdup_pwd(self):
        try:
            self.assertEqual(self.ftp.pwd(), "/")
            self.ftp.cwd("docs")
            self.assertEqual(self.ftp.pwd(), "/docs")
            self.ftp.cwd("../empty/")
            self.assertEqual(self.ftp.pwd(), "/empty")
            self.ftp.sendcmd("CDUP")
            self.assertEqual(self.ftp.pwd(), "/")
            self.ftp.sendcmd("CDUP")  # ".." stops at the root
            self.assertEqual(self.ftp.pwd(), "/")
            self.assertRefused("550", self.ftp.cwd, "/docs/a.txt")
            with self.assertRaises(ftplib.error_perm) as cm:
                self.ftp.cwd("/nowhere")
            self.assertIn("PATH_NOT_FOUND", str(cm.exception))
            self.assertEqual(self.ftp.pwd(), "/")
        finally:
            self.ftp.cwd("/")

    def test_protocol_basics(self):
        with self.stack.session() as f:
            feat = f.sendcmd("FEAT")
            for word in ("MLST", "SIZE", "MDTM", "REST STREAM", "EPSV", "ERET", "CKSM"):
                self.assertIn(word, feat)
            # Feature lines are a space and the feature, without a reply code.
            lines = feat.split("\n")
            self.assertEqual((lines[0][:4], lines[-1]), ("211-", "211 End"))
            for line in lines[1:-1]:
                self.assertRegex(line, r"^ [A-Z]", feat)
            self.assertTrue(f.sendcmd("SYST").startswith("215"))
            self.assertTrue(f.sendcmd("OPTS UTF8 ON").startswith("200"))
            self.assertTrue(f.sendcmd("TYPE A").startswith("200"))
            self.assertTrue(f.sendcmd("MODE S").startswith("200"))
            self.assertTrue(f.sendcmd("STRU F").startswith("200"))
            self.assertTrue(f.sendcmd("NOOP").startswith("200"))
            self.assertTrue(f.sendcmd("ABOR").startswith("226"))
            self.assertRefused("504", f.sendcmd, "MODE B")
            self.assertRefused("500", f.sendcmd, "XYZZY")
            # Without PASV/EPSV there is no data connection to use.
            self.assertRefused("425", f.sendcmd, "RETR /README.txt")

    def test_overlong_command_line(self):
        import socket
        with socket.create_connection(("127.0.0.1", self.stack.port), timeout=30) as sock:
            f = sock.makefile("rb")
            self.assertTrue(f.readline().startswith(b"220"))
            sock.sendall(b"USER " + b"A" * 20000 + b"DELE /README.txt\r\nNOOP\r\n")
            self.assertTrue(f.readline().startswith(b"500"))
            self.assertTrue(f.readline().startswith(b"200"))  # the tail was not taken as a command

    def test_commands_need_login(self):
        f = ftplib.FTP()
        f.connect("127.0.0.1", self.stack.port, timeout=30)
        try:
            self.assertRefused("530", f.sendcmd, "PWD")
        finally:
            f.close()


if __name__ == "__main__":
    unittest.main()
