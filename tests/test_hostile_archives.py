"""Hostile archives: nothing is ever written outside the destination.

The destination lies inside a sandbox holding files of its own; after every
extraction, refused or not, the sandbox outside the destination must be exactly
as it was, and every link left in the destination must point inside it.
"""

from __future__ import annotations

import io
import os
import tarfile
import tempfile
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from support.archives import tarfile_xz
from support.modes import scale

TRAVERSAL = "Attempted path traversal in tar archive: "


def archive(members: list[tuple[str, str, object]]) -> io.BytesIO:
    """The archive of (name, kind, arg) members: kind file (arg: bytes), dir, sym or lnk (arg: target)."""
    makers = {"dir": lambda arg: "dir", "sym": lambda arg: ("sym", arg), "lnk": lambda arg: ("lnk", arg)}
    return io.BytesIO(tarfile_xz([(name, makers.get(kind, lambda arg: arg)(arg)) for name, kind, arg in members]))


class Sandbox:
    """<root>/outside.txt, <root>/etc/passwd, <root>/up/dest (the destination)."""

    def __init__(self, root: Path) -> None:
        self.root = root
        (root / "etc").mkdir()
        (root / "etc" / "passwd").write_text("root:x:0:0\n")
        (root / "outside.txt").write_text("keep me\n")
        self.dest = root / "up" / "dest"
        self.dest.mkdir(parents=True)
        self.before = self.outside()

    def outside(self) -> dict[str, tuple]:
        seen: dict[str, tuple] = {}
        for dirpath, dirnames, filenames in os.walk(self.root):
            here = Path(dirpath)
            if here == self.dest:
                dirnames[:] = []
                continue
            for name in dirnames + filenames:
                p = here / name
                s = p.lstat()
                if p.is_symlink():
                    what = ("link", os.readlink(p))
                elif p.is_file():
                    what = ("file", p.read_bytes())
                else:
                    what = ("dir",)
                if p != self.dest:  # a change of mode, owner or links shows in ctime too
                    seen[str(p.relative_to(self.root))] = what + (s.st_mode, s.st_nlink, s.st_mtime_ns, s.st_ctime_ns)
        return seen

    def extract(self, members) -> Exception | None:
        with tarfile.open(fileobj=archive(members), mode="r|xz") as tf:
            try:
                from zelk_sdk.model import fetch

                fetch._safe_extract(tf, str(self.dest))
            except Exception as exc:  # a refusal or an extraction error: both fine here
                return exc
        return None

    def assert_contained(self) -> None:
        assert self.outside() == self.before, "something outside the destination changed"
        dest = os.path.realpath(self.dest)
        for dirpath, dirnames, filenames in os.walk(self.dest):
            for name in dirnames + filenames:
                p = os.path.join(dirpath, name)
                if os.path.islink(p):
                    real = os.path.realpath(p)
                    assert real == dest or real.startswith(dest + os.sep), f"{p} -> {os.readlink(p)} leaves"


@pytest.fixture
def sandbox(tmp_path):
    return Sandbox(tmp_path)


def long_path_escape() -> list[tuple[str, str, object]]:
    """Links whose expanded path outgrows PATH_MAX, where os.path.realpath stops
    resolving: "escape" is lexically inside but really the destination's parent."""
    comp = "d" * 247
    steps = "abcdefghijklmnop"
    members, path = [], ""
    for step in steps:
        members.append((os.path.join(path, comp), "dir", None))
        members.append((os.path.join(path, step), "sym", comp))
        path = os.path.join(path, comp)
    linkpath = os.path.join(*steps, "l" * 254)
    members.append((linkpath, "sym", "../" * len(steps)))
    members.append(("escape", "sym", linkpath + "/.."))
    members.append(("escape/pwned", "file", b"pwned\n"))
    return members


@pytest.mark.parametrize(
    "members, refused",
    [
        pytest.param(long_path_escape(), "a/b/c/d/e/f/g/h/i/j/k/l/m/n/o/p/" + "l" * 254, id="past-PATH_MAX"),
        pytest.param([("cur", "sym", "."), ("par", "sym", "cur/.."), ("par/moo", "file", b"x")], "par", id="cur-par"),
        pytest.param(
            [("cur", "sym", "."), ("cur/par", "sym", ".."), ("par/moo", "file", b"x")], "cur/par", id="cur/par"
        ),
        # the link is fine while "m" is missing; "m" made a link later would move it out
        pytest.param([("l", "sym", "m/.."), ("m", "sym", "."), ("l/moo", "file", b"x")], "l", id="missing-then-link"),
        # each link climbs one level more once the next one exists: a link to any file on the machine
        pytest.param(
            [("l", "sym", "m/../etc/passwd"), ("m", "sym", "n/.."), ("n", "sym", ".")], "l", id="chain-to-a-file"
        ),
        # "x/.." through a link that a later member replaces
        pytest.param(
            [("sub", "dir", None), ("x", "sym", "sub"), ("l", "sym", "x/.."), ("x", "sym", "."), ("l/m", "file", b"")],
            "l",
            id="replaced-link",
        ),
        pytest.param([("s", "sym", "."), ("h", "lnk", "s/../outside.txt")], "h", id="hard-link-through-link"),
        pytest.param([("up", "sym", ".."), ("up/x", "file", b"x")], "up", id="parent-link"),
    ],
)
def test_links_that_climb_out_through_links_are_refused(sandbox, members, refused):
    err = sandbox.extract(members)
    assert type(err) is Exception and str(err) == TRAVERSAL + refused
    sandbox.assert_contained()


# --------------------------------------------------------------- generated archives

PARTS = ["a", "b", "c", "..", "."]
names = st.lists(st.sampled_from(PARTS), min_size=1, max_size=6).map("/".join)
targets = st.one_of(
    names,  # other members: chains of links, hard links to links, dangling ones
    st.sampled_from(["../outside.txt", "../../outside.txt", "../../etc", "/etc/passwd", "..", "../..", "", "."]),
    # climbs that stay inside from a deep link and leave from a shallow one
    st.builds(lambda n, tail: "../" * n + tail, st.integers(0, 6), st.sampled_from(["outside.txt", "etc", "a", "a/b"])),
)
member = st.one_of(
    st.tuples(names, st.just("file"), st.binary(max_size=8)),
    st.tuples(names, st.just("dir"), st.none()),
    st.tuples(names, st.just("sym"), targets),
    st.tuples(names, st.just("lnk"), targets),
)

PROPERTY = settings(
    max_examples=scale(150, 2000),
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much],
)


@st.composite
def relinked(draw) -> list[tuple[str, str, object]]:
    """A symbolic link whose text stays inside from where it is, then a hard
    link to it, or a symbolic link through it, from a place where the same
    text climbs out."""
    deep = draw(st.lists(st.sampled_from(["a", "b", "c"]), min_size=1, max_size=5))
    link = "/".join(deep + ["s"])
    target = "../" * draw(st.integers(0, len(deep) + 2)) + draw(st.sampled_from(["outside.txt", "etc/passwd", "etc"]))
    at = draw(st.lists(st.sampled_from(["a", "h"]), min_size=1, max_size=2))
    if draw(st.booleans()):
        return [(link, "sym", target), ("/".join(at), "lnk", link)]
    return [(link, "sym", target), ("/".join(at), "sym", "../" * (len(at) - 1) + link)]


archives = st.lists(st.one_of(member.map(lambda m: [m]), relinked()), min_size=1, max_size=6).map(
    lambda groups: [m for g in groups for m in g]
)


@PROPERTY
@given(archives)
def test_random_archives_never_write_outside(members):
    with tempfile.TemporaryDirectory() as tmp:
        box = Sandbox(Path(tmp))
        err = box.extract(members)
        assert err is None or isinstance(err, Exception)
        box.assert_contained()


# plain names: no "." or "..", no absolute paths, links only to members already
# extracted, and nothing placed below a link (whose own depth would differ)
plain = st.lists(st.sampled_from(["a", "b", "c"]), min_size=1, max_size=3).map("/".join)


@st.composite
def benign_archives(draw):
    members: list[tuple[str, str, object]] = []
    regular: list[str] = []  # directories and files that are no links
    files: list[str] = []  # hard links need a file
    links: set[str] = set()
    seen: set[str] = set()
    for _ in range(draw(st.integers(1, 8))):
        name = draw(plain)
        parts = name.split("/")
        if any("/".join(parts[:i]) in links for i in range(1, len(parts))):
            continue
        kind = draw(st.sampled_from(["file", "dir", "sym", "lnk"]) if regular else st.sampled_from(["file", "dir"]))
        if kind == "lnk" and (not files or name in seen):  # a hard link never replaces anything
            continue
        if kind in ("sym", "lnk"):
            # a target that is no link now can never lead back here: no loops
            target = draw(st.sampled_from(regular if kind == "sym" else files))
            if target == name:
                continue
            if kind == "sym":
                # relative to the link's own directory, which lies under the destination
                target = "../" * name.count("/") + target
                regular = [r for r in regular if r != name]
                files = [f for f in files if f != name]
                links.add(name)
            else:
                regular.append(name)
                files.append(name)
            members.append((name, kind, target))
        else:
            members.append((name, kind, b"x" if kind == "file" else None))
            links.discard(name)  # a member replaces the link of its name, as tar does
            regular.append(name)
            if kind == "file":
                files.append(name)
        seen.update("/".join(parts[:i]) for i in range(1, len(parts) + 1))
    return members


@PROPERTY
@given(benign_archives())
def test_members_that_cannot_escape_are_never_refused(members):
    with tempfile.TemporaryDirectory() as tmp:
        box = Sandbox(Path(tmp))
        err = box.extract(members)
        # clashes (a file where a directory is wanted) may fail extraction, but never as a traversal
        assert err is None or not str(err).startswith(TRAVERSAL), err
        box.assert_contained()
