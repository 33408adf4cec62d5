#!/usr/bin/env python3
"""scaling.py - whether the work that is linear stays linear at scale.

Each goal runs one operation through 'qelmbar simulate' on a machine holding
N items and on one holding 2N, interleaved round by round, and compares the
median times: time(2N) / time(N) must stay at or under 2.2.  The machines
are built before any timing and copied afresh for every run, so each run
starts from the same state; only 'qelmbar simulate' is timed.  A benchmark,
not a test.

usage: bench/scaling.py [--quick] [--rounds R] [--only NAME] [--cpu] [--build DIR] [--no-build] [SCRATCH]
  default: N = 20,000 files, 25,000 subkeys (2N = 50,000), 40,000 operations; 3 rounds
  --quick: a tenth of those, one round; prints the same lines and never fails
  --cpu:   judge each goal on the CPU time of simulate's process tree rather than
           the wall clock (a shared disk or busy cores blur the latter)
Exit status 1 when a goal does not hold (never with --quick).
"""
import argparse
import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
GOAL = 2.2
FILES_PER_DIR = 100  # the tree shape: directories of this many files, 2 levels


def run(*args, **kw):
    return subprocess.run(args, check=True, stdout=subprocess.DEVNULL, **kw)


def make_files(root, n, tree):
    os.makedirs(root, exist_ok=True)
    data = b"x" * 64
    for i in range(n):
        if tree:
            d = os.path.join(root, "g%03d" % (i // (FILES_PER_DIR * 10)),
                             "d%05d" % (i // FILES_PER_DIR))
        else:
            d = root
        os.makedirs(d, exist_ok=True)
        with open(os.path.join(d, "File%06d.dat" % i), "wb") as f:
            f.write(data)


def make_reg(path, n):
    with open(path, "w", encoding="utf-8") as f:
        f.write("Windows Registry Editor Version 5.00\n\n")
        f.write("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Bench\\Src]\n\n")
        for i in range(n):
            f.write("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Bench\\Src\\Key%06d]\n\"v\"=dword:%08x\n\n" % (i, i))


def script_for(goal, n):
    c = "\\??\\C:\\bench"
    k = "\\REGISTRY\\MACHINE\\SOFTWARE\\Bench"
    return {
        "CopyDir": 'CopyDir("%s\\src", "%s\\dst", false)\n' % (c, c),
        "MoveDir": 'MoveDir("%s\\src", "%s\\other\\dst", false)\n' % (c, c),
        "RemoveDir": 'RemoveDir("%s\\src", true, true)\n' % c,
        "CopyKey": 'CopyKey("%s\\Src", "%s\\Dst", false)\n' % (k, k),
        "MoveKey": 'MoveKey("%s\\Src", "%s\\Dst", false)\n' % (k, k),
        "DeleteKey": 'DeleteKey("%s\\Src", true)\n' % k,
        "ParseOperationList": 'CreateDir("%s\\d")\n' % c * n,
    }[goal]


class Goal:
    def __init__(self, name, op, n, shape):
        self.name, self.op, self.n, self.shape = name, op, n, shape


def goals(quick):
    f, k, p = (2000, 2500, 4000) if quick else (20000, 50000, 40000)
    return [
        Goal("CopyDir, one directory", "CopyDir", f, "flat"),
        Goal("CopyDir, a tree", "CopyDir", f, "tree"),
        Goal("MoveDir, one directory", "MoveDir", f, "flat"),
        Goal("MoveDir, a tree", "MoveDir", f, "tree"),
        Goal("RemoveDir, one directory", "RemoveDir", f, "flat"),
        Goal("RemoveDir, a tree", "RemoveDir", f, "tree"),
        Goal("CopyKey", "CopyKey", k, "keys"),
        Goal("MoveKey", "MoveKey", k, "keys"),
        Goal("DeleteKey", "DeleteKey", k, "keys"),
        Goal("ParseOperationList", "ParseOperationList", p, "ops"),
    ]


def build_machine(q, work, goal, n):
    """A machine holding n items for the goal, ready to copy and boot."""
    m = os.path.join(work, "%s-%s-%d" % (goal.op, goal.shape, n))
    if os.path.isdir(m):
        return m
    run(q, "machine", "create", "-q", m)
    bench = os.path.join(m, "C", "bench")
    os.makedirs(os.path.join(bench, "other"))
    if goal.shape in ("flat", "tree"):
        make_files(os.path.join(bench, "src"), n, goal.shape == "tree")
    elif goal.shape == "keys":
        reg = os.path.join(work, "keys-%d.reg" % n)
        if not os.path.exists(reg):
            make_reg(reg, n)
        run(q, "machine", "import", "-q", m, reg)
    else:
        os.makedirs(os.path.join(bench, "d"))
    script = os.path.join(work, "%s-%d.qbs" % (goal.op, n))
    with open(script, "w") as f:
        f.write(script_for(goal.op, n))
    run(q, "schedule", "--replace", "--machine", m, script)
    return m


def timed_boot(q, template, scratch):
    shutil.rmtree(scratch, ignore_errors=True)
    run("cp", "-a", "--reflink=auto", template, scratch)
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    t0 = time.monotonic()
    out = subprocess.run([q, "simulate", "--fail-on-error", scratch], stdout=subprocess.PIPE,
                         stderr=subprocess.STDOUT, text=True)
    elapsed = time.monotonic() - t0
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    if out.returncode != 0:
        sys.stderr.write(out.stdout[-4000:])
        raise SystemExit("simulate failed on %s" % template)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return elapsed, cpu


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--rounds", type=int)
    ap.add_argument("--only")
    ap.add_argument("--build", default=os.path.join(ROOT, "build", "host"))
    ap.add_argument("--no-build", action="store_true", help="use the qelmbar already built")
    ap.add_argument("--cpu", action="store_true",
                    help="judge on CPU time, for a machine whose disk or cores others share")
    ap.add_argument("scratch", nargs="?", default=os.environ.get("TMPDIR", "/tmp"))
    a = ap.parse_args()
    rounds = a.rounds or (1 if a.quick else 3)
    if not a.no_build:
        subprocess.run(["cmake", "--build", a.build, "--target", "qelmbar"], check=True,
                       stdout=subprocess.DEVNULL)
    q = os.path.join(a.build, "tools", "qelmbar")
    work = tempfile.mkdtemp(prefix="qelmbar-scaling-", dir=a.scratch)
    failed = False
    try:
        chosen = [g for g in goals(a.quick) if not a.only or a.only.lower() in g.name.lower()]
        print("%d round(s); ratio = median time at 2N / median time at N through qelmbar simulate, "
              "in seconds of wall clock (t) and of CPU of the whole process tree (cpu); "
              "the goal is judged on %s" % (rounds, "cpu" if a.cpu else "t"))
        print("%-26s %6s %8s %8s %6s %8s %8s %6s %6s  %s" % (
            "goal", "N", "t(N)", "t(2N)", "ratio", "cpu(N)", "cpu(2N)", "ratio", "goal", "holds"))
        for g in chosen:
            small = build_machine(q, work, g, g.n)
            large = build_machine(q, work, g, 2 * g.n)
            scratch = os.path.join(work, "run")
            ts, tl, cs, cl = [], [], [], []
            for _ in range(rounds):
                t, c = timed_boot(q, small, scratch)
                ts.append(t)
                cs.append(c)
                t, c = timed_boot(q, large, scratch)
                tl.append(t)
                cl.append(c)
            shutil.rmtree(small)
            shutil.rmtree(large)
            ratio = statistics.median(tl) / statistics.median(ts)
            cpu_ratio = statistics.median(cl) / statistics.median(cs)
            judged = cpu_ratio if a.cpu else ratio
            holds = judged <= GOAL
            failed |= not holds
            print("%-26s %6d %8.2f %8.2f %6.2f %8.2f %8.2f %6.2f %6s  %s%s" % (
                g.name, g.n, statistics.median(ts), statistics.median(tl), ratio,
                statistics.median(cs), statistics.median(cl), cpu_ratio, "<=%.1f" % GOAL,
                "holds" if holds else "DOES NOT HOLD",
                "" if rounds == 1 else "  (wall N %.2f..%.2f, 2N %.2f..%.2f)" % (
                    min(ts), max(ts), min(tl), max(tl))))
            sys.stdout.flush()
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return 1 if failed and not a.quick else 0


if __name__ == "__main__":
    sys.exit(main())
