"""Uploads: single requests and upload sessions (sequential and concurrent),
with their endpoints."""

import os
import secrets
import threading

from .arguments import FINISH, check_args
from .content_hash import BLOCK_SIZE, ContentHasher, hash_file
from .protocol import IO_CHUNK, MAX_REQUEST_DATA, MAX_SESSION_SIZE, ApiError, BadRequest, WriteFail



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


class UploadEndpoints:
    """The request handler's upload endpoints."""

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
