"""The stand-in chmod: modes with BSD semantics, and +a entries stored as the host's extended lists."""

import os
import stat

import pytest

import hoststate as hs
from conftest import run_program

DENY_DELETE, EVERYONE_DENY = (hs.DENY, 0x10, 0, hs.EVERYONE), "group:everyone deny delete"


def mode_of(path):
    return stat.S_IMODE(os.lstat(path).st_mode)


def make(path, mode=0o644, folder=False):
    path.mkdir() if folder else path.write_text("x")
    os.chmod(path, mode)
    return path


@pytest.mark.parametrize("folder, start, clause, wanted", [
    (0, 0o644, "4750", 0o4750), (0, 0o644, "u=rwx,g-rwx,o-rwx", 0o700), (0, 0o777, "go-w", 0o755),
    (0, 0o600, "a+r", 0o644), (0, 0o640, "u+x,g=u", 0o770), (0, 0o750, "o=g", 0o755), (0, 0o755, "a=", 0),
    (0, 0o644, "+t", 0o1644), (1, 0o600, "go+X", 0o611), (0, 0o600, "go+X", 0o600), (0, 0o700, "go+X", 0o711)])
def test_modes(work, folder, start, clause, wanted):
    item = make(work / "item", start, folder)
    assert run_program("chmod", clause, item).returncode == 0 and mode_of(item) == wanted


@pytest.mark.parametrize("initial, entries, wanted", [
    ([], ["root allow " + ",".join([*hs.PERMS, "file_inherit", "directory_inherit"])],
     [(hs.ALLOW, hs.ALL_PERMS, hs.FILE_INHERIT | hs.DIRECTORY_INHERIT, hs.account_uuid(0))]),
    ([], ["user:daemon allow search", "group:root allow list", EVERYONE_DENY, "daemon deny chown",
          EVERYONE_DENY, "daemon allow search"],
     [DENY_DELETE, (hs.DENY, 0x2000, 0, hs.account_uuid(1)), (hs.ALLOW, 0x8, 0, hs.account_uuid(1)),
      (hs.ALLOW, 0x2, 0, hs.group_uuid(0))]),
    # An identical entry already present leaves the list as it is, order included.
    ([(hs.ALLOW, 0x8, 0, hs.account_uuid(0)), DENY_DELETE], [EVERYONE_DENY],
     [(hs.ALLOW, 0x8, 0, hs.account_uuid(0)), DENY_DELETE])])
def test_add_entries(work, initial, entries, wanted):
    folder = make(work / "Drop Box", 0o755, folder=True)
    hs.set_acl(folder, initial)
    assert [run_program("chmod", "+a", entry, folder).returncode for entry in entries] == [0] * len(entries)
    assert hs.acl(folder) == wanted


@pytest.mark.parametrize("args, target", [
    (["999"], "f"), (["u+q"], "f"), ([""], "f"), (["700"], "locked"), (["+a", EVERYONE_DENY], "locked"),
    (["+a", "nosuchuser-hollin allow search"], "f"), (["+a", "group:nosuchgroup-hollin deny delete"], "f"),
    (["+a", "root allow"], "f"), (["+a", "root allow search,"], "f"), ([], None), (["755"], None),
    (["+a", EVERYONE_DENY], None)])
def test_refusals_change_nothing(work, args, target):
    items = [make(work / "f"), make(work / "locked", 0o755, folder=True)]
    hs.set_immutable(items[1], True)
    result = run_program("chmod", *args, *([work / target] if target else []))
    assert result.returncode != 0 and result.stderr.strip() and (target != "locked" or "locked" in result.stderr)
    assert [(mode_of(p), hs.acl(p)) for p in items] == [(0o644, []), (0o755, [])]


def test_follows_a_named_link_and_goes_on_after_a_missing_file(work):
    target, other = make(work / "target"), make(work / "other")
    os.symlink("target", work / "link")
    for args, done in ((["600"], lambda p: mode_of(p) == 0o600),
                       (["+a", EVERYONE_DENY], lambda p: hs.acl(p) == [DENY_DELETE])):
        result = run_program("chmod", *args, work / "link", work / "missing", other)
        assert result.returncode != 0 and "missing" in result.stderr and done(target) and done(other), args
