"""Direct HTTP checks of the storage-service emulator: paths, listing pages,
ranges, uploads, sessions, faults, the request log and the rate limit."""

import hashlib
import json
import os
import socket
import ssl
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "emulator"))

import dropbox_emulator  # noqa: E402
from harness import Emulator  # noqa: E402

MiB = 1024 * 1024
BLOCK = 4 * MiB
EMU = None
TEAM_ROOT = {".tag": "root", "root": "2000"}


def setUpModule():
    global EMU
    EMU = Emulator().start()


def tearDownModule():
    rc = EMU.stop()
    assert rc == 0, "emulator exit code %r: %s" % (rc, EMU.stderr)


def reference_hash(data):
    digests = b"".join(hashlib.sha256(data[i:i + BLOCK]).digest() for i in range(0, len(data), BLOCK))
    return hashlib.sha256(digests).hexdigest()


class ContentHashTest(unittest.TestCase):
    def test_block_boundaries(self):
        for size in (0, 1, BLOCK - 1, BLOCK, BLOCK + 1, 2 * BLOCK + 17):
            data = (b"0123456789abcdef" * (size // 16 + 1))[:size]
            h = dropbox_emulator.ContentHasher()
            # feed in uneven pieces that straddle block boundaries
            pos = 0
            step = 999_983
            while pos < size:
                h.update(data[pos:pos + step])
                pos += step
            self.assertEqual(h.hexdigest(), reference_hash(data), size)
        self.assertEqual(dropbox_emulator.ContentHasher().hexdigest(),
                         "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855")

    def test_file_hash_with_stale_size_hint(self):
        path = os.path.join(EMU.tmp, "hint.bin")
        for size in (1, BLOCK, BLOCK + 1):
            data = os.urandom(size)
            with open(path, "wb") as f:
                f.write(data)
            for hint in (None, 0, size, BLOCK + 9):  # a file may have changed since it was listed
                self.assertEqual(dropbox_emulator.hash_file(path, size_hint=hint), reference_hash(data))
        self.assertEqual(dropbox_emulator.ContentHasher().hexdigest(),
                         "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855")


class EntryJsonTest(unittest.TestCase):
    def test_fast_listing_text_matches_generic_rendering(self):
        acc = dropbox_emulator.Account({"access_token": "x", "root_namespace_id": "1"})
        view = dropbox_emulator.View(acc, home=True)
        name = 'q"uo\\te \u00e9\x01\x7f'
        file_row = ("1", "/d/" + name.lower(), "/d", "id:abc", 0, "123456789", "2020-01-01T00:00:00Z",
                    "2020-01-02T00:00:00Z", 42, 1, "0" * 64)
        dir_row = file_row[:4] + (1,) + (None,) * 6
        for row in (file_row, dir_row):
            self.assertEqual(dropbox_emulator.entry_json("/D/" + name, name, row),
                             json.dumps(dropbox_emulator.Store.render(view, ["D", name], row), ensure_ascii=False))


class PathTest(unittest.TestCase):
    def test_slash_root_refused_and_trailing_slash_malformed(self):
        status, body = EMU.rpc("files/list_folder", {"path": "/"})
        self.assertEqual(status, 400)
        self.assertIn("empty string", body)
        status, headers, _ = EMU.request("POST", "/2/files/list_folder", token="T", json_body={"path": "/"})
        self.assertEqual(headers["content-type"], "text/plain; charset=utf-8")
        EMU.rpc("files/create_folder_v2", {"path": "/slashy"})
        status, body = EMU.rpc("files/list_folder", {"path": "/slashy/"})
        self.assertEqual(status, 409)
        self.assertTrue(body["error_summary"].startswith("path/malformed_path/"))
        status, body = EMU.rpc("files/delete_v2", {"path": ""})
        self.assertEqual(status, 400)
        status, body = EMU.rpc("files/delete_v2", {"path": "/"})
        self.assertEqual(status, 400)

    def test_case_insensitive_and_case_preserving(self):
        status, md = EMU.upload("/CaseDir/MixedCase.TXT", b"abc")
        self.assertEqual(status, 200, md)
        self.assertEqual(md["path_display"], "/CaseDir/MixedCase.TXT")
        self.assertEqual(md["path_lower"], "/casedir/mixedcase.txt")
        self.assertTrue(os.path.isfile(EMU.ns_path("1000", "CaseDir", "MixedCase.TXT")))
        status, headers, data = EMU.download("/casedir/MIXEDCASE.txt")
        self.assertEqual((status, data), (200, b"abc"))
        result = json.loads(headers["dropbox-api-result"])
        self.assertEqual(result["name"], "MixedCase.TXT")
        # a second folder differing only in case is a conflict
        status, body = EMU.rpc("files/create_folder_v2", {"path": "/casedir"})
        self.assertEqual(status, 409)
        self.assertTrue(body["error_summary"].startswith("path/conflict/folder"))
        # ids work wherever a path does
        status, headers, data = EMU.download(md["id"])
        self.assertEqual((status, data), (200, b"abc"))
        status, body = EMU.rpc("files/get_metadata", {"path": "id:doesnotexist000000000"})
        self.assertTrue(body["error_summary"].startswith("path/not_found"))

    def test_files_dropped_by_a_person_get_metadata_lazily(self):
        os.makedirs(EMU.ns_path("1000", "dropped"))
        data = os.urandom(BLOCK + 5)
        with open(EMU.ns_path("1000", "dropped", "by hand.bin"), "wb") as f:
            f.write(data)
        status, md = EMU.rpc("files/get_metadata", {"path": "/dropped/by hand.bin"})
        self.assertEqual(status, 200)
        self.assertEqual(md["content_hash"], reference_hash(data))
        self.assertEqual(md["size"], len(data))
        self.assertTrue(md["id"].startswith("id:") and len(md["id"]) == 25)
        self.assertRegex(md["rev"], r"^[0-9a-f]{9,}$")
        # changed by hand again: same id, new rev and hash
        with open(EMU.ns_path("1000", "dropped", "by hand.bin"), "ab") as f:
            f.write(b"more")
        status, md2 = EMU.rpc("files/get_metadata", {"path": "/dropped/by hand.bin"})
        self.assertEqual(md2["id"], md["id"])
        self.assertNotEqual(md2["rev"], md["rev"])
        self.assertEqual(md2["content_hash"], reference_hash(data + b"more"))


class ListingTest(unittest.TestCase):
    def test_pages_are_a_consistent_sorted_snapshot(self):
        folder = EMU.ns_path("1000", "many")
        os.makedirs(folder)
        names = ["f%05d" % i for i in range(2500)]
        for n in names:
            open(os.path.join(folder, n), "wb").close()
        os.mkdir(os.path.join(folder, "Sub"))
        status, page = EMU.rpc("files/list_folder", {"path": "/many", "limit": 1000,
                                                     "include_non_downloadable_files": False})
        self.assertEqual(status, 200)
        seen = [e["name"] for e in page["entries"]]
        self.assertEqual(len(seen), 1000)
        self.assertTrue(page["has_more"])
        # a change between pages does not disturb the snapshot
        open(os.path.join(folder, "f00000a"), "wb").close()
        while page["has_more"]:
            status, page = EMU.rpc("files/list_folder/continue", {"cursor": page["cursor"]})
            self.assertEqual(status, 200)
            seen += [e["name"] for e in page["entries"]]
        self.assertEqual(seen, names + ["Sub"])
        status, last = EMU.rpc("files/list_folder/continue", {"cursor": page["cursor"]})
        self.assertEqual((status, last["entries"], last["has_more"]), (200, [], False))
        status, body = EMU.rpc("files/list_folder/continue", {"cursor": "AAEbogus"})
        self.assertEqual(status, 409)
        self.assertTrue(body["error_summary"].startswith("reset/"))

    def test_recursive_and_id_relative_paths(self):
        EMU.upload("/rec/a/b/c.txt", b"c")
        EMU.upload("/rec/z.txt", b"z")
        status, page = EMU.rpc("files/list_folder", {"path": "/rec", "recursive": True})
        self.assertEqual([e["path_display"] for e in page["entries"]],
                         ["/rec/a", "/rec/a/b", "/rec/a/b/c.txt", "/rec/z.txt"])
        folder_id = page["entries"][0]["id"]
        status, md = EMU.rpc("files/get_metadata", {"path": folder_id + "/b/C.TXT"})
        self.assertEqual((status, md["path_display"]), (200, "/rec/a/b/c.txt"))
        status, page = EMU.rpc("files/list_folder", {"path": folder_id})
        self.assertEqual([e["name"] for e in page["entries"]], ["b"])

    def test_entry_shapes_and_errors(self):
        EMU.upload("/shapes/file.txt", b"x")
        EMU.rpc("files/create_folder_v2", {"path": "/shapes/dir"})
        status, page = EMU.rpc("files/list_folder", {"path": "/shapes"})
        f, d = page["entries"][1], page["entries"][0]
        self.assertEqual(d, {".tag": "folder", "name": "dir", "path_lower": "/shapes/dir",
                             "path_display": "/shapes/dir", "id": d["id"]})
        self.assertEqual(set(f), {".tag", "name", "path_lower", "path_display", "id", "client_modified",
                                  "server_modified", "rev", "size", "is_downloadable", "content_hash"})
        status, body = EMU.rpc("files/list_folder", {"path": "/shapes/file.txt"})
        self.assertTrue(body["error_summary"].startswith("path/not_folder"))
        status, body = EMU.rpc("files/list_folder", {"path": "/nowhere"})
        self.assertEqual(status, 409)
        self.assertEqual(body["error"], {".tag": "path", "path": {".tag": "not_found"}})
        for bad in ({"path": "", "limit": 0}, {"path": "", "limit": 2001}, {"path": "", "bogus": 1}):
            self.assertEqual(EMU.rpc("files/list_folder", bad)[0], 400, bad)
        status, headers, _ = EMU.request("POST", "/2/files/list_folder", token="T", body=b"{not json",
                                         headers={"Content-Type": "application/json"})
        self.assertEqual(status, 400)


class MutationTest(unittest.TestCase):
    def test_move_folder_with_content_keeps_ids(self):
        _, md = EMU.upload("/mv/src/inner/file.bin", b"payload")
        status, res = EMU.rpc("files/move_v2", {"from_path": "/mv/src", "to_path": "/mv/dst/deeper"})
        self.assertEqual(status, 200, res)
        self.assertEqual(res["metadata"][".tag"], "folder")
        self.assertEqual(res["metadata"]["path_display"], "/mv/dst/deeper")
        status, moved = EMU.rpc("files/get_metadata", {"path": md["id"]})
        self.assertEqual(moved["path_display"], "/mv/dst/deeper/inner/file.bin")
        status, body = EMU.rpc("files/move_v2", {"from_path": "/mv/src", "to_path": "/mv/x"})
        self.assertTrue(body["error_summary"].startswith("from_lookup/not_found"))
        status, body = EMU.rpc("files/move_v2", {"from_path": "/mv/dst", "to_path": "/mv/dst/deeper/x"})
        self.assertTrue(body["error_summary"].startswith("cant_move_folder_into_itself"))
        EMU.upload("/mv/other.txt", b"o")
        status, body = EMU.rpc("files/move_v2", {"from_path": "/mv/other.txt", "to_path": "/mv/dst"})
        self.assertEqual(body["error"], {".tag": "to", "to": {".tag": "conflict",
                                                                "conflict": {".tag": "folder"}}})
        status, res = EMU.rpc("files/move_v2", {"from_path": "/mv/other.txt", "to_path": "/mv/OTHER.txt"})
        self.assertEqual((status, res["metadata"]["name"]), (200, "OTHER.txt"))

    def test_delete_folder_with_content(self):
        EMU.upload("/del/a/b/c.txt", b"c")
        status, res = EMU.rpc("files/delete_v2", {"path": "/del/a"})
        self.assertEqual(status, 200)
        self.assertEqual(res["metadata"][".tag"], "folder")
        self.assertFalse(os.path.exists(EMU.ns_path("1000", "del", "a")))
        status, body = EMU.rpc("files/delete_v2", {"path": "/del/a"})
        self.assertEqual(body["error"], {".tag": "path_lookup", "path_lookup": {".tag": "not_found"}})

    def test_upload_modes(self):
        s, first = EMU.upload("/modes/f.txt", b"one")
        s, same = EMU.upload("/modes/f.txt", b"one")
        self.assertEqual((s, same["rev"]), (200, first["rev"]))  # identical bytes change nothing
        s, body = EMU.upload("/modes/f.txt", b"two")
        self.assertEqual(s, 409)
        self.assertEqual(body["error"]["reason"], {".tag": "conflict", "conflict": {".tag": "file"}})
        self.assertTrue(body["error_summary"].startswith("path/conflict/file"))
        s, renamed = EMU.upload("/modes/f.txt", b"two", autorename=True)
        self.assertEqual(renamed["name"], "f (1).txt")
        s, over = EMU.upload("/modes/f.txt", b"three", mode="overwrite",
                             client_modified="2020-02-03T04:05:06Z")
        self.assertEqual((s, over["id"], over["client_modified"]), (200, first["id"], "2020-02-03T04:05:06Z"))
        s, body = EMU.upload("/modes/f.txt", b"four", mode={".tag": "update", "update": first["rev"]})
        self.assertEqual(s, 409)
        s, upd = EMU.upload("/modes/f.txt", b"four", mode={".tag": "update", "update": over["rev"]})
        self.assertEqual(s, 200)
        s, body = EMU.upload("/modes", b"x", mode="overwrite")
        self.assertTrue(body["error_summary"].startswith("path/conflict/folder"))
        s, body = EMU.upload("/modes/g.txt", b"x", content_hash=reference_hash(b"y"))
        self.assertTrue(body["error_summary"].startswith("content_hash_mismatch"))
        s, body = EMU.upload("/modes/g.txt", b"x", client_modified="2020-02-03T04:05:06.5Z")
        self.assertEqual(s, 400)
        s, body = EMU.upload("/modes/f.txt/below", b"x")
        self.assertTrue(body["error_summary"].startswith("path/conflict/file_ancestor"), body)

    def test_chunked_upload_body(self):
        data = os.urandom(3 * MiB + 7)

        def pieces():
            for i in range(0, len(data), 100_000):
                yield data[i:i + 100_000]
        status, headers, body = EMU.request("POST", "/2/files/upload", token="T",
                                            arg={"path": "/chunked.bin"}, body=pieces(), chunked=True)
        self.assertEqual(status, 200, body)
        md = json.loads(body)
        self.assertEqual((md["size"], md["content_hash"]), (len(data), reference_hash(data)))
        with open(EMU.ns_path("1000", "chunked.bin"), "rb") as f:
            self.assertEqual(f.read(), data)

    def test_oversized_upload_refused_before_reading(self):
        conn = EMU.connection()
        conn.putrequest("POST", "/2/files/upload", skip_host=True)
        for k, v in (("Host", "content.dropboxapi.com"), ("Authorization", "Bearer T"),
                     ("Content-Type", "application/octet-stream"),
                     ("Dropbox-API-Arg", '{"path": "/huge"}'), ("Content-Length", str(150 * MiB + 1))):
            conn.putheader(k, v)
        conn.endheaders()
        conn.send(b"x" * 1000)
        resp = conn.getresponse()
        body = json.loads(resp.read())
        conn.close()
        self.assertEqual(resp.status, 409)
        self.assertTrue(body["error_summary"].startswith("payload_too_large"))
        self.assertFalse(os.path.exists(EMU.ns_path("1000", "huge")))


class RangeTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.data = bytes(range(256)) * 40  # 10240 bytes
        EMU.upload("/range.bin", cls.data)

    def test_ranges(self):
        status, headers, body = EMU.download("/range.bin", range_header="bytes=10-19")
        self.assertEqual((status, body), (206, self.data[10:20]))
        self.assertEqual(headers["content-range"], "bytes 10-19/10240")
        status, headers, body = EMU.download("/range.bin", range_header="bytes=10000-")
        self.assertEqual((status, body), (206, self.data[10000:]))
        status, headers, body = EMU.download("/range.bin", range_header="bytes=10000-99999")
        self.assertEqual((status, headers["content-range"]), (206, "bytes 10000-10239/10240"))
        status, headers, body = EMU.download("/range.bin", range_header="bytes=-5")
        self.assertEqual((status, body), (206, self.data[-5:]))
        status, headers, body = EMU.download("/range.bin", range_header="bytes=10240-")
        self.assertEqual((status, headers["content-range"]), (416, "bytes */10240"))
        status, headers, body = EMU.download("/range.bin")
        self.assertEqual((status, body, headers["content-type"]), (200, self.data, "application/octet-stream"))
        self.assertEqual(json.loads(headers["dropbox-api-result"])["size"], 10240)

    def test_download_errors_and_post(self):
        status, headers, body = EMU.request("POST", "/2/files/download", token="T", arg={"path": "/nope"})
        self.assertEqual((status, headers["content-type"]), (409, "application/json"))
        self.assertEqual(json.loads(body)["error"], {".tag": "path", "path": {".tag": "not_found"}})
        EMU.rpc("files/create_folder_v2", {"path": "/afolder"})
        status, headers, body = EMU.download("/afolder")
        self.assertTrue(json.loads(body)["error_summary"].startswith("path/not_file"))
        status, headers, body = EMU.request("GET", "/2/files/download", token="T")
        self.assertEqual(status, 400)
        self.assertIn(b"Dropbox-API-Arg", body)

    def test_non_ascii_metadata_header_is_escaped(self):
        EMU.upload("/caf\u00e9 \u00fc.txt", b"x")
        status, headers, body = EMU.download("/CAF\u00c9 \u00dc.txt")
        self.assertEqual(status, 200)
        raw = headers["dropbox-api-result"]
        self.assertTrue(all(ord(c) < 0x7f for c in raw))
        self.assertEqual(json.loads(raw)["name"], "caf\u00e9 \u00fc.txt")


class AuthAndRootTest(unittest.TestCase):
    def test_tokens(self):
        status, headers, body = EMU.request("POST", "/2/files/list_folder", json_body={"path": ""})
        self.assertEqual(status, 400)
        status, body = EMU.rpc("files/list_folder", {"path": ""}, token="nobody")
        self.assertEqual((status, body["error"]), (401, {".tag": "invalid_access_token"}))
        status, body = EMU.rpc("files/list_folder", {"path": ""}, token="OLD")
        self.assertEqual((status, body["error"]), (401, {".tag": "expired_access_token"}))

    def test_team_home_and_root_views(self):
        s, md = EMU.upload("/mine.txt", b"m", token="TEAM")
        self.assertEqual((s, md["path_display"]), (200, "/mine.txt"))
        self.assertTrue(os.path.isfile(EMU.ns_path("2000", "Ann Member", "mine.txt")))
        s, md = EMU.rpc("files/get_metadata", {"path": "/ann member/MINE.txt"}, token="TEAM",
                        path_root=TEAM_ROOT)
        self.assertEqual(md["path_display"], "/Ann Member/mine.txt")
        s, page = EMU.rpc("files/list_folder", {"path": ""}, token="TEAM", path_root=TEAM_ROOT)
        self.assertIn("Ann Member", [e["name"] for e in page["entries"]])
        s, page = EMU.rpc("files/list_folder", {"path": ""}, token="TEAM",
                          path_root={".tag": "namespace_id", "namespace_id": "2001"})
        self.assertEqual([e["name"] for e in page["entries"]], ["mine.txt"])
        s, body = EMU.rpc("files/create_folder_v2", {"path": "/toplevel"}, token="TEAM", path_root=TEAM_ROOT)
        self.assertTrue(body["error_summary"].startswith("path/no_write_permission"), body)
        s, body = EMU.rpc("files/list_folder", {"path": ""}, token="TEAM", path_root={".tag": "root", "root": "1000"})
        self.assertEqual(s, 422)
        self.assertEqual(body["error"]["invalid_root"], {".tag": "team", "root_namespace_id": "2000",
                                                         "home_namespace_id": "2001",
                                                         "home_path": "/Ann Member"})
        s, body = EMU.rpc("files/list_folder", {"path": ""}, token="T", path_root={".tag": "root", "root": "9"})
        self.assertEqual(body["error"]["invalid_root"][".tag"], "user")
        s, body = EMU.rpc("files/list_folder", {"path": ""}, token="T",
                          path_root={".tag": "namespace_id", "namespace_id": "9"})
        self.assertEqual((s, body["error"]), (422, {".tag": "no_permission"}))
        s, body = EMU.rpc("files/list_folder", {"path": ""}, token="T", path_root="{bad")
        self.assertEqual(s, 400)
        # personal account: root and home are the same folder
        EMU.upload("/personal-root.txt", b"p", path_root={".tag": "root", "root": "1000"})
        self.assertTrue(os.path.isfile(EMU.ns_path("1000", "personal-root.txt")))


class SessionTest(unittest.TestCase):
    def start(self, **arg):
        s, h, body = EMU.request("POST", "/2/files/upload_session/start", token="T", arg=arg, body=b"")
        self.assertEqual(s, 200, body)
        return json.loads(body)["session_id"]

    def append(self, sid, offset, data, close=False):
        s, h, body = EMU.request("POST", "/2/files/upload_session/append_v2", token="T",
                                 arg={"cursor": {"session_id": sid, "offset": offset}, "close": close}, body=data)
        return s, json.loads(body)

    def finish(self, sid, offset, path, body=b""):
        s, h, data = EMU.request("POST", "/2/files/upload_session/finish", token="T",
                                 arg={"cursor": {"session_id": sid, "offset": offset},
                                      "commit": {"path": path, "mode": "overwrite"}}, body=body)
        return s, json.loads(data)

    def test_concurrent_parts_out_of_order(self):
        data = os.urandom(2 * BLOCK + 1000)
        sid = self.start(session_type="concurrent")
        self.assertEqual(self.append(sid, BLOCK, data[BLOCK:2 * BLOCK]), (200, None))
        s, body = self.append(sid, 100, b"x")
        self.assertTrue(body["error_summary"].startswith("concurrent_session_invalid_offset"))
        s, body = self.append(sid, 2 * BLOCK, b"abc")
        self.assertTrue(body["error_summary"].startswith("concurrent_session_invalid_data_size"))
        s, body = self.finish(sid, 0, "/conc.bin")
        self.assertTrue(body["error_summary"].startswith("concurrent_session_not_closed"))
        self.assertEqual(self.append(sid, 2 * BLOCK, data[2 * BLOCK:], close=True), (200, None))
        s, body = self.finish(sid, len(data), "/conc.bin")
        self.assertTrue(body["error_summary"].startswith("concurrent_session_missing_data"))
        s, body = self.append(sid, 0, data[:BLOCK])
        self.assertTrue(body["error_summary"].startswith("closed"))
        s, body = self.finish(sid, 5, "/conc.bin")
        self.assertEqual(body["error"], {".tag": "lookup_failed", "lookup_failed": {
            ".tag": "incorrect_offset", "correct_offset": len(data)}})

    def test_failed_chunked_part_spilling_over_another_is_not_counted(self):
        sid = self.start(session_type="concurrent")
        self.assertEqual(self.append(sid, BLOCK, b"2" * BLOCK), (200, None))
        s, h, body = EMU.request("POST", "/2/files/upload_session/append_v2", token="T",
                                 arg={"cursor": {"session_id": sid, "offset": 0}},
                                 body=iter([b"1" * BLOCK, b"1" * 10]), chunked=True)
        self.assertTrue(json.loads(body)["error_summary"].startswith("concurrent_session_invalid_data_size"))
        self.assertEqual(self.append(sid, 0, b"1" * BLOCK), (200, None))
        self.assertEqual(self.append(sid, 2 * BLOCK, b"3", close=True), (200, None))
        s, body = self.finish(sid, 2 * BLOCK + 1, "/spilled.bin")
        self.assertTrue(body["error_summary"].startswith("concurrent_session_missing_data"), body)

    def test_concurrent_in_order_and_sequential(self):
        data = os.urandom(2 * BLOCK + 10)
        sid = self.start(session_type={".tag": "concurrent"})
        self.append(sid, 0, data[:BLOCK])
        self.append(sid, BLOCK, data[BLOCK:2 * BLOCK])
        self.append(sid, 2 * BLOCK, data[2 * BLOCK:], close=True)
        s, md = self.finish(sid, len(data), "/conc2.bin")
        self.assertEqual((s, md["size"], md["content_hash"]), (200, len(data), reference_hash(data)))
        with open(EMU.ns_path("1000", "conc2.bin"), "rb") as f:
            self.assertEqual(f.read(), data)
        self.assertEqual(os.listdir(os.path.join(EMU.root, ".emulator", "sessions")), [])
        s, body = self.append(sid, 0, b"")
        self.assertTrue(body["error_summary"].startswith("not_found"))

        sid = self.start()
        s, body = self.append(sid, 3, b"abc")
        self.assertEqual(body["error"], {".tag": "incorrect_offset", "correct_offset": 0})
        self.append(sid, 0, b"hello ")
        s, md = self.finish(sid, 6, "/seq.txt", body=b"world")
        self.assertEqual((s, md["size"], md["content_hash"]), (200, 11, reference_hash(b"hello world")))


class FaultTest(unittest.TestCase):
    def setUp(self):
        EMU.clear_faults()
        EMU.upload("/fault.bin", bytes(range(256)) * 64)

    def tearDown(self):
        EMU.clear_faults()

    def test_status_fault_on_nth_request_for_count(self):
        EMU.add_faults({"path": "/2/files/list_folder", "nth": 2, "count": 2, "action": "status",
                        "status": 429, "headers": {"Retry-After": "3"},
                        "body": {"error_summary": "too_many_write_operations/..",
                                 "error": {".tag": "too_many_write_operations"}}})
        codes = []
        for _ in range(4):
            s, h, body = EMU.request("POST", "/2/files/list_folder", token="T", json_body={"path": ""})
            codes.append(s)
            if s == 429:
                self.assertEqual(h["retry-after"], "3")
                self.assertEqual(h["content-type"], "application/json")
        self.assertEqual(codes, [200, 429, 429, 200])
        self.assertEqual(EMU.control("GET", "faults"), [])

    def test_cut_download_and_upload(self):
        EMU.add_faults({"path": "/2/files/download", "action": "cut", "after_bytes": 100})
        conn = EMU.connection()
        conn.request("GET", "/2/files/download", headers={"Authorization": "Bearer T",
                                                          "Dropbox-API-Arg": '{"path": "/fault.bin"}'})
        resp = conn.getresponse()
        self.assertEqual(resp.status, 200)
        got = b""
        with self.assertRaises(Exception):
            while True:
                chunk = resp.read(1000)
                if not chunk:
                    raise EOFError
                got += chunk
        self.assertEqual(len(got), 100)
        conn.close()
        EMU.add_faults({"path": "/2/files/upload", "action": "cut", "after_bytes": 10})
        with self.assertRaises((ConnectionError, OSError, Exception)):
            EMU.request("POST", "/2/files/upload", token="T", arg={"path": "/cut.bin"}, body=b"z" * 5000)
        self.assertFalse(os.path.exists(EMU.ns_path("1000", "cut.bin")))
        entry = EMU.log()[-1]
        self.assertEqual((entry["path"], entry["status"], entry["body_size"]), ("/2/files/upload", None, 10))

    def test_stall_delay_and_malformed(self):
        EMU.add_faults({"path": "/2/files/download", "action": "stall", "after_bytes": 10, "stall_ms": 2000})
        conn = EMU.connection(timeout=0.5)
        conn.request("GET", "/2/files/download", headers={"Authorization": "Bearer T",
                                                          "Dropbox-API-Arg": '{"path": "/fault.bin"}'})
        resp = conn.getresponse()
        self.assertEqual(resp.read(10), bytes(range(10)))
        with self.assertRaises((socket.timeout, ssl.SSLError, TimeoutError)):
            resp.read(10)
        conn.close()
        EMU.add_faults([{"path": "/2/files/get_metadata", "action": "delay_start", "delay_ms": 300},
                        {"path": "/2/files/list_folder", "action": "malformed_json"}])
        t0 = time.time()
        self.assertEqual(EMU.rpc("files/get_metadata", {"path": "/fault.bin"})[0], 200)
        self.assertGreaterEqual(time.time() - t0, 0.3)
        s, h, body = EMU.request("POST", "/2/files/list_folder", token="T", json_body={"path": ""})
        self.assertEqual((s, h["content-type"]), (200, "application/json"))
        with self.assertRaises(ValueError):
            json.loads(body)

    def test_faults_that_change_what_a_reply_means(self):
        data = bytes(range(256)) * 64
        EMU.upload("/meaning.bin", data)
        EMU.add_faults({"path": "/2/files/download", "action": "ignore_range"})
        s, h, body = EMU.download("/meaning.bin", range_header="bytes=5-")
        self.assertEqual((s, body), (200, data))
        # Without a Content-Length the close is the only end: a short body looks complete.
        EMU.add_faults({"path": "/2/files/download", "action": "cut", "after_bytes": 100, "content_length": False})
        s, h, body = EMU.download("/meaning.bin")
        self.assertEqual((s, body, "content-length" in h), (200, data[:100], False))
        EMU.add_faults({"path": "/2/files/download", "action": "replace", "file": "/meaning.bin",
                        "body": "replaced"})
        s, h, body = EMU.download("/meaning.bin")
        self.assertEqual(body, b"replaced")
        EMU.add_faults({"path": "/2/files/upload", "action": "corrupt"})
        s, md = EMU.upload("/corrupt.bin", b"abc")
        self.assertEqual((s, md["content_hash"]), (200, reference_hash(b"\x9ebc")))

    def test_stall_while_reading_an_upload(self):
        EMU.add_faults({"path": "/2/files/upload", "action": "stall", "side": "request",
                        "after_bytes": 10, "stall_ms": 300})
        t0 = time.time()
        with self.assertRaises((ConnectionError, OSError, Exception)):
            EMU.request("POST", "/2/files/upload", token="T", arg={"path": "/stalled.bin"}, body=b"s" * 100)
        self.assertGreaterEqual(time.time() - t0, 0.3)
        self.assertFalse(os.path.exists(EMU.ns_path("1000", "stalled.bin")))

    def test_bad_rule_refused(self):
        s, h, body = EMU.request("POST", "/__emulator/faults", body=b'{"action": "explode"}')
        self.assertEqual(s, 400)


class LogAndRateTest(unittest.TestCase):
    def test_log_records_requests_in_order(self):
        EMU.clear_log()
        conn = EMU.connection()  # keep-alive: three requests on one connection
        EMU.request("POST", "/2/files/list_folder", token="T", json_body={"path": ""}, conn=conn)
        EMU.request("POST", "/2/files/upload", token="T", arg={"path": "/logged.txt"}, body=b"12345", conn=conn)
        EMU.request("POST", "/2/files/get_metadata", token="T", json_body={"path": "/nope"}, conn=conn)
        conn.close()
        log = EMU.log()
        self.assertEqual([e["path"] for e in log],
                         ["/2/files/list_folder", "/2/files/upload", "/2/files/get_metadata"])
        self.assertEqual([e["status"] for e in log], [200, 200, 409])
        self.assertEqual(log[0]["seq"] + 1, log[1]["seq"])
        up = log[1]
        self.assertEqual(up["arg"], {"path": "/logged.txt"})
        self.assertEqual(up["body_size"], 5)
        self.assertEqual(up["host"], "content.dropboxapi.com")
        self.assertEqual(up["headers"]["Authorization"], "Bearer <redacted>")
        self.assertLessEqual(up["start"], up["end"])
        EMU.clear_log()
        self.assertEqual(EMU.log(), [])

    def test_rate_limit(self):
        EMU.set_rate_limit(3)
        try:
            codes = []
            for _ in range(5):
                s, h, body = EMU.request("POST", "/2/files/list_folder", token="T", json_body={"path": ""})
                codes.append(s)
            self.assertEqual(codes[:3], [200, 200, 200])
            self.assertEqual(codes[3:], [429, 429])
            self.assertEqual(h["retry-after"], "1")
            self.assertEqual(json.loads(body), {"error_summary": "too_many_requests/..",
                                                "error": {"reason": {".tag": "too_many_requests"},
                                                          "retry_after": 1}})
            # another account has its own budget
            self.assertEqual(EMU.rpc("files/list_folder", {"path": ""}, token="TEAM")[0], 200)
        finally:
            EMU.set_rate_limit(0)
        self.assertEqual(EMU.rpc("files/list_folder", {"path": ""})[0], 200)


class FarServiceTest(unittest.TestCase):
    """The link shape and write contention that reproduce a far-away, loaded service."""

    def test_latency_and_rate_slow_each_connection(self):
        EMU.upload("/far.bin", os.urandom(MiB))
        EMU.set_link(latency_ms=50, bytes_per_second=4 * MiB)
        try:
            t0 = time.monotonic()
            s, _, data = EMU.download("/far.bin")
            elapsed = time.monotonic() - t0
        finally:
            EMU.set_link()
        self.assertEqual((s, len(data)), (200, MiB))
        # two round trips to connect, one for the request, a quarter second of body
        self.assertGreaterEqual(elapsed, 0.3 + 0.25)

    def test_contending_commits_get_too_many_write_operations(self):
        EMU.set_write_contention(hold_ms=60000, retry_after=2)
        try:
            self.assertEqual(EMU.rpc("files/create_folder_v2", {"path": "/busy1"})[0], 200)
            s, h, body = EMU.request("POST", "/2/files/upload", token="T", arg={"path": "/busy2.txt"},
                                     body=b"x")
            # another namespace is not held up
            self.assertEqual(EMU.rpc("files/create_folder_v2", {"path": "/busy3"}, token="TEAM")[0], 200)
        finally:
            EMU.set_write_contention()
        self.assertEqual((s, h["retry-after"]), (429, "2"))
        self.assertEqual(json.loads(body)["error"]["reason"], {".tag": "too_many_write_operations"})
        self.assertFalse(os.path.exists(EMU.ns_path("1000", "busy2.txt")))


if __name__ == "__main__":
    unittest.main()
