"""The bundled sample template, with its permission policy, makes a home."""

import os
import plistlib
import shutil
import stat

import pytest

from conftest import REPO

SAMPLE = REPO / "share" / "user-template"
TOP = {"Applications", "Desktop", "Documents", "Downloads", "Library", "Movies", "Music",
       "Pictures", "Public", "Sites"}


@pytest.mark.parametrize("language, greeting", [
    ("fr", "Bienvenue"), ("de-AT", "Willkommen"), ("ja", "ようこそ"), ("zh-Hans-CN", "欢迎"),
    ("pt-PT", "Bem-vindo"), ("es", "Welcome"),
])
def test_sample_template_makes_a_home(host, language, greeting):
    shutil.copytree(SAMPLE, host.path("/Library/User Template"))
    host.add_group("alice", 501)  # the policy gives Sites to the user's own group
    assert host.run(["x", "/Users/alice", "501", "20", "1", "", language, "alice"]) == (0, [])
    home = host.path("/Users/alice")
    assert set(os.listdir(home)) == TOP
    assert greeting in (home / "Sites/index.html").read_text(encoding="utf-8")
    with open(home / "Library/Preferences/.GlobalPreferences.plist", "rb") as f:
        assert plistlib.load(f)["VelmoraMeasurementUnits"] == "Centimeters"
    modes = {name: stat.S_IMODE(os.lstat(home / name).st_mode)
             for name in ("", "Documents", "Public", "Sites", "Public/Drop Box")}
    assert modes == {"": 0o750, "Documents": 0o700, "Public": 0o755, "Sites": 0o755,
                     "Public/Drop Box": 0o733}
    assert (os.lstat(home).st_gid, os.lstat(home / "Sites").st_gid) == (20, 501)
