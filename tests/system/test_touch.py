"""The stand-in touch: current times on each named item, never following a link at the item, never opening a
fifo and never creating anything. Run by find over hostile homes, it is covered by the creation suite."""

import os
import time

import pytest

import hoststate as hs
from conftest import run_program

OLD = 1_000_000_000  # 2001
ITEMS = ["target", "present", "locked", "link", "dangling", "fifo"]


@pytest.mark.parametrize("args, status, wanted", [
    (["missing", "present", "nofolder/missing"], 1, ["present"]),
    (["link/", "dangling", "fifo"], 0, ["link", "dangling", "fifo"]),  # a trailing separator still names the link
    (["locked", "present"], 1, ["present"]),
    (["-c", "-h", "present"], 0, ["present"]), (["-ch", "--", "present"], 0, ["present"]),
    (["-a", "present"], 1, []), (["-d", "yesterday", "present"], 1, []), ([], 1, [])])
def test_named_items(work, args, status, wanted):
    (work / "target").mkdir()
    (work / "present").write_text("")
    (work / "locked").write_text("")
    os.symlink("target", work / "link")
    os.symlink("created-by-root", work / "dangling")
    os.mkfifo(work / "fifo")
    for name in ITEMS:
        os.utime(work / name, (OLD, OLD), follow_symlinks=False)
    hs.set_immutable(work / "locked", True)
    start = time.time() - 1
    result = run_program("touch", *(a if a.startswith("-") else f"{work}/{a}" for a in args))
    assert result.returncode == status and (status == 0 or result.stderr)
    assert [n for n in ITEMS if min((st := os.lstat(work / n)).st_atime, st.st_mtime) >= start] == wanted
    assert sorted(os.listdir(work)) == sorted(ITEMS)
