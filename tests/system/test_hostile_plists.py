"""A home's own global preferences file, written by its owner to hurt root: a full creation into that home reads it
as unparsable, merges nothing from it, keeps it as .corrupt and writes a clean file in its place."""

import os
import plistlib
import stat
import struct

import pytest

from conftest import Folder

PREFS = "/Users/alice/Library/Preferences"
GLOBAL = f"{PREFS}/.GlobalPreferences.plist"


def binary_plist(objects):
    """Objects (object 0 on top) with 4-byte references and offsets, laid out by hand."""
    body, offsets = b"bplist00", []
    for obj in objects:
        offsets.append(len(body))
        body += obj
    table = len(body)
    body += b"".join(struct.pack(">I", o) for o in offsets)
    return body + bytes(6) + b"\x04\x04" + struct.pack(">QQQ", len(objects), 0, table)


def ref(i):
    return struct.pack(">I", i)


KEY = b"\x54Mine"
UTF16_WITH_NUL = b"\x63\x00\xe9\x00\x00\x00x"  # what libplist's binary reader keeps a NUL inside


def deep_binary(depth):
    chain = [b"\xa1" + ref(i + 3) for i in range(depth - 1)] + [b"\xa0"]
    return binary_plist([b"\xd1" + ref(1) + ref(2), KEY] + chain)


def deep_xml(depth):
    return ("<plist><dict><key>Mine</key>" + "<array>" * depth + "</array>" * depth + "</dict></plist>").encode()


HOSTILE = {
    "xml-100000-deep": deep_xml(100_000),
    "binary-100000-deep": deep_binary(100_000),
    "nul-in-xml-string": b"<plist><dict><key>Mine</key><string>a\0" + b"b" * 64 + b"</string></dict></plist>",
    "nul-in-binary-key": binary_plist([b"\xd1" + ref(1) + ref(2), UTF16_WITH_NUL, b"\x52ok"]),
}


@pytest.mark.parametrize("name", HOSTILE)
def test_hostile_global_preferences_in_an_existing_home(host, name):
    host.make_template(non_localized={"Library": {"Preferences": {}}}, languages={"French": {"which.txt": "fr"}})
    host.make_tree("/Users/alice", {"Library": Folder({"Preferences": Folder(
        {".GlobalPreferences.plist": HOSTILE[name]}, owner=(501, 20))}, owner=(501, 20))})
    assert host.run(["x", "/Users/alice", "501", "20", "1", "ignored", "fr", "alice"]) == (0, [])
    assert host.path(f"{GLOBAL}.corrupt").read_bytes() == HOSTILE[name]
    written = host.path(GLOBAL).read_bytes()
    assert b"\0" not in written and plistlib.loads(written) == {"VelmoraLocale": "fr_US"}  # nothing merged
    st = os.lstat(host.path(GLOBAL))
    assert (st.st_uid, st.st_gid, stat.S_IMODE(st.st_mode)) == (501, 20, 0o600)
    assert host.path("/Users/alice/which.txt").read_text() == "fr"
