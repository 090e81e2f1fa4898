"""Which user template a command line finds. The locator logs only when it
finds none, so each case leaves just the candidates it is about; which
template serves a repair is seen in test_repair.py."""

import pytest

from conftest import Link

REPAIR = "-repairPermissions"
MISSING = "/System/Library/User Template doesn't exist"


def nowhere(home):
    return f"error locating UT for {home}"


@pytest.mark.parametrize("boot, volume, args, line", [
    ("Library", "Data", [REPAIR, "/users/alice", "x", "alice"], nowhere("/users/alice")),
    ("Library", "Data", [REPAIR, "Users/alice", "x", "alice"], nowhere("Users/alice")),
    ("Library", "Data", [REPAIR, "/Volumes/Data", "x", "alice"], nowhere("/Volumes/Data")),
    ("Library", None, [REPAIR, "nosuchuser"], nowhere("nosuchuser")),  # no account: the name is the path
    ("Library", None, [REPAIR, "daemon"], nowhere("/var/root")),  # the account's home
    ("System", None, [REPAIR, "/Usersx/a", "x", "alice"], None),
    (None, "Data", [REPAIR, "/Usersx/a", "x", "alice"], MISSING),
    (None, "Data", [REPAIR, "/Volumes/Data/", "x", "alice"], None),
    (None, "Other", [REPAIR, "/Volumes/Data/Users/alice", "x", "alice"], MISSING),
    (None, "Data", ["x", "/Volumes/Data/Users/carol"], MISSING),  # the create form looks at the boot volume only
    ("dangling", None, [REPAIR, "alice"], MISSING),
])
def test_template_lookup(host, boot, volume, args, line):
    if boot == "dangling":
        host.make_tree("/Library", {"User Template": Link("Gone")})
        host.make_tree("/System/Library", {"User Template": Link("Gone")})
    elif boot:
        host.make_template(("System/" if boot == "System" else "") + "Library/User Template")
    if volume:
        host.mount_tmpfs(f"/Volumes/{volume}")
        host.make_template(f"Volumes/{volume}/Library/User Template")
    before = host.snapshot()
    status, lines = host.run(args)
    if line:
        assert (status, lines) == (1, [line])
        assert host.snapshot() == before
    else:
        assert not [x for x in lines if x.startswith((nowhere(""), MISSING))], lines
