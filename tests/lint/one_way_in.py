#!/usr/bin/env python3
"""Outside platform/admin/ (paths the administrator names) no product code calls a function that takes a path and
follows links: every item is reached from a held descriptor with *at calls. Allowed as they stand: a pin reopened
through /proc/self/fd (procName), and fixed literals ("/", "/dev/null", "/proc/self/..."). Any other use carries a
comment `one way in: WHY` on its line or in the comment right above it. Prints FILE:LINE for each new one and fails."""

import pathlib
import re
import sys

ROOT = pathlib.Path(__file__).resolve().parents[2]
FOLDERS = ["main", "ctl", "creation", "permissions", "repair", "platform", "host"]
CALLS = ("open fopen opendir stat lstat statfs chmod lchmod chown lchown setxattr lsetxattr getxattr lgetxattr "
         "removexattr lremovexattr listxattr llistxattr access euidaccess realpath canonicalize_file_name mkdir "
         "rmdir unlink remove rename readlink symlink link truncate utime utimes lutimes creat mknod mkfifo chdir "
         "chroot acl_set_file acl_get_file glob").split()
CALL = re.compile(r"(?<![\w.>])(?:::)?(" + "|".join(CALLS) + r")\s*\(\s*([^,)]*)")
STREAM = re.compile(r"\bstd::[io]?fstream\b|\bstd::ifstream\b|\bstd::ofstream\b")
FIXED = re.compile(r'^"(/|/dev/null|/proc/self/[^"]*)"$')
MARK = "one way in:"


def code_of(line):
    """The line without its // comment, and with the text inside string literals blanked (same length), so that
    only calls are found; a call's literal argument is read back from the line itself."""
    out, quoted, i = [], False, 0
    while i < len(line):
        c = line[i]
        if c == '"' and (i == 0 or line[i - 1] != "\\"):
            quoted = not quoted
        elif not quoted and line.startswith("//", i):
            break
        out.append("_" if quoted and c != '"' else c)
        i += 1
    return "".join(out)


def comment_above(lines, number):
    """The block of // comment lines right above line `number` (1-based)."""
    block, i = [], number - 2
    while i >= 0 and lines[i].lstrip().startswith("//"):
        block.append(lines[i])
        i -= 1
    return "\n".join(block)


def findings(path):
    lines = path.read_text(encoding="utf-8").splitlines()
    for number, line in enumerate(lines, 1):
        if MARK in line or MARK in comment_above(lines, number) or "procName(" in line:
            continue
        code = code_of(line)
        if code.lstrip().startswith(("///", "*", "#")):
            continue
        for match in CALL.finditer(code):
            argument = line[match.start(2):match.end(2)].strip()
            if not FIXED.match(argument):
                yield number, match.group(1)
        if STREAM.search(code):
            yield number, "fstream"


def main():
    bad = []
    for folder in FOLDERS:
        for path in sorted((ROOT / folder).rglob("*")):
            if path.suffix not in (".cc", ".h") or (ROOT / "platform/admin") in path.parents:
                continue
            bad += [f"{path.relative_to(ROOT)}:{n}: {call}() takes a path and follows links" for n, call in findings(path)]
    for line in bad:
        print(line)
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
