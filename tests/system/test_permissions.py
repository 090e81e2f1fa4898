"""The permissions-only mode: a home's modes, flags, access lists and owners,
then the machine's policy file or, without one, the built-in commands."""

import os
import plistlib
import shutil
import stat

import pytest

import hoststate as hs
from conftest import File, Folder, Link

HOME = "/Users/alice"
OWNER = (501, 20)
POLICY = "/Library/User Template/__permissions.plist"
DENY_DELETE = (hs.DENY, hs.PERMS["delete"], 0, hs.EVERYONE)
DROP_BOX = [DENY_DELETE, (hs.ALLOW, hs.ALL_PERMS, hs.FILE_INHERIT | hs.DIRECTORY_INHERIT,
                          hs.account_uuid(501))]
# A list that none of the rules would build.
OTHER = [(hs.DENY, hs.PERMS["chown"], 0, hs.account_uuid(502)),
         (hs.ALLOW, hs.PERMS["list"], hs.FILE_INHERIT, hs.group_uuid(20))]
NO_UUID = "UUID is NULL! setPermissions:165"


@pytest.fixture
def templated(host):
    host.make_template()
    return host


def permissions(host, home=HOME, uid="501", gid="20", name="alice"):
    args = ["x", home, uid, gid, "3", "ignored", "English"]
    return host.run(args + ([] if name is None else [name]))


def write_policy(host, value):
    """An XML policy file; bytes are written as they are."""
    data = value if isinstance(value, bytes) else plistlib.dumps(value, fmt=plistlib.FMT_XML)
    host.path(POLICY).write_bytes(data)


def state(path):
    """(mode, (uid, gid), flags, list) of the item itself."""
    st = os.lstat(path)
    return stat.S_IMODE(st.st_mode), (st.st_uid, st.st_gid), hs.flags(path), hs.acl(path)


def outside(host):
    """Items that a home links to, with the state of each."""
    top = host.make_tree("/Library/Outside", {
        "sentinel.txt": File("keep", mode=0o640, owner=(502, 0)),
        "dir": Folder({"inner.txt": File("x", mode=0o644)}, mode=0o755),
        "sites": {"Streaming": {"clip": "x"}},
    })
    for item in ("sentinel.txt", "dir"):
        hs.set_acl(top / item, OTHER)
        hs.add_flags(top / item, hs.UF_HIDDEN | hs.UF_NODUMP)
    return lambda: {p: state(os.path.join(d, p)) for d, dirs, files in os.walk(top)
                    for p in dirs + files}


# --- the resulting state, item by item ----------------------------------------

TABLE = {  # relative path: (mode, list), every item owned by 501:20 afterwards
    "doc.txt": (0o600, OTHER),
    ".localized": (0o644, []),
    "pipe": (0o600, []),
    "Sub/.localized": (0o700, [DENY_DELETE]),
    "Sub/.localized/inner": (0o600, []),
    "Sub/Movies.txt": (0o600, []),
    "Public": (0o700, [DENY_DELETE]),
    "Public/Drop Box": (0o700, DROP_BOX),
    "Public/Drop Box/in.txt": (0o600, []),
    "Deep/a/Public/Drop Box": (0o700, DROP_BOX),
    "Deep/b/Public/Drop Box": (0o600, []),
    "public/Drop Box": (0o700, [DENY_DELETE]),
    "Public/drop box": (0o700, [DENY_DELETE]),
    "Movies": (0o700, OTHER),
    "Work/Movies": (0o700, []),
    "Other": (0o700, [DENY_DELETE]),
}


@pytest.mark.parametrize("home", [HOME, "/Users/Movies", "/Users/Public/Drop Box"])
def test_every_item_gets_its_rule(templated, home):
    top = templated.make_tree(home, {
        "doc.txt": File("x", mode=0o644), ".localized": File("", mode=0o600),
        "Sub": {".localized": Folder({"inner": "x"}, mode=0o755), "Movies.txt": "x"},
        "Public": {"Drop Box": Folder({"in.txt": "x"}, mode=0o733), "drop box": {}},
        "Deep": {"a": {"Public": {"Drop Box": {}}}, "b": {"Public": {"Drop Box": "a file"}}},
        "public": {"Drop Box": Folder({}, mode=0o777)},
        "Movies": Folder({}, mode=0o755), "Work": {"Movies": {}}, "Other": Folder({}, mode=0o777),
    })
    os.mkfifo(top / "pipe", 0o644)
    os.chmod(top, 0o755)
    for rel in ("", "doc.txt", "public/Drop Box", "Movies", "Other", "Public/Drop Box"):
        hs.set_acl(top / rel, OTHER)
    hs.add_flags(top / "doc.txt", hs.UF_HIDDEN | hs.UF_NODUMP)
    hs.add_flags(top, hs.UF_NODUMP)
    write_policy(templated, [])  # the per-item rules alone, no built-in command on top

    assert permissions(templated, home) == (0, [])
    assert state(top) == (0o750, OWNER, hs.UF_NODUMP, [DENY_DELETE])
    for rel, (mode, entries) in TABLE.items():
        mode_now, owner, _, entries_now = state(top / rel)
        assert (mode_now, owner, entries_now) == (mode, OWNER, entries), rel
    assert hs.flags(top / "doc.txt") == hs.UF_HIDDEN | hs.UF_NODUMP


@pytest.mark.parametrize("name, policy, status, lines", [
    ("zed", [], 0, []),
    (None, [], 0, []),
    ("zed", None, 1, ["setPermissions:76 Error:1"]),  # the built-in +a names an unknown user
    (None, None, 0, []),  # no name: the built-in Drop Box command is skipped
])
def test_drop_box_without_uuid_keeps_its_list(templated, name, policy, status, lines):
    box = templated.make_tree(HOME + "/Public/Drop Box", {})
    os.chmod(box, 0o755)
    hs.set_acl(box, OTHER)
    hs.add_flags(box, hs.UF_IMMUTABLE)
    if policy is not None:
        write_policy(templated, policy)
    assert permissions(templated, name=name) == (status, [NO_UUID] + lines)
    assert state(box) == (0o755, OWNER, 0, OTHER)


# --- flags ---------------------------------------------------------------------

@pytest.mark.parametrize("home", [HOME, HOME + "/"])
def test_flags_and_refused_changes(templated, home):
    top = templated.make_tree(HOME, {
        "Locked": Folder({"f": File("x", mode=0o644)}, mode=0o755),
        "Movies": Folder({}, mode=0o751), "frozen.txt": File("x", mode=0o644),
        "Append": Folder({}, mode=0o755), "Public": {"Drop Box": Folder({}, mode=0o755)},
    })
    for rel in ("Locked", "Movies", "Append", "Public/Drop Box"):
        hs.set_acl(top / rel, OTHER)
    hs.add_flags(top / "Locked", hs.UF_HIDDEN | hs.UF_NODUMP | hs.UF_IMMUTABLE)
    hs.add_flags(top / "Movies", hs.UF_IMMUTABLE)
    hs.add_flags(top / "frozen.txt", hs.UF_IMMUTABLE)
    hs.add_flags(top / "Append", hs.UF_APPEND)
    hs.add_flags(top / "Public/Drop Box", hs.UF_APPEND)
    write_policy(templated, [])

    status, lines = permissions(templated, home)
    assert (status, sorted(lines)) == (0, ["setPermissions:209 /Users/alice/Public/Drop Box",
                                           "setPermissions:246 /Users/alice/Append"])
    # The mode change is refused while the folder is immutable; then the flag goes.
    assert state(top / "Locked") == (0o755, OWNER, hs.UF_HIDDEN | hs.UF_NODUMP, [DENY_DELETE])
    assert state(top / "Locked/f") == (0o600, OWNER, 0, [])
    assert state(top / "Movies") == (0o751, OWNER, 0, OTHER)
    assert state(top / "frozen.txt")[::2] == (0o644, hs.UF_IMMUTABLE)
    for rel in ("Append", "Public/Drop Box"):
        assert state(top / rel)[::2] == (0o755, hs.UF_APPEND), rel
        assert hs.acl(top / rel) == OTHER, rel


# --- links and other file systems ----------------------------------------------

def test_links_out_of_the_home_are_not_followed(templated):
    outside_state = outside(templated)
    top = templated.make_tree(HOME, {
        "tofile": Link("/Library/Outside/sentinel.txt"), "todir": Link("/Library/Outside/dir"),
        ".localized": Link("/Library/Outside/sentinel.txt"), "Movies": Link("/Library/Outside/dir"),
        "relative": Link("../../Library/Outside/dir"), "dangling": Link("/nowhere"),
        "Public": {"Drop Box": Link("/Library/Outside/dir")},
        "Sites": {"Streaming": Link("/Library/Outside/sites/Streaming")},
    })
    before = outside_state()
    assert permissions(templated) == (0, [])  # built-in commands included
    assert outside_state() == before
    # Streaming keeps the owner's group: the group change was not run on it.
    for rel in ("tofile", "todir", ".localized", "Movies", "relative", "dangling",
                "Public/Drop Box", "Sites/Streaming"):
        assert os.lstat(top / rel)[4:6] == OWNER, rel


def test_home_that_is_a_link_is_left_alone(templated):
    outside_state = outside(templated)
    os.symlink("/Library/Outside/dir", templated.path(HOME))
    write_policy(templated, [])
    before = outside_state()
    assert permissions(templated) == (0, ["setPermissions:263 /Users/alice"])
    assert outside_state() == before


def test_mounted_volume_inside_the_home_is_not_entered(templated):
    top = templated.make_tree(HOME, {"Documents": Folder({"a": "x"}, mode=0o755)})
    mnt = templated.mount_tmpfs(HOME + "/mnt", mode=0o755)
    hs.set_acl(mnt, OTHER)
    templated.make_tree(HOME + "/mnt", {"f.txt": File("x", mode=0o644),
                                        "Movies": Folder({"g": "y"}, mode=0o755)})
    items = ["", "f.txt", "Movies", "Movies/g"]
    before = {rel: state(mnt / rel) for rel in items}
    assert permissions(templated) == (0, [])
    assert {rel: state(mnt / rel) for rel in items} == before
    assert state(top / "Documents") == (0o700, OWNER, 0, [DENY_DELETE])


@pytest.mark.parametrize("uid, gid", [(b"\xff", "20"), ("501", b"\xff")])
def test_no_owner_change_without_both_ids(templated, uid, gid):
    top = templated.make_tree(HOME, {"f": "x", "Public": {"Drop Box": {"g": "y"}},
                                     "link": Link("f"), "Movies": {}})
    items = ["", "f", "Public", "Public/Drop Box", "Public/Drop Box/g", "link", "Movies"]
    assert permissions(templated, uid=uid, gid=gid) == (0, [])
    assert {rel: os.lstat(top / rel)[4:6] for rel in items} == {rel: (0, 0) for rel in items}
    assert state(top)[::3] == (0o750, [DENY_DELETE])
    assert state(top / "Public/Drop Box")[::3] == (0o700, DROP_BOX)


def test_home_deeper_than_the_longest_path(templated):
    top = templated.make_tree(HOME, {})
    name, levels = "d" * 120, 40  # past PATH_MAX, and more folders than a walk keeps open
    cwd = os.getcwd()
    try:
        os.chdir(top)
        for _ in range(levels):
            os.mkdir(name, 0o755)
            os.chdir(name)
            with open("f", "w") as f:
                os.fchmod(f.fileno(), 0o644)
        os.makedirs("Public/Drop Box")
        os.chdir(top)
        assert permissions(templated) == (0, [])
        for depth in range(levels):
            assert state(name) == (0o700, OWNER, 0, [DENY_DELETE]), depth
            os.chdir(name)
            assert state("f")[:2] == (0o600, OWNER), depth
        assert state("Public/Drop Box") == (0o700, OWNER, 0, DROP_BOX)
    finally:
        os.chdir(cwd)
        shutil.rmtree(top / name)


# --- the policy file -------------------------------------------------------------

@pytest.mark.parametrize("name, group", [("alice", 700), (None, 701)])
def test_policy_rules(templated, name, group):
    outside_state = outside(templated)
    templated.add_group("alice-alice", 700)
    templated.add_group("__USER_NAME__-__USER_NAME__", 701)
    top = templated.make_tree(HOME, {
        "a.txt": "x", "f.txt": "x", "Docs": {"b.txt": "x", "c.txt": "x"},
        "escape": Link("/Library/Outside/sentinel.txt"), "linkdir": Link("/Library/Outside/dir"),
    })
    write_policy(templated, [
        {"Command": "CHMOD", "Argument": "0640", "Paths": ["a.txt", "Docs/b.txt"]},
        {"Command": "CHMOD", "Argument": "0604", "Paths": ["a.txt"]},
        {"Command": "CHGRP", "Argument": "nosuchgroup", "Paths": ["missing", "Docs/c.txt"]},
        {"Command": "CHGRP", "Argument": "__USER_NAME__-__USER_NAME__", "Paths": ["gone", "Docs/c.txt"]},
        {"Command": "chmod", "Argument": "0777", "Paths": ["f.txt"]},
        {"Command": "CHMOD", "Argument": "0777"},
        {"Command": "CHMOD", "Argument": "bogus", "Paths": ["f.txt"]},
        {"Command": "CHMOD", "Argument": "0777", "Paths": ["escape", "linkdir", "linkdir/inner.txt"]},
        {"Command": "CHGRP", "Argument": "alice-alice", "Paths": ["escape", "linkdir"]},
    ])
    before = outside_state()
    # Each failing run is logged once; a missing path runs nothing.
    assert permissions(templated, name=name) == (0, ["setPermissions:118 Error:1"] * 2)
    assert outside_state() == before
    assert state(top / "a.txt")[:2] == (0o604, OWNER)
    assert state(top / "Docs/b.txt")[:2] == (0o640, OWNER)
    assert state(top / "Docs/c.txt")[:2] == (0o600, (501, group))
    assert state(top / "f.txt")[:2] == (0o600, OWNER)


def test_policy_path_with_a_leading_separator_names_an_item_of_the_home(templated):
    top = templated.make_tree(HOME, {"Docs": {"x": "y"}})
    write_policy(templated, [{"Command": "CHMOD", "Argument": "0750", "Paths": ["/Docs", "Docs/x/"]}])
    assert permissions(templated) == (0, [])
    assert state(top / "Docs")[0] == 0o750
    assert state(top / "Docs/x")[0] == 0o750


@pytest.mark.parametrize("policy, status, lines", [
    ([], 0, []),  # an empty policy: no built-in command runs
    ([{"Command": "CHGRP", "Argument": "nosuchgroup", "Paths": ["nothere"]}], 0, []),
    ({"Command": "CHMOD", "Argument": "0777", "Paths": ["Sites"]}, 1, ["setPermissions:60 Error:1"]),
    (b"not a property list", 1, ["setPermissions:60 Error:1"]),
    (None, 1, ["setPermissions:60 Error:1"]),
])
def test_policy_or_built_in_commands(templated, policy, status, lines):
    templated.remove_group("vexa")
    top = templated.make_tree(HOME, {"Sites": {"Streaming": {"clip": "x"}}})
    if policy is not None:
        write_policy(templated, policy)
    assert permissions(templated) == (status, lines)
    assert state(top / "Sites")[0] == 0o700


# --- the built-in commands ---------------------------------------------------------

def test_built_in_commands(templated):
    outside_state = outside(templated)
    top = templated.make_tree(HOME, {
        "Sites": {"Streaming": {"clip": "x", "sub": {"y": "z"},
                                "escape": Link("/Library/Outside/sentinel.txt")}},
        "Public": {"Drop Box": {}},
    })
    before = outside_state()
    assert permissions(templated) == (0, [])
    assert outside_state() == before
    for rel in ("Sites/Streaming", "Sites/Streaming/clip", "Sites/Streaming/sub/y"):
        assert os.lstat(top / rel).st_gid == 80, rel
    assert os.lstat(top / "Sites").st_gid == 20
    # The entries that the commands add are there already: nothing doubles.
    assert hs.acl(top) == [DENY_DELETE]
    assert hs.acl(top / "Public/Drop Box") == DROP_BOX


def test_failing_home_command_still_runs_the_others(templated):
    top = templated.make_tree(HOME, {"Sites": {"Streaming": {"clip": "x"}}, "Public": {"Drop Box": {}}})
    os.chmod(top, 0o755)
    hs.add_flags(top, hs.UF_IMMUTABLE)
    assert permissions(templated) == (1, ["setPermissions:263 /Users/alice", "setPermissions:45 Error:1"])
    assert state(top) == (0o755, (0, 0), hs.UF_IMMUTABLE, [])
    assert os.lstat(top / "Sites/Streaming/clip").st_gid == 80
    assert hs.acl(top / "Public/Drop Box") == DROP_BOX


def test_missing_home(templated):
    before = templated.snapshot()
    assert permissions(templated, "/Users/nothing") == (
        1, ["setPermissions:263 /Users/nothing", "setPermissions:45 Error:1"])
    assert templated.snapshot() == before
