#!/usr/bin/env bash
# Runs the Wine scenarios (docs/wine.md): qelmbar.sys on Wine against the
# same scenarios on simulated machines.
#
#   tests/wine/run.sh KERNEL_BUILD HOST_BUILD WORK
#
# KERNEL_BUILD holds qelmbar.sys and wine/ (bootlinks.sys, qwclient.exe),
# HOST_BUILD tests/wine_peer_tests; WORK receives the prefix (removed at
# the end) and logs/, outcomes/ and comparison.txt (kept).  The whole run
# is bounded; whatever way it ends, the prefix's server and processes are
# ended and the prefix removed.
set -euo pipefail
cd "$(dirname "$0")/../.."

if [ $# -ne 3 ]; then
  echo "usage: $0 KERNEL_BUILD HOST_BUILD WORK" >&2
  exit 2
fi
kernel=$1
host=$2
work=$(mkdir -p "$3" && cd "$3" && pwd)
prefix=$work/prefix

wineserver=
for candidate in /usr/lib/wine/wineserver64 /usr/lib64/wine/wineserver64 "$(command -v wineserver || true)"; do
  if [ -n "$candidate" ] && [ -x "$candidate" ]; then
    wineserver=$candidate
    break
  fi
done
if [ -z "$wineserver" ] || ! { [ -x /usr/lib/wine/wine64 ] || command -v wine64 >/dev/null; }; then
  echo "Wine scenarios: Wine is not installed (Debian package wine64; scripts/setup.sh installs it)" >&2
  exit 1
fi

# The runner cleans up after itself; this is for when it could not.
cleanup() {
  if [ -d "$prefix" ]; then
    WINEPREFIX=$prefix timeout 30 "$wineserver" -k >/dev/null 2>&1 || true
    rm -rf "$prefix"
  fi
}
trap cleanup EXIT

# timeout runs in a process group of its own, so a signal to this script
# (or to its group) is handed on; the runner then cleans up and fails.
timeout --kill-after=20 600 python3 tests/wine/run_scenarios.py \
  --kernel-build "$kernel" --sim-test "$host/tests/wine_peer_tests" --work "$work" --deadline 560 &
child=$!
trap 'kill -TERM "$child" 2>/dev/null || true' INT TERM HUP
status=0
wait "$child" || status=$?
while kill -0 "$child" 2>/dev/null; do
  status=0
  wait "$child" || status=$?
done
exit "$status"
