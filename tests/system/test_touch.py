"""The stand-in touch: current times on each named item, never following a
link at the item and never creating anything."""

import os
import shutil
import subprocess
import time

import pytest

import hoststate as hs
from conftest import BUILD, run_program

OLD = 1_000_000_000  # 2001


def touched(*paths, since):
    return [min(os.lstat(p).st_atime, os.lstat(p).st_mtime) >= since for p in paths]


def test_find_exec_touch_over_a_hostile_home(work):
    outside, home = work / "outside", work / "home"
    (outside / "folder").mkdir(parents=True)
    (outside / "sentinel").write_text("keep")
    (home / "Library").mkdir(parents=True)
    (home / "Library" / "a.plist").write_text("x")
    os.symlink(outside / "sentinel", home / "Library" / "planted")
    os.symlink(outside / "folder", home / "folder-link")
    os.symlink(outside / "created-by-root", home / "dangling")
    os.mkfifo(home / "fifo")
    for path in (outside / "sentinel", outside / "folder", outside):
        os.utime(path, (OLD, OLD))
    start = time.time() - 1
    result = subprocess.run([shutil.which("find"), home, "-exec", BUILD / "bin" / "touch", "{}", "+"],
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert touched(outside / "sentinel", outside / "folder", outside, since=OLD + 1) == [False] * 3
    assert sorted(os.listdir(outside)) == ["folder", "sentinel"]
    items = [os.path.join(f, n) for f, dirs, files in os.walk(home) for n in dirs + files]
    assert touched(home, *items, since=start) == [True] * (len(items) + 1)


@pytest.mark.parametrize("args, status, wanted", [
    (["missing", "present", "nofolder/missing"], 1, ["present"]),
    (["link/"], 0, ["link"]),  # a trailing separator still names the link
    (["locked", "present"], 1, ["present"]),
    (["-c", "-h", "present"], 0, ["present"]), (["-ch", "--", "present"], 0, ["present"]),
    (["-a", "present"], 1, []), (["-d", "yesterday", "present"], 1, []), ([], 1, [])])
def test_named_items(work, args, status, wanted):
    items = ["target", "present", "locked", "link"]
    (work / "target").mkdir()
    (work / "present").write_text("")
    (work / "locked").write_text("")
    os.symlink("target", work / "link")
    for name in items:
        os.utime(work / name, (OLD, OLD), follow_symlinks=False)
    hs.set_immutable(work / "locked", True)
    start = time.time() - 1
    result = run_program("touch", *(a if a.startswith("-") else f"{work}/{a}" for a in args))
    assert result.returncode == status and (status == 0 or result.stderr)
    assert [n for n, t in zip(items, touched(*(work / n for n in items), since=start)) if t] == wanted
    assert sorted(os.listdir(work)) == sorted(items)
