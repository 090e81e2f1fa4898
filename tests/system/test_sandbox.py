"""The sandboxed root itself: what every other system test stands on."""

import os
import pathlib
import subprocess

from conftest import BUILD, parse_syslog

SEND_LOG = """
import sys, syslog
syslog.openlog("hollin", syslog.LOG_PID, syslog.LOG_USER)
for i in range(int(sys.argv[1])):
    syslog.syslog(syslog.LOG_NOTICE, f"line {i}")
syslog.syslog(syslog.LOG_NOTICE, "ends in a line feed\\n")
"""


def test_fixed_paths_of_the_stand_ins(host):
    done = host.sh("readlink /usr/bin/mirra /bin/chmod /usr/bin/chmod; "
                   "readlink -f /usr/sbin/chown; /usr/sbin/chown --version | head -1")
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert lines[:3] == [f"{BUILD}/bin/mirra", f"{BUILD}/bin/chmod", f"{BUILD}/bin/chmod"]
    assert lines[3].endswith("/usr/bin/chown")
    assert "coreutils" in lines[4]


def test_host_programs_run_from_the_farm(host):
    done = host.sh("find /etc -maxdepth 1 -name passwd -exec awk -F: '$1 == \"alice\" {print $5}' {} +")
    assert done.returncode == 0, done.stderr
    assert done.stdout == "Alice Liddell,,,\n"


def test_root_folders_come_from_the_test_root(host):
    host.make_tree("/Users/alice", {"note": "hello\n"})
    done = host.sh("cat /Users/alice/note; echo made > /Library/made; id -u; ls /var")
    assert done.returncode == 0, done.stderr
    assert done.stdout == "hello\n0\nroot\n"
    assert host.path("/Library/made").read_text() == "made\n"


def test_usr_and_build_are_read_only(host):
    done = host.sh(f"touch /usr/x; touch {BUILD}/x; echo $?")
    assert done.stdout.strip() == "1"
    assert done.stderr.count("Read-only file system") == 2
    assert not (BUILD / "x").exists()


def test_nothing_outside_the_root_is_written(host, tmp_path):
    before = set(os.listdir(tmp_path))
    done = host.sh("mkdir -p /tmp/a /var/b /etc/c /System/d /Volumes/e && touch /tmp/a/f")
    assert done.returncode == 0, done.stderr
    assert set(os.listdir(tmp_path)) == before == {"root"}
    assert (host.root / "tmp/a/f").exists()


def test_other_uid_without_capabilities(host):
    host.make_tree("/Users/alice", {})
    done = host.sh("id -u; id -G; touch /Users/alice/x 2>/dev/null || echo denied; "
                   "grep CapEff /proc/self/status", uid=501)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == ["501", "501", "denied", "CapEff:\t0000000000000000"]


def test_root_keeps_the_flag_and_attribute_capabilities(host):
    host.make_tree("/tmp", {"f": "x"})
    done = host.sh("chattr +i /tmp/f && lsattr /tmp/f && "
                   "setfattr -n trusted.t -v 1 /tmp && getfattr --only-values -n trusted.t /tmp")
    assert done.returncode == 0, done.stderr
    flags, value = done.stdout.split("\n", 1)
    assert flags.startswith("----i")
    assert value == "1"
    # Teardown clears the flag, or pytest could not remove the folder.


def test_volumes_and_home_mount_points_are_other_devices(host):
    host.mount_tmpfs("/Volumes/Data")
    host.make_tree("/Users/alice", {})
    host.mount_tmpfs("/Users/alice/mnt")
    (host.path("/Volumes/Data") / "seen").write_text("from outside")
    done = host.sh("stat -c %d /Users /Users/alice /Volumes/Data /Users/alice/mnt; "
                   "cat /Volumes/Data/seen")
    assert done.returncode == 0, done.stderr
    users, home, volume, mnt, seen = done.stdout.splitlines()
    assert users == home
    assert len({users, volume, mnt}) == 3
    assert seen == "from outside"


def test_mounts_go_with_the_fixture(tmp_path):
    import conftest
    h = conftest.Host(tmp_path / "root")
    target = h.mount_tmpfs("/Volumes/Gone")
    assert os.path.ismount(target)
    h.close()
    assert not os.path.ismount(target)


def test_immutable_items_are_cleared_for_removal(tmp_path):
    import conftest
    h = conftest.Host(tmp_path / "root")
    h.make_tree("/Users/alice", {"deep": {"file": "x"}, "link": conftest.Link("deep")})
    os.mkfifo(h.path("/Users/alice/fifo"))
    subprocess.run(["chattr", "+i", str(h.path("/Users/alice/deep/file")),
                    str(h.path("/Users/alice/deep")), str(h.path("/Users/alice"))], check=True)
    h.close()
    flags = subprocess.run(["lsattr", "-d", str(h.path("/Users/alice/deep"))],
                           capture_output=True, text=True, check=True).stdout
    assert flags.split()[0].count("i") == 0
    subprocess.run(["rm", "-rf", str(h.root)], check=True)
    assert not h.root.exists()


def test_log_lines_from_root_and_from_a_user(host):
    for uid in (None, 501):
        done, datagrams = host.run_logged(["python3", "-c", SEND_LOG, "40"], uid=uid)
        assert done.returncode == 0, done.stderr
        lines = [parse_syslog(d) for d in datagrams]
        assert lines == [f"line {i}" for i in range(40)] + ["ends in a line feed\n"]


def test_log_header_other_than_the_tools_is_refused():
    import pytest
    for datagram in (b"line", b"<13>Dec  5 15:46:00 other[12]: x",
                     b"<11>Dec  5 15:46:00 hollin[12]: x"):
        with pytest.raises(AssertionError):
            parse_syslog(datagram)
    assert parse_syslog(b"<13>Dec 15 05:06:07 hollin[7]: a: b \n") == "a: b \n"


def test_sandbox_refuses_a_bad_command_line(sandbox_tool, tmp_path):
    for args in ([], [str(tmp_path)], [str(tmp_path), str(BUILD), "true"],
                 ["--uid", "alice", str(tmp_path), str(BUILD), "--", "true"]):
        done = subprocess.run([str(sandbox_tool), *args], capture_output=True, text=True)
        assert done.returncode == 2, args
    assert not pathlib.Path(tmp_path, "Library").exists()
