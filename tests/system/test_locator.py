"""Which user template serves a home, seen through the repair form (the home's
volume first, then the boot volume) and the create form (boot volume only).

The locator logs only when it finds nothing: "error locating UT for PATH" for
a path on no known volume, "/System/Library/User Template doesn't exist" when
neither candidate exists on the boot volume. So a test leaves the boot volume
without a template to see whether the home's volume served it.
"""

import os

import pytest

from conftest import Link

REPAIR = "-repairPermissions"
MISSING = "/System/Library/User Template doesn't exist"
LOCATOR_LINES = ("error locating UT for ", MISSING)


def locator_lines(lines):
    return [line for line in lines if line.startswith(LOCATOR_LINES)]


def repair(host, home, user="alice"):
    """The five-argument repair form: home given, user named last."""
    return host.run([REPAIR, home, "ignored", user])


def volume_template(host, volume, where="Library/User Template"):
    host.mount_tmpfs(f"/Volumes/{volume}")
    return host.make_template(f"Volumes/{volume}/{where}", non_localized={}, languages={"English": {}})


# --- paths on no known volume ----------------------------------------------

@pytest.mark.parametrize("home", [
    "/users/alice", "Users/alice", "alice", "/Volumes/Data", "/Volumes", "/Volumes/",
    "/var/root", "", "//Users/alice", "./Users/alice",
])
def test_path_on_no_volume_is_an_error(host, home):
    host.make_template()
    volume_template(host, "Data")
    assert repair(host, home) == (1, [f"error locating UT for {home}"])


def test_three_argument_form_with_an_unknown_name_uses_the_name(host):
    host.make_template()
    assert host.run([REPAIR, "nosuchuser"]) == (1, ["error locating UT for nosuchuser"])


@pytest.mark.parametrize("name", [
    "ali",        # a prefix of a short name
    "Alice",      # case differs
    "staff",      # a group, not an account
    "Alice Liddell,,,",  # the whole field, not the full name
])
def test_three_argument_form_finds_no_identity(host, name):
    host.make_template()
    assert host.run([REPAIR, name]) == (1, [f"error locating UT for {name}"])


def test_three_argument_form_with_an_ambiguous_name(host):
    # "carol" is one account's short name and another's full name.
    host.add_user("carol", 503, home="/Users/carol")
    host.add_user("cj", 504, full_name="carol", home="/Users/cj")
    host.make_template()
    assert host.run([REPAIR, "carol"]) == (1, ["error locating UT for carol"])


def test_three_argument_form_with_an_account_without_home(host):
    host.add_user("ghost", 505, home="")
    host.make_template()
    assert host.run([REPAIR, "ghost"]) == (1, ["error locating UT for ghost"])


def test_three_argument_form_finds_a_hidden_system_account(host):
    # daemon's home is /var/root: the line names the home, not the name.
    host.make_template()
    assert host.run([REPAIR, "daemon"]) == (1, ["error locating UT for /var/root"])


# --- homes on the boot volume ----------------------------------------------

@pytest.mark.parametrize("args", [
    [REPAIR, "alice"],
    [REPAIR, "Alice Liddell"],
    [REPAIR, "/Users/zed"],
    [REPAIR, "/Usersx/a", "ignored", "alice"],
    [REPAIR, "/Users", "ignored", "alice"],
    [REPAIR, "/Users/alice/../../etc", "ignored", "alice"],
])
def test_boot_volume_homes_get_the_boot_template(host, args):
    host.make_template()
    status, lines = host.run(args)
    assert locator_lines(lines) == []


@pytest.mark.parametrize("args", [[REPAIR, "alice"], [REPAIR, "/Usersx/a", "ignored", "alice"]])
def test_boot_volume_homes_without_any_template(host, args):
    volume_template(host, "Data")
    assert host.run(args) == (1, [MISSING])


@pytest.mark.parametrize("template", ["Library/User Template", "System/Library/User Template"])
def test_either_boot_candidate_serves(host, template):
    host.make_template(template)
    status, lines = host.run([REPAIR, "alice"])
    assert locator_lines(lines) == []


@pytest.mark.parametrize("kind", ["file", "link to folder"])
def test_boot_candidate_needs_only_to_exist(host, kind):
    if kind == "file":
        host.make_tree("/Library", {"User Template": "not a folder"})
    else:
        host.make_tree("/Library", {"Real": {"Non_localized": {}}, "User Template": Link("Real")})
    assert locator_lines(host.run([REPAIR, "alice"])[1]) == []
    assert host.run(["x", "/Users/new"]) == (0, [])


def test_dangling_link_is_no_template(host):
    host.make_tree("/Library", {"User Template": Link("/Library/Gone")})
    host.make_tree("/System/Library", {"User Template": Link("/System/Gone")})
    assert host.run([REPAIR, "alice"]) == (1, [MISSING])
    assert host.run(["x", "/Users/new"]) == (1, [MISSING])
    assert not os.path.lexists(host.path("/Users/new"))


# --- homes on another volume -----------------------------------------------

@pytest.mark.parametrize("where", ["Library/User Template", "System/Library/User Template"])
def test_volume_home_gets_the_volume_template(host, where):
    volume_template(host, "Data", where)
    status, lines = repair(host, "/Volumes/Data/Users/alice")
    assert locator_lines(lines) == []


def test_volume_home_identity_points_at_the_volume(host):
    host.add_user("vera", 510, home="/Volumes/Data/Users/vera")
    volume_template(host, "Data")
    status, lines = host.run([REPAIR, "vera"])
    assert locator_lines(lines) == []


def test_volume_home_falls_back_to_the_boot_template(host):
    host.make_template()
    host.mount_tmpfs("/Volumes/Data")
    status, lines = repair(host, "/Volumes/Data/Users/alice")
    assert locator_lines(lines) == []


def test_volume_home_with_no_template_anywhere_logs_once(host):
    host.mount_tmpfs("/Volumes/Data")
    host.make_template("Volumes/Other/Library/User Template")
    assert repair(host, "/Volumes/Data/Users/alice") == (1, [MISSING])


def test_other_volumes_template_does_not_serve(host):
    volume_template(host, "Other")
    assert repair(host, "/Volumes/Data/Users/alice") == (1, [MISSING])


@pytest.mark.parametrize("home", ["/Volumes/Data/", "/Volumes/Data/x", "/Volumes//Data//Users"])
def test_fourth_component_is_enough(host, home):
    volume_template(host, "Data")
    status, lines = repair(host, home)
    assert locator_lines(lines) == []


def test_longer_second_component_still_names_the_third(host):
    # /Volumesx/a/b passes the prefix test and its volume is the third name.
    volume_template(host, "a")
    assert locator_lines(repair(host, "/Volumesx/a/b")[1]) == []
    assert repair(host, "/Volumesx/b/a") == (1, [MISSING])


def test_create_form_ignores_the_homes_volume(host):
    volume_template(host, "Data")
    assert host.run(["x", "/Volumes/Data/Users/carol"]) == (1, [MISSING])
    assert not os.path.lexists(host.path("/Volumes/Data/Users"))


# --- the repair's own status, once it exists -------------------------------

def test_repair_of_a_home_that_cannot_be_examined_fails(host):
    host.make_template()
    status, lines = host.run([REPAIR, "alice"])
    assert status == 1
    assert locator_lines(lines) == []


@pytest.mark.parametrize("args", [[REPAIR, "alice"], [REPAIR, "/Users/alice", "ignored", "alice"]])
def test_repair_of_an_existing_home_succeeds(host, args):
    host.make_template(non_localized={"Desktop": {}}, languages={"English": {}})
    host.make_tree("/Users/alice", {"Desktop": {}})
    status, lines = host.run(args)
    assert locator_lines(lines) == []
    assert status == 0


def test_repair_of_a_volume_home_succeeds(host):
    volume_template(host, "Data")
    host.make_tree("/Volumes/Data/Users/alice", {})
    status, lines = repair(host, "/Volumes/Data/Users/alice")
    assert locator_lines(lines) == []
    assert status == 0
