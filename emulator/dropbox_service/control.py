"""The request log and the control API under /__emulator/, through which
tests steer the emulator."""

import json
import threading

from .faults import FaultRule
from .protocol import BadRequest
from .request_body import BodyReader


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


class ControlApi:
    """The request handler's control endpoints."""

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
