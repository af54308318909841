#!/usr/bin/python3
"""A local stand-in for the storage service's HTTP API v2.

Serves the RPC endpoints (list_folder, list_folder/continue, create_folder_v2,
move_v2, delete_v2, get_metadata, list_revisions, restore) and the content
endpoints (download, upload, upload_session/start, append_v2, finish) on one
port, over TLS or plain HTTP.
Files live as plain files under ROOT/ns/<root_namespace_id>/; ids, revisions,
times and content hashes live in a sqlite database under ROOT/.emulator/.

Tests steer it through /__emulator/ control endpoints: scripted faults, a
request log and a per-account rate limit.  See README.md beside this file.

Standard library only; bodies are streamed in blocks, never held whole.
"""

import argparse
import os
import signal
import ssl
import sys
import threading

from dropbox_service.accounts import Account, View, load_accounts
from dropbox_service.content_hash import ContentHasher, hash_file
from dropbox_service.faults import Link
from dropbox_service.http_server import Server
from dropbox_service.namespace import Store, entry_json
from dropbox_service.state import Service

# The emulator's parts that its tests use through this module.
__all__ = ["Account", "ContentHasher", "Store", "View", "entry_json", "hash_file", "main"]


def main(argv=None):
    p = argparse.ArgumentParser(prog="dropbox-emulator",
                                description="Local stand-in for the storage service's HTTP API v2.")
    p.add_argument("--root", required=True, help="storage folder (files under ROOT/ns/<id>/)")
    p.add_argument("--accounts", required=True, help="accounts JSON file")
    p.add_argument("--host", default="127.0.0.1")
    p.add_argument("--port", type=int, default=0)
    p.add_argument("--cert", help="server certificate chain (PEM)")
    p.add_argument("--key", help="server private key (PEM)")
    p.add_argument("--plain-http", action="store_true", help="serve plain HTTP instead of TLS")
    p.add_argument("--port-file", help="write the bound port number here")
    p.add_argument("--rate-limit", type=int, default=0, help="requests per second per account (0 = off)")
    p.add_argument("--latency-ms", type=int, default=0,
                   help="one-way delay of a far-away link, in milliseconds (0 = off)")
    p.add_argument("--link-rate", type=int, default=0,
                   help="bytes per second of one connection in each direction (0 = off)")
    p.add_argument("--verbose", action="store_true", help="log each request to stderr")
    args = p.parse_args(argv)

    if args.plain_http == bool(args.cert or args.key) or (not args.plain_http and not (args.cert and args.key)):
        p.error("give either --cert and --key, or --plain-http")
    try:
        accounts = load_accounts(args.accounts)
        service = Service(args.root, accounts, args.rate_limit,
                          Link(max(0, args.latency_ms), max(0, args.link_rate)))
    except (OSError, ValueError) as exc:
        sys.stderr.write("dropbox-emulator: %s\n" % exc)
        return 2
    ctx = None
    try:
        if not args.plain_http:
            ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            ctx.load_cert_chain(args.cert, args.key)
            ctx.set_alpn_protocols(["http/1.1"])
        server = Server((args.host, args.port), service, ctx, args.verbose)
    except (OSError, ssl.SSLError) as exc:
        sys.stderr.write("dropbox-emulator: %s\n" % exc)
        return 2
    port = server.server_address[1]

    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    signal.signal(signal.SIGINT, lambda *_: stop.set())
    thread = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.2}, daemon=True)
    thread.start()
    if args.port_file:
        tmp = args.port_file + ".tmp"
        with open(tmp, "w") as f:
            f.write("%d\n" % port)
        os.replace(tmp, args.port_file)
    print("dropbox-emulator listening on %s://%s:%d" % ("http" if ctx is None else "https", args.host, port),
          flush=True)
    while not stop.wait(0.5):
        pass
    server.shutdown()
    server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
