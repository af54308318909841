"""The RPC endpoints (listing, metadata, folders, move, copy, delete,
revisions, space usage) and download."""

import re
import ssl

from .namespace import Store
from .protocol import IO_CHUNK, Abort, ApiError, BadRequest, LookupFail, WriteFail, header_json


class FileEndpoints:
    """The request handler's endpoints of the namespace."""

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
