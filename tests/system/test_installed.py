"""The installed layout (`cmake --install`, helpers in their own folder) on a plain Debian root: Debian's
chmod, chgrp and chown, no /usr/bin/mirra (scripts/sandbox --installed). Built once per source digest."""

import hashlib
import os
import pathlib
import shutil
import stat
import subprocess
import tempfile

import pytest

import hoststate as hs
from conftest import REPO, SANDBOX, SANITIZER_ENV, Host, Link, parse_syslog

CMAKE_OPTIONS = ["-DCMAKE_BUILD_TYPE=Release", "-DCMAKE_INSTALL_PREFIX=/usr", "-DHOLLIN_HELPER_DIR=/usr/libexec/hollin",
                 "-DCMAKE_INSTALL_LIBEXECDIR=libexec", "-DBUILD_TESTING=OFF", "-DHOLLIN_BENCHMARKS=OFF"]
TEMPLATE = "/Library/User Template"
DENY_DELETE = (hs.DENY, hs.PERMS["delete"], 0, hs.EVERYONE)


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


@pytest.fixture
def host(tmp_path, installed):
    h = InstalledHost(tmp_path / "root")
    h.build, h.hollin = installed, "/usr/sbin/hollin"
    done = h.sh(f'cp -R /usr/share/hollin/user-template "{TEMPLATE}"')  # as an administrator would
    assert done.returncode == 0, done.stderr
    yield h
    h.close()


def tree(top):
    """{relative path: (mode, uid, gid)} of `top` and all below it, links left out."""
    found = [top] + [pathlib.Path(d) / n for d, dirs, files in os.walk(top) for n in dirs + files]
    return {str(p.relative_to(top)): (stat.S_IMODE(st.st_mode), st.st_uid, st.st_gid)
            for p in found if not stat.S_ISLNK((st := os.lstat(p)).st_mode)}


def state(home):
    return tree(home), [hs.acl(home), hs.acl(home / "Public/Drop Box")]


def made_by_the_sample(home, uid):
    special = {".": (0o750, uid, 20), "Public": (0o755, uid, 20), "Sites": (0o755, uid, uid),
               "Public/Drop Box": (0o733, uid, uid)}
    modes = {rel: special.get(rel, (0o700 if (home / rel).is_dir() else 0o644 if rel.endswith(".localized")
                                    else 0o600, uid, 20)) for rel in tree(home)}
    return modes, [[DENY_DELETE], [DENY_DELETE, allow_all(uid)]]


def test_layout_keeps_the_helpers_off_the_path(installed):
    usr = installed / "usr"
    assert (sorted(os.listdir(usr / "sbin")), sorted(os.listdir(usr / "bin"))) == (["hollin", "hollinctl"], ["hollin-ls"])
    assert set(os.listdir(usr / "libexec/hollin")) == {"chmod", "chgrp", "chown", "touch", "mirra"}
    assert (usr / "share/hollin/user-template/__permissions.plist").is_file()


def test_full_creation_from_the_installed_template(host):
    host.add_group("alice", 501)  # the sample policy gives Sites to the user's own group
    # A dangling link whose target GNU touch would create; find must run the installed touch.
    host.make_tree("/Users/alice/Desktop", {"ghost": Link("/Library/touched")})
    assert host.run(["x", "/Users/alice", "501", "20", "1", "ignored", "fr", "alice"]) == (0, [])
    home = host.path("/Users/alice")
    assert "Bienvenue" in (home / "Sites/index.html").read_text(encoding="utf-8")
    assert state(home) == made_by_the_sample(home, 501)
    assert not os.path.lexists(host.path("/Library/touched"))


def test_permissions_fallback_runs_the_installed_chmod(host):
    host.path(f"{TEMPLATE}/__permissions.plist").unlink()
    home = host.make_tree("/Users/alice", {"Sites": {"Streaming": {"clip": "x"}}, "Public": {"Drop Box": {}}})
    # Debian's chmod refuses `+a`: that would log setPermissions:45 and :76 Error:1.
    assert host.run(["x", "/Users/alice", "501", "20", "3", "ignored", "English", "alice"]) == (0, [])
    assert state(home)[1] == [[DENY_DELETE], [DENY_DELETE, allow_all(501)]]
    assert tree(home)["Sites/Streaming/clip"] == (0o600, 501, 80)  # chgrp -R vexa


def test_repair_gives_the_build_s_staff_group(host):
    host.add_user("dora", 503, gid=80)  # a primary group other than staff
    host.add_group("dora", 503)
    assert host.run(["x", "/Users/dora", "503", "20", "1", "ignored", "en", "dora"]) == (0, [])
    home = host.path("/Users/dora")
    made = made_by_the_sample(home, 503)
    assert state(home) == made
    for rel, owner in (("", (0, 0)), ("Documents", (502, 80)), ("Sites/index.html", (0, 80)),
                       ("Library/Preferences/.GlobalPreferences.plist", (0, 0))):
        os.lchown(home / rel, *owner)
        os.chmod(home / rel, 0o777)
    hs.set_acl(home / "Public/Drop Box", [])
    check = ["/usr/sbin/hollinctl", "check", "dora"]
    found = host.sandbox(check)
    assert found.returncode == 1, found.stderr
    assert found.stdout.splitlines()[-3:] == [
        "Public/Drop Box  list missing: group:everyone deny delete",
        "Public/Drop Box  list missing: dora allow " + ",".join([*hs.PERMS, "file_inherit", "directory_inherit"]),
        "dora (/Users/dora): 9 differences in 5 of 37 items"]
    # The installed front end runs the installed tool beside it.
    done = host.sandbox(["/usr/sbin/hollinctl", "repair", "dora"])
    assert done.returncode == 0 and "hollinctl: repair dora (/Users/dora): done" in done.stderr, done.stderr
    assert state(home) == made  # owners back, the group is the build's staff group (20)
    assert host.sandbox(check).returncode == 0
