"""The emulated service behind dropbox_emulator.py, one area per module:

- protocol: sizes, time format, JSON texts, the error replies
- content_hash: the service's content hash
- accounts: accounts and the namespace views of a request
- namespace: the namespace, its files and their revisions (plain files plus sqlite)
- arguments: the endpoints, their kinds and the checks of their arguments
- faults: scriptable faults, the rate limit, the far-away link, write contention
- state: what every request shares, and the listing cursors
- endpoints: the RPC endpoints and download
- uploads: upload, upload sessions and their endpoints
- control: the request log and the control API under /__emulator/
- request_body: request bodies, Content-Length or chunked
- http_server: the HTTP layer (replies, dispatch, routing) and the server
"""
