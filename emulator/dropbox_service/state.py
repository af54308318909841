"""What every request shares: the accounts, the namespace, the upload
sessions, the listing snapshots behind cursors, and the control state."""

import base64
import collections
import json
import secrets
import threading

from .control import RequestLog
from .faults import Faults, Link, RateLimiter, WriteContention
from .namespace import Store
from .protocol import ApiError



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
