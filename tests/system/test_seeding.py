"""Full creations seen from the preferences side: the template language the
home receives, the Library folder hidden once per machine, the global
preferences merged back over the language folder's, and the user's locale."""

import os
import plistlib

import pytest

from conftest import MACHINE_ID, Link
from hoststate import UF_HIDDEN, flags

TOOL_FLAG_FILE = "/var/root/Library/Preferences/com.velmora.Tessmark.plist"
HID_KEY = "com.velmora.HidLibraryFolderAlready"
MACHINE_HOST_FILE = f"/Library/Preferences/ByHost/.GlobalPreferences.{MACHINE_ID}.plist"


def plist_bytes(value, binary=False):
    return plistlib.dumps(value, fmt=plistlib.FMT_BINARY if binary else plistlib.FMT_XML)


def read_plist(host, sandbox_path):
    with open(host.path(sandbox_path), "rb") as f:
        return plistlib.load(f)


def create(host, home, language=None, user=None, uid="501"):
    args = ["x", home, uid, "20", "1", "ignored"]
    if language is not None:
        args.append(language)
        if user is not None:
            args.append(user)
    return host.run(args)


def machine_preferences(host, values):
    host.make_tree("/Library/Preferences/ByHost", {
        os.path.basename(MACHINE_HOST_FILE): plist_bytes(values, binary=True)})


def global_prefs(home):
    return f"{home}/Library/Preferences/.GlobalPreferences.plist"


# --- template language ------------------------------------------------------

@pytest.fixture
def languages(host):
    host.make_template(non_localized={"Library": {}}, languages={
        "English": {"which": "English"}, "French": {"which": "French"},
        "de": {"which": "de"}, "pt_PT": {"which": "pt_PT"}, "zh_Hant": {"which": "zh_Hant"}})
    host.make_tree("/Library/User Template/it.LPROJ", {"which": "capital"})
    return host


@pytest.mark.parametrize("language, chosen", [
    ("fr", "French"), ("FRENCH", "French"), ("German", "de"), ("de_AT", "de"),
    ("pt-PT", "pt_PT"), ("pt-BR", "English"), ("zh-Hant-HK", "zh_Hant"),
    ("zh-Hans", "English"), ("Klingonese", "English"), ("", "English"), ("it", "English"),
])
def test_language_folder_chosen_for_the_request(languages, language, chosen):
    assert create(languages, "/Users/alice", language) == (0, [])
    assert languages.path("/Users/alice/which").read_text() == chosen


def test_machine_language_list_decides_when_the_request_finds_nothing(languages):
    machine_preferences(languages, {"VelmoraLanguages": ["German", "fr"]})
    assert create(languages, "/Users/alice", "Klingonese") == (0, [])
    assert languages.path("/Users/alice/which").read_text() == "de"
    # With no language on the command line the list decides as well.
    assert create(languages, "/Users/bob", uid="502") == (0, [])
    assert languages.path("/Users/bob/which").read_text() == "de"


def test_missing_english_fallback_ends_the_creation(host):
    host.make_template(non_localized={"kept": "x", "Library": {}}, languages={"fr": {}})
    status, lines = create(host, "/Users/alice", "ja", "alice")
    assert status == 1
    assert lines == [
        "copyDirectory error '/Library/User Template/English.lproj' doesn't exists",
        "copyDirectory(ja, /Users/alice) failed with -1",
    ]
    assert host.path("/Users/alice/kept").exists()


# --- Library hidden once per machine ----------------------------------------

@pytest.fixture
def with_library(host):
    host.make_template(non_localized={"Library": {"Preferences": {}}}, languages={"English": {}})
    return host


def test_first_creation_hides_library_and_later_ones_do_not(with_library):
    host = with_library
    assert create(host, "/Users/alice", "en", "alice") == (0, [])
    assert flags(host.path("/Users/alice/Library")) & UF_HIDDEN
    assert read_plist(host, TOOL_FLAG_FILE)[HID_KEY] is True
    assert create(host, "/Users/bob", "en", "bob", uid="502") == (0, [])
    assert not flags(host.path("/Users/bob/Library")) & UF_HIDDEN


@pytest.mark.parametrize("stored", [False, "perhaps"])
def test_false_or_invalid_flag_does_not_stop_the_hiding(with_library, stored):
    host = with_library
    host.make_tree("/var/root/Library/Preferences", {
        "com.velmora.Tessmark.plist": plist_bytes({HID_KEY: stored})})
    assert create(host, "/Users/alice", "en", "alice") == (0, [])
    assert flags(host.path("/Users/alice/Library")) & UF_HIDDEN
    assert read_plist(host, TOOL_FLAG_FILE)[HID_KEY] is True


def test_home_without_library_logs_once_and_sets_the_flag(host):
    host.make_template(non_localized={}, languages={"English": {}})
    assert create(host, "/Users/alice", "en") == (
        0, ["VantorURLSetResourcePropertyForKey error /Users/alice/Library: No such file or directory"])
    assert read_plist(host, TOOL_FLAG_FILE)[HID_KEY] is True


def test_linked_library_in_an_existing_home_changes_nothing_outside(host):
    host.make_template(non_localized={"Desktop": {}}, languages={"English": {}})
    host.make_tree("/System/Library/Preferences", {
        ".GlobalPreferences.plist": plist_bytes({"Owner": "system"})})
    host.make_tree("/Users/alice", {"Library": Link("/System/Library")})
    os.lchown(host.path("/Users/alice/Library"), 501, 20)
    status, lines = create(host, "/Users/alice", "fr", "alice")
    assert status == 0
    assert ("VantorURLSetResourcePropertyForKey error /Users/alice/Library: "
            "Too many levels of symbolic links") in lines
    assert not flags(host.path("/System/Library")) & UF_HIDDEN
    assert read_plist(host, "/System/Library/Preferences/.GlobalPreferences.plist") == {"Owner": "system"}
    assert os.path.islink(host.path("/Users/alice/Library"))


# --- global preferences merge ------------------------------------------------

def test_prior_global_preferences_win_over_the_language_folder(host):
    host.make_template(
        non_localized={"Library": {"Preferences": {".GlobalPreferences.plist": plist_bytes(
            {"Shared": "non-localized", "NonLocalizedOnly": 1}, binary=True)}}},
        languages={"English": {}, "French": {"Library": {"Preferences": {
            ".GlobalPreferences.plist": plist_bytes({"Shared": "French", "FrenchOnly": 2})}}}})
    assert create(host, "/Users/alice", "fr") == (0, [])
    assert read_plist(host, global_prefs("/Users/alice")) == {
        "Shared": "non-localized", "NonLocalizedOnly": 1, "FrenchOnly": 2}
    names = os.listdir(host.path("/Users/alice/Library/Preferences"))
    assert names == [".GlobalPreferences.plist"]


def test_language_folder_file_stays_as_copied_without_prior_preferences(host):
    french = plist_bytes({"Shared": "French"})
    host.make_template(non_localized={"Library": {"Preferences": {}}}, languages={
        "English": {}, "French": {"Library": {"Preferences": {".GlobalPreferences.plist": french}}}})
    assert create(host, "/Users/alice", "fr") == (0, [])
    assert host.path(global_prefs("/Users/alice")).read_bytes() == french


def test_linked_preferences_folder_is_neither_read_nor_written(host):
    host.make_template(non_localized={"Desktop": {}}, languages={"English": {}})
    host.make_tree("/Library/Preferences", {".GlobalPreferences.plist": plist_bytes({"Owner": "system"})})
    host.make_tree("/Users/alice/Library", {"Preferences": Link("/Library/Preferences")})
    before = host.path("/Library/Preferences/.GlobalPreferences.plist").read_bytes()
    assert create(host, "/Users/alice", "de", "alice")[0] == 0
    assert host.path("/Library/Preferences/.GlobalPreferences.plist").read_bytes() == before
    assert sorted(os.listdir(host.path("/Library/Preferences"))) == [".GlobalPreferences.plist"]


# --- the user's locale ------------------------------------------------------

@pytest.mark.parametrize("country, language, expected", [
    (None, "en-GB", "en_US"), ("CA", "en-GB", "en_CA"), ("CA", "French", "fr_CA"),
    ("CA", "zh-Hans-CN", "zh_CA"), (None, "PT_br", "pt_US"),
])
def test_locale_is_the_language_with_the_machine_country(with_library, country, language, expected):
    host = with_library
    if country:
        machine_preferences(host, {"Country": country})
    assert create(host, "/Users/alice", language, "alice") == (0, [])
    assert read_plist(host, global_prefs("/Users/alice"))["VelmoraLocale"] == expected


def test_locale_is_written_for_a_name_without_an_account(with_library):
    assert create(with_library, "/Users/ghost", "it", "ghost") == (0, [])
    written = read_plist(with_library, "/Library/Preferences/Users/ghost/.GlobalPreferences.plist")
    assert written == {"VelmoraLocale": "it_US"}


def test_no_user_name_writes_no_locale(with_library):
    assert create(with_library, "/Users/alice", "it") == (0, [])
    assert not with_library.path(global_prefs("/Users/alice")).exists()
    assert not with_library.path("/Library/Preferences/Users").exists()
