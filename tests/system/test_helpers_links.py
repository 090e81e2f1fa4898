"""The helpers follow a link on the way only where root alone could have placed it; chown -R / chgrp -R change
links as themselves, cross mount points and leave alone someone else's multiply-linked file."""

import os
import stat
import subprocess

import pytest

import hoststate as hs
from conftest import SANDBOX_BUILD, File, Folder, Link, make_tree, run_program

OLD = 1_000_000_000
OTHER = [(hs.ALLOW, hs.PERMS["list"], 0, hs.account_uuid(502))]
REFUSAL = "refusing a symbolic link that root did not place"


def whole_state(top):
    """{path: (mode, uid, gid, mtime, atime, list)} of `top` and all below it, links not followed."""
    paths = [str(top)] + [os.path.join(d, n) for d, dirs, files in os.walk(top) for n in dirs + files]
    return {p: (st.st_mode, st.st_uid, st.st_gid, st.st_mtime_ns, st.st_atime_ns, hs.acl(p))
            for p in paths for st in [os.lstat(p)]}


def owners(top):
    return {os.path.relpath(p, top): v[1:3] for p, v in whole_state(top).items()}


# Each helper reaches outside/ through the link `via`; the check says that it did its work there.
HELPERS = {
    "chmod": (["chmod", "0600", "{via}/sentinel"], lambda o: stat.S_IMODE(os.lstat(o / "sentinel").st_mode) == 0o600),
    "chmod +a": (["chmod", "+a", "group:everyone deny delete", "{via}/sentinel"],
                 lambda o: hs.acl(o / "sentinel") == [(hs.DENY, hs.PERMS["delete"], 0, hs.EVERYONE)] + OTHER),
    "chown": (["chown", "501:80", "{via}/sentinel"], lambda o: os.lstat(o / "sentinel")[4:6] == (501, 80)),
    "chown -R": (["chown", "-R", "501", "{via}/dir"], lambda o: set(owners(o / "dir").values()) == {(501, 0)}),
    "chgrp -R": (["chgrp", "-R", "80", "{via}/dir"], lambda o: set(owners(o / "dir").values()) == {(0, 80)}),
    "touch": (["touch", "{via}/sentinel"], lambda o: os.lstat(o / "sentinel").st_mtime > OLD),
    "mirra into": (["mirra", "{work}/source", "{via}/dir"], lambda o: (o / "dir/copied").read_text() == "new"),
    "mirra from": (["mirra", "{via}/dir", "{work}/copy"], lambda o: (o.parent / "copy/inner").exists()),
}


@pytest.mark.parametrize("helper", HELPERS)
@pytest.mark.parametrize("link_owner", [0, 501])
def test_link_on_the_way(work, helper, link_owner):
    make_tree(work, {"outside": {"sentinel": File("keep", mode=0o640), "dir": {"inner": "x"}},
                     "placed": Folder({"via": Link("../outside", owner=(link_owner, 0))}, mode=0o755),
                     "source": {"copied": "new"}, "copy": {}})
    outside = work / "outside"
    hs.set_acl(outside / "sentinel", OTHER)
    for path in whole_state(outside):
        os.utime(path, (OLD, OLD))
    before = whole_state(outside)
    args, done = HELPERS[helper]
    result = run_program(*(a.format(via=work / "placed/via", work=work) for a in args))
    if link_owner == 0:
        assert (result.returncode, result.stderr) == (0, "") and done(outside)
    else:
        assert result.returncode != 0 and REFUSAL in result.stderr and "placed/via" in result.stderr
        assert whole_state(outside) == before and not (work / "copy/inner").exists()


@pytest.fixture
def tree(work):
    """work/home/tree (all 501:20, in a folder of 501's): links out, a fifo, a mount point, two hard links into
    work/outside, root's and 501's."""
    make_tree(work / "outside", {"sentinel": File("keep", mode=0o640), "dir": {"inner": "x"},
                                 "staff": File("root's", mode=0o660, owner=(0, 20)),
                                 "mine": File("alice's", mode=0o600, owner=(501, 20))})
    make_tree(work, {"home": Folder({}, mode=0o755, owner=(501, 20))})
    top = work / "home/tree"
    make_tree(top, {"f": "x", "sub": {"g": "y"}, "mnt": {},
                    "tofile": Link("../outside/sentinel"), "todir": Link("../outside/dir"),
                    "dangling": Link("../outside/created")})
    os.mkfifo(top / "fifo")
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", top / "mnt"], check=True)
    try:
        (top / "mnt/h").write_text("on another device")
        os.link(work / "outside/staff", top / "hard")
        os.link(work / "outside/mine", top / "mine")
        for path in whole_state(top):
            os.lchown(path, 501, 20)
        os.lchown(top / "hard", 0, 20)
        yield top
    finally:
        subprocess.run(["umount", top / "mnt"], check=True)


# The file a recursive change keeps is the one not owned by the reference: the new owner, or for a change of
# group alone the owner of the folder that holds the operand (work/home, owned by `holder`).
@pytest.mark.parametrize("args, holder, kept", [
    (["chown", "-R", "501:80"], 501, "hard"), (["chgrp", "-R", "80"], 501, "hard"),
    (["chown", "-R", ":80"], 501, "hard"), (["chown", "-R", "0:80"], 501, "mine"),
    (["chgrp", "-R", "80"], 0, "mine"), (["chown", "-R", ":80"], 0, "mine"), (["chown", "-R", "501:80"], 0, "hard"),
])
def test_recursive_change(work, tree, args, holder, kept):
    os.lchown(work / "home", holder, 20)
    outside, before = owners(work / "outside"), owners(tree)
    given = args[0] == "chown" and not args[-1].startswith(":")  # else each item keeps its owner
    after = {path: (int(args[-1].split(":")[0]) if given else uid, 80) for path, (uid, _) in before.items()}
    result = run_program(*args, tree)
    assert result.returncode == 1
    assert result.stderr == f"{args[0]}: '{tree}/{kept}': left alone: 2 hard links, owned by uid {before[kept][0]}\n"
    assert owners(tree) == {**after, kept: before[kept]}
    assert stat.S_IMODE(os.lstat(tree / "hard").st_mode) == 0o660
    # tree/hard is the same file as outside/staff, tree/mine as outside/mine
    changed = {"hard": "mine", "mine": "hard"}[kept]
    assert owners(work / "outside") == {**outside, {"hard": "staff", "mine": "mine"}[changed]: after[changed]}


# Below the operand the reference stays the operand's: a folder of root's that anyone may write, inside 501's tree,
# does not make root's file with another name in it fair game for a change of group.
@pytest.mark.parametrize("args", [["chgrp", "-R", "80"], ["chown", "-R", ":80"]])
def test_a_recursive_change_of_group_keeps_the_operands_reference(work, tree, args):
    make_tree(tree, {"open": Folder({}, mode=0o777, owner=(0, 0))})
    os.link(work / "outside/staff", tree / "open/gw")
    before = whole_state(work / "outside/staff")
    result = run_program(*args, tree)
    assert result.returncode == 1
    assert sorted(result.stderr.splitlines()) == [
        f"{args[0]}: '{tree}/{name}': left alone: 3 hard links, owned by uid 0" for name in ("hard", "open/gw")]
    assert whole_state(work / "outside/staff") == before


# Among many items to change (the walk then pins before it looks) and some already right, every other name of
# root's file is still left alone and reported, everything else is changed, and the file outside is untouched.
@pytest.mark.parametrize("files", [3, 40, 150])
@pytest.mark.parametrize("args", [["chown", "-R", "501:80"], ["chgrp", "-R", "80"]])
def test_other_names_among_many_changes(work, tree, args, files):
    spread = {f"d{d}": {f"f{i}": "x" for i in range(files)} for d in range(3)}
    make_tree(tree, {"many": spread})
    names = [f"many/d{d}/h{k}" for d in range(3) for k in range(2)]
    for name in names:
        os.link(work / "outside/staff", tree / name)
    for d in range(3):
        for i in range(0, files, 25):  # already what the change gives
            os.lchown(tree / f"many/d{d}/f{i}", 501, 80)
    outside = whole_state(work / "outside/staff")
    result = run_program(*args, tree)
    assert result.returncode == 1
    links = 2 + len(names)
    assert sorted(result.stderr.splitlines()) == sorted(
        f"{args[0]}: '{tree}/{name}': left alone: {links} hard links, owned by uid 0" for name in ["hard"] + names)
    assert whole_state(work / "outside/staff") == outside
    wanted = (501, 80) if args[0] == "chown" else None
    for path, (uid, gid) in owners(tree / "many").items():
        if os.path.basename(path).startswith("h"):
            assert (uid, gid) == (0, 20), path
        else:
            assert (uid, gid) == (wanted or (uid, 80)) and gid == 80, path


# A helper handed another name of a file: the change's reference owner is the one named, else the owner of the
# folder that holds the operand (work/home/tree, 501's). Each helper: its arguments, the reference, and whether
# the change was made on a file.
NAMED = {
    "chmod": (["chmod", "0604"], 501, lambda p: stat.S_IMODE(os.lstat(p).st_mode) == 0o604),
    "chmod +a": (["chmod", "+a", "group:everyone deny delete"], 501,
                 lambda p: (hs.DENY, hs.PERMS["delete"], 0, hs.EVERYONE) in hs.acl(p)),
    "chgrp": (["chgrp", "80"], 501, lambda p: os.lstat(p).st_gid == 80),
    "chgrp -R": (["chgrp", "-R", "80"], 501, lambda p: os.lstat(p).st_gid == 80),
    "chown U:G": (["chown", "501:80"], 501, lambda p: os.lstat(p)[4:6] == (501, 80)),
    "chown root:G": (["chown", "0:80"], 0, lambda p: os.lstat(p)[4:6] == (0, 80)),
    "chown :G": (["chown", ":80"], 501, lambda p: os.lstat(p).st_gid == 80),
    "chown -R": (["chown", "-R", "501:80"], 501, lambda p: os.lstat(p)[4:6] == (501, 80)),
    "touch": (["touch"], 501, lambda p: os.lstat(p).st_mtime > OLD),
}


@pytest.mark.parametrize("helper", NAMED)
@pytest.mark.parametrize("name", ["hard", "mine"])  # root's, 501's
def test_an_operand_with_other_names(work, tree, helper, name):
    args, reference, done = NAMED[helper]
    outside = work / "outside" / {"hard": "staff", "mine": "mine"}[name]
    for path in (outside, tree / "f"):
        os.utime(path, (OLD, OLD))
    before = whole_state(outside)
    # Another operand after it is still handled.
    result = run_program(*args, tree / name, tree / "f")
    assert done(tree / "f"), helper
    if os.lstat(outside).st_uid == reference:
        assert (result.returncode, result.stderr) == (0, "") and done(outside)
    else:
        assert (result.returncode, result.stderr) == (1, f"{args[0]}: '{tree}/{name}': left alone: 2 hard links, "
                                                         f"owned by uid {os.lstat(outside).st_uid}\n")
        assert whole_state(outside) == before


@pytest.mark.parametrize("args, status, wanted", [
    (["chown", "bob:", "f"], 0, (502, 20)), (["chown", ":vexa", "f"], 0, (0, 80)),
    (["chown", "alice:vexa", "f"], 0, (501, 80)), (["chown", "502:80", "f"], 0, (502, 80)),
    (["chown", "501", "f"], 0, (501, 0)), (["chgrp", "staff", "f"], 0, (0, 20)), (["chgrp", "77", "f"], 0, (0, 77)),
    (["chown", "nosuch", "f"], 1, "invalid user"), (["chown", "alice:nosuch", "f"], 1, "invalid group"),
    (["chown", "501:", "f"], 1, "no login group"), (["chgrp", "nosuch", "f"], 1, "invalid group"),
    (["chown", "alice", "missing"], 1, "missing"),
])
def test_owner_forms(host, args, status, wanted):
    host.make_tree("/Library/t", {"f": "x"})
    result = host.sandbox([f"{SANDBOX_BUILD}/bin/{args[0]}", *args[1:-1], f"/Library/t/{args[-1]}"])
    assert result.returncode == status
    if status:
        assert wanted in result.stderr and os.lstat(host.path("/Library/t/f"))[4:6] == (0, 0)
    else:
        assert result.stderr == "" and os.lstat(host.path("/Library/t/f"))[4:6] == wanted
