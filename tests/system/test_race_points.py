"""The race between a pin and its use, lost on purpose: a test build stops at a named point (HOLLIN_PAUSE_AT) and
runs a program (HOLLIN_PAUSE_RUN) that swaps the pinned item for a symbolic link to, or another name (hard link) of,
an item outside. The change still lands on the pinned item, moved aside as NAME.was, and nothing outside changes."""

import os
import plistlib
import stat
import subprocess

import pytest

import hoststate as hs
from conftest import BUILD, File, Folder, make_tree

OLD = 1_000_000_000
OTHER = [(hs.DENY, hs.PERMS["chown"], 0, hs.account_uuid(502))]  # a list no helper would write
DENY_DELETE = (hs.DENY, hs.PERMS["delete"], 0, hs.EVERYONE)


def pause_points_built():
    try:
        return "HOLLIN_PAUSE_POINTS:BOOL=ON" in (BUILD / "CMakeCache.txt").read_text().splitlines()
    except OSError:
        return False


pytestmark = pytest.mark.skipif(not pause_points_built(),
                                reason=f"{BUILD} was configured without HOLLIN_PAUSE_POINTS: no pause points")


def state(top):
    """{path: (type and mode, uid, gid, mtime, atime, list)} of `top` and all below it, links not followed. Not the
    ctime: making another name of a file changes it."""
    paths = [str(top)] + [os.path.join(d, n) for d, dirs, files in os.walk(top) for n in dirs + files]
    return {p: (st.st_mode, st.st_uid, st.st_gid, st.st_mtime_ns, st.st_atime_ns, hs.acl(p))
            for p in paths for st in [os.lstat(p)]}


# The swap, made by the program at the point when the item it is told of is `victim` (and only once): the victim
# is moved aside and something else takes its name.
SWAPS = {"symbolic link": 'ln -s "$OUTSIDE" "$2"', "hard link": 'ln "$OUTSIDE" "$2"'}
SWAPPER = """#!/bin/sh
[ "$2" = '{victim}' ] && ! [ -e '{victim}.was' ] || exit 0
mv "$2" "$2.was" || exit 1
OUTSIDE='{outside}'
{swap} && echo "$1" >>'{log}'
"""


def swapper(path, victim, outside, swap, log):
    path.write_text(SWAPPER.format(victim=victim, outside=outside, swap=SWAPS[swap], log=log))
    os.chmod(path, 0o755)
    return path


def looks(path):
    st = os.lstat(path)
    return stat.S_IMODE(st.st_mode), st.st_uid, st.st_gid, st.st_mtime > OLD, hs.acl(path)


# Each helper run as root on an item of 501's: its arguments ({victim} the swapped item, {dir} the folder holding
# it), its point, and what the pinned item looks like afterwards (mode, uid, gid, touched, list).
HELPERS = {
    "chmod": (["chmod", "0600", "{victim}"], "chmod", (0o600, 501, 20, False, [])),
    "chmod +a": (["chmod", "+a", "group:everyone deny delete", "{victim}"], "chmod",
                 (0o644, 501, 20, False, [DENY_DELETE])),
    "chown": (["chown", "502:80", "{victim}"], "chown", (0o644, 502, 80, False, [])),
    "chown -R": (["chown", "-R", "502:80", "{dir}"], "chown", (0o644, 502, 80, False, [])),
    "chgrp": (["chgrp", "80", "{victim}"], "chgrp", (0o644, 501, 80, False, [])),
    "chgrp -R": (["chgrp", "-R", "80", "{dir}"], "chgrp", (0o644, 501, 80, False, [])),
    "touch": (["touch", "{victim}"], "touch", (0o644, 501, 20, True, [])),
}


@pytest.fixture
def staged(work):
    """work/home/dir/victim (all 501's, every time stamp OLD) and work/outside/sentinel, root's, with a list."""
    make_tree(work, {"outside": {"sentinel": File("keep", mode=0o640)},
                     "home": Folder({"dir": Folder({"victim": File("mine", mode=0o644, owner=(501, 20)),
                                                    "other": File("x", mode=0o644, owner=(501, 20))},
                                                   owner=(501, 20))}, owner=(501, 20))})
    hs.set_acl(work / "outside/sentinel", OTHER)
    for path in state(work):
        os.utime(path, (OLD, OLD), follow_symlinks=False)
    return work.resolve()


@pytest.mark.parametrize("swap", SWAPS)
@pytest.mark.parametrize("helper", HELPERS)
def test_helpers_change_the_pinned_item(staged, helper, swap):
    args, point, pinned = HELPERS[helper]
    victim, outside, log = staged / "home/dir/victim", staged / "outside/sentinel", staged / "swaps"
    program = swapper(staged / "swap", victim, outside, swap, log)
    before = state(staged / "outside")
    result = subprocess.run([str(BUILD / "bin" / args[0]), *(a.format(victim=victim, dir=victim.parent)
                                                               for a in args[1:])],
                            capture_output=True, text=True, timeout=60,
                            env={**os.environ, "HOLLIN_PAUSE_AT": point, "HOLLIN_PAUSE_RUN": str(program)})
    assert log.read_text() == f"{point}\n", result.stderr  # swapped once, inside the window
    assert state(staged / "outside") == before
    assert looks(f"{victim}.was") == pinned
    if "-R" not in args:  # a recursive change may meet the new name too, and leave it alone
        assert (result.returncode, result.stderr) == (0, "")


# The pass over a home as the tool runs it (uid 501, group 20 named): a file whose mode the rules change is
# swapped between its pin and the change of its mode, or of its owner, or inside the chmod that the policy has
# the tool run on it afterwards (the points' variables reach the helpers it runs). The mode the pinned file ends
# with: the rules', or the policy's.
PASS = ["x", "/Users/alice", "501", "20", "3", "ignored", "English", "alice"]
POLICY = [{"Command": "CHMOD", "Argument": "640", "Paths": ["Documents/victim"]}]
POINTS = {"pinned-mode": 0o600, "pinned-owner": 0o600, "chmod": 0o640}
OUTSIDE = {"symbolic link": "/etc/sentinel.conf", "hard link": "/Users/root-gw"}  # a hard link stays on its mount


@pytest.mark.parametrize("swap", SWAPS)
@pytest.mark.parametrize("point", POINTS)
def test_the_pass_changes_the_pinned_item(host, point, swap):
    host.make_template().joinpath("__permissions.plist").write_bytes(plistlib.dumps(POLICY))
    host.make_tree("/etc", {"sentinel.conf": File("keep\n", mode=0o644)})
    documents = Folder({"victim": File("mine", mode=0o644, owner=(502, 20))}, mode=0o700, owner=(501, 20))
    host.make_tree("/Users", {"root-gw": File("gateway\n", mode=0o660, owner=(0, 20)),
                              "alice": Folder({"Documents": documents}, mode=0o750, owner=(501, 20))})
    for path in OUTSIDE.values():
        hs.set_acl(host.path(path), OTHER)
        os.utime(host.path(path), (OLD, OLD))
    watched = {path: state(host.path(path)) for path in OUTSIDE.values()}
    victim = "/Users/alice/Documents/victim"
    swapper(host.path("/var/swap"), victim, OUTSIDE[swap], swap, "/var/swaps")
    done, _ = host.run_logged(["/usr/bin/env", f"HOLLIN_PAUSE_AT={point}", "HOLLIN_PAUSE_RUN=/var/swap", host.hollin,
                               *PASS])
    assert host.path("/var/swaps").read_text() == f"{point}\n", done.stderr
    assert {path: state(host.path(path)) for path in OUTSIDE.values()} == watched
    assert looks(host.path(victim + ".was"))[:3] == (POINTS[point], 501, 20)
    assert done.returncode == 0, done.stderr


# A folder that mirra copies into, swapped after it was resolved for a link to a folder outside: the copy fails and
# nothing reaches the folder outside.
def test_mirra_opens_only_the_resolved_folder(staged):
    make_tree(staged, {"source": {"copied": "new"}, "outside": {"dir": {"keep": "x"}}})
    victim, log = staged / "home/dir", staged / "swaps"
    program = swapper(staged / "swap", victim, staged / "outside/dir", "symbolic link", log)
    before = state(staged / "outside")
    result = subprocess.run([str(BUILD / "bin/mirra"), staged / "source", victim], capture_output=True, text=True,
                            timeout=60, env={**os.environ, "HOLLIN_PAUSE_AT": "open-trusted",
                                             "HOLLIN_PAUSE_RUN": str(program)})
    assert log.read_text() == "open-trusted\n", result.stderr
    assert result.returncode != 0 and str(victim) in result.stderr
    assert state(staged / "outside") == before and not (staged / "home/dir.was/copied").exists()
