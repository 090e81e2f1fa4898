"""The `host` fixture: a sandboxed root per test (scripts/sandbox builds its /Library, /System, /Users, /Volumes,
/etc, /var and /tmp from the test's folder), the tool run inside it, and the system log lines it wrote."""

import contextlib
import ctypes
import dataclasses
import os
import pathlib
import re
import shutil
import socket
import stat
import subprocess
import threading

import pytest

import hoststate

REPO = pathlib.Path(__file__).resolve().parents[2]
SANDBOX = REPO / "scripts" / "sandbox"
BUILD = pathlib.Path(os.environ.get("HOLLIN_BUILD", REPO / "build")).resolve()
SANDBOX_BUILD = "/run/hollin"  # where scripts/sandbox shows BUILD
HOLLINCTL = f"{SANDBOX_BUILD}/bin/hollinctl"
BROKEN = ("Sanitizer", "runtime error:", "bwrap:")  # in any standard error: the run itself went wrong
SANITIZER_ENV = {"ASAN_OPTIONS": "abort_on_error=0:exitcode=99:detect_leaks=1",
                 "UBSAN_OPTIONS": "print_stacktrace=1:halt_on_error=1:exitcode=99"}
# glibc's syslog(3) header: <PRI>Mmm dd hh:mm:ss ident[pid]: text
SYSLOG_HEADER = re.compile(rb"<(\d+)>[A-Z][a-z]{2} [ \d]\d \d\d:\d\d:\d\d ([^\s\[]+)\[(\d+)\]: ")
LOG_USER_NOTICE = 8 + 5
DEFAULT_PASSWD = [("root", 0, 0, "System Administrator", "/var/root", "/bin/sh"),
                  ("daemon", 1, 1, "System Services", "/var/root", "/usr/sbin/nologin"),
                  ("alice", 501, 20, "Alice Liddell,,,", "/Users/alice", "/bin/bash"),
                  ("bob", 502, 20, "Bob Tanner", "/Users/bob", "/bin/bash")]
DEFAULT_GROUP = [("wheel", 0, []), ("daemon", 1, []), ("staff", 20, ["alice", "bob"]), ("vexa", 80, ["root"])]
SANDBOX_MOUNT_POINTS = {"/etc/alternatives", "/etc/ld.so.cache"}
MACHINE_ID = "3f1c0ad2b6e84c7e9a51d2f0c4b7e6a9"


# Items of a tree layout; a Link's owner is that of the link itself.
_OWNER = ("owner", "tuple[int, int] | None", None)
File = dataclasses.make_dataclass("File", [("content", "str | bytes", b""), ("mode", "int | None", None), _OWNER])
Folder = dataclasses.make_dataclass("Folder", [("entries", dict, dataclasses.field(default_factory=dict)),
                                               ("mode", "int | None", None), _OWNER])
Link = dataclasses.make_dataclass("Link", [("target", str), _OWNER])


def make_tree(path, layout):
    """Folder `path` holding `layout`: name -> str/bytes, dict, File, Folder or Link."""
    path = pathlib.Path(path)
    path.mkdir(parents=True, exist_ok=True)
    for name, item in layout.items():
        item = File(item) if isinstance(item, (str, bytes)) else Folder(item) if isinstance(item, dict) else item
        target = path / name
        if isinstance(item, Link):
            os.symlink(item.target, target)
        elif isinstance(item, File):
            target.write_bytes(item.content.encode() if isinstance(item.content, str) else item.content)
        else:
            make_tree(target, item.entries)
        if item.owner is not None:  # before the mode: a change of owner drops set-id bits
            os.lchown(target, *item.owner)
        if getattr(item, "mode", None) is not None:
            os.chmod(target, item.mode)


# Mounts that propagate nowhere, even when not run under `unshare` (so mount_tmpfs reaches no other
# namespace); at import, with one thread. Failing that, no test runs.
_libc = ctypes.CDLL(None, use_errno=True)
if _libc.unshare(0x00020000) != 0 or _libc.mount(None, b"/", None, 0x4000 | 0x40000, None) != 0:
    raise OSError(ctypes.get_errno(), "private mount namespace")


class _LogReader:
    """Receives datagrams in a thread while a program runs, or syslog(3) would block."""

    def __init__(self, path):
        self.path, self.datagrams = str(path), []
        self.sentinel = b"\0end-of-run\0" + os.urandom(16)
        # Bound through a folder descriptor: a socket address holds only a short path.
        self.folder_fd = os.open(os.path.dirname(self.path), os.O_PATH | os.O_CLOEXEC)
        self.short = f"/proc/self/fd/{self.folder_fd}/{os.path.basename(self.path)}"
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(self.short)
        self.sock.settimeout(30)
        os.chmod(self.path, 0o666)  # a non-root caller sends too
        self.thread = threading.Thread(target=self._receive, daemon=True)
        self.thread.start()

    def _receive(self):
        with contextlib.suppress(OSError):
            while (data := self.sock.recv(65536)) != self.sentinel:
                self.datagrams.append(data)

    def finish(self):
        with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as s:
            s.sendto(self.sentinel, self.short)
        self.thread.join(60)
        self.sock.close()
        os.close(self.folder_fd)
        os.unlink(self.path)
        return self.datagrams


def parse_syslog(datagram):
    """The text after the header, which must be user.notice, hollin[pid]."""
    match = SYSLOG_HEADER.match(datagram)
    assert match and int(match.group(1)) == LOG_USER_NOTICE and match.group(2) == b"hollin", datagram
    return datagram[match.end():].decode("utf-8", "surrogateescape")


class Host:

    def __init__(self, root):
        self.root, self.build, self.hollin, self._mounts = pathlib.Path(root), BUILD, f"{SANDBOX_BUILD}/bin/hollin", []
        self._passwd, self._group = list(DEFAULT_PASSWD), [(n, g, list(m)) for n, g, m in DEFAULT_GROUP]
        for name in ("Library", "System", "Users", "Volumes", "etc", "var/root", "tmp", ".log"):
            (self.root / name).mkdir(parents=True, exist_ok=True)
        # scripts/sandbox keeps its link farms of /usr in ROOT/.sandbox: made once per run of pytest, not per test.
        farms = self.root.parent.parent / "farms"
        farms.mkdir(exist_ok=True)
        os.symlink(farms, self.root / ".sandbox")
        os.chmod(self.root / "tmp", 0o1777)
        os.chmod(self.root / "var/root", 0o750)
        (self.root / "etc/machine-id").write_text(MACHINE_ID + "\n")
        self._write_accounts()

    def path(self, sandbox_path):
        return self.root / str(sandbox_path).lstrip("/")

    def make_tree(self, sandbox_path, layout):
        make_tree(self.path(sandbox_path), layout)
        return self.path(sandbox_path)

    def make_template(self, root_relative="Library/User Template", non_localized=None, languages=None):
        top = self.root / root_relative.lstrip("/")
        languages = {name + ".lproj": layout for name, layout in (languages or {}).items()}
        make_tree(top, {"Non_localized": non_localized or {}, **languages})
        return top

    def snapshot(self):
        """{sandbox path: (kind, mode, uid, gid, size or link target)}, links not followed."""
        items = {}
        for top in ("Library", "System", "Users", "Volumes", "etc", "var", "tmp"):
            for folder, dirs, files in os.walk(self.root / top):
                for full in (os.path.join(folder, name) for name in dirs + files):
                    st, extra = os.lstat(full), os.readlink(full) if os.path.islink(full) else None
                    items["/" + os.path.relpath(full, self.root)] = (stat.S_IFMT(st.st_mode), stat.S_IMODE(
                        st.st_mode), st.st_uid, st.st_gid, extra or (None if stat.S_ISDIR(st.st_mode) else st.st_size))
        return {k: v for k, v in items.items() if k not in SANDBOX_MOUNT_POINTS}

    def add_user(self, name, uid, gid=20, full_name="", home=None, shell="/bin/bash"):
        """`home` None means /Users/NAME, "" no home."""
        self._passwd.append((name, uid, gid, full_name, f"/Users/{name}" if home is None else home, shell))
        self._write_accounts()

    def add_group(self, name, gid, members=()):
        self._group.append((name, gid, list(members)))
        self._write_accounts()

    def remove_group(self, name):
        self._group = [g for g in self._group if g[0] != name]
        self._write_accounts()

    def _write_accounts(self):
        (self.root / "etc/passwd").write_text("".join(":".join(map(str, (n, "x", *rest))) + "\n"
                                                      for n, *rest in self._passwd))
        (self.root / "etc/group").write_text("".join(f"{n}:x:{g}:{','.join(m)}\n" for n, g, m in self._group))

    def mount_tmpfs(self, sandbox_path, mode=0o755):
        target = self.path(sandbox_path)
        target.mkdir(parents=True, exist_ok=True)
        subprocess.run(["mount", "-t", "tmpfs", "-o", f"mode={mode:o},size=16m", "tmpfs", target], check=True)
        self._mounts.append(target)
        return target

    def mount_untyped(self, sandbox_path):
        """A volume whose listings give no item types (ext2 without its filetype feature), empty."""
        target, image = self.path(sandbox_path), self.root.parent / f"untyped-{len(self._mounts)}.img"
        target.mkdir(parents=True, exist_ok=True)
        with open(image, "wb") as f:
            f.truncate(8 << 20)
        subprocess.run(["mkfs.ext2", "-q", "-F", "-O", "^filetype", image], check=True)
        subprocess.run(["mount", "-o", "loop", image, target], check=True)
        self._mounts.append(target)
        (target / "lost+found").rmdir()
        return target

    def sandbox(self, argv, uid=None, log_socket=None):
        """Runs argv inside (as root, or as `uid`); returns the CompletedProcess."""
        cmd = [str(SANDBOX), *(["--log", str(log_socket)] if log_socket else []),
               *(["--uid", str(uid)] if uid is not None else []), str(self.root), str(self.build), "--",
               *(os.fsdecode(a) if isinstance(a, bytes) else str(a) for a in argv)]
        done = subprocess.run(cmd, capture_output=True, text=True, errors="surrogateescape",
                              env={**SANITIZER_ENV, **os.environ}, timeout=300)
        assert not any(m in done.stderr for m in BROKEN), done.stderr
        return done

    def sh(self, script, uid=None):
        return self.sandbox(["/bin/sh", "-c", script], uid=uid)

    def run_logged(self, argv, uid=None):
        """Runs argv with /dev/log read here; returns (CompletedProcess, datagrams)."""
        reader = _LogReader(self.root / ".log" / "log")
        try:
            done = self.sandbox(argv, uid=uid, log_socket=reader.path)
        finally:
            datagrams = reader.finish()
        return done, datagrams

    def run(self, args, uid=None):
        """Runs the tool with `args`; returns (exit status, exact logged lines)."""
        if not os.access(BUILD / "bin" / "hollin", os.X_OK):
            pytest.fail(f"no tool in {BUILD}: build first or set HOLLIN_BUILD")
        done, datagrams = self.run_logged([self.hollin, *args], uid=uid)
        return done.returncode, [parse_syslog(d) for d in datagrams]

    def close(self):
        for target in reversed(self._mounts):
            hoststate.clear_immutable_tree(str(target))
            if subprocess.run(["umount", str(target)]).returncode != 0:
                subprocess.run(["umount", "-l", str(target)])
        self._mounts.clear()
        hoststate.clear_immutable_tree(str(self.root))
        # The root, with its thousands of links into /usr, is not kept once the test is over.
        shutil.rmtree(self.root, ignore_errors=True)


def pytest_collection_modifyitems(config, items):
    """HOLLIN_SHARD=I/N keeps every Nth case from the I-th: ctest runs a slow file as N tests side by side."""
    if shard := os.environ.get("HOLLIN_SHARD"):
        index, total = map(int, shard.split("/"))
        config.hook.pytest_deselected(items=[item for n, item in enumerate(items) if n % total != index])
        items[:] = items[index::total]


@pytest.fixture
def host(tmp_path):
    h = Host(tmp_path / "root")
    yield h  # pytest resumes here after a failure too
    h.close()


def ctl(host, *args, env=None):
    """hollinctl ARGS, with `env` as the only variables besides the sandbox's own: (status, lines, stderr)."""
    prefix = ["/usr/bin/env", *(f"{k}={v}" for k, v in env.items())] if env is not None else []
    done = host.sandbox([*prefix, HOLLINCTL, *args])
    return done.returncode, done.stdout.splitlines(), done.stderr


def run_program(name, *args):
    return subprocess.run([str(BUILD / "bin" / name), *map(str, args)], capture_output=True, text=True, timeout=60)


@pytest.fixture
def work(tmp_path):
    yield tmp_path
    hoststate.clear_immutable_tree(str(tmp_path))
