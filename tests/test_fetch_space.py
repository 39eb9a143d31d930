"""The file system a model goes to is never left full: a body that cannot fit
is not written, a body of unknown length stops before the last 5 % (or
64 MiB), and a transfer stopped for space keeps nothing for a resume. On a
tmpfs of 20 MiB of the test's own (skipped where mounting is not allowed)."""

from __future__ import annotations

import errno
import lzma
import os
import re
import subprocess
import threading
import time

import pytest

from support.emulation import scaled

MiB = 1024 * 1024


@pytest.fixture
def small_fs(fetch, model_env, monkeypatch):
    """BASE_MODEL_DIR on a file system of 20 MiB."""
    model_env.mkdir()
    mounted = os.geteuid() == 0 and subprocess.run(
        ["mount", "-t", "tmpfs", "-o", "size=20m,mode=0755", "tmpfs", str(model_env)], capture_output=True).returncode == 0
    if not mounted:
        pytest.skip("mounting a small file system needs root (and a kernel that lets us)")
    try:
        yield model_env
    finally:
        subprocess.run(["umount", "-l", str(model_env)], check=True)


def free(path) -> int:
    st = os.statvfs(path)
    return st.f_bavail * st.f_frsize


def fill_when_served(backend, name, served, path, leave):
    """Once `served` bytes of `name` went out, fills the file system at `path`
    up to `leave` bytes."""
    def fill():
        deadline = time.monotonic() + scaled(30)
        while backend.archives[name].served < served and time.monotonic() < deadline:
            time.sleep(0.01)
        # the download goes on writing meanwhile: fill in pieces, as far as they fit
        with open(path / "filler", "wb", buffering=0) as f:
            try:
                while free(path) > leave:
                    f.write(b"\0" * 65536)
            except OSError as err:
                assert err.errno == errno.ENOSPC

    t = threading.Thread(target=fill)
    t.start()
    return t


# server options; the warning's text after the URL ({d}: the directory)
CASES = {
    "a length longer than the free space": (
        dict(data=b"x" * MiB, repeat=30, etag='"v1"'), "not enough space in {d}: need 30 MiB, 20 MiB free"),
    "an endless body without a length": (
        dict(data=b"x" * MiB, repeat=1000, etag='"v1"', content_length=False),
        r"not enough space in {d}: need more than (\d+) MiB, (\d+) MiB free beyond the 1 MiB kept in reserve"),
    "a disk filled by someone else meanwhile": (
        dict(data=b"x" * MiB, repeat=12, etag='"v1"', ranges=True, stall_after=4 * MiB, stall_seconds=2),
        "[Errno 28] No space left on device"),
}


@pytest.mark.parametrize("case", list(CASES))
def test_a_body_that_does_not_fit_leaves_the_disk_as_it_was(fetch, fetch_log, backend, small_fs, case):
    options, text = CASES[case]
    url = backend.serve("m.tar.xz", options.pop("data"), **options)
    filler = None
    if case == "a disk filled by someone else meanwhile":
        filler = fill_when_served(backend, "m.tar.xz", 4 * MiB, small_fs, leave=MiB // 2)
    assert fetch.download_url(url) is None
    if filler:
        filler.join()
    [warning] = fetch_log.at("warning")
    found = re.fullmatch(re.escape(f"Failed to download from {url} - ") + text.format(d=re.escape(str(small_fs))),
                         warning) if "(" in text else warning == f"Failed to download from {url} - {text.format(d=small_fs)}"
    assert found, warning
    if "(" in text:
        assert int(found[1]) > int(found[2]) >= 17
    # nothing kept for a resume; the file system keeps its free space
    assert os.listdir(small_fs) == (["filler"] if filler else [])
    assert free(small_fs) >= (2 * MiB if filler else 20 * MiB)  # the kept bytes (3 MiB or more) went
    if case == "a length longer than the free space":
        assert not any(line.startswith("Downloading... ") for line in fetch_log.lines)


@pytest.mark.parametrize("files", [12_000, 100], ids=["blocks past what the index states", "a model that fits"])
def test_an_extraction_that_takes_more_than_its_index_states_stops_at_the_reserve(fetch, fetch_log, backend,
                                                                                   small_fs, files):
    """12 000 files of a byte state 12 MiB of tar data and take 47 MiB of blocks."""
    from support.archives import tarfile_xz

    url = backend.serve("m.tar.xz", tarfile_xz([("m", "dir")] + [(f"m/f{i}", b"x") for i in range(files)]))
    result = fetch.download_url(url)
    if files == 100:
        assert result == str(small_fs / "m") and len(os.listdir(small_fs / "m")) == 100
        return
    assert result is None
    [warning] = fetch_log.at("warning")
    assert re.fullmatch(re.escape(f"Failed to extracting tarxz {small_fs / 'm.tar.xz'} - not enough space in "
                                  f"{small_fs}: the archive takes more than the 12 MiB its index states, ") + r"\d+ MiB free",
                        warning), warning
    assert os.listdir(small_fs) == [] and free(small_fs) >= 19 * MiB


def test_an_extraction_while_the_archive_arrives_leaves_the_transfer_its_room(fetch, fetch_log, backend, small_fs):
    """3 000 one-byte files (12 MiB of blocks) come first and are extracted
    while the transfer waits; the 9 MiB of noise after them still need their
    place in the archive's file. Extracting early must stop at the room the
    transfer leaves, so that the transfer completes and the archive on disk
    gets the extraction's own verdict."""
    import random

    from support.archives import tarfile_xz

    noise = random.Random(7).randbytes(9 * MiB)
    data = tarfile_xz([("m", "dir")] + [(f"m/f{i}", b"x") for i in range(3000)] + [("m/noise.bin", noise)])
    url = backend.serve("m.tar.xz", data, etag='"v1"', stall_after=3 * MiB // 2, stall_seconds=scaled(3))
    assert fetch.download_url(url) is None
    [warning] = fetch_log.at("warning")
    assert warning.startswith(f"Failed to extracting tarxz {small_fs / 'm.tar.xz'} - not enough space in {small_fs}"), \
        warning
    assert any(line.startswith("Downloading... 100%") for line in fetch_log.lines)
    assert os.listdir(small_fs) == [] and free(small_fs) >= 19 * MiB


def test_kept_bytes_extracted_while_the_answer_comes_give_back_their_room_when_the_archive_changed(
        fetch, fetch_log, backend, small_fs):
    """The kept megabyte of the first archive holds 15 MiB of easily packed
    data, which is extracted while the rest is asked for; the server has
    another archive by then (200, a new ETag), of 6 MiB. Its room is judged
    once what was extracted of the old bytes is gone."""
    import random

    from support.archives import raw_tar

    old = lzma.compress(raw_tar("m", {"z.bin": b"zelk" * (15 << 18), "r.bin": random.Random(1).randbytes(1600 << 10)}),
                        preset=6)
    url = backend.serve("m.tar.xz", old, etag='"a"', ranges=True, break_after=MiB)
    assert fetch.download_url(url) is None  # a megabyte kept
    new_files = {"r.bin": random.Random(2).randbytes(6 * MiB)}
    backend.serve("m.tar.xz", lzma.compress(raw_tar("m", new_files), preset=0), etag='"b"', ranges=True,
                  headers_delay=scaled(1))
    fetch_log.clear()
    assert fetch.download_url(url) == str(small_fs / "m"), fetch_log.lines
    assert (small_fs / "m" / "r.bin").read_bytes() == new_files["r.bin"]
    assert os.listdir(small_fs) == ["m"]
