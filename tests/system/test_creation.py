"""Full creation: language choice, preferences, failures, existing homes, the sample template."""

import os
import plistlib
import re
import shutil
import stat
import time

import pytest

import hoststate as hs
from conftest import MACHINE_ID, REPO, Folder, Link

TEMPLATE = "/Library/User Template"
GLOBAL = "/Users/alice/Library/Preferences/.GlobalPreferences.plist"
GHOST_GLOBAL = "/Library/Preferences/Users/ghost/.GlobalPreferences.plist"
BYHOST = f"/Library/Preferences/ByHost/.GlobalPreferences.{MACHINE_ID}.plist"
ANYHOST = "/Library/Preferences/.GlobalPreferences.plist"
TOOL_FLAGS = "/var/root/Library/Preferences/com.velmora.Tessmark.plist"
HID_KEY = "com.velmora.HidLibraryFolderAlready"
NO_UUID = "UUID is NULL! setPermissions:165"
OLD = 1_000_000_000  # 2001: times that the timestamp refresh must replace


def put_plist(host, sandbox_path, value):
    host.make_tree(os.path.dirname(sandbox_path), {os.path.basename(sandbox_path): plistlib.dumps(value)})


def read_plist(host, sandbox_path):
    return plistlib.loads(host.path(sandbox_path).read_bytes())


def template(host, languages=("English", "French"), nl=None, lang_extra=None):  # each leaves its name in which.txt
    nl = {"Desktop": {".localized": ""}, "Library": {"Preferences": {}}} if nl is None else nl
    specs = {name: {"which.txt": name, "Documents": {".localized": ""}, **(lang_extra or {})}
             for name in languages}
    return host.make_template(non_localized=nl, languages=specs)


def create(host, home="/Users/alice", language="fr", user="alice", uid="501"):
    return host.run(["x", home, uid, "20", "1", "ignored", language] + ([user] if user else []))


def matches(lines, expected):
    return len(lines) == len(expected) and all(
        e.fullmatch(line) if isinstance(e, re.Pattern) else e == line for e, line in zip(expected, lines))


@pytest.mark.parametrize("request_text, machine, chosen", [
    # Case, regions and scripts are the unit tests' (language_test.cc): here, that the request reaches them.
    ("fr", None, "French"), ("French", None, "French"), ("pt-PT", None, "pt_PT"), ("zh-Hans-CN", None, "zh_Hans"),
    ("pt-BR", None, "English"),
    ("Elvish", None, "Elvish"), ("../../tmp/Evil", None, "English"),  # the text as a name
    ("xx", (BYHOST, ["de", "fr"]), "German"), ("xx", (BYHOST, ["German"]), "German"), ("xx", (BYHOST, []), "English"),
    ("xx", (BYHOST, ["it", "de"]), "English"), ("fr", (BYHOST, ["de"]), "French"), ("xx", (ANYHOST, ["de"]), "English"),
])
def test_language_folder_chosen_for_a_request(host, request_text, machine, chosen):
    template(host, ("English", "French", "German", "pt_PT", "zh_Hans", "Elvish"))
    host.make_tree("/tmp/Evil.lproj", {"which.txt": "Evil"})
    if machine:
        put_plist(host, machine[0], {"VelmoraLanguages": machine[1]})
    assert create(host, language=request_text) == (0, [])
    assert host.path("/Users/alice/which.txt").read_text() == chosen


LANGUAGE_FILE = b'<?xml version="1.0"?>\n<plist version="1.0"><dict><key>Both</key>' \
                b'<string>fr</string>   </dict></plist>\n'


@pytest.mark.parametrize("in_home, in_nl, in_language, expected", [
    (None, {"Both": "nl", "OnlyNl": 1}, {"Both": "fr", "OnlyFr": True}, {"Both": "nl", "OnlyNl": 1, "OnlyFr": True}),
    ({"Mine": "kept", "Both": "home"}, None, {"Both": "fr", "OnlyFr": True},
     {"Mine": "kept", "Both": "home", "OnlyFr": True}),
    ({"Mine": "lost"}, {"Both": "nl"}, {"Both": "fr"}, {"Both": "nl"}),
    (None, None, LANGUAGE_FILE, LANGUAGE_FILE),  # no merge: the copy stays byte for byte
])
def test_global_preferences_merge(host, in_home, in_nl, in_language, expected):
    def prefs(value):
        data = value if isinstance(value, bytes) else plistlib.dumps(value, fmt=plistlib.FMT_BINARY)
        return {"Library": {"Preferences": {".GlobalPreferences.plist": data}}}
    template(host, nl={"Library": {}, **(prefs(in_nl) if in_nl else {})})
    host.make_tree(f"{TEMPLATE}/French.lproj", prefs(in_language))
    if in_home:
        host.make_tree("/Users/alice", prefs(in_home))
    # Without a user name no locale is written into the file.
    assert create(host, user=None) == (0, [])
    data = host.path(GLOBAL).read_bytes()
    assert (data if isinstance(expected, bytes) else plistlib.loads(data)) == expected
    st = os.lstat(host.path(GLOBAL))
    assert (st.st_uid, st.st_gid, stat.S_IMODE(st.st_mode)) == (501, 20, 0o600)


@pytest.mark.parametrize("user, language, country, lines, written", [
    ("alice", "fr-CA", None, [], {GLOBAL: "fr_US"}),
    ("alice", "French", (BYHOST, "ca"), [], {GLOBAL: "fr_CA"}),
    ("alice", "zh-Hans-CN", (BYHOST, "TW"), [], {GLOBAL: "zh_TW"}),
    ("alice", "pt_PT", (ANYHOST, "PT"), [], {GLOBAL: "pt_US"}),  # not the machine's own country
    # A name without an account: the locale still goes to the store for it, no UUID.
    ("ghost", "fr", None, [NO_UUID, "setPermissions:76 Error:1"], {GHOST_GLOBAL: "fr_US"}),
    (None, "fr", None, [NO_UUID], {}),  # no user name: no locale, no UUID
])
def test_locale_and_identity(host, user, language, country, lines, written):
    template(host, lang_extra={"Public": {"Drop Box": {}}})
    if country:
        put_plist(host, country[0], {"Country": country[1]})
    assert create(host, language=language, user=user) == (0, lines)
    assert {p: read_plist(host, p)["VelmoraLocale"]
            for p in (GLOBAL, GHOST_GLOBAL) if host.path(p).exists()} == written
    uuids = [entry[3] for entry in hs.acl(host.path("/Users/alice/Public/Drop Box"))]
    assert uuids == ([hs.EVERYONE, hs.account_uuid(501)] if user == "alice" else [])


@pytest.mark.parametrize("earlier_flag, first_hidden", [
    (None, True), (False, True), ("perhaps", True), (0, True), (True, False), ("YES", False)])
def test_library_hidden_once_per_machine(host, earlier_flag, first_hidden):
    template(host, lang_extra={"Library": {"Fonts": {}}})  # the language copy merges into Library
    if earlier_flag is not None:
        put_plist(host, TOOL_FLAGS, {HID_KEY: earlier_flag})
    assert create(host) == (0, [])
    assert create(host, home="/Users/new/deeper/bob", user="bob", uid="502") == (0, [])
    assert bool(hs.flags(host.path("/Users/alice/Library")) & hs.UF_HIDDEN) == first_hidden
    assert not hs.flags(host.path("/Users/new/deeper/bob/Library")) & hs.UF_HIDDEN
    # Set once the hiding ran; a flag that stopped it is not rewritten.
    assert read_plist(host, TOOL_FLAGS)[HID_KEY] == (True if first_hidden else earlier_flag)


CREATION_ERROR = re.compile("Hollin_main:208 .+")
PLAIN = {"Non_localized": {"Library": {}}, "English.lproj": {}}
CLASH = {"Non_localized": {"Library": {}, "Desktop": {"Read Me": "x"}},
         "English.lproj": {"Documents": {"Welcome.txt": "y"}}}
LOCKED = "/Users/alice/Desktop/locked"  # the one file that touch cannot change


@pytest.mark.parametrize("tmpl, users, home, lines, home_after", [
    pytest.param({"English.lproj": {}}, {}, "/Users/alice", [
        f"copyDirectory error '{TEMPLATE}/Non_localized' doesn't exists",
        "copyDirectory(Non-Localizable, /Users/alice) failed with -1"], (0o750, 0), id="no-Non_localized"),
    pytest.param({"Non_localized": {"Library": {}}, "French.lproj": {}}, {}, "/Users/alice", [
        f"copyDirectory error '{TEMPLATE}/English.lproj' doesn't exists",
        "copyDirectory(de, /Users/alice) failed with -1"], (0o750, 0), id="no-language-folder"),
    pytest.param(PLAIN, {"plain": "a file"}, "/Users/plain/alice", [
        CREATION_ERROR, "copyDirectory error '/Users/plain/alice' doesn't exists",
        "copyDirectory(Non-Localizable, /Users/plain/alice) failed with -1"], None, id="file-in-the-way"),
    pytest.param(PLAIN, {"alice": Link("gone")}, "/Users/alice", [
        CREATION_ERROR, "copyDirectory error '/Users/alice' doesn't exists",
        "copyDirectory(Non-Localizable, /Users/alice) failed with -1"], None, id="dangling-link-as-home"),
    # An existing home keeps its mode and owner when a copy fails: nothing after it ran.
    pytest.param(CLASH, {"alice": Folder({"Desktop": {"Read Me": {"Unrelated": "mine"}}}, mode=0o705)},
                 "/Users/alice", ["copyDirectory(Non-Localizable, /Users/alice) failed with 1"], (0o705, 0),
                 id="copier-first"),
    pytest.param(CLASH, {"alice": Folder({"Documents": {"Welcome.txt": {"Unrelated": "mine"}}}, mode=0o705)},
                 "/Users/alice", ["copyDirectory(de, /Users/alice) failed with 1"], (0o705, 0), id="copier-second"),
    # The permission pass still runs after a failed timestamp refresh.
    pytest.param(PLAIN, {"alice": {"Desktop": {"locked": "x"}}}, "/Users/alice",
                 ["find-exec-touch failed with 1"], (0o750, 501), id="find"),
])
def test_failures_of_the_sequence(host, tmpl, users, home, lines, home_after):
    host.make_tree(TEMPLATE, tmpl)
    host.make_tree("/Users", users)
    if os.path.exists(host.path(LOCKED)):
        hs.set_immutable(host.path(LOCKED), True)
    status, got = create(host, home=home, language="de")
    assert status == 1 and matches(got, lines), got
    if home_after:
        st = os.lstat(host.path(home))
        assert (stat.S_IMODE(st.st_mode), st.st_uid) == home_after


SENTINEL_PREFS = "/Library/Sentinel/Preferences/.GlobalPreferences.plist"
SENTINEL = {"Preferences": {".GlobalPreferences.plist": plistlib.dumps({"Sentinel": 1})}, "keep": "x"}


@pytest.mark.parametrize("planted, hide_lines", [
    # A link is not hidden in its target's place.
    ({"Library": Link("/Library/Sentinel")}, [re.compile("VantorURLSetResourcePropertyForKey error .+")]),
    ({"Library": {"Preferences": Link("/Library/Sentinel/Preferences")}}, []),
    ({"Library": {"Preferences": {".GlobalPreferences.plist": Link(SENTINEL_PREFS)}}}, []),
])
def test_existing_home_keeps_its_files_and_its_links_reach_nothing_outside(host, planted, hide_lines):
    template(host, nl={"Desktop": {".localized": ""}})
    host.make_tree("/Library/Sentinel", SENTINEL)
    home = host.make_tree("/Users/alice", {**planted, "Projects": {"a.c": "int x;"}, "Desktop": {
        "notes.txt": "mine", "nologin": Link("/etc/nologin"), "passwd": Link("/etc/passwd")}})
    outside = [host.path(p) for p in ("/etc/passwd", "/Library/Sentinel", "/Library/Sentinel/keep",
                                      "/Library/Sentinel/Preferences", SENTINEL_PREFS)]
    for path in outside + [home / "Projects/a.c"]:
        os.utime(path, (OLD, OLD))
    before = {k: v for k, v in host.snapshot().items() if not k.startswith("/Users/alice")}
    status, lines = create(host)
    assert status == 0 and matches(lines, hide_lines), lines
    assert {k: v for k, v in host.snapshot().items()
            if not k.startswith(("/Users/alice", "/var/root/Library"))} == before
    for path in outside:
        assert (os.lstat(path).st_mtime, hs.flags(path), hs.acl(path)) == (OLD, 0, []), path
    assert read_plist(host, SENTINEL_PREFS) == {"Sentinel": 1}
    assert read_plist(host, TOOL_FLAGS)[HID_KEY] is True  # set even where hiding failed
    assert not os.path.lexists(host.path("/etc/nologin"))
    texts = [(home / p).read_text() for p in ("Projects/a.c", "Desktop/notes.txt", "which.txt", "Desktop/.localized")]
    assert texts == ["int x;", "mine", "French", ""]  # the home's own files, and both copies
    assert abs(os.lstat(home / "Projects/a.c").st_mtime - time.time()) < 600  # touched, unlike the outside


@pytest.mark.parametrize("language, greeting", [
    ("fr", "Bienvenue"), ("de-AT", "Willkommen"), ("ja", "ようこそ"), ("zh-Hans-CN", "欢迎"),
    ("pt-PT", "Bem-vindo"), ("es", "Welcome"),
])
def test_sample_template_makes_a_home(host, language, greeting):
    shutil.copytree(REPO / "share" / "user-template", host.path(TEMPLATE))
    host.add_group("alice", 501)  # the policy gives Sites to the user's own group
    assert create(host, language=language) == (0, [])
    home = host.path("/Users/alice")
    assert set(os.listdir(home)) == {"Applications", "Desktop", "Documents", "Downloads", "Library",
                                     "Movies", "Music", "Pictures", "Public", "Sites"}
    assert greeting in (home / "Sites/index.html").read_text(encoding="utf-8")
    assert read_plist(host, GLOBAL)["VelmoraMeasurementUnits"] == "Centimeters"
    modes = {name: stat.S_IMODE(os.lstat(home / name).st_mode)
             for name in ("", "Documents", "Public", "Sites", "Public/Drop Box")}
    assert modes == {"": 0o750, "Documents": 0o700, "Public": 0o755, "Sites": 0o755, "Public/Drop Box": 0o733}
    assert (os.lstat(home).st_gid, os.lstat(home / "Sites").st_gid) == (20, 501)


def test_home_deeper_than_the_longest_path(host):
    template(host)
    home = host.make_tree("/Users/alice", {})
    fd = os.open(home, os.O_RDONLY | os.O_DIRECTORY)
    for _ in range(260):  # 260 levels of 21 bytes: far beyond 4096 bytes of path
        os.mkdir("d" * 20, dir_fd=fd)
        fd, old = os.open("d" * 20, os.O_RDONLY | os.O_DIRECTORY, dir_fd=fd), fd
        os.close(old)
    os.close(os.open("leaf", os.O_WRONLY | os.O_CREAT, 0o644, dir_fd=fd))
    os.utime("leaf", (OLD, OLD), dir_fd=fd)
    assert create(host) == (0, [])
    leaf = os.stat("leaf", dir_fd=fd)
    os.close(fd)
    assert (leaf.st_uid, stat.S_IMODE(leaf.st_mode)) == (501, 0o600) and leaf.st_mtime > OLD
