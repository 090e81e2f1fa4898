"""A home's global preferences written by its owner to hurt root: a full creation there merges nothing from it,
keeps it as .corrupt and writes a clean file in its place."""

import os
import plistlib
import stat
import struct

import pytest

from conftest import Folder

PREFS = "/Users/alice/Library/Preferences"
GLOBAL = f"{PREFS}/.GlobalPreferences.plist"


def binary_plist(objects):
    """Object 0 on top; 4-byte references and offsets."""
    body, offsets = b"bplist00", []
    for obj in objects:
        offsets.append(len(body))
        body += obj
    table = len(body)
    body += b"".join(struct.pack(">I", o) for o in offsets)
    return body + bytes(6) + b"\x04\x04" + struct.pack(">QQQ", len(objects), 0, table)


def ref(i):
    return struct.pack(">I", i)


DEPTH = 100_000
HOSTILE = {
    "xml-100000-deep": b"<plist><dict><key>Mine</key>" + b"<array>" * DEPTH + b"</array>" * DEPTH + b"</dict></plist>",
    "binary-100000-deep": binary_plist([b"\xd1" + ref(1) + ref(2), b"\x54Mine"]
                                       + [b"\xa1" + ref(i + 3) for i in range(DEPTH - 1)] + [b"\xa0"]),
    "nul-in-xml-string": b"<plist><dict><key>Mine</key><string>a\0" + b"b" * 64 + b"</string></dict></plist>",
    # UTF-16 with a NUL inside, which libplist's binary reader keeps
    "nul-in-binary-key": binary_plist([b"\xd1" + ref(1) + ref(2), b"\x63\x00\xe9\x00\x00\x00x", b"\x52ok"]),
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
