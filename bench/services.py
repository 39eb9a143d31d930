"""Servers the benchmarks start for themselves, each on a free 127.0.0.1 port
and stopped by the process that started it."""

from __future__ import annotations

import os
import shutil
import socket
import subprocess
import time
from pathlib import Path


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def _answers(port: int, proc: subprocess.Popen, seconds: float = 10.0) -> bool:
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if proc.poll() is not None:
            return False
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=0.5):
                return True
        except OSError:
            time.sleep(0.05)
    return False


class Server:
    proc: subprocess.Popen | None = None

    def stop(self) -> None:
        if self.proc is not None and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(10)

    def __enter__(self):
        return self

    def __exit__(self, *exc: object) -> None:
        self.stop()


class RedisServer(Server):
    """A private redis-server without persistence."""

    def __init__(self, workdir: Path) -> None:
        exe = shutil.which("redis-server")
        if exe is None:
            raise FileNotFoundError("redis-server is not installed")
        workdir.mkdir(parents=True, exist_ok=True)
        for _ in range(5):  # a free port may be taken before the server binds it
            self.port = free_port()
            args = [exe, "--bind", "127.0.0.1", "--port", str(self.port), "--save", "", "--appendonly", "no",
                    "--dir", str(workdir)]
            self.proc = subprocess.Popen(args, stdout=subprocess.DEVNULL)
            if _answers(self.port, self.proc):
                return
            self.stop()
        raise RuntimeError("redis-server did not start")

    @property
    def url(self) -> str:
        return f"redis://127.0.0.1:{self.port}/0"


NGINX_CONF = """\
daemon off;
master_process off;
worker_processes 1;
pid {work}/nginx.pid;
error_log {work}/error.log warn;
events {{ worker_connections 64; }}
http {{
    access_log off;
    sendfile on;
    tcp_nopush on;
    client_body_temp_path {work}/body;
    proxy_temp_path {work}/proxy;
    fastcgi_temp_path {work}/fastcgi;
    uwsgi_temp_path {work}/uwsgi;
    scgi_temp_path {work}/scgi;
    types {{ application/x-xz xz; }}
    default_type application/octet-stream;
    server {{
        listen 127.0.0.1:{port};
        root {root};
    }}
}}
"""


class Nginx(Server):
    """nginx serving the files of `root` as static files, in one process."""

    def __init__(self, root: Path, workdir: Path) -> None:
        exe = shutil.which("nginx") or ("/usr/sbin/nginx" if os.path.exists("/usr/sbin/nginx") else None)
        if exe is None:
            raise FileNotFoundError("nginx is not installed")
        workdir.mkdir(parents=True, exist_ok=True)
        for _ in range(5):
            self.port = free_port()
            conf = workdir / "nginx.conf"
            conf.write_text(NGINX_CONF.format(work=workdir, port=self.port, root=root))
            self.proc = subprocess.Popen([exe, "-e", str(workdir / "error.log"), "-p", str(workdir), "-c", str(conf)],
                                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            if _answers(self.port, self.proc):
                return
            self.stop()
        raise RuntimeError(f"nginx did not start; see {workdir / 'error.log'}")

    def url(self, name: str) -> str:
        return f"http://127.0.0.1:{self.port}/{name}"


PACED_SERVER = r"""
import http.server, os, sys, time, urllib.parse

root, port = sys.argv[1], int(sys.argv[2])

class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def do_GET(self):
        url = urllib.parse.urlsplit(self.path)
        rate = float(urllib.parse.parse_qs(url.query).get("rate", ["0"])[0])  # bytes a second; 0: unpaced
        path = os.path.join(root, os.path.basename(url.path))
        try:
            f = open(path, "rb")
        except OSError:
            self.send_error(404)
            return
        with f:
            st = os.fstat(f.fileno())
            self.send_response(200)
            self.send_header("Content-Length", str(st.st_size))
            self.send_header("ETag", f'"{st.st_size:x}-{st.st_mtime_ns:x}"')
            self.send_header("Content-Type", "application/x-xz")
            self.end_headers()
            self.wfile.flush()
            sent, start, piece = 0, time.monotonic(), 65536
            try:
                while sent < st.st_size:
                    if rate:
                        ahead = sent / rate - (time.monotonic() - start)
                        if ahead > 0:
                            time.sleep(ahead)
                    n = os.sendfile(self.connection.fileno(), f.fileno(), sent, min(piece, st.st_size - sent))
                    if n == 0:
                        break
                    sent += n
            except (BrokenPipeError, ConnectionResetError):
                self.close_connection = True

http.server.ThreadingHTTPServer(("127.0.0.1", port), Handler).serve_forever()
"""


class PacedServer(Server):
    """Serves the files of `root` at the rate (bytes a second) that a request's
    query asks for (`?rate=N`), with Content-Length and a strong ETag: a paced
    link on the loopback, from a process of its own (so that its pacing takes
    no time from the process measured)."""

    def __init__(self, root: Path) -> None:
        import sys

        for _ in range(5):
            self.port = free_port()
            self.proc = subprocess.Popen([sys.executable, "-c", PACED_SERVER, str(root), str(self.port)])
            if _answers(self.port, self.proc):
                return
            self.stop()
        raise RuntimeError("the paced server did not start")

    def url(self, name: str, rate: float) -> str:
        return f"http://127.0.0.1:{self.port}/{name}?rate={rate:.0f}"
