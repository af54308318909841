"""The official Python SDK (Debian's python3-dropbox) against the emulator.

The SDK deserialises every reply strictly and maps error replies to typed
errors; each test checks that the emulator's replies pass and map as the real
service's do.
"""

import datetime
import hashlib
import http.client
import json
import os
import ssl
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "emulator"))

from harness import Emulator  # noqa: E402

BLOCK = 4 * 1024 * 1024
EMU = None
dropbox = None


def setUpModule():
    global EMU, dropbox
    EMU = Emulator().start()
    host = "127.0.0.1:%d" % EMU.port
    # The SDK reads its host names from the environment when first imported.
    os.environ["DROPBOX_API_HOST"] = host
    os.environ["DROPBOX_API_CONTENT_HOST"] = host
    # requests replaces the SDK's ca_certs by its default bundle whenever
    # verify=True (which the SDK always passes); its environment setting wins.
    os.environ["REQUESTS_CA_BUNDLE"] = EMU.ca
    import dropbox as sdk
    dropbox = sdk


def tearDownModule():
    rc = EMU.stop()
    assert rc == 0, "emulator exit code %r: %s" % (rc, EMU.stderr)


CLIENTS = []


def client(token="T", root=None):
    dbx = dropbox.Dropbox(token, ca_certs=EMU.ca, max_retries_on_error=0, max_retries_on_rate_limit=0)
    if root is not None:
        dbx = dbx.with_path_root(dropbox.common.PathRoot.root(root))
    # Also right when another test module imported the SDK first with other hosts.
    host = "127.0.0.1:%d" % EMU.port
    dbx._host_map = {k: host for k in dbx._host_map}
    CLIENTS.append(dbx)
    return dbx


def reference_hash(data):
    digests = b"".join(hashlib.sha256(data[i:i + BLOCK]).digest() for i in range(0, len(data), BLOCK))
    return hashlib.sha256(digests).hexdigest()


class SdkTestCase(unittest.TestCase):
    def tearDown(self):
        while CLIENTS:
            CLIENTS.pop().close()

    def api_error(self, fn, *args, **kw):
        with self.assertRaises(dropbox.exceptions.ApiError) as cm:
            fn(*args, **kw)
        return cm.exception.error


class ListFolderTest(SdkTestCase):
    def test_pages_and_types(self):
        dbx = client()
        dbx.files_create_folder_v2("/lf")
        dbx.files_create_folder_v2("/lf/sub")
        for i in range(5):
            dbx.files_upload(b"%d" % i, "/lf/f%d.txt" % i)
        res = dbx.files_list_folder("/lf", limit=2, include_non_downloadable_files=False)
        names = [e.name for e in res.entries]
        while res.has_more:
            res = dbx.files_list_folder_continue(res.cursor)
            names += [e.name for e in res.entries]
        self.assertEqual(names, ["f0.txt", "f1.txt", "f2.txt", "f3.txt", "f4.txt", "sub"])
        res = dbx.files_list_folder("/lf")
        kinds = {e.name: type(e).__name__ for e in res.entries}
        self.assertEqual(kinds["sub"], "FolderMetadata")
        self.assertEqual(kinds["f0.txt"], "FileMetadata")
        f0 = res.entries[0]
        self.assertEqual((f0.size, f0.content_hash, f0.is_downloadable), (1, reference_hash(b"0"), True))
        self.assertIsInstance(f0.server_modified, datetime.datetime)
        self.assertEqual(dbx.files_list_folder("/lf/sub").entries, [])
        self.assertTrue(len(dbx.files_list_folder("").entries) >= 1)

    def test_errors(self):
        dbx = client()
        err = self.api_error(dbx.files_list_folder, "/does/not/exist")
        self.assertTrue(err.is_path() and err.get_path().is_not_found())
        dbx.files_upload(b"x", "/lf-file.txt")
        err = self.api_error(dbx.files_list_folder, "/lf-file.txt")
        self.assertTrue(err.get_path().is_not_folder())
        err = self.api_error(dbx.files_list_folder_continue, "AAEnot-a-cursor")
        self.assertTrue(err.is_reset())
        err = self.api_error(dbx.files_get_metadata, "/nothing-here")
        self.assertTrue(err.is_path() and err.get_path().is_not_found())
        with self.assertRaises(dropbox.exceptions.BadInputError):
            dbx.files_list_folder("/")
        err = self.api_error(dbx.files_list_folder, "/lf-file.txt/")
        self.assertTrue(err.get_path().is_malformed_path())
        err = self.api_error(dbx.files_upload, b"x", "/lf-file.txt/")
        self.assertTrue(err.get_path().reason.is_malformed_path())

    def test_ids_and_recursive(self):
        dbx = client()
        md = dbx.files_upload(b"deep", "/rec/one/two/deep.txt")
        entries = dbx.files_list_folder("/rec", recursive=True).entries
        self.assertEqual([e.path_lower for e in entries], ["/rec/one", "/rec/one/two", "/rec/one/two/deep.txt"])
        self.assertEqual(dbx.files_get_metadata(md.id).path_display, "/rec/one/two/deep.txt")
        listed = dbx.files_list_folder(entries[1].id).entries
        self.assertEqual([e.id for e in listed], [md.id])


class WriteOpsTest(SdkTestCase):
    def test_create_folder(self):
        dbx = client()
        res = dbx.files_create_folder_v2("/cf")
        self.assertEqual((res.metadata.name, res.metadata.path_display), ("cf", "/cf"))
        self.assertTrue(res.metadata.id.startswith("id:"))
        err = self.api_error(dbx.files_create_folder_v2, "/CF")
        self.assertTrue(err.is_path() and err.get_path().is_conflict())
        self.assertTrue(err.get_path().get_conflict().is_folder())
        dbx.files_upload(b"f", "/cf/file")
        err = self.api_error(dbx.files_create_folder_v2, "/cf/file")
        self.assertTrue(err.get_path().get_conflict().is_file())
        res = dbx.files_create_folder_v2("/cf", autorename=True)
        self.assertEqual(res.metadata.name, "cf (1)")

    def test_move(self):
        dbx = client()
        dbx.files_upload(b"data", "/mv/a/file.txt")
        res = dbx.files_move_v2("/mv/a", "/mv/b")
        self.assertIsInstance(res.metadata, dropbox.files.FolderMetadata)
        res = dbx.files_move_v2("/mv/b/file.txt", "/mv/moved.txt")
        self.assertIsInstance(res.metadata, dropbox.files.FileMetadata)
        self.assertEqual(res.metadata.path_lower, "/mv/moved.txt")
        err = self.api_error(dbx.files_move_v2, "/mv/a", "/mv/c")
        self.assertTrue(err.is_from_lookup() and err.get_from_lookup().is_not_found())
        err = self.api_error(dbx.files_move_v2, "/mv/moved.txt", "/mv/b")
        self.assertTrue(err.is_to() and err.get_to().is_conflict())
        self.assertTrue(err.get_to().get_conflict().is_folder())
        err = self.api_error(dbx.files_move_v2, "/mv/b", "/mv/b/inside")
        self.assertTrue(err.is_cant_move_folder_into_itself())

    def test_delete(self):
        dbx = client()
        dbx.files_upload(b"1", "/del/x/y.txt")
        res = dbx.files_delete_v2("/del/x/y.txt")
        self.assertIsInstance(res.metadata, dropbox.files.FileMetadata)
        dbx.files_upload(b"1", "/del/x/z.txt")
        res = dbx.files_delete_v2("/del/x")
        self.assertIsInstance(res.metadata, dropbox.files.FolderMetadata)
        err = self.api_error(dbx.files_delete_v2, "/del/x")
        self.assertTrue(err.is_path_lookup() and err.get_path_lookup().is_not_found())


class TransferTest(SdkTestCase):
    def test_upload_and_download(self):
        dbx = client()
        data = os.urandom(BLOCK + 123)
        when = datetime.datetime(2021, 5, 6, 7, 8, 9)
        md = dbx.files_upload(data, "/xfer/Data.bin", client_modified=when)
        self.assertEqual((md.size, md.content_hash, md.client_modified), (len(data), reference_hash(data), when))
        got_md, resp = dbx.files_download("/xfer/data.bin")
        self.assertEqual(resp.content, data)
        self.assertEqual((got_md.id, got_md.rev, got_md.name), (md.id, md.rev, "Data.bin"))
        _, resp = dbx.files_download(md.id)
        self.assertEqual(resp.content, data)
        err = self.api_error(dbx.files_download, "/xfer/none")
        self.assertTrue(err.is_path() and err.get_path().is_not_found())
        err = self.api_error(dbx.files_download, "/xfer")
        self.assertTrue(err.get_path().is_not_file())

    def test_upload_modes_and_errors(self):
        dbx = client()
        WriteMode = dropbox.files.WriteMode
        first = dbx.files_upload(b"v1", "/modes.txt")
        err = self.api_error(dbx.files_upload, b"v2", "/modes.txt")
        self.assertTrue(err.is_path() and err.get_path().reason.is_conflict())
        self.assertTrue(err.get_path().reason.get_conflict().is_file())
        second = dbx.files_upload(b"v2", "/modes.txt", mode=WriteMode.overwrite)
        self.assertEqual(second.id, first.id)
        self.assertNotEqual(second.rev, first.rev)
        err = self.api_error(dbx.files_upload, b"v3", "/modes.txt", mode=WriteMode.update(first.rev))
        self.assertTrue(err.get_path().reason.is_conflict())
        third = dbx.files_upload(b"v3", "/modes.txt", mode=WriteMode.update(second.rev))
        self.assertEqual(third.size, 2)
        renamed = dbx.files_upload(b"v4", "/modes.txt", autorename=True)
        self.assertEqual(renamed.name, "modes (1).txt")
        dbx.files_create_folder_v2("/modes-dir")
        err = self.api_error(dbx.files_upload, b"x", "/modes-dir", mode=WriteMode.overwrite)
        self.assertTrue(err.get_path().reason.get_conflict().is_folder())
        err = self.api_error(dbx.files_upload, b"x", "/hash.txt", content_hash=reference_hash(b"y"))
        self.assertTrue(err.is_content_hash_mismatch())
        md = dbx.files_upload(b"x", "/hash.txt", content_hash=reference_hash(b"x"))
        self.assertEqual(md.content_hash, reference_hash(b"x"))

    def test_range_requests(self):
        data = bytes(range(256)) * 20
        client().files_upload(data, "/ranged.bin")
        ctx = ssl.create_default_context(cafile=EMU.ca)
        conn = http.client.HTTPSConnection("127.0.0.1", EMU.port, context=ctx, timeout=10)
        base = {"Authorization": "Bearer T", "Dropbox-API-Arg": json.dumps({"path": "/ranged.bin"})}
        for rng, status, expected in (("bytes=100-199", 206, data[100:200]), ("bytes=5000-", 206, data[5000:]),
                                      (None, 200, data), ("bytes=5120-", 416, b"")):
            headers = dict(base, Range=rng) if rng else base
            conn.request("GET", "/2/files/download", headers=headers)
            resp = conn.getresponse()
            body = resp.read()
            self.assertEqual(resp.status, status, rng)
            if status != 416:
                self.assertEqual(body, expected)
        conn.close()


class RevisionTest(SdkTestCase):
    def test_earlier_revisions_download_list_and_restore(self):
        dbx = client()
        overwrite = dropbox.files.WriteMode.overwrite
        first = dbx.files_upload(b"version one", "/revs/f.txt")
        second = dbx.files_upload(b"version two!", "/revs/f.txt", mode=overwrite)
        _, resp = dbx.files_download("rev:" + first.rev)
        self.assertEqual(resp.content, b"version one")
        old_md, resp = dbx.files_download("rev:" + second.rev)
        self.assertEqual((resp.content, old_md.rev), (b"version two!", second.rev))
        listed = dbx.files_list_revisions("/revs/f.txt")
        self.assertFalse(listed.is_deleted)
        self.assertEqual([e.rev for e in listed.entries], [second.rev, first.rev])
        self.assertEqual(listed.entries[1].content_hash, reference_hash(b"version one"))
        self.assertEqual([e.rev for e in dbx.files_list_revisions("/revs/f.txt", limit=1).entries], [second.rev])
        by_id = dbx.files_list_revisions(first.id, mode=dropbox.files.ListRevisionsMode.id)
        self.assertEqual(len(by_id.entries), 2)

        restored = dbx.files_restore("/revs/f.txt", first.rev)
        self.assertEqual((restored.id, restored.size), (first.id, len(b"version one")))
        self.assertNotIn(restored.rev, (first.rev, second.rev))
        _, resp = dbx.files_download("/revs/f.txt")
        self.assertEqual(resp.content, b"version one")
        self.assertEqual(len(dbx.files_list_revisions("/revs/f.txt").entries), 3)
        # A revision can be restored to another path too.
        copy = dbx.files_restore("/revs/copy.txt", second.rev)
        self.assertEqual(copy.content_hash, reference_hash(b"version two!"))

        err = self.api_error(dbx.files_restore, "/revs/f.txt", "0123456789abcdef")
        self.assertTrue(err.is_invalid_revision())
        err = self.api_error(dbx.files_list_revisions, "/revs/none.txt")
        self.assertTrue(err.is_path() and err.get_path().is_not_found())
        err = self.api_error(dbx.files_list_revisions, "/revs")
        self.assertTrue(err.get_path().is_not_file())
        err = self.api_error(dbx.files_download, "rev:0123456789abcdef")
        self.assertTrue(err.get_path().is_not_found())

    def test_delete_with_parent_rev(self):
        dbx = client()
        first = dbx.files_upload(b"a", "/revs/del.txt")
        second = dbx.files_upload(b"b", "/revs/del.txt", mode=dropbox.files.WriteMode.overwrite)
        err = self.api_error(dbx.files_delete_v2, "/revs/del.txt", parent_rev=first.rev)
        self.assertTrue(err.is_path_write() and err.get_path_write().is_conflict())
        dbx.files_delete_v2("/revs/del.txt", parent_rev=second.rev)
        self.assertTrue(dbx.files_list_revisions("/revs/del.txt").is_deleted)


class UploadSessionTest(SdkTestCase):
    def test_sequential(self):
        dbx = client()
        Cursor, Commit = dropbox.files.UploadSessionCursor, dropbox.files.CommitInfo
        start = dbx.files_upload_session_start(b"abc")
        dbx.files_upload_session_append_v2(b"def", Cursor(start.session_id, 3))
        err = self.api_error(dbx.files_upload_session_append_v2, b"ghi", Cursor(start.session_id, 3))
        self.assertTrue(err.is_incorrect_offset())
        self.assertEqual(err.get_incorrect_offset().correct_offset, 6)
        err = self.api_error(dbx.files_upload_session_finish, b"", Cursor(start.session_id, 2),
                             Commit("/seq.txt"))
        self.assertTrue(err.is_lookup_failed() and err.get_lookup_failed().is_incorrect_offset())
        # A finish's content_hash covers the data sent with the finish only.
        err = self.api_error(dbx.files_upload_session_finish, b"gh", Cursor(start.session_id, 6),
                             Commit("/seq.txt"), content_hash=reference_hash(b"abcdefgh"))
        self.assertTrue(err.is_content_hash_mismatch())
        md = dbx.files_upload_session_finish(b"gh", Cursor(start.session_id, 6), Commit("/seq.txt"),
                                             content_hash=reference_hash(b"gh"))
        self.assertEqual((md.size, md.content_hash), (8, reference_hash(b"abcdefgh")))
        err = self.api_error(dbx.files_upload_session_append_v2, b"x", Cursor(start.session_id, 8))
        self.assertTrue(err.is_not_found())
        closed = dbx.files_upload_session_start(b"", close=True)
        err = self.api_error(dbx.files_upload_session_append_v2, b"x", Cursor(closed.session_id, 0))
        self.assertTrue(err.is_closed())

    def test_concurrent_with_4mib_parts(self):
        dbx = client()
        Cursor, Commit = dropbox.files.UploadSessionCursor, dropbox.files.CommitInfo
        concurrent = dropbox.files.UploadSessionType.concurrent
        data = os.urandom(2 * BLOCK + 999)
        sid = dbx.files_upload_session_start(b"", session_type=concurrent).session_id
        dbx.files_upload_session_append_v2(data[BLOCK:2 * BLOCK], Cursor(sid, BLOCK))
        dbx.files_upload_session_append_v2(data[:BLOCK], Cursor(sid, 0))
        err = self.api_error(dbx.files_upload_session_finish, b"", Cursor(sid, len(data)), Commit("/conc.bin"))
        self.assertTrue(err.is_concurrent_session_not_closed())
        dbx.files_upload_session_append_v2(data[2 * BLOCK:], Cursor(sid, 2 * BLOCK), close=True)
        md = dbx.files_upload_session_finish(b"", Cursor(sid, len(data)),
                                             Commit("/conc.bin", mode=dropbox.files.WriteMode.overwrite,
                                                    client_modified=datetime.datetime(2022, 1, 2, 3, 4, 5)))
        self.assertEqual((md.size, md.content_hash), (len(data), reference_hash(data)))
        _, resp = dbx.files_download("/conc.bin")
        self.assertEqual(resp.content, data)

    def test_concurrent_errors(self):
        dbx = client()
        Cursor, Commit = dropbox.files.UploadSessionCursor, dropbox.files.CommitInfo
        concurrent = dropbox.files.UploadSessionType.concurrent
        err = self.api_error(dbx.files_upload_session_start, b"data", session_type=concurrent)
        self.assertTrue(err.is_concurrent_session_data_not_allowed())
        err = self.api_error(dbx.files_upload_session_start, b"", session_type=concurrent, close=True)
        self.assertTrue(err.is_concurrent_session_close_not_allowed())
        sid = dbx.files_upload_session_start(b"", session_type=concurrent).session_id
        err = self.api_error(dbx.files_upload_session_append_v2, b"x", Cursor(sid, 1))
        self.assertTrue(err.is_concurrent_session_invalid_offset())
        err = self.api_error(dbx.files_upload_session_append_v2, b"x", Cursor(sid, 0))
        self.assertTrue(err.is_concurrent_session_invalid_data_size())
        dbx.files_upload_session_append_v2(b"tail", Cursor(sid, BLOCK), close=True)
        err = self.api_error(dbx.files_upload_session_finish, b"", Cursor(sid, BLOCK + 4), Commit("/c.bin"))
        self.assertTrue(err.is_concurrent_session_missing_data())
        err = self.api_error(dbx.files_upload_session_append_v2, b"x", Cursor("nosuchsession", 0))
        self.assertTrue(err.is_not_found())
        err = self.api_error(dbx.files_upload_session_finish, b"", Cursor("nosuchsession", 0), Commit("/c.bin"))
        self.assertTrue(err.is_lookup_failed() and err.get_lookup_failed().is_not_found())

    def test_finish_conflict_keeps_session(self):
        dbx = client()
        Cursor, Commit = dropbox.files.UploadSessionCursor, dropbox.files.CommitInfo
        dbx.files_create_folder_v2("/finish-target")
        sid = dbx.files_upload_session_start(b"payload").session_id
        err = self.api_error(dbx.files_upload_session_finish, b"", Cursor(sid, 7), Commit("/finish-target"))
        self.assertTrue(err.is_path() and err.get_path().is_conflict())
        md = dbx.files_upload_session_finish(b"", Cursor(sid, 7), Commit("/finish-other"))
        self.assertEqual(md.size, 7)


class AccountTest(SdkTestCase):
    def test_auth_errors(self):
        with self.assertRaises(dropbox.exceptions.AuthError) as cm:
            client("nope").files_list_folder("")
        self.assertTrue(cm.exception.error.is_invalid_access_token())
        with self.assertRaises(dropbox.exceptions.AuthError) as cm:
            client("OLD").files_list_folder("")
        self.assertTrue(cm.exception.error.is_expired_access_token())

    def test_team_path_root(self):
        team = client("TEAM", root="2000")
        names = [e.name for e in team.files_list_folder("").entries]
        self.assertIn("Ann Member", names)
        md = team.files_upload(b"t", "/Ann Member/team-file.txt")
        self.assertEqual(md.path_display, "/Ann Member/team-file.txt")
        home = client("TEAM")
        self.assertIn("team-file.txt", [e.name for e in home.files_list_folder("").entries])
        with self.assertRaises(dropbox.exceptions.PathRootError) as cm:
            client("TEAM", root="1000").files_list_folder("")
        root_info = cm.exception.error.get_invalid_root()
        self.assertIsInstance(root_info, dropbox.common.TeamRootInfo)
        self.assertEqual((root_info.root_namespace_id, root_info.home_path), ("2000", "/Ann Member"))
        err = self.api_error(team.files_create_folder_v2, "/top-level")
        self.assertTrue(err.get_path().is_no_write_permission())
        with self.assertRaises(dropbox.exceptions.PathRootError) as cm:
            client("T", root="5").files_list_folder("")
        self.assertIsInstance(cm.exception.error.get_invalid_root(), dropbox.common.UserRootInfo)

    def test_rate_limit(self):
        EMU.set_rate_limit(2)
        try:
            dbx = client()
            with self.assertRaises(dropbox.exceptions.RateLimitError) as cm:
                for _ in range(3):
                    dbx.files_list_folder("")
            self.assertEqual(cm.exception.backoff, 1)
            self.assertTrue(cm.exception.error.reason.is_too_many_requests())
        finally:
            EMU.set_rate_limit(0)
        time.sleep(0)  # budget is per second; turning it off resets it
        client().files_list_folder("")

    def test_server_error_fault(self):
        EMU.add_faults({"path": "/2/files/list_folder", "action": "status", "status": 503, "body": "busy"})
        with self.assertRaises(dropbox.exceptions.InternalServerError) as cm:
            client().files_list_folder("")
        self.assertEqual(cm.exception.status_code, 503)
        client().files_list_folder("")


class OtherClientsTest(SdkTestCase):
    """Endpoints and behaviour that other widely used clients of the service rely on."""

    def test_copy_space_usage_and_latest_cursor(self):
        dbx = client()
        src = dbx.files_upload(b"copy me", "/cp/a/file.txt")
        res = dbx.files_copy_v2("/cp/a", "/cp/b")
        self.assertEqual(res.metadata.path_display, "/cp/b")
        copied = dbx.files_get_metadata("/cp/b/file.txt")
        self.assertEqual((copied.content_hash, copied.size), (src.content_hash, src.size))
        self.assertNotEqual((copied.id, copied.rev), (src.id, src.rev))
        self.assertEqual(dbx.files_get_metadata("/cp/a/file.txt").id, src.id)
        err = self.api_error(dbx.files_copy_v2, "/cp/a", "/cp/b")
        self.assertTrue(err.is_to() and err.get_to().is_conflict())
        usage = dbx.users_get_space_usage()
        self.assertGreaterEqual(usage.used, 2 * len(b"copy me"))
        self.assertTrue(usage.allocation.is_individual())
        cursor = dbx.files_list_folder_get_latest_cursor("/cp").cursor
        self.assertEqual(dbx.files_list_folder_continue(cursor).entries, [])

    def test_finish_batch(self):
        dbx = client()
        files = dropbox.files
        closed = dbx.files_upload_session_start(b"first", close=True).session_id
        open_one = dbx.files_upload_session_start(b"second").session_id
        res = dbx.files_upload_session_finish_batch_v2([
            files.UploadSessionFinishArg(files.UploadSessionCursor(closed, 5), files.CommitInfo("/batch/one")),
            files.UploadSessionFinishArg(files.UploadSessionCursor(open_one, 6), files.CommitInfo("/batch/two")),
        ])
        ok, failed = res.entries
        self.assertEqual((ok.get_success().path_display, ok.get_success().size), ("/batch/one", 5))
        self.assertTrue(failed.get_failure().get_lookup_failed().is_not_closed())

    def test_cursor_repeated_after_the_last_page(self):
        dbx = client()
        for i in range(3):
            dbx.files_upload(b"%d" % i, "/rep/f%d" % i)
        first = dbx.files_list_folder("/rep", limit=2)
        last = dbx.files_list_folder_continue(first.cursor)
        again = dbx.files_list_folder_continue(first.cursor)
        self.assertEqual([e.name for e in again.entries], [e.name for e in last.entries])
        self.assertEqual(dbx.files_list_folder_continue(last.cursor).entries, [])

    def test_too_many_write_operations(self):
        EMU.set_write_contention(hold_ms=60000)
        try:
            dbx = client()
            dbx.files_create_folder_v2("/contended")
            with self.assertRaises(dropbox.exceptions.RateLimitError) as cm:
                dbx.files_upload(b"x", "/contended/x")
        finally:
            EMU.set_write_contention()
        self.assertTrue(cm.exception.error.reason.is_too_many_write_operations())
        self.assertEqual(cm.exception.backoff, 1)


if __name__ == "__main__":
    unittest.main()
