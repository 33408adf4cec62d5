#!/usr/bin/env bash
# Static analysis of the driver's sources: clang-tidy with the checks of
# .clang-tidy (bugprone-*, cert-* and the clang static analyzer's
# clang-analyzer-*), on every driver source compiled as the kernel build
# compiles it (its compile_commands.json: clang for the mingw-w64 target,
# the DDK headers, the kernel flags).  Any finding fails; a finding the code
# cannot avoid is suppressed where it occurs, with its reason beside it.
#
# Usage: scripts/analyze.sh KERNEL_BUILD   (a configured kernel build directory)
set -euo pipefail
cd "$(dirname "$0")/.."

if [ $# -ne 1 ]; then
  echo "usage: $0 KERNEL_BUILD" >&2
  exit 2
fi
build=$1
[ -f "$build/compile_commands.json" ] || { echo "analyze: $build/compile_commands.json is missing (configure the kernel build first)" >&2; exit 2; }
tidy=$(command -v clang-tidy-14 || command -v clang-tidy || true)
[ -n "$tidy" ] || { echo "analyze: clang-tidy is missing (scripts/setup.sh installs it)" >&2; exit 2; }

# The driver's sources: the shared list and the kernel build's image entry.
mapfile -t sources < <(sed -n 's#^  \([a-z][a-z_/]*\.cpp\)$#\1#p' cmake/driver_sources.cmake)
sources+=(driver/kernel/image_entry.cpp)
log=$build/analyze.log
printf '%s\n' "${sources[@]}" | xargs -P "${QELMBAR_ANALYZE_JOBS:-2}" -n 4 \
  "$tidy" -p "$build" --quiet >"$log" 2>"$log.stderr" || true
findings=$(grep -cE '^[^ ].*:[0-9]+:[0-9]+: (warning|error): ' "$log" || true)
if [ "$findings" -ne 0 ] || grep -qE 'error: |Error while processing' "$log.stderr"; then
  cat "$log" "$log.stderr"
  echo "analyze: $findings findings in ${#sources[@]} driver sources" >&2
  exit 1
fi
checks=$(sed -n 's/^  \([a-z][a-z*.-]*\),\{0,1\}\( *#.*\)\{0,1\}$/\1/p' .clang-tidy | grep -v '^-' | paste -sd' ')
echo "analyze: clang-tidy ($checks) on ${#sources[@]} driver sources: no findings"
