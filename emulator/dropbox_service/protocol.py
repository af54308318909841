"""What requests and replies share: sizes, the time format, JSON texts, and
the errors that become the service's error replies."""

import json
import re
import time

MAX_REQUEST_DATA = 150 * 1024 * 1024  # largest body of one upload/append request
MAX_SESSION_SIZE = 350 * 1000 ** 3    # largest file committed from a session
IO_CHUNK = 1024 * 1024                # read/write/send block
TIME_FORMAT = "%Y-%m-%dT%H:%M:%SZ"
TIME_RE = re.compile(r"^\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}Z$")



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
