"""The HTTP layer: the request handler (replies, dispatch to the endpoints,
routing, the path root) and the server (TLS handshakes in the connections'
own threads)."""

import email.utils
import http.server
import json
import secrets
import socket
import ssl
import sys
import time
import traceback
import urllib.parse

from .accounts import View
from .arguments import DOWNLOAD, ROUTES, RPC, SCHEMAS, UPLOAD_STYLE, check_args
from .control import ControlApi
from .endpoints import FileEndpoints
from .faults import FaultInjection, Throttle
from .protocol import IO_CHUNK, MAX_REQUEST_DATA, Abort, ApiError, BadRequest, body_json
from .request_body import BodyReader
from .uploads import UploadEndpoints

THROTTLE_SLICE = 64 * 1024            # reply bytes sent at a time on a rate-limited link


class Handler(FileEndpoints, UploadEndpoints, ControlApi, FaultInjection,
              http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "dropbox-emulator"
    sys_version = ""
    rbufsize = 256 * 1024
    timeout = 300

    # -- plumbing --------------------------------------------------------------

    def setup(self):
        super().setup()
        try:
            self.connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        except OSError:
            pass

    def log_message(self, fmt, *args):
        if self.server.verbose:
            sys.stderr.write("dropbox-emulator: %s - %s\n" % (self.address_string(), fmt % args))

    def handle_one_request(self):
        try:
            super().handle_one_request()
        except (ConnectionError, ssl.SSLError, socket.timeout, Abort):
            self.close_connection = True

    def do_GET(self):
        self.dispatch()

    do_POST = do_PUT = do_DELETE = do_HEAD = do_PATCH = do_OPTIONS = do_GET

    # -- replies ----------------------------------------------------------------

    def begin_reply(self, status, headers, length):
        """Send the status line and headers; the body follows through write_body."""
        self.status = status
        reason = self.responses.get(status, ("Unknown",))[0]
        lines = ["HTTP/1.1 %d %s" % (status, reason),
                 "Date: " + email.utils.formatdate(usegmt=True),
                 "Server: dropbox-emulator",
                 "X-Dropbox-Request-Id: " + self.request_id]
        names = set()
        for k, v in headers:
            lines.append("%s: %s" % (k, v))
            names.add(k.lower())
        if self.out_fault is not None and not self.out_fault.content_length:
            # The close ends the body: a short body looks complete to HTTP.
            length = None
            self.close_connection = True
        if length is not None and "content-length" not in names:
            lines.append("Content-Length: %d" % length)
        if self.close_connection:
            lines.append("Connection: close")
        self.sent_body = 0
        self.connection.sendall(("\r\n".join(lines) + "\r\n\r\n").encode("latin-1", "replace"))

    def write_body(self, data):
        if self.throttle is not None and len(data) > THROTTLE_SLICE:
            view = memoryview(data)
            for i in range(0, len(view), THROTTLE_SLICE):
                self.write_body(view[i:i + THROTTLE_SLICE])
            return
        if self.throttle is not None:
            self.throttle.passing(len(data))
        fault = self.out_fault
        if fault is not None:
            limit = fault.after_bytes
            room = limit - self.sent_body
            if len(data) >= room:
                if room > 0:
                    self.connection.sendall(data[:room])
                    self.sent_body += room
                self.fault_close(fault)
        self.connection.sendall(data)
        self.sent_body += len(data)

    def fault_close(self, fault):
        if fault.action == "stall":
            time.sleep(fault.stall_ms / 1000.0)
        self.close_connection = True
        try:
            self.connection.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        raise Abort("fault: %s" % fault.action)

    def finish_body(self):
        if self.out_fault is not None:
            self.fault_close(self.out_fault)

    def settle_request_body(self):
        """Read what the client still sends before a reply (keep-alive)."""
        if self.no_drain:
            return
        if self.body is not None and not self.body.drain(MAX_REQUEST_DATA + IO_CHUNK):
            self.close_connection = True

    def reply(self, status, body=b"", ctype=None, headers=()):
        self.settle_request_body()
        hdrs = list(headers)
        if ctype:
            hdrs.insert(0, ("Content-Type", ctype))
        if self.malformed and ctype == "application/json" and status < 300:
            body = body[:max(1, len(body) // 2)]
        self.begin_reply(status, hdrs, len(body))
        if body and self.command != "HEAD":
            self.write_body(body)
        self.finish_body()

    def reply_json(self, value, status=200, headers=()):
        self.reply(status, body_json(value) if not isinstance(value, bytes) else value,
                   "application/json", headers)

    def reply_error(self, exc):
        err = exc.error
        body = {"error_summary": exc.summary, "error": err}
        self.reply(exc.status, body_json(body), "application/json", exc.headers)

    def reply_text(self, status, text):
        self.reply(status, text.encode("utf-8"), "text/plain; charset=utf-8")

    # -- dispatch ---------------------------------------------------------------

    def dispatch(self):
        svc = self.server.service
        self.request_id = secrets.token_hex(16)
        self.status = None
        self.body = None
        self.no_drain = False
        self.out_fault = None
        self.malformed = False
        self.throttle = None
        self.ignore_range = False
        self.corrupt = False
        url = urllib.parse.urlsplit(self.path)
        path = url.path
        self.query = urllib.parse.parse_qs(url.query)
        if path.startswith("/__emulator/"):
            return self.control(path)
        headers = {}
        for k, v in self.headers.items():
            headers[k] = "Bearer <redacted>" if k.lower() == "authorization" else v
        entry = {"seq": 0, "method": self.command, "path": path, "host": self.headers.get("Host"),
                 "headers": headers, "arg": None, "body_size": 0, "status": None,
                 "start": time.time(), "end": None}
        svc.log.start(entry)
        self.log_entry = entry
        try:
            try:
                _, rate = svc.link.get()
                self.throttle = Throttle(rate) if rate else None
                self.body = BodyReader(self.rfile, self.headers,
                                       Throttle(rate) if rate else None)
                svc.link.wait_round_trips(1)
                fault = svc.faults.match(path, self.command)
                if fault is not None and self.apply_fault(fault, path):
                    return
                self.route(path)
            except BadRequest as exc:
                self.reply_text(400, 'Error in call to API function "%s": %s' % (path[3:], exc))
            except ApiError as exc:
                self.reply_error(exc)
        except Abort:
            self.close_connection = True
            try:
                self.connection.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        except (ConnectionError, ssl.SSLError, socket.timeout):
            self.close_connection = True
        except Exception:
            traceback.print_exc()
            self.close_connection = True
            if self.status is None:
                try:
                    self.reply_text(500, "internal error in the emulator")
                except Exception:
                    pass
        finally:
            entry["status"] = self.status
            entry["body_size"] = self.body.consumed if self.body is not None else 0
            entry["end"] = time.time()

    def route(self, path):
        svc = self.server.service
        style = ROUTES.get(path)
        if style is None:
            self.settle_request_body()
            self.reply_text(404, "Unknown API function: %s" % path)
            return
        fn = path[3:]
        # authentication
        auth = self.headers.get("Authorization")
        if auth is None and "authorization" in self.query:
            auth = self.query["authorization"][0]
        if auth is None:
            raise BadRequest('Must provide HTTP header "Authorization" or URL parameter "authorization".')
        if not auth.startswith("Bearer ") or not auth[7:].strip():
            raise BadRequest("The given OAuth 2 access token is malformed.")
        account = svc.accounts.get(auth[7:].strip())
        if account is None:
            raise ApiError({".tag": "invalid_access_token"}, status=401)
        if account.expiry is not None and time.time() >= account.expiry:
            raise ApiError({".tag": "expired_access_token"}, status=401)
        view = self.path_root(account)
        if not svc.rate.allow(account.account_id):
            raise ApiError({"reason": {".tag": "too_many_requests"}, "retry_after": 1}, status=429,
                           headers=[("Retry-After", "1")], summary="too_many_requests/..")
        # arguments
        if style == RPC and SCHEMAS[fn] is None:
            # An endpoint without arguments takes no body, or the JSON null.
            if self.command != "POST":
                raise BadRequest("expected POST")
            raw = self.body.read_all(1024)
            if raw.strip() not in (b"", b"null"):
                raise BadRequest("request body: expected no arguments")
            self.log_entry["arg"] = None
            return getattr(self, "h_" + fn.replace("/", "_"))(svc, view, None)
        if style == RPC:
            if self.command != "POST":
                raise BadRequest("expected POST")
            ctype = (self.headers.get("Content-Type") or "").split(";")[0].strip().lower()
            if ctype not in ("application/json", "text/plain"):
                raise BadRequest('Bad HTTP "Content-Type" header: "%s".  Expecting one of '
                                 '"application/json", "application/json; charset=utf-8", '
                                 '"text/plain; charset=dropbox-cors-hack".'
                                 % (self.headers.get("Content-Type") or ""))
            raw = self.body.read_all(1024 * 1024)
            try:
                arg = json.loads(raw.decode("utf-8"))
            except (UnicodeDecodeError, ValueError):
                self.log_entry["arg"] = None
                raise BadRequest("request body: could not decode input as JSON") from None
        else:
            if style == DOWNLOAD and self.command not in ("GET", "POST"):
                raise BadRequest("expected GET or POST")
            if style == UPLOAD_STYLE:
                if self.command != "POST":
                    raise BadRequest("expected POST")
                ctype = (self.headers.get("Content-Type") or "application/octet-stream").strip().lower()
                if ctype not in ("application/octet-stream", "text/plain; charset=dropbox-cors-hack"):
                    raise BadRequest('Bad HTTP "Content-Type" header: "%s".  Expecting one of '
                                     '"application/octet-stream", "text/plain; charset=dropbox-cors-hack".'
                                     % ctype)
            text = self.headers.get("Dropbox-API-Arg")
            if text is None and "arg" in self.query:
                text = self.query["arg"][0]
            if text is None:
                raise BadRequest('Must provide HTTP header "Dropbox-API-Arg" or URL parameter "arg".')
            try:
                text = text.encode("latin-1").decode("utf-8")
            except (UnicodeEncodeError, UnicodeDecodeError):
                pass
            try:
                arg = json.loads(text)
            except ValueError:
                raise BadRequest('HTTP header "Dropbox-API-Arg": could not decode input as JSON') from None
        self.log_entry["arg"] = arg
        check_args(arg, SCHEMAS[fn])
        getattr(self, "h_" + fn.replace("/", "_"))(svc, view, arg)

    def path_root(self, account):
        text = self.headers.get("Dropbox-API-Path-Root")
        if text is None:
            return View(account, home=True)
        try:
            value = json.loads(text)
        except ValueError:
            raise BadRequest('Invalid value for "Dropbox-API-Path-Root" header: could not decode JSON') from None
        tag = value if isinstance(value, str) else (value.get(".tag") if isinstance(value, dict) else None)
        if tag == "home":
            return View(account, home=True)
        if tag == "root" and isinstance(value, dict) and isinstance(value.get("root"), str):
            if value["root"] != account.root_ns:
                raise ApiError({".tag": "invalid_root", "invalid_root": account.root_info()}, status=422,
                               summary="invalid_root/..")
            return View(account, home=False)
        if tag == "namespace_id" and isinstance(value, dict) and isinstance(value.get("namespace_id"), str):
            if value["namespace_id"] == account.root_ns:
                return View(account, home=False)
            if value["namespace_id"] == account.home_ns:
                return View(account, home=True)
            raise ApiError({".tag": "no_permission"}, status=422)
        raise BadRequest('Invalid value for "Dropbox-API-Path-Root" header: %s' % text)



class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    request_queue_size = 128
    allow_reuse_address = True

    def __init__(self, address, service, ssl_context, verbose):
        self.service = service
        self.ssl_context = ssl_context
        self.verbose = verbose
        super().__init__(address, Handler)

    def server_bind(self):
        for opt in (socket.SO_RCVBUF, socket.SO_SNDBUF):
            try:
                self.socket.setsockopt(socket.SOL_SOCKET, opt, 4 * 1024 * 1024)
            except OSError:
                pass
        # TCPServer's bind, without HTTPServer's reverse name lookup.
        import socketserver
        socketserver.TCPServer.server_bind(self)
        self.server_name, self.server_port = self.server_address[:2]

    def finish_request(self, request, client_address):
        # The TLS handshake runs in the connection's own thread so that a slow
        # or silent client never holds up accept().
        # Reaching a far-away service costs a round trip for TCP and one for TLS.
        self.service.link.wait_round_trips(2 if self.ssl_context is not None else 1)
        if self.ssl_context is not None:
            request.settimeout(30)
            try:
                request = self.ssl_context.wrap_socket(request, server_side=True)
            except (OSError, ssl.SSLError):
                return
            request.settimeout(None)
            try:
                self.RequestHandlerClass(request, client_address, self)
            finally:
                try:
                    request.close()
                except OSError:
                    pass
            return
        self.RequestHandlerClass(request, client_address, self)

    def handle_error(self, request, client_address):
        exc = sys.exc_info()[1]
        if isinstance(exc, (ConnectionError, ssl.SSLError, socket.timeout, Abort)):
            return
        super().handle_error(request, client_address)
