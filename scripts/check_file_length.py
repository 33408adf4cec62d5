#!/usr/bin/env python3
"""Checks that no hand-written source file of the tree is longer than
800 lines.  Generated tables (simkernel/upcase_table.cpp) and the platform's
NT declarations for the host build (platform/nt_host.h) are exempt.  Prints
each file over the limit and exits 1 when there is one.

    scripts/check_file_length.py [TREE]
"""
import os
import sys

LIMIT = 800
SOURCE = (".cpp", ".h", ".py", ".sh", ".cmake")
EXEMPT = {"simkernel/upcase_table.cpp", "platform/nt_host.h"}


def main():
    tree = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else
                           os.path.join(os.path.dirname(__file__), ".."))
    long_files = []
    for root, dirs, files in os.walk(tree):
        dirs[:] = [d for d in dirs if d not in (".git", "build")]
        for name in sorted(files):
            if not (name.endswith(SOURCE) or name == "CMakeLists.txt"):
                continue
            relative = os.path.relpath(os.path.join(root, name), tree).replace(os.sep, "/")
            if relative in EXEMPT:
                continue
            with open(os.path.join(root, name), encoding="utf-8", errors="replace") as f:
                lines = sum(1 for _ in f)
            if lines > LIMIT:
                long_files.append((relative, lines))
    for relative, lines in long_files:
        print(f"{relative}: {lines} lines, more than {LIMIT}")
    return 1 if long_files else 0


if __name__ == "__main__":
    sys.exit(main())
