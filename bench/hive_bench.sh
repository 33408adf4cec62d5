#!/usr/bin/env bash
# hive_bench.sh - staging a package into a real 12 MB SYSTEM hive with
# 'qelmbar package add --hive' (load, check, edit, save with fsync) against
# hivexsh making the same change to the same file (load, setval, commit,
# fsync), interleaved round by round in one run.  The hive is the dirty
# Windows 8.1/10 SYSTEM hive of tests/data/hives, replayed from its logs
# and saved clean once with the service installed, before the rounds.
# Prints each round's times, the median and spread of both and of their
# ratio, and one summary line against the goal (at most 1.0x hivexsh's
# time).  A benchmark, not a test: it measures whatever reader and writer
# the tree has.
#
# usage: bench/hive_bench.sh [--rounds N] [SCRATCH]     (default 5 rounds)
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=5 scratch=${TMPDIR:-/tmp}
while [ $# -gt 0 ]; do
  case "$1" in
    --rounds) rounds=$2; shift ;;
    *) scratch=$1 ;;
  esac
  shift
done
cmake --build build/host --target qelmbar >/dev/null
q=$PWD/build/host/tools/qelmbar
work=$(mktemp -d "$scratch/qelmbar-hive-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT
for f in SYSTEM_B SYSTEM_B.LOG1 SYSTEM_B.LOG2; do
  xz -dc "tests/data/hives/$f.xz" >"$work/$f"
done
"$q" install --hive "$work/SYSTEM_B" >/dev/null
mv "$work/SYSTEM_B" "$work/clean"
rm -f "$work"/SYSTEM_B.LOG*
printf 'CreateDir("\\??\\C:\\bench")\n' >"$work/setup.qbs"
set_name=$(printf 'ControlSet%03d' "$(hivexget "$work/clean" '\Select' Current)")
# The same change for hivexsh: the package's key under the service's key
# with its setup script as a REG_MULTI_SZ value.
cat >"$work/hivex.cmds" <<EOS
cd \\$set_name\\Services\\Qelmbar
add Packages
cd Packages
add p
cd p
setval 1
Setup
string:CreateDir("\\??\\C:\\bench")
commit
EOS

now() { date +%s.%N; }
timed() { local t0; t0=$(now); "$@" >/dev/null 2>&1 || { echo "failed: $*" >&2; exit 1; }; echo "$(now) - $t0" | bc -l; }
ours() { "$q" package add p --setup "$work/setup.qbs" --hive "$work/a/SYSTEM"; }
theirs() { hivexsh -w -f "$work/hivex.cmds" "$work/b/SYSTEM" && sync "$work/b/SYSTEM"; }

mkdir -p "$work/a" "$work/b"
echo "hive: $(stat -c %s "$work/clean") bytes; $rounds rounds"
printf '%-6s %10s %10s %8s\n' round qelmbar hivexsh ratio
results=$work/results
: >"$results"
for r in $(seq 1 "$rounds"); do
  cp "$work/clean" "$work/a/SYSTEM"
  cp "$work/clean" "$work/b/SYSTEM"
  sync
  if [ $((r % 2)) -eq 1 ]; then
    a=$(timed ours); b=$(timed theirs)
  else
    b=$(timed theirs); a=$(timed ours)
  fi
  printf '%-6s %10.3f %10.3f %8.2f\n' "$r" "$a" "$b" "$(echo "$a / $b" | bc -l)"
  echo "$a $b" >>"$results"
done
python3 - "$results" <<'PY'
import statistics, sys
rows = [list(map(float, l.split())) for l in open(sys.argv[1]) if l.strip()]
def show(name, values):
    print("%-22s median %7.3f  spread %7.3f .. %7.3f" % (name, statistics.median(values), min(values), max(values)))
show("qelmbar package add s", [r[0] for r in rows])
show("hivexsh setval s", [r[1] for r in rows])
ratios = [r[0] / r[1] for r in rows]
show("ratio", ratios)
m = statistics.median(ratios)
print("hive staging: %.2fx hivexsh's time (median of %d, %.2f..%.2f); goal <= 1.0x: %s"
      % (m, len(ratios), min(ratios), max(ratios), "met" if m <= 1.0 else "not met"))
PY
