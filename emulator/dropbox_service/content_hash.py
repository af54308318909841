"""The service's content hash."""

import hashlib

BLOCK_SIZE = 4 * 1024 * 1024          # content-hash block and concurrent-append unit
EMPTY_HASH = hashlib.sha256(b"").hexdigest()



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
