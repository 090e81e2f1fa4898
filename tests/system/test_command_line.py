"""Command-line forms: the root check, usage lines, form and mode choice."""

import os
import stat

import pytest

REPAIR = "-repairPermissions"


def usage_line(host):
    return f"{host.hollin}: should only be run by designated clients\n"


def root_line(host):
    return f"{host.hollin}: should only be run as root\n"


@pytest.fixture
def templated(host):
    """A host whose boot volume has a user template."""
    host.make_template(non_localized={"marker": "from the template\n"}, languages={"English": {}})
    return host


# --- root check and usage -------------------------------------------------

@pytest.mark.parametrize("args", [
    [],
    [REPAIR],
    [REPAIR, "alice"],
    ["x", "/Users/new"],
    ["x", "/Users/alice", "501", "20", "2"],
])
def test_non_root_is_refused_before_anything_else(templated, args):
    host = templated
    host.make_tree("/Users/alice", {"keep": "x"})
    os.chown(host.path("/Users/alice"), 501, 20)
    before = host.snapshot()
    assert host.run(args, uid=501) == (1, [root_line(host)])
    assert host.snapshot() == before


def test_non_root_without_a_template_gets_the_root_line_only(host):
    assert host.run([], uid=502) == (1, [root_line(host)])


def test_root_with_no_arguments_gets_the_usage_line(templated):
    assert templated.run([]) == (1, [usage_line(templated)])


@pytest.mark.parametrize("args", [
    [REPAIR],
    [REPAIR, "alice", "x"],
    [REPAIR, "/Users/alice", "x", "alice", "y"],
    [REPAIR, "/Users/alice", "x", "alice", "y", "z"],
])
def test_repair_form_with_a_wrong_count_gets_the_usage_line(templated, args):
    assert templated.run(args) == (1, [usage_line(templated)])


def test_repair_count_is_checked_before_the_template(host):
    # No template anywhere: the count decides first, so only the usage line.
    assert host.run([REPAIR, "alice", "x"]) == (1, [usage_line(host)])


# --- the create form's short command lines ----------------------------------

@pytest.mark.parametrize("tail", [[], ["501"], ["501", "20"]])
def test_short_create_form_creates_the_folder_only(templated, tail):
    host = templated
    before = host.snapshot()
    assert host.run(["anything", "/Users/carol", *tail]) == (0, [])
    after = host.snapshot()
    new = {path: item for path, item in after.items() if path not in before}
    # Owned by the running user (root) whatever ids were given, default mode.
    assert new == {"/Users/carol": (stat.S_IFDIR, 0o755, 0, 0, None)}
    assert {p: after[p] for p in before} == before


def test_two_argument_create_form_has_no_folder_to_create(templated):
    before = templated.snapshot()
    status, lines = templated.run(["anything"])
    assert status == 1
    assert len(lines) == 1 and lines[0].startswith("Hollin_main:380 ")
    assert templated.snapshot() == before


@pytest.mark.parametrize("verb", ["-repairpermissions", "repairPermissions", "-repairPermissions ",
                                  b"-repairPermissions\xff", ""])
def test_any_other_verb_takes_the_create_form(templated, verb):
    # Three arguments: as a repair this would be a user name; here it is a folder.
    assert templated.run([verb, "/Users/carol"]) == (0, [])
    assert templated.path("/Users/carol").is_dir()


def test_home_path_that_is_not_utf8_counts_as_absent(templated):
    before = templated.snapshot()
    status, lines = templated.run(["x", b"/Users/caf\xe9"])
    assert status == 1
    assert len(lines) == 1 and lines[0].startswith("Hollin_main:380 ")
    assert templated.snapshot() == before


# --- mode numbers ----------------------------------------------------------

def owned_home(host, name="carol", uid=501):
    home = host.make_tree(f"/Users/{name}", {"Documents": {"paper": "words\n"}})
    for path in (home, home / "Documents", home / "Documents" / "paper"):
        os.chown(path, uid, 20)
    return home


@pytest.mark.parametrize("mode", ["0", "abc", "", "+0", " 0x2", "00"])
def test_modes_meaning_create_folder_only(templated, mode):
    host = templated
    home = owned_home(host)
    before = host.snapshot()
    # An existing folder: created already, so success, and nothing touched.
    assert host.run(["x", "/Users/carol", "501", "20", mode]) == (0, [])
    assert host.snapshot() == before
    assert host.run(["x", "/Users/dave", "501", "20", mode]) == (0, [])
    assert host.path("/Users/dave").is_dir() and home.is_dir()


@pytest.mark.parametrize("mode", ["2", " 2", "\t2", "+2", "2abc", "02"])
def test_modes_meaning_delete_home(templated, mode):
    home = owned_home(templated)
    assert templated.run(["x", "/Users/carol", "501", "20", mode]) == (0, [])
    assert not os.path.lexists(home)


@pytest.mark.parametrize("mode", ["1", "4", "7", "-1", "-2", "2147483647"])
def test_modes_meaning_full_creation_do_not_delete(templated, mode):
    host = templated
    home = owned_home(host)
    host.run(["x", "/Users/carol", "501", "20", mode, "", "English", "carol"])
    assert (home / "Documents" / "paper").read_text() == "words\n"


@pytest.mark.parametrize("mode", ["1", "4", "7", "-1"])
def test_modes_meaning_full_creation_fill_the_home(templated, mode):
    status, _ = templated.run(["x", "/Users/carol", "501", "20", mode, "", "English", "carol"])
    assert templated.path("/Users/carol/marker").read_text() == "from the template\n"
    assert status == 0


def test_mode_three_neither_creates_nor_deletes(templated):
    host = templated
    home = owned_home(host)
    host.run(["x", "/Users/carol", "501", "20", "3"])
    host.run(["x", "/Users/dave", "501", "20", "3"])
    assert (home / "Documents" / "paper").read_text() == "words\n"
    assert not os.path.lexists(host.path("/Users/dave"))


@pytest.mark.parametrize("ignored", ["2", "0", "", "-repairPermissions"])
def test_seventh_argument_has_no_effect(templated, ignored):
    home = owned_home(templated)
    assert templated.run(["x", "/Users/carol", "501", "20", "0", ignored]) == (0, [])
    assert home.is_dir()
    assert templated.run(["x", "/Users/carol", "501", "20", "2", ignored]) == (0, [])
    assert not os.path.lexists(home)


@pytest.mark.parametrize("user", ["alice", "Alice Liddell", "nobody-here", b"al\xffce"])
def test_user_name_in_the_create_form_logs_nothing(templated, user):
    args = ["x", "/Users/carol", "501", "20", "0", "", "English", user, "extra", "more"]
    assert templated.run(args) == (0, [])
    assert templated.path("/Users/carol").is_dir()
