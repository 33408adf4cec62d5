#!/usr/bin/env bash
# The main job on the embedded sample machine (examples/sample-machine): a
# machine with Lumen Editor 1.4 installed and the 2.0 installer's files
# staged.  The 2.0 upgrade is staged as a package, a one-shot list of
# renames is scheduled, and the machine is booted with the driver: three
# orderly boots (set up, then committed and cleaned), and again from the
# same start with the power lost in the first boot (reverted at the next).
# Before the one-shot list is scheduled, a sweep cuts the power at every
# call of the setup boot and shows that no cut loses a file.
set -euo pipefail
cd "$(dirname "$0")"
scripts/setup.sh
cmake -S . -B build/host -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/host --target qelmbar >/dev/null

q=build/host/tools/qelmbar
machine=build/sample/machine
package=examples/packages/lumen-2.0
rm -rf build/sample
mkdir -p build/sample

echo "== the sample machine"
"$q" machine create "$machine"
"$q" machine import "$machine" examples/sample-machine/software.reg \
  --force --copy 'examples/sample-machine/C=C:\'

echo
echo "== the scripts, checked with the driver's parser"
"$q" check "$package"/setup.qbs "$package"/revert.qbs "$package"/clean.qbs \
  examples/scripts/upgrade_editor.qbs

echo
echo "== staged for the next boot"
"$q" package add Lumen-2.0 --machine "$machine" --setup "$package"/setup.qbs \
  --revert "$package"/revert.qbs --clean "$package"/clean.qbs --boot-timeout 2

echo
echo "== a power cut at every call of the setup boot, on scratch copies: no cut"
echo "== may end anywhere the package does not end anyway"
"$q" simulate --sweep 1 "$machine"

echo
echo "== and a one-shot list for the same boot"
"$q" schedule --machine "$machine" examples/scripts/upgrade_editor.qbs
"$q" status --machine "$machine"

echo
echo "== three boots, each shut down in order"
"$q" simulate --scratch --boots 3 "$machine"

echo
echo "== two boots from the same start, the power lost at the end of the first"
"$q" simulate --scratch --boots 2 --power-loss 1:uptime "$machine"
