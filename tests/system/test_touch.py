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


def aged(*paths):
    for path in paths:
        os.utime(path, (OLD, OLD), follow_symlinks=False)


def times(path):
    st = os.lstat(path)
    return st.st_atime, st.st_mtime


def test_find_exec_touch_over_a_hostile_home(work):
    outside, home = work / "outside", work / "home"
    (outside / "folder").mkdir(parents=True)
    (outside / "sentinel").write_text("keep")
    (home / "Library" / "Preferences").mkdir(parents=True)
    (home / "Library" / "Preferences" / "a.plist").write_text("x")
    os.symlink(outside / "sentinel", home / "Library" / "planted")
    os.symlink(outside / "folder", home / "folder-link")
    os.symlink(outside / "created-by-root", home / "dangling")
    os.mkfifo(home / "fifo")
    aged(outside / "sentinel", outside / "folder", outside)
    start = time.time() - 1
    result = subprocess.run([shutil.which("find"), home, "-exec", BUILD / "bin" / "touch", "{}", "+"],
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert [times(p) for p in (outside / "sentinel", outside / "folder", outside)] == [(OLD, OLD)] * 3
    assert sorted(os.listdir(outside)) == ["folder", "sentinel"]
    for folder, dirs, files in os.walk(home):
        for path in [folder] + [os.path.join(folder, n) for n in dirs + files]:
            assert min(times(path)) >= start, path


@pytest.mark.parametrize("args, status, touched", [
    (["missing", "present", "nofolder/missing"], 1, ["present"]),
    (["link/"], 0, ["link"]),  # a trailing separator still names the link
    (["locked", "present"], 1, ["present"]),
    (["-c", "-h", "present"], 0, ["present"]), (["-ch", "--", "present"], 0, ["present"]),
    (["-a", "present"], 1, []), (["-d", "yesterday", "present"], 1, []), ([], 1, []),
])
def test_named_items(work, args, status, touched):
    (work / "target").mkdir()
    (work / "present").write_text("")
    (work / "locked").write_text("")
    os.symlink("target", work / "link")
    items = ["target", "present", "locked", "link"]
    aged(*(work / n for n in items))
    hs.set_immutable(work / "locked", True)
    start = time.time() - 1
    result = run_program("touch", *(a if a.startswith("-") else f"{work}/{a}" for a in args))
    assert result.returncode == status
    assert status == 0 or result.stderr
    assert [n for n in items if min(times(work / n)) >= start] == touched
    assert sorted(os.listdir(work)) == sorted(items)
