"""What the server answers about the account is what the account holds:
sessions side by side see each other's changes at once, deletes keep their
FTP meaning, failures are not turned into answers, and a parallel mirror
upload of a tree completes without errors."""

import filecmp
import io
import os
import shutil
import subprocess
import tempfile
import unittest

from stack import SharedStackTest, Stack


class SideBySideTest(SharedStackTest):
    STACK_OPTIONS = {"policy": {"user_api_rate_limit": 200}}

    @classmethod
    def seed(cls):
        cls.stack.mkdir("/t")
        cls.stack.put("/del/dir/sub/f.txt", b"f")
        cls.stack.put("/del/file.txt", b"file")
        cls.stack.mkdir("/del/empty")
        cls.stack.put("/st/a.txt", b"a")

    def exists(self, path):
        return os.path.exists(self.stack.local(path))

    def test_one_session_sees_what_the_other_wrote_at_once(self):
        with self.stack.session() as reader, self.stack.session() as writer:
            self.assertEqual(reader.nlst("/t"), [])
            writer.storbinary("STOR /t/x.txt", io.BytesIO(b"hello"))
            writer.sendcmd("MKD /t/d")
            self.assertEqual(reader.size("/t/x.txt"), 5)
            self.assertIn('"/t/d"', reader.sendcmd("MKD /t/d"))  # exists: the same success
            self.assertEqual(sorted(os.path.basename(n) for n in reader.nlst("/t")), ["d", "x.txt"])
            writer.storbinary("STOR /t/x.txt", io.BytesIO(b"nineteen bytes long"))
            self.assertEqual(reader.size("/t/x.txt"), 19)
            writer.delete("/t/x.txt")
            self.assertRefused("550", reader.size, "/t/x.txt")

    def test_deletes_keep_their_ftp_meaning(self):
        f = self.stack.ftp()
        try:
            self.assertIn("directory", self.assertRefused("550", f.delete, "/del/dir"))
            self.assertRefused("550", f.rmd, "/del/file.txt")
            self.assertIn("not empty", self.assertRefused("550", f.rmd, "/del/dir"))
            self.assertTrue(self.exists("/del/dir/sub/f.txt"))
            self.assertTrue(self.exists("/del/file.txt"))
            self.assertTrue(f.rmd("/del/empty").startswith("250"))
            self.assertFalse(self.exists("/del/empty"))
            self.assertTrue(f.delete("/del/file.txt").startswith("250"))
            self.assertTrue(f.sendcmd("SITE RDEL /del/dir").startswith("250"))
            self.assertFalse(self.exists("/del/dir"))
        finally:
            f.quit()

    def test_stat_of_a_folder_whose_listing_fails_answers_the_failure(self):
        with self.stack.session() as f:
            self.assertIn("a.txt", f.sendcmd("STAT /st"))
            self.stack.emu.add_faults({"path": "/2/files/list_folder", "status": 503})
            self.assertRefused("451", f.sendcmd, "STAT /st")


class ParallelMirrorTest(unittest.TestCase):
    def test_mirror_upload_of_a_tree_with_four_connections(self):
        source = tempfile.mkdtemp(prefix="orvel-mirror-")
        try:
            items = 0
            for d in range(20):  # 20 folders with a sub-folder each, 13 files among them: 300 items
                os.makedirs(os.path.join(source, "d%02d" % d, "sub"))
                items += 2
                for i in range(13):
                    name = "f%02d.bin" % i if i < 7 else os.path.join("sub", "g%02d.bin" % i)
                    with open(os.path.join(source, "d%02d" % d, name), "wb") as out:
                        out.write(os.urandom(50 + 37 * i))
                    items += 1
            self.assertEqual(items, 300)
            with Stack(policy={"user_api_rate_limit": 200}) as stack:
                script = ("set ftp:ssl-allow no; set net:max-retries 1; set net:timeout 30; "
                          "open -u ann,secret-ann ftp://127.0.0.1:%d; mirror -R --parallel=4 %s /up"
                          % (stack.port, source))
                result = subprocess.run(["lftp", "-c", script], capture_output=True, timeout=240)
                errors = result.stderr.decode(errors="replace")
                self.assertEqual(result.returncode, 0, errors + stack.server_log()[-3000:])
                self.assertNotIn("failed", errors)
                compared = filecmp.dircmp(source, stack.local("/up"))

                def differences(c):
                    found = c.left_only + c.right_only + c.funny_files
                    found += [f for f in c.common_files
                              if not filecmp.cmp(os.path.join(c.left, f), os.path.join(c.right, f), shallow=False)]
                    for sub in c.subdirs.values():
                        found += differences(sub)
                    return found

                self.assertEqual(differences(compared), [])
        finally:
            shutil.rmtree(source, ignore_errors=True)


if __name__ == "__main__":
    unittest.main()
