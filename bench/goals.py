#!/usr/bin/env python3
"""goals.py - the speed goals of `qelmbar simulate`, each measured against
its peer in one run, interleaved A/B round by round, on the same disk.

  boots     simulate --boots N of the sample machine: boots a second
  scratch   simulate --scratch of a machine of 5,000 files (beside: cp -a)
  sweep     simulate --sweep 1 of the sample's setup boot
  copyfile  CopyFile of 1 GiB through simulate against dd bs=256K conv=fsync
            (beside: cp), warm and cold caches
  copydir   CopyDir of 10,000 files of 1 KiB through simulate against a host
            program that copies each file and fsyncs it (beside: cp -r),
            warm and cold caches

Each round runs every contender once, in an order that turns round by
round, after a sync (and, for cold caches, after dropping the page cache).
Prints each round, then per goal the median and the spread (min..max) and
one summary line: the ratio, the goal and whether it holds.  A benchmark,
not a test: never run it where timings must not matter.

usage: bench/goals.py --build BUILD_DIR [--quick] [--rounds N] [--only GOAL,...]
                      [--scratch DIR] [--summary FILE]
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)


def run(args, **kw):
    return subprocess.run(args, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                          **kw)


def timed(args):
    start = time.perf_counter()
    result = subprocess.run(args, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    elapsed = time.perf_counter() - start
    if result.returncode != 0:
        sys.exit("failed (%d): %s\n%s" % (result.returncode, " ".join(args),
                                          result.stderr.decode(errors="replace")))
    return elapsed


def sync():
    os.sync()


DROP_CACHES = "/proc/sys/vm/drop_caches"


def can_drop_caches():
    try:
        with open(DROP_CACHES, "w") as f:
            f.write("3\n")
        return True
    except OSError:
        return False


def drop_caches():
    os.sync()
    with open(DROP_CACHES, "w") as f:
        f.write("3\n")


def describe(values, unit="s"):
    return "median %8.3f %s  spread %8.3f .. %8.3f" % (statistics.median(values), unit,
                                                       min(values), max(values))


class Report:
    def __init__(self, summary):
        self.lines = []
        self.summary = summary
        self.failed = []

    def goal(self, name, ratio, goal_text, holds, detail):
        line = "GOAL %-34s %s  goal %s: %s  (%s)" % (name, ratio, goal_text,
                                                     "holds" if holds else "DOES NOT HOLD", detail)
        self.lines.append(line)
        if not holds:
            self.failed.append(name)
        print(line, flush=True)
        if self.summary:
            with open(self.summary, "a") as f:
                f.write(line + "\n")


class Bench:
    def __init__(self, options):
        self.o = options
        self.q = os.path.join(options.build, "tools", "qelmbar")
        self.copier = os.path.join(options.build, "bench", "qelmbar_fsync_copy")
        base = options.scratch or os.path.join(options.build, "bench-scratch")
        os.makedirs(base, exist_ok=True)
        self.work = tempfile.mkdtemp(prefix="goals-", dir=base)
        self.report = Report(options.summary)
        self.rounds = options.rounds or (3 if options.quick else 5)

    def close(self):
        shutil.rmtree(self.work, ignore_errors=True)

    def qelmbar(self, *args):
        run([self.q] + list(args))

    # ---- machines ---------------------------------------------------------

    def sample_machine(self, name, package=True):
        """The sample machine as sample.sh makes it, with the package staged."""
        m = os.path.join(self.work, name)
        self.qelmbar("machine", "create", "-q", m)
        self.qelmbar("machine", "import", m, os.path.join(ROOT, "examples/sample-machine/software.reg"),
                     "--force", "--copy", os.path.join(ROOT, "examples/sample-machine/C") + "=C:\\")
        if package:
            p = os.path.join(ROOT, "examples/packages/lumen-2.0")
            self.qelmbar("package", "add", "Lumen-2.0", "--machine", m, "--setup", p + "/setup.qbs",
                         "--revert", p + "/revert.qbs", "--clean", p + "/clean.qbs",
                         "--boot-timeout", "2")
        return m

    def schedule(self, machine, line):
        script = os.path.join(self.work, "script.qbs")
        with open(script, "w") as f:
            f.write(line + "\n")
        self.qelmbar("schedule", "--replace", "--machine", machine, script)

    # ---- the goals --------------------------------------------------------

    def rounds_of(self, contenders, prepare=None, cold=False):
        """contenders: (name, callable giving seconds).  Interleaved: the
        order turns by one each round."""
        times = {name: [] for name, _ in contenders}
        for r in range(self.rounds):
            order = contenders[r % len(contenders):] + contenders[:r % len(contenders)]
            cells = []
            for name, work in order:
                if prepare:
                    prepare(name)
                if cold:
                    drop_caches()
                else:
                    sync()
                seconds = work()
                times[name].append(seconds)
                cells.append("%s %.3f" % (name, seconds))
            print("    round %d: %s" % (r + 1, ", ".join(cells)), flush=True)
        return times

    def boots(self):
        n = 20 if self.o.quick else 100
        m = self.sample_machine("boots")
        print("boots: simulate --scratch --boots %d of the sample machine, package staged "
              "(beside: the same boots on the machine itself, synced on the host); %d rounds"
              % (n, self.rounds), flush=True)
        copy = os.path.join(self.work, "boots-copy")

        def durable():
            shutil.rmtree(copy, ignore_errors=True)
            run(["cp", "-a", m, copy])
            return timed([self.q, "simulate", "--boots", str(n), copy])

        times = self.rounds_of([("scratch", lambda: timed([self.q, "simulate", "--scratch", "--boots",
                                                           str(n), m])),
                                ("synced", durable)])
        rates = {name: [n / t for t in values] for name, values in times.items()}
        print("  --scratch: " + describe(rates["scratch"], "boots/s"))
        print("  synced:    " + describe(rates["synced"], "boots/s"))
        rate = statistics.median(rates["scratch"])
        self.report.goal("boots of the sample machine", "%7.1f boots/s" % rate, ">= 100/s",
                         rate >= 100, "%d boots a run, spread %.1f .. %.1f; synced %.1f/s"
                         % (n, min(rates["scratch"]), max(rates["scratch"]),
                            statistics.median(rates["synced"])))

    def scratch(self):
        files = 5000
        m = os.path.join(self.work, "scratch-machine")
        self.qelmbar("machine", "create", "-q", m)
        tree = os.path.join(m, "C", "Program Files", "Big")
        for i in range(files):
            d = os.path.join(tree, "d%02d" % (i % 50))
            os.makedirs(d, exist_ok=True)
            with open(os.path.join(d, "f%05d.dll" % i), "wb") as f:
                f.write(os.urandom(4096))
        print("scratch: simulate --scratch of a machine of %d files of 4 KiB%s; %d rounds"
              % (files, "" if self.o.quick else " (beside: cp -a)", self.rounds), flush=True)
        copy = os.path.join(self.work, "cp-a")

        def cp():
            t = timed(["cp", "-a", m, copy])
            shutil.rmtree(copy)
            return t

        contenders = [("simulate", lambda: timed([self.q, "simulate", "--scratch", m]))]
        if not self.o.quick:
            contenders.append(("cp-a", cp))
        times = self.rounds_of(contenders)
        print("  simulate --scratch: " + describe(times["simulate"]))
        beside = ""
        if "cp-a" in times:
            print("  cp -a (beside):     " + describe(times["cp-a"]))
            beside = "; cp -a on the same disk %.3f" % statistics.median(times["cp-a"])
        t = statistics.median(times["simulate"])
        self.report.goal("simulate --scratch, 5,000 files", "%7.3f s" % t, "< 1 s", t < 1.0,
                         "spread %.3f .. %.3f%s" % (min(times["simulate"]), max(times["simulate"]),
                                                    beside))

    def sweep(self):
        m = self.sample_machine("sweep")
        rounds = 1 if self.o.quick else self.rounds
        print("sweep: simulate --sweep 1 of the sample's setup boot%s; %d round(s)"
              % (" (quick: the journal kept whole only, half the cuts)" if self.o.quick else "", rounds),
              flush=True)
        extra = ["--journal", "all"] if self.o.quick else []
        times = []
        for r in range(rounds):
            sync()
            times.append(timed([self.q, "simulate", "--sweep", "1"] + extra + [m]))
            print("    round %d: sweep %.3f" % (r + 1, times[-1]), flush=True)
        print("  sweep: " + describe(times))
        t = statistics.median(times)
        self.report.goal("power-loss sweep of the setup boot", "%7.3f s" % t, "<= 30 s", t <= 30.0,
                         "spread %.3f .. %.3f" % (min(times), max(times)))

    def copyfile(self, cold):
        mib = 32 if self.o.quick else 1024
        m = os.path.join(self.work, "copyfile")
        if not os.path.isdir(m):
            self.qelmbar("machine", "create", "-q", m)
            os.makedirs(os.path.join(m, "C", "bench"))
            with open(os.path.join(m, "C", "bench", "big.bin"), "wb") as f:
                for _ in range(mib):
                    f.write(os.urandom(1 << 20))
            self.schedule(m, 'CopyFile("\\??\\C:\\bench\\big.bin", "\\??\\C:\\bench\\big.copy", true)')
            self.copyfile_machine = m
        big = os.path.join(m, "C", "bench", "big.bin")
        out = os.path.join(m, "C", "bench", "big.copy")
        host = os.path.join(self.work, "host.copy")
        label = "cold" if cold else "warm"
        print("copyfile (%s caches): %d MiB, simulate against dd bs=256K conv=fsync (beside: cp); %d rounds"
              % (label, mib, self.rounds), flush=True)

        def prepare(_):
            for path in (out, host):
                if os.path.exists(path):
                    os.remove(path)

        def simulate():
            # Each round starts from the same machine state: the script again.
            self.schedule(m, 'CopyFile("\\??\\C:\\bench\\big.bin", "\\??\\C:\\bench\\big.copy", true)')
            if cold:
                drop_caches()
            return timed([self.q, "simulate", m])

        times = self.rounds_of([("dd", lambda: timed(["dd", "if=" + big, "of=" + host, "bs=256K",
                                                      "conv=fsync", "status=none"])),
                                ("simulate", simulate),
                                ("cp", lambda: timed(["cp", big, host]))],
                               prepare, cold)
        ratios = [d / s for d, s in zip(times["dd"], times["simulate"])]
        for name in ("dd", "simulate", "cp"):
            mbs = [mib / t for t in times[name]]
            print("  %-9s %s  (%s)" % (name, describe(times[name]), describe(mbs, "MiB/s")))
        print("  throughput of simulate / dd: " + describe(ratios, "x"))
        r = statistics.median(ratios)
        self.report.goal("CopyFile %d MiB vs dd, %s" % (mib, label), "%5.2fx" % r,
                         ">= 0.9x" + (" (at 1 GiB; a boot weighs on small sizes)" if self.o.quick else ""),
                         r >= 0.9, "spread %.2f .. %.2f; cp %.0f MiB/s (not synced)"
                         % (min(ratios), max(ratios), mib / statistics.median(times["cp"])))

    def copydir(self, cold):
        files = 100 if self.o.quick else 10000
        m = os.path.join(self.work, "copydir")
        if not os.path.isdir(m):
            self.qelmbar("machine", "create", "-q", m)
            tree = os.path.join(m, "C", "bench", "tree")
            for i in range(files):
                d = os.path.join(tree, "d%02d" % (i % 50))
                os.makedirs(d, exist_ok=True)
                with open(os.path.join(d, "f%05d.txt" % i), "wb") as f:
                    f.write(os.urandom(1024))
        tree = os.path.join(m, "C", "bench", "tree")
        out = os.path.join(m, "C", "bench", "tree.copy")
        host = os.path.join(self.work, "tree.host")
        label = "cold" if cold else "warm"
        print("copydir (%s caches): %d files of 1 KiB in 50 directories, simulate against "
              "copy+fsync per file (beside: cp -r); %d rounds" % (label, files, self.rounds), flush=True)

        def prepare(_):
            for path in (out, host):
                shutil.rmtree(path, ignore_errors=True)

        def simulate():
            self.schedule(m, 'CopyDir("\\??\\C:\\bench\\tree", "\\??\\C:\\bench\\tree.copy", true)')
            if cold:
                drop_caches()
            return timed([self.q, "simulate", m])

        times = self.rounds_of([("fsync-copy", lambda: timed([self.copier, tree, host])),
                                ("simulate", simulate),
                                ("cp-r", lambda: timed(["cp", "-r", tree, host]))],
                               prepare, cold)
        ratios = [h / s for h, s in zip(times["fsync-copy"], times["simulate"])]
        for name in ("fsync-copy", "simulate", "cp-r"):
            print("  %-10s %s  (%s)" % (name, describe(times[name]),
                                        describe([files / t for t in times[name]], "files/s")))
        print("  throughput of simulate / copy+fsync: " + describe(ratios, "x"))
        r = statistics.median(ratios)
        self.report.goal("CopyDir %d files vs copy+fsync, %s" % (files, label), "%5.2fx" % r,
                         ">= 0.8x" + (" (at 10,000 files)" if self.o.quick else ""), r >= 0.8, "spread %.2f .. %.2f; cp -r %.3f s (not synced)"
                         % (min(ratios), max(ratios), statistics.median(times["cp-r"])))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", required=True)
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--rounds", type=int, default=0)
    parser.add_argument("--only", default="boots,scratch,sweep,copyfile,copydir")
    parser.add_argument("--scratch", default="")
    parser.add_argument("--summary", default="")
    options = parser.parse_args()
    bench = Bench(options)
    cold = can_drop_caches()
    if not cold:
        print("note: the page cache cannot be dropped here (%s not writable): cold-cache rounds left out"
              % DROP_CACHES)
    try:
        for goal in options.only.split(","):
            if goal in ("copyfile", "copydir"):
                getattr(bench, goal)(False)
                if cold and not options.quick:
                    getattr(bench, goal)(True)
            else:
                getattr(bench, goal)()
    finally:
        bench.close()
    return 1 if bench.report.failed and not options.quick else 0


if __name__ == "__main__":
    sys.exit(main())
