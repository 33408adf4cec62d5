#!/usr/bin/env bash
# durability.sh - the price of copies that are never partial: CopyFile of
# 1 GiB and CopyDir of 10,000 small files through 'qelmbar simulate'
# against 'dd bs=256K conv=fsync' and a host program that copies each file
# and fsyncs it (cp and cp -r beside them), interleaved round by round,
# warm and cold caches.  The copy goals of bench/goals.py alone.
#
# usage: bench/durability.sh [--quick] [--rounds N] [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
args=() build=build/host
while [ $# -gt 0 ]; do
  case "$1" in
    --quick) args+=(--quick) ;;
    --rounds) args+=(--rounds "$2"); shift ;;
    *) build=$1 ;;
  esac
  shift
done
cmake --build "$build" --target qelmbar qelmbar_fsync_copy >/dev/null
exec python3 bench/goals.py --build "$build" --only copyfile,copydir "${args[@]}"
