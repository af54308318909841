#!/usr/bin/python3
"""Throughput with parallel streams, on a long link and on loopback, and the
cost of many small files; every figure side by side in one run.

Starts the emulator and the server (clear-text FTP on loopback; the plug-in
always speaks TLS to the emulator), then:

  long link   the emulator holds every connection to 20 ms each way and
              ~52 MB/s (--latency-ms, --link-rate). RETR through the server
              with 1, 2, 4 and 8 streams (storage policy "transfer_streams";
              the whole session and the RETR command alone)
              against curl fetching the file straight from the emulator with
              1 and 4 ranged streams; STOR through the server (4 streams,
              size announced) against curl appending the same pieces to a
              concurrent upload session, 4 at a time.
  loopback    the same without the link: RETR and STOR (4 streams) against
              curl (one download; the upload session's parts one after
              another, and 4 pieces at a time); peak resident memory of the
              session process with 4 streams at a quarter of the size and at
              the full size (it should not grow with the file).
  small files --files files of 4 KiB stored and then retrieved through one
              FTP session, first with the rate limit raised (ms per file each
              way, API calls per file), then at the default 20 calls/s, where
              the time is compared with what the pacing allows (paced calls /
              rate).

    ORVEL_BINARY_DIR=build /usr/bin/python3 bench/throughput.py [--size-mib 1024] [--files 500]
"""

import argparse
import concurrent.futures
import ftplib
import io
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
from ftp import PeakMemory, make_file, timed  # noqa: E402
from stack import Stack  # noqa: E402

MiB = 1024 * 1024
PART = 100 * MiB
PIECE = 20 * MiB
UNPACED = ("/2/files/upload", "/2/files/upload_session/append_v2")


class Bench:
    def __init__(self, args):
        self.args = args
        self.size = args.size_mib * MiB
        self.stack = Stack(server_args=["--data-timeout", "600"], policy={"transfer_streams": 4})
        self.tmp = None

    # -- set-up ------------------------------------------------------------

    def policy(self, **members):
        """The policy the next session logs in with."""
        with open(os.path.join(self.stack.tmp, "policy.json"), "w") as f:
            json.dump(members, f)

    def start(self):
        self.stack.start()
        self.tmp = tempfile.mkdtemp(prefix="orvel-throughput-")
        emu = self.stack.emu
        self.connect = ["--cacert", emu.ca,
                        "--connect-to", "api.dropboxapi.com:443:127.0.0.1:%d" % emu.port,
                        "--connect-to", "content.dropboxapi.com:443:127.0.0.1:%d" % emu.port]
        self.auth = ["-H", "Authorization: Bearer T"]
        self.sources = {}
        os.makedirs(self.stack.local("/bench"), exist_ok=True)
        for size in sorted({self.size, self.size // 4}):
            src = os.path.join(self.tmp, "src-%d.bin" % size)
            make_file(src, size)
            shutil.copyfile(src, self.stack.local("/bench/big-%d.bin" % size))
            self.sources[size] = src
        # Pieces and parts of the full-size file for curl's upload sessions.
        self.pieces = self.split(self.sources[self.size], PIECE, "piece")
        self.parts = self.split(self.sources[self.size], PART, "part")
        # The emulator hashes a new file on first sight: not timed.
        self.stack.curl(self.stack.url("/bench/"))

    def split(self, src, size, name):
        out = []
        with open(src, "rb") as f:
            offset = 0
            while True:
                data = f.read(size)
                if not data:
                    return out
                path = os.path.join(self.tmp, "%s%04d" % (name, len(out)))
                with open(path, "wb") as piece:
                    piece.write(data)
                out.append((path, offset, len(data)))
                offset += len(data)

    def stop(self):
        self.stack.stop()
        if self.tmp:
            shutil.rmtree(self.tmp, ignore_errors=True)

    # -- transfers ---------------------------------------------------------

    def rpc(self, endpoint, arg, body_file=None):
        cmd = ["curl", "-sS", "-X", "POST", "-H", "Content-Type: application/octet-stream",
               "-H", "Dropbox-API-Arg: " + json.dumps(arg)] + self.connect + self.auth
        cmd += ["-T", body_file] if body_file else ["--data-binary", ""]
        r = subprocess.run(cmd + ["https://content.dropboxapi.com" + endpoint], capture_output=True, check=True)
        return json.loads(r.stdout) if r.stdout.strip() else {}

    def direct_download(self, streams=1):
        arg = ["-H", "Dropbox-API-Arg: " + json.dumps({"path": "/bench/big-%d.bin" % self.size})]
        url = "https://content.dropboxapi.com/2/files/download"
        if streams == 1:
            return timed(["curl", "-sS", "-o", "/dev/null"] + self.connect + self.auth + arg + [url])[0]
        share = -(-self.size // streams)
        procs = []
        start = time.monotonic()
        for i in range(streams):
            first, last = i * share, min(self.size, (i + 1) * share) - 1
            procs.append(subprocess.Popen(["curl", "-sS", "-o", "/dev/null", "-r", "%d-%d" % (first, last)]
                                          + self.connect + self.auth + arg + [url]))
        if any(p.wait() != 0 for p in procs):
            raise SystemExit("a ranged curl failed")
        return time.monotonic() - start

    def direct_upload(self, parallel):
        """curl on the upload-session endpoints: 100 MiB parts one after another,
        or 20 MiB pieces of a concurrent session 4 at a time."""
        start = time.monotonic()
        if not parallel:
            session = self.rpc("/2/files/upload_session/start", {"close": False})["session_id"]
            for path, offset, _ in self.parts:
                self.rpc("/2/files/upload_session/append_v2",
                         {"cursor": {"session_id": session, "offset": offset}, "close": False}, path)
        else:
            session = self.rpc("/2/files/upload_session/start", {"session_type": "concurrent"})["session_id"]
            body = self.pieces[:-1]
            with concurrent.futures.ThreadPoolExecutor(4) as pool:
                list(pool.map(lambda p: self.rpc("/2/files/upload_session/append_v2",
                                                 {"cursor": {"session_id": session, "offset": p[1]},
                                                  "close": False}, p[0]), body))
            path, offset, _ = self.pieces[-1]
            self.rpc("/2/files/upload_session/append_v2",
                     {"cursor": {"session_id": session, "offset": offset}, "close": True}, path)
        self.rpc("/2/files/upload_session/finish",
                 {"cursor": {"session_id": session, "offset": self.size},
                  "commit": {"path": "/bench/up-direct.bin", "mode": "overwrite"}})
        return time.monotonic() - start

    def server_download(self, streams, size=None):
        """RETR through the server with curl (as the direct downloads are made)."""
        size = size or self.size
        self.policy(transfer_streams=streams)
        with PeakMemory(self.stack.server.pid) as mem:
            t = timed(["curl", "-sS", "-o", "/dev/null", "--user", "ann:secret-ann",
                       self.stack.url("/bench/big-%d.bin" % size)])[0]
        return t, mem.peak_kib / 1024

    def server_retr(self, streams):
        """RETR through the server with ftplib: the whole session (connect,
        login, RETR) and the RETR command alone, from sending it to its 226.
        On a long link the session's own requests before the transfer cost
        round trips that no number of streams shortens."""
        self.policy(transfer_streams=streams)
        got = [0]

        def count(block):
            got[0] += len(block)

        with PeakMemory(self.stack.server.pid) as mem:
            start = time.monotonic()
            ftp = ftplib.FTP()
            ftp.connect("127.0.0.1", self.stack.port, timeout=600)
            ftp.login("ann", "secret-ann")
            retr_start = time.monotonic()
            ftp.retrbinary("RETR /bench/big-%d.bin" % self.size, count, blocksize=MiB)
            end = time.monotonic()
            ftp.quit()
        if got[0] != self.size:
            raise SystemExit("the download delivered %d bytes of %d" % (got[0], self.size))
        return end - start, mem.peak_kib / 1024, end - retr_start

    def server_upload(self, streams, size=None):
        size = size or self.size
        self.policy(transfer_streams=streams)
        with PeakMemory(self.stack.server.pid) as mem:
            t = timed(["curl", "-sS", "--user", "ann:secret-ann", "-Q", "ALLO %d" % size,
                       "-T", self.sources[size], self.stack.url("/bench/up-server.bin")])[0]
        got = os.path.getsize(self.stack.local("/bench/up-server.bin"))
        if got != size:
            raise SystemExit("the upload stored %d bytes of %d" % (got, size))
        return t, mem.peak_kib / 1024

    # -- the runs ----------------------------------------------------------

    def long_link(self):
        a = self.args
        self.stack.emu.set_link(a.latency_ms, a.link_rate)
        mb = self.size / 1e6
        print("long link: %d ms each way, %.0f MB/s per connection, %d MiB"
              % (a.latency_ms, a.link_rate / 1e6, a.size_mib))
        curl1 = self.direct_download(1)
        curl4 = self.direct_download(4)
        print("  curl download      1 stream  %7.1f MB/s   4 ranged streams %7.1f MB/s (x%.2f)"
              % (mb / curl1, mb / curl4, curl1 / curl4))
        base = base_retr = None
        for streams in (1, 2, 4, 8):
            t, rss, retr = self.server_retr(streams)
            base, base_retr = base or t, base_retr or retr
            print("  RETR  %d stream%s %7.1f MB/s   x%.2f of 1 stream (RETR alone %7.1f MB/s, x%.2f)   peak RSS %6.1f MiB"
                  % (streams, "s" if streams > 1 else " ", mb / t, base / t, mb / retr, base_retr / retr, rss))
        direct = self.direct_upload(True)
        t, rss = self.server_upload(4)
        print("  STOR  4 streams  %7.1f MB/s   curl 4 appends in flight %7.1f MB/s   ratio %.2f   peak RSS %.1f MiB"
              % (mb / t, mb / direct, direct / t, rss))
        self.stack.emu.set_link(0, 0)

    def loopback(self):
        mb = self.size / 1e6
        print("loopback: %d MiB" % self.args.size_mib)
        curl = self.direct_download(1)
        t, rss = self.server_download(4)
        t1, _ = self.server_download(1)
        print("  RETR  4 streams  %7.1f MB/s   1 stream %7.1f MB/s   curl %7.1f MB/s   ratio %.2f (1 stream %.2f)"
              % (mb / t, mb / t1, mb / curl, curl / t, curl / t1))
        seq = self.direct_upload(False)
        par = self.direct_upload(True)
        u, urss = self.server_upload(4)
        print("  STOR  4 streams  %7.1f MB/s   curl parts in turn %7.1f MB/s (ratio %.2f)   "
              "curl 4 pieces at once %7.1f MB/s (ratio %.2f)" % (mb / u, mb / seq, seq / u, mb / par, par / u))
        quarter = self.size // 4
        _, rss_q = self.server_download(4, quarter)
        _, urss_q = self.server_upload(4, quarter)
        print("  peak RSS, 4 streams: RETR %.1f MiB at %d MiB, %.1f MiB at %d MiB; "
              "STOR %.1f MiB at %d MiB, %.1f MiB at %d MiB"
              % (rss_q, quarter // MiB, rss, self.args.size_mib, urss_q, quarter // MiB, urss, self.args.size_mib))

    def small_files(self, rate, raised):
        n = self.args.files
        self.policy(user_api_rate_limit=rate, transfer_streams=4)
        emu = self.stack.emu
        data = os.urandom(4096)
        ftp = ftplib.FTP()
        ftp.connect("127.0.0.1", self.stack.port, timeout=120)
        ftp.login("ann", "secret-ann")
        ftp.mkd("/small-%d" % rate)
        emu.clear_log()
        start = time.monotonic()
        for i in range(n):
            ftp.storbinary("STOR /small-%d/f%04d" % (rate, i), io.BytesIO(data))
        stor = time.monotonic() - start
        stor_log = emu.log()
        emu.clear_log()
        start = time.monotonic()
        for i in range(n):
            sink = io.BytesIO()
            ftp.retrbinary("RETR /small-%d/f%04d" % (rate, i), sink.write)
            if sink.getvalue() != data:
                raise SystemExit("file %d came back otherwise" % i)
        retr = time.monotonic() - start
        retr_log = emu.log()
        ftp.quit()

        def calls(log):
            paths = [e["path"] for e in log if not e["path"].startswith("/__emulator/")]
            return len(paths), len([p for p in paths if p not in UNPACED])

        (sc, sp), (rc, rp) = calls(stor_log), calls(retr_log)
        if raised:
            print("small files: %d of 4 KiB through one session, rate limit %d/s" % (n, rate))
            print("  STOR %6.2f ms per file, %.2f API calls per file" % (stor * 1000 / n, sc / n))
            print("  RETR %6.2f ms per file, %.2f API calls per file" % (retr * 1000 / n, rc / n))
        else:
            print("small files at the default rate limit (%d/s): pacing allows at best" % rate)
            for name, t, paced in (("STOR", stor, sp), ("RETR", retr, rp)):
                floor = paced / rate
                print("  %s %6.2f s for %d paced calls: floor %.2f s, time / floor %.3f"
                      % (name, t, paced, floor, t / floor if floor else float("nan")))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--size-mib", type=int, default=1024)
    parser.add_argument("--files", type=int, default=500)
    parser.add_argument("--latency-ms", type=int, default=20)
    parser.add_argument("--link-rate", type=int, default=52_000_000, help="bytes per second per connection")
    parser.add_argument("--only", choices=("long", "loopback", "small"), action="append",
                        help="run only these parts (repeatable)")
    args = parser.parse_args()
    parts = args.only or ["long", "loopback", "small"]
    bench = Bench(args)
    bench.start()
    try:
        if "long" in parts:
            bench.long_link()
        if "loopback" in parts:
            bench.loopback()
        if "small" in parts:
            bench.small_files(1000, True)
            bench.small_files(20, False)
    finally:
        bench.stop()


if __name__ == "__main__":
    main()
