#!/usr/bin/env bash
# run.sh - every benchmark of bench/, each goal against its peer in one run:
#   goals.py            boots a second, simulate --scratch, the power-loss
#                       sweep, CopyFile against dd, CopyDir against a
#                       copy+fsync per file (cp and cp -r beside them)
#   qelmbar_file_bench  the pool high-water of deep CopyDirs against its
#                       bound, and the copies in process against the host
#   qelmbar_bench       the parser at growing sizes (when Google Benchmark
#                       is installed)
#   scaling.py          time at 2N over time at N, through simulate
#   hive_bench.sh       staging into a real SYSTEM hive against hivexsh
# and ends with one summary line per goal.
#
# usage: bench/run.sh [--quick] [BUILD_DIR]   (default build/host)
#   --quick  small sizes and few rounds, well under a minute; prints the
#            goals but never fails on them (test.sh runs it)
# Timings depend on the machine and its load: run it on a quiet machine
# to back a claim.  Cold-cache rounds drop the page cache (as root).
set -euo pipefail
cd "$(dirname "$0")/.."
quick=
build=build/host
while [ $# -gt 0 ]; do
  case "$1" in
    --quick) quick=--quick ;;
    -h|--help) sed -n '2,18p' "$0"; exit 0 ;;
    *) build=$1 ;;
  esac
  shift
done
targets="qelmbar qelmbar_fsync_copy qelmbar_file_bench"
if [ ! -f "$build/build.ninja" ] ||
   grep -q '^qelmbar_bench:' <(ninja -C "$build" -t targets all 2>/dev/null); then
  targets="$targets qelmbar_bench"
fi
# A build tree is brought up to date; a directory of programs alone
# (tools/qelmbar, bench/...) is run as it is.
if [ -f "$build/build.ninja" ]; then
  cmake --build "$build" --target $targets >/dev/null
fi

summary=$(mktemp)
trap 'rm -f "$summary"' EXIT
status=0
note() { echo "GOAL $*" >>"$summary"; }

echo "== bench/run.sh ${quick:-(full)} on $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg), $(date -u '+%Y-%m-%d %H:%M UTC')"
echo
echo "== goals of simulate, interleaved against their peers"
python3 bench/goals.py --build "$build" $quick --summary "$summary" || status=1

echo
echo "== the pool of deep copies, and copies in process against the host"
"$build/bench/qelmbar_file_bench" $quick --summary "$summary" || status=1

if [ -x "$build/bench/qelmbar_bench" ]; then
  echo
  echo "== the parser"
  if [ -n "$quick" ]; then
    "$build/bench/qelmbar_bench" --benchmark_min_time=0.05 --benchmark_filter='/(2500|5000)$' || status=1
  else
    "$build/bench/qelmbar_bench" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true || status=1
  fi
fi

echo
echo "== time at 2N over time at N, through simulate"
if [ -n "$quick" ]; then
  python3 bench/scaling.py --quick --no-build --build "$build" || status=1
else
  python3 bench/scaling.py --no-build --build "$build" || status=1
fi

echo
echo "== staging into a real SYSTEM hive, against hivexsh"
if [ -n "$quick" ]; then
  bench/hive_bench.sh --rounds 2 || status=1
else
  bench/hive_bench.sh || status=1
fi

echo
echo "== summary"
cat "$summary"
if [ -n "$quick" ]; then
  [ $status -eq 0 ] || echo "(some goal does not hold here; --quick does not fail on it)"
  exit 0
fi
exit $status
