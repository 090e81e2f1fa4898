"""hollinctl's progress line: drawn on a terminal during long work, never into a pipe or file."""

import os
import pty
import subprocess

import pytest

from conftest import SANDBOX, SANITIZER_ENV

CTL = "/run/hollin/bin/hollinctl"
ITEMS = 9000  # over two of the counts that the walks report


@pytest.fixture
def big_home(host):
    host.make_template("Library/User Template", {"Library": {}}, {"English": {"Documents": {}}})
    home = host.make_tree("/Users/alice", {"Documents": {}})
    for i in range(ITEMS):
        (home / "Documents" / f"f{i}").write_bytes(b"")
    os.system(f"chown -R 501:20 {home}")
    return host


def on_a_terminal(host, argv):
    """Runs argv in the sandbox with standard error on a terminal; returns (status, what the terminal got)."""
    leader, follower = pty.openpty()
    try:
        done = subprocess.run([str(SANDBOX), str(host.root), str(host.build), "--", *argv], stdout=subprocess.PIPE,
                              stderr=follower, env={**SANITIZER_ENV, **os.environ}, timeout=300)
        os.close(follower)
        follower = None
        seen = b""
        while True:
            try:
                chunk = os.read(leader, 65536)
            except OSError:  # the terminal reports its end as an error
                break
            if not chunk:
                break
            seen += chunk
        return done.returncode, seen.decode(errors="replace")
    finally:
        os.close(leader)
        if follower is not None:
            os.close(follower)


@pytest.mark.parametrize("command", [["check", "alice"], ["apply", "alice"], ["repair", "alice"]])
def test_progress_on_a_terminal_only(big_home, command):
    status, terminal = on_a_terminal(big_home, [CTL, *command])
    assert status in (0, 1), terminal
    assert "items/s" in terminal and terminal.count("\r\x1b[K") >= 2, terminal  # drawn, then erased
    piped = big_home.sandbox([CTL, *command])
    assert "items/s" not in piped.stderr and "\x1b" not in piped.stderr
