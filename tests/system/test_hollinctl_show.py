"""hollinctl show: mode, owner, group, flags, path and access list of an item and what lies below it,
never following a link; and the bash completion of hollinctl."""

import os
import shlex

import pytest

import hoststate as hs
from conftest import HOLLINCTL, REPO, File, Folder, Link, ctl

HOME = "/Users/alice"
ALICE = (501, 20)
DENY_DELETE = " 0: group:everyone deny delete"
ALICE_ALL = (" 1: alice allow list,add_file,search,delete,add_subdirectory,delete_child,readattr,writeattr,"
             "readextattr,writeextattr,readsecurity,writesecurity,chown,file_inherit,directory_inherit")


def show(host, *args):
    return ctl(host, "show", *args)


def test_a_home_after_the_permission_pass(host):
    host.make_template()
    host.make_tree(HOME, {"Public": {"Drop Box": {"inside": "x"}}, "Documents": {"notes.txt": "x"},
                          ".localized": "", "link": Link("/etc/passwd")})
    assert host.run(["-apply", HOME, "501", "20", "3", "-", "", "alice"])[0] == 0
    assert show(host, f"{HOME}/Public/Drop Box") == (0, [
        f"drwx------  alice  staff  -  {HOME}/Public/Drop Box", DENY_DELETE, ALICE_ALL,
        "-rw-------  alice  staff  -  inside"], "")
    # The home, then its direct entries only, sorted by name and relative to it.
    assert show(host, HOME) == (0, [
        f"drwxr-x---  alice  staff  -  {HOME}", DENY_DELETE,
        "-rw-r--r--  alice  staff  -  .localized",
        "drwx------  alice  staff  -  Documents", DENY_DELETE,
        "drwx------  alice  staff  -  Public", DENY_DELETE,
        "lrwxrwxrwx  alice  staff  -  link -> /etc/passwd"], "")
    assert show(host, "-R", f"{HOME}/Public") == (0, [
        f"drwx------  alice  staff  -  {HOME}/Public", DENY_DELETE,
        "drwx------  alice  staff  -  Drop Box", DENY_DELETE, ALICE_ALL,
        "-rw-------  alice  staff  -  Drop Box/inside"], "")


def _links_home(host):
    host.make_tree("/Library/Outside", {"secret": "s"})
    host.make_tree("/Users", {"alice": Folder({
        "to-outside": Link("/Library/Outside", owner=ALICE), "dangling": Link("../nowhere", owner=ALICE),
        "file": File("x", mode=0o600, owner=ALICE)}, mode=0o750, owner=ALICE)})
    os.symlink("/Users", host.path("/Library/Homes"))  # root's, in a folder only root can write: followed


@pytest.mark.parametrize("args, line", [
    (["-R", f"{HOME}/to-outside"], f"lrwxrwxrwx  alice  staff  -  {HOME}/to-outside -> /Library/Outside"),
    ([f"{HOME}/to-outside/"], f"lrwxrwxrwx  alice  staff  -  {HOME}/to-outside/ -> /Library/Outside"),
    (["/Library/Homes/alice/dangling"], "lrwxrwxrwx  alice  staff  -  /Library/Homes/alice/dangling -> ../nowhere"),
])
def test_a_link_is_shown_as_itself(host, args, line):
    _links_home(host)
    assert show(host, *args) == (0, [line], "")


def test_a_folder_listing_does_not_enter_links(host):
    _links_home(host)
    assert show(host, "-R", HOME) == (0, [
        f"drwxr-x---  alice  staff  -  {HOME}", "lrwxrwxrwx  alice  staff  -  dangling -> ../nowhere",
        "-rw-------  alice  staff  -  file", "lrwxrwxrwx  alice  staff  -  to-outside -> /Library/Outside"], "")


@pytest.mark.parametrize("path", ["/Users/nobody", f"{HOME}/to-outside/secret", f"{HOME}/file/x",
                                  f"{HOME}/dangling/x"])
def test_an_unreachable_path_is_status_2(host, path):
    # A link on the way that alice placed is never followed, even to a place that exists.
    _links_home(host)
    code, lines, err = show(host, "-R", path)
    assert (code, lines) == (2, []) and err.startswith(f"hollinctl: show: {path}: "), err


def _chain(depth):
    """Folders d/d/... `depth` deep, each also holding a file x after its d."""
    return {"d": Folder(_chain(depth - 1), mode=0o755), "x": ""} if depth else {}


def _chain_lines(depth, prefix="deep"):
    if not depth:
        return []
    return [f"drwxr-xr-x  root  wheel  -  {prefix}/d", *_chain_lines(depth - 1, prefix + "/d"),
            f"-rw-r--r--  root  wheel  -  {prefix}/x"]


def test_recursive_listing_is_sorted_depth_first_with_names_or_numbers(host):
    top = f"{HOME}/t"
    host.make_tree(top, {
        "b": Folder({"z": File("", mode=0o4755), "a": File("", mode=0o2640, owner=(777, 888))}, mode=0o1777),
        "B": Folder({}, mode=0o1770), "a": File("", mode=0o600, owner=(502, 0)), "new\nline": File("", mode=0o644),
        "deep": Folder(_chain(40), mode=0o755)})
    os.chmod(host.path(top), 0o755)
    os.mkfifo(host.path(f"{top}/fifo"), 0o640)
    hs.add_flags(host.path(f"{top}/b"), hs.UF_HIDDEN | hs.UF_NODUMP | 0x10000)
    # 40 levels keep more folders than the listing holds open: leaving them re-enters their parents.
    assert show(host, "-R", top) == (0, [
        f"drwxr-xr-x  root  wheel  -  {top}",
        "drwxrwx--T  root  wheel  -  B",
        "-rw-------  bob  wheel  -  a",
        "drwxrwxrwt  root  wheel  nodump,hidden,0x10000  b",
        "-rw-r-S---  777  888  -  b/a",
        "-rwsr-xr-x  root  wheel  -  b/z",
        "drwxr-xr-x  root  wheel  -  deep", *_chain_lines(40),
        "prw-r-----  root  wheel  -  fifo",
        r"-rw-r--r--  root  wheel  -  new\012line"], "")
    # An item whose list cannot be read is still shown, and the status says so.
    os.setxattr(host.path(f"{top}/a"), hs.ACL_ATTRIBUTE, b"VACL\x02\x00\x00\x00")
    code, lines, err = show(host, top)
    assert code == 1 and "-rw-------  bob  wheel  -  a" in lines and f"{top}/a" in err


def _complete(host, cases):
    """What the completion offers for each list of words typed, the last being completed."""
    script = [". /tmp/hollinctl.bash", 'eval "$(complete -p hollinctl | sed -n "s/.* -F \\([^ ]*\\) .*/fn=\\1/p")"']
    for words in cases:
        script.append(f"COMP_WORDS=({' '.join(map(shlex.quote, words))}); COMP_CWORD={len(words) - 1}; COMPREPLY=()"
                      f"; $fn hollinctl {shlex.quote(words[-1])} {shlex.quote(words[-2])}"
                      """; printf '%s|' "${COMPREPLY[@]}"; echo""")
    done = host.sandbox(["/bin/bash", "-c", "\n".join(script)])
    assert done.returncode == 0 and not done.stderr, done.stderr
    return [sorted(filter(None, line.split("|"))) for line in done.stdout.splitlines()]


def test_bash_completion(host):
    host.make_tree("/Users", {"alice": {}, "bob": {}})
    host.add_user("carol", 503)  # /Users/carol does not exist
    host.add_user("dave", 504, home="")
    (host.path("/tmp") / "hollinctl.bash").write_bytes((REPO / "share/completion/hollinctl").read_bytes())
    cases = {  # the words typed: what is offered
        ("hollinctl", ""): ["apply", "check", "create", "delete", "repair", "show", "template"],
        ("hollinctl", "re"): ["repair"],
        ("hollinctl", "check", ""): ["alice", "bob", "daemon"],  # daemon's home is /var/root
        ("hollinctl", "create", "c"): ["carol"],  # create offers only the accounts whose home is missing
        ("hollinctl", "create", "a"): [],
        ("hollinctl", "apply", "--dry-run", "b"): ["bob"],
        ("hollinctl", "delete", "r"): [],
        ("hollinctl", "check", "--"): ["--all", "--as-apply", "--help", "--json", "--metrics-optional",
                                       "--openmetrics"],
        ("hollinctl", "check", "--all", ""): [],
        ("hollinctl", "check", "--all", "--openmetrics", "/Users/b"): ["/Users/bob"],  # a file's name
        ("hollinctl", "show", "-"): ["--help", "-R"],
        ("hollinctl", "show", "-R", "/Users/a"): ["/Users/alice"],
        ("hollinctl", "show", "al"): ["alice"],
    }
    assert _complete(host, cases) == list(cases.values())
    languages = [("hollinctl", "create", "alice", "--language", ""), ("hollinctl", "create", "--language", "F")]
    host.make_template("System/Library/User Template", languages={"German": {}})
    assert _complete(host, languages) == [["German"], []]
    # The boot volume's template is /Library/User Template once there is one.
    host.make_template(languages={"French": {}, "English": {}})
    assert _complete(host, languages) == [["English", "French"], ["French"]]
