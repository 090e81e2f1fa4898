"""hollinctl create and delete as the hooks run them: merges that lose nothing, the dry run, --if-missing under
pam_exec, one creation of a home at a time, the deletion by uid and home, and template init."""

import os
import re
import shlex

import pytest

from conftest import HOLLINCTL, Link, ctl, parse_syslog

HOME = "/Users/alice"
SUMMARY = re.compile(r"hollinctl: (\w+) (\w+) \((\S+)\): (done|left in place \(not the account's\)), (\d+) items, "
                     r"\d+\.\d\d s, (\d+) log lines")
NON_LOCALIZED = {"Library": {"Preferences": {".GlobalPreferences.plist": "<plist/>"}}, "Applications": {}}
ENGLISH = {"Documents": {"readme.txt": "template readme"}, "Music": {}, "Sites": {"index.html": "template page"}}
FRENCH = {"Documents": {}, "Musique": {}}
# Every item the small template gives a new home (Non_localized and English.lproj).
EVERY_ITEM = ["Applications", "Documents", "Documents/readme.txt", "Library", "Library/Preferences",
              "Library/Preferences/.GlobalPreferences.plist", "Music", "Sites", "Sites/index.html"]


def summaries(stderr):
    return [SUMMARY.fullmatch(line).groups() for line in stderr.splitlines() if SUMMARY.fullmatch(line)]


def template(host):
    host.make_template(non_localized=NON_LOCALIZED, languages={"English": ENGLISH, "French": FRENCH})


def remove_user(host, name):
    host._passwd = [entry for entry in host._passwd if entry[0] != name]
    host._write_accounts()


def alices_own(host, layout):
    """alice's existing home holding `layout`, everything hers."""
    home = host.make_tree(HOME, layout)
    for folder, dirs, files in os.walk(home):
        for name in dirs + files:
            os.lchown(os.path.join(folder, name), 501, 20)
    os.chown(home, 501, 20)
    return home


# --- merges that lose nothing --------------------------------------------------------------------------------

# (mallory's home field, what stands there, its owner, the refusal); nothing there: a plain create is refused too.
REFUSED_MERGES = [
    ("/Users/mallory", {"notes": "bob's"}, (502, 20), "/Users/mallory belongs to bob (uid 502), not to mallory"),
    ("/Users/mallory", {"notes": "root's"}, (0, 0), "/Users/mallory belongs to root (uid 0), not to mallory"),
    ("/Users/bob/", {"notes": "bob's"}, (503, 20), "/Users/bob is the home of account 'bob' too"),  # slash dropped
    ("/Users//bob", {"notes": "bob's"}, (503, 20), "/Users//bob is the home of account 'bob' too"),
    ("/Users/mallory", Link("/Users/bob"), (503, 20), "/Users/mallory is not a folder"),
    ("/Users/mallory", "a file", (503, 20), "/Users/mallory is not a folder"),
    ("/Users/bob", None, None, "/Users/bob is the home of account 'bob' too"),
]


@pytest.mark.parametrize("home_field, item, owner, message", REFUSED_MERGES)
def test_a_merge_into_anything_but_the_accounts_own_folder_is_refused(host, home_field, item, owner, message):
    template(host)
    host.add_user("mallory", 503, home=home_field)
    if item is not None:
        host.make_tree("/Users", {"bob": {"notes": "bob's"}, os.path.basename(home_field.rstrip("/")): item})
        os.lchown(host.path(home_field), *owner)
    before = host.snapshot()
    runs = [[]] if item is None else [["--into-existing", *extra] for extra in ([], ["--overwrite"], ["--dry-run"])]
    for args in runs:
        assert ctl(host, "create", "mallory", *args) == (2, [], f"hollinctl: create: {message}\n")
    assert host.snapshot() == before


# What alice's home holds: a page of her own where the template has one, a link where the template has a file,
# and a file where it has a folder.
OWN_HOME = {"Sites": {"index.html": "alice's page"}, "Documents": {"readme.txt": Link("/Users/bob/notes")},
            "Music": "a file named Music", "notes": "kept"}
OVERWRITTEN = ["Documents/readme.txt", "Music", "Sites/index.html"]


def test_items_the_template_would_overwrite_are_listed_and_refused(host):
    template(host)
    host.make_tree("/Users/bob", {"notes": "bob's"})
    alices_own(host, OWN_HOME)
    before = host.snapshot()
    status, out, err = ctl(host, "create", "alice", "--into-existing")
    assert (status, out, err.splitlines()) == (2, [], [
        f"hollinctl: create: the template would overwrite 3 items in {HOME} (use --overwrite to replace them):",
        *(f"  {path}" for path in OVERWRITTEN)])
    assert host.snapshot() == before


def test_overwrite_proceeds_with_the_templates_files(host):
    template(host)
    host.make_tree("/Users/bob", {"notes": "bob's"})
    home = alices_own(host, OWN_HOME)
    status, out, err = ctl(host, "create", "alice", "--into-existing", "--overwrite")
    assert (status, out, summaries(err)[0][:4]) == (0, [], ("create", "alice", HOME, "done")), err
    assert (home / "Sites/index.html").read_text() == "template page"
    assert (home / "Documents/readme.txt").read_text() == "template readme"
    assert (home / "Music").is_dir() and (home / "notes").read_text() == "kept"
    assert host.path("/Users/bob/notes").read_text() == "bob's"


def test_a_merge_that_overwrites_nothing_runs_without_overwrite(host):
    template(host)
    home = alices_own(host, {"notes": "kept", "Sites": {"mine.html": "alice's"}})
    status, _, err = ctl(host, "create", "alice", "--into-existing")
    assert status == 0 and summaries(err)[0][:4] == ("create", "alice", HOME, "done"), err
    assert (home / "notes").read_text() == "kept" and (home / "Sites/index.html").read_text() == "template page"


@pytest.mark.parametrize("extra, status", [([], 2), (["--overwrite"], 0)])
def test_dry_run_lists_what_would_be_created_and_overwritten(host, extra, status):
    template(host)
    host.make_tree("/Users/bob", {"notes": "bob's"})
    alices_own(host, {**OWN_HOME, "Library": {}})  # kept: Library, Documents and Sites merge
    before = host.snapshot()
    code, out, err = ctl(host, "create", "alice", "--into-existing", "--dry-run", *extra)
    created = ["Applications", "Library/Preferences", "Library/Preferences/.GlobalPreferences.plist"]
    assert (code, out) == (status, [*(f"create  {p}" for p in created), *(f"overwrite  {p}" for p in OVERWRITTEN),
                                    f"alice ({HOME}): 3 to create, 3 to overwrite"])
    assert err == ("" if status == 0 else f"hollinctl: create: the template would overwrite 3 items in {HOME} (use "
                   "--overwrite to replace them)\n")
    assert host.snapshot() == before


@pytest.mark.parametrize("language, items", [([], EVERY_ITEM), (["--language", "French"], [
    "Applications", "Documents", "Library", "Library/Preferences", "Library/Preferences/.GlobalPreferences.plist",
    "Musique"])])
def test_dry_run_of_a_new_home_lists_the_chosen_language(host, language, items):
    template(host)
    before = host.snapshot()
    assert ctl(host, "create", "alice", "--dry-run", *language) == (0, [
        *(f"create  {p}" for p in items), f"alice ({HOME}): {len(items)} to create, 0 to overwrite"], "")
    assert host.snapshot() == before


def test_dry_run_escapes_names(host):
    template(host)
    alices_own(host, {"Sites": {"index.html": "mine"}})
    host.make_template(languages={"English": {"bad\nname": "x", "Sites": {"index.html": "t"}}})
    status, out, _ = ctl(host, "create", "alice", "--into-existing", "--dry-run", "--overwrite")
    assert status == 0 and "create  bad\\012name" in out and "overwrite  Sites/index.html" in out


# --- --if-missing and pam_exec ---------------------------------------------------------------------------------

OPEN = {"PAM_TYPE": "open_session", "PAM_USER": "alice"}


@pytest.mark.parametrize("env, args", [
    (OPEN, []),
    ({**OPEN, "PAM_USER": "bob"}, ["alice"]),  # the operand wins
    ({**OPEN, "PAM_RUSER": "bob", "PAM_SERVICE": "sshd", "PAM_RHOST": "/Users/bob", "PAM_TTY": "ssh",
      "HOME": "/Users/bob", "HOLLIN_LOG_FD": "1"}, []),
    ({}, ["alice"]),
])
def test_if_missing_creates_the_home_of_the_pam_user(host, env, args):
    template(host)
    status, out, err = ctl(host, "create", "--if-missing", *args, env=env)
    assert (status, out, summaries(err)) == (0, [], [("create", "alice", HOME, "done", str(1 + len(EVERY_ITEM)),
                                                      "0")]), err
    assert sorted(os.listdir(host.path(HOME))) == ["Applications", "Documents", "Library", "Music", "Sites"]
    assert os.stat(host.path(HOME)).st_uid == 501 and not os.path.lexists(host.path("/Users/bob"))


@pytest.mark.parametrize("existing", [{"alice": {"notes": "kept"}}, {"alice": Link("/nowhere")}, {"alice": "file"}])
def test_if_missing_leaves_anything_at_the_home_path_alone(host, existing):
    template(host)
    host.make_tree("/Users", existing)
    before = host.snapshot()
    assert ctl(host, "create", "--if-missing", env=OPEN) == (0, [], "")
    assert ctl(host, "create", "--if-missing", "alice") == (0, [], "")
    assert host.snapshot() == before


@pytest.mark.parametrize("pam_type", ["close_session", "open_sessions"])
def test_any_other_pam_step_does_nothing(host, pam_type):
    template(host)
    before = host.snapshot()
    for args in (["--if-missing"], ["--if-missing", "alice"], ["alice"]):
        assert ctl(host, "create", *args, env={**OPEN, "PAM_TYPE": pam_type}) == (0, [], "")
    assert host.snapshot() == before


@pytest.mark.parametrize("env, status, message", [
    ({"PAM_TYPE": "open_session"}, 2, "hollinctl: create: name one account"),
    ({"PAM_USER": "alice"}, 2, "hollinctl: create: name one account"),  # PAM_USER alone is no pam_exec call
    ({**OPEN, "PAM_USER": "Alice Liddell"}, 2, "hollinctl: no account named 'Alice Liddell'"),
    ({**OPEN, "PAM_USER": "nosuch"}, 2, "hollinctl: no account named 'nosuch'"),
    ({**OPEN, "PAM_USER": "daemon"}, 0, "hollinctl: create: /var/root is outside the homes folder; left alone"),
    ({**OPEN, "PAM_USER": "svc"}, 0, "hollinctl: create: /nonexistent is outside the homes folder; left alone"),
])
def test_if_missing_refusals(host, env, status, message):
    template(host)
    host.add_user("svc", 600, home="/nonexistent")
    before = host.snapshot()
    code, out, err = ctl(host, "create", "--if-missing", env=env)
    assert (code, out, err.splitlines()[0]) == (status, [], message)
    assert host.snapshot() == before and not os.path.lexists(host.path("/nonexistent"))


def test_two_logins_at_once_create_the_home_once(host):
    template(host)
    # Each run's status and standard error in files of its own; both started together.
    one = (f"/usr/bin/env PAM_TYPE=open_session PAM_USER=alice {HOLLINCTL} create --if-missing "
           "2>/tmp/err.$1; echo $? >/tmp/status.$1")
    script = f"run() {{ {one}; }}\nrun a & run b & wait"
    for attempt in range(10):
        done, datagrams = host.run_logged(["/bin/sh", "-c", script])
        assert done.returncode == 0, done.stderr
        lines = [parse_syslog(d) for d in datagrams]
        statuses = [host.path(f"/tmp/status.{n}").read_text() for n in "ab"]
        errors = "".join(host.path(f"/tmp/err.{n}").read_text() for n in "ab")
        made = summaries(errors)
        assert (statuses, lines, [m[:4] for m in made]) == (["0\n", "0\n"], [], [("create", "alice", HOME, "done")]), \
            (attempt, errors)
        assert errors.splitlines() == [errors.splitlines()[0]]  # nothing besides the one summary
        assert sorted(os.listdir(host.path(HOME))) == ["Applications", "Documents", "Library", "Music", "Sites"]
        host.sh(f"rm -rf {shlex.quote(HOME)} /tmp/err.a /tmp/err.b /tmp/status.a /tmp/status.b")


def test_the_lock_folder_is_roots_alone(host):
    template(host)
    done = host.sh(f"{HOLLINCTL} create alice && stat -c '%U %a %F' /run/hollin-locks /run/hollin-locks/*")
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == ["root 700 directory", "root 600 regular empty file"]
    # A link put in its place is not followed: the creation fails and makes nothing there.
    done = host.sh(f"ln -s /Users /run/hollin-locks; {HOLLINCTL} create bob; echo $?")
    assert done.stdout.splitlines()[-1] == "1" and "cannot lock /run/hollin-locks" in done.stderr
    assert not os.path.lexists(host.path("/Users/bob")) and os.listdir(host.path("/Users")) == ["alice"]


# --- delete without a lookup ---------------------------------------------------------------------------------

@pytest.mark.parametrize("owner, name, left", [(503, ["erin"], False), (503, [], False), (502, ["erin"], True)])
def test_delete_by_home_and_uid_removes_only_a_home_the_uid_owns(host, owner, name, left):
    template(host)
    host.add_user("erin", 503)
    assert ctl(host, "create", "erin")[0] == 0
    home = host.path("/Users/erin")
    os.lchown(home, owner, 20)
    remove_user(host, "erin")  # as deluser.local runs: the account is gone
    status, out, err = ctl(host, "delete", "--home", "/Users/erin/", "--uid", "503", *name)
    outcome = "left in place (not the account's)" if left else "done"
    assert (status, out, [s[:4] for s in summaries(err)]) == (0, [], [
        ("delete", name[0] if name else "503", "/Users/erin", outcome)]), err
    assert os.path.lexists(home) == left


DELETE_USAGE = [
    (["--home", "/Users/erin"], "delete: --home and --uid go together"),
    (["--uid", "503"], "delete: --home and --uid go together"),
    (["--home", "Users/erin", "--uid", "503"], "delete: --home wants the absolute path of a home, not 'Users/erin'"),
    (["--home", "//", "--uid", "503"], "delete: --home wants the absolute path of a home, not '//'"),
    (["--home", "/Users/erin", "--uid", "erin"], "delete: --uid wants a user id, not 'erin'"),
    (["--home", "/Users/erin", "--uid", "-1"], "delete: --uid wants a user id, not '-1'"),
    (["--home", "/Users/erin", "--uid"], "--uid needs a user id"),
    (["--home", "/Users/erin", "--uid", "503", "erin", "more"], "delete: name one account"),
]


def test_delete_by_home_usage_errors(host):
    template(host)
    host.make_tree("/Users/erin", {})
    before = host.snapshot()
    for args, message in DELETE_USAGE:
        status, out, err = ctl(host, "delete", *args)
        assert (status, out, err.splitlines()[0]) == (2, [], f"hollinctl: {message}"), args
        assert err.splitlines()[1].startswith("usage: ")
    assert host.snapshot() == before


DELETE_REFUSED = [
    ("/Users/alice", "501", "delete: /Users/alice is the home of account 'alice'"),
    ("/Users/alice/", "502", "delete: /Users/alice is the home of account 'alice'"),
    ("/var/root", "1", "delete: /var/root is the home of account 'root'"),
    ("/Users/erin", "0", "delete: --uid 0: root's folders are not deleted as a home"),
]


def test_delete_by_home_refuses_a_home_still_in_use_and_root(host):
    template(host)
    assert ctl(host, "create", "alice")[0] == 0
    host.make_tree("/Users/erin", {})
    os.chown(host.path("/Users/erin"), 0, 0)
    before = host.snapshot()
    for home, uid, message in DELETE_REFUSED:
        assert ctl(host, "delete", "--home", home, "--uid", uid) == (2, [], f"hollinctl: {message}\n")
    assert host.snapshot() == before


# --- template init -------------------------------------------------------------------------------------------

ADMIN = "/Library/User Template"
SAMPLE = "/System/Library/User Template"


def tree(top):
    found = {}
    for folder, dirs, files in os.walk(top):
        for name in dirs + files:
            path = os.path.join(folder, name)
            found[os.path.relpath(path, top)] = None if os.path.isdir(path) else open(path, "rb").read()
    return found


@pytest.mark.parametrize("skel", [False, True])
def test_template_init_copies_the_sample(host, skel):
    host.make_template(SAMPLE, non_localized=NON_LOCALIZED, languages={"English": ENGLISH})
    host.make_tree("/etc/skel", {".bashrc": "# bash", ".profile": "# profile", ".config": {"x": "y"}})
    status, out, err = ctl(host, "template", "init", *(["--from-skel"] if skel else []))
    assert (status, out) == (0, []) and err == (f"hollinctl: template init: {ADMIN} made from {SAMPLE}"
                                                f"{' and /etc/skel' if skel else ''}\n")
    want = tree(host.path(SAMPLE))
    if skel:
        want.update({f"Non_localized/{k}": v for k, v in tree(host.path("/etc/skel")).items()})
    assert tree(host.path(ADMIN)) == want
    st = os.lstat(host.path(ADMIN))
    assert (st.st_uid, st.st_mode & 0o7777) == (0, 0o755)
    # The next home has them, as the account's.
    assert ctl(host, "create", "alice")[0] == 0
    home = host.path(HOME)
    assert (home / "Sites/index.html").read_text() == "template page"
    assert [(home / ".bashrc").stat().st_uid] == [501] if skel else not (home / ".bashrc").exists()


# (sample template, administrator's template, /etc/skel, arguments, message); a usage line follows the usage errors.
TEMPLATE_REFUSED = [
    (True, {}, True, ["init", "--from-skel"], f"template init: {ADMIN} already exists"),
    (True, Link(SAMPLE), True, ["init"], f"template init: {ADMIN} already exists"),
    (True, "a file", True, ["init", "--from-skel"], f"template init: {ADMIN} already exists"),
    (False, None, True, ["init"], f"template init: no sample template at {SAMPLE}"),
    (False, None, True, ["init", "--from-skel"], f"template init: no sample template at {SAMPLE}"),
    (True, None, False, ["init", "--from-skel"], "template init: no folder /etc/skel"),
    (True, None, True, ["frob"], "template: unknown subcommand 'frob'"),
    (True, None, True, [], "template: name one subcommand (init)"),
    (True, None, True, ["init", "--dry-run"], "template: unknown option --dry-run"),
]


@pytest.mark.parametrize("sample, existing, skel, args, message", TEMPLATE_REFUSED)
def test_template_init_refusals(host, sample, existing, skel, args, message):
    if sample:
        host.make_template(SAMPLE, non_localized=NON_LOCALIZED)
    if existing is not None:
        host.make_tree("/Library", {"User Template": existing})
    if skel:
        host.make_tree("/etc/skel", {".profile": "# profile"})
    before = host.snapshot()
    status, out, err = ctl(host, "template", *args)
    lines = err.splitlines()
    assert (status, out, lines[0]) == (2, [], f"hollinctl: {message}")
    assert lines[1].startswith("usage: ") if message.startswith("template:") else len(lines) == 1
    assert host.snapshot() == before
