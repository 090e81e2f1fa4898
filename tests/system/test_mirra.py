"""mirra: every item inside SOURCE comes to stand inside DESTINATION with its
modes, owners, times, flags and extended attributes; nothing in DESTINATION
is followed."""

import os
import shutil
import socket
import stat
import subprocess
import time

import pytest

from hostbin import program, run, work  # noqa: F401  (work is a fixture)
import hoststate as hs

OLD_NS = 1_000_000_000_123_456_789
RECENT_NS = (int(time.time()) - 3600) * 1_000_000_000 + 987_654_321


def set_times(path, offset=0):
    os.utime(path, ns=(RECENT_NS + offset, OLD_NS + offset), follow_symlinks=False)


def age_tree(root):
    """Gives every item below `root` its own fixed times, folders last."""
    for n, (folder, dirs, files) in enumerate(sorted(os.walk(root, topdown=False))):
        for m, name in enumerate(sorted(files + [d for d in dirs if os.path.islink(os.path.join(folder, d))])):
            set_times(os.path.join(folder, name), 1000 * n + m)
        for name in dirs:
            path = os.path.join(folder, name)
            if not os.path.islink(path):
                set_times(path, 7 * len(path))


def describe(path):
    """Everything mirra promises to keep, for one item."""
    st = os.lstat(path)
    kind = stat.S_IFMT(st.st_mode)
    item = {
        "type": kind, "mode": stat.S_IMODE(st.st_mode), "owner": (st.st_uid, st.st_gid),
        "mtime": st.st_mtime_ns, "flags": hs.flags(path),
        "xattrs": {n: os.getxattr(path, n, follow_symlinks=False)
                   for n in sorted(os.listxattr(path, follow_symlinks=False))},
    }
    if not stat.S_ISDIR(st.st_mode):
        item["atime"] = st.st_atime_ns
    if stat.S_ISREG(st.st_mode):
        # Without O_NOATIME, reading would move the access time it records.
        fd = os.open(path, os.O_RDONLY | os.O_NOATIME | os.O_NOFOLLOW | os.O_CLOEXEC)
        with os.fdopen(fd, "rb") as f:
            item["data"] = f.read()
    elif stat.S_ISLNK(st.st_mode):
        item["target"] = os.readlink(path)
        # Reading a link moves its access time; put it back as it was.
        os.utime(path, ns=(st.st_atime_ns, st.st_mtime_ns), follow_symlinks=False)
    elif stat.S_ISCHR(st.st_mode) or stat.S_ISBLK(st.st_mode):
        item["rdev"] = st.st_rdev
    return item


def snapshot(root):
    """relative path -> describe(), for every item below `root`. The walk
    never follows a link (following one would move the link's access time)."""
    items = {}
    pending = [str(root)]
    while pending:
        with os.scandir(pending.pop()) as entries:
            for entry in entries:
                items[os.path.relpath(entry.path, root)] = describe(entry.path)
                if entry.is_dir(follow_symlinks=False):
                    pending.append(entry.path)
    return items


def mirra(source, destination, *options):
    return run("mirra", *(options or ("-rsrcFork",)), source, destination)


def rich_template(root):
    """A template with one of everything a home's template may hold."""
    lib = root / "Library" / "Preferences"
    lib.mkdir(parents=True)
    (lib / "a.plist").write_bytes(b"<plist/>")
    os.chown(lib / "a.plist", 501, 20)
    os.chmod(lib / "a.plist", 0o600)
    os.chmod(root / "Library", 0o700)
    os.chown(root / "Library", 1, 1)
    tool = root / "tool"
    tool.write_bytes(b"#!/bin/sh\n")
    os.chown(tool, 2, 3)
    os.chmod(tool, 0o4755)
    (root / "readonly").write_text("r")
    os.chmod(root / "readonly", 0o444)
    (root / "empty").write_bytes(b"")
    (root / "big").write_bytes(os.urandom(3 * 1024 * 1024 + 17))
    doc = root / "document"
    doc.write_text("with a fork")
    os.setxattr(doc, "trusted.velmora.rsrcfork", os.urandom(3000))
    os.setxattr(doc, "user.comment", b"kept")
    hs.set_acl(str(doc), [(hs.DENY, 0x10, 0, hs.EVERYONE)])
    (root / "hidden").write_text("")
    os.setxattr(root / "hidden", hs.FLAGS_ATTRIBUTE, hs.UF_HIDDEN.to_bytes(4, "little"))
    (root / "nodump").write_text("")
    subprocess.run(["chattr", "+d", str(root / "nodump")], check=True)
    (root / "appendonly").write_text("log\n")
    deep = root
    for level in range(20):
        deep = deep / ("level%d" % level)
    deep.mkdir(parents=True)
    (deep / "bottom").write_text("deep")
    os.symlink("../readonly", root / "Library" / "relative-link")
    os.symlink("/nonexistent/target", root / "dangling-link")
    os.lchown(root / "dangling-link", 5, 6)
    os.setxattr(root / "dangling-link", "trusted.note", b"on the link", follow_symlinks=False)
    os.mkfifo(root / "fifo")
    os.chmod(root / "fifo", 0o640)
    os.mknod(root / "null", 0o600 | stat.S_IFCHR, os.makedev(1, 3))
    sock = socket.socket(socket.AF_UNIX)
    sock.bind(str(root / "socket"))
    sock.close()
    locked = root / "Locked"
    locked.mkdir()
    (locked / "inside").write_text("in a locked folder")
    os.chmod(locked, 0o711)
    (root / "frozen").write_text("frozen")
    age_tree(root)
    hs.set_immutable(str(locked / "inside"), True)
    hs.set_immutable(str(locked), True)
    hs.set_immutable(str(root / "frozen"), True)
    subprocess.run(["chattr", "+a", str(root / "appendonly")], check=True)


def test_copies_every_item_with_everything_it_carries(work):
    src, dst = work / "src", work / "dst"
    src.mkdir()
    dst.mkdir()
    rich_template(src)
    before = snapshot(src)
    result = mirra(src, dst)
    assert result.returncode == 0, result.stderr
    after = snapshot(dst)
    assert sorted(after) == sorted(before)
    for name in before:
        assert after[name] == before[name], name
    assert after["Locked"]["flags"] == hs.UF_IMMUTABLE
    assert after["hidden"]["flags"] == hs.UF_HIDDEN
    assert after["appendonly"]["flags"] == hs.UF_APPEND
    assert after["nodump"]["flags"] == hs.UF_NODUMP
    assert hs.acl(str(dst / "document")) == [(hs.DENY, 0x10, 0, hs.EVERYONE)]
    # The template is left as it was; only a link's access time moves, as
    # reading any link does.
    assert without_link_atimes(snapshot(src)) == without_link_atimes(before)


def without_link_atimes(items):
    for item in items.values():
        if stat.S_ISLNK(item["type"]):
            item.pop("atime")
    return items


def test_merges_into_what_the_destination_holds(work):
    src, dst = work / "src", work / "dst"
    (src / "Library" / "Preferences").mkdir(parents=True)
    (src / "Library" / "Preferences" / "new.plist").write_text("new")
    os.chmod(src / "Library", 0o700)
    (dst / "Library" / "Caches").mkdir(parents=True)
    (dst / "Library" / "keep").write_text("mine")
    (dst / "Extra").mkdir()
    os.chmod(dst / "Library", 0o755)
    os.setxattr(dst / "Library", "user.stale", b"old")
    result = mirra(src, dst)
    assert result.returncode == 0, result.stderr
    assert (dst / "Library" / "keep").read_text() == "mine"
    assert (dst / "Library" / "Caches").is_dir()
    assert (dst / "Extra").is_dir()
    assert (dst / "Library" / "Preferences" / "new.plist").read_text() == "new"
    # The merged folder takes the source folder's mode and attributes.
    assert stat.S_IMODE(os.lstat(dst / "Library").st_mode) == 0o700
    assert os.listxattr(dst / "Library") == []
    assert not (dst / "src").exists()


def test_files_replace_files_whole(work):
    src, dst = work / "src", work / "dst"
    src.mkdir()
    dst.mkdir()
    (src / "a").write_text("from the template")
    os.chmod(src / "a", 0o640)
    (dst / "a").write_text("an older and longer text that must not survive")
    os.chmod(dst / "a", 0o777)
    os.setxattr(dst / "a", "user.old", b"gone")
    hs.set_acl(str(dst / "a"), [(hs.ALLOW, 0x8, 0, hs.account_uuid(0))])
    (dst / "fifo-then-file").write_text("")
    os.unlink(dst / "fifo-then-file")
    os.mkfifo(dst / "fifo-then-file")
    (src / "fifo-then-file").write_text("now a file")
    assert mirra(src, dst).returncode == 0
    assert (dst / "a").read_text() == "from the template"
    assert stat.S_IMODE(os.lstat(dst / "a").st_mode) == 0o640
    assert os.listxattr(dst / "a") == []
    assert hs.acl(str(dst / "a")) == []
    assert (dst / "fifo-then-file").read_text() == "now a file"


def test_a_folder_replaces_a_non_folder(work):
    src, dst = work / "src", work / "dst"
    (src / "Library").mkdir(parents=True)
    (src / "Library" / "x").write_text("x")
    dst.mkdir()
    (dst / "Library").write_text("a file where a folder belongs")
    assert mirra(src, dst).returncode == 0
    assert (dst / "Library" / "x").read_text() == "x"


def test_links_in_the_destination_are_replaced_never_followed(work):
    src, dst, outside = work / "src", work / "dst", work / "outside"
    (src / "Library").mkdir(parents=True)
    (src / "Library" / "secret").write_text("template")
    (src / "file").write_text("template")
    (src / "dangling").write_text("template")
    dst.mkdir()
    outside.mkdir()
    (outside / "sentinel").write_text("sentinel")
    os.chmod(outside / "sentinel", 0o600)
    age_tree(outside)
    set_times(outside)
    guarded = snapshot(outside)
    os.symlink(str(outside / "sentinel"), dst / "file")
    os.symlink(str(outside), dst / "Library")
    os.symlink(str(outside / "created"), dst / "dangling")
    result = mirra(src, dst)
    assert result.returncode == 0, result.stderr
    assert snapshot(outside) == guarded
    assert os.lstat(outside).st_mtime_ns == OLD_NS
    for name in ("file", "Library", "dangling"):
        assert not os.path.islink(dst / name), name
    assert (dst / "Library" / "secret").read_text() == "template"
    assert (dst / "file").read_text() == "template"


def test_a_folder_in_the_destination_is_left_alone(work):
    src, dst = work / "src", work / "dst"
    src.mkdir()
    (src / "conflict").write_text("a file")
    os.symlink("x", src / "link-conflict")
    (src / "other").write_text("copied anyway")
    (dst / "conflict").mkdir(parents=True)
    (dst / "conflict" / "inside").write_text("keep")
    (dst / "link-conflict").mkdir()
    result = mirra(src, dst)
    assert result.returncode != 0
    assert "conflict" in result.stderr
    assert (dst / "conflict" / "inside").read_text() == "keep"
    assert (dst / "link-conflict").is_dir() and not (dst / "link-conflict").is_symlink()
    assert (dst / "other").read_text() == "copied anyway"


def test_a_locked_destination_folder_is_merged(work):
    src, dst = work / "src", work / "dst"
    (src / "Locked").mkdir(parents=True)
    (src / "Locked" / "new").write_text("new")
    (dst / "Locked").mkdir(parents=True)
    hs.set_immutable(str(dst / "Locked"), True)
    result = mirra(src, dst)
    assert result.returncode == 0, result.stderr
    assert (dst / "Locked" / "new").read_text() == "new"
    assert hs.flags(str(dst / "Locked")) == 0


def test_a_locked_destination_file_fails_the_copy(work):
    src, dst = work / "src", work / "dst"
    src.mkdir()
    dst.mkdir()
    (src / "frozen").write_text("new")
    (dst / "frozen").write_text("old")
    hs.set_immutable(str(dst / "frozen"), True)
    result = mirra(src, dst)
    assert result.returncode != 0
    assert "frozen" in result.stderr
    assert (dst / "frozen").read_text() == "old"


def test_missing_or_unusable_roots(work):
    src, dst = work / "src", work / "dst"
    src.mkdir()
    (src / "f").write_text("")
    dst.mkdir()
    for source, destination in ((work / "missing", dst), (src, work / "missing"), (src / "f", dst)):
        result = mirra(source, destination)
        assert result.returncode != 0
        assert result.stderr
    assert not (work / "missing").exists()
    assert os.listdir(dst) == []
    # The destination itself must be a folder, not a link to one.
    os.symlink("dst", work / "dst-link")
    assert mirra(src, work / "dst-link").returncode != 0
    assert os.listdir(dst) == []
    assert mirra(src, src).returncode != 0
    assert os.listdir(src) == ["f"]


def test_a_destination_inside_the_source_is_not_copied_into_itself(work):
    src = work / "src"
    (src / "dst").mkdir(parents=True)
    (src / "f").write_text("f")
    result = run("mirra", src, src / "dst", timeout=20)
    assert result.returncode != 0
    assert (src / "dst" / "f").read_text() == "f"
    assert not (src / "dst" / "dst").exists()


def test_arguments(work):
    src, dst = work / "src", work / "dst"
    src.mkdir()
    dst.mkdir()
    (src / "f").write_text("")
    assert run("mirra", src).returncode != 0
    assert run("mirra", "-x", src, dst).returncode != 0
    assert not (dst / "f").exists()
    assert run("mirra", src, dst).returncode == 0
    assert (dst / "f").exists()


def test_copy_to_another_file_system(work):
    shm = "/dev/shm"
    if not os.path.isdir(shm) or os.statvfs(shm).f_bsize == 0:
        pytest.skip("no tmpfs at /dev/shm")
    src = work / "src"
    src.mkdir()
    (src / "big").write_bytes(os.urandom(2 * 1024 * 1024 + 5))
    (src / "folder").mkdir()
    os.setxattr(src / "folder", "trusted.velmora.rsrcfork", b"fork")
    (src / "folder" / "frozen").write_text("x")
    age_tree(src)
    hs.set_immutable(str(src / "folder" / "frozen"), True)
    before = snapshot(src)
    dst = os.path.join(shm, "hollin-mirra-%d" % os.getpid())
    os.mkdir(dst)
    try:
        result = mirra(src, dst)
        assert result.returncode == 0, result.stderr
        assert snapshot(dst) == before
    finally:
        hs.clear_immutable_tree(dst)
        shutil.rmtree(dst)


def syscalls(command):
    # The leak checker of a sanitized build cannot run under a tracer.
    env = dict(os.environ, ASAN_OPTIONS="detect_leaks=0")
    trace = subprocess.run(["strace", "-f", "-c", "-o", "/dev/stdout", *command],
                           capture_output=True, text=True, check=True, env=env)
    total = [line for line in trace.stdout.splitlines() if line.strip().endswith("total")]
    return int(total[0].split()[3])


@pytest.mark.skipif(shutil.which("strace") is None, reason="needs strace")
def test_fewer_system_calls_than_cp(work):
    src = work / "src"
    src.mkdir()
    for i in range(300):
        (src / ("f%d" % i)).write_text("content %d" % i)
    (work / "a").mkdir()
    (work / "b").mkdir()
    ours = syscalls([program("mirra"), "-rsrcFork", str(src), str(work / "a")])
    theirs = syscalls(["cp", "-a", str(src) + "/.", str(work / "b")])
    assert ours < theirs
    assert ours < 12 * 300
