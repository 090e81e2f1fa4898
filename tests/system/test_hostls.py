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
    hs.set_acl(work / "Drop Box", [
        (hs.DENY, 0x10, 0, hs.EVERYONE),
        (hs.ALLOW, hs.ALL_PERMS, hs.FILE_INHERIT | hs.DIRECTORY_INHERIT, hs.account_uuid(0)),
        (hs.ALLOW, 0x8, 0, hs.group_uuid(0))])
    (work / "d").mkdir(mode=0o750)
    hs.add_flags(work / "d", hs.UF_HIDDEN | 0x10000 | hs.UF_IMMUTABLE)
    os.symlink("d", work / "link")
    os.symlink("/nowhere/at/all", work / "dangling")
    os.mkfifo(work / "fifo", 0o600)
    os.mknod(work / "null", 0o620 | 0o020000, os.makedev(1, 3))
    os.chmod(work / "null", 0o620)
    with socket.socket(socket.AF_UNIX) as sock:
        sock.bind(str(work / "sock"))
    os.chmod(work / "sock", 0o755)
    names = ["f", "Drop Box", "d", "link", "dangling", "fifo", "null", "sock"]
    result = run_program("hostls", *(work / n for n in names))
    assert result.returncode == 0, result.stderr
    assert result.stdout.replace(f"{work}/", "").splitlines() == [
        "f 4640 1:2 - [] f",
        "d 0733 0:0 - [group:everyone deny delete; root allow list,add_file,search,delete,add_subdirectory,"
        "delete_child,readattr,writeattr,readextattr,writeextattr,readsecurity,writesecurity,chown,"
        "file_inherit,directory_inherit; group:root allow search] Drop Box",
        "d 0750 0:0 uchg,hidden,0x10000 [] d",
        "l 0777 0:0 - [] link -> d",
        "l 0777 0:0 - [] dangling -> /nowhere/at/all",
        "p 0600 0:0 - [] fifo", "c 0620 0:0 - [] null", "s 0755 0:0 - [] sock"]


def test_recursive_listing_is_sorted_preorder_and_stays_off_links(work):
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


def test_missing_and_malformed_make_the_status_non_zero(work):
    (work / "f").write_text("")
    os.chmod(work / "f", 0o644)
    os.setxattr(work / "f", hs.ACL_ATTRIBUTE, b"VACL\x02\x00\x00\x00")
    result = run_program("hostls", work / "f", work / "missing")
    assert result.returncode != 0 and "missing" in result.stderr
    assert result.stdout.splitlines() == [f"f 0644 0:0 - [?] {work}/f"]
