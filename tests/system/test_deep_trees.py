"""Trees far deeper than the folders a walk keeps open (and than PATH_MAX): listed by hostls -R with few
descriptors allowed, given their permissions by the permissions-only pass and deleted whole."""

import os
import resource
import subprocess

from conftest import BUILD

HOME = "/Users/alice"
OWNER = (501, 20)


def make_chain(top, depth):
    """`depth` folders named d, one in the other, below `top`, and a file f at the bottom."""
    fd = os.open(top, os.O_RDONLY | os.O_DIRECTORY)
    try:
        for _ in range(depth):
            os.mkdir("d", 0o755, dir_fd=fd)
            child = os.open("d", os.O_RDONLY | os.O_DIRECTORY, dir_fd=fd)
            os.close(fd)
            fd = child
        os.close(os.open("f", os.O_CREAT | os.O_WRONLY, 0o644, dir_fd=fd))
    finally:
        os.close(fd)


def chain_states(top, depth):
    """(mode, uid, gid) of every folder of the chain, top down, then of the file."""
    states, fd = [], os.open(top, os.O_RDONLY | os.O_DIRECTORY)
    try:
        for _ in range(depth):
            child = os.open("d", os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW, dir_fd=fd)
            os.close(fd)
            fd = child
            st = os.fstat(fd)
            states.append((st.st_mode & 0o7777, st.st_uid, st.st_gid))
        st = os.stat("f", dir_fd=fd, follow_symlinks=False)
        states.append((st.st_mode & 0o7777, st.st_uid, st.st_gid))
    finally:
        os.close(fd)
    return states


def remove_chain(top, depth):
    """Bottom up, by descriptors: Python's own tree removal recurses once a level."""
    fds = [os.open(top, os.O_RDONLY | os.O_DIRECTORY)]
    for _ in range(depth):
        fds.append(os.open("d", os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW, dir_fd=fds[-1]))
        if len(fds) > 64:  # the first and the last few are enough to climb back with
            os.close(fds.pop(1))
    os.unlink("f", dir_fd=fds[-1])
    os.close(fds.pop())
    for level in range(depth, 0, -1):
        fd = fds.pop() if len(fds) > 1 else None
        path = str(top) + "/d" * (level - 1) if fd is None else None
        if fd is None:
            fd = os.open(path, os.O_RDONLY | os.O_DIRECTORY)  # only near the top, where the path is short
        os.rmdir("d", dir_fd=fd)
        os.close(fd)
    os.close(fds.pop())


def test_hostls_lists_a_chain_deeper_than_its_descriptor_limit(work):
    top, depth = work / "top", 1500
    top.mkdir()
    make_chain(top, depth)

    def few_descriptors():  # far fewer than the depth: each folder held open to the end would not fit
        resource.setrlimit(resource.RLIMIT_NOFILE, (100, 100))

    try:
        result = subprocess.run([str(BUILD / "bin" / "hostls"), "-R", str(top)], capture_output=True, text=True,
                                timeout=60, preexec_fn=few_descriptors)
    finally:
        remove_chain(top, depth)
    assert (result.returncode, result.stderr) == (0, "")
    paths = [line.split(" ", 5)[5] for line in result.stdout.splitlines()]
    assert paths == [str(top) + "/d" * level for level in range(depth + 1)] + [str(top) + "/d" * depth + "/f"]


def test_permissions_then_deletion_of_a_deep_home(host):
    host.make_template()
    top, depth = host.make_tree(HOME, {}), 3000
    make_chain(top, depth)
    os.chown(top, *OWNER)  # a home is deleted only for its owner
    assert host.run(["x", HOME, str(OWNER[0]), str(OWNER[1]), "3"]) == (0, [])
    assert chain_states(top, depth) == [(0o700, *OWNER)] * depth + [(0o600, *OWNER)]
    assert host.run(["x", HOME, str(OWNER[0]), str(OWNER[1]), "2"]) == (0, [])
    assert not os.path.lexists(top)
