"""The model store's promises, each against an archive built here and served
by the local backend: links never lead out of the model, an archive installs
whole or not at all, an archive for model M changes nothing but M, only the
module's own scratch entries are ever swept, and nobody else's lock or
rebinding changes the outcome."""

from __future__ import annotations

import fcntl
import io
import lzma
import os
import shutil
import tarfile
import threading
import types
from pathlib import Path

import pytest

from support.archives import tarfile_xz, tree

MODEL = [("m", "dir"), ("m/model.xml", b"<xml/>"), ("m/sub", "dir"), ("m/sub/weights.bin", b"w" * 3000)]


def raw_tar(members, end_marker=True) -> bytes:
    """An uncompressed tar of (name, bytes) members, optionally without its
    end-of-archive blocks (a `tar | xz` pipeline whose tar died)."""
    buf = io.BytesIO()
    tf = tarfile.open(fileobj=buf, mode="w", format=tarfile.GNU_FORMAT)
    for name, data in members:
        info = tarfile.TarInfo(name)
        info.size = len(data)
        info.mtime = 1_700_000_000
        tf.addfile(info, io.BytesIO(data))
    if end_marker:
        tf.close()
    return buf.getvalue()


FILES = [(f"m/part{i}.bin", os.urandom(7000)) for i in range(10)]


def snapshot(base: Path) -> dict:
    return tree(base) if base.exists() else {}


def fails_with(fetch, fetch_log, url, base, text):
    before = {k: v for k, v in snapshot(base).items() if not k.endswith(".tar.xz")}
    assert fetch.download_url(url) is None
    [warning] = fetch_log.at("warning")
    archive = base / Path(url).name
    assert warning.startswith(f"Failed to extracting tarxz {archive} - {text}"), warning
    assert snapshot(base) == before  # no model, no scratch entry, nothing else touched


# ------------------------------------------------------------------ links


@pytest.mark.parametrize(
    "link, target",
    [
        ("m/cfg/", "../../etc/passwd"),  # created at m/cfg: one level less deep than written
        ("m/sib/", "../../othermodel"),
        ("m//cfg//", "../../x"),
        ("m/./cfg", "../../x"),
        ("up/", "../"),
        ("m/other", "../othermodel/weights.bin"),  # inside the base directory, outside the model
        ("m/self", "."),  # stays: the model directory itself
    ],
)
def test_links_resolve_inside_the_model_only(fetch, fetch_log, model_env, backend, link, target):
    base = model_env
    (base / "othermodel").mkdir(parents=True)
    (base / "othermodel" / "weights.bin").write_bytes(b"theirs")
    url = backend.serve("m.tar.xz", tarfile_xz([*MODEL, (link, ("sym", target))]))
    if target == ".":
        assert fetch.download_url(url) == str(base / "m")
        assert os.readlink(base / "m" / "self") == "."
        return
    fails_with(fetch, fetch_log, url, base, "Attempted path traversal in tar archive: ")


def test_a_link_climbing_out_of_a_file_that_later_becomes_a_link(fetch, fetch_log, model_env, backend):
    """m/d1 is a file when m/l -> d1/../../x is checked, then becomes d1 -> .:
    the link now climbs out. Refused by the member check itself, and by the
    tree check even when too few descriptors are left to list the tree."""
    import resource

    data = tarfile_xz([*MODEL, ("m/d1", b""), ("m/l", ("sym", "d1/../../x")), ("m/d1", ("sym", "."))])
    fails_with(fetch, fetch_log, backend.serve("m.tar.xz", data), model_env, "Attempted path traversal in tar archive: m/l")
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    for free in (1, 2, 3, 4):
        (model_env / "m.tar.xz").write_bytes(data)  # on disk: no request, no server needing descriptors
        resource.setrlimit(resource.RLIMIT_NOFILE, (len(os.listdir("/proc/self/fd")) - 1 + free, hard))
        try:
            result = fetch.download_url("http://127.0.0.1:9/m.tar.xz")
        finally:
            resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))
        assert result is None and not (model_env / "m").exists(), f"{free} descriptors free"


def test_link_chains_are_followed_as_the_kernel_follows_them(fetch, fetch_log, model_env, backend):
    inside = [*MODEL, ("m/sub/up", ("sym", "..")), ("m/ok", ("sym", "sub/weights.bin"))]
    assert fetch.download_url(backend.serve("m.tar.xz", tarfile_xz(inside))) == str(model_env / "m")
    # each link alone stays in the model; the last one leads out through the others
    chain = [("n", "dir"), ("n/sub", "dir"), ("n/a", ("sym", "sub")), ("n/sub/b", ("sym", "..")), ("n/c", ("sym", "a/b/.."))]
    fails_with(fetch, fetch_log, backend.serve("n.tar.xz", tarfile_xz(chain)), model_env,
               "Attempted path traversal in tar archive: n/c")


# ------------------------------------------------------------------ whole or nothing


@pytest.mark.parametrize("cut", [1, 0.5, 0.9])
def test_concatenated_xz_streams_are_one_archive(fetch, fetch_log, model_env, backend, cut):
    """What xz -d reads whole (streams one after another, stream padding
    between them) is extracted whole."""
    tar = raw_tar(FILES)
    at = 512 * max(1, int(len(tar) // 512 * cut)) if cut != 1 else 512 * 5
    data = lzma.compress(tar[:at]) + bytes(8) + lzma.compress(tar[at:]) + bytes(4)
    url = backend.serve("m.tar.xz", data)
    assert fetch.download_url(url) == str(model_env / "m")
    assert tree(model_env / "m") == {name[2:]: body for name, body in FILES}


def member_boundaries(tar: bytes) -> list[int]:
    return [m.offset for m in tarfile.open(fileobj=io.BytesIO(tar))]


@pytest.mark.parametrize("where", ["at a member boundary", "inside a header", "inside a member"])
def test_tar_stream_cut_before_compression(fetch, fetch_log, model_env, backend, where):
    tar = raw_tar(FILES, end_marker=False)
    fourth = member_boundaries(tar)[4]
    cut = {"at a member boundary": fourth, "inside a header": fourth + 100, "inside a member": fourth + 1000}[where]
    url = backend.serve("m.tar.xz", lzma.compress(tar[:cut]))
    text = "unexpected end of data" if where == "inside a member" else "truncated archive: the tar data ends"
    fails_with(fetch, fetch_log, url, model_env, text)


def test_what_follows_the_end_marker(fetch, fetch_log, model_env, backend):
    """Ignored, as GNU tar ignores it, but only if the xz data holding it is
    intact to its end."""
    trailer = os.urandom(300_000)
    data = lzma.compress(raw_tar(FILES) + trailer)
    url = backend.serve("m.tar.xz", data)
    assert fetch.download_url(url) == str(model_env / "m")

    damaged = bytearray(lzma.compress(raw_tar([("n/a", b"a")]) + trailer))
    damaged[len(damaged) - 2000] ^= 0x40  # in the compressed trailer, long after the last member
    fails_with(fetch, fetch_log, backend.serve("n.tar.xz", bytes(damaged)), model_env, "invalid compressed data")


# ------------------------------------------------------------------ only M


def test_an_archive_for_m_changes_nothing_but_m(fetch, fetch_log, model_env, backend, tmp_path):
    base = model_env
    (base / "victim").mkdir(parents=True)
    (base / "victim" / "model.xml").write_bytes(b"installed")
    (base / "notes.txt").write_text("mine")
    before = snapshot(base)
    planted = tarfile_xz([("next", "dir"), ("next/model.xml", b"planted")])
    members = [
        ("evil", "dir"),
        ("evil/model.xml", b"evil's own"),
        ("victim/model.xml", b"replaced"),
        ("next.tar.xz", planted),
        ("._evil", b"resource fork"),
    ]
    url = backend.serve("evil.tar.xz", tarfile_xz(members))
    assert fetch.download_url(url) == str(base / "evil")
    assert fetch_log.at("warning") == [
        f"Ignored entries of {base / 'evil.tar.xz'} outside the model directory - '._evil', 'next.tar.xz', 'victim'"
    ]
    after = snapshot(base)
    assert {k: v for k, v in after.items() if not k.startswith("evil")} == before
    assert tree(base / "evil") == {"model.xml": b"evil's own"}
    # nothing planted: fetching next asks the server
    url_next = backend.serve("next.tar.xz", tarfile_xz([("next", "dir"), ("next/model.xml", b"real")]))
    assert fetch.download_url(url_next) == str(base / "next")
    assert (base / "next" / "model.xml").read_bytes() == b"real"
    assert backend.paths()[-1] == "/files/next.tar.xz"


@pytest.mark.parametrize(
    "members",
    [[("other", "dir"), ("other/a", b"a")], [("m", b"a file, not a directory")], [("m/", ("sym", "sub"))]],
    ids=["no m", "m is a file", "m is a link"],
)
def test_an_archive_that_does_not_produce_m_fails(fetch, fetch_log, model_env, backend, members):
    url = backend.serve("m.tar.xz", tarfile_xz(members))
    fails_with(fetch, fetch_log, url, model_env, "the archive holds no directory 'm'")


# ------------------------------------------------------------------ own names only


def test_only_the_modules_own_scratch_entries_are_swept(fetch, fetch_log, model_env, backend):
    base = model_env
    base.mkdir()
    (base / ".zelk-tmp-notes.txt").write_text("a user's")
    (base / ".zelk-tmp-0123456789abcdef-01234567.part").write_text("looks like ours, is not")
    (base / ".zelk-tmp-dir.staging").mkdir()
    (base / ".zelk-tmp-dir.staging" / "keep").write_text("k")
    before = snapshot(base)
    url = backend.serve(".zelk-tmp-model.tar.xz", tarfile_xz([(".zelk-tmp-model", "dir"), (".zelk-tmp-model/a", b"a")]))
    assert fetch.download_url(url) == str(base / ".zelk-tmp-model")
    assert fetch.download_file(url, str(base / "copy.tar.xz")) is True
    after = snapshot(base)
    assert {k: v for k, v in after.items() if not k.startswith((".zelk-tmp-model", "copy"))} == before


# ------------------------------------------------------------------ others' locks, concurrency, rebinding


@pytest.mark.parametrize("kind", [fcntl.LOCK_EX, fcntl.LOCK_SH])
def test_another_programs_lock_on_the_base_directory_does_not_stall(fetch, fetch_log, model_env, backend, kind):
    model_env.mkdir()
    url = backend.serve("m.tar.xz", tarfile_xz(MODEL))
    fd = os.open(model_env, os.O_RDONLY | os.O_DIRECTORY)
    fcntl.flock(fd, kind)
    result = []
    try:
        worker = threading.Thread(target=lambda: result.append(fetch.download_url(url)), daemon=True)
        worker.start()
        worker.join(30)
        assert result == [str(model_env / "m")]
    finally:
        os.close(fd)


def test_callers_racing_for_one_model_each_get_it(fetch, fetch_log, model_env, backend):
    files = [(f"m/part{i}.bin", os.urandom(30_000)) for i in range(30)]
    url = backend.serve("m.tar.xz", lzma.compress(raw_tar(files)))
    start = threading.Barrier(6)
    results = []

    def worker():
        start.wait()
        results.append(fetch.download_url(url))

    threads = [threading.Thread(target=worker) for _ in range(6)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    assert results == [str(model_env / "m")] * 6, fetch_log.at("warning")
    assert tree(model_env / "m") == {name[2:]: body for name, body in files}
    assert os.listdir(model_env) == ["m"]


def test_rebound_extractor_or_tarfile_runs_as_written(fetch, fetch_log, model_env, backend, monkeypatch):
    real_extract = fetch._safe_extract
    archive = model_env / "m.tar.xz"

    def own_way(tar, path):  # reads the archive itself, not the stream it is given
        with tarfile.open(archive, "r:xz") as t:
            t.extractall(path, filter="data")

    monkeypatch.setattr(fetch, "_safe_extract", own_way)
    assert fetch.download_url(backend.serve("m.tar.xz", tarfile_xz(MODEL))) == str(model_env / "m")

    # a spy around the real extractor keeps every check
    calls = []
    monkeypatch.setattr(fetch, "_safe_extract", lambda tar, path: calls.append(path) or real_extract(tar, path))
    url = backend.serve("n.tar.xz", lzma.compress(raw_tar([("n/a", b"a"), ("n/b", b"b")], end_marker=False)))
    fails_with(fetch, fetch_log, url, model_env, "truncated archive")
    assert len(calls) == 1

    # a stand-in for tarfile without ReadError or anything else but open
    monkeypatch.setattr(fetch, "_safe_extract", real_extract)
    monkeypatch.setattr(fetch, "tarfile", types.SimpleNamespace(open=tarfile.open))
    fetch_log.clear()
    assert fetch.download_url(backend.serve("p.tar.xz", tarfile_xz([("p", "dir"), ("p/a", b"a")]))) == str(
        model_env / "p"
    )
    assert fetch_log.at("warning") == []


# ------------------------------------------------------------------ odd bases, odd entries


def test_relative_base_with_paths_too_long_for_the_checks(fetch, fetch_log, tmp_path, monkeypatch):
    """With a relative base, the kernel reaches from the working directory
    what the checks, by absolute paths longer than PATH_MAX, could not test:
    links met on such a path must not be taken for directories."""
    cwd = tmp_path / ("w" * 75)
    (cwd / "models" / "victim").mkdir(parents=True)
    (cwd / "models" / "victim" / "model.xml").write_text("original")
    monkeypatch.chdir(cwd)
    monkeypatch.setattr(fetch, "BASE_MODEL_DIR", "models")
    staging = len("models/.zelk-tmp-0123456789abcdef-01234567.staging")
    dirs, rel = ["m"], 1
    while len(str(cwd)) + staging + rel + 4 < 4096:
        dirs.append(f"d{len(dirs):02d}".ljust(min(249, 4096 - (len(str(cwd)) + staging + rel + 4)), "x"))
        rel += len(dirs[-1]) + 1
    n = len(dirs) - 1
    at = lambda i: "/".join(dirs[: i + 1])  # noqa: E731
    up = at(n) + "/L/../L/.." + "/.." * (n - 1)
    members = [(at(i), "dir") for i in range(n + 1)]
    members += [(at(n) + "/L", ("sym", "..")), (at(n - 2) + "/L", ("sym", ".."))]
    members += [(up + "/pwned", b"outside"), (up + "/models/victim/model.xml", b"replaced")]
    (cwd / "models" / "m.tar.xz").write_bytes(tarfile_xz(members))
    assert fetch.download_url("http://127.0.0.1:9/m.tar.xz") is None
    assert not (cwd / "pwned").exists()
    assert (cwd / "models" / "victim" / "model.xml").read_text() == "original"
    assert sorted(os.listdir(cwd / "models")) == ["victim"]


def test_a_link_that_could_not_be_made_fails_the_extraction(fetch, fetch_log, model_env, backend):
    """tarfile only logs a link it could not create (here a directory of the
    same name is in the way) and may put its target's copy there instead."""
    members = [("m", "dir"), ("m/v3", "dir"), ("m/current", "dir"), ("m/current", ("sym", "v3"))]
    fails_with(fetch, fetch_log, backend.serve("m.tar.xz", tarfile_xz(members)), model_env,
               "could not create the symbolic link m/current of the archive")


def test_deep_stale_staging_is_swept_on_a_small_stack_and_few_descriptors(fetch, fetch_log, model_env, backend):
    import resource

    from support.scratch import scratch_name

    model_env.mkdir()
    cur = os.open(model_env, os.O_RDONLY)
    for i in range(1500):
        name = scratch_name(".staging") if i == 0 else "a"
        os.mkdir(name, dir_fd=cur)
        nxt = os.open(name, os.O_RDONLY, dir_fd=cur)
        os.close(cur)
        cur = nxt
    os.close(cur)
    url = backend.serve("m.tar.xz", tarfile_xz(MODEL))
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (256, hard))
    old_stack = threading.stack_size(256 * 1024)
    try:
        result = []
        worker = threading.Thread(target=lambda: result.append(fetch.download_url(url)))
        worker.start()
        worker.join(120)
    finally:
        threading.stack_size(old_stack)
        resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))
    assert result == [str(model_env / "m")]
    assert os.listdir(model_env) == ["m"]


@pytest.mark.parametrize("case", ["fifo in the archive's place", "name that is another model's archive", "Path base",
                                  "name of a scratch entry"])
def test_odd_entries_and_names(fetch, fetch_log, model_env, backend, monkeypatch, case):
    base = model_env
    base.mkdir()
    url = backend.serve("m.tar.xz", tarfile_xz(MODEL))
    if case == "fifo in the archive's place":  # libmagic would wait for a writer
        os.mkfifo(base / "m.tar.xz")
        worker = threading.Thread(target=lambda: fetch.download_url(url), daemon=True)
        worker.start()
        worker.join(30)
        assert not worker.is_alive()
        assert os.listdir(base) == ["m"]
    elif case == "name that is another model's archive":  # bar.tar.x.tar.xzz names "bar.tar.xz"
        (base / "bar.tar.xz").write_bytes(b"bar's archive")
        assert fetch.download_url(backend.base + "/files/bar.tar.x.tar.xzz") is None
        assert (base / "bar.tar.xz").read_bytes() == b"bar's archive"
    elif case == "name of a scratch entry":  # the next fetch would sweep it away
        from support.scratch import scratch_name

        name = scratch_name(".staging")
        assert fetch.download_url(backend.serve(name + ".tar.xz", tarfile_xz([(name, "dir")]))) is None
        assert os.listdir(base) == []
    else:
        monkeypatch.setattr(fetch, "BASE_MODEL_DIR", base)
        assert fetch.download_url(url) == str(base / "m")


# ------------------------------------------------------------------ shapes the kernel refuses

DEEP = "m/" + "/".join(f"d{i}" for i in range(1, 41))


def outside_state(root: Path, skip: Path) -> dict:
    """Type, mode, times and contents of everything under root but `skip`."""
    seen = {}
    for dirpath, dirnames, filenames in os.walk(root):
        if Path(dirpath) == skip:
            dirnames[:] = []
            continue
        for name in dirnames + filenames:
            p = Path(dirpath, name)
            if p == skip:
                continue
            st = p.lstat()
            body = p.read_bytes() if p.is_file() and not p.is_symlink() else None
            seen[str(p.relative_to(root))] = (st.st_mode, st.st_mtime_ns, st.st_nlink, body)
    return seen


@pytest.mark.parametrize(
    "members",
    [
        # a link that stays inside where it is, made again by a hard link where it climbs out
        pytest.param([("m", "dir"), (DEEP + "/s", ("sym", "../" * 40 + "../victim")), ("h", ("lnk", DEEP + "/s"))],
                     id="hard-to-symbolic-at-top"),
        pytest.param([("m", "dir"), (DEEP + "/s", ("sym", "../" * 39 + "../victim")), ("m/h", ("lnk", DEEP + "/s"))],
                     id="hard-to-symbolic-in-m"),
        pytest.param([("m", "dir"), ("m/s", ("sym", "nowhere")), ("m/h", ("lnk", "m/s"))], id="hard-to-dangling"),
        pytest.param([("m", "dir"), ("m/d", "dir"), ("m/h", ("lnk", "m/d"))], id="hard-to-directory"),
        pytest.param([("m", "dir"), ("m/h", ("lnk", "m/never"))], id="hard-to-missing"),
    ],
)
def test_hard_links_name_only_files_the_archive_wrote(fetch, fetch_log, model_env, backend, tmp_path, members):
    model_env.mkdir()
    (tmp_path / "victim").write_bytes(b"keep")
    os.chmod(tmp_path / "victim", 0o600)
    (tmp_path / "vdir").mkdir(mode=0o700)
    os.utime(tmp_path / "victim", (1, 1))
    before = outside_state(tmp_path, model_env)
    fails_with(fetch, fetch_log, backend.serve("m.tar.xz", tarfile_xz(members)), model_env, "the hard link")
    assert outside_state(tmp_path, model_env) == before


@pytest.mark.parametrize("when", ["\ttar.xz file: ", "Extracting model file"])  # before the transfer, after it
@pytest.mark.parametrize("replacement", ["directory", "link"])
def test_a_base_directory_replaced_during_the_fetch_fails_it(fetch, model_env, backend, tmp_path, when, replacement):
    """Whoever may write the base directory's parent swaps it: nothing is
    written where the name then leads, no foreign archive is read, and the
    call returns no path."""
    from support.logcap import RecordingLogger

    url = backend.serve("m.tar.xz", tarfile_xz(MODEL))
    moved, elsewhere = tmp_path / "moved", tmp_path / "elsewhere"
    elsewhere.mkdir()
    (elsewhere / "m.tar.xz").write_bytes(tarfile_xz([("m", "dir"), ("m/model.xml", b"foreign")]))
    before = outside_state(elsewhere, elsewhere / "none")

    class Swapping(RecordingLogger):
        def info(self, message, *rest):
            super().info(message, *rest)
            if message.startswith(when):
                os.rename(model_env, moved)
                if replacement == "link":
                    os.symlink(elsewhere, model_env)
                else:
                    os.rename(elsewhere, model_env)

    log = Swapping()
    fetch.logger, saved = log, fetch.logger
    try:
        assert fetch.download_url(url) is None
    finally:
        fetch.logger = saved
    [warning] = log.at("warning")
    assert "was replaced while the model was fetched" in warning
    # the model is at no path at all, and the place the name leads to now is as it was
    assert outside_state(model_env if replacement == "directory" else elsewhere, Path("/none")) == before
    assert set(os.listdir(moved)) <= {"m.tar.xz"}


@pytest.mark.parametrize("plant", ["symlink", "directory", "hard link", "fifo"])
def test_anything_but_our_lock_file_at_its_name_is_left_alone(fetch, fetch_log, model_env, backend, tmp_path, plant):
    from support.scratch import keyed_name

    model_env.mkdir()
    victim = tmp_path / "victim"
    victim.write_bytes(b"keep")
    lock = model_env / keyed_name("m", ".lock")
    {"symlink": lambda: os.symlink(victim, lock), "directory": lambda: lock.mkdir(),
     "hard link": lambda: os.link(victim, lock), "fifo": lambda: os.mkfifo(lock)}[plant]()
    before = lock.lstat()
    assert fetch.download_url(backend.serve("m.tar.xz", tarfile_xz(MODEL))) == str(model_env / "m")
    assert fetch_log.at("warning") == [f"fetching m without its lock: '{lock}' is not a lock file of this module"]
    after = lock.lstat()
    assert (after.st_ino, after.st_mode, after.st_nlink) == (before.st_ino, before.st_mode, before.st_nlink)
    assert victim.read_bytes() == b"keep"


def test_a_stand_in_tarfile_does_not_change_the_judgement(fetch, fetch_log, model_env, backend, monkeypatch):
    """The xz data's last bytes lost: tarfile's own stream reader never notices."""
    monkeypatch.setattr(fetch, "tarfile", types.SimpleNamespace(open=tarfile.open))
    url = backend.serve("m.tar.xz", tarfile_xz(MODEL)[:-30])
    fails_with(fetch, fetch_log, url, model_env, "truncated archive: the file does not end with a complete xz stream")


LAYOUTS = {
    # name: (make(tmp) -> base, safe)
    "a link in a directory of ours": (lambda t: (t / "real").mkdir() or os.symlink("../real", t / "p" / "models"), True),
    "a sticky directory, the base ours": (lambda t: os.chmod(t / "p", 0o1777) or (t / "p" / "models").mkdir(), True),
    "a sticky directory, the base another user's": (
        lambda t: os.chmod(t / "p", 0o1777) or (t / "p" / "models").mkdir() or os.chown(t / "p" / "models", 65534, 65534),
        False,
    ),
    "a directory anybody may write": (lambda t: os.chmod(t / "p", 0o777) or (t / "p" / "models").mkdir(), False),
    "a link in a directory another user owns": (
        lambda t: os.chown(t / "p", 65534, 65534) or os.symlink(t / "victim", t / "p" / "models"),
        False,
    ),
    "a directory another user may write through an ACL": (lambda t: acl_for_another_user(t / "p") or
                                                           (t / "p" / "models").mkdir(), False),
    "a base directory anybody may write": (lambda t: (t / "p" / "models").mkdir(mode=0o777) or
                                           os.chmod(t / "p" / "models", 0o777), False),
    "a sticky base directory": (lambda t: (t / "p" / "models").mkdir() or os.chmod(t / "p" / "models", 0o1777), False),
    "a base directory of another user's": (lambda t: (t / "p" / "models").mkdir() or
                                           os.chown(t / "p" / "models", 65534, 65534), False),
}


def acl_for_another_user(d: Path) -> None:
    """rwx for uid 65534 on `d` (mode 0775, root's group): the group bits are the ACL's mask."""
    import struct

    os.chmod(d, 0o775)
    entries = [(0x01, 7, 0xFFFFFFFF), (0x02, 7, 65534), (0x04, 5, 0xFFFFFFFF), (0x10, 7, 0xFFFFFFFF),
               (0x20, 5, 0xFFFFFFFF)]
    try:
        os.setxattr(d, "system.posix_acl_access", struct.pack("<I", 2) + b"".join(struct.pack("<HHI", *e) for e in entries))
    except OSError as err:
        pytest.skip(f"no ACLs here: {err}")


@pytest.mark.skipif(os.geteuid() != 0, reason="needs other users' files")
@pytest.mark.parametrize("layout", list(LAYOUTS))
def test_a_base_directory_another_user_could_replace_is_refused(fetch, fetch_log, backend, tmp_path, layout):
    """Whoever may write a directory on the base directory's way can point it anywhere, before a fetch
    or during it: such a base directory is refused before anything is made, removed or read there."""
    make, safe = LAYOUTS[layout]
    (tmp_path / "p").mkdir(mode=0o755)
    victim = tmp_path / "victim"
    victim.mkdir(mode=0o700)
    (victim / "m").write_bytes(b"root's own file")
    make(tmp_path)
    base = tmp_path / "p" / "models"
    before = outside_state(victim, Path("/none"))
    fetch.BASE_MODEL_DIR, saved = str(base), fetch.BASE_MODEL_DIR
    try:
        result = fetch.download_url(backend.serve("m.tar.xz", tarfile_xz(MODEL)))
    finally:
        fetch.BASE_MODEL_DIR = saved
    if safe:
        assert result == str(base / "m") and tree(base / "m") == tree_of(MODEL)
    else:
        assert result is None and backend.requests == []
        [warning] = fetch_log.at("warning")
        assert "could be replaced by another user" in warning
    assert outside_state(victim, Path("/none")) == before


@pytest.mark.skipif(os.geteuid() != 0, reason="needs other users' files")
def test_what_makedirs_would_make_beyond_a_missing_part_is_judged_first(fetch, fetch_log, tmp_path):
    """"nx/../cot/lnk/new": os.makedirs makes "nx", climbs back and follows
    another user's link; nothing may be made before that is judged."""
    (tmp_path / "victim").mkdir()
    (tmp_path / "cot").mkdir()
    os.chown(tmp_path / "cot", 65534, 65534)
    os.symlink(tmp_path / "victim", tmp_path / "cot" / "lnk")
    fetch.BASE_MODEL_DIR, saved = str(tmp_path / "nx" / ".." / "cot" / "lnk" / "new"), fetch.BASE_MODEL_DIR
    try:
        assert fetch.download_url("http://127.0.0.1:9/m.tar.xz") is None
    finally:
        fetch.BASE_MODEL_DIR = saved
    assert "could be replaced by another user" in fetch_log.at("warning")[0]
    assert os.listdir(tmp_path / "victim") == [] and not (tmp_path / "nx").exists()


def tree_of(members) -> dict:
    return {name[2:]: (body if isinstance(body, bytes) else "dir") for name, body in members if name != "m"}
