"""Safe extraction: members and links that would land outside the destination
are refused, and nothing is ever written outside it."""

import gzip
import io
import lzma
import os
import shutil
import stat
import tarfile
from pathlib import Path

import pytest

from support.archives import tarfile_xz, tree


def open_xz(data: bytes) -> tarfile.TarFile:
    return tarfile.open(fileobj=io.BytesIO(data), mode="r|xz")


@pytest.fixture
def sandbox(tmp_path):
    """A destination with a sibling that shares its name's prefix."""
    dest = tmp_path / "models"
    dest.mkdir()
    (tmp_path / "models2").mkdir()
    return dest


def outside(sandbox: Path) -> dict:
    root = sandbox.parent
    return {k: v for k, v in tree(root).items() if not (k == "models" or k.startswith("models/"))}


def extract(fetch, members, dest):
    with open_xz(tarfile_xz(members)) as tf:
        fetch._safe_extract(tf, str(dest))


def refused(fetch, members, dest, name):
    with pytest.raises(Exception) as err:
        extract(fetch, members, dest)
    assert type(err.value) is Exception
    assert str(err.value) == f"Attempted path traversal in tar archive: {name}"


def test_plain_members_extract(fetch, sandbox):
    extract(fetch, [("model", "dir"), ("model/saved_model.pb", b"pb"), ("model/../other/x", b"x")], sandbox)
    assert (sandbox / "model" / "saved_model.pb").read_bytes() == b"pb"
    assert (sandbox / "other" / "x").read_bytes() == b"x"
    assert outside(sandbox) == {"models2": "dir"}


@pytest.mark.parametrize(
    "name",
    ["../evil.sh", "/etc/passwd", "./", ".", "model/..", "../models2/x", "a/../../x"],
)
def test_names_outside_are_refused(fetch, sandbox, name):
    refused(fetch, [(name, b"evil")], sandbox, name)
    assert os.listdir(sandbox) == [] and outside(sandbox) == {"models2": "dir"}


def test_refusal_stops_the_extraction_there(fetch, sandbox):
    members = [("model/a", b"1"), ("model/b", b"2"), ("../c", b"3"), ("model/d", b"4")]
    refused(fetch, members, sandbox, "../c")
    assert sorted(os.listdir(sandbox / "model")) == ["a", "b"]


def test_root_destination_refuses_everything(fetch):
    refused(fetch, [("tmp/zelk-never-written", b"x")], Path("/"), "tmp/zelk-never-written")
    assert not Path("/tmp/zelk-never-written").exists()


def test_relative_destination(fetch, sandbox, monkeypatch):
    monkeypatch.chdir(sandbox.parent)
    calls = []

    class Recording:
        def __init__(self, tf):
            self.tf = tf

        def __iter__(self):
            return iter(self.tf)

        def extract(self, member, **kw):
            calls.append((member.name, kw))
            return self.tf.extract(member, **kw)

    with open_xz(tarfile_xz([("model/x", b"x")])) as tf:
        fetch._safe_extract(Recording(tf), "models")
    assert calls == [("model/x", {"path": "models", "filter": "data"})]
    assert (sandbox / "model" / "x").read_bytes() == b"x"
    refused(fetch, [("../models2/y", b"y")], Path("models"), "../models2/y")


@pytest.mark.parametrize(
    "members, bad",
    [
        ([("model/link", ("sym", "/etc")), ("model/link/passwd", b"x")], "model/link"),
        ([("model/up", ("sym", "../..")), ("model/up/x", b"x")], "model/up"),
        ([("model/up", ("sym", "../../models2"))], "model/up"),
        ([("model/hl", ("lnk", "../outside"))], "model/hl"),
        ([("model/hl", ("lnk", "/etc/passwd"))], "model/hl"),
        # `c -> .` makes lexical resolution lie: c/c/../.. is really two levels up
        ([("c", ("sym", ".")), ("l", ("sym", "c/c/../..")), ("l/x", b"x")], "l"),
        ([("c", ("sym", ".")), ("c/c/c/l", ("sym", "../../..")), ("x", b"x")], "c/c/c/l"),
        ([("d", "dir"), ("d/c", ("sym", "..")), ("d/c/../x", b"x")], "d/c/../x"),
    ],
)
def test_links_that_leave_are_refused(fetch, sandbox, members, bad):
    refused(fetch, members, sandbox, bad)
    assert outside(sandbox) == {"models2": "dir"}


def test_links_inside_extract(fetch, sandbox):
    members = [
        ("model", "dir"),
        ("model/weights.bin", b"w" * 10),
        ("model/current", ("sym", "weights.bin")),
        ("model/top", ("sym", "..")),  # the destination itself
        ("model/copy.bin", ("lnk", "model/weights.bin")),
    ]
    extract(fetch, members, sandbox)
    assert os.readlink(sandbox / "model" / "current") == "weights.bin"
    assert (sandbox / "model" / "copy.bin").read_bytes() == b"w" * 10
    assert os.stat(sandbox / "model" / "copy.bin").st_ino == os.stat(sandbox / "model" / "weights.bin").st_ino


def test_filter_refuses_specials_and_writes_through_links_on_disk(fetch, sandbox, tmp_path):
    with pytest.raises(tarfile.FilterError):
        extract(fetch, [("dev", ("chr",))], sandbox)
    with pytest.raises(tarfile.FilterError):
        extract(fetch, [("fifo", ("fifo",))], sandbox)
    # a link that was on disk before the extraction
    os.symlink(tmp_path / "models2", sandbox / "out")
    with pytest.raises(Exception):
        extract(fetch, [("out/x", b"x")], sandbox)
    assert os.listdir(tmp_path / "models2") == []


def test_setuid_bits_are_dropped(fetch, sandbox):
    extract(fetch, [("tool", ("mode", 0o6755, b"#!/bin/sh\n"))], sandbox)
    mode = os.stat(sandbox / "tool").st_mode
    assert not mode & (stat.S_ISUID | stat.S_ISGID)


def test_gnu_tar_archive_of_a_model(fetch, sandbox, tmp_path):
    from support.archives import gnu_tar_xz

    files = {"model.xml": "<net/>", "model.bin": b"\0" * 100, "sub/labels.txt": "a\nb\n"}
    data = gnu_tar_xz(tmp_path, "m1", files)
    with open_xz(data) as tf:
        fetch._safe_extract(tf, str(sandbox))
    assert tree(sandbox / "m1") == {"model.xml": b"<net/>", "model.bin": b"\0" * 100, "sub": "dir", "sub/labels.txt": b"a\nb\n"}


HOSTILE = [
    "exarch/cve-2025-4517-traversal.tar.gz",
    "exarch/cve-2024-12905-symlink-escape.tar",
    "exarch/cve-2025-48387-hardlink.tar",
    "node-tar/bad-cksum.tar",
    "node-tar/links-invalid.tar",
    "node-tar/path-missing.tar",
]


@pytest.mark.parametrize("name", HOSTILE)
def test_hostile_corpus_writes_nothing_outside(fetch, corpus, sandbox, name):
    raw = (corpus / "hostile-tar" / name).read_bytes()
    # recompressed to the model archive format, read as a stream like a download
    plain = gzip.decompress(raw) if name.endswith(".gz") else raw

    with tarfile.open(fileobj=io.BytesIO(lzma.compress(plain)), mode="r|xz") as tf:
        try:
            fetch._safe_extract(tf, str(sandbox))
        except Exception:
            pass
    assert outside(sandbox) == {"models2": "dir"}
    for dirpath, dirnames, filenames in os.walk(sandbox):
        for entry in dirnames + filenames:
            p = Path(dirpath, entry)
            if p.is_symlink():
                target = (p.parent / os.readlink(p)).resolve()
                assert target.is_relative_to(sandbox.resolve()), (p, target)


def test_hostile_expectations(fetch, corpus, sandbox):
    def run(name):
        with tarfile.open(corpus / "hostile-tar" / name, "r|*") as tf:
            fetch._safe_extract(tf, str(sandbox))

    for name, first in [
        ("exarch/cve-2025-4517-traversal.tar.gz", "../../../etc/passwd"),
        ("exarch/cve-2024-12905-symlink-escape.tar", "evil_link"),
        ("exarch/cve-2025-48387-hardlink.tar", "evil_hardlink"),
        ("node-tar/path-missing.tar", ""),
    ]:
        with pytest.raises(Exception, match="^Attempted path traversal in tar archive: "):
            run(name)
    run("node-tar/bad-cksum.tar")  # the archive ends at its bad header
    assert (sandbox / "one-byte.txt").read_bytes() == b"a"


@pytest.mark.parametrize("fmt", ["gnu", "pax"])
def test_sparse_members_keep_their_holes(fetch, sandbox, tmp_path, fmt):
    """A member that declares a large size of mostly holes costs what its data costs."""
    import subprocess

    src = tmp_path / "src" / "m"
    src.mkdir(parents=True)
    with open(src / "s", "wb") as f:
        f.seek(1 << 20)
        f.write(b"data")
        f.truncate(256 << 20)
    out = tmp_path / "sparse.tar.xz"
    subprocess.run(["tar", f"--format={fmt}", "--sparse", "-cJf", str(out), "-C", str(src.parent), "m"], check=True)
    with open_xz(out.read_bytes()) as tf:
        fetch._safe_extract(tf, str(sandbox))
    s = sandbox / "m" / "s"
    st = s.stat()
    assert st.st_size == 256 << 20 and st.st_blocks * 512 < 4 << 20
    with open(s, "rb") as f:
        assert f.read(16) == bytes(16)
        f.seek((1 << 20) - 2)
        assert f.read(8) == b"\0\0data\0\0"
