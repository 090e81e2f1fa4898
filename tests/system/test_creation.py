"""Full creation as a caller sees it: which language folder a home gets, the
global preferences merge, the locale and hide-once preferences, every failure
line and exit status of the sequence, and homes that already hold things
(links to places outside them included)."""

import os
import plistlib
import re
import stat
import time

import pytest

import hoststate
from conftest import MACHINE_ID, File, Link

TEMPLATE = "/Library/User Template"
GLOBAL = "Library/Preferences/.GlobalPreferences.plist"
MACHINE_BYHOST = f"/Library/Preferences/ByHost/.GlobalPreferences.{MACHINE_ID}.plist"
MACHINE_ANYHOST = "/Library/Preferences/.GlobalPreferences.plist"
TOOL_FLAG_FILE = "/var/root/Library/Preferences/com.velmora.Tessmark.plist"
HID_KEY = "com.velmora.HidLibraryFolderAlready"
OLD = 1_000_000_000  # 2001: template times that the timestamp refresh must replace


def plist(value, fmt=plistlib.FMT_XML):
    return plistlib.dumps(value, fmt=fmt)


def put_plist(host, sandbox_path, value):
    host.make_tree(os.path.dirname(sandbox_path), {os.path.basename(sandbox_path): plist(value)})


def read_plist(host, sandbox_path):
    with open(host.path(sandbox_path), "rb") as f:
        return plistlib.load(f)


def template(host, languages=("English", "French"), nl=None, lang_extra=None):
    """A template whose language folders each leave their name in which.txt."""
    nl = {"Desktop": {".localized": ""}, "Library": {"Preferences": {}}} if nl is None else nl
    specs = {name: {"which.txt": name, "Documents": {".localized": ""}, **(lang_extra or {})}
             for name in languages}
    return host.make_template(non_localized=nl, languages=specs)


def create(host, home="/Users/alice", language="fr", user="alice", uid="501"):
    args = ["x", home, uid, "20", "1", "ignored", language] + ([user] if user else [])
    return host.run(args)


def which(host, home="/Users/alice"):
    return host.path(home + "/which.txt").read_text()


# --- language choice --------------------------------------------------------

LANGUAGE_FOLDERS = ("English", "French", "German", "Japanese", "pt_PT", "zh_Hans", "Elvish")


@pytest.mark.parametrize("request_text, chosen", [
    ("fr", "French"), ("FR", "French"), ("French", "French"), ("fr-CA", "French"),
    ("de_DE", "German"), ("ja-JP", "Japanese"), ("Japanese", "Japanese"),
    ("pt-PT", "pt_PT"), ("pt_PT", "pt_PT"), ("PT_pt", "pt_PT"), ("pt-BR", "English"),
    ("zh-Hans-CN", "zh_Hans"), ("zh_Hans", "zh_Hans"), ("zh-Hant-TW", "English"),
    ("Elvish", "Elvish"), ("xx-nowhere", "English"), ("../../tmp/Evil", "English"),
])
def test_language_folder_chosen_for_a_request(host, request_text, chosen):
    template(host, LANGUAGE_FOLDERS)
    host.make_tree("/tmp/Evil.lproj", {"which.txt": "Evil"})
    assert create(host, language=request_text) == (0, [])
    assert which(host) == chosen


@pytest.mark.parametrize("place, languages, request_text, chosen", [
    (MACHINE_BYHOST, ["de", "fr"], "xx", "German"),
    (MACHINE_BYHOST, ["German"], "xx", "German"),
    (MACHINE_BYHOST, ["it", "fr"], "xx", "English"),  # only the first counts
    (MACHINE_BYHOST, [], "xx", "English"),
    (MACHINE_BYHOST, ["de"], "fr", "French"),  # the request comes first
    (MACHINE_ANYHOST, ["de"], "xx", "English"),  # not the machine's own list
])
def test_machine_language_list(host, place, languages, request_text, chosen):
    template(host, ("English", "French", "German"))
    put_plist(host, place, {"VelmoraLanguages": languages})
    assert create(host, language=request_text) == (0, [])
    assert which(host) == chosen


# --- global preferences merge ------------------------------------------------

LANGUAGE_FILE = b'<?xml version="1.0"?>\n<plist version="1.0"><dict><key>Both</key>' \
                b'<string>fr</string>   </dict></plist>\n'


@pytest.mark.parametrize("in_home, in_nl, in_language, expected", [
    (None, {"Both": "nl", "OnlyNl": 1}, {"Both": "fr", "OnlyFr": True},
     {"Both": "nl", "OnlyNl": 1, "OnlyFr": True}),
    ({"Mine": "kept", "Both": "home"}, None, {"Both": "fr", "OnlyFr": True},
     {"Mine": "kept", "Both": "home", "OnlyFr": True}),
    ({"Mine": "lost"}, {"Both": "nl"}, {"Both": "fr"}, {"Both": "nl"}),
    (None, None, LANGUAGE_FILE, LANGUAGE_FILE),  # no merge: the copy stays byte for byte
])
def test_global_preferences_merge(host, in_home, in_nl, in_language, expected):
    def prefs(value):
        data = value if isinstance(value, bytes) else plist(value, plistlib.FMT_BINARY)
        return {"Library": {"Preferences": {".GlobalPreferences.plist": data}}}
    nl = {"Desktop": {}, "Library": {}}
    if in_nl:
        nl.update(prefs(in_nl))
    template(host, ("English", "French"), nl=nl)
    host.make_tree(f"{TEMPLATE}/French.lproj", prefs(in_language))
    if in_home:
        host.make_tree("/Users/alice", prefs(in_home))
    # Without a user name no locale is written into the file.
    assert create(host, user=None) == (0, [])
    result = host.path("/Users/alice/" + GLOBAL)
    if isinstance(expected, bytes):
        assert result.read_bytes() == expected
    else:
        assert read_plist(host, "/Users/alice/" + GLOBAL) == expected
    st = os.lstat(result)
    assert (st.st_uid, st.st_gid, stat.S_IMODE(st.st_mode)) == (501, 20, 0o600)


# --- locale --------------------------------------------------------------------

@pytest.mark.parametrize("language, country_place, country, locale", [
    ("fr", None, None, "fr_US"),
    ("fr-CA", None, None, "fr_US"),
    ("fr-CA", MACHINE_BYHOST, "BE", "fr_BE"),
    ("French", MACHINE_BYHOST, "ca", "fr_CA"),
    ("zh-Hans-CN", MACHINE_BYHOST, "TW", "zh_TW"),
    ("English", None, None, "en_US"),
    ("pt_PT", MACHINE_ANYHOST, "PT", "pt_US"),  # not the machine's own country
])
def test_locale_written_for_the_user(host, language, country_place, country, locale):
    template(host)
    if country_place:
        put_plist(host, country_place, {"Country": country})
    assert create(host, language=language) == (0, [])
    assert read_plist(host, "/Users/alice/" + GLOBAL)["VelmoraLocale"] == locale


@pytest.mark.parametrize("user, lines, locale_file", [
    (None, ["UUID is NULL! setPermissions:165"], None),
    ("ghost", ["UUID is NULL! setPermissions:165", "setPermissions:76 Error:1"],
     "/Library/Preferences/Users/ghost/.GlobalPreferences.plist"),
    ("alice", [], "/Users/alice/" + GLOBAL),
])
def test_user_name_and_identity(host, user, lines, locale_file):
    """No user name: no locale, no UUID (the Drop Box says so). A name with no
    account: the locale still goes to the store for that name, no UUID."""
    template(host, lang_extra={"Public": {"Drop Box": {}}})
    assert create(host, user=user) == (0, lines)
    written = [p for p in ("/Users/alice/" + GLOBAL, "/Library/Preferences/Users/ghost/"
                           ".GlobalPreferences.plist") if host.path(p).exists()]
    assert written == ([locale_file] if locale_file else [])
    if locale_file:
        assert read_plist(host, locale_file)["VelmoraLocale"] == "fr_US"
    drop_box = hoststate.acl(host.path("/Users/alice/Public/Drop Box"))
    if user == "alice":
        assert drop_box[1][3] == hoststate.account_uuid(501)
    else:
        assert drop_box == []


# --- hiding Library once per machine -------------------------------------------

@pytest.mark.parametrize("earlier_flag, first_hidden", [
    (None, True), (False, True), ("perhaps", True), (0, True), (True, False), ("YES", False),
])
def test_library_hidden_once(host, earlier_flag, first_hidden):
    template(host)
    if earlier_flag is not None:
        put_plist(host, TOOL_FLAG_FILE, {HID_KEY: earlier_flag})
    assert create(host) == (0, [])
    assert create(host, home="/Users/new/deeper/bob", user="bob", uid="502") == (0, [])
    first = hoststate.flags(host.path("/Users/alice/Library"))
    second = hoststate.flags(host.path("/Users/new/deeper/bob/Library"))
    assert bool(first & hoststate.UF_HIDDEN) == first_hidden
    assert not second & hoststate.UF_HIDDEN
    # Set once the hiding ran; a flag that stopped it is not rewritten.
    assert read_plist(host, TOOL_FLAG_FILE)[HID_KEY] == (True if first_hidden else earlier_flag)


def test_library_that_cannot_be_hidden_is_reported_once(host):
    template(host, nl={"Desktop": {}})
    status, lines = create(host)
    assert status == 0 and len(lines) == 1
    assert lines[0].startswith("VantorURLSetResourcePropertyForKey error ")
    assert read_plist(host, TOOL_FLAG_FILE)[HID_KEY] is True
    template(host, nl={"Library": {}})
    assert create(host, home="/Users/bob", user="bob", uid="502") == (0, [])
    assert not hoststate.flags(host.path("/Users/bob/Library")) & hoststate.UF_HIDDEN


# --- failures of the sequence ----------------------------------------------------

def no_non_localized(host):
    host.make_template(non_localized={}, languages={"English": {}})
    os.rmdir(host.path(TEMPLATE + "/Non_localized"))


def clash_in(folder_name):
    def setup(host):
        template(host, nl={"Desktop": {"Read Me": "x"}, "Library": {}},
                 lang_extra={"Documents": {"Welcome.txt": "y"}})
        os.chmod(host.make_tree("/Users/alice", {folder_name: {"Unrelated": "mine"}}), 0o705)
    return setup


def immutable_file(host):
    template(host)
    host.make_tree("/Users/alice", {"Desktop": {"locked": "x", "other": "y"}})
    hoststate.set_immutable(host.path("/Users/alice/Desktop/locked"), True)


CREATION_ERROR = re.compile("Hollin_main:208 .+")


@pytest.mark.parametrize("setup, home, lines", [
    pytest.param(no_non_localized, "/Users/alice", [
        f"copyDirectory error '{TEMPLATE}/Non_localized' doesn't exists",
        "copyDirectory(Non-Localizable, /Users/alice) failed with -1"], id="no-Non_localized"),
    pytest.param(lambda h: template(h, ("French",)), "/Users/alice", [
        f"copyDirectory error '{TEMPLATE}/English.lproj' doesn't exists",
        "copyDirectory(de, /Users/alice) failed with -1"], id="no-language-folder"),
    pytest.param(lambda h: (template(h), h.make_tree("/Users", {"plain": "a file"})),
                 "/Users/plain/alice", [
        CREATION_ERROR, "copyDirectory error '/Users/plain/alice' doesn't exists",
        "copyDirectory(Non-Localizable, /Users/plain/alice) failed with -1"], id="file-in-the-way"),
    pytest.param(lambda h: (template(h), h.make_tree("/Users", {"alice": Link("gone")})),
                 "/Users/alice", [
        CREATION_ERROR, "copyDirectory error '/Users/alice' doesn't exists",
        "copyDirectory(Non-Localizable, /Users/alice) failed with -1"], id="dangling-link-as-home"),
    pytest.param(clash_in("Desktop/Read Me"), "/Users/alice",
                 ["copyDirectory(Non-Localizable, /Users/alice) failed with 1"], id="copier-first"),
    pytest.param(clash_in("Documents/Welcome.txt"), "/Users/alice",
                 ["copyDirectory(de, /Users/alice) failed with 1"], id="copier-second"),
    pytest.param(immutable_file, "/Users/alice", ["find-exec-touch failed with 1"], id="find"),
])
def test_failures_of_the_sequence(host, setup, home, lines):
    setup(host)
    status, got = create(host, home=home, language="de")
    assert status == 1
    assert len(got) == len(lines), got
    for expected, line in zip(lines, got):
        assert expected.fullmatch(line) if isinstance(expected, re.Pattern) else expected == line


def test_a_failed_copy_ends_the_sequence_where_it_stands(host):
    clash_in("Documents/Welcome.txt")(host)
    assert create(host)[0] == 1
    home = host.path("/Users/alice")
    st = os.lstat(home)
    # Existing home: mode and owner as they were; the first copy is in,
    # nothing after the failed copy ran (no locale, no permission pass).
    assert (stat.S_IMODE(st.st_mode), st.st_uid) == (0o705, 0)
    assert (home / "Desktop/Read Me").read_text() == "x"
    assert (home / "Documents/Welcome.txt/Unrelated").read_text() == "mine"
    assert not (home / GLOBAL).exists()
    assert os.lstat(home / "Desktop").st_uid == 0


def test_a_failed_timestamp_refresh_still_sets_permissions(host):
    immutable_file(host)
    assert create(host)[0] == 1
    for item in ("", "/Desktop", "/Desktop/other", "/Documents", "/which.txt"):
        assert os.lstat(host.path("/Users/alice" + item)).st_uid == 501, item
    assert stat.S_IMODE(os.lstat(host.path("/Users/alice")).st_mode) == 0o750


# --- existing homes and what they hold ----------------------------------------------

def test_existing_home_keeps_unrelated_files(host):
    template(host)
    host.make_tree("/Users/alice", {"Desktop": {"notes.txt": "mine"}, "Projects": {"a.c": "int x;"}})
    assert create(host) == (0, [])
    home = host.path("/Users/alice")
    assert (home / "Desktop/notes.txt").read_text() == "mine"
    assert (home / "Projects/a.c").read_text() == "int x;"
    assert (home / "Desktop/.localized").exists() and which(host) == "French"


SENTINEL = {"Preferences": {".GlobalPreferences.plist": plist({"Sentinel": 1})}, "keep": "x"}


@pytest.mark.parametrize("planted, hide_lines", [
    ({"Library": Link("/Library/Sentinel")}, 1),  # a link is not hidden in its target's place
    ({"Library": {"Preferences": Link("/Library/Sentinel/Preferences")}}, 0),
    ({"Library": {"Preferences": {".GlobalPreferences.plist": Link(
        "/Library/Sentinel/Preferences/.GlobalPreferences.plist")}}}, 0),
])
def test_links_in_an_existing_home_reach_nothing_outside(host, planted, hide_lines):
    template(host, nl={"Desktop": {}})
    host.make_tree("/Library/Sentinel", SENTINEL)
    host.make_tree("/Users/alice", {**planted, "Desktop": {
        "nologin": Link("/etc/nologin"), "passwd": Link("/etc/passwd")}})
    outside = [host.path(p) for p in ("/Library/Sentinel", "/Library/Sentinel/Preferences",
                                      "/Library/Sentinel/Preferences/.GlobalPreferences.plist",
                                      "/Library/Sentinel/keep", "/etc/passwd")]
    for path in outside:
        os.utime(path, (OLD, OLD))
    before = {k: v for k, v in host.snapshot().items() if not k.startswith("/Users/alice")}
    status, lines = create(host)
    assert status == 0 and len(lines) == hide_lines, lines
    assert all(line.startswith("VantorURLSetResourcePropertyForKey error ") for line in lines)
    after = {k: v for k, v in host.snapshot().items()
             if not k.startswith(("/Users/alice", "/var/root/Library"))}
    assert after == before
    for path in outside:
        assert os.lstat(path).st_mtime == OLD, path
        assert (hoststate.flags(path), hoststate.acl(path)) == (0, []), path
    assert read_plist(host, "/Library/Sentinel/Preferences/.GlobalPreferences.plist") == {"Sentinel": 1}
    assert not os.path.lexists(host.path("/etc/nologin"))


# --- the resulting home ----------------------------------------------------------------

def test_resulting_modes_owners_lists_and_times(host):
    top = template(host, lang_extra={"Movies": {}, "Public": {"Drop Box": {}},
                                     "Sites": {"index.html": File("<p>", mode=0o644)}})
    for folder, dirs, files in os.walk(top):
        for name in dirs + files:
            os.utime(os.path.join(folder, name), (OLD, OLD))
    assert create(host) == (0, [])
    home = host.path("/Users/alice")
    deny_delete = [(hoststate.DENY, hoststate.PERMS["delete"], 0, hoststate.EVERYONE)]
    expected = {
        "": (stat.S_IFDIR | 0o750, deny_delete),
        "Documents": (stat.S_IFDIR | 0o700, deny_delete),
        "Movies": (stat.S_IFDIR | 0o700, []),
        "Sites/index.html": (stat.S_IFREG | 0o600, []),
        "Documents/.localized": (stat.S_IFREG | 0o644, []),
        "Public/Drop Box": (stat.S_IFDIR | 0o700, deny_delete + [(
            hoststate.ALLOW, hoststate.ALL_PERMS,
            hoststate.FILE_INHERIT | hoststate.DIRECTORY_INHERIT, hoststate.account_uuid(501))]),
    }
    now = time.time()
    for relative, (mode, entries) in expected.items():
        st = os.lstat(home / relative)
        assert (st.st_mode, st.st_uid, st.st_gid) == (mode, 501, 20), relative
        assert hoststate.acl(home / relative) == entries, relative
        assert abs(st.st_mtime - now) < 600, relative
