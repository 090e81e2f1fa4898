"""Repairing an existing home: the whole tree given back to the user, the home's
own list and mode, the item rules on every home item that plays the part of a
template item, the Applications folder, the machine-wide policy, and a home
whose owner planted links, mount points and look-alike names in it."""

import os
import plistlib
import stat
import struct

import pytest

import hoststate as hs
from conftest import Link

REPAIR = "-repairPermissions"
DENY_DELETE = (hs.DENY, hs.PERMS["delete"], 0, hs.EVERYONE)
DEFAULT = [DENY_DELETE]
# A list that no rule sets: its presence afterwards means "left alone".
FOREIGN = [(hs.ALLOW, hs.PERMS["list"], 0, hs.account_uuid(502))]
HOME = (0o750, DEFAULT, 0)
FOLDER = (0o700, DEFAULT, 0)
TYPE_LINE = "source and destination are not both directories or not both files"


def look(path):
    """(mode, list, flags) of an item, or ("link", target) for a link."""
    st = os.lstat(path)
    if stat.S_ISLNK(st.st_mode):
        return ("link", os.readlink(path))
    return (stat.S_IMODE(st.st_mode), hs.acl(path), hs.flags(path))


def items(host, top):
    """Host paths of `top` and everything below it, links not followed."""
    base = str(host.path(top))
    found = [base]
    for folder, dirs, files in os.walk(base):
        found += [os.path.join(folder, name) for name in dirs + files]
    return {top + p[len(base):]: p for p in found}


def states(host, top):
    return {path: look(full) for path, full in items(host, top).items()}


def stamp(host, top):
    """Folders 0777, files 0666, each with FOREIGN; links stay as they are."""
    for full in items(host, top).values():
        st = os.lstat(full)
        if not stat.S_ISLNK(st.st_mode):
            os.chmod(full, 0o777 if stat.S_ISDIR(st.st_mode) else 0o666)
            hs.set_acl(full, FOREIGN)


def prepare(host, non_localized=None, english=None, home_spec=None, home="/Users/alice",
            template="Library/User Template"):
    host.make_template(template, non_localized, {"English": english} if english is not None else None)
    host.make_tree(home, home_spec or {})
    stamp(host, home)
    return states(host, home)


def expect(host, before, changed):
    """Every item listed in `changed` has its new state, every other one of
    `before` is as it was."""
    after = {path: look(host.path(path)) for path in before}
    assert after == {path: changed.get(path, state) for path, state in before.items()}


def repair(host, home="/Users/alice", user="alice", ignored="bob"):
    return host.run([REPAIR, home, ignored, user])


def write_policy(host, rules):
    path = host.path("/Library/User Template/__permissions.plist")
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(plistlib.dumps(rules))


def set_hidden(path):
    os.setxattr(path, hs.FLAGS_ATTRIBUTE, struct.pack("<I", hs.UF_HIDDEN), follow_symlinks=False)


def beyond(snapshot, home="/Users/alice"):
    """A snapshot without the home and what lies below it."""
    return {p: v for p, v in snapshot.items() if p != home and not p.startswith(home + "/")}


def owners(host, top):
    return {path: (os.lstat(full).st_uid, os.lstat(full).st_gid) for path, full in items(host, top).items()}


# --- the home cannot be examined ----------------------------------------------

@pytest.mark.parametrize("args, home", [
    ([REPAIR, "/Users/nobody", "ignored", "alice"], "/Users/nobody"),
    ([REPAIR, "alice"], "/Users/alice"),
    ([REPAIR, "/Users/plain/alice", "ignored", "alice"], "/Users/plain/alice"),
])
def test_missing_home_fails_before_any_tool_runs(host, args, home):
    prepare(host, {"Documents": {}}, home="/Users/bob", home_spec={"Documents": {}, "plain": "x"})
    host.make_tree("/Users", {"plain": "a file", "alice.txt": "sentinel"})
    os.lchown(host.path("/Users/bob/plain"), 502, 80)
    write_policy(host, [{"Command": "CHMOD", "Argument": "700", "Paths": ["", "Documents"]}])
    before, lists = host.snapshot(), states(host, "/Users")
    assert host.run(args) == (1, [f"lstat({home}) failed."])
    assert host.snapshot() == before
    assert states(host, "/Users") == lists


# --- ownership, the home itself and the matched items ---------------------------

def test_chown_gives_the_whole_tree_to_the_named_user(host):
    host.make_tree("/Library/Outside", {"target": "keep", "folder": {"inside": "keep"}})
    prepare(host, {"Desktop": {}}, home_spec={
        "Desktop": {"a": "x"}, "stray": {"deep": {"file": "y"}},
        "out": Link("/Library/Outside/target"), "outdir": Link("/Library/Outside/folder"),
        "dangling": Link("/nowhere")})
    os.lchown(host.path("/Users/alice/stray"), 502, 80)
    os.lchown(host.path("/Users/alice/stray/deep/file"), 0, 80)
    outside_before = host.snapshot()
    # The third argument is ignored: bob is named there, alice last.
    assert repair(host, ignored="bob") == (0, [])
    assert set(owners(host, "/Users/alice").values()) == {(501, 20)}
    assert beyond(host.snapshot()) == beyond(outside_before)


def test_template_items_get_the_item_rules_and_others_keep_theirs(host):
    prepare(
        host,
        non_localized={"Library": {"Preferences": {"com.x.plist": "t"}}, "Desktop": {".localized": ""}},
        english={"Documents": {"Reports": {}}, "Movies": {}, "Desktop": {}, "notes.txt": "t"},
        home_spec={"Library": {"Preferences": {"com.x.plist": "h", "other.plist": "h"}, "Caches": {}},
                   "Desktop": {".localized": "", "mine": {}},
                   "Documents": {"Reports": {}, "mine.txt": "m"}, "Movies": {}, "notes.txt": "h",
                   "Extra": {"deep": {}, "notes.txt": "h"},
                   # The language walk maps onto the top of the home, not in here.
                   "English.lproj": {"Documents": {}}})
    set_hidden(host.path("/Users/alice/Library"))
    hs.set_immutable(host.path("/Users/alice/Documents/Reports"), True)
    before = states(host, "/Users/alice")
    assert repair(host) == (0, [])
    h = "/Users/alice"
    expect(host, before, {
        h: HOME, f"{h}/Library": (0o700, DEFAULT, hs.UF_HIDDEN), f"{h}/Library/Preferences": FOLDER,
        f"{h}/Library/Preferences/com.x.plist": (0o600, FOREIGN, 0),
        f"{h}/Desktop": FOLDER, f"{h}/Desktop/.localized": (0o644, FOREIGN, 0),
        f"{h}/Documents": FOLDER,
        # Immutable: the mode change is refused, then the flag goes and the list comes.
        f"{h}/Documents/Reports": (0o777, DEFAULT, 0),
        f"{h}/Movies": (0o700, FOREIGN, 0), f"{h}/notes.txt": (0o600, FOREIGN, 0)})


def test_home_keeps_its_mode_when_immutable_and_reports_its_list(host):
    before = prepare(host, {"Documents": {}}, home_spec={"Documents": {}})
    home = host.path("/Users/alice")
    hs.set_immutable(home, True)
    try:
        assert repair(host) == (0, ["repairPermissions:108 /Users/alice"])
        expect(host, before, {"/Users/alice": (0o777, FOREIGN, hs.UF_IMMUTABLE),
                              "/Users/alice/Documents": FOLDER})
    finally:
        hs.set_immutable(home, False)


def test_lproj_subpaths_reach_every_language_folder_of_the_library(host):
    before = prepare(host, {"Library": {"English.lproj": {"X": {}, "Y": "t"}}}, home_spec={"Library": {
        "English.lproj": {"X": {}}, "French.lproj": {"X": {}, "Y": {}}, "de.lproj": {"X": "a file"},
        ".hidden.lproj": {"X": {}}, "Other": {"X": {}}, "English.lprojx": {"X": {}}}})
    status, lines = repair(host)
    assert (status, lines) == (0, [TYPE_LINE, TYPE_LINE])
    lib = "/Users/alice/Library"
    expect(host, before, {"/Users/alice": HOME, lib: FOLDER, f"{lib}/English.lproj": FOLDER,
                          f"{lib}/French.lproj": FOLDER, f"{lib}/de.lproj": FOLDER,
                          f"{lib}/English.lproj/X": FOLDER, f"{lib}/French.lproj/X": FOLDER})


def test_matches_that_fail_a_test_are_reported_and_left_alone(host):
    prepare(host, {"Documents": {"Inner": {}}, "notes": {}, "a[1]": {}, "q?": "t"}, {"Pictures": {}},
            home_spec={"notes": "a file", "a1": {}, "a[1]": {}, "qz": "h", "q?": {}, "Pictures": Link("/nowhere")})
    mounted = host.mount_tmpfs("/Users/alice/Documents")
    (mounted / "Inner").mkdir()
    stamp(host, "/Users/alice")
    before = states(host, "/Users/alice")
    status, lines = repair(host)
    assert status == 0
    assert sorted(lines) == sorted([
        TYPE_LINE, TYPE_LINE,  # notes: folder against file; q? file against folder
        "file does not exist at path: /Users/alice/Pictures",
        "Skipping /Users/alice/Documents because it's on a different bsd dev than /Users/alice",
        "Skipping /Users/alice/Documents/Inner because it's on a different bsd dev than /Users/alice"])
    # Template names are patterns: a[1] stands for a1, q? for qz.
    expect(host, before, {"/Users/alice": HOME, "/Users/alice/a1": FOLDER,
                          "/Users/alice/qz": (0o600, FOREIGN, 0)})


# --- Applications ---------------------------------------------------------------

@pytest.mark.parametrize("kind", ["folder", "file", "link"])
def test_applications_is_closed_only_when_it_is_a_folder(host, kind):
    host.make_tree("/Library/Apps", {"tool": "x"})
    spec = {"folder": {}, "file": "not a folder", "link": Link("/Library/Apps")}[kind]
    before = prepare(host, {"Applications": {}}, home_spec={"Applications": spec})
    hs.set_acl(host.path("/Library/Apps"), FOREIGN)
    outside = states(host, "/Library/Apps")
    apps = host.path("/Users/alice/Applications")
    if kind == "folder":
        # Immutable until the walk clears it: only a chmod after the walk can close it.
        hs.set_immutable(apps, True)
    status, lines = repair(host)
    assert (status, lines) == (0, [TYPE_LINE] if kind == "file" else [])
    assert states(host, "/Library/Apps") == outside
    expect(host, before, {"/Users/alice": HOME, "/Users/alice/Applications": FOLDER} if kind == "folder"
           else {"/Users/alice": HOME})


# --- the policy -------------------------------------------------------------------

def test_without_a_policy_file_nothing_falls_back(host):
    before = prepare(host, {"Documents": {}}, home_spec={"Documents": {}, "Sites": {"Streaming": {"a": "x"}},
                                                       "Public": {"Drop Box": {}}})
    assert repair(host) == (0, [])
    assert set(owners(host, "/Users/alice").values()) == {(501, 20)}
    expect(host, before, {"/Users/alice": HOME, "/Users/alice/Documents": FOLDER})


def test_policy_rules_run_after_the_walk_with_the_given_name(host):
    host.add_group("alice_team", 600)
    before = prepare(host, english={"Documents": {}},
                     home_spec={"Documents": {"report.txt": "r"}, "Sites": {}, "Out": Link("/Library")})
    write_policy(host, [
        {"Command": "CHGRP", "Argument": "__USER_NAME___team", "Paths": ["Sites", "missing", "Documents/report.txt"]},
        {"Command": "CHMOD", "Argument": "go+r", "Paths": ["Documents"]},
        {"Command": "CHGRP", "Argument": "nosuchgroup", "Paths": ["Sites"]},
        {"Command": "chmod", "Argument": "777", "Paths": ["Documents"]},
        {"Command": "CHMOD", "Argument": "700", "Paths": ["Out"]},
    ])
    library = os.lstat(host.path("/Library")).st_mode
    assert repair(host) == (0, ["setPermissions:118 Error:1"])
    assert os.lstat(host.path("/Library")).st_mode == library
    gids = {path: gid for path, (_, gid) in owners(host, "/Users/alice").items()}
    assert gids == {**{path: 20 for path in before}, "/Users/alice/Sites": 600,
                    "/Users/alice/Documents/report.txt": 600}
    expect(host, before, {"/Users/alice": HOME, "/Users/alice/Documents": (0o744, DEFAULT, 0)})


# --- homes on another volume, and the user's identity ------------------------------

@pytest.mark.parametrize("volume_template", [True, False])
def test_volume_home_is_repaired_against_its_volumes_template(host, volume_template):
    host.add_user("vera", 510, home="/Volumes/Data/Users/vera")
    host.mount_tmpfs("/Volumes/Data")
    if volume_template:
        host.make_template("Volumes/Data/Library/User Template", {"Documents": {}})
    before = prepare(host, {"Music": {}}, home="/Volumes/Data/Users/vera",
                     home_spec={"Documents": {}, "Music": {}})
    assert host.run([REPAIR, "vera"]) == (0, [])
    home = "/Volumes/Data/Users/vera"
    expect(host, before, {home: HOME, f"{home}/{'Documents' if volume_template else 'Music'}": FOLDER})
    assert set(owners(host, home).values()) == {(510, 20)}
    assert not os.path.lexists(host.path("/Users/vera"))


@pytest.mark.parametrize("args, dropbox, lines, owner", [
    ([REPAIR, "alice"],
     [DENY_DELETE, (hs.ALLOW, hs.ALL_PERMS, hs.FILE_INHERIT | hs.DIRECTORY_INHERIT, hs.account_uuid(501))],
     [], (501, 20)),
    # No such account: no UUID for the list, and chown cannot name the owner.
    ([REPAIR, "/Users/alice", "alice", "ghost"], FOREIGN, ["UUID is NULL! setPermissions:165"], (0, 0)),
])
def test_drop_box_list_needs_the_users_identity(host, args, dropbox, lines, owner):
    before = prepare(host, {"Public": {"Drop Box": {}}}, home_spec={"Public": {"Drop Box": {}}})
    assert host.run(args) == (0, lines)
    expect(host, before, {"/Users/alice": HOME, "/Users/alice/Public": FOLDER,
                          "/Users/alice/Public/Drop Box": (0o700, dropbox, 0)})
    assert set(owners(host, "/Users/alice").values()) == {owner}


# --- a hostile home -------------------------------------------------------------------

def test_links_in_the_home_never_carry_changes_outside(host):
    out = "/Library/Outside"
    host.make_tree(out, {"Preferences": {"com.x.plist": "secret"}, "Fonts": "not a folder",
                         "Apps": {"tool": "x"}, "secret.txt": "s", "Folder": {"inner.txt": "i"}})
    stamp(host, out)
    set_hidden(host.path(f"{out}/Folder"))
    prepare(host, {"Library": {"Preferences": {"com.x.plist": "t"}, "Fonts": {}}, "Applications": {},
                   "notes.txt": "t", "Documents": {"inner.txt": "t"}},
            home_spec={"Library": Link(out), "Applications": Link(f"{out}/Apps"),
                       "notes.txt": Link(f"{out}/secret.txt"), "Documents": Link(f"{out}/Folder")})
    write_policy(host, [{"Command": "CHMOD", "Argument": "700",
                         "Paths": ["Library/Preferences", "notes.txt", "Documents/inner.txt", "Applications"]}])
    snapshot, outside = host.snapshot(), states(host, out)
    status, lines = repair(host)
    assert status == 0
    assert sorted(lines) == sorted([
        TYPE_LINE,  # Library/Fonts: a folder in the template, a file where the link leads
        "lstat(/Users/alice/Library/Preferences) failed (-1).",
        "lstat(/Users/alice/Library/Preferences/com.x.plist) failed (-1).",
        "lstat(/Users/alice/Documents/inner.txt) failed (-1)."])
    assert states(host, out) == outside
    assert beyond(host.snapshot()) == beyond(snapshot)
    assert look(host.path("/Users/alice")) == HOME  # no policy path was acted on


def test_a_home_that_is_a_link_is_not_followed(host):
    host.make_tree("/Library/Elsewhere", {"Documents": {"inner": {}}, "Applications": {}})
    stamp(host, "/Library/Elsewhere")
    prepare(host, {"Documents": {"inner": {}}})
    os.rmdir(host.path("/Users/alice"))
    os.symlink("/Library/Elsewhere", host.path("/Users/alice"))
    write_policy(host, [{"Command": "CHMOD", "Argument": "700", "Paths": ["Documents"]}])
    snapshot, outside = host.snapshot(), states(host, "/Library/Elsewhere")
    status, lines = host.run([REPAIR, "alice"])
    assert status == 0
    assert sorted(lines) == ["lstat(/Users/alice/Documents) failed (-1).",
                             "lstat(/Users/alice/Documents/inner) failed (-1).",
                             "repairPermissions:108 /Users/alice"]
    assert states(host, "/Library/Elsewhere") == outside
    assert beyond(host.snapshot()) == beyond(snapshot)


@pytest.mark.parametrize("home, sibling, own", [
    # The home's own name becomes a pattern and finds a sibling home too...
    ("/Users/English.lproj", "/Users/French.lproj", True),
    # ...or only the sibling.
    ("/Users/a[1]", "/Users/a1", False),
])
def test_a_home_whose_name_is_a_pattern_stays_in_itself(host, home, sibling, own):
    before = prepare(host, english={"Documents": {}}, home=home, home_spec={"Documents": {}})
    host.make_tree(sibling, {"Documents": {}})
    stamp(host, sibling)
    other = states(host, sibling)
    status, lines = repair(host, home=home)
    assert (status, lines) == (0, [f"lstat({sibling}/Documents) failed (-1)."])
    assert states(host, sibling) == other
    expect(host, before, {home: HOME, **({f"{home}/Documents": FOLDER} if own else {})})
