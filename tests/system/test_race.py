"""The home's owner keeps swapping folders in it for links to items outside, or for other names (hard links) of
files outside: nothing outside changes."""

import os
import plistlib
import re
import shlex
import stat

import pytest

import hoststate as hs
from conftest import SANDBOX_BUILD, File, Folder

HOME, STAGE, RUNS, OLD = "/Users/alice", "/var/stage", 30, 1_000_000_000
OTHER = [(hs.DENY, hs.PERMS["chown"], 0, hs.account_uuid(502))]  # a list no rule would build
# What the links point at: owners, modes and lists unlike anything the tool gives.
SENTINELS = {
    "/etc": {"sentinel.conf": File("keep\n", mode=0o644),
             "sentinel.d": Folder({"Drop Box": {}, "notes.txt": "x", "Streaming": {"clip": "x"}}, mode=0o755)},
    "/Library": {"Sentinel": Folder({"Drop Box": Folder({"f": "x"}, mode=0o1733, owner=(0, 80)), "keep": "x"},
                                    mode=0o775, owner=(1, 80))},
    "/var": {"sentinel": Folder({"Drop Box": {}, "keep": File("x", mode=0o400)}, mode=0o750, owner=(1, 1))},
    "/Users": {"bob": Folder({"Sites": Folder({"Streaming": {"clip": File("x", owner=(502, 20))}}, owner=(502, 20)),
                              "shared.txt": File("bob's\n", mode=0o660, owner=(502, 20))}, mode=0o755, owner=(502, 20)),
               "root-gw": File("gateway\n", mode=0o660, owner=(0, 20))},
}
# Files that the home gets other names of (=PATH for the racer): on the home's mount, so that root can link them
# there. Making and swapping those names changes their ctime, so theirs is not compared.
GW, BOBS = "/Users/root-gw", "/Users/bob/shared.txt"
HARD = {GW, BOBS}
WATCHED = [f"{top}/{name}" for top, layout in SENTINELS.items() for name in layout]
LAYOUT = {"Public": {"Drop Box": {"x": "y"}}, "Sites": {"Streaming": {"clip": "x"}}, "Applications": {"App": {}},
          "Library": {"Preferences": {}},
          "Documents": {"Work": {"a": "b"}}, "Stuff": {"inner": {"f": "x"}},
          "Work": {"deep": {"notes.txt": "mine", "Drop Box": {}, "Streaming": {"clip": "x"}}}}
PERMISSIONS = ["x", HOME, "501", "20", "3", "ignored", "English", "alice"]
CREATION = ["x", HOME, "501", "20", "1", "ignored", "English", "alice"]
TOOL_FLAGS = "/var/root/Library/Preferences/com.velmora.Tessmark.plist"  # gone before each run: a first creation
POLICY = [{"Command": "CHMOD", "Argument": "755", "Paths": ["Public", "Sites"]},
          {"Command": "CHMOD", "Argument": "733", "Paths": ["Public/Drop Box"]},
          {"Command": "CHGRP", "Argument": "vexa", "Paths": ["Sites"]}]

# args, policy, racer's pairs (item in the home: link target, or =file for another name of it), the home unraced:
# {relative path: look() or None}. The pairs swap what goes by path to chmod/chgrp, what the hidden flag goes to,
# or what lies on the way of chown -R, find -exec touch and removal.
SCENARIOS = [
    pytest.param(PERMISSIONS, POLICY, {"Public": "/etc/sentinel.d", "Sites": "/etc/sentinel.conf"},
                 {"Sites": (501, 80, 0o755, 1, False), "Public/Drop Box": (501, 20, 0o733, 2, False)}, id="policy"),
    pytest.param(PERMISSIONS, None, {"Sites": "/Users/bob/Sites", "Public/Drop Box": "/Library/Sentinel/Drop Box"},
                 {"Sites/Streaming/clip": (501, 80, 0o600, 0, False), "Public/Drop Box": (501, 20, 0o700, 2, False)},
                 id="fallback"),
    pytest.param(["-repairPermissions", "alice"], None, {"Applications": "/var/sentinel",
                 "Documents": "/Users/bob/Sites"}, {"Applications": (501, 20, 0o700, 0, False)}, id="repair"),
    pytest.param(CREATION, None, {"Work/deep": "/etc/sentinel.d"},
                 {"": (501, 20, 0o750, 1, True), "Work/deep/Streaming/clip": (501, 20, 0o600, 0, True),
                  "Welcome.txt": (501, 20, 0o600, 0, True)}, id="creation"),
    pytest.param(["x", HOME, "501", "20", "2"], None, {"Stuff": "/Library/Sentinel", "Work/deep": "/etc/sentinel.d"},
                 {"": None}, id="delete"),
    # A folder swapped for another name of root's or bob's file, which is not the home owner's.
    pytest.param(PERMISSIONS, POLICY, {"Sites": "=" + GW, "Public/Drop Box": "=" + BOBS},
                 {"Sites": (501, 80, 0o755, 1, False), "Public/Drop Box": (501, 20, 0o733, 2, False)},
                 id="policy-hard-link"),
    pytest.param(PERMISSIONS, None, {"Sites/Streaming": "=" + GW, "Public/Drop Box": "=" + BOBS},
                 {"Sites/Streaming/clip": (501, 80, 0o600, 0, False), "Public/Drop Box": (501, 20, 0o700, 2, False)},
                 id="fallback-hard-link"),
    pytest.param(["-repairPermissions", "alice"], POLICY, {"Applications": "=" + GW, "Sites": "=" + BOBS},
                 {"Applications": (501, 20, 0o700, 0, False), "Sites": (501, 80, 0o755, 0, False)},
                 id="repair-hard-link"),
    pytest.param(CREATION, None, {"Library": "=" + GW, "Work/deep": "=" + BOBS},
                 {"": (501, 20, 0o750, 1, True), "Work/deep/Streaming/clip": (501, 20, 0o600, 0, True),
                  "Welcome.txt": (501, 20, 0o600, 0, True)}, id="creation-hard-link"),
]


def look(path):
    """(uid, gid, mode, list entries, touched since staging), or None."""
    try:
        st = os.lstat(path)
    except FileNotFoundError:
        return None
    return st.st_uid, st.st_gid, stat.S_IMODE(st.st_mode), len(hs.acl(path)), st.st_mtime != OLD


def sentinel_states(host):
    """Everything a change through a link would show (ctime too: a write of the same value)."""
    found = {}
    for top in map(host.path, WATCHED):
        for full in [str(top)] + [os.path.join(d, n) for d, dirs, files in os.walk(top) for n in dirs + files]:
            st = os.lstat(full)
            path = "/" + os.path.relpath(full, host.root)
            found[path] = (
                stat.S_IFMT(st.st_mode), st.st_uid, st.st_gid, oct(stat.S_IMODE(st.st_mode)), st.st_mtime_ns,
                st.st_atime_ns if path in HARD else st.st_ctime_ns, hs.flags(full),
                {name: os.getxattr(full, name, follow_symlinks=False)
                 for name in sorted(os.listxattr(full, follow_symlinks=False))})
    return found


def stage(host, path):
    """LAYOUT at `path`, all the user's, every time stamp OLD."""
    top = host.make_tree(path, LAYOUT)
    for folder, dirs, files in os.walk(top):
        for full in [folder] + [os.path.join(folder, n) for n in files]:
            os.lchown(full, 501, 20)
            os.utime(full, (OLD, OLD), follow_symlinks=False)


# Per run: a fresh home with the other names made by root, no record of an earlier creation, the racer (as the
# user) one swap per pair ahead, the tool, the racer stopped. A file with other names shows its mode, owners and
# mtime rather than its ctime.
LOOP = """fingerprint() {{ find {watched} -type f -links +1 -printf '%p %m %U %G %T@\\n' -o -printf '%p %C@\\n' |
  md5sum; }}
mkfifo /tmp/ready && was=$(fingerprint) || exit 99
for i in $(seq {runs}); do
  rm -rf {home} && cp -a {stage} {home} && {plant} && rm -f {flags} || exit 99
  setpriv --reuid 501 --regid 20 --clear-groups {racer} >/tmp/ready 2>/tmp/racer.log &
  racer=$!
  read -r go </tmp/ready
  {hollin}; status=$?
  kill -TERM $racer 2>/dev/null; wait $racer
  now=$(fingerprint); [ "$now" = "$was" ] && lost=no || lost=yes; was=$now
  echo "run $status $lost $(tail -n 1 /tmp/racer.log)"
done
"""


def race(host, args, pairs):
    """[(status, lost, swaps)] of RUNS runs; a run is lost when a sentinel's ctime moved."""
    racer = [f"{SANDBOX_BUILD}/bin/racer", "-t", "10", "-p", "100"]
    racer += [arg for item, target in pairs.items() for arg in (f"{HOME}/{item}", target)]
    plant = " && ".join(["true"] + [shlex.join(["ln", target[1:], f"{HOME}/{item}.swap"])
                                    for item, target in pairs.items() if target.startswith("=")])
    done = host.sh(LOOP.format(watched=shlex.join(WATCHED), runs=RUNS, home=HOME, stage=STAGE, plant=plant,
                               flags=TOOL_FLAGS,
                               racer=shlex.join(racer), hollin=shlex.join([host.hollin, *args])))
    runs = [(int(s), lost == "yes", int(n)) for s, lost, n in
            re.findall(r"^run (\d+) (yes|no) racer: (\d+) swaps$", done.stdout, re.M)]
    assert len(runs) == RUNS, done.stdout + done.stderr
    return runs


@pytest.mark.parametrize("args, policy, pairs, unraced", SCENARIOS)
def test_racing_user_reaches_nothing_outside_the_home(host, args, policy, pairs, unraced):
    host.make_template(non_localized={"Documents": {"Work": {}}, "Library": {"Preferences": {}}},
                       languages={"English": {"Welcome.txt": "hello"}})
    if policy:
        host.path("/Library/User Template/__permissions.plist").write_bytes(plistlib.dumps(policy))
    for top, layout in SENTINELS.items():
        host.make_tree(top, layout)
    for path in ("/etc/sentinel.conf", "/Library/Sentinel/Drop Box", "/var/sentinel", GW, BOBS):
        hs.set_acl(host.path(path), OTHER)
    hs.add_flags(host.path("/var/sentinel"), hs.UF_HIDDEN | hs.UF_NODUMP)
    for path in HARD:
        hs.add_flags(host.path(path), hs.UF_NODUMP)
        os.utime(host.path(path), (OLD, OLD))
    stage(host, HOME)
    stage(host, STAGE)
    before = sentinel_states(host)
    assert {target.lstrip("=") for target in pairs.values()} <= before.keys()  # every link leads to a watched item

    # Unraced, the mode does its work (else the race could prove nothing).
    status, lines = host.run(args)
    assert (status, {rel: look(host.path(f"{HOME}/{rel}")) for rel in unraced}) == (0, unraced), lines

    runs = race(host, args, pairs)
    assert {status for status, _, _ in runs} <= {0, 1}, runs
    assert all(swaps > 0 for _, _, swaps in runs), runs
    after = sentinel_states(host)
    changed = [f"{p}: {before.get(p)} -> {after.get(p)}" for p in sorted(before.keys() | after.keys())
               if before.get(p) != after.get(p)]
    assert not changed, f"lost {sum(r[1] for r in runs)} of {RUNS} runs:\n" + "\n".join(changed)
