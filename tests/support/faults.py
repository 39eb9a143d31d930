"""A raw TCP server on 127.0.0.1 for the faults an HTTP server cannot be asked
to make: a connection reset in the middle of a body, bytes that are no HTTP."""

from __future__ import annotations

import socket
import struct
import threading
from typing import Callable


def read_request(conn: socket.socket) -> bytes:
    data = b""
    while b"\r\n\r\n" not in data:
        piece = conn.recv(4096)
        if not piece:
            break
        data += piece
    return data


def reset(conn: socket.socket) -> None:
    """Close with a RST instead of a FIN."""
    conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    conn.close()


class RawServer:
    """Calls `handler(conn)` for each connection, at most `limit` times."""

    def __init__(self, handler: Callable[[socket.socket], None], limit: int = 20) -> None:
        self.handler = handler
        self.limit = limit
        self.connections = 0
        self._sock = socket.create_server(("127.0.0.1", 0))
        self._sock.settimeout(0.2)
        self.port = self._sock.getsockname()[1]
        self.base = f"http://127.0.0.1:{self.port}"
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._serve, name="raw-server", daemon=True)

    def _serve(self) -> None:
        while not self._stop.is_set() and self.connections < self.limit:
            try:
                conn, _ = self._sock.accept()
            except (TimeoutError, OSError):
                continue
            self.connections += 1
            with conn:
                try:
                    read_request(conn)
                    self.handler(conn)
                except OSError:
                    pass

    def __enter__(self) -> "RawServer":
        self._thread.start()
        return self

    def __exit__(self, *exc: object) -> None:
        self._stop.set()
        self._thread.join(5)
        self._sock.close()
