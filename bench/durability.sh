#!/usr/bin/env bash
# durability.sh - the price of copies that are never partial, measured:
# CopyFile of one large file and CopyDir of many small files, each run by
# the driver through 'qelmbar simulate', against 'dd bs=256K conv=fsync'
# and a host program that copies each file and fsyncs it, on the same disk,
# interleaved round by round in one run.  Prints per-round times and the
# ratios' median and spread (min..max).  A benchmark, not a test.
#
# usage: bench/durability.sh [--full] [--rounds N] [SCRATCH]
#   default: a 128 MiB file and 2,000 files of 1 KiB, 5 rounds
#   --full:  a 1 GiB file and 10,000 files (needs ~2.5 GiB of disk)
set -euo pipefail
cd "$(dirname "$0")/.."
size_mib=128 files=2000 rounds=5 scratch=${TMPDIR:-/tmp}
while [ $# -gt 0 ]; do
  case "$1" in
    --full) size_mib=1024 files=10000 ;;
    --rounds) rounds=$2; shift ;;
    *) scratch=$1 ;;
  esac
  shift
done
cmake --build build/host --target qelmbar qelmbar_fsync_copy >/dev/null
q=$PWD/build/host/tools/qelmbar
copier=$PWD/build/host/bench/qelmbar_fsync_copy
work=$(mktemp -d "$scratch/qelmbar-durability-XXXXXX")
trap 'rm -rf "$work"' EXIT
m=$work/machine
"$q" machine create -q "$m"
c=$m/C
mkdir -p "$c/bench/tree"
head -c $((size_mib * 1024 * 1024)) /dev/urandom >"$c/bench/big.bin"
python3 - "$c/bench/tree" "$files" <<'PY'
import os, sys
root, n = sys.argv[1], int(sys.argv[2])
for i in range(n):
    d = os.path.join(root, "d%02d" % (i % 50))
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, "f%05d.txt" % i), "wb") as f:
        f.write(os.urandom(1024))
PY
printf 'CopyFile("\\??\\C:\\bench\\big.bin", "\\??\\C:\\bench\\big.copy", true)\n' >"$work/file.qbs"
printf 'CopyDir("\\??\\C:\\bench\\tree", "\\??\\C:\\bench\\tree.copy", true)\n' >"$work/dir.qbs"
printf 'CreateDir("\\??\\C:\\bench\\empty")\n' >"$work/none.qbs"

now() { date +%s.%N; }
timed() { local t0; t0=$(now); "$@" >/dev/null 2>&1; echo "$(now) - $t0" | bc -l; }
simulate() { "$q" schedule --replace --machine "$m" "$1" >/dev/null && "$q" simulate "$m"; }

echo "file: $size_mib MiB; tree: $files files of 1 KiB; $rounds rounds"
printf '%-6s %9s %9s %9s %9s %9s\n' round dd sim-file host-tree sim-tree sim-empty
results=$work/results
: >"$results"
for r in $(seq 1 "$rounds"); do
  rm -rf "$c/bench/big.copy" "$c/bench/tree.copy" "$work/dd.out" "$work/tree.out" "$c/bench/empty"
  sync
  dd=$(timed dd if="$c/bench/big.bin" of="$work/dd.out" bs=256K conv=fsync)
  sf=$(timed simulate "$work/file.qbs")
  ht=$(timed "$copier" "$c/bench/tree" "$work/tree.out")
  st=$(timed simulate "$work/dir.qbs")
  se=$(timed simulate "$work/none.qbs")
  printf '%-6s %9.3f %9.3f %9.3f %9.3f %9.3f\n' "$r" "$dd" "$sf" "$ht" "$st" "$se"
  echo "$dd $sf $ht $st $se" >>"$results"
done
python3 - "$results" <<'PY'
import statistics, sys
rows = [list(map(float, l.split())) for l in open(sys.argv[1]) if l.strip()]
def show(name, values):
    print("%-44s median %6.2f  spread %6.2f .. %6.2f" % (name, statistics.median(values), min(values), max(values)))
show("CopyFile through simulate / dd (whole boot)", [r[1] / r[0] for r in rows])
show("CopyFile through simulate / dd (less a boot)", [max(r[1] - r[4], 1e-9) / r[0] for r in rows])
show("CopyDir through simulate / host+fsync", [r[3] / r[2] for r in rows])
show("CopyDir through simulate / host+fsync (less)", [max(r[3] - r[4], 1e-9) / r[2] for r in rows])
print("copy speed relative to dd = 1 / the CopyFile ratio")
PY
