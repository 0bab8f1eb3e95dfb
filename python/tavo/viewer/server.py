"""The viewer's HTTP server: the page, its own static files, the list of traces and one trace
document at a time, from the one store it was started on. Bound to 127.0.0.1 and private
to whoever holds its address: every path starts with a random token, and a request without
it, under another Host, or for anything else is refused. The store is named only as
``describe`` shows it, never with its password."""

from __future__ import annotations

import hmac
import http.server
import json
import logging
import re
import secrets
import sqlite3
import urllib.parse

from tavo import db
from tavo.stores import StoreError, describe, mask_text
from tavo.viewer import page

logger = logging.getLogger("tavo")

_DOCUMENT = re.compile(r"api/document/([^/]+)/(\d{1,18})")


class ViewerServer(http.server.ThreadingHTTPServer):
    """Serves the traces of ``db_path`` on 127.0.0.1 (``port`` 0: chosen by the system),
    under a path that starts with a new random token."""

    daemon_threads = True

    def __init__(self, db_path: str, port: int = 0) -> None:
        self.db_path = db_path
        self.token = secrets.token_urlsafe(24)
        super().__init__(("127.0.0.1", port), _Handler)

    @property
    def url(self) -> str:
        """The page's address, token included: the one way in."""
        return f"http://127.0.0.1:{self.server_address[1]}/{self.token}/"

    def store_text(self, text: str) -> str:
        """``text`` with the store's password, if it has one, masked."""
        return mask_text(text, self.db_path)


class _Handler(http.server.BaseHTTPRequestHandler):
    server: ViewerServer
    server_version = "tavo-viewer"
    sys_version = ""

    def do_GET(self) -> None:
        # A page on another site could make the browser ask us under another host name
        # (DNS rebinding); only our own address is answered.
        port = self.server.server_address[1]
        if self.headers.get("Host") not in (f"127.0.0.1:{port}", f"localhost:{port}"):
            self._send_text(403, "unknown host")
            return
        token, slash, path = self.path.split("?", 1)[0].partition("/")[2].partition("/")
        # Any local account can reach the port; only the address `tavo view` printed works.
        if not hmac.compare_digest(token.encode(), self.server.token.encode()):
            self._send_text(403, "forbidden: open the address that `tavo view` printed, "
                                 "token included")
            return
        if not slash:  # the page's own addresses are relative to the token's folder
            self._send(301, b"", "text/plain", {"Location": f"/{token}/"})
            return
        try:
            if path == "":
                self._send(200, page.served_page(), "text/html; charset=utf-8")
            elif path.startswith("static/") and path[len("static/"):] in page.STATIC_FILES:
                name = path[len("static/"):]
                self._send(200, page.static_file(name), page.STATIC_FILES[name] + "; charset=utf-8")
            elif path == "api/traces":
                traces = db.list_traces(self.server.db_path)
                body = json.dumps({"db": describe(self.server.db_path), "traces": traces}).encode()
                self._send(200, body, "application/json")
            elif match := _DOCUMENT.fullmatch(path):
                self._send_document(urllib.parse.unquote(match[1]), int(match[2]))
            else:
                self._send_text(404, "not found")
        except (BrokenPipeError, ConnectionResetError):
            pass  # the page was closed or reloaded while a document was on its way
        except (db.NotATraceDatabase, StoreError) as exc:
            self._send_text(500, self.server.store_text(str(exc)))
        except (sqlite3.Error, OSError) as exc:
            self._send_text(500, f"cannot read trace database {describe(self.server.db_path)}: "
                                 f"{self.server.store_text(str(exc))}")

    def _send_document(self, trace_id: str, row: int) -> None:
        summary = next((s for s in db.list_traces(self.server.db_path, trace_id) if s["id"] == row), None)
        blob = None
        if summary is not None:
            blob = next((b for _, b in db.iter_documents(self.server.db_path, [row])), None)
        if summary is None or blob is None:
            self._send_text(404, f"no trace {trace_id} (row {row}) in {describe(self.server.db_path)}")
            return
        # The label is a command line or a test name; kept short enough for a header.
        label = summary.get("label")
        if isinstance(label, str) and len(label) > 500:
            summary = {**summary, "label": label[:497] + "..."}
        self._send(200, blob, "application/octet-stream",
                   {"X-Tavo-Summary": json.dumps(summary, ensure_ascii=True)})

    def _send_text(self, status: int, text: str) -> None:
        self._send(status, text.encode("utf-8", "backslashreplace"), "text/plain; charset=utf-8")

    def _send(self, status: int, body: bytes, kind: str, headers: dict[str, str] | None = None) -> None:
        self.send_response(status)
        self.send_header("Content-Type", kind)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Content-Security-Policy", page.SERVED_POLICY)
        self.send_header("X-Content-Type-Options", "nosniff")
        self.send_header("Cache-Control", "no-store")
        # The token is in every address: never hand it to anyone in a Referer.
        self.send_header("Referrer-Policy", "no-referrer")
        for name, value in (headers or {}).items():
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, format: str, *args: object) -> None:
        # Request lines hold the token: it stays out of the log.
        logger.debug("viewer: %s", self.server.store_text(format % args).replace(self.server.token, "TOKEN"))
