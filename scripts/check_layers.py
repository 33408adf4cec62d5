#!/usr/bin/env python3
"""Checks that every #include in the tree points down the layers.

The layers, lowest first:

    platform/                      the two builds' NT declarations
    driver code                    script/ registry/ exec/ boot/ driver/
    simkernel/                     the user-mode model of NT
    machine/                       whole machines in a directory
    tools/lib/                     the tool library
    tools/qelmbar/, tools/win32/   the programs

A folder may include its own headers and those of the layers below it;
tests/ and bench/ may include anything but the programs.  Quoted includes
are read as paths from the top of the tree; an include without a folder
is the file's neighbour.  Prints each include against the direction and
exits 1 when there is one.

    scripts/check_layers.py [TREE]
"""
import os
import re
import sys

DRIVER = ["script", "registry", "exec", "boot", "driver"]
BELOW_SIMKERNEL = ["platform"] + DRIVER
BELOW_MACHINE = BELOW_SIMKERNEL + ["simkernel"]
BELOW_TOOLLIB = BELOW_MACHINE + ["machine"]
BELOW_PROGRAMS = BELOW_TOOLLIB + ["tools/lib"]

# Folder (longest match first) -> folders its files may include.
ALLOWED = {
    "platform": ["platform"],
    **{folder: ["platform"] + DRIVER for folder in DRIVER},
    "simkernel": ["platform", "simkernel"],
    "machine": BELOW_TOOLLIB,
    "tools/lib": BELOW_PROGRAMS,
    "tools/qelmbar": BELOW_PROGRAMS + ["tools/qelmbar"],
    # The Windows build of the program: its stand-in for simkernel/sim.h
    # sits in tools/win32/include/simkernel.
    "tools/win32": BELOW_PROGRAMS + ["tools/qelmbar"],
    "tests": BELOW_PROGRAMS + ["tests"],
    "bench": BELOW_PROGRAMS + ["bench", "tests"],
}

SOURCE = (".cpp", ".h")
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')


def folder_of(relative):
    parts = relative.split("/")
    for depth in (2, 1):
        key = "/".join(parts[:depth])
        if key in ALLOWED and len(parts) > depth:
            return key
    return None


def allowed(target, permitted):
    return any(target == p or target.startswith(p + "/") for p in permitted)


def main():
    tree = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else
                           os.path.join(os.path.dirname(__file__), ".."))
    problems = []
    checked = 0
    for root, dirs, files in os.walk(tree):
        dirs[:] = [d for d in dirs if d not in (".git", "build")]
        for name in sorted(files):
            if not name.endswith(SOURCE):
                continue
            path = os.path.join(root, name)
            relative = os.path.relpath(path, tree).replace(os.sep, "/")
            folder = folder_of(relative)
            if folder is None:
                continue
            checked += 1
            with open(path, encoding="utf-8", errors="replace") as f:
                for number, line in enumerate(f, 1):
                    match = INCLUDE.match(line)
                    if not match or "/" not in match.group(1):
                        continue
                    target = match.group(1)
                    if not allowed(target, ALLOWED[folder]):
                        problems.append(f"{relative}:{number}: {folder}/ may not include "
                                        f"\"{target}\"")
    for problem in problems:
        print(problem)
    if problems:
        print(f"{len(problems)} include(s) against the layers")
        return 1
    print(f"layers: {checked} files, every include points down")
    return 0


if __name__ == "__main__":
    sys.exit(main())
