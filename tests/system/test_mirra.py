"""mirra: every item inside SOURCE comes to stand inside DESTINATION with its
modes, owners, times, flags and extended attributes, except that a folder
already there keeps its own; nothing in DESTINATION is followed."""

import os
import resource
import stat
import subprocess

import hoststate as hs
from conftest import BUILD, File, Folder, Link, make_tree, run_program

OLD_NS = 1_000_000_000_123_456_789


def describe(path):
    """Everything mirra promises to keep, for one item; a link's access time
    is left out, as reading the link moves it."""
    st = os.lstat(path)
    item = [stat.S_IFMT(st.st_mode), stat.S_IMODE(st.st_mode), st.st_uid, st.st_gid, st.st_mtime_ns, hs.flags(path),
            {n: os.getxattr(path, n, follow_symlinks=False) for n in os.listxattr(path, follow_symlinks=False)}]
    if stat.S_ISREG(st.st_mode):
        with os.fdopen(os.open(path, os.O_RDONLY | os.O_NOATIME | os.O_NOFOLLOW), "rb") as f:
            item += [st.st_atime_ns, f.read()]
    elif stat.S_ISLNK(st.st_mode):
        item.append(os.readlink(path))
    return item


def snapshot(root):
    return {os.path.relpath(os.path.join(folder, n), root): describe(os.path.join(folder, n))
            for folder, dirs, files in os.walk(root) for n in dirs + files}


def test_merges_into_the_destination_keeping_everything_and_following_none_of_its_links(work):
    src, dst, outside = work / "src", work / "dst", work / "outside"
    make_tree(src, {
        "Library": Folder({"Preferences": {"new.plist": "new"}, "a": File("from the source", 0o640),
                           "relative-link": Link("../readonly")}, mode=0o700, owner=(1, 1)),
        "tool": File("#!/bin/sh\n", 0o4755, (2, 3)), "readonly": File("r", 0o444, (501, 20)),
        "document": "with a fork", "hidden": "", "nodump": "", "appendonly": "log\n",
        "dangling-link": Link("/nonexistent/target", owner=(5, 6)), "file": "from the source",
        "Locked": Folder({"inside": "in a locked folder"}, mode=0o711), "Linked": {"secret": "from the source"}})
    os.setxattr(src / "document", "trusted.velmora.rsrcfork", os.urandom(3000))
    os.setxattr(src / "document", "user.comment", b"kept")
    os.setxattr(src / "dangling-link", "trusted.note", b"on the link", follow_symlinks=False)
    hs.set_acl(src / "document", [(hs.DENY, 0x10, 0, hs.EVERYONE)])
    hs.add_flags(src / "hidden", hs.UF_HIDDEN)
    hs.add_flags(src / "nodump", hs.UF_NODUMP)
    for n, (folder, dirs, files) in enumerate(os.walk(src, topdown=False)):  # distinct times, folders last
        for m, name in enumerate(files + dirs + [""]):
            os.utime(os.path.join(folder, name), ns=(OLD_NS + n, OLD_NS + 1000 * n + m), follow_symlinks=False)
    for name in ("Locked/inside", "Locked"):
        hs.set_immutable(src / name, True)
    hs.add_flags(src / "appendonly", hs.UF_APPEND)
    # What is there already: a folder to merge into, a longer file to replace, links out of the tree.
    make_tree(outside, {"sentinel": "sentinel"})
    make_tree(dst, {"Library": {"Caches": {}, "keep": "mine", "a": File("older, longer, must not survive", 0o777)},
                    "file": Link(f"{outside}/sentinel"), "Linked": Link(str(outside)),
                    "document": Link(f"{outside}/created")})
    os.setxattr(dst / "Library" / "a", "user.old", b"gone")
    os.setxattr(dst / "Library", "user.stale", b"old")
    hs.set_immutable(dst / "Library", True)  # lifted while it is filled, then back on
    guarded, before, kept = snapshot(outside), snapshot(src), describe(dst / "Library")
    assert [before[n][5] for n in ("Locked", "hidden", "appendonly", "nodump")] == [
        hs.UF_IMMUTABLE, hs.UF_HIDDEN, hs.UF_APPEND, hs.UF_NODUMP]
    result = run_program("mirra", "-rsrcFork", src, dst)
    assert result.returncode == 0, result.stderr
    assert snapshot(outside) == guarded and os.listdir(outside) == ["sentinel"]
    assert (dst / "Library" / "keep").read_text() == "mine" and (dst / "Library" / "Caches").is_dir()
    # A folder that was there keeps its own owner, mode, flags and attributes; its contents changed.
    now = describe(dst / "Library")
    assert now[:4] + now[5:] == kept[:4] + kept[5:] and kept[5] == hs.UF_IMMUTABLE
    assert {k: v for k, v in snapshot(dst).items() if k not in ("Library/keep", "Library/Caches")} == {
        **before, "Library": now}


def test_what_cannot_be_copied_fails_the_copy(work):
    src, dst = work / "src", work / "dst"
    make_tree(src, {"conflict": "a file", "link-conflict": Link("x"), "frozen": "new", "other": "copied anyway"})
    make_tree(dst, {"conflict": {"inside": "keep"}, "link-conflict": {}, "frozen": "old"})
    hs.set_immutable(dst / "frozen", True)
    result = run_program("mirra", src, dst)
    assert result.returncode != 0
    assert all(f"{dst}/{name}:" in result.stderr for name in ("conflict", "link-conflict", "frozen"))
    assert [(dst / n).read_text() for n in ("conflict/inside", "frozen", "other")] == ["keep", "old", "copied anyway"]
    assert not (dst / "link-conflict").is_symlink()
    before = snapshot(work)
    for args in (["missing", "dst"], ["src", "missing"], ["src/other", "dst"], ["src"], ["-x", "src", "dst"]):
        result = run_program("mirra", *(work / a if a[0] != "-" else a for a in args))
        assert result.returncode != 0 and result.stderr, args
    assert snapshot(work) == before


def test_deep_source_with_few_descriptors(work):
    src, dst = work / "src", work / "dst"
    make_tree(dst, {}), make_tree(src, {})
    fd = os.open(src, os.O_RDONLY)
    for level in range(120):  # two descriptors a level would need 240
        os.mkdir("d", dir_fd=fd)
        os.close(os.open(f"f{level}", os.O_WRONLY | os.O_CREAT, 0o640, dir_fd=fd))
        fd, above = os.open("d", os.O_RDONLY, dir_fd=fd), fd
        os.close(above)
    os.close(fd)
    limit = lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (80, 80))
    result = subprocess.run([BUILD / "bin" / "mirra", src, dst], preexec_fn=limit, capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    assert snapshot(dst) == snapshot(src)
