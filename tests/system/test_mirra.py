"""mirra: every item inside SOURCE comes to stand inside DESTINATION with its
modes, owners, times, flags and extended attributes; nothing in DESTINATION
is followed."""

import os
import shutil
import socket
import stat
import subprocess

import pytest

import hoststate as hs
from conftest import File, Folder, Link, make_tree, run_program

OLD_NS = 1_000_000_000_123_456_789


def describe(path):
    """Everything mirra promises to keep, for one item."""
    st = os.lstat(path)
    item = {"type": stat.S_IFMT(st.st_mode), "mode": stat.S_IMODE(st.st_mode), "owner": (st.st_uid, st.st_gid),
            "mtime": st.st_mtime_ns, "flags": hs.flags(path), "rdev": st.st_rdev,
            "xattrs": {n: os.getxattr(path, n, follow_symlinks=False)
                       for n in os.listxattr(path, follow_symlinks=False)}}
    if not stat.S_ISDIR(st.st_mode):
        item["atime"] = st.st_atime_ns
    if stat.S_ISREG(st.st_mode):
        with os.fdopen(os.open(path, os.O_RDONLY | os.O_NOATIME | os.O_NOFOLLOW), "rb") as f:
            item["data"] = f.read()
    elif stat.S_ISLNK(st.st_mode):
        item["target"] = os.readlink(path)
        os.utime(path, ns=(st.st_atime_ns, st.st_mtime_ns), follow_symlinks=False)  # reading moved it
    return item


def snapshot(root, link_atimes=True):
    """relative path -> describe(); no link is followed, as that would move its access time."""
    items, pending = {}, [str(root)]
    while pending:
        for entry in os.scandir(pending.pop()):
            item = items[os.path.relpath(entry.path, root)] = describe(entry.path)
            if "target" in item and not link_atimes:
                del item["atime"]
            if entry.is_dir(follow_symlinks=False):
                pending.append(entry.path)
    return items


def age(root):
    """Distinct fixed times on every item, folders after what they hold."""
    for n, (folder, dirs, files) in enumerate(os.walk(root, topdown=False)):
        for m, name in enumerate(files + dirs + [""]):
            os.utime(os.path.join(folder, name), ns=(OLD_NS + n, OLD_NS + 1000 * n + m), follow_symlinks=False)


def mirra(source, destination, *options):
    return run_program("mirra", *(options or ("-rsrcFork",)), source, destination)


def rich_template(root):
    """One of everything a template may hold."""
    deep = {"bottom": "deep"}
    for level in range(20):
        deep = {"level%d" % level: deep}
    make_tree(root, {
        "Library": Folder({**deep, "relative-link": Link("../readonly")}, mode=0o700, owner=(1, 1)),
        "tool": File("#!/bin/sh\n", 0o4755, (2, 3)), "readonly": File("r", 0o444, (501, 20)),
        "empty": File("", 0o600), "big": os.urandom(3 * 1024 * 1024 + 17), "document": "with a fork",
        "hidden": "", "nodump": "", "appendonly": "log\n", "frozen": "frozen",
        "dangling-link": Link("/nonexistent/target", owner=(5, 6)),
        "Locked": Folder({"inside": "in a locked folder"}, mode=0o711)})
    os.setxattr(root / "document", "trusted.velmora.rsrcfork", os.urandom(3000))
    os.setxattr(root / "document", "user.comment", b"kept")
    os.setxattr(root / "dangling-link", "trusted.note", b"on the link", follow_symlinks=False)
    hs.set_acl(root / "document", [(hs.DENY, 0x10, 0, hs.EVERYONE)])
    hs.add_flags(root / "hidden", hs.UF_HIDDEN)
    hs.add_flags(root / "nodump", hs.UF_NODUMP)
    os.mkfifo(root / "fifo", 0o640)
    os.mknod(root / "null", 0o600 | stat.S_IFCHR, os.makedev(1, 3))
    with socket.socket(socket.AF_UNIX) as sock:
        sock.bind(str(root / "socket"))
    age(root)
    for name in ("Locked/inside", "Locked", "frozen"):
        hs.set_immutable(root / name, True)
    hs.add_flags(root / "appendonly", hs.UF_APPEND)


@pytest.mark.parametrize("elsewhere", [False, True], ids=["same-disk", "other-file-system"])
def test_copies_every_item_with_everything_it_carries(work, elsewhere):
    src, dst = work / "src", work / "dst"
    if elsewhere:
        dst = work / "tmpfs"
        dst.mkdir()
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=32m", "tmpfs", str(dst)], check=True)
    src.mkdir()
    dst.mkdir(exist_ok=True)
    rich_template(src)
    before, unread = snapshot(src), snapshot(src, link_atimes=False)
    try:
        result = mirra(src, dst)
        assert result.returncode == 0, result.stderr
        after = snapshot(dst)
        assert after == before
        assert [after[n]["flags"] for n in ("Locked", "hidden", "appendonly", "nodump")] == [
            hs.UF_IMMUTABLE, hs.UF_HIDDEN, hs.UF_APPEND, hs.UF_NODUMP]
        assert hs.acl(dst / "document") == [(hs.DENY, 0x10, 0, hs.EVERYONE)]
        assert snapshot(src, link_atimes=False) == unread  # only read: reading a link moves its access time
    finally:
        if elsewhere:
            hs.clear_immutable_tree(str(dst))
            subprocess.run(["umount", str(dst)], check=True)


def test_merges_into_what_the_destination_holds(work):
    src, dst = work / "src", work / "dst"
    make_tree(src, {"Library": Folder({"Preferences": {"new.plist": "new"}, "a": File("from the template", 0o640)},
                                      mode=0o700),
                    "Locked": {"new": "new"}, "fifo-then-file": "now a file", "file-then-folder": {}})
    make_tree(dst, {"Library": {"Caches": {}, "keep": "mine", "a": File("older, longer, must not survive", 0o777)},
                    "file-then-folder": "a file where a folder belongs", "Locked": {}})
    os.setxattr(dst / "Library" / "a", "user.old", b"gone")
    hs.set_acl(dst / "Library" / "a", [(hs.ALLOW, 0x8, 0, hs.account_uuid(0))])
    os.setxattr(dst / "Library", "user.stale", b"old")
    os.mkfifo(dst / "fifo-then-file")
    hs.set_immutable(dst / "Locked", True)
    result = mirra(src, dst)
    assert result.returncode == 0, result.stderr
    assert sorted(os.listdir(dst / "Library")) == ["Caches", "Preferences", "a", "keep"]
    assert (dst / "Library" / "keep").read_text() == "mine"
    assert (dst / "Library" / "Preferences" / "new.plist").read_text() == "new"
    # A merged folder, and a replaced file, end as their source.
    assert [describe(dst / n)["mode"] for n in ("Library", "Library/a")] == [0o700, 0o640]
    assert os.listxattr(dst / "Library") == os.listxattr(dst / "Library" / "a") == []
    assert (dst / "Library" / "a").read_text() == "from the template"
    assert (dst / "fifo-then-file").read_text() == "now a file"
    assert (dst / "file-then-folder").is_dir()
    assert (dst / "Locked" / "new").read_text() == "new" and hs.flags(dst / "Locked") == 0


def test_links_in_the_destination_are_replaced_never_followed(work):
    src, dst, outside = work / "src", work / "dst", work / "outside"
    make_tree(src, {"Library": {"secret": "template"}, "file": "template", "dangling": "template"})
    make_tree(outside, {"sentinel": "sentinel"})
    make_tree(dst, {"file": Link(f"{outside}/sentinel"), "Library": Link(str(outside)),
                    "dangling": Link(f"{outside}/created")})
    age(outside)
    guarded = snapshot(outside), describe(outside)
    result = mirra(src, dst)
    assert result.returncode == 0, result.stderr
    assert (snapshot(outside), describe(outside)) == guarded
    assert [(dst / n).is_symlink() for n in ("file", "Library", "dangling")] == [False] * 3
    assert (dst / "Library" / "secret").read_text() == (dst / "file").read_text() == "template"


def test_what_cannot_be_replaced_fails_the_copy_and_the_rest_is_copied(work):
    src, dst = work / "src", work / "dst"
    make_tree(src, {"conflict": "a file", "link-conflict": Link("x"), "frozen": "new", "other": "copied anyway"})
    make_tree(dst, {"conflict": {"inside": "keep"}, "link-conflict": {}, "frozen": "old"})
    hs.set_immutable(dst / "frozen", True)
    result = mirra(src, dst)
    assert result.returncode != 0
    assert all(f"{dst}/{name}:" in result.stderr for name in ("conflict", "link-conflict", "frozen"))
    assert (dst / "conflict" / "inside").read_text() == "keep"
    assert (dst / "link-conflict").is_dir() and not (dst / "link-conflict").is_symlink()
    assert (dst / "frozen").read_text() == "old"
    assert (dst / "other").read_text() == "copied anyway"


@pytest.mark.parametrize("args", [
    ["missing", "dst"], ["src", "missing"], ["src/f", "dst"], ["src", "dst-link"], ["src", "src"],
    ["src"], ["-x", "src", "dst"], ["src", "src/dst"],
])
def test_unusable_command_lines_write_nothing(work, args):
    (work / "src" / "dst").mkdir(parents=True)
    (work / "src" / "f").write_text("f")
    (work / "dst").mkdir()
    os.symlink("dst", work / "dst-link")
    before = snapshot(work)
    result = run_program("mirra", *(work / a if a[0] != "-" else a for a in args))
    assert result.returncode != 0 and result.stderr
    if args[-1] == "src/dst":  # the destination inside the source: the rest is copied, not the destination
        assert sorted(os.listdir(work / "src" / "dst")) == ["f"]
    else:
        assert snapshot(work) == before
    assert run_program("mirra", work / "src" / "dst", work / "dst").returncode == 0
