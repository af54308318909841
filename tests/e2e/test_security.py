"""The server in the open: TLS with clients nobody here wrote (curl, lftp,
Python's ftplib, openssl s_client), certificate logins, protected data
connections, and the limits on abuse. Grouped by how the server is set up."""

import ftplib
import os
import socket
import ssl
import subprocess
import threading
import time

from stack import SharedStackTest

DATA = b"protected content\n" * 1000


def read_reply(sock_file):
    """One complete reply (multi-line included) from a control connection."""
    line = sock_file.readline().decode()
    if line[3:4] == "-":
        while not (line[:3].isdigit() and line[3:4] == " "):
            line = sock_file.readline().decode()
            if not line:
                break
    return line


class ResumingFTP_TLS(ftplib.FTP_TLS):
    """FTP_TLS that resumes the control connection's TLS session on data
    connections, as curl and lftp do."""

    def ntransfercmd(self, cmd, rest=None):
        conn, size = ftplib.FTP.ntransfercmd(self, cmd, rest)
        if self._prot_p:
            conn = self.context.wrap_socket(conn, server_hostname=self.host, session=self.sock.session)
        return conn, size


class StrictTlsTest(SharedStackTest):
    """TLS with the defaults: data connections must resume the control
    connection's session; certificate logins through a map; an implicit-TLS
    port; a short login deadline."""

    STACK_OPTIONS = {"tls": True, "server_args": ["--implicit-tls-port", "0", "--login-timeout", "4"]}

    @classmethod
    def seed(cls):
        cls.stack.put("/docs/a.bin", DATA)

    def curl_tls(self, *args, user="ann:secret-ann", check=True):
        tls = ["--ssl-reqd", "--cacert", self.stack.pki["ca"]]
        return self.stack.curl(*(tls + list(args)), user=user, check=check)

    def test_curl_password_login_explicit_and_implicit(self):
        self.assertEqual(self.curl_tls(self.stack.url("/docs/a.bin")).stdout, DATA)
        src = os.path.join(self.stack.tmp, "up.bin")
        with open(src, "wb") as f:
            f.write(DATA[::-1])
        self.curl_tls("-T", src, self.stack.url("/docs/up.bin"))
        self.assertEqual(self.stack.read("/docs/up.bin"), DATA[::-1])
        # Implicit TLS (ftps://) on its own port.
        implicit = "ftps://127.0.0.1:%d/docs/a.bin" % self.stack.implicit_port
        self.assertEqual(self.curl_tls(implicit).stdout, DATA)

    def test_lftp_ssl_force_and_protected_data(self):
        script = ("set ssl:ca-file %s; set ftp:ssl-force yes; set ftp:ssl-protect-data yes; "
                  "set net:max-retries 1; set cmd:fail-exit yes; open -u ann,secret-ann ftp://127.0.0.1:%d; "
                  "cat /docs/a.bin" % (self.stack.pki["ca"], self.stack.port))
        r = subprocess.run(["lftp", "-c", script], capture_output=True, timeout=60)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stdout, DATA)

    def test_openssl_s_client_starttls_and_the_rfc_4217_commands(self):
        commands = b"FEAT\nPBSZ 0\nPROT P\nCCC\nPROT S\nUSER ann\nPASS secret-ann\nQUIT\n"
        r = subprocess.run(["openssl", "s_client", "-starttls", "ftp", "-connect", "127.0.0.1:%d" % self.stack.port,
                            "-CAfile", self.stack.pki["ca"], "-verify_return_error", "-crlf", "-quiet"],
                           input=commands, capture_output=True, timeout=60)
        out = r.stdout.decode()
        for expected in (" AUTH TLS", " PROT", "200 PBSZ=0", "200 Protection level set to P", "534 ", "536 ",
                         "230 User ann logged in", "221 "):
            self.assertIn(expected, out)

    def test_data_connection_without_the_tls_session_is_refused(self):
        context = ssl.create_default_context(cafile=self.stack.pki["ca"])
        # Python's ftplib does not resume sessions: refused by default.
        plain = ftplib.FTP_TLS(context=context)
        plain.connect("127.0.0.1", self.stack.port, timeout=60)
        plain.login("ann", "secret-ann")
        plain.prot_p()
        got = []
        with self.assertRaises((ssl.SSLError, OSError, ftplib.Error)):
            plain.retrbinary("RETR /docs/a.bin", got.append)
        self.assertEqual(got, [])
        plain.close()
        ftp = ResumingFTP_TLS(context=context)
        ftp.connect("127.0.0.1", self.stack.port, timeout=30)
        ftp.login("ann", "secret-ann")
        ftp.prot_p()
        try:
            # A thief reaches the passive port first, with a TLS handshake of its own.
            port = ftp.makepasv()[1]
            thief = socket.create_connection(("127.0.0.1", port), timeout=30)
            stolen = []

            def steal():
                try:
                    context = ssl.create_default_context(cafile=self.stack.pki["ca"])
                    with context.wrap_socket(thief, server_hostname="127.0.0.1") as s:
                        stolen.append(s.recv(65536))
                except (OSError, ssl.SSLError):
                    pass

            robber = threading.Thread(target=steal)
            robber.start()
            conn = socket.create_connection(("127.0.0.1", port), timeout=30)
            ftp.sendcmd("TYPE I")
            ftp.putcmd("RETR /docs/a.bin")
            self.assertTrue(ftp.getresp().startswith("150"))
            conn = ftp.context.wrap_socket(conn, server_hostname="127.0.0.1", session=ftp.sock.session)
            got = b""
            while True:
                chunk = conn.recv(65536)
                if not chunk:
                    break
                got += chunk
            conn.close()
            self.assertTrue(ftp.voidresp().startswith("226"))
            robber.join(30)
            self.assertEqual(got, DATA)
            self.assertFalse(any(stolen), "the thief received data")
            self.assertIn("does not resume the control connection's TLS session", self.stack.server_log())
        finally:
            ftp.quit()

    def test_certificate_logins(self):  # curl and ftplib with client certificates
        pki = self.stack.pki
        url = self.stack.url("/docs/a.bin")
        # The user is implied by the map (curl without --user sends USER anonymous).
        r = subprocess.run(["curl", "-sS", "--ssl-reqd", "--cacert", pki["ca"], "--cert", pki["ann"],
                            "--key", pki["ann_key"], url], capture_output=True, timeout=60)
        self.assertEqual((r.returncode, r.stdout), (0, DATA), r.stderr)
        # A proxy certificate logs in as the certificate that issued it.
        r = self.curl_tls("--cert", pki["ann_proxy"], "--key", pki["ann_proxy_key"], url, user="ann:any")
        self.assertEqual(r.stdout, DATA)
        # A subject not in the map, or a revoked certificate: no login, whatever the password.
        for name, why in (("stranger", "not in the certificate map"), ("revoked", "certificate revoked")):
            context = ssl.create_default_context(cafile=pki["ca"])
            context.load_cert_chain(pki[name], pki[name + "_key"])
            ftp = ftplib.FTP_TLS(context=context)
            ftp.connect("127.0.0.1", self.stack.port, timeout=30)
            ftp.auth()
            self.assertIn(why, self.assertRefused("530", ftp.login, "ann", "guess"))
            ftp.close()

    def test_login_deadline_closes_silent_connections(self):
        with socket.create_connection(("127.0.0.1", self.stack.port), timeout=60) as s:
            f = s.makefile("rb")
            self.assertTrue(read_reply(f).startswith("220"))
            self.assertTrue(read_reply(f).startswith("421 Login time exceeded"))
            self.assertEqual(f.read(), b"")
        # Silent in the implicit-TLS handshake: closed too.
        with socket.create_connection(("127.0.0.1", self.stack.implicit_port), timeout=60) as s:
            self.assertEqual(s.recv(100), b"")


class RelaxedTlsTest(SharedStackTest):
    """Data-connection resumption relaxed for ftplib; clear-text logins
    refused as on a non-loopback address; active mode."""

    STACK_OPTIONS = {"tls": True, "server_args": ["--data-tls-resume", "optional", "--allow-clear-text", "no"]}

    @classmethod
    def seed(cls):
        cls.stack.put("/docs/a.bin", DATA)

    def ftps(self):
        ftp = ftplib.FTP_TLS(context=ssl.create_default_context(cafile=self.stack.pki["ca"]))
        ftp.connect("127.0.0.1", self.stack.port, timeout=30)
        ftp.login("ann", "secret-ann")
        ftp.prot_p()
        return ftp

    def test_ftplib_prot_p_passive_and_active(self):
        ftp = self.ftps()
        try:
            for passive in (True, False):
                ftp.set_pasv(passive)
                got = []
                ftp.retrbinary("RETR /docs/a.bin", got.append)
                self.assertEqual(b"".join(got), DATA)
            ftp.storbinary("STOR /docs/up.bin", GeneratedBytes(DATA[::-1]))
            self.assertEqual(self.stack.read("/docs/up.bin"), DATA[::-1])
            self.assertIn("a.bin", ftp.nlst("/docs"))
            # Active mode goes to the client's own address only, and to no privileged port.
            self.assertRefused("501", ftp.sendcmd, "PORT 10,0,0,1,200,10")
            self.assertRefused("501", ftp.sendcmd, "EPRT |1|127.0.0.2|5000|")
            self.assertRefused("501", ftp.sendcmd, "PORT 127,0,0,1,0,21")
        finally:
            ftp.quit()

    def test_clear_text_login_refused(self):
        ftp = ftplib.FTP()
        ftp.connect("127.0.0.1", self.stack.port, timeout=30)
        self.assertIn("TLS", self.assertRefused("530", ftp.login, "ann", "secret-ann"))
        ftp.close()


class GeneratedBytes:
    """A file object over bytes, for storbinary."""

    def __init__(self, data):
        self.data = data

    def read(self, n=-1):
        out, self.data = (self.data, b"") if n < 0 else (self.data[:n], self.data[n:])
        return out


class ClearTextLimitsTest(SharedStackTest):
    """Clear text on loopback: a stolen passive port, the per-address
    connection limit and the server-wide login throttle."""

    SPACING_MS = 400
    STACK_OPTIONS = {"server_args": ["--max-per-address", "4", "--login-delay-ms", str(SPACING_MS),
                                     "--max-login-failures", "10"],
                     "env": {"ORVEL_DSI_REST_VERBOSE": "1"}}

    @classmethod
    def seed(cls):
        cls.stack.put("/docs/a.bin", DATA)

    def test_stolen_passive_port_never_yields_226(self):
        with self.stack.session() as ftp:
            for command in ("RETR /docs/a.bin", "STOR /docs/a.bin"):
                port = ftp.makepasv()[1]
                thief = socket.create_connection(("127.0.0.1", port), timeout=30)  # first at the port
                conn = socket.create_connection(("127.0.0.1", port), timeout=30)
                if command.startswith("STOR"):
                    thief.sendall(b"forged")
                    thief.shutdown(socket.SHUT_WR)
                ftp.putcmd(command)
                replies = [ftp.getmultiline()]
                while replies[-1][:3] in ("150", "125"):
                    replies.append(ftp.getmultiline())
                thief.close()
                conn.close()
                self.assertFalse(any(r.startswith("226") for r in replies), replies)
            self.assertEqual(self.stack.read("/docs/a.bin"), DATA)
        self.assertIn("a second data connection", self.stack.server_log())

    def connect_when_allowed(self):
        """A session once the address is under its limit (sessions of other
        tests may still be ending)."""
        deadline = time.monotonic() + 30
        while True:
            try:
                return self.stack.ftp()
            except ftplib.error_temp:
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.05)

    def test_per_address_connection_limit(self):
        sessions = []
        try:
            while len(sessions) < 4:
                sessions.append(self.connect_when_allowed())
            with self.assertRaises(ftplib.error_temp) as cm:
                self.stack.ftp()
            self.assertIn("from your address", str(cm.exception))
        finally:
            for ftp in sessions:
                ftp.quit()
        # Once the sessions have ended, the address may connect again.
        self.connect_when_allowed().quit()

    def test_login_throttle_across_sessions(self):
        # One wrong password, then three guesses on three more connections at
        # once: the server answers them one after the other, SPACING_MS apart
        # (and each after its own pause), not side by side.
        first = ftplib.FTP()
        first.connect("127.0.0.1", self.stack.port, timeout=60)
        self.assertRefused("530", first.login, "ann", "wrong")
        start = time.monotonic()
        guessers = []
        for _ in range(3):
            ftp = ftplib.FTP()
            ftp.connect("127.0.0.1", self.stack.port, timeout=60)
            guessers.append(ftp)
        results = []

        def guess(ftp):
            try:
                ftp.login("ann", "also wrong")
            except ftplib.error_perm as e:
                results.append(str(e))

        threads = [threading.Thread(target=guess, args=(ftp,)) for ftp in guessers]
        for t in threads:
            t.start()
        for t in threads:
            t.join(60)
        elapsed = time.monotonic() - start
        for ftp in guessers + [first]:
            ftp.close()
        self.assertEqual(len(results), 3)
        # Side by side they would all be answered after one pause; the third
        # waits for three slots.
        self.assertGreaterEqual(elapsed, 3 * self.SPACING_MS / 1000 * 0.9)

    def test_hygiene(self):
        with self.stack.session() as ftp:
            ftp.putline(" NOOP")  # a command line starting with a blank gets a reply
            self.assertTrue(ftp.getline().startswith("500"))
            self.assertTrue(ftp.sendcmd("NOOP").startswith("200"))
            ftp.nlst("/docs")
        self.assertEqual(os.stat(self.stack.log_file).st_mode & 0o777, 0o640)
        # The REST library's verbose trace shows requests, never the token.
        trace = self.stack.server_output()
        self.assertIn("> Authorization: [not shown]", trace)
        self.assertNotIn("Bearer", trace)
