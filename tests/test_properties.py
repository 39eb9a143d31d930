"""Generated inputs against small models of the rules they must follow."""

from __future__ import annotations

import contextlib
import os
import tempfile

import requests
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from support.logcap import RecordingLogger
from support.modes import scale
from zelk_sdk.model import fetch

MiB = 1024 * 1024
ZEROS = bytes(MiB)

PROPERTY = settings(max_examples=scale(150, 2000), deadline=None, suppress_health_check=[HealthCheck.too_slow])


@contextlib.contextmanager
def rebound(module, **names):
    old = {k: getattr(module, k) for k in names}
    for k, v in names.items():
        setattr(module, k, v)
    try:
        yield
    finally:
        for k, v in old.items():
            setattr(module, k, v)


# --------------------------------------------------------------- progress lines


def expected_progress(sizes: list[int], declared: int) -> list[str]:
    """Every multiple of five that the truncated percentage lands on, once per
    change; nothing when no size is declared."""
    lines, done, last = [], 0, -1
    for n in sizes:
        done += n
        if not declared:
            continue
        pct = int(done * 100 / declared)
        if pct != last and pct % 5 == 0:
            lines.append(f"Downloading... {pct}% ({done // MiB}MB / {declared // MiB}MB)")
            last = pct
    return lines


def fake_requests(sizes: list[int], headers: dict[str, str]):
    class Response:
        status_code = 200

        def __init__(self):
            self.headers = requests.structures.CaseInsensitiveDict(headers)

        def iter_content(self, chunk_size):
            assert chunk_size == MiB
            for n in sizes:
                yield ZEROS[:n]

    class Requests:
        @staticmethod
        def get(url, stream, timeout):
            return Response()

    return Requests


declared_lengths = st.one_of(
    st.none(),
    st.just(0),
    st.integers(1, 12 * MiB),
    st.integers(-3 * MiB, -1),  # nonsense, but the arithmetic must still be the interpreter's
)


@PROPERTY
@given(
    sizes=st.lists(st.one_of(st.integers(0, MiB), st.sampled_from([0, 1, MiB])), max_size=12),
    declared=declared_lengths,
    exact=st.booleans(),
    coded=st.booleans(),
    header=st.sampled_from(["Content-Length", "content-length", "CONTENT-LENGTH"]),
)
def test_progress_lines_follow_the_five_percent_rule(sizes, declared, exact, coded, header):
    if exact:
        declared = sum(sizes)
    headers = {} if declared is None else {header: str(declared)}
    if coded:
        headers["Content-Encoding"] = "gzip"  # the delivered length may differ: no length check
    total = declared or 0
    short = total > 0 and sum(sizes) < total and not coded

    log = RecordingLogger()
    with tempfile.TemporaryDirectory() as tmp, rebound(fetch, logger=log, requests=fake_requests(sizes, headers)):
        dest = os.path.join(tmp, "m.tar.xz")
        try:
            result = fetch.download_file("http://127.0.0.1:9/m.tar.xz", dest)
        except OSError as err:
            assert short, err
            assert os.listdir(tmp) == []
        else:
            assert not short and result is True
            assert os.path.getsize(dest) == sum(sizes) and os.listdir(tmp) == ["m.tar.xz"]
    progress = [m for m in log.lines if m.startswith("Downloading... ")]
    assert progress == expected_progress(sizes, total)
