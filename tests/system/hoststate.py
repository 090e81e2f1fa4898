"""Reads (and for set-up writes) an item's BSD flags and extended access list as the host stores them,
independently of the C++ host layer. A final link is never followed: a link has no flags and no list."""

import array
import fcntl
import os
import stat
import struct
import subprocess
import uuid

FS_IOC_GETFLAGS, FS_IOC_SETFLAGS = 0x80086601, 0x40086602
FS_IMMUTABLE_FL, FS_APPEND_FL, FS_NODUMP_FL = 0x10, 0x20, 0x40
UF_NODUMP, UF_IMMUTABLE, UF_APPEND, UF_HIDDEN = 0x1, 0x2, 0x4, 0x8000
_KERNEL_BITS = ((UF_NODUMP, FS_NODUMP_FL), (UF_IMMUTABLE, FS_IMMUTABLE_FL), (UF_APPEND, FS_APPEND_FL))
_KERNEL_WORD = UF_NODUMP | UF_IMMUTABLE | UF_APPEND
FLAGS_ATTRIBUTE, ACL_ATTRIBUTE = "trusted.velmora.flags", "trusted.velmora.acl"

ALLOW, DENY = 1, 2
PERMS = dict(zip("list add_file search delete add_subdirectory delete_child readattr writeattr readextattr "
                 "writeextattr readsecurity writesecurity chown".split(), (1 << bit for bit in range(1, 14))))
ALL_PERMS = 0x3FFE
FILE_INHERIT, DIRECTORY_INHERIT = 0x20, 0x40
DIRECTORY_NAMESPACE = uuid.UUID("5131d2ce-3e45-4606-8804-45749f2f9576")
EVERYONE = bytes.fromhex("ABCDEFABCDEFABCDEFABCDEF0000000C")


def account_uuid(uid):
    return uuid.uuid5(DIRECTORY_NAMESPACE, "user:%d" % uid).bytes


def group_uuid(gid):
    return uuid.uuid5(DIRECTORY_NAMESPACE, "group:%d" % gid).bytes


def _inode_flags(path, change=lambda v: v):
    """The kernel flags of a regular file or folder, then rewritten as `change` says."""
    fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC)
    try:
        value = array.array("i", [0])
        fcntl.ioctl(fd, FS_IOC_GETFLAGS, value, True)
        if change(value[0]) != value[0]:
            fcntl.ioctl(fd, FS_IOC_SETFLAGS, array.array("i", [change(value[0])]), False)
        return value[0]
    finally:
        os.close(fd)


def _attribute(path, name):
    try:
        return os.getxattr(path, name, follow_symlinks=False)
    except OSError as error:
        if error.errno not in (61, 95):  # ENODATA, EOPNOTSUPP: no value
            raise


def flags(path):
    """The BSD flags word: kernel bits plus the attribute's other bits."""
    mode = os.lstat(path).st_mode
    if stat.S_ISLNK(mode):
        return 0
    inode = _inode_flags(path) if stat.S_ISREG(mode) or stat.S_ISDIR(mode) else 0
    value = _attribute(path, FLAGS_ATTRIBUTE)
    return sum(bsd for bsd, bit in _KERNEL_BITS if inode & bit) | (
        struct.unpack("<I", value)[0] & ~_KERNEL_WORD if value else 0)


def acl(path):
    """The item's list as (kind, perms, flags, uuid_bytes); [] when none."""
    value = None if os.path.islink(path) else _attribute(path, ACL_ATTRIBUTE)
    if value is None:
        return []
    if value[:4] != b"VACL" or len(value) < 8 or len(value) != 8 + 28 * struct.unpack("<I", value[4:8])[0]:
        raise ValueError("malformed list on %s: %r" % (path, value))
    return [struct.unpack("<III", value[at:at + 12]) + (bytes(value[at + 12:at + 28]),)
            for at in range(8, len(value), 28)]


def set_acl(path, entries):
    """Stores a list on the item; [] removes it."""
    if entries:
        os.setxattr(path, ACL_ATTRIBUTE, b"VACL" + struct.pack("<I", len(entries)) + b"".join(
            struct.pack("<III", *e[:3]) + bytes(e[3]) for e in entries), follow_symlinks=False)
    elif _attribute(path, ACL_ATTRIBUTE) is not None:
        os.removexattr(path, ACL_ATTRIBUTE, follow_symlinks=False)


def set_immutable(path, on):
    _inode_flags(path, lambda v: v | FS_IMMUTABLE_FL if on else v & ~FS_IMMUTABLE_FL)


def add_flags(path, word):
    """Adds BSD flags: the attribute part first, as immutable and append freeze it."""
    if word & ~_KERNEL_WORD:
        old = _attribute(path, FLAGS_ATTRIBUTE)
        os.setxattr(path, FLAGS_ATTRIBUTE, struct.pack("<I", word & ~_KERNEL_WORD | (
            struct.unpack("<I", old)[0] if old else 0)), follow_symlinks=False)
    _inode_flags(path, lambda v: v | sum(bit for bsd, bit in _KERNEL_BITS if word & bsd))


def clear_immutable_tree(root):
    """Clears immutable and append-only on `root` and below; no link is followed."""
    subprocess.run(["chattr", "-R", "-f", "-ia", str(root)], stderr=subprocess.DEVNULL)
