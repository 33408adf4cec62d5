#!/usr/bin/env python3
"""Checks that every #include in the tree points down the layers.

The layers, lowest first:

    platform/                      the two builds' NT declarations
    driver code                    script/ registry/ exec/ boot/ driver/
    simkernel/regf/                the hive file library
    simkernel/                     the user-mode model of NT
    machine/                       whole machines in a directory
    tools/lib/                     the tool library
    tools/qelmbar/, tools/win32/   the programs

A folder may include its own headers and those of the layers below it;
tests/ and bench/ may include anything but the programs.  Quoted includes
are read as paths from the top of the tree; an include without a folder
is the file's neighbour.  The libraries of the layers link the same way
(qelmbar_toollib, qelmbar_machine, qelmbar_driver, simkernel), so CMake
never has to repeat one.  Prints each include or link against the
direction and exits 1 when there is one.

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
    # The hive library sits below the rest of simkernel: it takes only
    # simkernel's case folding.
    "simkernel/regf": ["platform", "simkernel/regf", "simkernel/upcase.h"],
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

# Library -> the libraries of ours it may link.
LIBRARIES = {
    "simkernel": [],
    "qelmbar_driver": ["simkernel"],
    "qelmbar_machine": ["qelmbar_driver", "simkernel"],
    "qelmbar_toollib": ["qelmbar_machine", "qelmbar_driver", "simkernel"],
}
LINK = re.compile(r"target_link_libraries\(\s*(\w+)([^)]*)\)", re.S)


def link_problems(tree):
    problems = []
    for root, dirs, files in os.walk(tree):
        dirs[:] = [d for d in dirs if d not in (".git", "build")]
        if "CMakeLists.txt" not in files:
            continue
        path = os.path.join(root, "CMakeLists.txt")
        with open(path, encoding="utf-8") as f:
            text = f.read()
        for match in LINK.finditer(text):
            target = match.group(1)
            if target not in LIBRARIES:
                continue
            for linked in match.group(2).split():
                if linked in LIBRARIES and linked not in LIBRARIES[target]:
                    relative = os.path.relpath(path, tree).replace(os.sep, "/")
                    problems.append(f"{relative}: {target} may not link {linked}")
    return problems
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
    problems += link_problems(tree)
    for problem in problems:
        print(problem)
    if problems:
        print(f"{len(problems)} include(s) or link(s) against the layers")
        return 1
    print(f"layers: {checked} files, every include points down")
    return 0


if __name__ == "__main__":
    sys.exit(main())
