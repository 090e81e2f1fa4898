"""Reads (and for test set-up writes) an item's BSD flags and extended access
list the way the host stores them, independently of the C++ host layer, so
that tests check the stored state rather than the code under test.

    flags(path)              -> int, the BSD flags word (a link has none)
    acl(path)                -> list of (kind, perms, flags, uuid_bytes)
    set_immutable(path, on)  -> sets or clears the kernel immutable bit
    add_flags(path, word)    -> adds BSD flags (attribute part, then kernel bits)
    clear_immutable_tree(p)  -> clears immutable/append below p (teardown)
"""

import array
import fcntl
import os
import stat
import struct
import uuid

FS_IOC_GETFLAGS = 0x80086601
FS_IOC_SETFLAGS = 0x40086602
FS_IMMUTABLE_FL = 0x10
FS_APPEND_FL = 0x20
FS_NODUMP_FL = 0x40

UF_NODUMP = 0x1
UF_IMMUTABLE = 0x2
UF_APPEND = 0x4
UF_HIDDEN = 0x8000

FLAGS_ATTRIBUTE = "trusted.velmora.flags"
ACL_ATTRIBUTE = "trusted.velmora.acl"

ALLOW = 1
DENY = 2
PERMS = {
    "list": 0x2, "add_file": 0x4, "search": 0x8, "delete": 0x10,
    "add_subdirectory": 0x20, "delete_child": 0x40, "readattr": 0x80,
    "writeattr": 0x100, "readextattr": 0x200, "writeextattr": 0x400,
    "readsecurity": 0x800, "writesecurity": 0x1000, "chown": 0x2000,
}
ALL_PERMS = 0x3FFE
FILE_INHERIT = 0x20
DIRECTORY_INHERIT = 0x40

DIRECTORY_NAMESPACE = uuid.UUID("5131d2ce-3e45-4606-8804-45749f2f9576")
EVERYONE = bytes.fromhex("ABCDEFABCDEFABCDEFABCDEF0000000C")

_KERNEL_BITS = ((UF_NODUMP, FS_NODUMP_FL), (UF_IMMUTABLE, FS_IMMUTABLE_FL),
                (UF_APPEND, FS_APPEND_FL))


def account_uuid(uid):
    """The 16 bytes of an account's UUID."""
    return uuid.uuid5(DIRECTORY_NAMESPACE, "user:%d" % uid).bytes


def group_uuid(gid):
    """The 16 bytes of a group's UUID."""
    return uuid.uuid5(DIRECTORY_NAMESPACE, "group:%d" % gid).bytes


def _open_item(path):
    return os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC)


def _inode_flags(fd):
    value = array.array("i", [0])
    fcntl.ioctl(fd, FS_IOC_GETFLAGS, value, True)
    return value[0]


def _set_inode_flags(fd, value):
    fcntl.ioctl(fd, FS_IOC_SETFLAGS, array.array("i", [value]), False)


def _attribute(path, name):
    try:
        return os.getxattr(path, name, follow_symlinks=False)
    except OSError as error:
        if error.errno in (61, 95):  # ENODATA, EOPNOTSUPP
            return None
        raise


def flags(path):
    """BSD flags word of the item at `path`; a final link is not followed."""
    mode = os.lstat(path).st_mode
    if stat.S_ISLNK(mode):
        return 0
    word = 0
    if stat.S_ISREG(mode) or stat.S_ISDIR(mode):
        fd = _open_item(path)
        try:
            inode = _inode_flags(fd)
        finally:
            os.close(fd)
        for bsd, bit in _KERNEL_BITS:
            if inode & bit:
                word |= bsd
    value = _attribute(path, FLAGS_ATTRIBUTE)
    if value is not None:
        if len(value) != 4:
            raise ValueError("malformed flags attribute on %s: %r" % (path, value))
        word |= struct.unpack("<I", value)[0] & ~(UF_NODUMP | UF_IMMUTABLE | UF_APPEND)
    return word


def decode_acl(value):
    """Entries of a stored list value; ValueError when it is malformed."""
    if len(value) < 8 or value[:4] != b"VACL":
        raise ValueError("malformed list value: %r" % value)
    (count,) = struct.unpack("<I", value[4:8])
    if len(value) != 8 + 28 * count:
        raise ValueError("list value length %d does not hold %d entries" % (len(value), count))
    entries = []
    for i in range(count):
        at = 8 + 28 * i
        kind, perms, entry_flags = struct.unpack("<III", value[at:at + 12])
        entries.append((kind, perms, entry_flags, bytes(value[at + 12:at + 28])))
    return entries


def encode_acl(entries):
    """Stored value of a list of (kind, perms, flags, uuid_bytes)."""
    out = b"VACL" + struct.pack("<I", len(entries))
    for kind, perms, entry_flags, qualifier in entries:
        assert len(qualifier) == 16
        out += struct.pack("<III", kind, perms, entry_flags) + bytes(qualifier)
    return out


def acl(path):
    """The item's list as (kind, perms, flags, uuid_bytes); [] when it has none.
    A final link is not followed (a link has no list)."""
    if stat.S_ISLNK(os.lstat(path).st_mode):
        return []
    value = _attribute(path, ACL_ATTRIBUTE)
    return [] if value is None else decode_acl(value)


def set_acl(path, entries):
    """Stores a list on the item (no link followed); [] removes it."""
    if entries:
        os.setxattr(path, ACL_ATTRIBUTE, encode_acl(entries), follow_symlinks=False)
    elif _attribute(path, ACL_ATTRIBUTE) is not None:
        os.removexattr(path, ACL_ATTRIBUTE, follow_symlinks=False)


def set_immutable(path, on):
    """Sets or clears the kernel immutable bit of a regular file or folder."""
    fd = _open_item(path)
    try:
        inode = _inode_flags(fd)
        wanted = (inode | FS_IMMUTABLE_FL) if on else (inode & ~FS_IMMUTABLE_FL)
        if wanted != inode:
            _set_inode_flags(fd, wanted)
    finally:
        os.close(fd)


def add_flags(path, word):
    """Adds the BSD flags in `word` to a regular file or folder: the attribute
    part first, since immutable and append freeze it, then the kernel bits."""
    extra = word & ~(UF_NODUMP | UF_IMMUTABLE | UF_APPEND)
    if extra:
        old = _attribute(path, FLAGS_ATTRIBUTE)
        extra |= struct.unpack("<I", old)[0] if old else 0
        os.setxattr(path, FLAGS_ATTRIBUTE, struct.pack("<I", extra), follow_symlinks=False)
    fd = _open_item(path)
    try:
        inode = _inode_flags(fd)
        wanted = inode | sum(bit for bsd, bit in _KERNEL_BITS if word & bsd)
        if wanted != inode:
            _set_inode_flags(fd, wanted)
    finally:
        os.close(fd)


def clear_immutable_tree(root):
    """Clears immutable and append on `root` and every file and folder below
    it (links not followed), so that a test's folder can be removed."""
    if not os.path.lexists(root):
        return
    items = [root]
    for folder, dirs, files in os.walk(root):
        items += [os.path.join(folder, name) for name in dirs + files]
    for item in items:
        mode = os.lstat(item).st_mode
        if not (stat.S_ISREG(mode) or stat.S_ISDIR(mode)):
            continue
        fd = _open_item(item)
        try:
            inode = _inode_flags(fd)
            if inode & (FS_IMMUTABLE_FL | FS_APPEND_FL):
                _set_inode_flags(fd, inode & ~(FS_IMMUTABLE_FL | FS_APPEND_FL))
        except OSError:
            pass
        finally:
            os.close(fd)
