"""hollinctl tells the truth: a change that reported a problem is not done cleanly whatever the tool's status, a
home that is not there is refused, check names the template items a repair will not mend, and --openmetrics
writes counts that a collector can read, whole or not at all."""

import json
import math
import os
import re
import shutil
import stat
import time

import pytest

from conftest import HOLLINCTL, REPO, ctl, parse_syslog
from test_hollinctl import CHANGE, HOME, clean, count, created, state, summary

METRICS = "/var/lib/metrics"


# --- the summary of a change ---------------------------------------------------------------------------------

def hard_link_of_bobs(home):  # a file with another name that chown leaves alone, and says so
    outside = home.parent / "bob-notes"
    outside.write_text("bob's")
    os.lchown(outside, 502, 20)
    os.link(outside, home / "Documents" / "notes\x1b[2J.txt")  # the name reaches the terminal escaped


def failing_fallback(home):  # without a policy, apply's chgrp of Sites/Streaming to a group that is gone
    (home / "Sites/Streaming").mkdir()
    os.lchown(home / "Sites/Streaming", 501, 20)


def dangling_music(home):  # the repair walk's line for a match that does not exist: a skip, no problem
    shutil.rmtree(home / "Music")
    os.symlink("/nowhere", home / "Music")
    os.lchown(home / "Music", 501, 20)


# case: (damage, change, exit status, outcome, its log lines, its helpers' lines, the summary's listing)
SUMMARIES = {
    "chown complains": (hard_link_of_bobs, "repair", 1, "done with 1 problem", [],
                        [r"chown: '/Users/alice/Documents/notes\033[2J.txt': left alone: 2 hard links, owned by uid "
                         "502"], []),
    "fallback fails": (failing_fallback, "apply", 1, "failed (status 1)", ["setPermissions:60 Error:1"],
                       ["chgrp: invalid group: 'vexa'"], ["  setPermissions:60 Error:1"]),
    "a skip is no problem": (dangling_music, "repair", 0, "done", [f"file does not exist at path: {HOME}/Music"], [],
                             []),
    "clean": (lambda home: None, "repair", 0, "done", [], [], []),
}


@pytest.mark.parametrize("logged", [False, True], ids=["log unreachable", "log reachable"])
@pytest.mark.parametrize("case", SUMMARIES)
def test_the_summary_counts_every_problem_the_run_reported(host, case, logged):
    damage, change, status, outcome, log_lines, helper_lines, listed = SUMMARIES[case]
    home = created(host, policy=False)
    host.remove_group("vexa")
    damage(home)
    if logged:  # the tool's lines go to the log alone
        done, datagrams = host.run_logged([HOLLINCTL, change, "alice"])
        assert [parse_syslog(d) for d in datagrams] == log_lines
        returncode, err, shown = done.returncode, done.stderr, helper_lines
    else:  # the tool copies each log line to standard error: passed on, and not counted again as a helper's
        returncode, _, err = ctl(host, change, "alice")
        shown = helper_lines + log_lines
    assert (returncode, summary(err)) == (status, ((change, "alice", HOME, outcome, str(count(host)),
                                                    str(len(log_lines)), ":" * bool(listed)), listed))
    lines = err.splitlines()
    assert sorted(lines[:len(shown)]) == sorted(shown) and len(lines) == len(shown) + 1 + len(listed), err
    assert "\x1b" not in err


# --- no home -------------------------------------------------------------------------------------------------

@pytest.mark.parametrize("make, message", [
    (None, f"no home at {HOME}"),
    (lambda path: os.symlink("/Library/Outside", path), f"{HOME} is a symbolic link"),
    (lambda path: path.write_text("a file"), f"{HOME} is not a folder")])
@pytest.mark.parametrize("args", [["apply"], ["repair"], ["check"], ["repair", "--dry-run"], ["check", "--as-apply"]])
def test_a_change_or_check_without_a_home_is_refused(host, make, message, args):
    created(host)
    host.make_tree("/Library/Outside", {"Documents": {}})
    shutil.rmtree(host.path(HOME))
    if make:
        make(host.path(HOME))
    before = state(host)
    assert ctl(host, *args, "alice") == (2, [], f"hollinctl: alice: {message}\n")
    assert state(host) == before


# --- what a repair does not mend --------------------------------------------------------------------------------

def unmended_home(host):
    """alice's home without Documents, with Music a link to a folder outside and Movies a dangling link."""
    home = created(host)
    host.make_tree("/Library/Outside", {"Music": {"Inner": {}}})
    shutil.rmtree(home / "Documents")
    for name, target in (("Music", "/Library/Outside/Music"), ("Movies", "/nowhere")):
        shutil.rmtree(home / name)
        os.symlink(target, home / name)
        os.lchown(home / name, 501, 20)
    return home


UNMENDED = ["Documents  missing (a repair does not restore it)", "Movies  is a symbolic link (left as it is)",
            "Music  is a symbolic link (left as it is)"]


def test_check_names_what_a_repair_leaves_and_it_stays_so(host):
    unmended_home(host)
    status, out, err = ctl(host, "check", "alice")
    tail = [f"alice ({HOME}): 1 template item missing (a repair does not restore it)",
            f"alice ({HOME}): 2 template items replaced by a symbolic link (left as they are)"]
    assert (status, sorted(out[:3]), out[3:], err) == (0, UNMENDED, [clean(host)] + tail, "")
    assert ctl(host, "check", "alice", "--as-apply") == (0, [clean(host)], "")  # apply knows no template
    assert ctl(host, "repair", "alice")[0] == 0
    assert ctl(host, "check", "alice") == (0, out, "")


def test_unmended_items_in_json(host):
    unmended_home(host)
    status, lines, _ = ctl(host, "check", "alice", "--json")
    objects = [json.loads(line) for line in lines]
    who = {"user": "alice", "home": HOME}
    assert (status, sorted(objects[:-1], key=lambda o: o["path"]), objects[-1]) == (0, [
        {**who, "path": "Documents", "attribute": "missing", "repair_mends": False},
        {**who, "path": "Movies", "attribute": "link", "repair_mends": False},
        {**who, "path": "Music", "attribute": "link", "repair_mends": False}], {
        **who, "items": count(host), "differences": 0, "left_alone": 0, "missing": 1, "links": 2, "complete": True,
        "clean": True})


@pytest.mark.parametrize("languages, wanted", [
    (["French.lproj"], []),  # the English.lproj of the template stands for every language folder
    (["French.lproj", "German.lproj"], []),
    ([], ["Library/English.lproj  missing (a repair does not restore it)"]),  # once, not its Help below it
])
def test_a_language_folder_is_matched_as_the_repair_matches_it(host, languages, wanted):
    host.make_template(non_localized={"Library": {"English.lproj": {"Help": {}}}}, languages={"English": {}})
    home = host.make_tree(HOME, {"Library": {name: {"Help": {}} for name in languages}})
    os.system(f"chown -R 501:20 {home}")
    status, out, _ = ctl(host, "check", "alice")
    assert [line for line in out if line.endswith(("(a repair does not restore it)", "(left as it is)"))
            and not line.startswith("alice (")] == wanted
    assert status == 1  # the modes of a home made by hand differ, and only they count


# --- metrics ---------------------------------------------------------------------------------------------------

NAME = r"[a-zA-Z_:][a-zA-Z0-9_:]*"
LABEL = r'([a-zA-Z_][a-zA-Z0-9_]*)="((?:[^"\\\n]|\\[\\"n])*)"'
SAMPLE = re.compile(rf"({NAME})(?:\{{((?:{LABEL})(?:,{LABEL})*)\}})? (\S+)")
UNESCAPE = {"\\\\": "\\", '\\"': '"', "\\n": "\n"}


def parse_openmetrics(data):
    """{family: (type, {labels as a sorted tuple: value})}, for text that keeps every rule the collector relies
    on: UTF-8, a TYPE line before each family's samples, its samples together, `# EOF` last and only there."""
    text = data.decode("utf-8")  # strict: bytes that are not UTF-8 fail here
    assert text.endswith("\n# EOF\n") and text.count("# EOF") == 1, text
    families, current, closed = {}, None, set()
    for line in text[:-len("# EOF\n")].split("\n")[:-1]:
        if line.startswith("# TYPE "):
            name, kind = line[len("# TYPE "):].split(" ")
            assert kind == "gauge" and name not in families and re.fullmatch(NAME, name), line
            closed.add(current)
            families[name], current = (kind, {}), name
        elif line.startswith("# HELP "):
            assert line[len("# HELP "):].split(" ")[0] == current and not families[current][1], line
        else:
            match = SAMPLE.fullmatch(line)
            assert match and match[1] == current and current not in closed, line
            labels = tuple(sorted((k, re.sub(r'\\[\\"n]', lambda m: UNESCAPE[m[0]], v)) for k, v in
                                  re.findall(LABEL, match[2] or "")))
            value = float(match.groups()[-1])
            assert labels not in families[current][1] and math.isfinite(value), line
            families[current][1][labels] = value
    return families


def home_labels(user, home):
    return (("home", home), ("user", user))


ODD = '/Users/we"ird\\one\x1b'  # a home whose path a label must escape
ODD_SHOWN = r'/Users/we"ird\\one\033'  # as check's lines write it, and as the label reads once unescaped


def metric_homes(host):
    """alice with one difference, Documents missing and two links; bob clean; carol's home made by hand."""
    home = unmended_home(host)
    os.chmod(home / "Library", 0o755)
    host.add_group("bob", 601)  # the policy gives Sites to the user's own group
    assert ctl(host, "create", "bob")[0] == 0
    host.add_user("carol", 503, home=ODD)
    for path in (host.make_tree(ODD, {"notes": "c"}), host.path(ODD) / "notes"):
        os.lchown(path, 503, 20)
    host.path(METRICS).mkdir(parents=True)


def test_openmetrics_counts_every_home_as_check_does(host):
    metric_homes(host)
    before = time.time()
    status, out, err = ctl(host, "check", "--all", "--openmetrics", f"{METRICS}/hollin.prom")
    assert (status, err) == (1, "") and out == ctl(host, "check", "--all")[1]
    target = host.path(METRICS) / "hollin.prom"
    assert os.listdir(host.path(METRICS)) == ["hollin.prom"] and stat.S_IMODE(os.lstat(target).st_mode) == 0o644
    families = parse_openmetrics(target.read_bytes())
    # Each home's counts are those of its summary in check --json.
    summaries = [json.loads(line) for line in ctl(host, "check", "--all", "--json")[1]]
    summaries = {home_labels(o["user"], o["home"].replace("\\", "\\\\").replace("\x1b", "\\033")): o
                 for o in summaries if "items" in o}
    alice, carol = home_labels("alice", HOME), home_labels("carol", ODD_SHOWN)
    assert sorted(summaries) == sorted([alice, home_labels("bob", "/Users/bob"), carol])
    wanted = {"hollin_home_items": "items", "hollin_home_differences": "differences",
              "hollin_home_left_alone_files": "left_alone", "hollin_home_missing_items": "missing",
              "hollin_home_linked_items": "links", "hollin_home_complete": "complete"}
    assert {name: families[name] for name in wanted} == {
        name: ("gauge", {labels: int(o[key]) for labels, o in summaries.items()}) for name, key in wanted.items()}
    assert ({name: families[name][1][alice] for name in wanted}, families["hollin_home_differing_items"][1][alice]) \
        == ({"hollin_home_items": count(host), "hollin_home_differences": 1, "hollin_home_left_alone_files": 0,
             "hollin_home_missing_items": 1, "hollin_home_linked_items": 2, "hollin_home_complete": 1}, 1)
    assert families["hollin_home_differences"][1][carol] > 0 and len(families) == len(wanted) + 2
    (stamp,) = families["hollin_check_timestamp_seconds"][1].items()
    assert stamp[0] == () and before <= stamp[1] <= time.time()
    raw = target.read_bytes()
    assert b'home="/Users/we\\"ird\\\\\\\\one\\\\033"' in raw and b"\x1b" not in raw


def test_openmetrics_as_apply_leaves_out_what_it_does_not_look_for(host):
    metric_homes(host)
    assert ctl(host, "check", "--all", "--as-apply", "--openmetrics", f"{METRICS}/hollin.prom")[0] == 1
    families = parse_openmetrics((host.path(METRICS) / "hollin.prom").read_bytes())
    assert "hollin_home_missing_items" not in families and "hollin_home_linked_items" not in families
    assert families["hollin_home_complete"][1] == {home_labels(u, h): 1 for u, h in (
        ("alice", HOME), ("bob", "/Users/bob"), ("carol", ODD_SHOWN))}


def test_openmetrics_for_one_account_that_cannot_be_checked(host):
    created(host)
    shutil.rmtree(host.path(HOME))
    host.path(METRICS).mkdir(parents=True)
    status, out, err = ctl(host, "check", "alice", "--openmetrics", f"{METRICS}/hollin.prom")
    assert (status, out, err) == (2, [], f"hollinctl: alice: no home at {HOME}\n")
    families = parse_openmetrics((host.path(METRICS) / "hollin.prom").read_bytes())
    assert families["hollin_home_complete"][1] == {home_labels("alice", HOME): 0}
    assert families["hollin_home_items"][1] == {}


def test_openmetrics_replaces_the_file_whole_or_leaves_it(host):
    created(host)
    folder = host.path(METRICS)
    (folder / "hollin.prom" / "in the way").mkdir(parents=True)  # a folder where the file goes: rename fails
    status, out, err = ctl(host, "check", "--all", "--openmetrics", f"{METRICS}/hollin.prom")
    assert (status, err.splitlines()) == (2, [f"hollinctl: cannot write metrics to {METRICS}/hollin.prom: Is a "
                                              "directory"])
    assert os.listdir(folder) == ["hollin.prom"]  # the temporary file is gone
    shutil.rmtree(folder / "hollin.prom")
    (folder / "hollin.prom").write_text("old\n")
    old = os.lstat(folder / "hollin.prom").st_ino  # replaced, not written into
    assert ctl(host, "check", "--all", "--openmetrics", f"{METRICS}/hollin.prom")[0] == 0
    assert os.lstat(folder / "hollin.prom").st_ino != old and os.listdir(folder) == ["hollin.prom"]


@pytest.mark.parametrize("args, message", [
    (["--openmetrics", "/nowhere/hollin.prom"], "cannot write metrics to /nowhere: No such file or directory"),
    (["--openmetrics", f"{METRICS}/"], f"cannot write metrics to {METRICS}/: names no file"),
])
def test_openmetrics_that_cannot_be_written_checks_nothing(host, args, message):
    created(host)
    host.path(METRICS).mkdir(parents=True)
    os.chmod(host.path(HOME), 0o777)  # a difference, which is not reported
    assert ctl(host, "check", "--all", *args) == (2, [], f"hollinctl: {message}\n")
    assert os.listdir(host.path(METRICS)) == []


# --- the daily check as the package installs it ----------------------------------------------------------------

def service_command():
    unit = (REPO / "debian/hollin.hollin-check.service").read_text()
    (command,) = re.findall(r"^ExecStart=(.*)$", unit, re.M)
    argv = command.split()
    assert argv[0] == "/usr/sbin/hollinctl" and "SuccessExitStatus=1" in unit.splitlines()
    return argv[1:]


@pytest.mark.parametrize("collector", [True, False])
def test_the_daily_check_writes_metrics_only_where_a_collector_reads_them(host, collector):
    created(host)
    os.chmod(host.path(HOME), 0o777)
    folder = host.path("/var/lib/prometheus/node-exporter")
    if collector:
        folder.mkdir(parents=True)
    status, out, err = ctl(host, *service_command())
    assert status == 1 and out[-1] == f"alice ({HOME}): 1 difference in 1 of {count(host)} items"
    if collector:
        assert err == "" and os.listdir(folder) == ["hollin.prom"]
        families = parse_openmetrics((folder / "hollin.prom").read_bytes())
        assert families["hollin_home_differences"][1] == {home_labels("alice", HOME): 1}
    else:
        assert err == ("hollinctl: no metrics written: /var/lib/prometheus/node-exporter: No such file or "
                       "directory\n") and not folder.parent.exists()


def test_metrics_optional_needs_openmetrics(host):
    created(host)
    status, out, err = ctl(host, "check", "--all", "--metrics-optional")
    assert (status, out, err.splitlines()[0]) == (2, [], "hollinctl: check: --metrics-optional goes with "
                                                        "--openmetrics")
