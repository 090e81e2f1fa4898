"""The `host` fixture: a sandboxed root per test, the tool run inside it, and
the system log lines it wrote.

Every test gets its own ROOT folder under pytest's tmp_path. scripts/sandbox
assembles the sandbox's /Library, /System, /Users, /Volumes, /etc, /var and
/tmp from it, so a sandbox path such as /Users/alice is ROOT/Users/alice on
this side (`host.path("/Users/alice")`). Tests build trees there directly,
run the tool through `host.run`, and look at the result from here or through
`host.sandbox` (hostls and the like).

The suite runs in a private mount namespace (ctest starts it under `unshare
--mount --propagation private`, and this module makes one of its own on
import all the same): the tmpfs volumes that `host.mount_tmpfs` mounts stay
private and vanish with the run.
"""

import ctypes
import dataclasses
import fcntl
import os
import pathlib
import re
import shutil
import socket
import stat
import struct
import subprocess
import threading
import uuid

import pytest

REPO = pathlib.Path(__file__).resolve().parents[2]
SANDBOX = REPO / "scripts" / "sandbox"
BUILD = pathlib.Path(os.environ.get("HOLLIN_BUILD", REPO / "build")).resolve()

# What the sanitizer build needs inside the sandbox. LeakSanitizer stops the
# process's threads with ptrace from a helper task; that works as root and
# after setpriv alike, so leaks are checked here too.
SANITIZER_ENV = {
    "ASAN_OPTIONS": "abort_on_error=0:exitcode=99:detect_leaks=1",
    "UBSAN_OPTIONS": "print_stacktrace=1:halt_on_error=1:exitcode=99",
}
SANITIZER_MARKS = ("Sanitizer", "runtime error:")

# glibc's syslog(3) header: <PRI>Mmm dd hh:mm:ss ident[pid]: text
SYSLOG_HEADER = re.compile(
    rb"<(\d+)>[A-Z][a-z]{2} [ \d]\d \d\d:\d\d:\d\d ([^\s\[]+)\[(\d+)\]: ")
LOG_USER_NOTICE = 8 + 5

DEFAULT_PASSWD = [
    ("root", 0, 0, "System Administrator", "/var/root", "/bin/sh"),
    ("daemon", 1, 1, "System Services", "/var/root", "/usr/sbin/nologin"),
    ("alice", 501, 20, "Alice Liddell,,,", "/Users/alice", "/bin/bash"),
    ("bob", 502, 20, "Bob Tanner", "/Users/bob", "/bin/bash"),
]
DEFAULT_GROUP = [
    ("wheel", 0, []),
    ("daemon", 1, []),
    ("staff", 20, ["alice", "bob"]),
    ("vexa", 80, ["root"]),
]
# What scripts/sandbox itself puts into the root: binding targets.
SANDBOX_MOUNT_POINTS = {"/etc/alternatives", "/etc/ld.so.cache"}
MACHINE_ID = "3f1c0ad2b6e84c7e9a51d2f0c4b7e6a9"

FS_IOC_GETFLAGS = 0x80086601
FS_IOC_SETFLAGS = 0x40086602
FS_IMMUTABLE_FL = 0x10
FS_APPEND_FL = 0x20


@dataclasses.dataclass
class File:
    """A regular file for `make_tree`; text is written as UTF-8."""
    content: "str | bytes" = b""
    mode: "int | None" = None
    owner: "tuple[int, int] | None" = None


@dataclasses.dataclass
class Folder:
    """A folder with a mode or owner of its own for `make_tree`."""
    entries: dict = dataclasses.field(default_factory=dict)
    mode: "int | None" = None
    owner: "tuple[int, int] | None" = None


@dataclasses.dataclass
class Link:
    """A symbolic link for `make_tree`; `owner` is set on the link itself."""
    target: str
    owner: "tuple[int, int] | None" = None


def make_tree(path, spec):
    """Creates the folder `path` (with parents) and, inside it, `spec`: a dict
    of name -> str/bytes (file), dict (folder), File, Folder or Link."""
    path = pathlib.Path(path)
    path.mkdir(parents=True, exist_ok=True)
    for name, item in spec.items():
        _make_item(path / name, item)


def _make_item(path, item):
    if isinstance(item, (str, bytes)):
        item = File(item)
    elif isinstance(item, dict):
        item = Folder(item)
    if isinstance(item, Link):
        os.symlink(item.target, path)
    elif isinstance(item, File):
        data = item.content.encode() if isinstance(item.content, str) else item.content
        path.write_bytes(data)
    elif isinstance(item, Folder):
        make_tree(path, item.entries)
    else:
        raise TypeError(f"cannot make {path} from {item!r}")
    if getattr(item, "mode", None) is not None:
        os.chmod(path, item.mode)
    if item.owner is not None:
        os.lchown(path, *item.owner)


def _clear_flags(path):
    """Clears immutable and append-only on one regular file or folder; other
    kinds of item carry no flags and refuse the ioctl."""
    try:
        kind = os.lstat(path).st_mode
        if not (stat.S_ISREG(kind) or stat.S_ISDIR(kind)):
            return
        fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC)
    except OSError:
        return
    try:
        buf = fcntl.ioctl(fd, FS_IOC_GETFLAGS, b"\0" * 8)
        flags = struct.unpack("<I", buf[:4])[0]
        if flags & (FS_IMMUTABLE_FL | FS_APPEND_FL):
            fcntl.ioctl(fd, FS_IOC_SETFLAGS,
                        struct.pack("<I", flags & ~(FS_IMMUTABLE_FL | FS_APPEND_FL)) + b"\0" * 4)
    except OSError:
        pass
    finally:
        os.close(fd)


def clear_immutable(top):
    """Clears the flags that would stop pytest from removing `top`."""
    top = str(top)
    if not os.path.lexists(top) or os.path.islink(top):
        return
    _clear_flags(top)
    for folder, dirs, files in os.walk(top):
        for name in dirs + files:
            _clear_flags(os.path.join(folder, name))


def _mount_entries():
    with open("/proc/self/mountinfo") as f:
        for line in f:
            fields = line.split()
            optional = fields[6:fields.index("-")]
            point = fields[4].encode().decode("unicode_escape")
            yield point, optional


def _enter_private_mount_namespace():
    """Gives this process a mount namespace of its own whose mounts propagate
    nowhere, so that a volume mounted for a test can never reach the machine,
    whether or not the run was started under `unshare`. Done at import, while
    the process still has one thread: the namespace is per thread until then."""
    libc = ctypes.CDLL(None, use_errno=True)
    clone_newns, ms_rec, ms_private = 0x00020000, 0x4000, 0x40000
    if libc.unshare(clone_newns) != 0:
        raise OSError(ctypes.get_errno(), "unshare of the mount namespace")
    if libc.mount(None, b"/", None, ms_rec | ms_private, None) != 0:
        raise OSError(ctypes.get_errno(), "making / private")


_enter_private_mount_namespace()


def _check_private(path):
    """Refuses to mount where the mount would reach another namespace."""
    path = os.path.realpath(path)
    best, best_optional = "", []
    for point, optional in _mount_entries():
        if (path == point or path.startswith(point.rstrip("/") + "/")) and len(point) >= len(best):
            best, best_optional = point, optional
    if any(o.startswith("shared:") for o in best_optional):
        pytest.fail(f"the mount holding {path} propagates to other namespaces")


class _LogReader:
    """Receives datagrams on a bound socket in a thread while a program runs:
    an unread socket queues only a few messages, and syslog(3) then blocks."""

    def __init__(self, path):
        self.path = str(path)
        self.sentinel = b"\0end-of-run\0" + uuid.uuid4().bytes
        self.datagrams = []
        # Bound through a folder descriptor: a test's path can exceed the
        # length that a socket address holds.
        folder_fd = os.open(os.path.dirname(self.path), os.O_PATH | os.O_CLOEXEC)
        self.short = f"/proc/self/fd/{folder_fd}/{os.path.basename(self.path)}"
        try:
            if os.path.lexists(self.path):
                os.unlink(self.path)
            self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
            self.sock.bind(self.short)
            self.sock.settimeout(30)
            os.chmod(self.path, 0o666)  # a non-root caller sends too
        except BaseException:
            os.close(folder_fd)
            raise
        self.folder_fd = folder_fd
        self.thread = threading.Thread(target=self._receive, daemon=True)
        self.thread.start()

    def _receive(self):
        while True:
            try:
                data = self.sock.recv(65536)
            except (socket.timeout, OSError):
                return
            if data == self.sentinel:
                return
            self.datagrams.append(data)

    def finish(self):
        """Everything the finished program sent; it is all queued before the
        sentinel that this side sends last."""
        with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as s:
            s.sendto(self.sentinel, self.short)
        self.thread.join(60)
        self.sock.close()
        os.close(self.folder_fd)
        os.unlink(self.path)
        return self.datagrams


def parse_syslog(datagram):
    """The exact text after glibc's syslog header; the header must be the
    tool's: facility user, level notice, ident hollin, with a pid."""
    match = SYSLOG_HEADER.match(datagram)
    assert match, f"not a syslog message: {datagram!r}"
    assert int(match.group(1)) == LOG_USER_NOTICE, f"priority: {datagram!r}"
    assert match.group(2) == b"hollin", f"ident: {datagram!r}"
    return datagram[match.end():].decode("utf-8", "surrogateescape")


class Host:
    """One test's sandboxed root; see the module text."""

    def __init__(self, root):
        self.root = pathlib.Path(root)
        self.build = BUILD
        self.hollin = str(BUILD / "bin" / "hollin")
        self.last_stderr = ""
        self._mounts = []
        self._passwd = list(DEFAULT_PASSWD)
        self._group = [(n, g, list(m)) for n, g, m in DEFAULT_GROUP]
        for name in ("Library", "System", "Users", "Volumes", "etc", "var/root", "tmp", ".sandbox"):
            (self.root / name).mkdir(parents=True, exist_ok=True)
        os.chmod(self.root / "tmp", 0o1777)
        os.chmod(self.root / "var/root", 0o750)
        (self.root / "etc/machine-id").write_text(MACHINE_ID + "\n")
        self._write_accounts()

    # --- paths and trees --------------------------------------------------

    def path(self, sandbox_path):
        """The host path of an absolute path inside the sandbox."""
        return self.root / str(sandbox_path).lstrip("/")

    def make_tree(self, sandbox_path, spec):
        """`make_tree` at a sandbox path; returns its host path."""
        target = self.path(sandbox_path)
        make_tree(target, spec)
        return target

    def make_template(self, root_relative="Library/User Template", non_localized=None,
                      languages=None):
        """A user template at ROOT/root_relative: a Non_localized folder and one
        NAME.lproj folder per language, each filled from a tree spec."""
        top = self.root / root_relative.lstrip("/")
        make_tree(top / "Non_localized", non_localized or {})
        for language, spec in (languages or {}).items():
            folder = language if language.endswith(".lproj") else language + ".lproj"
            make_tree(top / folder, spec)
        return top

    def snapshot(self):
        """Every item of the sandbox's own folders as {sandbox path: (kind,
        mode, uid, gid, size or link target)}, links not followed; for "this
        run changed nothing" checks."""
        items = {}
        for top in ("Library", "System", "Users", "Volumes", "etc", "var", "tmp"):
            for folder, dirs, files in os.walk(self.root / top):
                for name in dirs + files:
                    full = os.path.join(folder, name)
                    rel = "/" + os.path.relpath(full, self.root)
                    if rel in SANDBOX_MOUNT_POINTS:
                        continue
                    st = os.lstat(full)
                    extra = os.readlink(full) if stat.S_ISLNK(st.st_mode) else (
                        None if stat.S_ISDIR(st.st_mode) else st.st_size)
                    items[rel] = (stat.S_IFMT(st.st_mode), stat.S_IMODE(st.st_mode),
                                  st.st_uid, st.st_gid, extra)
        return items

    # --- accounts ---------------------------------------------------------

    def add_user(self, name, uid, gid=20, full_name="", home=None, shell="/bin/bash"):
        """Adds an /etc/passwd line; `home` None means /Users/NAME, "" none."""
        home = f"/Users/{name}" if home is None else home
        self._passwd.append((name, uid, gid, full_name, home, shell))
        self._write_accounts()

    def add_group(self, name, gid, members=()):
        self._group.append((name, gid, list(members)))
        self._write_accounts()

    def remove_group(self, name):
        self._group = [g for g in self._group if g[0] != name]
        self._write_accounts()

    def set_passwd_text(self, text):
        """Replaces /etc/passwd with exactly `text` (for malformed lines)."""
        (self.root / "etc/passwd").write_text(text)

    def _write_accounts(self):
        passwd = "".join(f"{n}:x:{u}:{g}:{full}:{home}:{sh}\n"
                         for n, u, g, full, home, sh in self._passwd)
        group = "".join(f"{n}:x:{g}:{','.join(m)}\n" for n, g, m in self._group)
        (self.root / "etc/passwd").write_text(passwd)
        (self.root / "etc/group").write_text(group)

    # --- mounts -----------------------------------------------------------

    def mount_tmpfs(self, sandbox_path, mode=0o755):
        """Mounts a fresh tmpfs at the sandbox path (a volume such as
        /Volumes/Data, or a mount point inside a home); unmounted at teardown.
        Returns its host path."""
        target = self.path(sandbox_path)
        target.mkdir(parents=True, exist_ok=True)
        _check_private(target)
        subprocess.run(["mount", "-t", "tmpfs", "-o", f"mode={mode:o},size=16m", "tmpfs",
                        str(target)], check=True)
        self._mounts.append(target)
        return target

    # --- running ----------------------------------------------------------

    def sandbox(self, argv, uid=None, input=None, log_socket=None):
        """Runs argv inside the sandbox (as root, or as `uid`); returns the
        CompletedProcess with text stdout and stderr."""
        cmd = [str(SANDBOX)]
        if log_socket:
            cmd += ["--log", str(log_socket)]
        if uid is not None:
            cmd += ["--uid", str(uid)]
        # Bytes stay bytes on the way (arguments that are not UTF-8).
        cmd += [str(self.root), str(self.build), "--",
                *(os.fsdecode(a) if isinstance(a, bytes) else str(a) for a in argv)]
        env = dict(os.environ, **{k: os.environ.get(k, v) for k, v in SANITIZER_ENV.items()})
        return subprocess.run(cmd, input=input, capture_output=True, text=True,
                              errors="surrogateescape", env=env, timeout=300)

    def sh(self, script, uid=None):
        """Runs a shell script inside the sandbox; returns the CompletedProcess."""
        return self.sandbox(["/bin/sh", "-c", script], uid=uid)

    def run_logged(self, argv, uid=None):
        """Runs argv inside the sandbox with /dev/log read by this side;
        returns (CompletedProcess, raw datagrams)."""
        reader = _LogReader(self.root / ".sandbox" / "log")
        try:
            done = self.sandbox(argv, uid=uid, log_socket=reader.path)
        finally:
            datagrams = reader.finish()
        return done, datagrams

    def run(self, args, uid=None):
        """Runs the tool (argv[0] is its build path) with `args` after it;
        returns (exit status, the exact text of each line it logged)."""
        if not os.access(self.hollin, os.X_OK):
            pytest.fail(f"no tool at {self.hollin}: build first or set HOLLIN_BUILD")
        done, datagrams = self.run_logged([self.hollin, *args], uid=uid)
        self.last_stderr = done.stderr
        assert not any(m in done.stderr for m in SANITIZER_MARKS), done.stderr
        assert "bwrap:" not in done.stderr, done.stderr
        return done.returncode, [parse_syslog(d) for d in datagrams]

    # --- teardown ---------------------------------------------------------

    def close(self):
        for target in reversed(self._mounts):
            clear_immutable(target)
            if subprocess.run(["umount", str(target)]).returncode != 0:
                subprocess.run(["umount", "-l", str(target)])
        self._mounts.clear()
        clear_immutable(self.root)


@pytest.fixture
def host(tmp_path):
    h = Host(tmp_path / "root")
    try:
        yield h
    finally:
        h.close()


@pytest.fixture(scope="session")
def sandbox_tool():
    """The path of scripts/sandbox, for tests that drive it themselves."""
    if shutil.which("bwrap") is None:
        pytest.fail("bubblewrap is missing: run scripts/install-deps")
    return SANDBOX
