"""Runs the stand-in host programs straight from the build folder
($HOLLIN_BUILD, default `build` at the top of the project), and gives their
tests a temporary folder that is unlocked before it is removed."""

import os
import subprocess
from pathlib import Path

import pytest

import hoststate

PROJECT = Path(__file__).resolve().parents[2]


def build_folder():
    folder = Path(os.environ.get("HOLLIN_BUILD", "build"))
    return folder if folder.is_absolute() else PROJECT / folder


def program(name):
    return str(build_folder() / "bin" / name)


def run(name, *args, timeout=60):
    """Runs a built program; returns the CompletedProcess (text output)."""
    return subprocess.run([program(name), *map(str, args)], capture_output=True,
                          text=True, timeout=timeout)


@pytest.fixture
def work(tmp_path):
    """A temporary folder on the machine's disk; every immutable or
    append-only flag below it is cleared when the test ends."""
    if os.geteuid() != 0:
        pytest.skip("the stand-ins are tested as root")
    yield tmp_path
    hoststate.clear_immutable_tree(str(tmp_path))
