"""A local stand-in for the platform backend, on 127.0.0.1.

It plays the model-URL service (it checks the device-token header and answers
the reply configured for each model key) and serves model archives, with the
transfer faults a real network produces: no Content-Length, error statuses, a
body that breaks off, a body shorter than its declared length, a redirect, a
stall, a drip of a few bytes now and then.
"""

from __future__ import annotations

import http.server
import json
import socketserver
import sys
import threading
import time
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any

URL_PATH = "/api/v1/models/<MODEL_KEY>/download-url"


@dataclass
class Reply:
    status: int = 200
    body: bytes = b""
    headers: dict[str, str] = field(default_factory=dict)


@dataclass
class Archive:
    data: bytes
    status: int = 200
    content_length: bool = True  # False: close-delimited body
    chunked: bool = False
    declared_length: int | None = None  # a Content-Length that lies
    break_after: int | None = None  # close the connection after this many bytes
    stall_after: int | None = None  # stop sending (but keep the socket) after this many bytes
    stall_seconds: float = 0.0
    drip_after: int | None = None  # after this many bytes, send `drip_bytes` every `drip_seconds`
    drip_bytes: int = 1
    drip_seconds: float = 0.1
    length_header: str | None = None  # a Content-Length sent as it is (the connection then closes after the body)
    write_size: int = 65536
    repeat: int = 1  # the body is `data` repeated this many times (large bodies without the memory)
    etag: str | None = None  # sent as ETag; with `ranges`, what If-Range must match
    ranges: bool = False  # honour Range (bytes=N-) and If-Range with a 206
    reset_every: int | None = None  # close each response's connection after this many body bytes
    refuse_ranges: bool = False  # answer every Range with 416
    range_etag: str | None = None  # the ETag a 206 sends, where it differs from `etag`
    range_shift: int = 0  # a 206 starts this many bytes before the range asked for
    last_modified: str | None = None  # sent as Last-Modified; with `ranges`, an If-Range it matches too
    date: str | None = None  # the Date sent: None for the current time, "" for none at all
    headers_delay: float = 0.0  # seconds before the status line is sent
    served: int = 0  # body bytes sent, all responses together


class _Handler(http.server.BaseHTTPRequestHandler):
    server: "_Server"
    protocol_version = "HTTP/1.1"

    def log_message(self, format: str, *args: Any) -> None:  # quiet
        pass

    def do_GET(self) -> None:
        backend = self.server.backend
        path = self.path.split("?", 1)[0]
        with backend.lock:
            backend.requests.append((path, dict(self.headers.items())))
        prefix, _, suffix = URL_PATH.partition("<MODEL_KEY>")
        if path.startswith(prefix) and path.endswith(suffix) and len(path) > len(prefix) + len(suffix):
            key = path[len(prefix) : len(path) - len(suffix)]
            self._model_url(key)
            return
        if path.startswith("/redirect/"):
            target = path[len("/redirect") :]
            self.send_response(302)
            self.send_header("Location", backend.base + target)
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        name = path.rsplit("/", 1)[-1]
        archive = backend.archives.get(path) or backend.archives.get(name)
        if archive is None:
            self._plain(404, b"not found")
            return
        self._archive(archive)

    def _plain(self, status: int, body: bytes, headers: dict[str, str] | None = None) -> None:
        self.send_response(status)
        for k, v in (headers or {}).items():
            self.send_header(k, v)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def _model_url(self, key: str) -> None:
        backend = self.server.backend
        expected = "Bearer " + backend.token if backend.token is not None else None
        if expected is not None and self.headers.get("x-device-token") != expected:
            self._plain(401, b'{"error": "bad device token"}')
            return
        reply = backend.replies.get(key)
        if reply is None:
            self._plain(404, b'{"error": "unknown model"}')
            return
        if backend.url_delay:
            time.sleep(backend.url_delay)
        self._plain(reply.status, reply.body, reply.headers)

    def _archive(self, a: Archive) -> None:
        if a.status != 200:
            self._plain(a.status, b"denied")
            return
        if a.headers_delay:
            time.sleep(a.headers_delay)
        total = len(a.data) * a.repeat
        start = 0
        wanted = self.headers.get("Range")
        if wanted and a.refuse_ranges:
            self._plain(416, b"", {"Content-Range": f"bytes */{total}"})
            return
        if wanted and a.ranges and self.headers.get("If-Range") in {None, a.etag, a.last_modified}:
            start = int(wanted.removeprefix("bytes=").split("-")[0]) - a.range_shift
        self.send_response_only(206 if start else 200)
        if a.date != "":
            self.send_header("Date", a.date or self.date_time_string())
        if a.last_modified is not None:
            self.send_header("Last-Modified", a.last_modified)
        if start:
            self.send_header("Content-Range", f"bytes {start}-{total - 1}/{total}")
        etag = a.range_etag if start and a.range_etag is not None else a.etag
        if etag is not None:
            self.send_header("ETag", etag)
        self.send_header("Content-Type", "application/x-xz")
        if a.chunked:
            self.send_header("Transfer-Encoding", "chunked")
        elif a.length_header is not None:
            self.send_header("Content-Length", a.length_header)
            self.close_connection = True
        elif a.content_length:
            n = a.declared_length if a.declared_length is not None else total - start
            self.send_header("Content-Length", str(n))
        else:
            self.send_header("Connection", "close")
            self.close_connection = True
        self.end_headers()
        limit = total
        if a.break_after is not None:
            limit = min(limit, a.break_after)
        if a.reset_every is not None:
            limit = min(limit, start + a.reset_every)
        sent = start
        try:
            while sent < limit:
                if a.stall_after is not None and sent >= a.stall_after:
                    time.sleep(a.stall_seconds)
                    a.stall_after = None
                size = a.write_size
                if a.drip_after is not None and sent >= a.drip_after:
                    time.sleep(a.drip_seconds)
                    size = a.drip_bytes
                offset = sent % len(a.data)
                piece = a.data[offset : offset + min(limit - sent, size, len(a.data) - offset)]
                if a.chunked:
                    self.wfile.write(b"%x\r\n%s\r\n" % (len(piece), piece))
                else:
                    self.wfile.write(piece)
                sent += len(piece)
                with self.server.backend.lock:
                    a.served += len(piece)
            if a.chunked and a.break_after is None:
                self.wfile.write(b"0\r\n\r\n")
            self.wfile.flush()
        except (BrokenPipeError, ConnectionResetError):
            self.server.backend.aborted(f"{self.command} {self.path.split('?', 1)[0]}: the client went away after "
                                        f"{sent - start} of {total - start} bytes")
            self.close_connection = True
            return
        if a.break_after is not None or (a.declared_length or 0) > total or limit < total:
            self.close_connection = True


class _Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True
    backend: "Backend"

    def handle_error(self, request: Any, client_address: Any) -> None:
        # a client that resets its connection is no server fault: one line, no traceback
        error = sys.exc_info()[1]
        if isinstance(error, ConnectionError):
            self.backend.aborted(f"{client_address[0]}:{client_address[1]}: the connection was cut ({error.strerror})")
            return
        super().handle_error(request, client_address)


class Backend:
    """The model-URL service and the archive store, on one loopback port."""

    def __init__(self, token: str | None = "device-token-1", port: int = 0,
                 on_abort: Callable[[str], None] | None = None) -> None:
        """`on_abort` gets one line for each transfer that a client cut short."""
        self.token = token
        self._on_abort = on_abort
        self.replies: dict[str, Reply] = {}
        self.archives: dict[str, Archive] = {}
        self.requests: list[tuple[str, dict[str, str]]] = []
        self.url_delay = 0.0
        self.lock = threading.Lock()
        self._server = _Server(("127.0.0.1", port), _Handler)  # port 0: a free one
        self._server.backend = self
        self.port = self._server.server_address[1]
        self.base = f"http://127.0.0.1:{self.port}"
        self._thread = threading.Thread(
            target=self._server.serve_forever, kwargs={"poll_interval": 0.05}, name="backend", daemon=True
        )

    def start(self) -> "Backend":
        self._thread.start()
        return self

    def stop(self) -> None:
        self._server.shutdown()
        self._server.server_close()

    def __enter__(self) -> "Backend":
        return self.start()

    def __exit__(self, *exc: object) -> None:
        self.stop()

    def aborted(self, line: str) -> None:
        if self._on_abort is not None:
            self._on_abort(line)

    @property
    def model_url(self) -> str:
        return self.base + URL_PATH

    def serve(self, name: str, data: bytes, **options: Any) -> str:
        """Serve `data` at /files/<name>; returns its URL."""
        self.archives[name] = Archive(data, **options)
        return f"{self.base}/files/{name}"

    def model(
        self, key: str, url: str | None = None, *, status: int = 200, body: Any = None, location: str | None = None
    ) -> None:
        """Make the model-URL service answer for `key`; with `location`, that Location header too."""
        if body is None:
            body = {"url": url, "expires_in": 3600}
        raw = body if isinstance(body, bytes) else json.dumps(body).encode()
        self.replies[key] = Reply(status, raw, {} if location is None else {"Location": location})

    def paths(self) -> list[str]:
        with self.lock:
            return [p for p, _ in self.requests]
