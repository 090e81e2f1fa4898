"""The sandboxed root that every other system test stands on."""

import os

import hoststate
from conftest import BUILD, SANDBOX_BUILD, Host, parse_syslog


def test_fixed_paths_devices_and_writes_only_into_the_root(host, tmp_path):
    host.make_tree("/Users/alice", {"note": "hello\n"})
    host.mount_tmpfs("/Volumes/Data")
    host.mount_tmpfs("/Users/alice/mnt")
    done = host.sh("readlink /usr/bin/mirra /bin/chmod /usr/bin/chgrp /usr/sbin/chown; cat /Users/alice/note; "
                   "stat -c %d /Users /Users/alice /Volumes/Data /Users/alice/mnt; "
                   f"mkdir -p /tmp/a /var/b /etc/c /System/d /Library/f; touch /usr/x {SANDBOX_BUILD}/x; id -u")
    *paths, users, home, volume, mnt, uid = done.stdout.splitlines()
    helpers = [f"{SANDBOX_BUILD}/bin/{name}" for name in ("mirra", "chmod", "chgrp", "chown")]
    assert paths == [*helpers, "hello"] and uid == "0"
    assert users == home and len({users, volume, mnt}) == 3
    assert done.stderr.count("Read-only file system") == 2 and not (BUILD / "x").exists()
    assert os.listdir(tmp_path) == ["root"]
    assert all(host.path(p).is_dir() for p in ("/tmp/a", "/var/b", "/etc/c", "/System/d", "/Library/f"))
    done = host.sh("id -u; id -G; touch /Users/alice/x || echo denied; grep CapEff /proc/self/status", uid=501)
    assert done.stdout.splitlines() == ["501", "501", "denied", "CapEff:\t0000000000000000"]


def test_every_log_line_is_read_from_root_and_from_a_user(host):
    script = ("import syslog\nsyslog.openlog('hollin', syslog.LOG_PID, syslog.LOG_USER)\n"
              "for i in range(40): syslog.syslog(syslog.LOG_NOTICE, f'line {i}')\n")
    for uid in (None, 501):
        done, datagrams = host.run_logged(["python3", "-c", script], uid=uid)
        assert [parse_syslog(d) for d in datagrams] == [f"line {i}" for i in range(40)], done.stderr


def test_teardown_unmounts_unlocks_and_removes(tmp_path):
    h = Host(tmp_path / "root")
    volume, locked = h.mount_tmpfs("/Volumes/Gone"), h.make_tree("/Users/alice", {"deep": {"file": "x"}})
    for path in (locked / "deep" / "file", locked / "deep", locked):
        hoststate.set_immutable(path, True)
    h.close()
    # Unmounted, unlocked, and the whole root removed (a locked item would have stayed).
    assert not os.path.ismount(volume) and not h.root.exists()
