#!/usr/bin/env python3
"""Runs the sample sessions of the user guide and compares what the program
prints with what the guide shows.

A sample is a fenced block right after a comment that starts with
"<!-- render", in docs/user-guide.md:

    <!-- render
    sample_machine m
    -->
    ```
    $ qelmbar status --machine m
    Target: machine m (ControlSet001)
    ...
    ```

The comment's further lines, up to "-->", are setup commands whose output is
not shown.  Each "$ " line of the block is a command (a line ending in a
backslash goes on in the next); the lines up to the next command are what it
prints, standard output and standard error together.  A line that is only
"..." (indented or not) stands for any number of lines, for samples that
show part of a long report.

Every sample runs in a fresh directory of its own, with `qelmbar` on the
PATH, `examples` leading to the repository's examples, and each file that a
"<!-- file: NAME -->" comment before an earlier block names, written with
that block's text.  The shell function `sample_machine DIR` makes the sample
machine of examples/sample-machine (Lumen Editor 1.4 installed, the 2.0
installer's files staged).

    scripts/render_guide.py [--qelmbar PATH] [--guide FILE]    compare
    scripts/render_guide.py --update [...]                     rewrite samples

Comparing exits 1 and shows each difference when a sample is out of date.
--update writes the program's output into every sample without "..." lines;
a sample with them that no longer matches is reported for a hand edit.
"""
import argparse
import difflib
import os
import re
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))

PREAMBLE = r"""
sample_machine() {
  qelmbar machine create -q "$1" &&
  qelmbar machine import -q "$1" examples/sample-machine/software.reg --force \
    --copy 'examples/sample-machine/C=C:\'
}
"""


class Sample:
    def __init__(self, start, end, setup, lines, files):
        self.start = start      # index of the opening fence
        self.end = end          # index of the closing fence
        self.setup = setup      # setup commands, one a line
        self.lines = lines      # the block's lines
        self.files = dict(files)


def parse(text):
    lines = text.split("\n")
    samples, files = [], {}
    i = 0
    while i < len(lines):
        line = lines[i]
        file_match = re.match(r"^<!-- file: (\S+) -->$", line.strip())
        if file_match or line.startswith("<!-- render"):
            setup = []
            if not file_match:
                rest = line[len("<!-- render"):]
                while "-->" not in rest:
                    if rest.strip():
                        setup.append(rest.strip())
                    i += 1
                    rest = lines[i]
                head = rest.split("-->")[0]
                if head.strip():
                    setup.append(head.strip())
            i += 1
            if i >= len(lines) or not lines[i].startswith("```"):
                sys.exit("line %d: a render or file comment must stand right before a "
                         "fenced block" % i)
            start = i
            i += 1
            while i < len(lines) and not lines[i].startswith("```"):
                i += 1
            block = lines[start + 1:i]
            if file_match:
                files[file_match.group(1)] = "\n".join(block) + "\n"
            else:
                samples.append(Sample(start, i, setup, block, files))
        i += 1
    return lines, samples


def commands_of(block):
    """[(command, expected lines)] of a block."""
    steps = []
    i = 0
    while i < len(block):
        line = block[i]
        if not line.startswith("$ "):
            if not steps:
                sys.exit("a sample must start with a '$ ' command line: %r" % line)
            steps[-1][1].append(line)
            i += 1
            continue
        command = [line[2:]]
        while command[-1].endswith("\\") and i + 1 < len(block):
            i += 1
            command.append(block[i])
        steps.append(("\n".join(command), []))
        i += 1
    return steps


def matches(expected, actual):
    """Whether actual fits expected, where a "..." line stands for any lines."""
    if not expected:
        return not actual
    if expected[0].strip() == "...":
        return any(matches(expected[1:], actual[k:]) for k in range(len(actual) + 1))
    return bool(actual) and expected[0] == actual[0] and matches(expected[1:], actual[1:])


def run_sample(sample, qelmbar):
    work = tempfile.mkdtemp(prefix="qelmbar-guide-")
    try:
        os.symlink(os.path.join(ROOT, "examples"), os.path.join(work, "examples"))
        for name, content in sample.files.items():
            path = os.path.join(work, name)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "w", encoding="utf-8") as f:
                f.write(content)
        env = dict(os.environ)
        env["PATH"] = os.path.dirname(os.path.abspath(qelmbar)) + os.pathsep + env["PATH"]
        env["LC_ALL"] = "C.UTF-8"
        env.pop("COLUMNS", None)

        def shell(command):
            return subprocess.run(["bash", "-c", PREAMBLE + command], cwd=work, env=env,
                                  stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                  stdin=subprocess.DEVNULL)

        for command in sample.setup:
            done = shell(command)
            if done.returncode != 0:
                return None, "setup command %r failed:\n%s" % (
                    command, done.stdout.decode("utf-8", "replace"))
        results = []
        for command, expected in commands_of(sample.lines):
            done = shell(command)
            out = done.stdout.decode("utf-8", "replace")
            actual = out.split("\n")
            if actual and actual[-1] == "":
                actual.pop()
            results.append((command, expected, actual))
        return results, None
    finally:
        shutil.rmtree(work, ignore_errors=True)


def rendered(results):
    lines = []
    for command, _, actual in results:
        lines.append("$ " + command)
        lines.extend(actual)
    return lines


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--qelmbar", default=os.path.join(ROOT, "build/host/tools/qelmbar"))
    parser.add_argument("--guide", default=os.path.join(ROOT, "docs/user-guide.md"))
    parser.add_argument("--update", action="store_true")
    args = parser.parse_args()
    if not os.access(args.qelmbar, os.X_OK):
        sys.exit("no qelmbar program at %s (build it, or give --qelmbar)" % args.qelmbar)

    with open(args.guide, encoding="utf-8") as f:
        lines, samples = parse(f.read())
    stale, hand = 0, 0
    replacements = []
    for sample in samples:
        where = "%s:%d" % (os.path.relpath(args.guide), sample.start + 1)
        results, problem = run_sample(sample, args.qelmbar)
        if problem:
            print("%s: %s" % (where, problem))
            stale += 1
            continue
        if all(matches(expected, actual) for _, expected, actual in results):
            continue
        elided = any(line.strip() == "..." for line in sample.lines)
        if args.update and not elided:
            replacements.append((sample, rendered(results)))
            print("%s: updated" % where)
            continue
        stale += 1
        if elided:
            hand += 1
        print("%s: the sample differs from what the program prints%s:" %
              (where, " (it elides lines: edit it by hand)" if elided else ""))
        for command, expected, actual in results:
            if matches(expected, actual):
                continue
            sys.stdout.writelines(
                line + "\n" for line in difflib.unified_diff(
                    expected, actual, "guide: $ " + command.split("\n")[0], "program", lineterm=""))
    if replacements:
        for sample, new in sorted(replacements, key=lambda r: -r[0].start):
            lines[sample.start + 1:sample.end] = new
        with open(args.guide, "w", encoding="utf-8") as f:
            f.write("\n".join(lines))
    print("%d samples, %d out of date%s" % (
        len(samples), stale, ", %d to edit by hand" % hand if hand else ""))
    return 1 if stale else 0


if __name__ == "__main__":
    sys.exit(main())
