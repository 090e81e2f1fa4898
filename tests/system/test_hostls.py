"""hostls: one line per item, TYPE MODE UID:GID FLAGS [ACL] PATH[ -> TARGET],
never following a link."""

import os
import socket

import hoststate as hs
from conftest import run_program


def test_one_line_per_item(work):
    (work / "f").write_text("x")
    os.chown(work / "f", 1, 2)
    os.chmod(work / "f", 0o4640)
    (work / "Drop Box").mkdir()
    os.chmod(work / "Drop Box", 0o733)
    hs.set_acl(work / "Drop Box", [(hs.DENY, 0x10, 0, hs.EVERYONE), (hs.ALLOW, 0x8, 0, hs.group_uuid(0))])
    (work / "d").mkdir(mode=0o750)
    hs.add_flags(work / "d", hs.UF_HIDDEN | 0x10000 | hs.UF_IMMUTABLE)
    os.symlink("/nowhere/at/all", work / "dangling")
    os.mknod(work / "null", 0o020000, os.makedev(1, 3))
    os.chmod(work / "null", 0o620)
    with socket.socket(socket.AF_UNIX) as sock:
        sock.bind(str(work / "sock"))
    names = ["f", "Drop Box", "d", "dangling", "null", "sock"]
    result = run_program("hostls", *(work / n for n in names))
    assert result.returncode == 0, result.stderr
    assert result.stdout.replace(f"{work}/", "").splitlines() == [
        "f 4640 1:2 - [] f", "d 0733 0:0 - [group:everyone deny delete; group:root allow search] Drop Box",
        "d 0750 0:0 uchg,hidden,0x10000 [] d", "l 0777 0:0 - [] dangling -> /nowhere/at/all",
        "c 0620 0:0 - [] null", f"s {os.stat(work / 'sock').st_mode & 0o7777:04o} 0:0 - [] sock"]


def test_recursive_listing_is_sorted_preorder_and_stays_off_links_and_bad_items_fail(work):
    root, outside = work / "root", work / "outside"
    (root / "b" / "inner").mkdir(parents=True)
    (outside / "secret").mkdir(parents=True)
    for name in ("a", "C", "b/z"):
        (root / name).write_text("")
    os.symlink(outside, root / "b" / "link")
    result = run_program("hostls", "-R", root)
    assert result.returncode == 0, result.stderr
    assert [line.split(" ", 5)[5] for line in result.stdout.splitlines()] == [
        str(root), f"{root}/C", f"{root}/a", f"{root}/b", f"{root}/b/inner", f"{root}/b/link -> {outside}",
        f"{root}/b/z"]
    os.chmod(root / "a", 0o644)
    os.setxattr(root / "a", hs.ACL_ATTRIBUTE, b"VACL\x02\x00\x00\x00")
    result = run_program("hostls", root / "a", work / "missing")
    assert result.returncode != 0 and "missing" in result.stderr
    assert result.stdout.splitlines() == [f"f 0644 0:0 - [?] {root}/a"]
