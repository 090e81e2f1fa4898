"""The stand-in chmod: modes with BSD semantics, and +a entries stored as the
host's extended lists."""

import os
import stat

from hostbin import run, work  # noqa: F401  (work is a fixture)
import hoststate as hs


def mode_of(path):
    return stat.S_IMODE(os.lstat(path).st_mode)


def make_file(path, mode=0o644):
    path.write_text("x")
    os.chmod(path, mode)
    return path


class TestModes:
    def test_octal_mode(self, work):
        f = make_file(work / "f")
        result = run("chmod", "4750", f)
        assert result.returncode == 0, result.stderr
        assert mode_of(f) == 0o4750

    def test_symbolic_clauses(self, work):
        cases = [
            (0o644, "u=rwx,g-rwx,o-rwx", 0o700),
            (0o777, "go-w", 0o755),
            (0o600, "a+r", 0o644),
            (0o640, "u+x,g=u", 0o770),
            (0o750, "o=g", 0o755),
            (0o755, "a=", 0o000),
            (0o644, "+t", 0o1644),
        ]
        for start, clause, wanted in cases:
            f = make_file(work / ("f%o" % start), start)
            os.chmod(f, start)
            result = run("chmod", clause, f)
            assert result.returncode == 0, (clause, result.stderr)
            assert mode_of(f) == wanted, clause

    def test_capital_x_only_for_folders_and_executables(self, work):
        folder = work / "d"
        folder.mkdir()
        os.chmod(folder, 0o600)
        plain = make_file(work / "plain", 0o600)
        runnable = make_file(work / "runnable", 0o700)
        assert run("chmod", "go+X", folder, plain, runnable).returncode == 0
        assert mode_of(folder) == 0o611
        assert mode_of(plain) == 0o600
        assert mode_of(runnable) == 0o711

    def test_follows_a_link_named_on_the_command_line(self, work):
        target = make_file(work / "target", 0o644)
        os.symlink("target", work / "link")
        assert run("chmod", "600", work / "link").returncode == 0
        assert mode_of(target) == 0o600

    def test_missing_file_fails_but_others_change(self, work):
        a = make_file(work / "a")
        b = make_file(work / "b")
        result = run("chmod", "700", a, work / "missing", b)
        assert result.returncode != 0
        assert "missing" in result.stderr
        assert mode_of(a) == 0o700 and mode_of(b) == 0o700

    def test_invalid_mode_changes_nothing(self, work):
        f = make_file(work / "f", 0o644)
        for bad in ("999", "u+q", "rwx", ""):
            result = run("chmod", bad, f)
            assert result.returncode != 0, bad
            assert result.stderr
        assert mode_of(f) == 0o644

    def test_immutable_item_refuses_a_mode_change(self, work):
        folder = work / "locked"
        folder.mkdir()
        os.chmod(folder, 0o755)
        hs.set_immutable(str(folder), True)
        result = run("chmod", "700", folder)
        assert result.returncode != 0
        assert "locked" in result.stderr
        assert mode_of(folder) == 0o755

    def test_usage(self, work):
        assert run("chmod").returncode != 0
        assert run("chmod", "755").returncode != 0
        assert run("chmod", "+a", "group:everyone deny delete").returncode != 0


DENY_DELETE = (hs.DENY, 0x10, 0, hs.EVERYONE)
DROP_BOX = ("root allow list,add_file,search,delete,add_subdirectory,delete_child,readattr,"
            "writeattr,readextattr,writeextattr,readsecurity,writesecurity,chown,"
            "file_inherit,directory_inherit")


class TestAddEntry:
    def test_everyone_deny_delete(self, work):
        folder = work / "home"
        folder.mkdir()
        result = run("chmod", "+a", "group:everyone deny delete", folder)
        assert result.returncode == 0, result.stderr
        assert hs.acl(str(folder)) == [DENY_DELETE]

    def test_drop_box_entry(self, work):
        folder = work / "Drop Box"
        folder.mkdir()
        assert run("chmod", "+a", DROP_BOX, folder).returncode == 0
        assert hs.acl(str(folder)) == [
            (hs.ALLOW, hs.ALL_PERMS, hs.FILE_INHERIT | hs.DIRECTORY_INHERIT, hs.account_uuid(0))]

    def test_qualifier_forms(self, work):
        f = make_file(work / "f")
        for text in ("user:daemon allow search", "group:root allow list", "daemon allow readattr"):
            assert run("chmod", "+a", text, f).returncode == 0, text
        assert hs.acl(str(f)) == [
            (hs.ALLOW, 0x8, 0, hs.account_uuid(1)),
            (hs.ALLOW, 0x2, 0, hs.group_uuid(0)),
            (hs.ALLOW, 0x80, 0, hs.account_uuid(1)),
        ]

    def test_deny_goes_before_allow(self, work):
        f = make_file(work / "f")
        assert run("chmod", "+a", "root allow search", f).returncode == 0
        assert run("chmod", "+a", "group:everyone deny delete", f).returncode == 0
        assert run("chmod", "+a", "daemon deny chown", f).returncode == 0
        assert hs.acl(str(f)) == [
            DENY_DELETE,
            (hs.DENY, 0x2000, 0, hs.account_uuid(1)),
            (hs.ALLOW, 0x8, 0, hs.account_uuid(0)),
        ]

    def test_identical_entry_leaves_the_list_as_it_is(self, work):
        f = make_file(work / "f")
        hs.set_acl(str(f), [(hs.ALLOW, 0x8, 0, hs.account_uuid(0)), DENY_DELETE])
        before = os.getxattr(f, hs.ACL_ATTRIBUTE)
        assert run("chmod", "+a", "group:everyone deny delete", f).returncode == 0
        assert os.getxattr(f, hs.ACL_ATTRIBUTE) == before

    def test_refusals_write_nothing(self, work):
        f = make_file(work / "f")
        for text in ("nosuchuser-hollin allow search", "group:nosuchgroup-hollin deny delete",
                     "root allow", "root grant search", "root allow search,bogus", "root allow search,"):
            result = run("chmod", "+a", text, f)
            assert result.returncode != 0, text
            assert result.stderr.strip(), text
        assert hs.acl(str(f)) == []

    def test_follows_a_link_and_goes_on_after_a_missing_file(self, work):
        target = make_file(work / "target")
        os.symlink("target", work / "link")
        other = make_file(work / "other")
        result = run("chmod", "+a", "group:everyone deny delete", work / "link", work / "missing", other)
        assert result.returncode != 0
        assert "missing" in result.stderr
        assert hs.acl(str(target)) == [DENY_DELETE]
        assert hs.acl(str(other)) == [DENY_DELETE]

    def test_immutable_item_refuses_an_entry(self, work):
        f = make_file(work / "f")
        hs.set_immutable(str(f), True)
        result = run("chmod", "+a", "group:everyone deny delete", f)
        assert result.returncode != 0
        hs.set_immutable(str(f), False)
        assert hs.acl(str(f)) == []
