"""The installed layout (`cmake --install`, helpers in their own folder) on a plain Debian root: Debian's
chmod, chgrp and chown, no /usr/bin/mirra (scripts/sandbox --installed). Built once per source digest."""

import hashlib
import os
import pathlib
import re
import shutil
import stat
import subprocess
import tempfile

import pytest

import hoststate as hs
from conftest import REPO, SANDBOX, SANITIZER_ENV, Host, Link, parse_syslog

# The package's own settings: Debian's places (homes in /home, templates in /etc/hollin and /usr/share/hollin,
# state in /var/lib/hollin, each account's own group for a repair, helpers in /usr/libexec/hollin).
CMAKE_OPTIONS = ["-C", str(REPO / "cmake/debian.cmake"), "-DCMAKE_BUILD_TYPE=Release", "-DCMAKE_INSTALL_PREFIX=/usr",
                 "-DBUILD_TESTING=OFF", "-DHOLLIN_BENCHMARKS=OFF"]
SAMPLE, TEMPLATE = "/usr/share/hollin/user-template", "/etc/hollin/user-template"
DENY_DELETE = (hs.DENY, hs.PERMS["delete"], 0, hs.EVERYONE)
# A stock Debian machine's accounts: each with a private group of its own, homes under /home.
DEBIAN_PASSWD = [("root", 0, 0, "root", "/root", "/bin/bash"), ("daemon", 1, 1, "daemon", "/usr/sbin", "/usr/sbin/nologin"),
                 ("alice", 1000, 1000, "Alice,,,", "/home/alice", "/bin/bash"),
                 ("bob", 1001, 1001, "Bob,,,", "/home/bob", "/bin/bash")]
DEBIAN_GROUP = [("root", 0, []), ("daemon", 1, []), ("staff", 50, []), ("users", 100, []),
                ("alice", 1000, []), ("bob", 1001, [])]


def allow_all(uid):
    return (hs.ALLOW, hs.ALL_PERMS, hs.FILE_INHERIT | hs.DIRECTORY_INHERIT, hs.account_uuid(uid))


def source_digest():
    """Of the build options and the files (tracked or not ignored) that the build reads."""
    listed = subprocess.run(["git", "-C", str(REPO), "ls-files", "-z", "--cached", "--others", "--exclude-standard"],
                            capture_output=True, check=True).stdout.decode().split("\0")
    digest = hashlib.sha256("\0".join(CMAKE_OPTIONS).encode())
    for name in sorted(set(listed)):
        if name and not name.startswith(("tests/", "bench/", "debian/", "scripts/")) and (REPO / name).is_file():
            digest.update(name.encode() + b"\0" + hashlib.sha256((REPO / name).read_bytes()).digest())
    return digest.hexdigest()[:20]


@pytest.fixture(scope="session")
def installed():
    dest = pathlib.Path(tempfile.gettempdir()) / f"hollin-installed-{source_digest()}"
    if (dest / "usr/sbin/hollin").exists():
        return dest
    work = pathlib.Path(tempfile.mkdtemp(prefix="hollin-install-build-"))
    try:
        for step in (["cmake", "-S", REPO, "-B", work / "build", *CMAKE_OPTIONS],
                     ["cmake", "--build", work / "build", "-j", str(os.cpu_count() or 1)],
                     ["cmake", "--install", work / "build"]):
            done = subprocess.run(list(map(str, step)), capture_output=True, text=True,
                                  env={**os.environ, "DESTDIR": str(work / "dest")})
            if done.returncode != 0:
                pytest.fail(f"install failed: {step}\n{done.stdout[-4000:]}\n{done.stderr[-4000:]}", pytrace=False)
        try:
            os.rename(work / "dest", dest)  # whole or not at all
        except OSError:
            if not (dest / "usr/sbin/hollin").exists():
                raise
    finally:
        shutil.rmtree(work)
    return dest


class InstalledHost(Host):
    def __init__(self, root):
        super().__init__(root)
        self._passwd, self._group = list(DEBIAN_PASSWD), [(n, g, list(m)) for n, g, m in DEBIAN_GROUP]
        self._write_accounts()
        for folder in ("root", "var/lib", "etc/skel"):
            self.path(folder).mkdir(parents=True, exist_ok=True)

    def sandbox(self, argv, uid=None, log_socket=None):
        cmd = [str(SANDBOX), "--installed", *(["--log", str(log_socket)] if log_socket else []),
               *(["--uid", str(uid)] if uid is not None else []), self.root, self.build, "--", *argv]
        cmd = list(map(str, cmd))
        return subprocess.run(cmd, capture_output=True, text=True, errors="surrogateescape",
                              env={**SANITIZER_ENV, **os.environ}, timeout=300)

    def run(self, args, uid=None):
        done, datagrams = self.run_logged([self.hollin, *args], uid=uid)
        assert "bwrap:" not in done.stderr and "cannot run" not in done.stderr, done.stderr
        return done.returncode, [parse_syslog(d) for d in datagrams]

    def ctl(self, *args):
        """hollinctl ARGS: (status, standard output lines, standard error)."""
        done = self.sandbox(["/usr/sbin/hollinctl", *args])
        assert "bwrap:" not in done.stderr, done.stderr
        return done.returncode, done.stdout.splitlines(), done.stderr


@pytest.fixture
def host(tmp_path, installed):
    h = InstalledHost(tmp_path / "root")
    h.build, h.hollin = installed, "/usr/sbin/hollin"
    yield h
    h.close()


def tree(top):
    """{relative path: (mode, uid, gid)} of `top` and all below it, links left out."""
    found = [top] + [pathlib.Path(d) / n for d, dirs, files in os.walk(top) for n in dirs + files]
    return {str(p.relative_to(top)): (stat.S_IMODE(st.st_mode), st.st_uid, st.st_gid)
            for p in found if not stat.S_ISLNK((st := os.lstat(p)).st_mode)}


def state(home):
    return tree(home), [hs.acl(home), hs.acl(home / "Public/Drop Box")]


def made_by_the_sample(home, uid, policy):
    """What a creation from the sample gives: the per-item rules, and the sample's policy when it was read."""
    special = {".": (0o750, uid, uid)}
    if policy:
        special.update({"Public": (0o755, uid, uid), "Sites": (0o755, uid, uid), "Public/Drop Box": (0o733, uid, uid)})
    modes = {rel: special.get(rel, (0o700 if (home / rel).is_dir() else 0o644 if rel.endswith(".localized")
                                    else 0o600, uid, uid)) for rel in tree(home)}
    return modes, [[DENY_DELETE], [DENY_DELETE, allow_all(uid)]]


def test_layout_keeps_the_helpers_off_the_path(installed):
    usr = installed / "usr"
    assert (sorted(os.listdir(usr / "sbin")), sorted(os.listdir(usr / "bin"))) == (["hollin", "hollinctl"], ["hollin-ls"])
    assert set(os.listdir(usr / "libexec/hollin")) == {"chmod", "chgrp", "chown", "touch", "mirra"}
    assert (usr / "share/hollin/user-template/__permissions.plist").is_file()
    # The manual page names the places of this build, not the host system's.
    page = (usr / "share/man/man8/hollin.8").read_text()
    assert TEMPLATE in page and SAMPLE in page and "/var/lib/hollin" in page and "/etc/hollin/preferences" in page
    assert not re.search(r'(^|[\s"(])/Users', page) and "/Library/User Template" not in page and "/var/root" not in page
    # No installed program carries the test builds' pause points (their variable's name would be in it).
    programs = [usr / "sbin/hollin", usr / "sbin/hollinctl", *(usr / "libexec/hollin").iterdir()]
    assert [p.name for p in programs if b"HOLLIN_PAUSE_AT" in p.read_bytes()] == []


def test_a_fresh_install_creates_checks_and_repairs_homes_under_home(host):
    # No template copied: the shipped sample serves, without its policy (the administrator's template has none).
    host.make_tree("/home/alice/Desktop", {"ghost": Link("/etc/touched")})  # find must run the installed touch
    for folder in ("/home/alice", "/home/alice/Desktop"):
        os.lchown(host.path(folder), 1000, 1000)
    status, out, err = host.ctl("create", "alice", "--into-existing")
    assert status == 0, err
    home = host.path("/home/alice")
    assert (home / "Sites/index.html").is_file() and not os.path.lexists(host.path("/etc/touched"))
    assert state(home) == made_by_the_sample(home, 1000, policy=False)
    status, out, _ = host.ctl("check", "alice")
    assert status == 0 and out == [f"alice (/home/alice): clean, {len(tree(home)) + 1} items"]  # the ghost link too
    for rel, owner in (("", (0, 0)), ("Documents", (1001, 50)), ("Sites/index.html", (0, 50))):
        os.lchown(home / rel, *owner)
        os.chmod(home / rel, 0o777)
    status, out, _ = host.ctl("check", "alice")
    assert status == 1 and out[-1].startswith("alice (/home/alice): 6 differences in 3 of"), out
    assert {"Documents  owner bob:staff -> alice:alice", "Documents  mode 0777 -> 0700"} <= set(out)
    status, _, err = host.ctl("repair", "alice")
    assert status == 0 and "repair alice (/home/alice): done" in err, err
    assert host.ctl("check", "alice")[0] == 0
    assert {v[1:] for v in tree(home).values()} == {(1000, 1000)}  # the account's own group, not staff
    # The tool's own preferences are kept in /var/lib/hollin, nowhere in root's home.
    assert host.path("/var/lib/hollin/com.velmora.Tessmark.plist").is_file()
    assert not host.path("/root/Library").exists()


def test_the_administrator_s_template_and_its_policy_come_first(host):
    done = host.sh(f'mkdir -p /etc/hollin && cp -R "{SAMPLE}" "{TEMPLATE}" && '
                   f'echo mine > "{TEMPLATE}/Non_localized/Welcome.txt"')
    assert done.returncode == 0, done.stderr
    assert host.run(["x", "/home/alice", "1000", "1000", "1", "ignored", "fr", "alice"]) == (0, [])
    home = host.path("/home/alice")
    assert (home / "Welcome.txt").read_text() == "mine\n"
    assert "Bienvenue" in (home / "Sites/index.html").read_text(encoding="utf-8")
    assert state(home) == made_by_the_sample(home, 1000, policy=True)


def test_permissions_fallback_runs_the_installed_chmod(host):
    home = host.make_tree("/home/alice", {"Sites": {"Streaming": {"clip": "x"}}, "Public": {"Drop Box": {}}})
    host.add_group("vexa", 80)
    # Debian's chmod refuses `+a`: that would log setPermissions:45 and :76 Error:1.
    assert host.run(["x", "/home/alice", "1000", "1000", "3", "ignored", "English", "alice"]) == (0, [])
    assert state(home)[1] == [[DENY_DELETE], [DENY_DELETE, allow_all(1000)]]
    assert tree(home)["Sites/Streaming/clip"] == (0o600, 1000, 80)  # chgrp -R vexa


def test_purge_leaves_nothing_of_the_package_s_own(host):
    host.make_tree("/etc/hollin", {"preferences": {".GlobalPreferences.plist": "x"}})
    assert host.ctl("create", "alice")[0] == 0
    assert host.path("/var/lib/hollin/com.velmora.Tessmark.plist").is_file()
    shutil.copy(REPO / "debian/postrm", host.path("/tmp/postrm"))
    done = host.sh("sh /tmp/postrm purge")
    assert done.returncode == 0, done.stderr
    assert not host.path("/var/lib/hollin").exists() and not host.path("/etc/hollin").exists()
    assert host.path("/home/alice/Desktop").is_dir()  # homes are the accounts', never the package's


def wiring_snippets():
    """The literal blocks of hollinctl(8)'s "Wiring it in", in order: what administrators copy."""
    page = (REPO / "docs/man/hollinctl.8").read_text()
    section = page[page.index(".Ss Wiring it in"):]
    section = section[:section.index("\n.Ss ", 1)]
    return [block.strip("\n") for block in re.findall(r"\.Bd -literal[^\n]*\n(.*?)\.Ed", section, re.S)]


def test_the_wiring_snippets_are_the_ones_tested():
    pam, adduser, deluser, login_defs, userdel = wiring_snippets()
    assert pam == "session optional pam_exec.so /usr/sbin/hollinctl create --if-missing"
    assert login_defs.startswith("USERDEL_CMD ")
    assert all(script.startswith("#!/bin/sh\n") for script in (adduser, deluser, userdel))


def pam_service(host):
    """common-session holding the page's line, and a service that includes it, as Debian's services do."""
    pam = wiring_snippets()[0]
    other = "".join(f"{kind} required pam_deny.so\n" for kind in ("auth", "account", "password", "session"))
    host.make_tree("/etc/pam.d", {"common-session": pam + "\n", "hollin-login": "@include common-session\n",
                                  "other": other})
    return ["pamtester", "hollin-login", "alice", "open_session"]


def test_first_login_through_pam_exec_creates_the_home_once(host):
    login = pam_service(host)
    home = host.path("/home/alice")
    done = host.sandbox(login)
    assert done.returncode == 0 and home.is_dir() and os.lstat(home)[4:6] == (1000, 1000), done.stderr
    before = host.snapshot()
    assert host.sandbox(login).returncode == 0 and host.snapshot() == before  # a second session changes nothing
    # Several sessions at once (parallel logins of a new account): one creation, and nothing logged.
    both = f"{' '.join(login)} & {' '.join(login)} & wait"
    for _ in range(20):
        shutil.rmtree(home)
        done, datagrams = host.run_logged(["/bin/sh", "-c", both])
        assert (done.returncode, [parse_syslog(d) for d in datagrams]) == (0, []), done.stderr
        assert state(home) == made_by_the_sample(home, 1000, policy=False)


def test_close_session_and_other_pam_variables_change_nothing(host):
    login = pam_service(host)
    before = host.snapshot()
    assert host.sandbox([*login[:3], "close_session"]).returncode == 0
    assert host.snapshot() == before and not host.path("/home/alice").exists()


def test_adduser_and_deluser_hooks_make_and_remove_the_home(host):
    _, adduser, deluser, _, userdel = wiring_snippets()
    host.make_tree("/etc/hooks", {"adduser.local": adduser + "\n", "deluser.local": deluser + "\n",
                                  "userdel-hollin": userdel + "\n"})
    home = host.path("/home/alice")
    assert host.sh("sh /etc/hooks/adduser.local alice 1000 1000 /home/alice").returncode == 0
    assert state(home) == made_by_the_sample(home, 1000, policy=False)
    # deluser runs its hook once the account is gone; a system account's is never touched.
    host._passwd = [p for p in host._passwd if p[0] != "alice"]
    host._write_accounts()
    kept = host.make_tree("/var/daemon-home", {"keep": "x"})
    os.lchown(kept, 1, 1)
    assert host.sh("sh /etc/hooks/deluser.local daemon 1 1 /var/daemon-home").returncode == 0
    assert (kept / "keep").exists()
    done = host.sh("sh /etc/hooks/deluser.local alice 1000 1000 /home/alice")
    assert done.returncode == 0 and not home.exists(), done.stderr
    # userdel runs USERDEL_CMD while the account still exists.
    assert host.sh("sh /etc/hooks/adduser.local bob 1001 1001 /home/bob").returncode == 0
    done = host.sh("sh /etc/hooks/userdel-hollin bob")
    assert done.returncode == 0 and not host.path("/home/bob").exists(), done.stderr
