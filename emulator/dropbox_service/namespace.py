"""The namespace of every account: plain files and folders, with ids,
revisions, times and content hashes in sqlite, and earlier revisions."""

import json
import os
import secrets
import shutil
import sqlite3
import stat
import threading
import time

from .accounts import View
from .content_hash import EMPTY_HASH, hash_file
from .protocol import ApiError, BadRequest, LookupFail, WriteFail, utc_text


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
