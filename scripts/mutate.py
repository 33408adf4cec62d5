#!/usr/bin/env python3
"""Mutation testing of the driver sources.

Puts one small fault at a time into the driver code (driver/, boot/, exec/,
registry/, script/), rebuilds the test programs incrementally and runs the
test suite against it.  A mutant the suite notices is killed; one it does
not notice survived and points at a behaviour no test pins down.

The work happens in a copy of the sources at the last commit (build/mutate/src
by default; --working-tree takes uncommitted changes too), so the tree you
edit is never changed, even when a run is interrupted.
Mutants are chosen deterministically from a seed; the same seed, count and
sources give the same mutants.  Mutants shown to be equivalent to the
original program are listed with their reason in
scripts/mutants-equivalent.txt and are not run.

    scripts/mutate.py                      # 200 mutants, seed 1
    scripts/mutate.py --count 40 --seed 7  # another sample
    scripts/mutate.py --files exec/file_move.cpp --all   # every mutant of one file
    scripts/mutate.py --list               # show the selection only
    scripts/mutate.py --only ID[,ID...]    # rerun chosen mutants
    scripts/mutate.py --resume             # skip mutants already in the results file

See docs/mutation-testing.md.
"""

import argparse
import hashlib
import json
import math
import os
import random
import re
import shutil
import subprocess
import sys
import time
from dataclasses import dataclass, field

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FOLDERS = ["driver", "boot", "exec", "registry", "script"]
EQUIVALENT_FILE = os.path.join(ROOT, "scripts", "mutants-equivalent.txt")

from mutation_catalogue import (DATA_WEIGHT, KIND_WEIGHT, KINDS, Mutant,  # noqa: E402
                                find_mutants)


REVISION = "HEAD"  # where sources are read from; None: the working tree


def read_source(path):
    """A driver source as the run will mutate it: at REVISION, or as it is
    in the working tree."""
    if REVISION:
        return subprocess.run(["git", "show", "%s:%s" % (REVISION, path)], cwd=ROOT, check=True,
                              stdout=subprocess.PIPE).stdout.decode("utf-8")
    with open(os.path.join(ROOT, path), encoding="utf-8") as fh:
        return fh.read()


def custom_mutant(definition):
    try:
        path, old, new = definition.split("::")
    except ValueError:
        sys.exit("--custom wants PATH::OLD::NEW, not %r" % definition)
    text = read_source(path)
    if text.count(old) != 1:
        sys.exit("%s: %r occurs %d times, not once" % (path, old, text.count(old)))
    start = text.index(old)
    mu = Mutant(path, "custom", start, start + len(old), new)
    mu.line = text.count("\n", 0, start) + 1
    ls = text.rfind("\n", 0, start) + 1
    le = text.find("\n", mu.end)
    le = len(text) if le < 0 else le
    mu.original_line = text[ls:le]
    mu.mutated_line = text[ls:start] + new + text[mu.end:le]
    mu.id = "custom-" + hashlib.sha1(definition.encode()).hexdigest()[:6]
    return mu


def source_files(root, only_files=None):
    files = []
    for folder in FOLDERS:
        base = os.path.join(root, folder)
        for dirpath, _, names in os.walk(base):
            rel = os.path.relpath(dirpath, root)
            if rel.startswith(os.path.join("driver", "kernel")):
                continue  # the kernel build's image entry only
            for name in sorted(names):
                if name.endswith(".cpp"):
                    files.append(os.path.join(rel, name))
    files.sort()
    if only_files:
        files = [f for f in files if any(f == o or f.startswith(o.rstrip("/") + "/") for o in only_files)]
    return files


def select(root, count, seed, only_files=None, kinds=None, take_all=False):
    """Every candidate, then a deterministic sample: each folder's share of
    the count follows its share of the source lines, and within a folder
    sites in data-protecting code weigh DATA_WEIGHT times as much."""
    files = source_files(root, only_files)
    per_folder = {}
    lines = {}
    for f in files:
        text = read_source(f)
        folder = f.split(os.sep)[0]
        lines[folder] = lines.get(folder, 0) + text.count("\n")
        cands = find_mutants(f, text)
        if kinds:
            cands = [c for c in cands if c.kind in kinds]
        per_folder.setdefault(folder, []).extend(cands)
    if take_all:
        chosen = [m for folder in sorted(per_folder) for m in per_folder[folder] if not m.skip]
    else:
        total = sum(lines.values())
        rng = random.Random(seed)
        chosen = []
        quotas = {f: count * lines[f] / total for f in per_folder}
        # largest remainder, so the shares add up to count
        floor = {f: int(q) for f, q in quotas.items()}
        left = count - sum(floor.values())
        for f in sorted(quotas, key=lambda f: (-(quotas[f] - floor[f]), f))[:left]:
            floor[f] += 1
        for folder in sorted(per_folder):
            cands = per_folder[folder]
            keyed = []
            for c in cands:
                # a site the catalogue leaves out still draws its number,
                # so that leaving one out does not change the others' draw
                u = rng.random()
                if not c.skip:
                    keyed.append((math.log(u) / c.weight if u > 0 else -1e300, c))
            keyed.sort(key=lambda kc: -kc[0])
            chosen.extend(c for _, c in keyed[:floor[folder]])
    chosen.sort(key=lambda m: (m.path, m.start, m.kind, m.replacement))
    return chosen


def read_equivalents(path):
    equivalents = {}
    if not os.path.exists(path):
        return equivalents
    with open(path, encoding="utf-8") as fh:
        for raw in fh:
            line = raw.strip()
            if not line or line.startswith("#"):
                continue
            parts = line.split(None, 1)
            equivalents[parts[0]] = parts[1] if len(parts) > 1 else ""
    return equivalents


# ---- the work tree ---------------------------------------------------------

def blob_id(data):
    return hashlib.sha1(b"blob %d\0" % len(data) + data).hexdigest()


def sync_tree(src, dst, revision):
    """Makes dst hold the files of src at the given commit (or, with
    revision None, the tracked and unignored files of the working tree),
    writing only those that differ.  Files of dst no longer in the tree
    stay; the build does not list them."""
    wanted = {}
    if revision:
        listing = subprocess.run(["git", "ls-tree", "-r", "-z", revision], cwd=src, check=True,
                                 stdout=subprocess.PIPE).stdout.decode().split("\0")
        for entry in filter(None, listing):
            meta, rel = entry.split("\t", 1)
            mode, kind, blob = meta.split()
            if kind == "blob":
                wanted[rel] = (blob, mode)
    else:
        listing = subprocess.run(["git", "ls-files", "-co", "--exclude-standard", "-z"], cwd=src,
                                 check=True, stdout=subprocess.PIPE).stdout.decode().split("\0")
        for rel in filter(None, listing):
            if os.path.isfile(os.path.join(src, rel)):
                wanted[rel] = (None, None)
    copied = 0
    for rel, (blob, mode) in sorted(wanted.items()):
        d = os.path.join(dst, rel)
        if blob:
            if os.path.exists(d):
                with open(d, "rb") as fh:
                    if blob_id(fh.read()) == blob:
                        continue
            data = subprocess.run(["git", "cat-file", "blob", blob], cwd=src, check=True,
                                  stdout=subprocess.PIPE).stdout
        else:
            with open(os.path.join(src, rel), "rb") as fh:
                data = fh.read()
            if os.path.exists(d):
                with open(d, "rb") as fh:
                    if fh.read() == data:
                        continue
        os.makedirs(os.path.dirname(d), exist_ok=True)
        with open(d, "wb") as fh:
            fh.write(data)
        if (mode == "100755") or (not blob and os.access(os.path.join(src, rel), os.X_OK)):
            os.chmod(d, 0o755)
        copied += 1
    return copied


def run(cmd, cwd, timeout=None, log=None):
    start = time.time()
    try:
        p = subprocess.run(cmd, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                           timeout=timeout)
        out = p.stdout.decode(errors="replace")
        rc = p.returncode
    except subprocess.TimeoutExpired as e:
        out = (e.stdout or b"").decode(errors="replace") + "\n[timed out]"
        rc = -999
    return rc, out, time.time() - start


class Runner:
    def __init__(self, args):
        self.args = args
        self.work = os.path.abspath(args.work)
        self.src = os.path.join(self.work, "src")
        self.build = os.path.join(self.work, "build")

    def prepare(self):
        os.makedirs(self.src, exist_ok=True)
        revision = REVISION
        n = sync_tree(ROOT, self.src, revision)
        print("work tree %s: %d files copied from %s" % (
            self.src, n, "the working tree" if revision is None else
            subprocess.run(["git", "rev-parse", "--short", "HEAD"], cwd=ROOT,
                           stdout=subprocess.PIPE).stdout.decode().strip()), flush=True)
        cache = os.path.join(self.build, "CMakeCache.txt")
        flags = None
        if os.path.exists(cache):
            with open(cache) as fh:
                m = re.search(r"^CMAKE_CXX_FLAGS:STRING=(.*)$", fh.read(), re.M)
                flags = m.group(1) if m else None
        if not os.path.exists(os.path.join(self.build, "build.ninja")) or flags != self.args.cxxflags:
            rc, out, _ = run(["cmake", "-S", self.src, "-B", self.build, "-G", "Ninja",
                              "-DCMAKE_BUILD_TYPE=", "-DCMAKE_CXX_FLAGS=%s" % self.args.cxxflags],
                             self.work)
            if rc != 0:
                sys.exit("configure failed:\n" + out)

    def programs(self):
        return [t for t in self.args.targets.split(",") if t]

    def rebuild(self, targets=None):
        return run(["ninja", "-C", self.build, "-j%d" % self.args.jobs] + (targets or self.programs()),
                   self.work, timeout=self.args.build_timeout)

    def run_ctest(self):
        # Without the cost data of earlier runs ctest starts the tests in
        # the order they were declared, fast unit tests before whole boots,
        # after those that failed last time: a killed mutant ends early.
        cost = os.path.join(self.build, "Testing", "Temporary", "CTestCostData.txt")
        if os.path.exists(cost):
            os.remove(cost)
        cmd = ["ctest", "--test-dir", self.build, "-j%d" % self.args.jobs, "--timeout",
               str(self.args.timeout), "--stop-on-failure", "-E", self.args.exclude,
               "--output-on-failure"]
        rc, out, secs = run(cmd, self.work, timeout=self.args.suite_timeout)
        return rc, (first_failure(out) if rc != -999 else "suite timed out"), secs, out

    def run_program(self, program, limit):
        """The program's tests in --jobs shards at once, each stopping at its
        first failure; the first shard to fail ends the others."""
        exe = os.path.join(self.build, "tests", program)
        shards = []
        start = time.time()
        for index in range(self.args.jobs):
            env = dict(os.environ, GTEST_TOTAL_SHARDS=str(self.args.jobs),
                       GTEST_SHARD_INDEX=str(index))
            log = open(os.path.join(self.work, "shard%d.log" % index), "w+b")
            proc = subprocess.Popen([exe, "--gtest_fail_fast", "--gtest_brief=1"], cwd=self.work,
                                    env=env, stdout=log, stderr=subprocess.STDOUT,
                                    start_new_session=True)
            shards.append((proc, log))
        failed = None
        timed_out = False
        while any(p.poll() is None for p, _ in shards):
            for p, _ in shards:
                if p.poll() not in (None, 0):
                    failed = p
            if failed or time.time() - start > limit:
                timed_out = not failed
                break
            time.sleep(0.1)
        for p, _ in shards:
            if p.poll() is None:
                try:
                    os.killpg(p.pid, 9)
                except ProcessLookupError:
                    pass
                p.wait()
        out = ""
        for p, log in shards:
            log.seek(0)
            out += log.read().decode(errors="replace")
            log.close()
        secs = time.time() - start
        if timed_out:
            return -999, "%s timed out after %.0fs" % (program, limit), secs, out
        rc = next((p.returncode for p, _ in shards if p.returncode != 0), 0)
        if rc == 0:
            return 0, "", secs, out
        m = re.search(r"\[  FAILED  \] (\S+)", out)
        name = m.group(1) if m else "%s exited with %d" % (program, rc)
        return rc, name, secs, out

    def evaluate(self, baseline=None):
        """Builds and tests the tree as it is: (outcome, detail, build
        seconds, test seconds, output).  The programs are built and run one
        after the other, so a mutant the first one kills costs no more."""
        build_secs = test_secs = 0.0
        out = ""
        for program in self.programs():
            rc, out, secs = self.rebuild([program])
            build_secs += secs
            if rc != 0:
                err = re.search(r"error: (.*)", out)
                return "no-build", (err.group(1)[:120] if err else "build failed"), build_secs, test_secs, out
            if self.args.runner == "ctest" or not program.endswith("_tests"):
                continue
            limit = self.args.suite_timeout
            if baseline and program in baseline:
                limit = max(self.args.timeout, self.args.slowdown * baseline[program])
            rc, detail, secs, out = self.run_program(program, limit)
            test_secs += secs
            if baseline is not None and rc == 0:
                baseline[program] = secs
            if rc != 0:
                return "killed", detail, build_secs, test_secs, out
        if self.args.runner == "ctest":
            rc, detail, secs, out = self.run_ctest()
            test_secs += secs
            if rc != 0:
                return "killed", detail, build_secs, test_secs, out
        return "survived", "", build_secs, test_secs, out


def first_failure(out):
    for line in out.splitlines():
        m = re.search(r"\d+/\d+ Test\s+#\d+: (\S+) \.+\**\s*(Failed|Timeout|Exception|Subprocess|\*\*\*)", line)
        if m:
            return m.group(1) + (" (timeout)" if "Timeout" in line else "")
    m = re.search(r"The following tests FAILED:\s*\n\s*\d+ - (\S+)", out)
    return m.group(1) if m else "?"


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--count", type=int, default=200, help="mutants to draw (default 200)")
    ap.add_argument("--seed", type=int, default=1, help="seed of the draw (default 1)")
    ap.add_argument("--files", default="", help="comma-separated files or folders to mutate")
    ap.add_argument("--kinds", default="", help="comma-separated kinds (default all): " +
                    ", ".join(KINDS))
    ap.add_argument("--all", action="store_true", help="every candidate of the files, no draw")
    ap.add_argument("--only", default="", help="comma-separated mutant ids to run")
    ap.add_argument("--first", type=int, default=0, help="run only the first N of the selection")
    ap.add_argument("--list", action="store_true", help="print the selection and stop")
    ap.add_argument("--work", default=os.path.join(ROOT, "build", "mutate"),
                    help="work directory (source copy and build), default build/mutate")
    ap.add_argument("--results", default="", help="JSON-lines results (default WORK/results.jsonl)")
    ap.add_argument("--resume", action="store_true", help="skip mutants already in the results")
    ap.add_argument("--retry-survivors", action="store_true",
                    help="with --resume: run again the mutants that survived (after new tests)")
    ap.add_argument("--working-tree", action="store_true",
                    help="mutate the working tree's files as they are (default: the last commit)")
    ap.add_argument("--jobs", type=int, default=2, help="ninja and ctest parallelism (default 2)")
    ap.add_argument("--runner", choices=["gtest", "ctest"], default="gtest",
                    help="gtest (default): each test program run directly in --jobs shards, "
                    "stopping at the first failure, with a timeout of --slowdown times its "
                    "unmutated run (at least --timeout); ctest: the whole suite through ctest "
                    "with --timeout per test")
    ap.add_argument("--slowdown", type=float, default=4.0,
                    help="gtest runner: a program taking this many times its unmutated run is "
                    "killed as hanging (default 4)")
    ap.add_argument("--timeout", type=int, default=60,
                    help="per-test timeout for ctest, least program timeout for gtest (default 60)")
    ap.add_argument("--suite-timeout", type=int, default=1800, help="whole-suite timeout (default 1800)")
    ap.add_argument("--build-timeout", type=int, default=900)
    ap.add_argument("--cxxflags", default="-O1 -g0", help="compiler flags of the mutation build")
    ap.add_argument("--targets", default="driver_tests,machine_tests",
                    help="ninja targets rebuilt for each mutant, comma-separated (default: the "
                    "programs that test driver code; add tool_tests,qelmbar,wine_peer_tests for "
                    "the tool's tests too)")
    ap.add_argument("--exclude", default="_NOT_BUILT$",
                    help="ctest -E regex of tests not run (default: those of programs not built)")
    ap.add_argument("--custom", action="append", default=[], metavar="PATH::OLD::NEW",
                    help="run a mutant of your own instead of a draw: OLD, which must occur "
                    "exactly once in PATH, becomes NEW (repeatable); run before the draw "
                    "(--count 0: alone) and kept out of the score")
    ap.add_argument("--custom-file", action="append", default=[], metavar="FILE",
                    help="mutants of your own, one PATH::OLD::NEW a line (\\n for a newline)")
    ap.add_argument("--equivalents", default=EQUIVALENT_FILE)
    ap.add_argument("--no-baseline", action="store_true", help="skip the run of the unmutated suite")
    args = ap.parse_args()

    global REVISION
    REVISION = None if args.working_tree else "HEAD"
    only_files = [f for f in args.files.split(",") if f]
    kinds = [k for k in args.kinds.split(",") if k]
    for k in kinds:
        if k not in KINDS:
            sys.exit("unknown kind %s" % k)
    customs = [custom_mutant(definition) for definition in args.custom]
    for mutant_file in args.custom_file:
        with open(mutant_file, encoding="utf-8") as fh:
            for line in fh:
                if line.strip() and not line.startswith("#"):
                    customs.append(custom_mutant(line.rstrip("\n").replace("\\n", "\n")))
    mutants = []
    if args.count > 0 or args.all or args.only:
        mutants = select(ROOT, args.count, args.seed, only_files, kinds,
                         args.all or bool(args.only))
    mutants = customs + mutants
    if args.only:
        wanted = set(args.only.split(","))
        mutants = [m for m in mutants if m.id in wanted]
    if args.first:
        mutants = mutants[:args.first]
    equivalents = read_equivalents(args.equivalents)

    if args.list:
        for m in mutants:
            tag = "  [equivalent]" if m.id in equivalents else ""
            print("%s%s\n    - %s\n    + %s" % (m.describe(), tag, m.original_line.strip(),
                                                m.mutated_line.strip()))
        by_folder = {}
        for m in mutants:
            by_folder[m.path.split("/")[0]] = by_folder.get(m.path.split("/")[0], 0) + 1
        print("%d mutants: %s" % (len(mutants), ", ".join("%s %d" % kv for kv in sorted(by_folder.items()))))
        return 0

    runner = Runner(args)
    results_path = args.results or os.path.join(runner.work, "results.jsonl")
    done = {}
    if args.resume and os.path.exists(results_path):
        with open(results_path) as fh:
            for line in fh:
                r = json.loads(line)
                if args.retry_survivors and r["outcome"] == "survived":
                    continue
                done[r["id"]] = r
    elif os.path.exists(results_path) and not args.only:
        os.remove(results_path)

    runner.prepare()
    print("seed %d, %d mutants, kinds: %s" % (args.seed, len(mutants), ",".join(kinds) or "all"),
          flush=True)
    baseline = {}
    if not args.no_baseline:
        outcome, detail, bsecs, tsecs, out = runner.evaluate(baseline)
        if outcome == "no-build":
            sys.exit("the unmutated tree does not build:\n" + out[-4000:])
        if outcome != "survived":
            sys.exit("the unmutated suite fails (%s); fix it first:\n%s" % (detail, out[-4000:]))
        print("baseline: built in %.0fs, tests pass in %.0fs (%s)" % (
            bsecs, tsecs, ", ".join("%s %.0fs" % kv for kv in baseline.items())), flush=True)

    counts = {"killed": 0, "survived": 0, "no-build": 0, "equivalent": 0}
    survivors = []
    customs_done = []
    started = time.time()
    results = open(results_path, "a")
    try:
        for index, m in enumerate(mutants, 1):
            label = "[%d/%d] %s" % (index, len(mutants), m.describe())
            if m.id in equivalents:
                counts["equivalent"] += 1
                print("%s EQUIVALENT (%s)" % (label, equivalents[m.id]), flush=True)
                continue
            if m.id in done:
                r = done[m.id]
                if m.kind == "custom":
                    customs_done.append((m, r["outcome"], r.get("detail", "") + " (earlier run)"))
                else:
                    counts[r["outcome"]] += 1
                    if r["outcome"] == "survived":
                        survivors.append(m)
                print("%s %s (earlier run)" % (label, r["outcome"].upper()), flush=True)
                continue
            target = os.path.join(runner.src, m.path)
            with open(target, encoding="utf-8") as fh:
                original = fh.read()
            mutated = original[:m.start] + m.replacement + original[m.end:]
            detail = ""
            try:
                with open(target, "w", encoding="utf-8") as fh:
                    fh.write(mutated)
                outcome, detail, bsecs, tsecs, out = runner.evaluate(baseline)
            finally:
                with open(target, "w", encoding="utf-8") as fh:
                    fh.write(original)
            if m.kind == "custom":
                customs_done.append((m, outcome, detail))
            else:
                counts[outcome] += 1
                if outcome == "survived":
                    survivors.append(m)
            print("%s %s (build %.0fs, tests %.0fs) %s\n    - %s\n    + %s" % (
                label, outcome.upper(), bsecs, tsecs, detail, m.original_line.strip(),
                m.mutated_line.strip()), flush=True)
            results.write(json.dumps({"id": m.id, "path": m.path, "line": m.line, "kind": m.kind,
                                      "outcome": outcome, "detail": detail,
                                      "original": m.original_line.strip(),
                                      "mutated": m.mutated_line.strip()}) + "\n")
            results.flush()
    finally:
        results.close()
        # leave the work tree's build matching the sources again
        runner.rebuild()

    judged = counts["killed"] + counts["survived"]
    score = 100.0 * counts["killed"] / judged if judged else 0.0
    if customs_done:
        print("\nmutants of your own (not in the score):")
        for m, outcome, detail in customs_done:
            print("  %s %s %s\n    - %s\n    + %s" % (m.describe(), outcome.upper(), detail,
                                                  m.original_line.strip(), m.mutated_line.strip()))
    print("\nsurvivors:")
    for m in survivors:
        print("  %s\n    - %s\n    + %s" % (m.describe(), m.original_line.strip(), m.mutated_line.strip()))
    print("\nMutation score: %d killed of %d non-equivalent mutants that built = %.1f%% "
          "(%d survived, %d did not build, %d equivalent; %d mutants, seed %d, %.0f min)" % (
              counts["killed"], judged, score, counts["survived"], counts["no-build"],
              counts["equivalent"], len(mutants), args.seed, (time.time() - started) / 60))
    return 0


if __name__ == "__main__":
    sys.exit(main())
