#!/usr/bin/env python3
"""No tracked file depends on a path of the machine that wrote it.

Usage: check-paths.py [SOURCE_DIR]   (the repository root by default)

Looks at every tracked file (`git ls-files`; every file under SOURCE_DIR when it is not
a git checkout) except documents (*.md, whose examples name paths on purpose) and binary
files, and fails, naming file and line, on:
- an include of an absolute path (`#include "/..."` or `#include </...>`);
- a path below /tmp (a file or folder someone had there);
- a home directory (/home/NAME, /root/, /Users/NAME).
Paths made at run time pass: a mkstemp/mkdtemp pattern (`/tmp/name-XXXXXX`), a prefix
joined at run time (`"/tmp/" + name`) and a placeholder (`/tmp/orv-experiment-<uid>`).
Exits 0 when nothing is found, 1 otherwise.
"""
import os
import pathlib
import re
import subprocess
import sys

ABSOLUTE_INCLUDE = re.compile(r'#\s*include\s*["<]/')
TMP_PATH = re.compile(r"/tmp/([A-Za-z0-9._/<>{}$-]+)")
# The check and its test name such paths on purpose.
EXEMPT = {"scripts/check-paths.py", "tests/repo/check_paths.sh"}
HOME = re.compile(r"(?<![A-Za-z0-9_.])(/home/[A-Za-z0-9_.-]+|/root/|/Users/[A-Za-z0-9_.-]+)")


def tracked_files(root):
    if (root / ".git").exists():
        out = subprocess.run(["git", "-C", str(root), "ls-files", "-z"], capture_output=True,
                             check=True).stdout
        return [root / name for name in out.decode().split("\0") if name]
    return [pathlib.Path(d) / f for d, _, files in os.walk(root) for f in files]


def made_at_run_time(tmp_path):
    return "XXXXXX" in tmp_path or "<" in tmp_path or "{" in tmp_path or "$" in tmp_path


def problems(text):
    for number, line in enumerate(text.splitlines(), 1):
        if ABSOLUTE_INCLUDE.search(line):
            yield number, "includes an absolute path"
        for match in TMP_PATH.finditer(line):
            if not made_at_run_time(match.group(1)):
                yield number, "names /tmp/" + match.group(1)
        for match in HOME.finditer(line):
            yield number, "names a home directory (" + match.group(1) + ")"


def main():
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else
                        pathlib.Path(__file__).resolve().parent.parent).resolve()
    found = 0
    for path in tracked_files(root):
        relative = path.relative_to(root).as_posix()
        if (path.suffix == ".md" or relative in EXEMPT or not path.is_file() or
                path.is_symlink()):
            continue
        data = path.read_bytes()
        if b"\0" in data[:8192]:
            continue  # binary: a database fixture, an image
        for number, why in problems(data.decode("utf-8", "replace")):
            print(f"path check: {relative}:{number}: {why}", file=sys.stderr)
            found += 1
    if found:
        print(f"path check: {found} reference(s) to paths outside the repository", file=sys.stderr)
        return 1
    print("path check: no tracked file names a path of the machine that wrote it")
    return 0


if __name__ == "__main__":
    sys.exit(main())
