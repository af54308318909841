"""Conditions the tests script: faults of single requests, the rate limit,
a far-away link (delay and byte rate), and contention for a namespace's
write lock."""

import collections
import json
import threading
import time

from .accounts import View
from .arguments import ROUTES, UPLOAD_STYLE
from .content_hash import ContentHasher
from .protocol import IO_CHUNK, Abort, ApiError, body_json


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


class FaultInjection:
    """The request handler's part that acts on a fired fault rule."""

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
