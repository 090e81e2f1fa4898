"""The stand-in touch: current times on each named item, never following a
link at the item and never creating anything."""

import os
import shutil
import stat
import subprocess
import time

from hostbin import program, run, work  # noqa: F401  (work is a fixture)
import hoststate as hs

OLD = 1_000_000_000  # 2001-09-09


def age(path, seconds=OLD):
    os.utime(path, (seconds, seconds), follow_symlinks=False)


def times(path):
    st = os.lstat(path)
    return st.st_atime, st.st_mtime


def fresh(path, since):
    atime, mtime = times(path)
    return atime >= since and mtime >= since


def test_touches_files_and_folders(work):
    folder = work / "folder"
    folder.mkdir()
    f = folder / "file"
    f.write_text("data")
    age(f)
    age(folder)
    start = time.time() - 1
    result = run("touch", folder, f)
    assert result.returncode == 0, result.stderr
    assert fresh(f, start) and fresh(folder, start)
    assert f.read_text() == "data"


def test_never_creates_and_goes_on(work):
    present = work / "present"
    present.write_text("")
    age(present)
    start = time.time() - 1
    result = run("touch", work / "missing", present, work / "nofolder" / "missing")
    assert result.returncode == 1
    assert "missing" in result.stderr
    assert not (work / "missing").exists()
    assert not (work / "nofolder").exists()
    assert fresh(present, start)


def test_link_gets_its_own_times_and_target_is_untouched(work):
    outside = work / "outside"
    outside.mkdir()
    sentinel = outside / "sentinel"
    sentinel.write_text("keep")
    age(sentinel)
    home = work / "home"
    home.mkdir()
    os.symlink(str(sentinel), home / "link")
    os.symlink(str(outside / "absent"), home / "dangling")
    os.symlink(str(outside), home / "folderlink")
    for name in ("link", "dangling", "folderlink"):
        age(home / name)
    age(outside)
    start = time.time() - 1
    result = run("touch", home / "link", home / "dangling", home / "folderlink")
    assert result.returncode == 0, result.stderr
    assert times(sentinel) == (OLD, OLD)
    assert not (outside / "absent").exists()
    for name in ("link", "dangling", "folderlink"):
        assert fresh(home / name, start), name
    assert times(outside)[1] == OLD


def test_trailing_separator_touches_the_link_not_its_target(work):
    target = work / "target"
    target.mkdir()
    age(target)
    os.symlink("target", work / "link")
    assert run("touch", str(work / "link") + "/").returncode == 0
    assert times(target) == (OLD, OLD)


def test_find_exec_plus_over_a_hostile_home(work):
    outside = work / "outside"
    outside.mkdir()
    sentinel = outside / "sentinel"
    sentinel.write_text("keep")
    age(sentinel)
    home = work / "home"
    (home / "Library" / "Preferences").mkdir(parents=True)
    (home / "Library" / "Preferences" / "a.plist").write_text("x")
    os.symlink(str(sentinel), home / "Library" / "planted")
    os.symlink(str(outside / "created-by-root"), home / "dangling")
    os.mkfifo(home / "fifo")
    start = time.time() - 1
    result = subprocess_find(home)
    assert result.returncode == 0, result.stderr
    assert times(sentinel) == (OLD, OLD)
    assert sentinel.read_text() == "keep"
    assert not (outside / "created-by-root").exists()
    for folder, dirs, files in os.walk(home):
        for name in [folder] + [os.path.join(folder, n) for n in dirs + files]:
            assert fresh(name, start), name


def subprocess_find(home):
    return subprocess.run([shutil.which("find"), str(home), "-exec", program("touch"), "{}", "+"],
                          capture_output=True, text=True, timeout=60)


def test_immutable_item_fails(work):
    f = work / "locked"
    f.write_text("")
    age(f)
    hs.set_immutable(str(f), True)
    result = run("touch", f)
    assert result.returncode == 1
    assert "locked" in result.stderr
    assert times(f) == (OLD, OLD)


def test_options(work):
    f = work / "f"
    f.write_text("")
    assert run("touch", "-c", "-h", f).returncode == 0
    assert run("touch", "-ch", "--", f).returncode == 0
    refused = run("touch", "-a", f)
    assert refused.returncode != 0 and refused.stderr
    refused = run("touch", "-d", "yesterday", f)
    assert refused.returncode != 0
    assert run("touch").returncode != 0
    assert stat.S_ISREG(os.lstat(f).st_mode)
