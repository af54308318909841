#!/usr/bin/python3
"""Throughput of the FTP server against curl straight at the emulator.

Starts the emulator and the server with TLS (as the end-to-end tests do),
then in one run:
  download: curl through the server (ftp://) vs. curl GET /2/files/download
  upload:   curl -T through the server (ALLO announced, so the storage appends
            in 100 MiB parts) vs. curl running the same upload session
            (start, append_v2 per 100 MiB part, finish) against the emulator.
The server runs go once in clear text and once with TLS (curl --ssl-reqd:
AUTH TLS, PROT P, the data connection resuming the control session).
Each transfer runs --repeat times, the kinds alternating. Prints MB/s, the
ratios (direct time / server time; 1.0 = no overhead) of the best and of the
median runs, TLS against clear text, the session processes' CPU time per GiB,
and their peak resident memory (VmHWM).

    ORVEL_BINARY_DIR=build /usr/bin/python3 bench/ftp.py [--size-mib 1024] [--repeat 3]
"""

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
from stack import Stack  # noqa: E402

MiB = 1024 * 1024
PART = 100 * MiB


def make_file(path, size):
    block = os.urandom(MiB)
    with open(path, "wb") as f:
        left = size
        while left > 0:
            n = min(left, MiB)
            f.write(block[:n])
            left -= n


class PeakMemory:
    """Polls the server's session children for their VmHWM while a transfer runs."""

    def __init__(self, server_pid):
        self.server_pid = server_pid
        self.peak_kib = 0
        self.cpu_seconds = 0.0  # user + system time of the session process, last seen
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)

    def _children(self):
        try:
            with open("/proc/%d/task/%d/children" % (self.server_pid, self.server_pid)) as f:
                return [int(p) for p in f.read().split()]
        except OSError:
            return []

    def _run(self):
        while not self._stop.is_set():
            for pid in self._children():
                try:
                    with open("/proc/%d/status" % pid) as f:
                        for line in f:
                            if line.startswith("VmHWM:"):
                                self.peak_kib = max(self.peak_kib, int(line.split()[1]))
                    with open("/proc/%d/stat" % pid) as f:
                        fields = f.read().rsplit(")", 1)[1].split()
                        ticks = int(fields[11]) + int(fields[12])  # utime, stime
                        self.cpu_seconds = max(self.cpu_seconds, ticks / os.sysconf("SC_CLK_TCK"))
                except (OSError, ValueError, IndexError):
                    pass
            self._stop.wait(0.05)

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join()


def timed(cmd):
    start = time.monotonic()
    r = subprocess.run(cmd, capture_output=True)
    elapsed = time.monotonic() - start
    if r.returncode != 0:
        raise SystemExit("command failed (%d): %s\n%s" % (r.returncode, " ".join(cmd), r.stderr.decode()))
    return elapsed, r.stdout


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--size-mib", type=int, default=1024)
    parser.add_argument("--repeat", type=int, default=3, help="runs of each transfer (best and median shown)")
    args = parser.parse_args()
    size = args.size_mib * MiB

    stack = Stack(server_args=["--data-timeout", "120"], tls=True)
    stack.start()
    tmp = tempfile.mkdtemp(prefix="orvel-bench-")
    try:
        emu = stack.emu
        connect = ["--cacert", emu.ca,
                   "--connect-to", "api.dropboxapi.com:443:127.0.0.1:%d" % emu.port,
                   "--connect-to", "content.dropboxapi.com:443:127.0.0.1:%d" % emu.port]
        auth = ["-H", "Authorization: Bearer T"]
        src = os.path.join(tmp, "src.bin")
        make_file(src, size)
        os.makedirs(stack.local("/bench"), exist_ok=True)
        shutil.copyfile(src, stack.local("/bench/big.bin"))
        # Parts for the direct upload session (curl -T streams a file; prepared untimed).
        parts = []
        with open(src, "rb") as f:
            i = 0
            while True:
                data = f.read(PART)
                if not data:
                    break
                p = os.path.join(tmp, "part%03d" % i)
                with open(p, "wb") as out:
                    out.write(data)
                parts.append((p, len(data)))
                i += 1

        # Warm-up: the emulator hashes a new file on first sight.
        warm = subprocess.run(["curl", "-sS", "--user", "ann:secret-ann", stack.url("/bench/")],
                              capture_output=True)
        if warm.returncode != 0:
            raise SystemExit("listing failed: %s\n%s" % (warm.stderr.decode(), stack.server_log()))

        def rpc(endpoint, arg, body_file=None):
            cmd = ["curl", "-sS", "-X", "POST", "-H", "Content-Type: application/octet-stream",
                   "-H", "Dropbox-API-Arg: " + json.dumps(arg)] + connect + auth
            cmd += ["-T", body_file] if body_file else ["--data-binary", ""]
            r = subprocess.run(cmd + ["https://content.dropboxapi.com" + endpoint], capture_output=True,
                               check=True)
            return json.loads(r.stdout) if r.stdout.strip() else {}

        def direct_download():
            return timed(["curl", "-sS", "-o", "/dev/null"] + connect + auth +
                         ["-H", "Dropbox-API-Arg: " + json.dumps({"path": "/bench/big.bin"}),
                          "https://content.dropboxapi.com/2/files/download"])[0]

        tls = ["--ssl-reqd", "--cacert", stack.pki["ca"]]

        def server_download(protected):
            return timed(["curl", "-sS", "-o", "/dev/null", "--user", "ann:secret-ann"] + (tls if protected else [])
                         + [stack.url("/bench/big.bin")])[0]

        def direct_upload():
            start = time.monotonic()
            session = rpc("/2/files/upload_session/start", {"close": False})["session_id"]
            offset = 0
            for p, n in parts:
                rpc("/2/files/upload_session/append_v2", {"cursor": {"session_id": session, "offset": offset},
                                                          "close": False}, p)
                offset += n
            rpc("/2/files/upload_session/finish", {"cursor": {"session_id": session, "offset": offset},
                                                   "commit": {"path": "/bench/up-direct.bin", "mode": "overwrite"}})
            return time.monotonic() - start

        def server_upload(protected):
            return timed(["curl", "-sS", "--user", "ann:secret-ann", "-Q", "ALLO %d" % size]
                         + (tls if protected else []) + ["-T", src, stack.url("/bench/up-server.bin")])[0]

        # Alternating runs, so that load from elsewhere on the machine hits every kind alike.
        kinds = ("direct_dl", "server_dl", "tls_dl", "direct_ul", "server_ul", "tls_ul")
        times = {k: [] for k in kinds}
        cpu = {k: [] for k in kinds}
        mem_dl = mem_ul = 0
        runs = {"direct_dl": direct_download, "server_dl": lambda: server_download(False),
                "tls_dl": lambda: server_download(True), "direct_ul": direct_upload,
                "server_ul": lambda: server_upload(False), "tls_ul": lambda: server_upload(True)}
        for _ in range(args.repeat):
            for kind in kinds:
                if kind.startswith("direct"):
                    times[kind].append(runs[kind]())
                    continue
                with PeakMemory(stack.server.pid) as mem:
                    times[kind].append(runs[kind]())
                cpu[kind].append(mem.cpu_seconds)
                if kind.endswith("dl"):
                    mem_dl = max(mem_dl, mem.peak_kib)
                else:
                    mem_ul = max(mem_ul, mem.peak_kib)
        for name in ("up-direct.bin", "up-server.bin"):
            got = os.path.getsize(stack.local("/bench/" + name))
            if got != size:
                raise SystemExit("%s has %d bytes, expected %d" % (name, got, size))

        mb = size / 1e6
        print("size: %d MiB, %d run(s) each, best run shown (median in brackets)" % (args.size_mib, args.repeat))
        print("%-9s %18s %18s %14s" % ("", "direct MB/s", "server MB/s", "ratio"))
        for name, d, sv in (("download", "direct_dl", "server_dl"), ("upload", "direct_ul", "server_ul")):
            td, ts = min(times[d]), min(times[sv])
            md, ms = statistics.median(times[d]), statistics.median(times[sv])
            print("%-9s %8.1f (%7.1f) %8.1f (%7.1f) %5.2f (%5.2f)"
                  % (name, mb / td, mb / md, mb / ts, mb / ms, td / ts, md / ms))
        print("\nTLS (PROT P) vs. clear text through the server, best run (median in brackets):")
        print("%-9s %18s %18s %14s %22s" % ("", "clear MB/s", "TLS MB/s", "TLS/clear", "CPU s/GiB clear | TLS"))
        gib = size / (1024 ** 3)
        for name, clear, protected in (("download", "server_dl", "tls_dl"), ("upload", "server_ul", "tls_ul")):
            tc, tt = min(times[clear]), min(times[protected])
            mc, mt = statistics.median(times[clear]), statistics.median(times[protected])
            print("%-9s %8.1f (%7.1f) %8.1f (%7.1f) %5.2f (%5.2f) %10.2f | %.2f"
                  % (name, mb / tc, mb / mc, mb / tt, mb / mt, tc / tt, mc / mt,
                     statistics.median(cpu[clear]) / gib, statistics.median(cpu[protected]) / gib))
        print("session process peak RSS (VmHWM): download %.1f MiB, upload %.1f MiB"
              % (mem_dl / 1024, mem_ul / 1024))
    finally:
        stack.stop()
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
