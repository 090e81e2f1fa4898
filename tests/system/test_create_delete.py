"""The two jobs the front end does itself: create a folder only, and delete a
home that the given user owns."""

import os
import stat
import subprocess

import pytest

from conftest import Link

SYSTEM_TEMPLATE_MISSING = "/System/Library/User Template doesn't exist"


@pytest.fixture
def templated(host):
    host.make_template(non_localized={"marker": "x"}, languages={"English": {}})
    return host


def create_folder(host, path):
    return host.run(["x", path, "501", "20", "0"])


def delete_home(host, path, uid_text="501"):
    return host.run(["x", path, uid_text, "20", "2"])


def chown_tree(top, uid, gid=20):
    os.lchown(top, uid, gid)
    for folder, dirs, files in os.walk(top):
        for name in dirs + files:
            os.lchown(os.path.join(folder, name), uid, gid)


def home_of(host, name="carol", uid=501, spec=None):
    home = host.make_tree(f"/Users/{name}", spec if spec is not None else
                          {"Desktop": {"note.txt": "hi\n"}, "Library": {"Preferences": {}}})
    chown_tree(home, uid)
    return home


# --- no template: every mode stops first ------------------------------------

@pytest.mark.parametrize("mode", ["0", "2", "3", "1"])
def test_no_boot_template_stops_every_mode(host, mode):
    home_of(host)
    before = host.snapshot()
    assert host.run(["x", "/Users/carol", "501", "20", mode]) == (1, [SYSTEM_TEMPLATE_MISSING])
    assert host.run(["x", "/Users/new", "501", "20", mode]) == (1, [SYSTEM_TEMPLATE_MISSING])
    assert host.snapshot() == before


# --- CreateFolderOnly -----------------------------------------------------

def test_create_folder_makes_missing_parents(templated):
    assert create_folder(templated, "/Volumes/Ext/Users/a/b/c") == (0, [])
    for path in ("/Volumes/Ext", "/Volumes/Ext/Users/a", "/Volumes/Ext/Users/a/b/c"):
        st = os.lstat(templated.path(path))
        assert stat.S_ISDIR(st.st_mode) and (st.st_uid, st.st_gid) == (0, 0), path


def test_create_folder_leaves_an_existing_folder_as_it_is(templated):
    home = home_of(templated)
    os.chmod(home, 0o700)
    before = templated.snapshot()
    assert create_folder(templated, "/Users/carol") == (0, [])
    assert templated.snapshot() == before


def test_create_folder_accepts_a_link_to_a_folder(templated):
    templated.make_tree("/Users", {"real": {}, "alias": Link("real")})
    assert create_folder(templated, "/Users/alias") == (0, [])
    assert os.path.islink(templated.path("/Users/alias"))


@pytest.mark.parametrize("setup, path, culprit", [
    ({"plain": "a file"}, "/Users/plain/carol", "/Users/plain"),
    ({"plain": "a file"}, "/Users/plain/deeper/carol", "/Users/plain"),
    ({"plain": "a file"}, "/Users/plain", "/Users/plain"),
    ({"dangling": Link("/nowhere/at/all")}, "/Users/dangling/carol", "/Users/dangling"),
])
def test_create_folder_failure_is_reported_at_its_site(templated, setup, path, culprit):
    templated.make_tree("/Users", setup)
    before = templated.snapshot()
    status, lines = create_folder(templated, path)
    assert status == 1
    assert len(lines) == 1
    assert lines[0].startswith("Hollin_main:380 ")
    assert culprit in lines[0]
    assert templated.snapshot() == before


def test_create_folder_where_a_read_only_parent_refuses(templated):
    templated.make_tree("/Volumes", {"Locked": {}})
    subprocess.run(["chattr", "+i", str(templated.path("/Volumes/Locked"))], check=True)
    status, lines = create_folder(templated, "/Volumes/Locked/Users/carol")
    assert status == 1
    assert len(lines) == 1 and lines[0].startswith("Hollin_main:380 ")
    assert os.listdir(templated.path("/Volumes/Locked")) == []


# --- DeleteHome: when it keeps the home ----------------------------------------

def test_delete_of_nothing_succeeds_quietly(templated):
    before = templated.snapshot()
    assert delete_home(templated, "/Users/nobody") == (0, [])
    assert delete_home(templated, "/Users/plain/below") == (0, [])
    assert templated.snapshot() == before


@pytest.mark.parametrize("uid_text", ["502", "0", "", "abc", "-501", "50", " 5010", "4294967797"])
def test_delete_keeps_a_home_owned_by_someone_else(templated, uid_text):
    home_of(templated, uid=501)
    before = templated.snapshot()
    assert delete_home(templated, "/Users/carol", uid_text) == (0, [])
    assert templated.snapshot() == before


def test_delete_with_minus_two_never_matches_the_highest_owner(templated):
    home_of(templated, uid=4294967294)
    before = templated.snapshot()
    assert delete_home(templated, "/Users/carol", "-2") == (0, [])
    assert templated.snapshot() == before
    # The owner's own number, written out, does match.
    assert delete_home(templated, "/Users/carol", "4294967294") == (0, [])
    assert not os.path.lexists(templated.path("/Users/carol"))


def test_delete_looks_at_the_link_not_its_target(templated):
    # A link owned by root that points at the user's folder: not the user's.
    home_of(templated, name="real")
    templated.make_tree("/Users", {"carol": Link("real")})
    before = templated.snapshot()
    assert delete_home(templated, "/Users/carol") == (0, [])
    assert templated.snapshot() == before


# --- DeleteHome: when it removes the home ----------------------------------

@pytest.mark.parametrize("uid_text", ["501", "501abc", " 501", "+501", "0501"])
def test_delete_removes_a_home_owned_by_the_user(templated, uid_text):
    home_of(templated)
    home_of(templated, name="dave", uid=502)
    assert delete_home(templated, "/Users/carol", uid_text) == (0, [])
    assert not os.path.lexists(templated.path("/Users/carol"))
    assert (templated.path("/Users/dave/Desktop/note.txt")).read_text() == "hi\n"


def test_delete_removes_a_file_owned_by_the_user(templated):
    templated.make_tree("/Users", {"carol": "not a folder"})
    os.chown(templated.path("/Users/carol"), 501, 20)
    assert delete_home(templated, "/Users/carol") == (0, [])
    assert not os.path.lexists(templated.path("/Users/carol"))


def test_delete_removes_the_users_link_and_not_its_target(templated):
    target = home_of(templated, name="target", uid=501)
    templated.make_tree("/Users", {"carol": Link("/Users/target", owner=(501, 20))})
    assert delete_home(templated, "/Users/carol") == (0, [])
    assert not os.path.lexists(templated.path("/Users/carol"))
    assert (target / "Desktop" / "note.txt").read_text() == "hi\n"


def test_delete_does_not_follow_links_out_of_the_home(templated):
    outside = templated.make_tree("/Library/Outside", {"sentinel": "keep\n", "sub": {"deep": "x"}})
    templated.make_tree("/Users", {"other.txt": "keep too\n"})
    home_of(templated, spec={
        "out": Link("/Library/Outside"),
        "Desktop": {"up": Link("../../other.txt"), "dangling": Link("/nowhere")},
        "abs": Link("/Library/Outside/sentinel"),
    })
    before_outside = templated.snapshot()
    assert delete_home(templated, "/Users/carol") == (0, [])
    assert not os.path.lexists(templated.path("/Users/carol"))
    assert (outside / "sentinel").read_text() == "keep\n"
    assert (outside / "sub" / "deep").read_text() == "x"
    assert templated.path("/Users/other.txt").read_text() == "keep too\n"
    after = templated.snapshot()
    assert {p: v for p, v in before_outside.items() if not p.startswith("/Users/carol")} == after


def test_delete_clears_folders_without_permissions(templated):
    home = home_of(templated, spec={"closed": {"inner": {"file": "x"}}, "ro.txt": "y"})
    os.chmod(home / "closed" / "inner", 0)
    os.chmod(home / "closed", 0)
    os.chmod(home / "ro.txt", 0)
    assert delete_home(templated, "/Users/carol") == (0, [])
    assert not os.path.lexists(home)


# --- DeleteHome: when the removal fails ---------------------------------------

def test_delete_stopped_by_an_immutable_item(templated):
    home = home_of(templated, spec={"Desktop": {"locked.txt": "stay\n", "other.txt": "x"}})
    locked = home / "Desktop" / "locked.txt"
    subprocess.run(["chattr", "+i", str(locked)], check=True)
    try:
        status, lines = delete_home(templated, "/Users/carol")
        assert status == 1
        assert len(lines) == 1
        assert lines[0].startswith("Hollin_main:191 ")
        assert "/Users/carol" in lines[0]
        assert locked.read_text() == "stay\n"
    finally:
        subprocess.run(["chattr", "-i", str(locked)], check=True)


def test_delete_stops_at_a_mount_point_inside_the_home(templated):
    home = home_of(templated)
    mounted = templated.mount_tmpfs("/Users/carol/mnt")
    (mounted / "precious").write_text("on another device\n")
    os.mkdir(mounted / "folder")
    (mounted / "folder" / "inside").write_text("also\n")
    status, lines = delete_home(templated, "/Users/carol")
    assert status == 1
    assert len(lines) == 1
    assert lines[0].startswith("Hollin_main:191 ")
    assert "/Users/carol/mnt" in lines[0]
    assert (mounted / "precious").read_text() == "on another device\n"
    assert (mounted / "folder" / "inside").read_text() == "also\n"
    assert os.path.ismount(mounted) and home.is_dir()


def test_delete_of_a_home_on_another_volume(templated):
    templated.mount_tmpfs("/Volumes/Data")
    home = templated.make_tree("/Volumes/Data/carol", {"a": "b"})
    chown_tree(home, 501)
    assert delete_home(templated, "/Volumes/Data/carol") == (0, [])
    assert not os.path.lexists(home)
