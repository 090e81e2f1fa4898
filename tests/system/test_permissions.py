"""The permissions-only mode: per-item rules, then the policy file or the built-in commands."""

import os
import plistlib
import shutil
import stat

import pytest

import hoststate as hs
from conftest import File, Folder, Link, parse_syslog

HOME = "/Users/alice"
OWNER, ROOT = (501, 20), (0, 0)
DENY_DELETE = (hs.DENY, hs.PERMS["delete"], 0, hs.EVERYONE)
DROP_BOX = [DENY_DELETE, (hs.ALLOW, hs.ALL_PERMS, hs.FILE_INHERIT | hs.DIRECTORY_INHERIT, hs.account_uuid(501))]
OTHER = [  # a list that none of the rules would build
(hs.DENY, hs.PERMS["chown"], 0, hs.account_uuid(502)),
         (hs.ALLOW, hs.PERMS["list"], hs.FILE_INHERIT, hs.group_uuid(20))]
NO_UUID = "UUID is NULL! setPermissions:165"
HN = hs.UF_HIDDEN | hs.UF_NODUMP


def permissions(host, home=HOME, uid="501", gid="20", name="alice"):
    host.make_template()
    return host.run(["x", home, uid, gid, "3", "ignored", "English"] + ([name] if name else []))


def write_policy(host, value):
    data = value if isinstance(value, bytes) else plistlib.dumps(value, fmt=plistlib.FMT_XML)
    host.make_template().joinpath("__permissions.plist").write_bytes(data)


def state(path):
    st = os.lstat(path)
    return stat.S_IMODE(st.st_mode), (st.st_uid, st.st_gid), hs.flags(path), hs.acl(path)


def outside(host):
    """Items that a home links to; returns a reader of their state."""
    top = host.make_tree("/Library/Outside", {
        "sentinel.txt": File("keep", mode=0o640, owner=(502, 0)),
        "dir": Folder({"inner.txt": File("x", mode=0o644)}, mode=0o755),
        "staff.txt": File("root's", mode=0o660, owner=(0, 20))})
    for item in ("sentinel.txt", "dir"):
        hs.set_acl(top / item, OTHER)
        hs.add_flags(top / item, HN)
    return lambda: {p: state(os.path.join(d, p)) for d, dirs, files in os.walk(top) for p in dirs + files}


TABLE = {  # relative path: state afterwards
    "doc.txt": (0o600, OWNER, HN, OTHER),  # a file keeps its flags and its list
    "frozen.txt": (0o644, ROOT, hs.UF_IMMUTABLE, []),  # an immutable file refuses every change
    ".localized": (0o644, OWNER, 0, []), "pipe": (0o600, OWNER, 0, []),
    "Sub/.localized": (0o700, OWNER, 0, [DENY_DELETE]),
    "Public": (0o700, OWNER, 0, [DENY_DELETE]), "Public/drop box": (0o700, OWNER, 0, [DENY_DELETE]),
    "public/Drop Box": (0o700, OWNER, 0, [DENY_DELETE]),
    "Deep/a/Public/Drop Box": (0o700, OWNER, 0, DROP_BOX),
    "Deep/b/Public/Drop Box": (0o600, OWNER, 0, []),
    "Deep/c/Public/Drop Box": (0o755, ROOT, hs.UF_APPEND, OTHER),  # list refused: line 209
    "Append": (0o755, ROOT, hs.UF_APPEND, OTHER),  # list refused: line 246
    "Movies": (0o700, OWNER, 0, OTHER), "Work/Movies": (0o700, OWNER, 0, []), "Other": (0o700, OWNER, 0, [DENY_DELETE]),
    # The mode change is refused while the folder is immutable; then the flag goes.
    "Locked": (0o755, OWNER, HN, [DENY_DELETE]),
    "hard": (0o660, (0, 20), 0, []),  # another name of a file outside, not the owner's
}
LINKS = {"tofile": Link("/Library/Outside/sentinel.txt"), "todir": Link("/Library/Outside/dir"),
         ".localized": Link("/Library/Outside/sentinel.txt"), "Movies": Link("/Library/Outside/dir"),
         "dangling": Link("/nowhere")}


@pytest.mark.parametrize("home", [HOME + "/", "/Users/Movies", "/Users/Public/Drop Box"])
def test_every_item_gets_its_rule(host, home):
    outside_state = outside(host)
    top = host.make_tree(home, {
        "doc.txt": File("x", mode=0o644), "frozen.txt": File("x", mode=0o644),
        ".localized": File("", mode=0o600), "Links": LINKS, "Sub": {".localized": Folder({}, mode=0o755)},
        # The built-in commands are not handed links either.
        "Public": {"Drop Box": Link("/Library/Outside/dir"), "drop box": {}},
        "Sites": {"Streaming": Link("/Library/Outside/dir")},
        "Deep": {"a": {"Public": {"Drop Box": Folder({}, mode=0o733)}},
                 "b": {"Public": {"Drop Box": "a file"}}, "c": {"Public": {"Drop Box": {}}}},
        "public": {"Drop Box": Folder({}, mode=0o777)}, "Append": {}, "Movies": {},
        "Work": {"Movies": {}}, "Other": Folder({}, mode=0o777), "Locked": Folder({}, mode=0o755)})
    os.mkfifo(top / "pipe", 0o644)
    os.link(host.path("/Library/Outside/staff.txt"), top / "hard")
    for rel in ("", "doc.txt", "public/Drop Box", "Movies", "Other", "Append", "Deep/c/Public/Drop Box"):
        os.chmod(top / rel, 0o755)
        hs.set_acl(top / rel, OTHER)
    for rel, word in (("", hs.UF_NODUMP), ("doc.txt", HN), ("frozen.txt", hs.UF_IMMUTABLE),
                      ("Locked", HN | hs.UF_IMMUTABLE), ("Append", hs.UF_APPEND),
                      ("Deep/c/Public/Drop Box", hs.UF_APPEND)):
        hs.add_flags(top / rel, word)
    mnt = host.mount_tmpfs(os.path.join(home, "mnt"), mode=0o755)
    host.make_tree(os.path.join(home, "mnt"), {"f": File("x", mode=0o644), "Movies": {"g": "y"}})
    hs.set_acl(mnt, OTHER)
    before = outside_state()

    status, lines = permissions(host, home)
    home = home.rstrip("/")
    assert (status, sorted(lines)) == (0, sorted([
        f"setPermissions:209 {home}/Deep/c/Public/Drop Box", f"setPermissions:246 {home}/Append",
        f"Skipping {home}/hard because it has 2 links and belongs to uid 0, not 501"]))
    assert state(top) == (0o750, OWNER, hs.UF_NODUMP, [DENY_DELETE])
    assert {rel: state(top / rel) for rel in TABLE} == TABLE
    assert outside_state() == before
    # A volume mounted inside the home is part of it: every item on it gets its rule too.
    assert {rel: state(mnt / rel) for rel in ("", "f", "Movies", "Movies/g")} == {
        "": (0o700, OWNER, 0, [DENY_DELETE]), "f": (0o600, OWNER, 0, []), "Movies": (0o700, OWNER, 0, []),
        "Movies/g": (0o600, OWNER, 0, [])}
    for rel in ["Public/Drop Box", "Sites/Streaming"] + [f"Links/{name}" for name in LINKS]:
        assert os.lstat(top / rel)[4:6] == OWNER, rel


@pytest.mark.parametrize("policy, name, vexa, locked, status, lines", [
    (None, "alice", True, False, 0, []),
    (None, None, True, False, 0, [NO_UUID]),  # no name: no Drop Box command
    (None, "zed", True, False, 1, [NO_UUID, "setPermissions:76 Error:1"]),  # an unknown user
    (None, "alice", True, True, 1, ["setPermissions:263 /Users/alice", "setPermissions:45 Error:1"]),
    (None, "alice", False, False, 1, ["setPermissions:60 Error:1"]),
    ({"Command": "CHMOD"}, "alice", False, False, 1, ["setPermissions:60 Error:1"]),  # no array
    (b"not a property list", "alice", False, False, 1, ["setPermissions:60 Error:1"]),
    ([], "zed", False, False, 0, [NO_UUID]),  # an empty policy: no built-in command
    ([{"Command": "CHGRP", "Argument": "nosuchgroup", "Paths": ["gone"]}], "alice", False, False, 0, []),
])
def test_policy_or_built_in_commands(host, policy, name, vexa, locked, status, lines):
    if not vexa:
        host.remove_group("vexa")
    top = host.make_tree(HOME, {"Sites": {"Streaming": {"clip": "x", "sub": {"y": "z"}}},
                                "Public": {"Drop Box": Folder({}, mode=0o755)}})
    hs.set_acl(top / "Public/Drop Box", OTHER)
    if locked:
        os.chmod(top, 0o755)
        hs.add_flags(top, hs.UF_IMMUTABLE)
    if policy is not None:
        write_policy(host, policy)
    assert permissions(host, name=name) == (status, lines)
    # the entry is not doubled
    assert state(top) == ((0o755, ROOT, hs.UF_IMMUTABLE, []) if locked else (0o750, OWNER, 0, [DENY_DELETE]))
    gid = 80 if vexa and not isinstance(policy, list) else 20
    assert [os.lstat(top / r).st_gid for r in ("Sites", "Sites/Streaming", "Sites/Streaming/sub/y")] == [20, gid, gid]
    assert state(top / "Public/Drop Box") == (0o700, OWNER, 0, DROP_BOX if name == "alice" else OTHER)


@pytest.mark.parametrize("policy", [[], None])
def test_home_that_is_a_link_is_left_alone(host, policy):
    outside_state = outside(host)
    os.symlink("/Library/Outside/dir", host.path(HOME))
    host.make_template()
    if policy is not None:
        write_policy(host, policy)
    before = outside_state(), host.snapshot()
    # Without a policy the fallback does not hand the link to chmod either.
    expected = [] if policy is not None else ["setPermissions:45 Error:1"]
    assert permissions(host) == (0 if policy is not None else 1, ["setPermissions:263 /Users/alice"] + expected)
    assert (outside_state(), host.snapshot()) == before


@pytest.mark.parametrize("args", [["x", HOME, "501", "20", "3", "ignored", "English", "alice"],
                                  ["-repairPermissions", "alice"]], ids=["pass", "repair"])
@pytest.mark.parametrize("links", [1, 2])
def test_a_home_that_is_a_file_gets_its_list_and_mode_unless_it_has_other_names(host, args, links):
    host.make_template()
    write_policy(host, [])
    home = host.path(HOME)
    host.make_tree("/Users", {"alice": File("x", mode=0o644, owner=ROOT)})
    if links == 2:  # root's file, with another name outside the home
        os.link(home, host.path("/Library/other-name"))
    status, lines = host.run(args)
    if links == 1:
        assert (status, lines) == (0, []) and state(home) == (0o750, OWNER, 0, [DENY_DELETE])
    else:
        assert (status, lines) == (0, [f"Skipping {HOME} because it has 2 links and belongs to uid 0, not 501"])
        assert state(home) == (0o644, ROOT, 0, [])


def test_fallback_hands_a_missing_home_to_chmod(host):
    host.make_template()
    done, datagrams = host.run_logged([host.hollin, "x", "/Users/nobody", "501", "20", "3"])
    # chmod itself was asked, and its own status is the one logged.
    assert done.returncode == 1 and "chmod: '/Users/nobody':" in done.stderr
    assert [parse_syslog(d) for d in datagrams] == ["setPermissions:263 /Users/nobody", "setPermissions:45 Error:1"]


@pytest.mark.parametrize("uid, gid", [(b"\xff", "20"), ("501", b"\xff")])
def test_no_owner_change_without_both_ids(host, uid, gid):
    top = host.make_tree(HOME, {"f": "x", "Public": {"Drop Box": {"g": "y"}}, "link": Link("f")})
    # Without ids a multiply-linked file must already be the home's owner's (root here).
    bobs = host.make_tree("/Library/Outside", {"bob.txt": File("b", mode=0o640, owner=(502, 20))}) / "bob.txt"
    os.link(bobs, top / "hard")
    items = ["", "f", "Public", "Public/Drop Box", "Public/Drop Box/g", "link"]
    assert permissions(host, uid=uid, gid=gid) == (
        0, [f"Skipping {HOME}/hard because it has 2 links and belongs to uid 502, not 0"])
    assert state(bobs)[:2] == (0o640, (502, 20))
    assert {rel: os.lstat(top / rel)[4:6] for rel in items} == {rel: ROOT for rel in items}
    assert state(top / "Public/Drop Box")[::3] == (0o700, DROP_BOX)


@pytest.mark.parametrize("name, group", [("alice", 700), (None, 701)])
def test_policy_rules(host, name, group):
    outside_state = outside(host)
    host.add_group("alice-alice", 700)
    host.add_group("__USER_NAME__-__USER_NAME__", 701)
    top = host.make_tree(HOME, {
        "a.txt": "x", "f.txt": "x", "Docs": {"b.txt": "x", "c.txt": "x", "x": "y"},
        "escape": Link("/Library/Outside/sentinel.txt"), "linkdir": Link("/Library/Outside/dir")})
    write_policy(host, [
        {"Command": "CHMOD", "Argument": "0640", "Paths": ["a.txt", "Docs/b.txt"]},
        {"Command": "CHMOD", "Argument": "0604", "Paths": ["a.txt"]},
        {"Command": "CHGRP", "Argument": "nosuchgroup", "Paths": ["missing", "Docs/c.txt"]},
        {"Command": "CHGRP", "Argument": "__USER_NAME__-__USER_NAME__", "Paths": ["gone", "Docs/c.txt"]},
        {"Command": "chmod", "Argument": "0777", "Paths": ["f.txt"]},
        {"Command": "CHMOD", "Argument": "0777"},
        {"Command": "CHMOD", "Argument": "bogus", "Paths": ["f.txt"]},
        {"Command": "CHMOD", "Argument": "0777", "Paths": ["escape", "linkdir", "linkdir/inner.txt"]},
        {"Command": "CHGRP", "Argument": "alice-alice", "Paths": ["escape", "linkdir"]},
        {"Command": "CHMOD", "Argument": "0750", "Paths": ["/Docs", "Docs/x/"]},
    ])
    before = outside_state()
    # Each failing run is logged once; a missing path runs nothing.
    assert permissions(host, name=name) == (0, ["setPermissions:118 Error:1"] * 2)
    assert outside_state() == before
    modes = {rel: state(top / rel)[:2] for rel in ("a.txt", "f.txt", "Docs", "Docs/b.txt", "Docs/c.txt", "Docs/x")}
    assert modes == {"a.txt": (0o604, OWNER), "f.txt": (0o600, OWNER), "Docs": (0o750, OWNER),
                     "Docs/b.txt": (0o640, OWNER), "Docs/c.txt": (0o600, (501, group)),
                     "Docs/x": (0o750, OWNER)}


def test_a_second_run_writes_nothing(host):
    # What the per-item rules have set right gets no write at all: not even a change time moves. (The home's
    # own list and mode are written on every run.)
    top = host.make_tree(HOME, {"doc.txt": "x", "Documents": {"a": {"f.txt": "y"}}, "Public": {"Drop Box": {}},
                                "Locked": Folder({}, mode=0o700)})
    write_policy(host, [])  # the per-item rules alone
    assert permissions(host) == (0, [])
    hs.add_flags(top / "Locked", hs.UF_NODUMP)  # a flag the rules keep

    def change_times():
        return {os.path.relpath(os.path.join(d, n), top): os.lstat(os.path.join(d, n)).st_ctime_ns
                for d, dirs, files in os.walk(top) for n in dirs + files}

    before = change_times()
    assert permissions(host) == (0, [])
    assert change_times() == before


def test_home_deeper_than_the_longest_path(host):
    top = host.make_tree(HOME, {})
    name, levels = "d" * 120, 40  # past PATH_MAX, and more folders than a walk keeps open
    cwd = os.getcwd()
    try:
        os.chdir(top)
        for _ in range(levels):
            os.mkdir(name, 0o755)
            os.chdir(name)
        os.makedirs("Public/Drop Box")
        os.close(os.open("f", os.O_CREAT | os.O_WRONLY))
        os.chmod("f", 0o644)
        os.chdir(top)
        assert permissions(host) == (0, [])
        for depth in range(levels):
            assert state(name) == (0o700, OWNER, 0, [DENY_DELETE]), depth
            os.chdir(name)
        assert (state("f")[:2], state("Public/Drop Box")) == ((0o600, OWNER), (0o700, OWNER, 0, DROP_BOX))
    finally:
        os.chdir(cwd)
        shutil.rmtree(top / name)
