"""Another name of a file outside the home, planted at a path that the tool hands to a helper: every change
goes past it unless the file already belongs to the home's owner, and the helper or the log says so."""

import os
import plistlib
import stat

import pytest

import hoststate as hs
from conftest import File, Folder, parse_syslog

HOME = "/Users/alice"
OLD = 1_000_000_000
OTHER = [(hs.DENY, hs.PERMS["chown"], 0, hs.account_uuid(502))]  # a list no rule would build
GW, BOBS, MINE = "/Library/Outside/root-gw", "/Users/bob/shared.txt", "/Library/Outside/alice.txt"
OUTSIDE = {"/Library/Outside": {"root-gw": File("gateway", mode=0o660, owner=(0, 20)),
                                "alice.txt": File("alice's", mode=0o660, owner=(501, 20))},
           "/Users": {"bob": Folder({"shared.txt": File("bob's", mode=0o660, owner=(502, 20))}, mode=0o755,
                                    owner=(502, 20))}}
LAYOUT = {"Public": {"Drop Box": {"x": "y"}}, "Sites": {"Streaming": {"clip": "x"}},
          "Desktop": {".localized": "", "notes.txt": "mine"}, "Documents": {}, "Library": {"Preferences": {}}}
POLICY = [{"Command": "CHMOD", "Argument": "u=rwx,go=rx", "Paths": ["Public", "Sites"]},
          {"Command": "CHMOD", "Argument": "u=rwx,go=wx", "Paths": ["Public/Drop Box"]},
          {"Command": "CHGRP", "Argument": "vexa", "Paths": ["Sites", "Public/Drop Box"]}]
APPLY = ["x", HOME, "501", "20", "3", "ignored", "English", "alice"]
REPAIR = ["-repairPermissions", "alice"]
CREATE = ["x", HOME, "501", "20", "1", "ignored", "English", "alice"]
TOOL_FLAGS = "/var/root/Library/Preferences/com.velmora.Tessmark.plist"
POLICY_ERROR, STREAMING_ERROR, DROP_BOX_ERROR = ("setPermissions:118 Error:1", "setPermissions:60 Error:1",
                                                 "setPermissions:76 Error:1")
TOUCH_FAILED = "find-exec-touch failed with 1"


def skip(rel, uid):
    return f"Skipping {HOME}/{rel} because it has 2 links and belongs to uid {uid}, not 501"


def left(program, rel, uid):
    return f"{program}: '{HOME}/{rel}': left alone: 2 hard links, owned by uid {uid}"


def whole(path):
    """All that a change through another name would show: ctime too, for a write of the same value."""
    st = os.lstat(path)
    return (st.st_mode, st.st_uid, st.st_gid, st.st_mtime_ns, st.st_atime_ns, st.st_ctime_ns, hs.flags(path),
            {a: os.getxattr(path, a, follow_symlinks=False) for a in sorted(os.listxattr(path, follow_symlinks=False))})


# args, policy, {item in the home: outside file it is another name of}, exit status, log lines, helpers' lines.
# The home's own items belong to alice (501), so a file that is not hers is left alone wherever it is planted.
PLANTED = [
    pytest.param(APPLY, POLICY, {"Public": GW}, 0, [skip("Public", 0), POLICY_ERROR],
                 [left("chmod", "Public", 0)], id="apply-policy-Public"),
    pytest.param(APPLY, POLICY, {"Sites": GW}, 0, [skip("Sites", 0), POLICY_ERROR, POLICY_ERROR],
                 [left("chmod", "Sites", 0), left("chgrp", "Sites", 0)], id="apply-policy-Sites"),
    pytest.param(APPLY, POLICY, {"Public/Drop Box": BOBS}, 0, [skip("Public/Drop Box", 502)] + [POLICY_ERROR] * 2,
                 [left("chmod", "Public/Drop Box", 502), left("chgrp", "Public/Drop Box", 502)],
                 id="apply-policy-Drop-Box"),
    pytest.param(APPLY, None, {"Sites/Streaming": GW}, 1, [skip("Sites/Streaming", 0), STREAMING_ERROR],
                 [left("chgrp", "Sites/Streaming", 0)], id="apply-fallback-Streaming"),
    pytest.param(APPLY, None, {"Sites/Streaming/clip": GW}, 1, [skip("Sites/Streaming/clip", 0), STREAMING_ERROR],
                 [left("chgrp", "Sites/Streaming/clip", 0)], id="apply-fallback-in-Streaming"),
    pytest.param(APPLY, None, {"Public/Drop Box": BOBS}, 1, [skip("Public/Drop Box", 502), DROP_BOX_ERROR],
                 [left("chmod", "Public/Drop Box", 502)], id="apply-fallback-Drop-Box"),
    # The repair's chown -R meets it first (its status is not looked at), then the policy's tools.
    pytest.param(REPAIR, POLICY, {"Public": GW}, 0, [POLICY_ERROR],
                 [left("chown", "Public", 0), left("chmod", "Public", 0)], id="repair-policy-Public"),
    pytest.param(REPAIR, POLICY, {"Sites": GW}, 0, [POLICY_ERROR] * 2,
                 [left("chown", "Sites", 0), left("chmod", "Sites", 0), left("chgrp", "Sites", 0)],
                 id="repair-policy-Sites"),
    pytest.param(REPAIR, POLICY, {"Public/Drop Box": BOBS}, 0, [POLICY_ERROR] * 2,
                 [left(p, "Public/Drop Box", 502) for p in ("chown", "chmod", "chgrp")], id="repair-policy-Drop-Box"),
    # The first creation on the machine hides Library: not through another name that is not alice's.
    pytest.param(CREATE, None, {"Library": GW}, 1, [skip("Library", 0), TOUCH_FAILED, skip("Library", 0)],
                 [left("touch", "Library", 0)], id="create-Library"),
    pytest.param(CREATE, None, {"Desktop/gw": GW}, 1, [TOUCH_FAILED, skip("Desktop/gw", 0)],
                 [left("touch", "Desktop/gw", 0)], id="create-touched"),
    pytest.param(CREATE, None, {"Documents/shared": BOBS}, 1, [TOUCH_FAILED, skip("Documents/shared", 502)],
                 [left("touch", "Documents/shared", 502)], id="create-touched-bobs"),
]


def run(host, args):
    """(exit status, log lines, the helpers' left-alone lines)."""
    done, datagrams = host.run_logged([host.hollin, *args])
    return done.returncode, [parse_syslog(d) for d in datagrams], sorted(
        line for line in done.stderr.splitlines() if "left alone" in line)


def prepare(host, policy, planted):
    host.make_template(non_localized={"Desktop": {".localized": ""}}, languages={"English": {"Documents": {}}})
    if policy:
        host.path("/Library/User Template/__permissions.plist").write_bytes(plistlib.dumps(policy))
    for top, layout in OUTSIDE.items():
        host.make_tree(top, layout)
    home = host.make_tree(HOME, LAYOUT)
    for folder, dirs, files in os.walk(home):
        for full in [folder] + [os.path.join(folder, n) for n in dirs + files]:
            os.lchown(full, 501, 20)
    for rel, outside in planted.items():
        target = home / rel
        if target.is_dir():
            for folder, dirs, files in os.walk(target, topdown=False):
                for name in files:
                    os.unlink(os.path.join(folder, name))
                os.rmdir(folder)
        elif target.exists():
            target.unlink()
        os.link(host.path(outside), target)
    for path in (GW, BOBS, MINE):
        hs.set_acl(host.path(path), OTHER)
        hs.add_flags(host.path(path), hs.UF_NODUMP)
        os.utime(host.path(path), (OLD, OLD))
    assert not os.path.lexists(host.path(TOOL_FLAGS))  # a first creation on this machine
    return home


@pytest.mark.parametrize("args, policy, planted, status, lines, reported", PLANTED)
def test_another_name_of_a_file_outside_is_left_alone(host, args, policy, planted, status, lines, reported):
    home = prepare(host, policy, planted)
    before = {path: whole(host.path(path)) for path in (GW, BOBS, MINE)}
    assert run(host, args) == (status, lines, sorted(reported))
    assert {path: whole(host.path(path)) for path in (GW, BOBS, MINE)} == before
    for rel, outside in planted.items():  # still the same file, not replaced by a copy
        assert os.lstat(home / rel).st_ino == os.lstat(host.path(outside)).st_ino, rel
    if args == CREATE:  # the rest of the home was touched and given to alice
        st = os.lstat(home / "Desktop/notes.txt")
        assert (st.st_mtime > OLD, st.st_uid, stat.S_IMODE(st.st_mode)) == (True, 501, 0o600)


# The exception: alice's own file with another name is changed like any item of hers.
# args, policy, where it is planted, then (mode, gid, touched, an entry for alice in its list) afterwards.
OWN = [
    pytest.param(APPLY, None, "Public/Drop Box", (0o600, 20, False, True), id="apply-fallback-Drop-Box"),
    pytest.param(APPLY, POLICY, "Sites", (0o755, 80, False, False), id="apply-policy-Sites"),
    pytest.param(REPAIR, POLICY, "Public/Drop Box", (0o733, 80, False, False), id="repair-policy-Drop-Box"),
    pytest.param(CREATE, None, "Desktop/mine", (0o600, 20, True, False), id="create-touched"),
]


@pytest.mark.parametrize("args, policy, rel, wanted", OWN)
def test_a_multiply_linked_file_of_the_owner_is_changed(host, args, policy, rel, wanted):
    prepare(host, policy, {rel: MINE})
    others = {path: whole(host.path(path)) for path in (GW, BOBS)}
    assert run(host, args) == (0, [], [])
    st = os.lstat(host.path(MINE))
    alice = any(entry[3] == hs.account_uuid(501) for entry in hs.acl(host.path(MINE)))
    assert (stat.S_IMODE(st.st_mode), st.st_uid, st.st_gid, st.st_mtime > OLD, alice) == (
        wanted[0], 501, *wanted[1:])
    assert {path: whole(host.path(path)) for path in (GW, BOBS)} == others
