"""The whole stack for end-to-end tests: the service emulator, the FTP server
loading the storage plug-in, and helpers to drive curl, lftp and ftplib.

    stack = Stack()
    stack.start()                  # emulator + server on ephemeral ports
    stack.put("/docs/a.txt", b"x") # seeds the account's storage directly
    ftp = stack.ftp()              # logged-in ftplib.FTP
    stack.stop()

or `with Stack() as stack:` to start and stop it around a block, and
`with stack.session() as ftp:` for a session that says QUIT at the end.
Test classes that share one stack derive from SharedStackTest.
"""

import contextlib
import ftplib
import hashlib
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

SOURCE_DIR = os.environ.get("ORVEL_SOURCE_DIR") or os.path.abspath(
    os.path.join(os.path.dirname(__file__), "..", ".."))
BINARY_DIR = os.environ.get("ORVEL_BINARY_DIR") or os.path.join(SOURCE_DIR, "build")
SERVER = os.path.join(BINARY_DIR, "server", "orvel-gridftp-server")
PLUGIN = os.path.join(BINARY_DIR, "src", "liborvel_gridftp_server_dropbox.so")

sys.path.insert(0, os.path.join(SOURCE_DIR, "emulator"))
from harness import Emulator  # noqa: E402
from pki import SUBJECTS, make_pki  # noqa: E402

# Test users: (login, password, emulator access token, account id, namespace)
USERS = [
    ("ann", "secret-ann", "T", "dbid:AAAApersonal", "1000"),
]

BLOCK = 4 * 1024 * 1024


def content_hash(chunks):
    """The service's content hash: SHA-256 over the SHA-256 digests of the
    consecutive 4 MiB blocks of the file."""
    outer = hashlib.sha256()
    block = hashlib.sha256()
    in_block = 0
    for chunk in chunks:
        view = memoryview(chunk)
        while len(view):
            take = min(len(view), BLOCK - in_block)
            block.update(view[:take])
            in_block += take
            view = view[take:]
            if in_block == BLOCK:
                outer.update(block.digest())
                block = hashlib.sha256()
                in_block = 0
    if in_block:
        outer.update(block.digest())
    return outer.hexdigest()


def generated_chunks(size, seed=1, chunk=1 << 20):
    """Deterministic pseudo-random data of `size` bytes, made chunk by chunk."""
    counter = 0
    left = size
    while left > 0:
        piece = hashlib.sha512(b"%d-%d" % (seed, counter)).digest() * (chunk // 64)
        counter += 1
        piece = piece[:min(chunk, left)]
        left -= len(piece)
        yield piece


class GeneratedStream:
    """A read-only file object over generated_chunks, for ftplib uploads."""

    def __init__(self, size, seed=1):
        self._chunks = generated_chunks(size, seed)
        self._pending = b""

    def read(self, n=-1):
        while len(self._pending) < max(n, 1):
            try:
                self._pending += next(self._chunks)
            except StopIteration:
                break
        if n < 0:
            n = len(self._pending)
        out, self._pending = self._pending[:n], self._pending[n:]
        return out


class Stack:
    def __init__(self, server_args=(), users=USERS, policy=None, tls=False, env=None):
        self.server_args = list(server_args)
        self.extra_env = env or {}  # more environment for the server
        self.tls = tls  # True: a throw-away PKI (self.pki), the server's TLS settings, a certificate map
        self.policy = policy  # storage policy document (dict), None = none
        self.users = users
        self.emu = None
        self.server = None
        self.tmp = None
        self.port = None
        self.implicit_port = None  # the implicit-TLS port, when the server listens on one
        self.pki = None
        self.exit_code = None  # the server's exit status after stop()

    # -- lifecycle ---------------------------------------------------------

    def start(self, timeout=20):
        self.emu = Emulator()
        self.emu.start()
        self.tmp = tempfile.mkdtemp(prefix="orvel-e2e-")
        users_lines = []
        expiry = time.strftime("%Y-%m-%dT%H:%M:%S.000000+00:00", time.gmtime(time.time() + 86400))
        for login, password, token, account, ns in self.users:
            creds = os.path.join(self.tmp, "creds-%s.json" % login)
            with open(creds, "w") as f:
                json.dump({"access_token": token, "token_expiry": expiry, "sub": account,
                           "root_info": {"root_namespace_id": ns, "home_namespace_id": ns}}, f)
            line = subprocess.run([SERVER, "--hash-password", login], input=password + "\n",
                                  capture_output=True, text=True, check=True).stdout.strip()
            users_lines.append(line)
        self.users_file = os.path.join(self.tmp, "users")
        with open(self.users_file, "w") as f:
            f.write("\n".join(users_lines) + "\n")
        self.log_file = os.path.join(self.tmp, "server.log")
        self.port_file = os.path.join(self.tmp, "server.port")
        self.env = dict(os.environ, **self.extra_env)
        self.env["ORVEL_DSI_REST_CAINFO"] = self.emu.ca
        self.env["ORVEL_DSI_REST_CONNECT_TO"] = (
            "api.dropboxapi.com:443:127.0.0.1:%d,content.dropboxapi.com:443:127.0.0.1:%d"
            % (self.emu.port, self.emu.port))
        cmd = [SERVER, "--port", "0", "--port-file", self.port_file, "--plugin", PLUGIN,
               "--users", self.users_file, "--creds", os.path.join(self.tmp, "creds-%u.json"),
               "--log", self.log_file, "--login-delay-ms", "50", "--data-timeout", "20",
               "--idle-timeout", "120"] + self.server_args
        if self.tls:
            os.mkdir(os.path.join(self.tmp, "pki"))
            self.pki = make_pki(os.path.join(self.tmp, "pki"))
            cert_map = os.path.join(self.tmp, "cert-map")
            with open(cert_map, "w") as f:
                f.write('"%s" ann\n"%s" ann\n' % (SUBJECTS["ann"], SUBJECTS["revoked"]))
            cmd += ["--tls-certificate", self.pki["server"], "--tls-key", self.pki["server_key"],
                    "--tls-ca", self.pki["ca"], "--tls-crl", self.pki["crl"], "--cert-map", cert_map]
        if self.policy is not None:
            policy_file = os.path.join(self.tmp, "policy.json")
            with open(policy_file, "w") as f:
                json.dump(self.policy, f)
            cmd += ["--policy", policy_file]
        # Output goes to files: a pipe nobody reads could fill up and stall the server.
        self.server_out = open(os.path.join(self.tmp, "server.out"), "w+")
        self.server = subprocess.Popen(cmd, env=self.env, stdout=self.server_out, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if os.path.exists(self.port_file):
                with open(self.port_file) as f:
                    text = f.read().strip()
                if text:
                    ports = [int(p) for p in text.split()]
                    self.port = ports[0]
                    self.implicit_port = ports[1] if len(ports) > 1 else None
                    return self
            if self.server.poll() is not None:
                break
            time.sleep(0.02)
        output = self.server_output()
        self.stop()
        raise RuntimeError("the FTP server did not start: %s" % output)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc_info):
        self.stop()

    def stop(self):
        if self.server is not None:
            if self.server.poll() is None:
                self.server.send_signal(signal.SIGTERM)
                try:
                    self.server.wait(timeout=15)
                except subprocess.TimeoutExpired:
                    self.server.kill()
                    self.server.wait()
            self.exit_code = self.server.returncode
            self.server_out.close()
            self.server = None
            output = self.server_output()
            if "Sanitizer" in output:  # reports of a sanitizer build, session processes included
                sys.stderr.write("\n--- server output ---\n%s\n" % output)
        if self.emu is not None:
            self.emu.stop()
            self.emu = None
        if self.tmp:
            shutil.rmtree(self.tmp, ignore_errors=True)
            self.tmp = None

    def server_output(self):
        """What the server printed on standard output and error."""
        try:
            with open(os.path.join(self.tmp, "server.out")) as f:
                return f.read()
        except OSError:
            return ""

    def server_log(self):
        try:
            with open(self.log_file) as f:
                return f.read()
        except OSError:
            return ""

    # -- storage -----------------------------------------------------------

    def local(self, path, ns="1000"):
        """Where the emulator keeps `path` of the account's storage."""
        return self.emu.ns_path(ns, *[p for p in path.split("/") if p])

    def put(self, path, data):
        full = self.local(path)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "wb") as f:
            f.write(data)

    def mkdir(self, path):
        os.makedirs(self.local(path), exist_ok=True)

    def read(self, path):
        with open(self.local(path), "rb") as f:
            return f.read()

    # -- clients -----------------------------------------------------------

    def ftp(self, user="ann", password="secret-ann", timeout=60):
        f = ftplib.FTP()
        try:
            f.connect("127.0.0.1", self.port, timeout=timeout)  # a refused greeting (421) raises here
            f.login(user, password)
        except BaseException:
            f.close()
            raise
        return f

    @contextlib.contextmanager
    def session(self, **login):
        """A logged-in ftplib.FTP (arguments as for ftp()) that quits at the end."""
        f = self.ftp(**login)
        try:
            yield f
        finally:
            f.quit()

    def url(self, path=""):
        return "ftp://127.0.0.1:%d%s" % (self.port, path)

    def curl(self, *args, user="ann:secret-ann", check=True, timeout=120):
        cmd = ["curl", "-sS", "--max-time", str(timeout - 5), "--user", user] + list(args)
        result = subprocess.run(cmd, capture_output=True, timeout=timeout)
        if check and result.returncode != 0:
            raise AssertionError("curl %s failed (%d): %s\nserver log:\n%s" % (
                args, result.returncode, result.stderr.decode(errors="replace"), self.server_log()))
        return result

    def lftp(self, commands, user="ann", password="secret-ann", timeout=120):
        script = ("set ftp:ssl-allow no; set net:max-retries 1; set net:timeout 30; set cmd:fail-exit yes; "
                  "open -u %s,%s ftp://127.0.0.1:%d; %s" % (user, password, self.port, commands))
        result = subprocess.run(["lftp", "-c", script], capture_output=True, timeout=timeout)
        if result.returncode != 0:
            raise AssertionError("lftp %r failed (%d): %s\nserver log:\n%s" % (
                commands, result.returncode, result.stderr.decode(errors="replace"), self.server_log()))
        return result.stdout.decode()


class FtpTestCase(unittest.TestCase):
    def assertRefused(self, code, call, *args, **kwargs):
        """Runs an ftplib call that must fail with a reply of `code` ("550",
        or a tuple of codes of one class such as ("502", "553")); returns the
        reply's text for further checks."""
        codes = (code,) if isinstance(code, str) else tuple(code)
        error = ftplib.error_temp if codes[0].startswith("4") else ftplib.error_perm
        with self.assertRaises(error) as cm:
            call(*args, **kwargs)
        text = str(cm.exception)
        self.assertIn(text[:3], codes, text)
        return text


class SharedStackTest(FtpTestCase):
    """Tests that share one stack, started before the class's first test and
    stopped after its last. A subclass sets STACK_OPTIONS (Stack's arguments),
    seeds the storage in seed(), and sets SHARED_FTP to have one logged-in
    session as cls.ftp as well."""

    STACK_OPTIONS = {}
    SHARED_FTP = False

    @classmethod
    def setUpClass(cls):
        cls.ftp = None
        cls.stack = Stack(**cls.STACK_OPTIONS).start()
        try:
            cls.seed()
            if cls.SHARED_FTP:
                cls.ftp = cls.stack.ftp()
        except BaseException:
            cls.stack.stop()
            raise

    @classmethod
    def seed(cls):
        """Puts what the tests need in the account's storage."""

    @classmethod
    def tearDownClass(cls):
        if cls.ftp is not None:
            try:
                cls.ftp.quit()
            except ftplib.all_errors:
                pass
        cls.stack.stop()
