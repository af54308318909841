"""Request bodies: Content-Length or chunked, streamed."""

from .protocol import IO_CHUNK, Abort, BadRequest



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
