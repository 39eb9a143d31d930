"""Streaming download: progress lines, statuses, and broken transfers that must
never leave a partial file under the destination's name."""

import os
import threading

import pytest
import requests

from support.scratch import scratch_name

MiB = 1024 * 1024


def head_lines(url, dest):
    return [("info", "Downloading..."), ("info", f"\tcloud url: {url}"), ("info", f"\ttar.xz file: {dest}")]


def progress(fetch_log):
    return [m for m in fetch_log.at("info") if m.startswith("Downloading... ")]


def scratch_left(d):
    return [n for n in os.listdir(d) if n.startswith(".zelk-tmp-")]


def test_404_creates_nothing(fetch, fetch_log, backend, tmp_path):
    url = backend.base + "/files/missing.tar.xz"
    dest = tmp_path / "m.tar.xz"
    assert fetch.download_file(url, str(dest)) is False
    assert fetch_log.records == head_lines(url, dest) + [("warning", "failed downloading status code: 404")]
    assert os.listdir(tmp_path) == []


def test_error_status_keeps_an_existing_file(fetch, fetch_log, backend, tmp_path):
    url = backend.serve("x.tar.xz", b"data", status=403)
    dest = tmp_path / "x.tar.xz"
    dest.write_bytes(b"earlier")
    assert fetch.download_file(cloud_url=url, local_file=str(dest)) is False
    assert dest.read_bytes() == b"earlier"


def test_three_mebibytes_report_once(fetch, fetch_log, backend, tmp_path):
    body = os.urandom(3 * MiB)
    url = backend.serve("a.tar.xz", body)
    dest = tmp_path / "a.tar.xz"
    assert fetch.download_file(url, str(dest)) is True
    assert dest.read_bytes() == body
    assert fetch_log.records == head_lines(url, dest) + [("info", "Downloading... 100% (3MB / 3MB)")]
    assert scratch_left(tmp_path) == []


def test_progress_in_five_percent_steps(fetch, fetch_log, backend, tmp_path):
    body = b"z" * (40 * MiB)
    url = backend.serve("b.tar.xz", body)
    assert fetch.download_file(url, str(tmp_path / "b.tar.xz")) is True
    pcts = [int(m.split()[1].rstrip("%")) for m in progress(fetch_log)]
    assert pcts == list(range(5, 101, 5))
    assert progress(fetch_log)[0] == "Downloading... 5% (2MB / 40MB)"


def test_small_first_chunk_reports_zero(fetch, fetch_log, backend, tmp_path):
    # a declared size of 300 MiB with a 1 MiB body that is then cut short
    url = backend.serve("c.tar.xz", b"q" * MiB, declared_length=300 * MiB)
    with pytest.raises((requests.RequestException, OSError)):
        fetch.download_file(url, str(tmp_path / "c.tar.xz"))
    assert progress(fetch_log) == ["Downloading... 0% (1MB / 300MB)"]
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize(
    "options, size", [({"content_length": False}, MiB + 17), ({"chunked": True}, MiB + 17), ({}, 0)]
)
def test_undeclared_size_logs_no_progress(fetch, fetch_log, backend, tmp_path, options, size):
    body = os.urandom(size)
    url = backend.serve("d.tar.xz", body, **options)
    dest = tmp_path / "d.tar.xz"
    assert fetch.download_file(url, str(dest)) is True
    assert dest.read_bytes() == body
    assert progress(fetch_log) == []


def test_tiny_body_reports_zero_megabytes(fetch, fetch_log, backend, tmp_path):
    url = backend.serve("e.tar.xz", b"12345")
    assert fetch.download_file(url, str(tmp_path / "e.tar.xz")) is True
    assert progress(fetch_log) == ["Downloading... 100% (0MB / 0MB)"]


@pytest.mark.parametrize("coding", ["gzip", None])
def test_body_longer_than_declared(fetch, fetch_log, tmp_path, monkeypatch, coding):
    """A content-coded body that the client decodes to more than its declared
    size keeps reporting; a body framed by its length is cut where the length
    ends, and fails."""
    headers = {"content-length": str(2 * MiB)} | ({"Content-Encoding": coding} if coding else {})

    class Response:
        status_code = 200

        def __init__(self):
            self.headers = requests.structures.CaseInsensitiveDict(headers)

        def iter_content(self, chunk_size):
            assert chunk_size == MiB
            for _ in range(3):
                yield b"x" * MiB

    calls = []

    class FakeRequests:
        @staticmethod
        def get(url, **kw):
            calls.append((url, kw))
            return Response()

    monkeypatch.setattr(fetch, "requests", FakeRequests)
    monkeypatch.setattr(fetch, "DOWNLOAD_MODEL_TIMEOUT", 7)
    if coding is None:
        with pytest.raises(OSError, match=f"^the body runs past the {2 * MiB} bytes declared by Content-Length$"):
            fetch.download_file("http://h/f", str(tmp_path / "f"))
        assert os.listdir(tmp_path) == []
        assert progress(fetch_log) == ["Downloading... 50% (1MB / 2MB)", "Downloading... 100% (2MB / 2MB)"]
        return
    assert fetch.download_file("http://h/f", str(tmp_path / "f")) is True
    assert calls == [("http://h/f", {"stream": True, "timeout": 7})]
    assert progress(fetch_log) == [
        "Downloading... 50% (1MB / 2MB)",
        "Downloading... 100% (2MB / 2MB)",
        "Downloading... 150% (3MB / 2MB)",
    ]


# the Content-Length sent, the length it declares (None: none), whether it
# comes from the local server through the real client (else from a stand-in)
ODD_LENGTHS = [
    ("201396, 201396", 201396, True),
    ("201396,201396", 201396, False),
    ("201396, 201397", None, False),
    ("-1", None, True),
    ("lots", None, False),
    ("", None, False),
]


@pytest.mark.parametrize("value, declared, real", ODD_LENGTHS)
def test_odd_content_lengths(fetch, fetch_log, backend, tmp_path, monkeypatch, value, declared, real):
    """A value repeated alike counts once; differing values, a negative or an
    unparsable one declare nothing: no progress lines, no length check."""
    body = os.urandom(declared or 1000)
    if real:
        url = backend.serve("o.tar.xz", body, length_header=value)
    else:
        class Response:
            status_code = 200
            headers = requests.structures.CaseInsensitiveDict({"Content-Length": value})

            def iter_content(self, chunk_size):
                yield body

        url = "http://h/o.tar.xz"
        monkeypatch.setattr(fetch, "requests", type("R", (), {"get": staticmethod(lambda *a, **k: Response())}))
    dest = tmp_path / "o.tar.xz"
    assert fetch.download_file(url, str(dest)) is True
    assert dest.read_bytes() == body
    assert progress(fetch_log) == ([] if declared is None else ["Downloading... 100% (0MB / 0MB)"])


def test_broken_connection_leaves_nothing(fetch, fetch_log, backend, tmp_path):
    """The transfer breaks after two chunks: the destination keeps its old
    content (here: none) and no scratch file is left behind."""
    body = os.urandom(5 * MiB)
    url = backend.serve("g.tar.xz", body, break_after=2 * MiB)
    dest = tmp_path / "g.tar.xz"
    with pytest.raises((requests.RequestException, OSError)):
        fetch.download_file(url, str(dest))
    assert os.listdir(tmp_path) == []

    dest.write_bytes(b"previous")
    with pytest.raises((requests.RequestException, OSError)):
        fetch.download_file(url, str(dest))
    assert os.listdir(tmp_path) == ["g.tar.xz"] and dest.read_bytes() == b"previous"


def test_short_body_is_a_broken_transfer(fetch, fetch_log, tmp_path, monkeypatch):
    """A client that does not itself enforce Content-Length still gets no
    short archive: the length check names both sizes."""

    class Response:
        status_code = 200
        headers = requests.structures.CaseInsensitiveDict({"Content-Length": str(3 * MiB)})

        def iter_content(self, chunk_size):
            yield b"x" * MiB
            yield b"y" * 10

    monkeypatch.setattr(fetch, "requests", type("R", (), {"get": staticmethod(lambda *a, **k: Response())}))
    with pytest.raises(OSError) as err:
        fetch.download_file("http://h/x", str(tmp_path / "x"))
    assert str(err.value) == f"incomplete download: received {MiB + 10} of {3 * MiB} bytes declared by Content-Length"
    assert os.listdir(tmp_path) == []


def test_missing_directory(fetch, fetch_log, backend, tmp_path):
    url = backend.serve("h.tar.xz", b"abc")
    dest = tmp_path / "no" / "h.tar.xz"
    with pytest.raises(FileNotFoundError) as err:
        fetch.download_file(url, str(dest))
    assert err.value.filename == str(dest)


def test_redirect_is_followed(fetch, fetch_log, backend, tmp_path):
    body = os.urandom(1000)
    backend.serve("r.tar.xz", body)
    dest = tmp_path / "r.tar.xz"
    assert fetch.download_file(backend.base + "/redirect/files/r.tar.xz", str(dest)) is True
    assert dest.read_bytes() == body


def test_concurrent_downloads_never_mix(fetch, fetch_log, backend, tmp_path):
    bodies = {i: bytes([i]) * (3 * MiB + i) for i in range(4)}
    urls = {i: backend.serve(f"c{i}.tar.xz", bodies[i], write_size=4096) for i in bodies}
    dest = tmp_path / "same.tar.xz"
    results = []

    def worker(i):
        results.append(fetch.download_file(urls[i], str(dest)))

    threads = [threading.Thread(target=worker, args=(i,)) for i in bodies]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == [True] * 4
    assert dest.read_bytes() in bodies.values()
    assert scratch_left(tmp_path) == []


def test_stale_scratch_files_are_swept(fetch, fetch_log, backend, tmp_path):
    stale = tmp_path / scratch_name(".part")
    stale.write_bytes(b"left by a killed writer")
    other = tmp_path / "keep.part"
    other.write_bytes(b"not ours")
    url = backend.serve("s.tar.xz", b"abc")
    assert fetch.download_file(url, str(tmp_path / "s.tar.xz")) is True
    assert sorted(os.listdir(tmp_path)) == ["keep.part", "s.tar.xz"]


def test_locked_scratch_file_is_not_swept(fetch, fetch_log, backend, tmp_path):
    import fcntl

    live = tmp_path / scratch_name(".part")
    with open(live, "wb") as f:
        fcntl.flock(f, fcntl.LOCK_EX)
        url = backend.serve("s.tar.xz", b"abc")
        assert fetch.download_file(url, str(tmp_path / "s.tar.xz")) is True
        assert live.exists()


GIB_SCRIPT = """
import sys
from zelk_sdk.model import fetch
fetch.logger = type("Quiet", (), {"info": lambda s, m: None, "warning": lambda s, m: None})()

def status(field):
    # this process's own memory map (ru_maxrss would carry the parent's high-water mark over exec)
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith(field + ":"))

before = status("VmRSS")
assert fetch.download_file(sys.argv[1], sys.argv[2]) is True
print(status("VmHWM") - before)
"""


def test_one_gibibyte_with_bounded_memory(backend, tmp_path):
    """Peak RSS growth of a whole 1 GiB download stays far below the body size."""
    import subprocess
    import sys

    block = os.urandom(MiB)
    url = backend.serve("big.tar.xz", block, repeat=1024, write_size=MiB)
    dest = tmp_path / "big.tar.xz"
    r = subprocess.run([sys.executable, "-c", GIB_SCRIPT, url, str(dest)], capture_output=True, text=True, timeout=300)
    assert r.returncode == 0, r.stderr
    growth = int(r.stdout)
    assert dest.stat().st_size == 1024 * MiB
    with open(dest, "rb") as f:
        f.seek(512 * MiB)
        assert f.read(MiB) == block
    dest.unlink()
    print(f"peak RSS growth for 1 GiB: {growth / MiB:.1f} MiB")
    assert growth < 64 * MiB, f"peak RSS grew by {growth / MiB:.1f} MiB"


def test_destination_that_is_a_directory_fails_before_the_body(fetch, fetch_log, backend, tmp_path):
    url = backend.serve("dir.tar.xz", b"x" * (3 * MiB))
    dest = tmp_path / "dir.tar.xz"
    dest.mkdir()
    with pytest.raises(IsADirectoryError) as err:
        fetch.download_file(url, str(dest))
    assert err.value.filename == str(dest)
    assert progress(fetch_log) == []


def test_sizes_past_32_bits(fetch, fetch_log, tmp_path, monkeypatch):
    """Sizes are counted and printed as Python ints: a declared length above
    4 GiB and a body past 2 GiB come out exact on 32-bit targets too."""
    GiB = 1024 * MiB
    chunk = b"z" * MiB

    def serve(declared, chunks, tail=b""):
        class Response:
            status_code = 200
            headers = requests.structures.CaseInsensitiveDict({"Content-Length": str(declared)})

            def iter_content(self, chunk_size):
                for _ in range(chunks):
                    yield chunk
                if tail:
                    yield tail

        monkeypatch.setattr(fetch, "requests", type("R", (), {"get": staticmethod(lambda *a, **k: Response())}))

    # declared 5 GiB + 7, the body ends after one chunk
    serve(5 * GiB + 7, 1)
    with pytest.raises(OSError) as err:
        fetch.download_file("http://h/big", str(tmp_path / "big"))
    assert str(err.value) == f"incomplete download: received {MiB} of {5 * GiB + 7} bytes declared by Content-Length"
    assert progress(fetch_log) == ["Downloading... 0% (1MB / 5120MB)"]
    assert os.listdir(tmp_path) == []

    # 2 GiB + 1 MiB + 3 bytes, all of it
    size = 2 * GiB + MiB + 3
    serve(size, 2049, b"end")
    fetch_log.records.clear()
    dest = tmp_path / "big"
    assert fetch.download_file("http://h/big", str(dest)) is True
    try:
        assert os.stat(dest).st_size == size
        with open(dest, "rb") as f:
            f.seek(size - MiB - 3)
            assert f.read() == chunk + b"end"
    finally:
        dest.unlink()
    expected, last, done = [], -1, 0
    for n in [MiB] * 2049 + [3]:
        done += n
        pct = int(done * 100 / size)
        if pct != last and pct % 5 == 0:
            expected.append(f"Downloading... {pct}% ({done // MiB}MB / 2049MB)")
            last = pct
    assert len(expected) == 21 and expected[-1] == "Downloading... 100% (2049MB / 2049MB)"
    assert progress(fetch_log) == expected
