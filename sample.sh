#!/usr/bin/env bash
# The main job on the embedded samples: `qelmbar check` over the sample
# scripts in examples/.  The valid ones are listed as the driver parsed
# them; each invalid one is refused with the place and the reason.
set -euo pipefail
cd "$(dirname "$0")"
tools/setup.sh
cmake -S . -B build/host -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/host --target qelmbar >/dev/null

echo "== valid scripts"
build/host/tools/qelmbar check --print examples/scripts/*.qbs

echo
echo "== invalid scripts"
status=0
build/host/tools/qelmbar check examples/scripts/invalid/*.qbs || status=$?
if [ "$status" -ne 1 ]; then
  echo "sample: expected the invalid scripts to be refused (exit 1), got exit $status" >&2
  exit 1
fi
