#!/usr/bin/env python3
"""Checks the cleanup shape of the driver sources.

Every routine that acquires resources releases them in one cleanup tail:
the only label in driver code is `Exit:`, and a handle is closed only in a
tail, right after a test that it is open.  A tail is what follows `Exit:`,
or, in a routine without a label, the run of releases that ends it (the
release routines of records that hold handles are such tails).

Usage: check_cleanup.py SOURCE_DIR; prints each offence and exits 1.
"""
import pathlib
import re
import sys

FOLDERS = ("driver", "boot", "exec", "registry", "script")
LABEL = re.compile(r"^([A-Za-z_]\w*):\s*$")
CLOSE = re.compile(r"\bZwClose\((.+)\);")
# Statements that may follow a close in a tail: more releases, the tests
# guarding them, and the return.
RELEASE = re.compile(
    r"^(if \(.*\)\s*\{?|\}|\{|ZwClose\(.*\);|ExFreePoolWithTag\(.*\);|"
    r"(Free|Release|Close)\w*\(.*\);|ObDereferenceObject\(.*\);|return[^;]*;|"
    r"/\*.*\*/|\*.*|)$")


def routines(lines):
    """Yields (first, last) line indexes of each routine body at column 0."""
    start = None
    for index, line in enumerate(lines):
        if line.startswith("{"):
            start = index
        elif line.startswith("}") and start is not None:
            yield start, index
            start = None


def check(path):
    offences = []
    lines = path.read_text().split("\n")
    for index, line in enumerate(lines):
        match = LABEL.match(line)
        if match and match.group(1) not in ("Exit", "default", "public", "private"):
            offences.append(f"{path}:{index + 1}: cleanup label '{match.group(1)}' (use Exit)")
    for first, last in routines(lines):
        labelled = None
        for index in range(first, last):
            if LABEL.match(lines[index]) and lines[index].startswith("Exit"):
                labelled = index
            match = CLOSE.search(lines[index])
            if not match:
                continue
            handle = match.group(1).strip()
            where = f"{path}:{index + 1}"
            if lines[index - 1].strip() != f"if ({handle})":
                offences.append(f"{where}: ZwClose({handle}) without 'if ({handle})' before it")
            if labelled is not None:
                continue
            rest = [l.strip() for l in lines[index + 1:last]]
            if not all(RELEASE.match(l) for l in rest):
                offences.append(f"{where}: ZwClose({handle}) outside the cleanup tail")
    return offences


def main():
    root = pathlib.Path(sys.argv[1])
    offences = []
    for folder in FOLDERS:
        for path in sorted((root / folder).rglob("*.cpp")):
            offences += check(path)
    for offence in offences:
        print(offence)
    return 1 if offences else 0


if __name__ == "__main__":
    sys.exit(main())
