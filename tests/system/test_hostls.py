"""hostls: one line per item, TYPE MODE UID:GID FLAGS [ACL] PATH[ -> TARGET],
never following a link."""

import os
import socket

from hostbin import run, work  # noqa: F401  (work is a fixture)
import hoststate as hs


def lines(*args):
    result = run("hostls", *args)
    assert result.returncode == 0, result.stderr
    return result.stdout.splitlines()


def test_plain_file_line(work):
    f = work / "f"
    f.write_text("x")
    os.chown(f, 1, 2)
    os.chmod(f, 0o4640)
    assert lines(f) == ["f 4640 1:2 - [] %s" % f]


def test_flags_are_named_and_leftovers_shown_in_hex(work):
    folder = work / "d"
    folder.mkdir()
    os.chmod(folder, 0o750)
    os.setxattr(folder, hs.FLAGS_ATTRIBUTE, (hs.UF_HIDDEN | 0x10000).to_bytes(4, "little"))
    hs.set_immutable(str(folder), True)
    assert lines(folder) == ["d 0750 0:0 uchg,hidden,0x10000 [] %s" % folder]


def test_access_list_in_text_form(work):
    folder = work / "Drop Box"
    folder.mkdir()
    os.chmod(folder, 0o733)
    hs.set_acl(str(folder), [
        (hs.DENY, 0x10, 0, hs.EVERYONE),
        (hs.ALLOW, hs.ALL_PERMS, hs.FILE_INHERIT | hs.DIRECTORY_INHERIT, hs.account_uuid(0)),
        (hs.ALLOW, 0x8, 0, hs.group_uuid(0)),
    ])
    assert lines(folder) == [
        "d 0733 0:0 - [group:everyone deny delete; root allow list,add_file,search,delete,"
        "add_subdirectory,delete_child,readattr,writeattr,readextattr,writeextattr,readsecurity,"
        "writesecurity,chown,file_inherit,directory_inherit; group:root allow search] %s" % folder]


def test_links_are_shown_not_followed(work):
    target = work / "target"
    target.write_text("")
    hs.set_immutable(str(target), True)
    hs.set_acl(str(target), [])
    os.symlink("target", work / "link")
    os.symlink("/nowhere/at/all", work / "dangling")
    out = lines(work / "link", work / "dangling")
    assert out == ["l 0777 0:0 - [] %s/link -> target" % work,
                   "l 0777 0:0 - [] %s/dangling -> /nowhere/at/all" % work]


def test_special_items(work):
    os.mkfifo(work / "fifo", 0o600)
    os.mknod(work / "null", 0o620 | 0o020000, os.makedev(1, 3))
    os.chmod(work / "null", 0o620)
    sock = socket.socket(socket.AF_UNIX)
    sock.bind(str(work / "sock"))
    sock.close()
    os.chmod(work / "sock", 0o755)
    out = lines(work / "fifo", work / "null", work / "sock")
    assert [line.split()[:2] for line in out] == [["p", "0600"], ["c", "0620"], ["s", "0755"]]


def test_recursive_listing_is_sorted_preorder_and_stays_off_links(work):
    root = work / "root"
    (root / "b" / "inner").mkdir(parents=True)
    (root / "a").write_text("")
    (root / "C").write_text("")
    (root / "b" / "z").write_text("")
    outside = work / "outside"
    outside.mkdir()
    (outside / "secret").write_text("")
    os.symlink(str(outside), root / "b" / "link")
    paths = [line.split(" ", 5)[5] for line in lines("-R", root)]
    assert paths == [str(root), "%s/C" % root, "%s/a" % root, "%s/b" % root,
                     "%s/b/inner" % root, "%s/b/link -> %s" % (root, outside), "%s/b/z" % root]


def test_missing_and_malformed_make_the_status_non_zero(work):
    f = work / "f"
    f.write_text("")
    os.chmod(f, 0o644)
    os.setxattr(f, hs.ACL_ATTRIBUTE, b"VACL\x02\x00\x00\x00")
    result = run("hostls", f, work / "missing")
    assert result.returncode != 0
    assert result.stdout.splitlines() == ["f 0644 0:0 - [?] %s" % f]
    assert "missing" in result.stderr
