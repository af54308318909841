#!/usr/bin/python3
"""A local stand-in for the storage service's HTTP API v2.

Serves the RPC endpoints (list_folder, list_folder/continue, create_folder_v2,
move_v2, delete_v2, get_metadata, list_revisions, restore) and the content
endpoints (download, upload, upload_session/start, append_v2, finish) on one
port, over TLS or plain HTTP.
Files live as plain files under ROOT/ns/<root_namespace_id>/; ids, revisions,
times and content hashes live in a sqlite database under ROOT/.emulator/.

Tests steer it through /__emulator/ control endpoints: scripted faults, a
request log and a per-account rate limit.  See README.md beside this file.

Standard library only; bodies are streamed in blocks, never held whole.
"""

import argparse
import base64
import collections
import datetime
import email.utils
import hashlib
import http.server
import json
import os
import re
import secrets
import shutil
import signal
import socket
import sqlite3
import ssl
import stat
import sys
import threading
import time
import traceback
import urllib.parse

BLOCK_SIZE = 4 * 1024 * 1024          # content-hash block and concurrent-append unit
MAX_REQUEST_DATA = 150 * 1024 * 1024  # largest body of one upload/append request
MAX_SESSION_SIZE = 350 * 1000 ** 3    # largest file committed from a session
IO_CHUNK = 1024 * 1024                # read/write/send block
THROTTLE_SLICE = 64 * 1024            # reply bytes sent at a time on a rate-limited link
TIME_FORMAT = "%Y-%m-%dT%H:%M:%SZ"
TIME_RE = re.compile(r"^\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}Z$")
EMPTY_HASH = hashlib.sha256(b"").hexdigest()


# --------------------------------------------------------------------------
# errors

class ApiError(Exception):
    """An endpoint error: JSON body {"error_summary", "error"} with a status."""

    def __init__(self, error, status=409, headers=None, summary=None):
        super().__init__(error)
        self.error = error
        self.status = status
        self.headers = headers or []
        self.summary = summary or error_summary(error)


class BadRequest(Exception):
    """Malformed request: 400 with a plain-text body."""


class Abort(Exception):
    """The connection must be dropped without (further) reply."""


class LookupFail(Exception):
    """Lookup failure; the endpoint wraps the tag into its own error union."""

    def __init__(self, tag):
        super().__init__(tag)
        self.tag = tag

    def value(self):
        return {".tag": self.tag}


class WriteFail(Exception):
    """Write failure (WriteError); conflict carries file/folder/file_ancestor."""

    def __init__(self, tag, conflict=None):
        super().__init__(tag)
        self.tag = tag
        self.conflict = conflict

    def value(self):
        if self.tag == "conflict":
            return {".tag": "conflict", "conflict": {".tag": self.conflict}}
        return {".tag": self.tag}


def error_summary(error):
    """Chain of tags joined by "/" followed by dots, as the service writes it."""
    tags = []
    node = error
    while isinstance(node, dict) and isinstance(node.get(".tag"), str):
        tag = node[".tag"]
        tags.append(tag)
        inner = node.get(tag)
        if not (isinstance(inner, dict) and ".tag" in inner):
            inner = node.get("reason")
        node = inner
    return "/".join(tags) + "/.."


def header_json(value):
    """JSON text safe for an HTTP header: ASCII only, 0x7F escaped too."""
    return json.dumps(value, ensure_ascii=True).replace("\x7f", "\\u007f")


def body_json(value):
    return json.dumps(value, ensure_ascii=False).encode("utf-8")


def utc_text(epoch):
    return time.strftime(TIME_FORMAT, time.gmtime(epoch))


def new_id():
    return "id:" + secrets.token_urlsafe(16)[:22]


def new_rev():
    # 15 hex digits, first one non-zero so the length is stable.
    return "%x" % (0x100000000000000 + secrets.randbits(56))


_enc = json.encoder.encode_basestring  # JSON string literal, non-ASCII kept


def entry_json(display, name, row):
    """Tagged metadata as JSON text, the same as json.dumps(Store.render(...)),
    written out directly because big listings make millions of these."""
    if row[4]:
        return '{".tag": "folder", "name": %s, "path_lower": %s, "path_display": %s, "id": %s}' % (
            _enc(name), _enc(display.lower()), _enc(display), _enc(row[3]))
    return ('{".tag": "file", "name": %s, "path_lower": %s, "path_display": %s, "id": %s, '
            '"client_modified": %s, "server_modified": %s, "rev": %s, "size": %d, '
            '"is_downloadable": true, "content_hash": %s}') % (
        _enc(name), _enc(display.lower()), _enc(display), _enc(row[3]), _enc(row[6]), _enc(row[7]),
        _enc(row[5]), row[8], _enc(row[10]))


# --------------------------------------------------------------------------
# content hash

class ContentHasher:
    """SHA-256 over 4 MiB blocks, then SHA-256 of the concatenated digests."""

    def __init__(self):
        self.overall = hashlib.sha256()
        self.block = hashlib.sha256()
        self.fill = 0

    def update(self, data):
        view = memoryview(data)
        while len(view):
            take = min(len(view), BLOCK_SIZE - self.fill)
            self.block.update(view[:take])
            self.fill += take
            view = view[take:]
            if self.fill == BLOCK_SIZE:
                self.overall.update(self.block.digest())
                self.block = hashlib.sha256()
                self.fill = 0

    def copy(self):
        other = ContentHasher()
        other.overall = self.overall.copy()
        other.block = self.block.copy()
        other.fill = self.fill
        return other

    def hexdigest(self):
        overall = self.overall.copy()
        if self.fill:
            overall.update(self.block.digest())
        return overall.hexdigest()


def hash_file(path, start=0, end=None, hasher=None, size_hint=None):
    """Content hash of a file (or of [start, end) continuing hasher), streamed."""
    hasher = hasher or ContentHasher()
    with open(path, "rb", buffering=0) as f:
        if start == 0 and end is None and hasher.fill == 0:
            # Small files (the common case in big folders): one read sized by
            # the expected length, no block buffer.
            want = BLOCK_SIZE if size_hint is None or size_hint >= BLOCK_SIZE else size_hint + 1
            head = f.read(want)
            while len(head) < want:
                more = f.read(want - len(head))
                if not more:
                    break
                head += more
            hasher.update(head)
            if len(head) < want:  # the whole file
                return hasher.hexdigest()
            start = len(head)
        buf = bytearray(BLOCK_SIZE)
        view = memoryview(buf)
        f.seek(start)
        left = None if end is None else end - start
        while left is None or left > 0:
            want = BLOCK_SIZE if left is None else min(BLOCK_SIZE, left)
            n = f.readinto(view[:want])
            if not n:
                break
            hasher.update(view[:n])
            if left is not None:
                left -= n
    return hasher.hexdigest()


# --------------------------------------------------------------------------
# accounts and namespace views

class Account:
    def __init__(self, raw):
        try:
            self.token = str(raw["access_token"])
            self.account_id = str(raw.get("account_id") or "dbid:" + self.token[:16])
            self.root_ns = str(raw["root_namespace_id"])
            self.home_ns = str(raw.get("home_namespace_id") or self.root_ns)
        except (KeyError, TypeError) as exc:
            raise ValueError("account entry lacks %s" % exc) from None
        if not self.token or not self.root_ns.isdigit() or not self.home_ns.isdigit():
            raise ValueError("account %r: empty token or non-numeric namespace id" % self.account_id)
        self.is_team = self.root_ns != self.home_ns
        self.home_folder = str(raw.get("home_folder_name") or "") if self.is_team else ""
        if self.is_team and (not self.home_folder or "/" in self.home_folder):
            raise ValueError("team account %r needs a plain home_folder_name" % self.account_id)
        self.team_root_writable = bool(raw.get("team_root_writable", False))
        self.allocated = int(raw.get("allocated", 2 * 1024 ** 4))  # space allowance in bytes
        self.expiry = None
        if raw.get("token_expiry"):
            self.expiry = parse_time(str(raw["token_expiry"]))

    def root_info(self):
        info = {".tag": "team" if self.is_team else "user",
                "root_namespace_id": self.root_ns,
                "home_namespace_id": self.home_ns}
        if self.is_team:
            info["home_path"] = "/" + self.home_folder
        return info


def parse_time(text):
    text = text.strip()
    if text.endswith("Z"):
        text = text[:-1] + "+00:00"
    return datetime.datetime.fromisoformat(text).timestamp()


class View:
    """Where request paths point: the root namespace, or the home folder in it."""

    def __init__(self, account, home):
        self.account = account
        self.ns = account.root_ns
        self.prefix = [account.home_folder] if (home and account.is_team) else []
        self.is_team_root = account.is_team and not self.prefix

    def to_view(self, full):
        """Root-relative components -> view-relative components, or None."""
        n = len(self.prefix)
        if [c.lower() for c in full[:n]] != [c.lower() for c in self.prefix]:
            return None
        return full[n:]


# --------------------------------------------------------------------------
# storage: plain files plus metadata in sqlite

class Store:
    def __init__(self, root, accounts):
        self.root = os.path.abspath(root)
        self.meta_dir = os.path.join(self.root, ".emulator")
        self.tmp_dir = os.path.join(self.meta_dir, "tmp")
        self.sessions_dir = os.path.join(self.meta_dir, "sessions")
        self.revs_dir = os.path.join(self.meta_dir, "revs")
        os.makedirs(self.revs_dir, exist_ok=True)
        for d in (self.meta_dir, self.tmp_dir, self.sessions_dir):
            os.makedirs(d, exist_ok=True)
            if d != self.meta_dir:
                # Sessions live in memory only; their data from an earlier run is orphaned.
                for name in os.listdir(d):
                    try:
                        os.unlink(os.path.join(d, name))
                    except OSError:
                        pass
        self.lock = threading.RLock()
        self.db = sqlite3.connect(os.path.join(self.meta_dir, "meta.db"),
                                  check_same_thread=False, isolation_level=None)
        self.db.execute("PRAGMA synchronous=OFF")
        self.db.execute("PRAGMA journal_mode=WAL")
        self.db.execute("""CREATE TABLE IF NOT EXISTS objects (
            ns TEXT NOT NULL, path_lower TEXT NOT NULL, parent_lower TEXT NOT NULL,
            id TEXT NOT NULL, is_dir INTEGER NOT NULL, rev TEXT, client_modified TEXT,
            server_modified TEXT, size INTEGER, mtime_ns INTEGER, content_hash TEXT,
            PRIMARY KEY (ns, path_lower))""")
        self.db.execute("CREATE INDEX IF NOT EXISTS objects_id ON objects(id)")
        self.db.execute("CREATE INDEX IF NOT EXISTS objects_parent ON objects(ns, parent_lower)")
        self.db.execute("CREATE INDEX IF NOT EXISTS objects_rev ON objects(rev)")
        # Earlier revisions of files: their data is kept under revs/<rev>.
        self.db.execute("""CREATE TABLE IF NOT EXISTS revisions (
            seq INTEGER PRIMARY KEY AUTOINCREMENT, ns TEXT NOT NULL, rev TEXT NOT NULL UNIQUE,
            id TEXT NOT NULL, path_lower TEXT NOT NULL, path_display TEXT NOT NULL,
            client_modified TEXT, server_modified TEXT, size INTEGER, content_hash TEXT)""")
        self.db.execute("CREATE INDEX IF NOT EXISTS revisions_path ON revisions(ns, path_lower)")
        self.db.execute("CREATE INDEX IF NOT EXISTS revisions_id ON revisions(ns, id)")
        self.dir_cache = {}
        for acc in accounts:
            os.makedirs(self.ns_dir(acc.root_ns), exist_ok=True)
            if acc.is_team:
                home = self.locate(acc.root_ns, [acc.home_folder])
                if home is None:
                    os.makedirs(os.path.join(self.ns_dir(acc.root_ns), acc.home_folder), exist_ok=True)
                elif not home.is_dir:
                    raise ValueError("home folder %r is a file" % acc.home_folder)
                else:
                    acc.home_folder = home.comps[0]

    def ns_dir(self, ns):
        return os.path.join(self.root, "ns", ns)

    # -- lookups on disk ---------------------------------------------------

    def _child_name(self, directory, name):
        """The on-disk name of directory's child matching name without case."""
        try:
            os.lstat(os.path.join(directory, name))
            return name
        except FileNotFoundError:
            pass
        except OSError:
            return None
        try:
            mtime = os.stat(directory).st_mtime_ns
        except OSError:
            return None
        cached = self.dir_cache.get(directory)
        if cached is None or cached[0] != mtime:
            try:
                names = os.listdir(directory)
            except OSError:
                return None
            cached = (mtime, {n.lower(): n for n in names})
            if len(self.dir_cache) > 256:
                self.dir_cache.clear()
            self.dir_cache[directory] = cached
        return cached[1].get(name.lower())

    class Node:
        __slots__ = ("ns", "comps", "disk", "st", "is_dir", "lower")

        def __init__(self, ns, comps, disk, st, lower=None):
            self.ns, self.comps, self.disk, self.st = ns, comps, disk, st
            self.is_dir = stat.S_ISDIR(st.st_mode)
            self.lower = lower if lower is not None else "".join("/" + c for c in comps).lower()

    def locate(self, ns, comps):
        """Existing object at root-relative comps (any case) or None.

        An ancestor that is a file makes the object simply absent.
        """
        cur = self.ns_dir(ns)
        disp = []
        st = os.stat(cur)
        for c in comps:
            if not stat.S_ISDIR(st.st_mode):
                return None
            name = self._child_name(cur, c)
            if name is None:
                return None
            cur = os.path.join(cur, name)
            disp.append(name)
            try:
                st = os.stat(cur)
            except OSError:
                return None
            if not (stat.S_ISDIR(st.st_mode) or stat.S_ISREG(st.st_mode)):
                return None
        return Store.Node(ns, disp, cur, st)

    # -- metadata rows -------------------------------------------------------

    _COLS = "ns, path_lower, parent_lower, id, is_dir, rev, client_modified, server_modified, size, mtime_ns, content_hash"

    def _row(self, ns, lower):
        cur = self.db.execute("SELECT " + self._COLS + " FROM objects WHERE ns=? AND path_lower=?", (ns, lower))
        return cur.fetchone()

    def _put(self, ns, lower, oid, is_dir, rev=None, cm=None, sm=None, size=None, mtime=None, chash=None):
        parent = lower.rsplit("/", 1)[0]
        self.db.execute("INSERT OR REPLACE INTO objects VALUES (?,?,?,?,?,?,?,?,?,?,?)",
                        (ns, lower, parent, oid, 1 if is_dir else 0, rev, cm, sm, size, mtime, chash))

    def _drop_tree(self, ns, lower):
        self.db.execute("DELETE FROM objects WHERE ns=? AND (path_lower=? OR substr(path_lower,1,?)=?)",
                        (ns, lower, len(lower) + 1, lower + "/"))

    def meta(self, node, row=None, lookup=True, pending=None):
        """Metadata row for an existing node, made or refreshed as needed.
        With a pending list, new rows are appended to it instead of stored."""
        lower = node.lower
        if lookup:
            row = self._row(node.ns, lower)
        if row is not None and bool(row[4]) == node.is_dir:
            if node.is_dir or (row[8] == node.st.st_size and row[9] == node.st.st_mtime_ns):
                return row
        oid = row[3] if row is not None and bool(row[4]) == node.is_dir else new_id()
        if node.is_dir:
            values = (oid, True)
        else:
            st = node.st
            chash = EMPTY_HASH if st.st_size == 0 else hash_file(node.disk, size_hint=st.st_size)
            st2 = os.stat(node.disk)
            if (st2.st_size, st2.st_mtime_ns) != (st.st_size, st.st_mtime_ns):
                st = st2  # changed while hashing: take it as it is now
                chash = hash_file(node.disk)
            when = utc_text(st.st_mtime)
            if row is not None and not row[4] and row[10] == chash and row[8] == st.st_size:
                rev, cm, sm = row[5], row[6], row[7]
            else:
                rev, cm, sm = new_rev(), when, when
            values = (oid, False, rev, cm, sm, st.st_size, st.st_mtime_ns, chash)
        values = values + (None,) * (8 - len(values))
        row = (node.ns, lower, lower.rsplit("/", 1)[0], values[0], 1 if values[1] else 0) + values[2:]
        if pending is not None:
            pending.append(row)
        else:
            self.db.execute("INSERT OR REPLACE INTO objects VALUES (?,?,?,?,?,?,?,?,?,?,?)", row)
        return row

    @staticmethod
    def render(view, comps, row, tagged=True):
        """Metadata JSON object for root-relative comps as seen from view."""
        rel = view.to_view(comps)
        if rel is None:
            rel = comps
        display = "".join("/" + c for c in rel)
        out = {}
        if tagged:
            out[".tag"] = "folder" if row[4] else "file"
        out["name"] = comps[-1] if comps else ""
        out["path_lower"] = display.lower()
        out["path_display"] = display
        out["id"] = row[3]
        if not row[4]:
            out["client_modified"] = row[6]
            out["server_modified"] = row[7]
            out["rev"] = row[5]
            out["size"] = row[8]
            out["is_downloadable"] = True
            out["content_hash"] = row[10]
        return out

    # -- path arguments ------------------------------------------------------

    def parse_path(self, view, text, allow_root=False, field="path"):
        """Turn a path argument into (view, root-relative comps).

        Raises BadRequest for texts that no endpoint accepts, LookupFail for
        malformed or unknown ids.
        """
        with self.lock:
            return self._parse_path(view, text, allow_root, field)

    def _parse_path(self, view, text, allow_root, field):
        if not isinstance(text, str):
            raise BadRequest("%s: expected string" % field)
        if text == "/":
            raise BadRequest('%s: Specify the root folder as an empty string rather than as "/".' % field)
        if text == "":
            if not allow_root:
                raise BadRequest("%s: '' did not match pattern '(/(.|[\\r\\n])*)|(ns:[0-9]+(/.*)?)|(id:.*)'" % field)
            return view, list(view.prefix)
        rest = ""
        if text.startswith("id:"):
            ident, sep, rest = text.partition("/")
            row = self.db.execute("SELECT path_lower FROM objects WHERE ns=? AND id=?",
                                  (view.ns, ident)).fetchone()
            if row is None or len(ident) < 4:
                raise LookupFail("not_found")
            base = [c for c in row[0].split("/")[1:]]
            if view.to_view(base) is None:
                raise LookupFail("not_found")
            if not sep:
                return view, base
            rest = "/" + rest
        elif text.startswith("rev:"):
            row = self.db.execute("SELECT path_lower FROM objects WHERE ns=? AND rev=? AND is_dir=0",
                                  (view.ns, text[4:])).fetchone()
            if row is None:
                raise LookupFail("not_found")
            base = row[0].split("/")[1:]
            if view.to_view(base) is None:
                raise LookupFail("not_found")
            return view, base
        elif text.startswith("ns:"):
            nsid, sep, rest = text[3:].partition("/")
            acc = view.account
            if nsid == acc.root_ns:
                view = View(acc, home=False)
            elif nsid == acc.home_ns:
                view = View(acc, home=True)
            else:
                raise LookupFail("not_found")
            if not sep:
                return view, list(view.prefix)
            rest = "/" + rest
            base = list(view.prefix)
        elif text.startswith("/"):
            rest = text
            base = list(view.prefix)
        else:
            raise BadRequest("%s: '%s' did not match pattern '(/(.|[\\r\\n])*)|(ns:[0-9]+(/.*)?)|(id:.*)'"
                             % (field, text))
        if rest == "/" or rest.endswith("/"):
            raise LookupFail("malformed_path")
        comps = rest[1:].split("/")
        for c in comps:
            if c in ("", ".", "..") or "\0" in c or len(c.encode("utf-8")) > 255:
                raise LookupFail("malformed_path")
        return view, base + comps

    # -- operations (callers hold self.lock) -----------------------------------

    def check_writable_parent(self, view, comps):
        if (view.account.is_team and not view.account.team_root_writable
                and len(comps) == 1):
            raise WriteFail("no_write_permission")

    def make_parents(self, ns, comps):
        """Create the missing folders above comps; returns the parent's disk path
        and display comps."""
        cur = self.ns_dir(ns)
        disp = []
        for c in comps[:-1]:
            name = self._child_name(cur, c)
            if name is None:
                name = c
                os.mkdir(os.path.join(cur, name))
                disp.append(name)
                self._put(ns, "".join("/" + d for d in disp).lower(), new_id(), True)
                cur = os.path.join(cur, name)
                continue
            cur = os.path.join(cur, name)
            disp.append(name)
            if not os.path.isdir(cur):
                raise WriteFail("conflict", "file_ancestor")
        return cur, disp

    def free_name(self, ns, parent_disp, name, is_dir):
        """The service's autorename: "name (1).ext", "name (2).ext", ..."""
        stem, ext = (name, "")
        if not is_dir and "." in name[1:]:
            stem, ext = name.rsplit(".", 1)
            ext = "." + ext
        for i in range(1, 100000):
            cand = "%s (%d)%s" % (stem, i, ext)
            if self.locate(ns, parent_disp + [cand]) is None:
                return cand
        raise WriteFail("conflict", "file" if not is_dir else "folder")

    def list_entries(self, view, comps, recursive):
        """Sorted listing of a folder as JSON texts (tagged metadata)."""
        node = self.locate(view.ns, comps)
        if node is None:
            raise LookupFail("not_found")
        if not node.is_dir:
            raise LookupFail("not_folder")
        out = []
        self.db.execute("BEGIN")
        try:
            self._list_into(view, node, recursive, out)
            self.db.execute("COMMIT")
        except BaseException:
            self.db.execute("ROLLBACK")
            raise
        return out

    def _list_into(self, view, node, recursive, out):
        rows = {r[1]: r for r in self.db.execute(
            "SELECT " + self._COLS + " FROM objects WHERE ns=? AND parent_lower=?", (node.ns, node.lower))}
        children = []
        with os.scandir(node.disk) as it:
            for entry in it:
                try:
                    st = entry.stat()
                except OSError:
                    continue
                if stat.S_ISDIR(st.st_mode) or stat.S_ISREG(st.st_mode):
                    children.append((entry.name.lower(), entry.name, entry.path, st))
        children.sort()
        rel = view.to_view(node.comps)
        display_base = "".join("/" + c for c in (rel if rel is not None else node.comps))
        lower_base = node.lower
        seen = set()
        pending = []
        for name_lower, name, disk, st in children:
            lower = lower_base + "/" + name_lower
            seen.add(lower)
            child = Store.Node(node.ns, node.comps + [name], disk, st, lower)
            try:
                row = self.meta(child, rows.get(lower), lookup=False, pending=pending)
            except OSError:
                continue  # vanished while listing
            out.append(entry_json(display_base + "/" + name, name, row))
            if recursive and child.is_dir:
                self._list_into(view, child, True, out)
        if pending:
            self.db.executemany("INSERT OR REPLACE INTO objects VALUES (?,?,?,?,?,?,?,?,?,?,?)", pending)
        for lower in rows:
            if lower not in seen:
                self._drop_tree(node.ns, lower)

    def create_folder(self, view, comps, autorename):
        self.check_writable_parent(view, comps)
        parent_disk, parent_disp = self.make_parents(view.ns, comps)
        name = comps[-1]
        existing = self.locate(view.ns, parent_disp + [name])
        if existing is not None:
            if not autorename:
                raise WriteFail("conflict", "folder" if existing.is_dir else "file")
            name = self.free_name(view.ns, parent_disp, name, True)
        os.mkdir(os.path.join(parent_disk, name))
        node = self.locate(view.ns, parent_disp + [name])
        self._drop_tree(view.ns, node.lower)
        self._put(view.ns, node.lower, new_id(), True)
        return self.render(view, node.comps, self.meta(node), tagged=False)

    def delete(self, view, comps):
        node = self.locate(view.ns, comps)
        if node is None or view.to_view(node.comps) is None:
            raise LookupFail("not_found")
        if not view.to_view(node.comps) or (view.account.is_team and len(node.comps) <= 1
                                            and node.comps[0].lower() == view.account.home_folder.lower()):
            raise WriteFail("no_write_permission")
        md = self.render(view, node.comps, self.meta(node))
        if node.is_dir:
            shutil.rmtree(node.disk)
        else:
            os.unlink(node.disk)
        self._drop_tree(view.ns, node.lower)
        return md

    def relocation(self, view, src_comps, dst_comps, autorename, case_rename):
        """The source node and the destination (parent disk path, parent display
        comps, name) of a move or copy. With case_rename, the source itself
        under another spelling is no conflict."""
        src = self.locate(view.ns, src_comps)
        if src is None or not view.to_view(src.comps):
            raise ApiError({".tag": "from_lookup", "from_lookup": {".tag": "not_found"}})
        dst_lower = "".join("/" + c for c in dst_comps).lower()
        if dst_lower.startswith(src.lower + "/"):
            raise ApiError({".tag": "cant_move_folder_into_itself"})
        try:
            self.check_writable_parent(view, dst_comps)
            parent_disk, parent_disp = self.make_parents(view.ns, dst_comps)
        except WriteFail as exc:
            raise ApiError({".tag": "to", "to": exc.value()}) from None
        name = dst_comps[-1]
        existing = self.locate(view.ns, parent_disp + [name])
        if existing is not None and not (case_rename and existing.lower == src.lower
                                         and existing.comps[-1] != name):
            if not autorename:
                raise ApiError({".tag": "to", "to": {".tag": "conflict", "conflict": {
                    ".tag": "folder" if existing.is_dir else "file"}}})
            name = self.free_name(view.ns, parent_disp, name, src.is_dir)
        return src, parent_disk, parent_disp, name

    def move(self, view, src_comps, dst_comps, autorename):
        src, parent_disk, parent_disp, name = self.relocation(view, src_comps, dst_comps, autorename, True)
        row = self.meta(src)
        dst_disk = os.path.join(parent_disk, name)
        os.rename(src.disk, dst_disk)
        new_comps = parent_disp + [name]
        new_lower = "".join("/" + c for c in new_comps).lower()
        old_lower = src.lower
        if new_lower != old_lower:
            self._drop_tree(view.ns, new_lower)
        n = len(old_lower)
        self.db.execute(
            "UPDATE objects SET path_lower=?||substr(path_lower,?), parent_lower=?||substr(parent_lower,?) "
            "WHERE ns=? AND substr(path_lower,1,?)=?",
            (new_lower, n + 1, new_lower, n + 1, view.ns, n + 1, old_lower + "/"))
        self.db.execute("DELETE FROM objects WHERE ns=? AND path_lower=?", (view.ns, old_lower))
        node = self.locate(view.ns, new_comps)
        self._put(view.ns, new_lower, row[3], row[4], row[5], row[6], row[7], row[8],
                  node.st.st_mtime_ns if not node.is_dir else None, row[10])
        return self.render(view, node.comps, self.meta(node))

    def copy(self, view, src_comps, dst_comps, autorename):
        """Copy a file or a folder with its content: every copied object gets a
        new id (files also a new rev) and keeps its content hash and
        client_modified time."""
        src, parent_disk, parent_disp, name = self.relocation(view, src_comps, dst_comps, autorename, False)
        self.meta(src)
        dst_disk = os.path.join(parent_disk, name)
        new_comps = parent_disp + [name]
        new_lower = "".join("/" + c for c in new_comps).lower()
        if src.is_dir:
            shutil.copytree(src.disk, dst_disk)  # copy2 keeps each file's mtime
        else:
            shutil.copy2(src.disk, dst_disk)
        self._drop_tree(view.ns, new_lower)
        now = utc_text(time.time())
        n = len(src.lower)
        rows = self.db.execute("SELECT " + self._COLS + " FROM objects WHERE ns=? AND "
                               "(path_lower=? OR substr(path_lower,1,?)=?)",
                               (view.ns, src.lower, n + 1, src.lower + "/")).fetchall()
        for row in rows:
            lower = new_lower + row[1][n:]
            if row[4]:
                self._put(view.ns, lower, new_id(), True)
            else:
                # A row that no longer matches its file is made afresh on first sight.
                self._put(view.ns, lower, new_id(), False, new_rev(), row[6], now, row[8], row[9], row[10])
        node = self.locate(view.ns, new_comps)
        return self.render(view, node.comps, self.meta(node))

    def space_used(self, ns):
        total = 0
        for top, _, files in os.walk(self.ns_dir(ns)):
            for f in files:
                try:
                    total += os.lstat(os.path.join(top, f)).st_size
                except OSError:
                    pass
        return total

    def commit_file(self, view, comps, src_path, size, chash, mode, autorename, client_modified,
                    keep_source=False):
        """Put the finished file src_path at comps; returns metadata (untagged).
        On success src_path is moved into place (or removed when the content was
        already there); on failure it is removed unless keep_source is set."""
        keep = False
        try:
            try:
                self.check_writable_parent(view, comps)
                parent_disk, parent_disp = self.make_parents(view.ns, comps)
            except FileNotFoundError:
                raise WriteFail("conflict", "file_ancestor") from None
            name = comps[-1]
            mode_tag, want_rev = mode
            existing = self.locate(view.ns, parent_disp + [name])
            replace = None
            if existing is not None:
                if existing.is_dir:
                    if not autorename:
                        raise WriteFail("conflict", "folder")
                    name = self.free_name(view.ns, parent_disp, name, False)
                else:
                    row = self.meta(existing)
                    if row[10] == chash and (mode_tag != "update" or row[5] == want_rev):
                        return self.render(view, existing.comps, row, tagged=False)
                    if mode_tag == "overwrite" or (mode_tag == "update" and row[5] == want_rev):
                        replace = (existing, row)
                    elif autorename:
                        name = self.free_name(view.ns, parent_disp, name, False)
                    else:
                        raise WriteFail("conflict", "file")
            if replace is not None:
                target = replace[0].disk
                new_comps = replace[0].comps
                oid = replace[1][3]
                self.keep_revision(view.ns, replace[0], replace[1])
            else:
                target = os.path.join(parent_disk, name)
                new_comps = parent_disp + [name]
                oid = new_id()
            os.replace(src_path, target)
            src_path = None
            st = os.stat(target)
            now = utc_text(time.time())
            lower = "".join("/" + c for c in new_comps).lower()
            if replace is None:
                self._drop_tree(view.ns, lower)
            self._put(view.ns, lower, oid, False, new_rev(), client_modified or now, now,
                      st.st_size, st.st_mtime_ns, chash)
            return self.render(view, new_comps, self._row(view.ns, lower), tagged=False)
        except BaseException:
            keep = keep_source
            raise
        finally:
            if src_path is not None and not keep:
                try:
                    os.unlink(src_path)
                except OSError:
                    pass

    def open_file(self, view, comps):
        """Open an existing file for reading; returns (file, metadata row, comps)."""
        node = self.locate(view.ns, comps)
        if node is None or view.to_view(node.comps) is None:
            raise LookupFail("not_found")
        if node.is_dir:
            raise LookupFail("not_file")
        f = open(node.disk, "rb")
        try:
            st = os.fstat(f.fileno())
            node.st = st
            row = self.meta(node)
            if row[8] != st.st_size:
                raise LookupFail("not_found")
        except BaseException:
            f.close()
            raise
        return f, row, node.comps

    def get_metadata(self, view, comps):
        node = self.locate(view.ns, comps)
        if node is None or view.to_view(node.comps) is None:
            raise LookupFail("not_found")
        return self.render(view, node.comps, self.meta(node))

    # -- earlier revisions (callers hold self.lock) ---------------------------

    KEEP_REVISIONS = 10  # earlier revisions kept per file id; older ones are dropped

    def keep_revision(self, ns, node, row):
        """Keeps the data and metadata of a file's current revision before it is replaced."""
        try:
            os.link(node.disk, os.path.join(self.revs_dir, row[5]))
        except FileExistsError:
            pass
        self.db.execute("INSERT OR REPLACE INTO revisions (ns, rev, id, path_lower, path_display, "
                        "client_modified, server_modified, size, content_hash) VALUES (?,?,?,?,?,?,?,?,?)",
                        (ns, row[5], row[3], node.lower, "".join("/" + c for c in node.comps),
                         row[6], row[7], row[8], row[10]))
        dropped = self.db.execute("SELECT rev FROM revisions WHERE ns=? AND id=? ORDER BY seq DESC "
                                  "LIMIT -1 OFFSET ?", (ns, row[3], self.KEEP_REVISIONS)).fetchall()
        for (rev,) in dropped:
            self.db.execute("DELETE FROM revisions WHERE rev=?", (rev,))
            try:
                os.unlink(os.path.join(self.revs_dir, rev))
            except OSError:
                pass

    _REV_COLS = "ns, path_lower, id, rev, client_modified, server_modified, size, content_hash, path_display"

    @staticmethod
    def _history(r):
        """A revisions row as (metadata row in the objects layout, root-relative comps)."""
        row = (r[0], r[1], r[1].rsplit("/", 1)[0], r[2], 0, r[3], r[4], r[5], r[6], None, r[7])
        return row, r[8].split("/")[1:]

    def open_revision(self, view, rev):
        """Opens an earlier revision of a file; returns (file, metadata row, comps) as open_file does."""
        r = self.db.execute("SELECT " + self._REV_COLS + " FROM revisions WHERE ns=? AND rev=?",
                            (view.ns, rev)).fetchone()
        if r is None:
            raise LookupFail("not_found")
        row, comps = self._history(r)
        if view.to_view(comps) is None:
            raise LookupFail("not_found")
        return open(os.path.join(self.revs_dir, rev), "rb"), row, comps

    def list_revisions(self, view, comps, by_id, limit):
        """(is_deleted, [(row, comps)] newest first): the file at comps and its
        earlier revisions at the same path (by_id: with the same id)."""
        node = self.locate(view.ns, comps)
        if node is not None and view.to_view(node.comps) is None:
            node = None
        if node is not None and node.is_dir:
            raise LookupFail("not_file")
        out = []
        if node is not None:
            row = self.meta(node)
            out.append((row, node.comps))
            column, key = ("id", row[3]) if by_id else ("path_lower", node.lower)
        else:
            column, key = "path_lower", "".join("/" + c for c in comps).lower()
        for r in self.db.execute("SELECT " + self._REV_COLS + " FROM revisions WHERE ns=? AND " + column
                                 + "=? ORDER BY seq DESC", (view.ns, key)):
            row, rcomps = self._history(r)
            if view.to_view(rcomps) is not None:
                out.append((row, rcomps))
        if not out:
            raise LookupFail("not_found")
        return node is None, out[:limit]

    def restore(self, view, comps, rev):
        """Writes revision rev (current or earlier) of a file at comps as a new
        revision; returns its metadata (untagged). None when rev is unknown."""
        r = self.db.execute("SELECT path_lower FROM objects WHERE ns=? AND rev=? AND is_dir=0",
                            (view.ns, rev)).fetchone()
        if r is not None:
            node = self.locate(view.ns, r[0].split("/")[1:])
            if node is None:
                return None
            row, source = self.meta(node), node.disk
        else:
            h = self.db.execute("SELECT " + self._REV_COLS + " FROM revisions WHERE ns=? AND rev=?",
                                (view.ns, rev)).fetchone()
            if h is None:
                return None
            row, source = self._history(h)[0], os.path.join(self.revs_dir, rev)
        tmp = os.path.join(self.tmp_dir, secrets.token_hex(12))
        shutil.copyfile(source, tmp)
        return self.commit_file(view, comps, tmp, row[8], row[10], ("overwrite", None), False, row[6])


# --------------------------------------------------------------------------
# upload sessions

class UploadSession:
    def __init__(self, sid, account_id, concurrent, path):
        self.sid = sid
        self.account_id = account_id
        self.concurrent = concurrent
        self.path = path
        self.lock = threading.Lock()
        self.received = 0          # sequential: bytes so far
        self.ranges = []           # concurrent: (offset, length) received
        self.closed = False
        self.total = None          # concurrent: length fixed by the closing append
        self.busy = False          # sequential: an append is in progress
        self.hasher = ContentHasher()  # hash of the contiguous prefix [0, hash_pos)
        self.hash_pos = 0
        self.hash_busy = False

    def covered(self, total):
        pos = 0
        for off, length in sorted(self.ranges):
            if off > pos:
                return False
            pos = max(pos, off + length)
            if pos >= total:
                return True
        return pos >= total


# --------------------------------------------------------------------------
# faults, log, rate limit

FAULT_ACTIONS = ("status", "stall", "cut", "malformed_json", "delay_start", "ignore_range", "replace", "corrupt")


class FaultRule:
    def __init__(self, raw):
        if not isinstance(raw, dict):
            raise ValueError("a fault rule must be an object")
        known = {"path", "method", "nth", "count", "action", "status", "headers", "body",
                 "stall_ms", "after_bytes", "delay_ms", "side", "file", "content_length"}
        unknown = set(raw) - known
        if unknown:
            raise ValueError("unknown fault rule keys: %s" % ", ".join(sorted(unknown)))
        self.raw = raw
        self.path = raw.get("path")
        self.method = raw.get("method")
        self.nth = int(raw.get("nth", 1))
        self.count = int(raw.get("count", 1))
        self.action = raw.get("action", "status")
        if self.action not in FAULT_ACTIONS:
            raise ValueError("unknown fault action %r" % self.action)
        if self.nth < 1 or self.count < 1:
            raise ValueError("nth and count must be at least 1")
        self.status = int(raw.get("status", 500 if self.action == "status" else 200))
        headers = raw.get("headers") or {}
        if not isinstance(headers, dict):
            raise ValueError("headers must be an object")
        self.headers = [(str(k), str(v)) for k, v in headers.items()]
        self.body = raw.get("body")
        self.stall_ms = int(raw.get("stall_ms", 1000))
        self.after_bytes = int(raw.get("after_bytes", 0))
        self.delay_ms = int(raw.get("delay_ms", 0))
        self.side = raw.get("side")
        if self.side not in (None, "request", "response"):
            raise ValueError("side must be request or response")
        self.file = raw.get("file")
        if self.action == "replace" and not (isinstance(self.file, str) and self.file.startswith("/")):
            raise ValueError("replace needs the file's path (\"file\": \"/...\")")
        self.content_length = raw.get("content_length", True)
        if not isinstance(self.content_length, bool):
            raise ValueError("content_length must be true or false")
        self.seen = 0

    def describe(self):
        d = dict(self.raw)
        d["seen"] = self.seen
        return d


class Faults:
    def __init__(self):
        self.lock = threading.Lock()
        self.rules = []

    def add(self, rules):
        with self.lock:
            self.rules.extend(rules)

    def clear(self):
        with self.lock:
            self.rules = []

    def match(self, path, method):
        """Count this request against every matching rule; the first rule whose
        window [nth, nth+count) holds it fires.  Spent rules are dropped."""
        fired = None
        with self.lock:
            keep = []
            for rule in self.rules:
                if ((rule.path is None or rule.path == path)
                        and (rule.method is None or rule.method.upper() == method)):
                    rule.seen += 1
                    if fired is None and rule.nth <= rule.seen < rule.nth + rule.count:
                        fired = rule
                if rule.seen < rule.nth + rule.count - 1:
                    keep.append(rule)
            self.rules = keep
        return fired

    def describe(self):
        with self.lock:
            return [r.describe() for r in self.rules]


class RequestLog:
    def __init__(self):
        self.lock = threading.Lock()
        self.entries = []
        self.seq = 0

    def start(self, entry):
        with self.lock:
            self.seq += 1
            entry["seq"] = self.seq
            self.entries.append(entry)

    def dump(self):
        with self.lock:
            return json.dumps(self.entries).encode("utf-8")

    def clear(self):
        with self.lock:
            self.entries = []


class RateLimiter:
    def __init__(self, per_second):
        self.lock = threading.Lock()
        self.per_second = per_second
        self.hits = collections.defaultdict(collections.deque)

    def set(self, per_second):
        with self.lock:
            self.per_second = per_second
            self.hits.clear()

    def allow(self, key):
        with self.lock:
            if not self.per_second:
                return True
            now = time.monotonic()
            q = self.hits[key]
            while q and q[0] <= now - 1.0:
                q.popleft()
            q.append(now)  # refused requests count against the limit too
            return len(q) <= self.per_second


class Link:
    """The network between clients and the emulator, for reproducing a far-away
    service on loopback: a one-way delay and a per-connection byte rate in each
    direction (0 = off for both)."""

    def __init__(self, latency_ms=0, bytes_per_second=0):
        self.lock = threading.Lock()
        self.latency_ms = latency_ms
        self.bytes_per_second = bytes_per_second

    def set(self, latency_ms, bytes_per_second):
        with self.lock:
            self.latency_ms = latency_ms
            self.bytes_per_second = bytes_per_second

    def get(self):
        with self.lock:
            return self.latency_ms, self.bytes_per_second

    def wait_round_trips(self, n):
        latency_ms, _ = self.get()
        if latency_ms:
            time.sleep(2 * n * latency_ms / 1000.0)


class Throttle:
    """Holds the bytes of one request or reply body to the link's rate."""

    def __init__(self, bytes_per_second):
        self.rate = bytes_per_second
        self.start = None  # the clock starts with the first byte
        self.passed = 0

    def passing(self, n):
        if not self.rate:
            return
        if self.start is None:
            self.start = time.monotonic()
        self.passed += n
        wait = self.start + self.passed / self.rate - time.monotonic()
        if wait > 0:
            time.sleep(wait)


class WriteContention:
    """Commits into one namespace that come within hold_ms of each other get
    429 too_many_write_operations, as the service answers when writes contend
    for a namespace's lock (0 = off)."""

    def __init__(self):
        self.lock = threading.Lock()
        self.hold_ms = 0
        self.retry_after = 1
        self.busy_until = {}

    def set(self, hold_ms, retry_after):
        with self.lock:
            self.hold_ms = hold_ms
            self.retry_after = retry_after
            self.busy_until.clear()

    def enter(self, ns):
        with self.lock:
            if not self.hold_ms:
                return
            now = time.monotonic()
            if now < self.busy_until.get(ns, 0):
                raise ApiError({"reason": {".tag": "too_many_write_operations"},
                                "retry_after": self.retry_after}, status=429,
                               headers=[("Retry-After", str(self.retry_after))],
                               summary="too_many_write_operations/..")
            self.busy_until[ns] = now + self.hold_ms / 1000.0


# --------------------------------------------------------------------------
# request bodies

class BodyReader:
    """Request body with Content-Length or chunked transfer coding, streamed."""

    def __init__(self, rfile, headers, throttle=None):
        self.rfile = rfile
        self.throttle = throttle
        self.consumed = 0
        self.done = False
        self.chunk_left = 0
        te = (headers.get("Transfer-Encoding") or "").strip().lower()
        cl = headers.get("Content-Length")
        if te:
            if te != "chunked":
                raise BadRequest("unsupported Transfer-Encoding %r" % te)
            self.length = None
        elif cl is not None:
            try:
                self.length = int(cl.strip())
                if self.length < 0:
                    raise ValueError
            except ValueError:
                raise BadRequest("bad Content-Length header") from None
            self.done = self.length == 0
        else:
            self.length = 0
            self.done = True

    def _fill_exact(self, n):
        data = self.rfile.read(n)
        if data is None or len(data) < n:
            raise Abort("client closed the connection inside the request body")
        return data

    def read(self, n=IO_CHUNK):
        """Up to n bytes; b"" at the end of the body."""
        data = self._read(n)
        if self.throttle is not None:
            self.throttle.passing(len(data))
        return data

    def _read(self, n):
        if self.done:
            return b""
        if self.length is not None:
            want = min(n, self.length - self.consumed)
            data = self.rfile.read1(want) if want > 0 else b""
            if not data:
                raise Abort("client closed the connection inside the request body")
            self.consumed += len(data)
            if self.consumed >= self.length:
                self.done = True
            return data
        if self.chunk_left == 0:
            line = self.rfile.readline(1024)
            if not line.endswith(b"\n"):
                raise Abort("bad chunk header")
            try:
                size = int(line.split(b";", 1)[0].strip(), 16)
            except ValueError:
                raise Abort("bad chunk header") from None
            if size == 0:
                while True:  # trailers up to the empty line
                    t = self.rfile.readline(65536)
                    if not t or t in (b"\r\n", b"\n"):
                        break
                self.done = True
                return b""
            self.chunk_left = size
        data = self.rfile.read1(min(n, self.chunk_left))
        if not data:
            raise Abort("client closed the connection inside the request body")
        self.chunk_left -= len(data)
        self.consumed += len(data)
        if self.chunk_left == 0:
            if self._fill_exact(2) not in (b"\r\n",):
                raise Abort("bad chunk trailer")
        return data

    def read_all(self, limit):
        parts = []
        size = 0
        while True:
            data = self.read()
            if not data:
                return b"".join(parts)
            size += len(data)
            if size > limit:
                raise BadRequest("request body too large")
            parts.append(data)

    def drain(self, limit):
        """Discard the rest of the body; False when more than limit remains."""
        if self.length is not None and self.length - self.consumed > limit:
            return False
        start = self.consumed
        while not self.done:
            if self.consumed - start > limit:
                return False
            self.read()
        return True


# --------------------------------------------------------------------------
# argument checking

def _void_union(value, choices, field):
    if isinstance(value, str):
        tag = value
    elif isinstance(value, dict) and isinstance(value.get(".tag"), str):
        tag = value[".tag"]
    else:
        raise BadRequest("%s: expected a union tag" % field)
    if tag not in choices:
        raise BadRequest("%s: unknown tag '%s'" % (field, tag))
    return tag


def check_args(obj, schema, where="request body"):
    if not isinstance(obj, dict):
        raise BadRequest("%s: expected object, got %s" % (where, type(obj).__name__))
    for key in obj:
        if key not in schema:
            raise BadRequest('%s: unknown field "%s"' % (where, key))
    for key, (kind, required) in schema.items():
        if key not in obj:
            if required:
                raise BadRequest('%s: missing required field "%s"' % (where, key))
            continue
        v = obj[key]
        field = "%s: %s" % (where, key)
        if kind == "str":
            if not isinstance(v, str):
                raise BadRequest("%s: expected string" % field)
        elif kind == "bool":
            if not isinstance(v, bool):
                raise BadRequest("%s: expected boolean" % field)
        elif kind == "uint":
            if not isinstance(v, int) or isinstance(v, bool) or v < 0:
                raise BadRequest("%s: expected unsigned integer" % field)
        elif kind == "limit":
            if not isinstance(v, int) or isinstance(v, bool) or not 1 <= v <= 2000:
                raise BadRequest("%s: %r is not in range 1..2000" % (field, v))
        elif kind == "time":
            if not isinstance(v, str) or not TIME_RE.match(v):
                raise BadRequest("%s: time data %r does not match format '%s'" % (field, v, TIME_FORMAT))
            try:
                time.strptime(v, TIME_FORMAT)
            except ValueError:
                raise BadRequest("%s: invalid time %r" % (field, v)) from None
        elif kind == "hash":
            if not isinstance(v, str) or not re.match(r"^[0-9a-f]{64}$", v):
                raise BadRequest("%s: expected 64 lowercase hex digits" % field)
        elif kind == "mode":
            if isinstance(v, dict) and v.get(".tag") == "update":
                if not isinstance(v.get("update"), str) or set(v) - {".tag", "update"}:
                    raise BadRequest("%s: update needs a rev" % field)
                obj[key] = ("update", v["update"])
            else:
                obj[key] = (_void_union(v, ("add", "overwrite"), field), None)
        elif kind == "list":
            if not isinstance(v, list):
                raise BadRequest("%s: expected list" % field)
        elif kind == "session_type":
            obj[key] = _void_union(v, ("sequential", "concurrent"), field)
        elif kind == "revisions_mode":
            obj[key] = _void_union(v, ("path", "id"), field)
        elif kind == "revisions_limit":
            if not isinstance(v, int) or isinstance(v, bool) or not 1 <= v <= 100:
                raise BadRequest("%s: %r is not in range 1..100" % (field, v))
        elif kind == "rev":
            if not isinstance(v, str) or not re.match(r"^[0-9a-f]{9,}$", v):
                raise BadRequest("%s: %r is not a revision (9 or more lowercase hex digits)" % (field, v))
        elif isinstance(kind, dict):
            check_args(v, kind, field)
        # "any": accepted as is
    return obj


CURSOR = {"session_id": ("str", True), "offset": ("uint", True)}
COMMIT = {"path": ("str", True), "mode": ("mode", False), "autorename": ("bool", False),
          "client_modified": ("time", False), "mute": ("bool", False),
          "property_groups": ("any", False), "strict_conflict": ("bool", False)}
UPLOAD = dict(COMMIT, content_hash=("hash", False))
FINISH = {"cursor": (CURSOR, True), "commit": (COMMIT, True), "content_hash": ("hash", False)}
SCHEMAS = {
    "files/list_folder": {"path": ("str", True), "recursive": ("bool", False),
                          "include_media_info": ("bool", False), "include_deleted": ("bool", False),
                          "include_has_explicit_shared_members": ("bool", False),
                          "include_mounted_folders": ("bool", False), "limit": ("limit", False),
                          "shared_link": ("any", False), "include_property_groups": ("any", False),
                          "include_non_downloadable_files": ("bool", False)},
    "files/list_folder/continue": {"cursor": ("str", True)},
    "files/list_folder/get_latest_cursor": None,  # filled below: the arguments of list_folder
    "files/create_folder_v2": {"path": ("str", True), "autorename": ("bool", False)},
    "files/move_v2": {"from_path": ("str", True), "to_path": ("str", True),
                      "allow_shared_folder": ("bool", False), "autorename": ("bool", False),
                      "allow_ownership_transfer": ("bool", False)},
    "files/delete_v2": {"path": ("str", True), "parent_rev": ("str", False)},
    "files/get_metadata": {"path": ("str", True), "include_media_info": ("bool", False),
                           "include_deleted": ("bool", False),
                           "include_has_explicit_shared_members": ("bool", False),
                           "include_property_groups": ("any", False)},
    "files/copy_v2": {"from_path": ("str", True), "to_path": ("str", True),
                      "allow_shared_folder": ("bool", False), "autorename": ("bool", False),
                      "allow_ownership_transfer": ("bool", False)},
    "users/get_space_usage": None,
    "files/download": {"path": ("str", True), "rev": ("str", False)},
    "files/list_revisions": {"path": ("str", True), "mode": ("revisions_mode", False),
                             "limit": ("revisions_limit", False)},
    "files/restore": {"path": ("str", True), "rev": ("rev", True)},
    "files/upload": UPLOAD,
    "files/upload_session/start": {"close": ("bool", False), "session_type": ("session_type", False),
                                   "content_hash": ("hash", False)},
    "files/upload_session/append_v2": {"cursor": (CURSOR, True), "close": ("bool", False),
                                       "content_hash": ("hash", False)},
    "files/upload_session/finish": FINISH,
    "files/upload_session/finish_batch_v2": {"entries": ("list", True)},
}

SCHEMAS["files/list_folder/get_latest_cursor"] = SCHEMAS["files/list_folder"]

RPC, DOWNLOAD, UPLOAD_STYLE = "rpc", "download", "upload"
ROUTES = {
    "/2/files/list_folder": RPC,
    "/2/files/list_folder/continue": RPC,
    "/2/files/create_folder_v2": RPC,
    "/2/files/move_v2": RPC,
    "/2/files/delete_v2": RPC,
    "/2/files/copy_v2": RPC,
    "/2/files/list_folder/get_latest_cursor": RPC,
    "/2/users/get_space_usage": RPC,
    "/2/files/get_metadata": RPC,
    "/2/files/list_revisions": RPC,
    "/2/files/restore": RPC,
    "/2/files/download": DOWNLOAD,
    "/2/files/upload": UPLOAD_STYLE,
    "/2/files/upload_session/start": UPLOAD_STYLE,
    "/2/files/upload_session/append_v2": UPLOAD_STYLE,
    "/2/files/upload_session/finish": UPLOAD_STYLE,
    "/2/files/upload_session/finish_batch_v2": RPC,
}


# --------------------------------------------------------------------------
# the service

class Service:
    """Everything the handlers share: store, accounts, sessions, cursors, control state."""

    def __init__(self, root, accounts, rate_limit=0, link=None):
        self.accounts = {a.token: a for a in accounts}
        self.store = Store(root, accounts)
        self.sessions = {}
        self.sessions_lock = threading.Lock()
        self.snapshots = collections.OrderedDict()
        self.snap_lock = threading.Lock()
        self.faults = Faults()
        self.log = RequestLog()
        self.rate = RateLimiter(rate_limit)
        self.link = link or Link()
        self.contention = WriteContention()

    # -- listing snapshots ---------------------------------------------------

    def save_snapshot(self, account_id, entries):
        sid = secrets.token_hex(8)
        with self.snap_lock:
            self.snapshots[sid] = (account_id, entries)
            total = sum(len(v[1]) for v in self.snapshots.values())
            while len(self.snapshots) > 1 and (len(self.snapshots) > 64 or total > 1000000):
                _, old = self.snapshots.popitem(last=False)
                total -= len(old[1])
        return sid

    @staticmethod
    def make_cursor(sid, offset, limit, end):
        raw = json.dumps({"s": sid, "o": offset, "l": limit, "e": end}, separators=(",", ":"))
        return "AAE" + base64.urlsafe_b64encode(raw.encode()).decode().rstrip("=")

    def page(self, account_id, sid, entries, offset, limit):
        chunk = entries[offset:offset + limit]
        end = offset + len(chunk)
        more = end < len(entries)
        cursor = self.make_cursor(sid, end, limit, not more)
        return ('{"entries": [' + ", ".join(chunk) + '], "cursor": ' + json.dumps(cursor)
                + ', "has_more": ' + ("true" if more else "false") + "}").encode("utf-8")

    def continue_page(self, account, cursor):
        reset = ApiError({".tag": "reset"})
        if not cursor.startswith("AAE"):
            raise reset
        try:
            pad = "=" * (-len(cursor[3:]) % 4)
            info = json.loads(base64.urlsafe_b64decode(cursor[3:] + pad))
            sid, offset, limit, end = info["s"], int(info["o"]), int(info["l"]), bool(info["e"])
        except (ValueError, KeyError, TypeError):
            raise reset from None
        if end:
            return ('{"entries": [], "cursor": ' + json.dumps(cursor) + ', "has_more": false}').encode()
        with self.snap_lock:
            snap = self.snapshots.get(sid)
            if snap is not None:
                self.snapshots.move_to_end(sid)
        if snap is None or snap[0] != account.account_id or offset > len(snap[1]):
            raise reset
        return self.page(account.account_id, sid, snap[1], offset, limit)


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "dropbox-emulator"
    sys_version = ""
    rbufsize = 256 * 1024
    timeout = 300

    # -- plumbing --------------------------------------------------------------

    def setup(self):
        super().setup()
        try:
            self.connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        except OSError:
            pass

    def log_message(self, fmt, *args):
        if self.server.verbose:
            sys.stderr.write("dropbox-emulator: %s - %s\n" % (self.address_string(), fmt % args))

    def handle_one_request(self):
        try:
            super().handle_one_request()
        except (ConnectionError, ssl.SSLError, socket.timeout, Abort):
            self.close_connection = True

    def do_GET(self):
        self.dispatch()

    do_POST = do_PUT = do_DELETE = do_HEAD = do_PATCH = do_OPTIONS = do_GET

    # -- replies ----------------------------------------------------------------

    def begin_reply(self, status, headers, length):
        """Send the status line and headers; the body follows through write_body."""
        self.status = status
        reason = self.responses.get(status, ("Unknown",))[0]
        lines = ["HTTP/1.1 %d %s" % (status, reason),
                 "Date: " + email.utils.formatdate(usegmt=True),
                 "Server: dropbox-emulator",
                 "X-Dropbox-Request-Id: " + self.request_id]
        names = set()
        for k, v in headers:
            lines.append("%s: %s" % (k, v))
            names.add(k.lower())
        if self.out_fault is not None and not self.out_fault.content_length:
            # The close ends the body: a short body looks complete to HTTP.
            length = None
            self.close_connection = True
        if length is not None and "content-length" not in names:
            lines.append("Content-Length: %d" % length)
        if self.close_connection:
            lines.append("Connection: close")
        self.sent_body = 0
        self.connection.sendall(("\r\n".join(lines) + "\r\n\r\n").encode("latin-1", "replace"))

    def write_body(self, data):
        if self.throttle is not None and len(data) > THROTTLE_SLICE:
            view = memoryview(data)
            for i in range(0, len(view), THROTTLE_SLICE):
                self.write_body(view[i:i + THROTTLE_SLICE])
            return
        if self.throttle is not None:
            self.throttle.passing(len(data))
        fault = self.out_fault
        if fault is not None:
            limit = fault.after_bytes
            room = limit - self.sent_body
            if len(data) >= room:
                if room > 0:
                    self.connection.sendall(data[:room])
                    self.sent_body += room
                self.fault_close(fault)
        self.connection.sendall(data)
        self.sent_body += len(data)

    def fault_close(self, fault):
        if fault.action == "stall":
            time.sleep(fault.stall_ms / 1000.0)
        self.close_connection = True
        try:
            self.connection.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        raise Abort("fault: %s" % fault.action)

    def finish_body(self):
        if self.out_fault is not None:
            self.fault_close(self.out_fault)

    def settle_request_body(self):
        """Read what the client still sends before a reply (keep-alive)."""
        if self.no_drain:
            return
        if self.body is not None and not self.body.drain(MAX_REQUEST_DATA + IO_CHUNK):
            self.close_connection = True

    def reply(self, status, body=b"", ctype=None, headers=()):
        self.settle_request_body()
        hdrs = list(headers)
        if ctype:
            hdrs.insert(0, ("Content-Type", ctype))
        if self.malformed and ctype == "application/json" and status < 300:
            body = body[:max(1, len(body) // 2)]
        self.begin_reply(status, hdrs, len(body))
        if body and self.command != "HEAD":
            self.write_body(body)
        self.finish_body()

    def reply_json(self, value, status=200, headers=()):
        self.reply(status, body_json(value) if not isinstance(value, bytes) else value,
                   "application/json", headers)

    def reply_error(self, exc):
        err = exc.error
        body = {"error_summary": exc.summary, "error": err}
        self.reply(exc.status, body_json(body), "application/json", exc.headers)

    def reply_text(self, status, text):
        self.reply(status, text.encode("utf-8"), "text/plain; charset=utf-8")

    # -- dispatch ---------------------------------------------------------------

    def dispatch(self):
        svc = self.server.service
        self.request_id = secrets.token_hex(16)
        self.status = None
        self.body = None
        self.no_drain = False
        self.out_fault = None
        self.malformed = False
        self.throttle = None
        self.ignore_range = False
        self.corrupt = False
        url = urllib.parse.urlsplit(self.path)
        path = url.path
        self.query = urllib.parse.parse_qs(url.query)
        if path.startswith("/__emulator/"):
            return self.control(path)
        headers = {}
        for k, v in self.headers.items():
            headers[k] = "Bearer <redacted>" if k.lower() == "authorization" else v
        entry = {"seq": 0, "method": self.command, "path": path, "host": self.headers.get("Host"),
                 "headers": headers, "arg": None, "body_size": 0, "status": None,
                 "start": time.time(), "end": None}
        svc.log.start(entry)
        self.log_entry = entry
        try:
            try:
                _, rate = svc.link.get()
                self.throttle = Throttle(rate) if rate else None
                self.body = BodyReader(self.rfile, self.headers,
                                       Throttle(rate) if rate else None)
                svc.link.wait_round_trips(1)
                fault = svc.faults.match(path, self.command)
                if fault is not None and self.apply_fault(fault, path):
                    return
                self.route(path)
            except BadRequest as exc:
                self.reply_text(400, 'Error in call to API function "%s": %s' % (path[3:], exc))
            except ApiError as exc:
                self.reply_error(exc)
        except Abort:
            self.close_connection = True
            try:
                self.connection.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        except (ConnectionError, ssl.SSLError, socket.timeout):
            self.close_connection = True
        except Exception:
            traceback.print_exc()
            self.close_connection = True
            if self.status is None:
                try:
                    self.reply_text(500, "internal error in the emulator")
                except Exception:
                    pass
        finally:
            entry["status"] = self.status
            entry["body_size"] = self.body.consumed if self.body is not None else 0
            entry["end"] = time.time()

    def apply_fault(self, fault, path):
        """Act on a fired fault rule; True when the request is fully handled."""
        if fault.delay_ms:
            time.sleep(fault.delay_ms / 1000.0)
        action = fault.action
        if action == "delay_start":
            if not fault.delay_ms:
                time.sleep(fault.stall_ms / 1000.0)
            return False
        if action == "status":
            body = fault.body
            if body is None:
                data, ctype = b"", None
            elif isinstance(body, str):
                data, ctype = body.encode("utf-8"), "text/plain; charset=utf-8"
            else:
                data, ctype = body_json(body), "application/json"
            names = {k.lower() for k, _ in fault.headers}
            hdrs = list(fault.headers)
            if ctype and "content-type" in names:
                ctype = None
            self.reply(fault.status, data, ctype, hdrs)
            return True
        if action == "malformed_json":
            if fault.body is not None:
                data = fault.body if isinstance(fault.body, str) else json.dumps(fault.body)
                self.reply(fault.status, data.encode("utf-8"), "application/json", fault.headers)
                return True
            self.malformed = True
            return False
        if action == "ignore_range":
            self.ignore_range = True
            return False
        if action == "corrupt":
            self.corrupt = True
            return False
        if action == "replace":
            self.replace_file(fault)
            return False
        side = fault.side
        if side is None:
            uploading = ROUTES.get(path) == UPLOAD_STYLE and self.body.length != 0
            side = "request" if action == "cut" and uploading else "response"
        if side == "request":
            # Take after_bytes of the request body, then (stall) stop reading
            # for stall_ms, then drop the connection without carrying it out.
            left = fault.after_bytes
            while left > 0:
                data = self.body.read(min(left, IO_CHUNK))
                if not data:
                    break
                left -= len(data)
            if action == "stall":
                time.sleep(fault.stall_ms / 1000.0)
            self.close_connection = True
            raise Abort("fault: %s request" % action)
        self.out_fault = fault  # stall or cut inside the reply body
        return False

    def replace_file(self, fault):
        """Another client's write: fault.body becomes the new content of fault.file
        (in the requesting account's root namespace) before the request is handled."""
        svc = self.server.service
        auth = self.headers.get("Authorization") or ""
        account = svc.accounts.get(auth[7:].strip()) if auth.startswith("Bearer ") else None
        if account is None:
            return
        body = fault.body if fault.body is not None else ""
        data = (body if isinstance(body, str) else json.dumps(body)).encode("utf-8")
        hasher = ContentHasher()
        hasher.update(data)
        tmp = self.temp_path(svc)
        with open(tmp, "wb") as f:
            f.write(data)
        with svc.store.lock:
            svc.store.commit_file(View(account, home=False), [c for c in fault.file.split("/") if c], tmp,
                                  len(data), hasher.hexdigest(), ("overwrite", None), False, None)

    def route(self, path):
        svc = self.server.service
        style = ROUTES.get(path)
        if style is None:
            self.settle_request_body()
            self.reply_text(404, "Unknown API function: %s" % path)
            return
        fn = path[3:]
        # authentication
        auth = self.headers.get("Authorization")
        if auth is None and "authorization" in self.query:
            auth = self.query["authorization"][0]
        if auth is None:
            raise BadRequest('Must provide HTTP header "Authorization" or URL parameter "authorization".')
        if not auth.startswith("Bearer ") or not auth[7:].strip():
            raise BadRequest("The given OAuth 2 access token is malformed.")
        account = svc.accounts.get(auth[7:].strip())
        if account is None:
            raise ApiError({".tag": "invalid_access_token"}, status=401)
        if account.expiry is not None and time.time() >= account.expiry:
            raise ApiError({".tag": "expired_access_token"}, status=401)
        view = self.path_root(account)
        if not svc.rate.allow(account.account_id):
            raise ApiError({"reason": {".tag": "too_many_requests"}, "retry_after": 1}, status=429,
                           headers=[("Retry-After", "1")], summary="too_many_requests/..")
        # arguments
        if style == RPC and SCHEMAS[fn] is None:
            # An endpoint without arguments takes no body, or the JSON null.
            if self.command != "POST":
                raise BadRequest("expected POST")
            raw = self.body.read_all(1024)
            if raw.strip() not in (b"", b"null"):
                raise BadRequest("request body: expected no arguments")
            self.log_entry["arg"] = None
            return getattr(self, "h_" + fn.replace("/", "_"))(svc, view, None)
        if style == RPC:
            if self.command != "POST":
                raise BadRequest("expected POST")
            ctype = (self.headers.get("Content-Type") or "").split(";")[0].strip().lower()
            if ctype not in ("application/json", "text/plain"):
                raise BadRequest('Bad HTTP "Content-Type" header: "%s".  Expecting one of '
                                 '"application/json", "application/json; charset=utf-8", '
                                 '"text/plain; charset=dropbox-cors-hack".'
                                 % (self.headers.get("Content-Type") or ""))
            raw = self.body.read_all(1024 * 1024)
            try:
                arg = json.loads(raw.decode("utf-8"))
            except (UnicodeDecodeError, ValueError):
                self.log_entry["arg"] = None
                raise BadRequest("request body: could not decode input as JSON") from None
        else:
            if style == DOWNLOAD and self.command not in ("GET", "POST"):
                raise BadRequest("expected GET or POST")
            if style == UPLOAD_STYLE:
                if self.command != "POST":
                    raise BadRequest("expected POST")
                ctype = (self.headers.get("Content-Type") or "application/octet-stream").strip().lower()
                if ctype not in ("application/octet-stream", "text/plain; charset=dropbox-cors-hack"):
                    raise BadRequest('Bad HTTP "Content-Type" header: "%s".  Expecting one of '
                                     '"application/octet-stream", "text/plain; charset=dropbox-cors-hack".'
                                     % ctype)
            text = self.headers.get("Dropbox-API-Arg")
            if text is None and "arg" in self.query:
                text = self.query["arg"][0]
            if text is None:
                raise BadRequest('Must provide HTTP header "Dropbox-API-Arg" or URL parameter "arg".')
            try:
                text = text.encode("latin-1").decode("utf-8")
            except (UnicodeEncodeError, UnicodeDecodeError):
                pass
            try:
                arg = json.loads(text)
            except ValueError:
                raise BadRequest('HTTP header "Dropbox-API-Arg": could not decode input as JSON') from None
        self.log_entry["arg"] = arg
        check_args(arg, SCHEMAS[fn])
        getattr(self, "h_" + fn.replace("/", "_"))(svc, view, arg)

    def path_root(self, account):
        text = self.headers.get("Dropbox-API-Path-Root")
        if text is None:
            return View(account, home=True)
        try:
            value = json.loads(text)
        except ValueError:
            raise BadRequest('Invalid value for "Dropbox-API-Path-Root" header: could not decode JSON') from None
        tag = value if isinstance(value, str) else (value.get(".tag") if isinstance(value, dict) else None)
        if tag == "home":
            return View(account, home=True)
        if tag == "root" and isinstance(value, dict) and isinstance(value.get("root"), str):
            if value["root"] != account.root_ns:
                raise ApiError({".tag": "invalid_root", "invalid_root": account.root_info()}, status=422,
                               summary="invalid_root/..")
            return View(account, home=False)
        if tag == "namespace_id" and isinstance(value, dict) and isinstance(value.get("namespace_id"), str):
            if value["namespace_id"] == account.root_ns:
                return View(account, home=False)
            if value["namespace_id"] == account.home_ns:
                return View(account, home=True)
            raise ApiError({".tag": "no_permission"}, status=422)
        raise BadRequest('Invalid value for "Dropbox-API-Path-Root" header: %s' % text)

    # -- RPC endpoints -------------------------------------------------------------

    def lookup_path(self, svc, view, text, wrap, allow_root=False, field="path"):
        try:
            return svc.store.parse_path(view, text, allow_root, field)
        except LookupFail as exc:
            raise ApiError({".tag": wrap, wrap: exc.value()}) from None

    def write_path(self, svc, view, text, wrap, field="path", reason=False):
        try:
            view2, comps = svc.store.parse_path(view, text, False, field)
        except LookupFail:
            raise self.write_error(wrap, WriteFail("malformed_path"), reason) from None
        if len(comps) <= len(view2.prefix):
            raise BadRequest('%s: Specify the root folder as an empty string rather than as "/".' % field)
        return view2, comps

    @staticmethod
    def write_error(wrap, fail, reason=False):
        if reason:
            return ApiError({".tag": wrap, "reason": fail.value(), "upload_session_id": ""})
        return ApiError({".tag": wrap, wrap: fail.value()})

    def h_files_list_folder(self, svc, view, arg):
        view, comps = self.lookup_path(svc, view, arg["path"], "path", allow_root=True)
        with svc.store.lock:
            try:
                entries = svc.store.list_entries(view, comps, arg.get("recursive", False))
            except LookupFail as exc:
                raise ApiError({".tag": "path", "path": exc.value()}) from None
        sid = svc.save_snapshot(view.account.account_id, entries)
        self.reply_json(svc.page(view.account.account_id, sid, entries, 0, arg.get("limit", 2000)))

    def h_files_list_folder_continue(self, svc, view, arg):
        if not arg["cursor"]:
            raise BadRequest("cursor: empty")
        self.reply_json(svc.continue_page(view.account, arg["cursor"]))

    def h_files_get_metadata(self, svc, view, arg):
        view, comps = self.lookup_path(svc, view, arg["path"], "path")
        with svc.store.lock:
            try:
                md = svc.store.get_metadata(view, comps)
            except LookupFail as exc:
                raise ApiError({".tag": "path", "path": exc.value()}) from None
        self.reply_json(md)

    def h_files_create_folder_v2(self, svc, view, arg):
        view, comps = self.write_path(svc, view, arg["path"], "path")
        svc.contention.enter(view.ns)
        with svc.store.lock:
            try:
                md = svc.store.create_folder(view, comps, arg.get("autorename", False))
            except WriteFail as exc:
                raise self.write_error("path", exc) from None
        self.reply_json({"metadata": md})

    def relocation_paths(self, svc, view, arg):
        """(view, source comps, destination comps) of a move or copy."""
        view, src = self.lookup_path(svc, view, arg["from_path"], "from_lookup", field="from_path")
        if len(src) <= len(view.prefix):
            raise BadRequest('from_path: Specify the root folder as an empty string rather than as "/".')
        view2, dst = self.write_path(svc, view, arg["to_path"], "to", field="to_path")
        if view2.prefix != view.prefix:
            raise ApiError({".tag": "to", "to": {".tag": "no_write_permission"}})
        return view, src, dst

    def h_files_move_v2(self, svc, view, arg):
        view, src, dst = self.relocation_paths(svc, view, arg)
        svc.contention.enter(view.ns)
        with svc.store.lock:
            md = svc.store.move(view, src, dst, arg.get("autorename", False))
        self.reply_json({"metadata": md})

    def h_files_copy_v2(self, svc, view, arg):
        view, src, dst = self.relocation_paths(svc, view, arg)
        svc.contention.enter(view.ns)
        with svc.store.lock:
            md = svc.store.copy(view, src, dst, arg.get("autorename", False))
        self.reply_json({"metadata": md})

    def h_files_list_folder_get_latest_cursor(self, svc, view, arg):
        # A cursor at the folder's present state: continuing it finds no entries
        # (changes made after it are not tracked).
        view, comps = self.lookup_path(svc, view, arg["path"], "path", allow_root=True)
        with svc.store.lock:
            node = svc.store.locate(view.ns, comps)
        if node is None or view.to_view(node.comps) is None:
            raise ApiError({".tag": "path", "path": {".tag": "not_found"}})
        if not node.is_dir:
            raise ApiError({".tag": "path", "path": {".tag": "not_folder"}})
        sid = svc.save_snapshot(view.account.account_id, [])
        self.reply_json({"cursor": svc.make_cursor(sid, 0, arg.get("limit", 2000), True)})

    def h_users_get_space_usage(self, svc, view, arg):
        account = view.account
        with svc.store.lock:
            used = svc.store.space_used(account.root_ns)
        if account.is_team:
            allocation = {".tag": "team", "used": used, "allocated": account.allocated,
                          "user_within_team_space_allocated": 0,
                          "user_within_team_space_limit_type": {".tag": "off"},
                          "user_within_team_space_used_cached": used}
        else:
            allocation = {".tag": "individual", "allocated": account.allocated}
        self.reply_json({"used": used, "allocation": allocation})

    def h_files_delete_v2(self, svc, view, arg):
        view, comps = self.lookup_path(svc, view, arg["path"], "path_lookup")
        if len(comps) <= len(view.prefix):
            raise BadRequest('path: Specify the root folder as an empty string rather than as "/".')
        svc.contention.enter(view.ns)
        with svc.store.lock:
            if "parent_rev" in arg:
                self.check_parent_rev(svc, view, comps, arg["parent_rev"])
            try:
                md = svc.store.delete(view, comps)
            except LookupFail as exc:
                raise ApiError({".tag": "path_lookup", "path_lookup": exc.value()}) from None
            except WriteFail as exc:
                raise ApiError({".tag": "path_write", "path_write": exc.value()}) from None
        self.reply_json({"metadata": md})

    @staticmethod
    def check_parent_rev(svc, view, comps, parent_rev):
        """A delete with parent_rev goes ahead only while that is the file's latest revision."""
        node = svc.store.locate(view.ns, comps)
        if node is None or view.to_view(node.comps) is None:
            raise ApiError({".tag": "path_lookup", "path_lookup": {".tag": "not_found"}})
        if node.is_dir:
            raise ApiError({".tag": "path_lookup", "path_lookup": {".tag": "not_file"}})
        if svc.store.meta(node)[5] != parent_rev:
            raise ApiError({".tag": "path_write", "path_write": {".tag": "conflict", "conflict": {".tag": "file"}}})

    # -- revisions ---------------------------------------------------------------------

    def h_files_list_revisions(self, svc, view, arg):
        view, comps = self.lookup_path(svc, view, arg["path"], "path")
        with svc.store.lock:
            try:
                deleted, revisions = svc.store.list_revisions(view, comps, arg.get("mode") == "id",
                                                              arg.get("limit", 10))
            except LookupFail as exc:
                raise ApiError({".tag": "path", "path": exc.value()}) from None
        self.reply_json({"is_deleted": deleted,
                         "entries": [Store.render(view, c, row, tagged=False) for row, c in revisions]})

    def h_files_restore(self, svc, view, arg):
        view, comps = self.write_path(svc, view, arg["path"], "path_write")
        with svc.store.lock:
            try:
                md = svc.store.restore(view, comps, arg["rev"])
            except WriteFail as exc:
                raise ApiError({".tag": "path_write", "path_write": exc.value()}) from None
        if md is None:
            raise ApiError({".tag": "invalid_revision"})
        self.reply_json(md)

    # -- download --------------------------------------------------------------------

    def h_files_download(self, svc, view, arg):
        path = arg["path"]
        with svc.store.lock:
            try:
                try:
                    found, comps = svc.store.parse_path(view, path)
                    f, row, full = svc.store.open_file(found, comps)
                except LookupFail:
                    if not path.startswith("rev:"):
                        raise
                    found = view  # an earlier revision
                    f, row, full = svc.store.open_revision(view, path[4:])
            except LookupFail as exc:
                raise ApiError({".tag": "path", "path": exc.value()}) from None
        view = found
        with f:
            if arg.get("rev") and arg["rev"] != row[5]:
                raise ApiError({".tag": "path", "path": {".tag": "not_found"}})
            size = row[8]
            result = header_json(Store.render(view, full, row, tagged=False))
            if self.malformed:
                result = result[:max(1, len(result) // 2)]
            start, end = 0, size  # [start, end)
            status = 200
            extra = [("Dropbox-API-Result", result), ("Accept-Ranges", "bytes")]
            rng = None if self.ignore_range else self.parse_range(self.headers.get("Range"), size)
            if rng == "unsatisfiable":
                self.reply(416, b"", "text/plain; charset=utf-8",
                           [("Content-Range", "bytes */%d" % size)])
                return
            if rng is not None:
                start, end = rng
                status = 206
                extra.append(("Content-Range", "bytes %d-%d/%d" % (start, end - 1, size)))
            self.settle_request_body()
            extra.insert(0, ("Content-Type", "application/octet-stream"))
            self.begin_reply(status, extra, end - start)
            if self.command == "HEAD":
                return
            self.stream_file(f, start, end - start)
            self.finish_body()

    @staticmethod
    def parse_range(text, size):
        """(start, end) for one satisfiable byte range, "unsatisfiable", or None
        (no usable Range header: send everything)."""
        if not text:
            return None
        m = re.match(r"^\s*bytes\s*=\s*(\d*)\s*-\s*(\d*)\s*$", text)
        if not m or (m.group(1) == "" and m.group(2) == ""):
            return None
        if m.group(1) == "":
            n = int(m.group(2))
            if n == 0:
                return "unsatisfiable"
            return (max(0, size - n), size)
        start = int(m.group(1))
        if m.group(2) != "":
            last = int(m.group(2))
            if last < start:
                return None
            end = min(last + 1, size)
        else:
            end = size
        if start >= size:
            return "unsatisfiable"
        return (start, end)

    def stream_file(self, f, offset, count):
        if count <= 0:
            return
        if (self.out_fault is None and self.throttle is None
                and not isinstance(self.connection, ssl.SSLSocket)):
            sent = self.connection.sendfile(f, offset, count)
            self.sent_body += sent
            if sent < count:
                raise Abort("file shrank while sending")
            return
        f.seek(offset)
        buf = bytearray(IO_CHUNK)
        view = memoryview(buf)
        left = count
        while left > 0:
            n = f.readinto(view[:min(left, IO_CHUNK)])
            if not n:
                raise Abort("file shrank while sending")
            self.write_body(view[:n])
            left -= n

    # -- uploads ----------------------------------------------------------------------

    def check_body_size(self, limit, error):
        if self.body.length is not None and self.body.length > limit:
            self.close_connection = self.no_drain = True
            raise error

    def receive(self, fd, offset, limit, error, hasher=None, extra=None):
        """Stream the request body into fd at offset; returns its length.
        self.written counts the bytes put into the file, also on failure."""
        total = 0
        self.written = 0
        while True:
            data = self.body.read(IO_CHUNK)
            if not data:
                return total
            if self.corrupt:
                # The service stores other bytes than the client sent.
                data = bytes([data[0] ^ 0xFF]) + data[1:]
                self.corrupt = False
            total += len(data)
            if total > limit:
                self.close_connection = self.no_drain = True
                raise error
            view = memoryview(data)
            while len(view):
                n = os.pwrite(fd, view, offset)
                offset += n
                self.written += n
                view = view[n:]
            if hasher is not None:
                hasher.update(data)
            if extra is not None:
                extra.update(data)

    def temp_path(self, svc):
        return os.path.join(svc.store.tmp_dir, secrets.token_hex(12))

    def h_files_upload(self, svc, view, arg):
        too_large = ApiError({".tag": "payload_too_large"})
        self.check_body_size(MAX_REQUEST_DATA, too_large)
        view, comps = self.write_path(svc, view, arg["path"], "path", reason=True)
        tmp = self.temp_path(svc)
        hasher = ContentHasher()
        fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644)
        try:
            try:
                size = self.receive(fd, 0, MAX_REQUEST_DATA, too_large, hasher)
            finally:
                os.close(fd)
            chash = hasher.hexdigest()
            if arg.get("content_hash") and arg["content_hash"] != chash:
                raise ApiError({".tag": "content_hash_mismatch"})
            svc.contention.enter(view.ns)
        except BaseException:
            os.unlink(tmp)
            raise
        with svc.store.lock:
            try:
                md = svc.store.commit_file(view, comps, tmp, size, chash, arg.get("mode", ("add", None)),
                                           arg.get("autorename", False), arg.get("client_modified"))
            except WriteFail as exc:
                raise self.write_error("path", exc, reason=True) from None
        self.reply_json(md)

    def find_session(self, svc, view, sid, wrap=None):
        with svc.sessions_lock:
            s = svc.sessions.get(sid)
        if s is None or s.account_id != view.account.account_id:
            raise self.lookup_error(wrap, {".tag": "not_found"})
        return s

    @staticmethod
    def lookup_error(wrap, value):
        if wrap:
            return ApiError({".tag": wrap, wrap: value})
        return ApiError(value)

    def h_files_upload_session_start(self, svc, view, arg):
        concurrent = arg.get("session_type", "sequential") == "concurrent"
        self.check_body_size(MAX_REQUEST_DATA, ApiError({".tag": "payload_too_large"}))
        if concurrent and arg.get("close", False):
            raise ApiError({".tag": "concurrent_session_close_not_allowed"})
        if concurrent and self.body.length:
            raise ApiError({".tag": "concurrent_session_data_not_allowed"})
        sid = "AAAAAAAA" + secrets.token_urlsafe(24)
        path = os.path.join(svc.store.sessions_dir, sid)
        s = UploadSession(sid, view.account.account_id, concurrent, path)
        fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_TRUNC, 0o644)
        try:
            check = ContentHasher() if arg.get("content_hash") else None
            try:
                n = self.receive(fd, 0, MAX_REQUEST_DATA, ApiError({".tag": "payload_too_large"}),
                                 s.hasher, check)
            finally:
                os.close(fd)
            if n and concurrent:
                raise ApiError({".tag": "concurrent_session_data_not_allowed"})
            if check is not None and check.hexdigest() != arg["content_hash"]:
                raise ApiError({".tag": "content_hash_mismatch"})
        except BaseException:
            os.unlink(path)
            raise
        s.received = n
        s.hash_pos = n
        s.closed = arg.get("close", False)
        with svc.sessions_lock:
            svc.sessions[sid] = s
        self.reply_json({"session_id": sid})

    def h_files_upload_session_append_v2(self, svc, view, arg):
        cur = arg["cursor"]
        offset = cur["offset"]
        close = arg.get("close", False)
        s = self.find_session(svc, view, cur["session_id"])
        self.check_body_size(MAX_REQUEST_DATA, ApiError({".tag": "payload_too_large"}))
        with s.lock:
            if s.closed:
                raise ApiError({".tag": "closed"})
            if s.concurrent:
                if offset % BLOCK_SIZE:
                    raise ApiError({".tag": "concurrent_session_invalid_offset"})
                if (not close and self.body.length is not None and self.body.length % BLOCK_SIZE):
                    raise ApiError({".tag": "concurrent_session_invalid_data_size"})
            else:
                if s.busy or offset != s.received:
                    raise ApiError({".tag": "incorrect_offset", "correct_offset": s.received})
                s.busy = True
            if self.body.length is not None and offset + self.body.length > MAX_SESSION_SIZE:
                if not s.concurrent:
                    s.busy = False
                raise ApiError({".tag": "too_large"})
            hasher = saved = None
            if offset == s.hash_pos and not s.hash_busy:
                s.hash_busy = True
                hasher = s.hasher
                saved = hasher.copy()
        check = ContentHasher() if arg.get("content_hash") else None
        ok = False
        n = 0
        self.written = 0
        try:
            fd = os.open(s.path, os.O_WRONLY)
            try:
                n = self.receive(fd, offset, MAX_REQUEST_DATA, ApiError({".tag": "payload_too_large"}),
                                 hasher, check)
            finally:
                os.close(fd)
            if s.concurrent and not close and n % BLOCK_SIZE:
                raise ApiError({".tag": "concurrent_session_invalid_data_size"})
            if check is not None and check.hexdigest() != arg["content_hash"]:
                raise ApiError({".tag": "content_hash_mismatch"})
            if offset + n > MAX_SESSION_SIZE:
                raise ApiError({".tag": "too_large"})
            ok = True
        finally:
            with s.lock:
                if hasher is not None:
                    s.hash_busy = False
                    if ok:
                        s.hash_pos = offset + n
                    else:
                        s.hasher = saved  # the failed part leaves no trace in the hash
                if not s.concurrent:
                    s.busy = False
                    if ok:
                        s.received = offset + n
                    else:
                        try:
                            os.truncate(s.path, s.received)
                        except OSError:
                            pass
                else:
                    if hasher is None and offset < s.hash_pos and self.written:
                        s.hash_pos = -1  # overwrote bytes already hashed
                    if ok and s.closed:
                        ok = False  # another append closed the session meanwhile
                    if ok:
                        s.ranges.append((offset, n))
                    elif self.written:
                        # A failed part may have spilled over parts already received.
                        end = offset + self.written
                        s.ranges = [r for r in s.ranges if r[0] + r[1] <= offset or r[0] >= end]
                if ok and close:
                    s.closed = True
                    if s.concurrent:
                        s.total = offset + n
        if not ok and s.concurrent and s.closed:
            raise ApiError({".tag": "closed"})
        self.reply_json(b"null")

    def h_files_upload_session_finish(self, svc, view, arg):
        self.check_body_size(MAX_REQUEST_DATA, ApiError({".tag": "payload_too_large"}))
        self.reply_json(self.finish_session(svc, view, arg, in_batch=False))

    def h_files_upload_session_finish_batch_v2(self, svc, view, arg):
        """Commits many closed sessions in one call; each entry succeeds or fails on its own.
        The batch takes its namespace's write lock once, which is what it is for."""
        entries = arg["entries"]
        if len(entries) > 1000:
            raise BadRequest("entries: at most 1000 entries")
        for i, entry in enumerate(entries):
            check_args(entry, FINISH, "entries[%d]" % i)
        svc.contention.enter(view.ns)
        out = []
        for entry in entries:
            try:
                md = self.finish_session(svc, view, entry, in_batch=True)
                out.append(dict({".tag": "success"}, **md))
            except ApiError as exc:
                out.append({".tag": "failure", "failure": exc.error})
        self.reply_json({"entries": out})

    def finish_session(self, svc, view, arg, in_batch):
        """Commit an upload session (with the data sent in this call, unless in a batch);
        returns the file's metadata."""
        cur = arg["cursor"]
        offset = cur["offset"]
        s = self.find_session(svc, view, cur["session_id"], wrap="lookup_failed")
        commit = arg["commit"]
        view, comps = self.write_path(svc, view, commit["path"], "path", field="commit.path")
        if not in_batch:
            # Refused before any data of the call is taken, so a repeat finds the session as it was.
            svc.contention.enter(view.ns)
        with s.lock:
            if s.busy or s.hash_busy:
                raise ApiError({".tag": "too_many_write_operations"}, headers=[("Retry-After", "1")])
            if in_batch and not s.concurrent and not s.closed:
                raise ApiError({".tag": "lookup_failed", "lookup_failed": {".tag": "not_closed"}})
            if s.concurrent:
                if self.body.length and not in_batch:
                    raise ApiError({".tag": "concurrent_session_data_not_allowed"})
                if not s.closed:
                    raise ApiError({".tag": "concurrent_session_not_closed"})
                if offset != s.total:
                    raise ApiError({".tag": "lookup_failed", "lookup_failed": {
                        ".tag": "incorrect_offset", "correct_offset": s.total}})
                if not s.covered(s.total):
                    raise ApiError({".tag": "concurrent_session_missing_data"})
            elif offset != s.received:
                raise ApiError({".tag": "lookup_failed", "lookup_failed": {
                    ".tag": "incorrect_offset", "correct_offset": s.received}})
            s.busy = True
        # content_hash covers the data sent with this call only (none in a concurrent session).
        check = ContentHasher() if arg.get("content_hash") else None
        try:
            if s.concurrent:
                total = s.total
                if check is not None and check.hexdigest() != arg["content_hash"]:
                    raise ApiError({".tag": "content_hash_mismatch"})
            elif in_batch:
                total = offset  # a batch carries no data
                if check is not None and check.hexdigest() != arg["content_hash"]:
                    raise ApiError({".tag": "content_hash_mismatch"})
            else:
                # Data sent with finish is appended first, like one more append.
                hasher = s.hasher if s.hash_pos == s.received else None
                saved = hasher.copy() if hasher is not None else None
                fd = os.open(s.path, os.O_WRONLY)
                try:
                    n = self.receive(fd, offset, MAX_REQUEST_DATA,
                                     ApiError({".tag": "payload_too_large"}), hasher, check)
                    if check is not None and check.hexdigest() != arg["content_hash"]:
                        raise ApiError({".tag": "content_hash_mismatch"})
                except BaseException:
                    if saved is not None:
                        s.hasher = saved
                    os.truncate(s.path, s.received)
                    raise
                finally:
                    os.close(fd)
                total = offset + n
                s.received = total
                if hasher is not None:
                    s.hash_pos = total
                if total > MAX_SESSION_SIZE:
                    raise ApiError({".tag": "lookup_failed", "lookup_failed": {".tag": "too_large"}})
            if s.hash_pos == total:
                chash = s.hasher.hexdigest()
            elif 0 <= s.hash_pos < total:
                chash = hash_file(s.path, s.hash_pos, total, s.hasher)
                s.hash_pos = total
            else:
                s.hasher = ContentHasher()
                chash = hash_file(s.path, 0, total, s.hasher)
                s.hash_pos = total
            os.truncate(s.path, total)
            with svc.store.lock:
                try:
                    md = svc.store.commit_file(view, comps, s.path, total, chash,
                                               commit.get("mode", ("add", None)),
                                               commit.get("autorename", False),
                                               commit.get("client_modified"), keep_source=True)
                except WriteFail as exc:
                    raise self.write_error("path", exc) from None
            # The data file became the committed file; the session is over.
            with svc.sessions_lock:
                svc.sessions.pop(s.sid, None)
        finally:
            with s.lock:
                s.busy = False
        return md

    # -- control endpoints -------------------------------------------------------------

    @staticmethod
    def control_count(arg, key, default=0):
        n = arg.get(key, default) if isinstance(arg, dict) else default
        if not isinstance(n, int) or isinstance(n, bool) or n < 0:
            raise ValueError("%s must be a non-negative integer" % key)
        return n

    def control(self, path):
        svc = self.server.service
        self.body = BodyReader(self.rfile, self.headers)
        try:
            raw = self.body.read_all(16 * 1024 * 1024)
            arg = json.loads(raw.decode("utf-8")) if raw.strip() else None
        except (BadRequest, ValueError, UnicodeDecodeError) as exc:
            self.reply_text(400, "bad control request: %s" % exc)
            return
        name = path[len("/__emulator/"):]
        method = self.command
        try:
            if name == "faults" and method == "POST":
                items = arg if isinstance(arg, list) else [arg]
                rules = [FaultRule(r) for r in items]
                svc.faults.add(rules)
                self.reply_json({"added": len(rules)})
            elif name == "faults" and method == "DELETE":
                svc.faults.clear()
                self.reply_json({"cleared": True})
            elif name == "faults" and method == "GET":
                self.reply_json(svc.faults.describe())
            elif name == "log" and method == "GET":
                self.reply_json(svc.log.dump())
            elif name == "log" and method == "DELETE":
                svc.log.clear()
                self.reply_json({"cleared": True})
            elif name == "rate_limit" and method == "POST":
                n = arg.get("per_second") if isinstance(arg, dict) else None
                if not isinstance(n, int) or isinstance(n, bool) or n < 0:
                    raise ValueError("per_second must be a non-negative integer")
                svc.rate.set(n)
                self.reply_json({"per_second": n})
            elif name == "rate_limit" and method == "GET":
                self.reply_json({"per_second": svc.rate.per_second})
            elif name == "link" and method == "POST":
                latency = self.control_count(arg, "latency_ms")
                rate = self.control_count(arg, "bytes_per_second")
                svc.link.set(latency, rate)
                self.reply_json({"latency_ms": latency, "bytes_per_second": rate})
            elif name == "link" and method == "GET":
                latency, rate = svc.link.get()
                self.reply_json({"latency_ms": latency, "bytes_per_second": rate})
            elif name == "write_contention" and method == "POST":
                hold = self.control_count(arg, "hold_ms")
                retry_after = self.control_count(arg, "retry_after", 1)
                svc.contention.set(hold, retry_after)
                self.reply_json({"hold_ms": hold, "retry_after": retry_after})
            elif name == "sessions" and method == "GET":
                with svc.sessions_lock:
                    out = [{"session_id": s.sid, "concurrent": s.concurrent, "closed": s.closed,
                            "received": s.received, "ranges": sorted(s.ranges), "total": s.total}
                           for s in svc.sessions.values()]
                self.reply_json(out)
            else:
                self.reply_text(404, "unknown control endpoint %s %s" % (method, path))
        except (ValueError, TypeError) as exc:
            self.reply_text(400, "bad control request: %s" % exc)


# --------------------------------------------------------------------------
# server

class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    request_queue_size = 128
    allow_reuse_address = True

    def __init__(self, address, service, ssl_context, verbose):
        self.service = service
        self.ssl_context = ssl_context
        self.verbose = verbose
        super().__init__(address, Handler)

    def server_bind(self):
        for opt in (socket.SO_RCVBUF, socket.SO_SNDBUF):
            try:
                self.socket.setsockopt(socket.SOL_SOCKET, opt, 4 * 1024 * 1024)
            except OSError:
                pass
        # TCPServer's bind, without HTTPServer's reverse name lookup.
        import socketserver
        socketserver.TCPServer.server_bind(self)
        self.server_name, self.server_port = self.server_address[:2]

    def finish_request(self, request, client_address):
        # The TLS handshake runs in the connection's own thread so that a slow
        # or silent client never holds up accept().
        # Reaching a far-away service costs a round trip for TCP and one for TLS.
        self.service.link.wait_round_trips(2 if self.ssl_context is not None else 1)
        if self.ssl_context is not None:
            request.settimeout(30)
            try:
                request = self.ssl_context.wrap_socket(request, server_side=True)
            except (OSError, ssl.SSLError):
                return
            request.settimeout(None)
            try:
                self.RequestHandlerClass(request, client_address, self)
            finally:
                try:
                    request.close()
                except OSError:
                    pass
            return
        self.RequestHandlerClass(request, client_address, self)

    def handle_error(self, request, client_address):
        exc = sys.exc_info()[1]
        if isinstance(exc, (ConnectionError, ssl.SSLError, socket.timeout, Abort)):
            return
        super().handle_error(request, client_address)


def load_accounts(path):
    with open(path, encoding="utf-8") as f:
        data = json.load(f)
    raw = data.get("accounts") if isinstance(data, dict) else None
    if not isinstance(raw, list) or not raw:
        raise ValueError("%s: expected {\"accounts\": [...]}" % path)
    accounts = [Account(a) for a in raw]
    tokens = [a.token for a in accounts]
    if len(set(tokens)) != len(tokens):
        raise ValueError("%s: duplicate access tokens" % path)
    return accounts


def main(argv=None):
    p = argparse.ArgumentParser(prog="dropbox-emulator",
                                description="Local stand-in for the storage service's HTTP API v2.")
    p.add_argument("--root", required=True, help="storage folder (files under ROOT/ns/<id>/)")
    p.add_argument("--accounts", required=True, help="accounts JSON file")
    p.add_argument("--host", default="127.0.0.1")
    p.add_argument("--port", type=int, default=0)
    p.add_argument("--cert", help="server certificate chain (PEM)")
    p.add_argument("--key", help="server private key (PEM)")
    p.add_argument("--plain-http", action="store_true", help="serve plain HTTP instead of TLS")
    p.add_argument("--port-file", help="write the bound port number here")
    p.add_argument("--rate-limit", type=int, default=0, help="requests per second per account (0 = off)")
    p.add_argument("--latency-ms", type=int, default=0,
                   help="one-way delay of a far-away link, in milliseconds (0 = off)")
    p.add_argument("--link-rate", type=int, default=0,
                   help="bytes per second of one connection in each direction (0 = off)")
    p.add_argument("--verbose", action="store_true", help="log each request to stderr")
    args = p.parse_args(argv)

    if args.plain_http == bool(args.cert or args.key) or (not args.plain_http and not (args.cert and args.key)):
        p.error("give either --cert and --key, or --plain-http")
    try:
        accounts = load_accounts(args.accounts)
        service = Service(args.root, accounts, args.rate_limit,
                          Link(max(0, args.latency_ms), max(0, args.link_rate)))
    except (OSError, ValueError) as exc:
        sys.stderr.write("dropbox-emulator: %s\n" % exc)
        return 2
    ctx = None
    try:
        if not args.plain_http:
            ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            ctx.load_cert_chain(args.cert, args.key)
            ctx.set_alpn_protocols(["http/1.1"])
        server = Server((args.host, args.port), service, ctx, args.verbose)
    except (OSError, ssl.SSLError) as exc:
        sys.stderr.write("dropbox-emulator: %s\n" % exc)
        return 2
    port = server.server_address[1]

    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    signal.signal(signal.SIGINT, lambda *_: stop.set())
    thread = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.2}, daemon=True)
    thread.start()
    if args.port_file:
        tmp = args.port_file + ".tmp"
        with open(tmp, "w") as f:
            f.write("%d\n" % port)
        os.replace(tmp, args.port_file)
    print("dropbox-emulator listening on %s://%s:%d" % ("http" if ctx is None else "https", args.host, port),
          flush=True)
    while not stop.wait(0.5):
        pass
    server.shutdown()
    server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
