"""Repairing an existing home against its template, and hostile homes."""

import os
import plistlib
import stat

import pytest

import hoststate as hs
from conftest import File, Link, make_tree

REPAIR = "-repairPermissions"
DEFAULT = [(hs.DENY, hs.PERMS["delete"], 0, hs.EVERYONE)]
FOREIGN = [(hs.ALLOW, hs.PERMS["list"], 0, hs.account_uuid(502))]
HOME = (0o750, DEFAULT, 0)
FOLDER = (0o700, DEFAULT, 0)
FILE = (0o600, FOREIGN, 0)
TYPE_LINE = "source and destination are not both directories or not both files"


def look(path):  # (mode, list, flags), or ("link", target)
    st = os.lstat(path)
    if stat.S_ISLNK(st.st_mode):
        return ("link", os.readlink(path))
    return (stat.S_IMODE(st.st_mode), hs.acl(path), hs.flags(path))


def items(host, top):  # host paths of top and all below it, links not followed
    base = str(host.path(top))
    found = [base] + [os.path.join(d, n) for d, dirs, files in os.walk(base) for n in dirs + files]
    return {top + p[len(base):]: p for p in found}


def states(host, top):
    return {path: look(full) for path, full in items(host, top).items()}


def stamp(host, top):  # folders 0777, files 0666, all with FOREIGN (a list no rule sets)
    for full in items(host, top).values():
        st = os.lstat(full)
        if not stat.S_ISLNK(st.st_mode):
            os.chmod(full, 0o777 if stat.S_ISDIR(st.st_mode) else 0o666)
            hs.set_acl(full, FOREIGN)
    return states(host, top)


def prepare(host, non_localized=None, english=None, home_spec=None, home="/Users/alice"):
    host.make_template("Library/User Template", non_localized, {"English": english} if english is not None else None)
    host.make_tree(home, home_spec or {})
    return stamp(host, home)


def expect(host, before, changed):  # `changed` items have their new state, the rest are as before
    assert {path: look(host.path(path)) for path in before} == {**before, **changed}


def beyond(snapshot, home="/Users/alice"):
    return {p: v for p, v in snapshot.items() if p != home and not p.startswith(home + "/")}


@pytest.mark.parametrize("args, home", [
    ([REPAIR, "/Users/nobody", "ignored", "alice"], "/Users/nobody"),
    ([REPAIR, "alice"], "/Users/alice"),
    ([REPAIR, "/Users/plain/alice", "ignored", "alice"], "/Users/plain/alice"),
    ([REPAIR, "robert"], "/Users/robert"),  # the directory's home loses its trailing separators
])
def test_missing_home_fails_before_any_tool_runs(host, args, home):
    host.add_user("robert", 510, home="/Users/robert//")
    prepare(host, {"Documents": {}}, home="/Users/bob", home_spec={"Documents": {}, "plain": "x"})
    host.make_tree("/Users", {"plain": "a file", "alice.txt": "sentinel"})
    host.path("/Library/User Template/__permissions.plist").write_bytes(plistlib.dumps(
        [{"Command": "CHMOD", "Argument": "700", "Paths": ["", "Documents"]}]))
    before = host.snapshot(), states(host, "/Users")
    assert host.run(args) == (1, [f"lstat({home}) failed."])
    assert (host.snapshot(), states(host, "/Users")) == before


def test_home_is_repaired_against_both_template_folders(host):
    host.make_tree("/Library/Outside", {"target": "keep", "folder": {"inside": "keep"}})
    prepare(host, non_localized={
        "Library": {"Preferences": {"com.x.plist": "t"}, "English.lproj": {"X": {}, "Y": "t"}},
        "Desktop": {".localized": ""}, "Music": {"Inner": {}}, "notes": {}, "a[1]": {}, "q?": "t",
        "Public": {"Drop Box": {}}, "gone": Link("/nowhere")},  # a dangling template item
        english={"Documents": {}, "Movies": {}, "Desktop": {}, "notes.txt": "t", "Pictures": {}, "Applications": {}},
        home_spec={
            "Library": {"Preferences": {"com.x.plist": "h", "other.plist": "h"}, "Caches": {},
                        "English.lproj": {"X": {}}, "French.lproj": {"X": {}, "Y": {}}, "de.lproj": {"X": "a file"},
                        ".hidden.lproj": {"X": {}}, "Other": {"X": {}}, "English.lprojx": {"X": {}}},
            "Desktop": {".localized": "", "mine": {}}, "Documents": {"mine.txt": "m"}, "Applications": {},
            "Movies": {}, "notes.txt": "h", "Extra": {"deep": {}, "notes.txt": "h"},
            "English.lproj": {"Documents": {}},  # the language walk maps onto the top of the home
            "notes": "a file", "a1": {}, "a[1]": {}, "qz": "h", "q?": {}, "Pictures": Link("/nowhere"),
            "Sites": {"Streaming": {"a": "x"}}, "Public": {"Drop Box": {}},
            "stray": {"deep": {"file": "y"}}, "out": Link("/Library/Outside/target"),
            "outdir": Link("/Library/Outside/folder"), "gone": {}})
    (host.mount_tmpfs("/Users/alice/Music") / "Inner").mkdir()
    stamp(host, "/Users/alice")
    os.lchown(host.path("/Users/alice/stray"), 502, 80)
    os.lchown(host.path("/Users/alice/stray/deep/file"), 0, 80)
    hs.add_flags(host.path("/Users/alice/Library"), hs.UF_HIDDEN)
    hs.add_flags(host.path("/Users/alice/Applications"), hs.UF_IMMUTABLE)
    before, snapshot = states(host, "/Users/alice"), host.snapshot()
    status, lines = host.run([REPAIR, "alice"])  # the account's home, from /etc/passwd
    assert (status, sorted(lines)) == (0, sorted([
        TYPE_LINE, TYPE_LINE,  # Library/de.lproj/X and Library/French.lproj/Y
        TYPE_LINE, TYPE_LINE,  # notes: folder against file; q?: file against the folder q?
        "file does not exist at path: /Users/alice/Pictures",
        "file does not exist at path: /Library/User Template/Non_localized/gone",
        "Skipping /Users/alice/Music because it's on a different bsd dev than /Users/alice",
        "Skipping /Users/alice/Music/Inner because it's on a different bsd dev than /Users/alice"]))
    h, lib = "/Users/alice", "/Users/alice/Library"
    expect(host, before, {
        h: HOME, lib: (0o700, DEFAULT, hs.UF_HIDDEN), f"{lib}/Preferences": FOLDER,
        f"{lib}/Preferences/com.x.plist": FILE, f"{lib}/English.lproj": FOLDER, f"{lib}/French.lproj": FOLDER,
        f"{lib}/de.lproj": FOLDER, f"{lib}/English.lproj/X": FOLDER, f"{lib}/French.lproj/X": FOLDER,
        f"{h}/Desktop": FOLDER, f"{h}/Desktop/.localized": (0o644, FOREIGN, 0), f"{h}/Documents": FOLDER,
        # Immutable: the walk's chmod is refused, then the flag goes; the chmod after the walk closes it.
        f"{h}/Applications": FOLDER,
        f"{h}/Movies": (0o700, FOREIGN, 0), f"{h}/notes.txt": FILE,
        f"{h}/a1": FOLDER, f"{h}/qz": FILE,  # template names are patterns
        f"{h}/Public": FOLDER, f"{h}/Public/Drop Box": (0o700, DEFAULT + [
            (hs.ALLOW, hs.ALL_PERMS, hs.FILE_INHERIT | hs.DIRECTORY_INHERIT, hs.account_uuid(501))], 0)})
    # Applications was still immutable when the chown ran; no built-in command touched Sites.
    owned = {p: os.lstat(full)[4:6] for p, full in items(host, h).items()}
    assert owned == {**dict.fromkeys(owned, (501, 20)), f"{h}/Applications": (0, 0)}
    assert beyond(host.snapshot()) == beyond(snapshot)


# A volume mounted inside the template is part of it: the items on it, at every depth, are listed and their
# counterparts in the home (all on the home's device) get the rules.
def test_a_volume_mounted_in_the_template_is_walked(host):
    before = prepare(host, {"Shared": {}}, home_spec={"Shared": {"Inner": {"deeper": {}, "notes.txt": "h"},
                                                                 "mine": {}}})
    volume = host.mount_tmpfs("/Library/User Template/Non_localized/Shared")
    make_tree(volume, {"Inner": {"deeper": {}, "notes.txt": "t"}})
    assert host.run([REPAIR, "alice"]) == (0, [])
    h = "/Users/alice/Shared"
    expect(host, before, {"/Users/alice": HOME, h: FOLDER, f"{h}/Inner": FOLDER, f"{h}/Inner/deeper": FOLDER,
                          f"{h}/Inner/notes.txt": FILE})


@pytest.mark.parametrize("volume_template", [True, False])
def test_volume_home_is_repaired_against_its_volumes_template(host, volume_template):
    host.add_user("vera", 510, home="/Volumes/Data/Users/vera")
    host.mount_tmpfs("/Volumes/Data")
    if volume_template:
        host.make_template("Volumes/Data/Library/User Template", {"Documents": {}})
    home = "/Volumes/Data/Users/vera"
    before = prepare(host, {"Music": {}}, home=home, home_spec={"Documents": {}, "Music": {}})
    assert host.run([REPAIR, "vera"]) == (0, [])
    expect(host, before, {home: HOME, f"{home}/{'Documents' if volume_template else 'Music'}": FOLDER})
    assert {os.lstat(full)[4:6] for full in items(host, home).values()} == {(510, 20)}
    assert not os.path.lexists(host.path("/Users/vera"))


def test_user_without_an_account(host):
    before = prepare(host, {"Public": {"Drop Box": {}}, "Applications": {}},
                     home_spec={"Public": {"Drop Box": {}}, "Applications": "not a folder"})
    # No UUID for the Drop Box list, and chown cannot name the owner; Applications is no folder.
    assert host.run([REPAIR, "/Users/alice", "alice", "ghost"]) == (
        0, [TYPE_LINE, "UUID is NULL! setPermissions:165"])
    expect(host, before, {"/Users/alice": HOME, "/Users/alice/Public": FOLDER,
                          "/Users/alice/Public/Drop Box": (0o700, FOREIGN, 0)})
    assert {os.lstat(full)[4:6] for full in items(host, "/Users/alice").values()} == {(0, 0)}


def test_policy_runs_after_the_walk_and_links_in_the_home_reach_nothing_outside(host):
    out = "/Library/Outside"
    host.add_group("alice_team", 600)
    host.make_tree(out, {"Preferences": {"com.x.plist": "secret"}, "Fonts": "not a folder",
                         "Apps": {"tool": "x"}, "secret.txt": "s", "Folder": {"inner.txt": "i"}})
    stamp(host, out)
    hs.add_flags(host.path(f"{out}/Folder"), hs.UF_HIDDEN)
    before = prepare(host, {"Library": {"Preferences": {"com.x.plist": "t"}, "Fonts": {}}, "Applications": {},
                            "notes.txt": "t", "Documents": {"inner.txt": "t"}, "Music": {}},
                     home_spec={"Library": Link(out), "Applications": Link(f"{out}/Apps"),
                                "notes.txt": Link(f"{out}/secret.txt"), "Documents": Link(f"{out}/Folder"),
                                "Music": {"report.txt": "r"}, "Sites": {}})
    host.path("/Library/User Template/__permissions.plist").write_bytes(plistlib.dumps([
        {"Command": "CHGRP", "Argument": "__USER_NAME___team", "Paths": ["Sites", "missing", "Music/report.txt"]},
        {"Command": "CHMOD", "Argument": "go+r", "Paths": ["Music"]},
        {"Command": "CHGRP", "Argument": "nosuchgroup", "Paths": ["Sites"]},
        {"Command": "chmod", "Argument": "777", "Paths": ["Music"]},
        {"Command": "CHMOD", "Argument": "700", "Paths": [
            "Library", "Library/Preferences", "notes.txt", "Documents/inner.txt", "Applications"]}]))
    snapshot, outside = host.snapshot(), states(host, out)
    status, lines = host.run([REPAIR, "/Users/alice", "bob", "alice"])  # the third argument is ignored
    # The recursive owner change gave the links to alice, so none is followed any more.
    unreachable = ["Applications", "Documents", "Documents/inner.txt", "Library", "Library/Fonts",
                   "Library/Preferences", "Library/Preferences/com.x.plist", "notes.txt"]
    assert (status, sorted(lines)) == (0, sorted(
        ["setPermissions:118 Error:1"] + [f"file does not exist at path: /Users/alice/{p}" for p in unreachable]))
    assert (states(host, out), beyond(host.snapshot())) == (outside, beyond(snapshot))
    gids = {path: os.lstat(full).st_gid for path, full in items(host, "/Users/alice").items()}
    assert gids == {**dict.fromkeys(before, 20), "/Users/alice/Sites": 600, "/Users/alice/Music/report.txt": 600}
    expect(host, before, {"/Users/alice": HOME, "/Users/alice/Music": (0o744, DEFAULT, 0)})


@pytest.mark.parametrize("home, other, link", [
    ("/Users/English.lproj", "/Users/French.lproj", False),  # its own name is not a pattern
    ("/Users/a[1]", "/Users/a1", False),  # nor are pattern characters in it
    ("/Users/alice", "/Library/Elsewhere", True),  # the home is a link to the other folder
])
def test_a_hostile_home_path_stays_in_itself(host, home, other, link):
    outside = prepare(host, english={"Documents": {"inner": {}}}, home=other, home_spec={"Documents": {"inner": {}}})
    if link:
        os.symlink(other, host.path(home))
    else:
        host.make_tree(home, {"Documents": {"inner": {}}})
        before = stamp(host, home)
    snapshot = beyond(host.snapshot(), home)
    status, lines = host.run([REPAIR, home, "bob", "alice"])
    # A home that is a link is given to alice with the rest, and then leads nowhere.
    expected = [f"file does not exist at path: {home}/Documents{tail}" for tail in ("", "/inner")] if link else []
    assert (status, sorted(lines)) == (0, sorted(expected + ([f"repairPermissions:108 {home}"] if link else [])))
    assert (states(host, other), beyond(host.snapshot(), home)) == (outside, snapshot)
    if not link:
        expect(host, before, {home: HOME, f"{home}/Documents": FOLDER, f"{home}/Documents/inner": FOLDER})


def test_another_name_of_a_file_outside_is_left_alone(host):
    outside = host.make_tree("/Library/Outside", {"staff.txt": File("root's", mode=0o660, owner=(0, 20))})
    before = prepare(host, {"notes.txt": "t", "other.txt": "t"}, home_spec={"other.txt": "h"})
    os.link(outside / "staff.txt", host.path("/Users/alice/notes.txt"))
    # The recursive owner change leaves it to root, so the per-item rules skip it.
    assert host.run([REPAIR, "alice"]) == (
        0, ["Skipping /Users/alice/notes.txt because it has 2 links and belongs to uid 0, not 501"])
    expect(host, before, {"/Users/alice": HOME, "/Users/alice/other.txt": FILE})
    st = os.lstat(outside / "staff.txt")
    assert (st.st_mode, st.st_uid, st.st_gid) == (stat.S_IFREG | 0o660, 0, 20)
    owned = {p: os.lstat(full)[4:6] for p, full in items(host, "/Users/alice").items()}
    assert owned == {**dict.fromkeys(owned, (501, 20)), "/Users/alice/notes.txt": (0, 20)}
