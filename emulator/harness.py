"""Start and drive a dropbox-emulator process from Python tests.

    from harness import Emulator
    emu = Emulator()            # fresh temp root, test CA, default accounts
    emu.start()
    status, headers, body = emu.request("POST", "/2/files/list_folder", token="T",
                                        json_body={"path": ""})
    emu.stop()                  # SIGTERM; asserts a clean exit

Default accounts: "T" personal (namespace 1000), "TEAM" team member (root 2000,
home 2001 = folder "Ann Member"), "OLD" expired personal (namespace 3000).
"""

import http.client
import json
import os
import shutil
import signal
import ssl
import subprocess
import tempfile
import threading

HERE = os.path.dirname(os.path.abspath(__file__))
EMULATOR = os.path.join(HERE, "dropbox_emulator.py")
MAKE_CA = os.path.join(HERE, "make-test-ca.sh")
PYTHON = "/usr/bin/python3"

API_HOST = "api.dropboxapi.com"
CONTENT_HOST = "content.dropboxapi.com"

DEFAULT_ACCOUNTS = [
    {"access_token": "T", "account_id": "dbid:AAAApersonal", "root_namespace_id": "1000",
     "home_namespace_id": "1000"},
    {"access_token": "TEAM", "account_id": "dbid:AAAAteammember", "root_namespace_id": "2000",
     "home_namespace_id": "2001", "home_folder_name": "Ann Member"},
    {"access_token": "OLD", "account_id": "dbid:AAAAexpired", "root_namespace_id": "3000",
     "home_namespace_id": "3000", "token_expiry": "2020-01-01T00:00:00Z"},
]

CONTENT_PATHS = ("/2/files/download", "/2/files/upload")


def make_ca(directory):
    subprocess.run(["sh", MAKE_CA, directory], check=True)
    return os.path.join(directory, "ca.pem")


class Emulator:
    def __init__(self, accounts=None, plain_http=False, rate_limit=0, extra_args=()):
        self.accounts = accounts or DEFAULT_ACCOUNTS
        self.plain_http = plain_http
        self.rate_limit = rate_limit
        self.extra_args = list(extra_args)
        self.proc = None
        self.port = None
        self.tmp = None

    # -- lifecycle --------------------------------------------------------------

    def start(self, timeout=20):
        self.tmp = tempfile.mkdtemp(prefix="emu-test-")
        self.root = os.path.join(self.tmp, "root")
        self.ca_dir = os.path.join(self.tmp, "ca")
        self.ca = make_ca(self.ca_dir)
        self.accounts_file = os.path.join(self.tmp, "accounts.json")
        with open(self.accounts_file, "w") as f:
            json.dump({"accounts": self.accounts}, f)
        self.port_file = os.path.join(self.tmp, "port")
        cmd = [PYTHON, EMULATOR, "--root", self.root, "--accounts", self.accounts_file,
               "--port", "0", "--port-file", self.port_file]
        if self.plain_http:
            cmd.append("--plain-http")
        else:
            cmd += ["--cert", os.path.join(self.ca_dir, "server.pem"),
                    "--key", os.path.join(self.ca_dir, "server-key.pem")]
        if self.rate_limit:
            cmd += ["--rate-limit", str(self.rate_limit)]
        cmd += self.extra_args
        self.proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        line = [None]

        def read_first():
            line[0] = self.proc.stdout.readline()

        t = threading.Thread(target=read_first, daemon=True)
        t.start()
        t.join(timeout)
        text = line[0] or ""
        if "listening on" not in text:
            self.proc.kill()
            err = self.proc.stderr.read()
            raise RuntimeError("emulator did not start: %r %s" % (text, err))
        self.port = int(text.rsplit(":", 1)[1])
        self.scheme = "http" if self.plain_http else "https"
        return self

    def stop(self, timeout=10):
        """SIGTERM the emulator; returns its exit code."""
        if self.proc is None:
            return None
        self.proc.send_signal(signal.SIGTERM)
        try:
            rc = self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            rc = "killed"
        self.stderr = self.proc.stderr.read()
        self.proc.stdout.close()
        self.proc.stderr.close()
        self.proc = None
        if self.tmp:
            shutil.rmtree(self.tmp, ignore_errors=True)
        return rc

    def ns_path(self, ns, *parts):
        """Disk path of a file inside a namespace folder."""
        return os.path.join(self.root, "ns", ns, *parts)

    # -- HTTP -------------------------------------------------------------------

    def connection(self, timeout=30):
        if self.plain_http:
            return http.client.HTTPConnection("127.0.0.1", self.port, timeout=timeout)
        ctx = ssl.create_default_context(cafile=self.ca)
        return http.client.HTTPSConnection("127.0.0.1", self.port, timeout=timeout, context=ctx)

    def request(self, method, path, token=None, json_body=None, arg=None, body=None, headers=None,
                path_root=None, conn=None, chunked=False, timeout=30):
        """One request; returns (status, headers dict with lower-case names, body bytes)."""
        hdrs = {"Host": CONTENT_HOST if path.startswith(CONTENT_PATHS) or "upload_session" in path
                else API_HOST}
        if token is not None:
            hdrs["Authorization"] = "Bearer " + token
        if path_root is not None:
            hdrs["Dropbox-API-Path-Root"] = path_root if isinstance(path_root, str) else json.dumps(path_root)
        if json_body is not None:
            body = json.dumps(json_body).encode()
            hdrs["Content-Type"] = "application/json"
        if arg is not None:
            hdrs["Dropbox-API-Arg"] = arg if isinstance(arg, str) else json.dumps(arg)
            if method == "POST" and path != "/2/files/download":
                hdrs["Content-Type"] = "application/octet-stream"
        hdrs.update(headers or {})
        own = conn is None
        conn = conn or self.connection(timeout)
        try:
            if chunked:
                conn.request(method, path, body=body, headers=hdrs, encode_chunked=True)
            else:
                conn.request(method, path, body=body, headers=hdrs)
            resp = conn.getresponse()
            data = resp.read()
            return resp.status, {k.lower(): v for k, v in resp.getheaders()}, data
        finally:
            if own:
                conn.close()

    def rpc(self, endpoint, args, token="T", path_root=None):
        """RPC call; returns (status, parsed JSON or text)."""
        status, headers, data = self.request("POST", "/2/" + endpoint, token=token, json_body=args,
                                             path_root=path_root)
        if headers.get("content-type") == "application/json":
            return status, json.loads(data)
        return status, data.decode("utf-8", "replace")

    def upload(self, path, data, token="T", path_root=None, **args):
        args = dict(args, path=path)
        status, headers, body = self.request("POST", "/2/files/upload", token=token, arg=args, body=data,
                                             path_root=path_root)
        return status, json.loads(body) if headers.get("content-type") == "application/json" else body

    def download(self, path, token="T", range_header=None, path_root=None):
        hdrs = {"Range": range_header} if range_header else None
        return self.request("GET", "/2/files/download", token=token, arg={"path": path}, headers=hdrs,
                            path_root=path_root)

    def control(self, method, name, value=None):
        body = json.dumps(value).encode() if value is not None else None
        status, _, data = self.request(method, "/__emulator/" + name, body=body)
        if status != 200:
            raise RuntimeError("control %s %s: %d %s" % (method, name, status, data))
        return json.loads(data)

    def add_faults(self, rules):
        return self.control("POST", "faults", rules)

    def clear_faults(self):
        return self.control("DELETE", "faults")

    def log(self):
        return self.control("GET", "log")

    def clear_log(self):
        return self.control("DELETE", "log")

    def set_rate_limit(self, per_second):
        return self.control("POST", "rate_limit", {"per_second": per_second})

    def set_link(self, latency_ms=0, bytes_per_second=0):
        """Make the emulator behave like a far-away service (0 = off)."""
        return self.control("POST", "link", {"latency_ms": latency_ms, "bytes_per_second": bytes_per_second})

    def set_write_contention(self, hold_ms=0, retry_after=1):
        """Commits within hold_ms of each other in one namespace get 429 (0 = off)."""
        return self.control("POST", "write_contention", {"hold_ms": hold_ms, "retry_after": retry_after})
