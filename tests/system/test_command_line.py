"""Front end: root check, usage, form and mode; creating a folder only; deleting a home its user owns."""

import os
import stat

import pytest

import hoststate
from conftest import Folder, Link

REPAIR = "-repairPermissions"
NO_TEMPLATE = "/System/Library/User Template doesn't exist"
NEW_FOLDER = (stat.S_IFDIR, 0o755, 0, 0, None)  # root's, default mode, whatever ids were given


@pytest.fixture
def templated(host):
    host.make_template(non_localized={"marker": "from the template\n"}, languages={"English": {}})
    return host


def own_home(host, path="/Users/carol", uid=501, layout=None):
    top = host.make_tree(path, {"Desktop": {"note": "hi\n"}} if layout is None else layout)
    for folder, dirs, files in os.walk(top):
        for item in ["", *dirs, *files]:
            os.lchown(os.path.join(folder, item), uid, 20)
    return top


def without(items, *prefixes):
    return {p: v for p, v in items.items() if not p.startswith(prefixes)}


@pytest.mark.parametrize("uid, args", [
    (501, []), (501, [REPAIR]), (501, ["x", "/Users/carol", "501", "20", "2"]),
    (None, []), (None, [REPAIR]), (None, [REPAIR, "alice", "x"]), (None, [REPAIR, "/Users/alice", "x", "alice", "y"]),
])
def test_root_check_comes_first_then_the_argument_count(host, uid, args):
    # No template anywhere: these lines come before the template is looked for.
    own_home(host)
    before = host.snapshot()
    why = "should only be run as root" if uid else "should only be run by designated clients"
    assert host.run(args, uid=uid) == (1, [f"{host.hollin}: {why}\n"])
    assert host.snapshot() == before
    # Without a system log to reach, the line still leaves a trace on standard error.
    done = host.sandbox([host.hollin, *args], uid=uid)
    assert (done.returncode, done.stderr) == (1, f"{host.hollin}: {why}\n")


@pytest.mark.parametrize("mode", ["0", "2", "3", "1"])
def test_no_boot_template_stops_every_mode(host, mode):
    own_home(host)
    before = host.snapshot()
    assert host.run(["x", "/Users/carol", "501", "20", mode]) == (1, [NO_TEMPLATE])
    assert host.run(["x", "/Users/new", "501", "20", mode]) == (1, [NO_TEMPLATE])
    assert host.snapshot() == before


@pytest.mark.parametrize("args", [
    ["x", "/Users/carol"], ["x", "/Users/carol", "501"], ["x", "/Volumes/Ext/Users/a/b", "501", "20"],
    ["-repairpermissions", "/Users/carol"], [b"-repairPermissions\xff", "/Users/carol"],
    ["x", "/Users/carol", "501", "20", "abc"], ["x", "/Users/carol", "501", "20", ""],
    ["x", "/Users/carol", "501", "20", " 0x2", "2"],
    ["x", "/Users/carol", "501", "20", "0", "", "English", "nobody-here", "extra"],
])
def test_create_folder_only(templated, args):
    before = templated.snapshot()
    assert templated.run(args) == (0, [])
    after = templated.snapshot()
    new = {p: v for p, v in after.items() if p not in before}
    assert args[1] in new and set(new.values()) == {NEW_FOLDER}
    assert {p: after[p] for p in before} == before
    # A folder already there is success and is left as it is.
    os.chmod(templated.path(args[1]), 0o700)
    after = templated.snapshot()
    assert templated.run(args) == (0, []) and templated.snapshot() == after


@pytest.mark.parametrize("args, culprit", [
    (["x", "/Users/plain/carol", "501"], "/Users/plain"), (["x", "/Users/plain"], "/Users/plain"),
    (["x", "/Users/dangling/carol"], "/Users/dangling"), (["x", "/Users/locked/carol"], "/Users/locked"),
    (["x"], ""), (["x", b"/Users/caf\xe9"], ""),  # no path, or one that is not UTF-8
])
def test_create_folder_failure_is_reported_at_its_site(templated, args, culprit):
    templated.make_tree("/Users", {"plain": "a file", "dangling": Link("/nowhere"), "locked": {}})
    hoststate.set_immutable(templated.path("/Users/locked"), True)
    before = templated.snapshot()
    status, lines = templated.run(args)
    assert status == 1 and len(lines) == 1 and lines[0].startswith("Hollin_main:380 ") and culprit in lines[0], lines
    assert templated.snapshot() == before


@pytest.mark.parametrize("mode, outcome", [
    ("2", "deleted"), (" 2", "deleted"), ("\t2", "deleted"), ("+2", "deleted"), ("2abc", "deleted"),
    ("1", "filled"), ("4", "filled"), ("7", "filled"), ("-1", "filled"), ("2147483647", "filled"),
    ("3", "kept"), ("abc", "kept"), ("00", "kept"),
])
def test_mode_numbers(templated, mode, outcome):
    top = own_home(templated)
    status, _ = templated.run(["x", "/Users/carol", "501", "20", mode, "", "English", "carol"])
    assert status == 0
    assert os.path.lexists(top) == (outcome != "deleted")
    assert (top / "marker").exists() == (outcome == "filled")
    assert outcome == "deleted" or (top / "Desktop" / "note").read_text() == "hi\n"


@pytest.mark.parametrize("owner, uid_text, removed", [
    (501, "501", True), (501, "501abc", True), (501, " 501", True), (501, "+501", True),
    (501, "502", False), (501, "", False), (501, "abc", False), (501, "-501", False), (501, "4294967797", False),
    (4294967294, "-2", False), (4294967294, "4294967294", True),
])
def test_delete_home_only_when_the_user_owns_it(templated, owner, uid_text, removed):
    own_home(templated, uid=owner)
    own_home(templated, "/Users/dave", 502)
    before = templated.snapshot()
    assert templated.run(["x", "/Users/carol", uid_text, "20", "2"]) == (0, [])
    assert templated.snapshot() == (without(before, "/Users/carol") if removed else before)


def test_delete_home_removes_links_as_themselves(templated):
    templated.make_tree("/Library/Outside", {"sentinel": "keep\n"})
    own_home(templated, "/Users/target")
    own_home(templated, layout={"out": Link("/Library/Outside"), "abs": Link("/Library/Outside/sentinel"),
                              "up": Link("../target"), "closed": Folder({"f": "x"}, mode=0)})
    templated.make_tree("/Users", {"root-link": Link("target"), "user-link": Link("target", owner=(501, 20))})
    before = templated.snapshot()
    for nothing_to_do in ("/Users/nobody", "/Users/root-link"):
        assert templated.run(["x", nothing_to_do, "501", "20", "2"]) == (0, [])
    assert templated.snapshot() == before
    for path in ("/Users/user-link", "/Users/carol"):
        assert templated.run(["x", path, "501", "20", "2"]) == (0, [])
    assert templated.snapshot() == without(before, "/Users/carol", "/Users/user-link")
    # A home that is a volume's folder goes as well, also from a volume whose listings give no item types.
    for volume, mount in (("/Volumes/Data", templated.mount_tmpfs), ("/Volumes/Old", templated.mount_untyped)):
        mount(volume)
        own_home(templated, f"{volume}/carol", layout={"Desktop": {"note": "hi\n", "a": {"b": {}}},
                                                      "out": Link("/Library/Outside")})
        assert templated.run(["x", f"{volume}/carol", "501", "20", "2"]) == (0, [])
        assert os.listdir(templated.path(volume)) == []
    assert templated.path("/Library/Outside/sentinel").read_text() == "keep\n"


@pytest.mark.parametrize("culprit", ["Desktop/locked", "mnt"])  # an immutable file, a mount point
def test_delete_home_that_cannot_be_removed(templated, culprit):
    top = own_home(templated)
    keep = templated.mount_tmpfs("/Users/carol/mnt") / "precious" if culprit == "mnt" else top / culprit
    keep.write_text("stay\n")
    if culprit != "mnt":
        hoststate.set_immutable(keep, True)
    status, lines = templated.run(["x", "/Users/carol", "501", "20", "2"])
    assert status == 1 and len(lines) == 1 and lines[0].startswith(f'Hollin_main:191 "/Users/carol/{culprit}" '), lines
    assert keep.read_text() == "stay\n"
