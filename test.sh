#!/usr/bin/env bash
# Runs every test on a fresh Debian machine: installs what is missing,
# builds the kernel target (checking the image, its PDB and the stack
# budget) and runs static analysis on the driver sources, builds the host
# target, fuzzes the script parser, the hive log replay and the hive
# reader for a bounded time each, runs the suite under AddressSanitizer and
# UndefinedBehaviorSanitizer, then runs the suite on the plain host build.
set -euo pipefail
cd "$(dirname "$0")"
scripts/setup.sh

jobs=$(nproc)
if [ -z "${QELMBAR_L_INTL_NLS:-}" ] && [ -f build/deps/usr/share/wine/nls/l_intl.nls ]; then
  export QELMBAR_L_INTL_NLS=$PWD/build/deps/usr/share/wine/nls/l_intl.nls
fi

echo "== kernel build (clang and lld for the mingw-w64 target, DDK headers, kernel flags)"
# A kernel build configured with mingw's g++ before the switch to clang is
# configured afresh: CMake never changes the compiler of a build directory.
if [ -f build/kernel/CMakeCache.txt ] && ! grep -q '^CMAKE_CXX_COMPILER:.*clang' build/kernel/CMakeCache.txt; then
  rm -rf build/kernel
fi
cmake -S . -B build/kernel -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-kernel.cmake >/dev/null
cmake --build build/kernel -j "$jobs"

echo "== the image: what the check after every link verifies, the PDB, the stack budget"
python3 cmake/check_image.py list | sed 's/^/  /'
python3 cmake/check_image.py check --source . --pdb build/kernel/qelmbar.pdb \
  --pdbutil "$(command -v llvm-pdbutil-14 || command -v llvm-pdbutil)" build/kernel/qelmbar.sys
pdbutil=$(command -v llvm-pdbutil-14 || command -v llvm-pdbutil)
echo "  qelmbar.pdb: $("$pdbutil" dump -symbols build/kernel/qelmbar.pdb | grep -cE 'S_[GL]PROC32 ') routines," \
  "$("$pdbutil" dump -types build/kernel/qelmbar.pdb | grep -cE '\| LF_(STRUCTURE|CLASS|UNION|ENUM) ') records of types"
mapfile -t kernel_objects < <(find build/kernel/CMakeFiles/qelmbar_kernel.dir build/kernel/CMakeFiles/qelmbar_sys.dir \
  -name '*.obj' | sort)
python3 cmake/stack_budget.py --objdump "$(command -v llvm-objdump-14 || command -v llvm-objdump)" "${kernel_objects[@]}"
ctest --test-dir build/kernel --output-on-failure | tail -n 1

echo "== static analysis of the driver sources (clang-tidy with the clang static analyzer)"
scripts/analyze.sh build/kernel

echo "== test signing"
scripts/testsign.sh build/kernel/qelmbar.sys build/kernel/signed

echo "== Windows build of qelmbar (mingw-w64, user mode), on Wine's registry"
cmake -S tools/win32 -B build/win-tool -G Ninja >/dev/null
cmake --build build/win-tool -j "$jobs"
timeout 600 ctest --test-dir build/win-tool --output-on-failure

echo "== host build"
cmake -S . -B build/host -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/host -j "$jobs"

echo "== parser fuzzing (libFuzzer, ASan, UBSan), ${QELMBAR_FUZZ_SECONDS:-60} s"
CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQELMBAR_FUZZ=ON >/dev/null
cmake --build build/fuzz -j "$jobs" --target parse_fuzz
mkdir -p build/fuzz/corpus build/fuzz/artifacts
cp tests/fuzz/corpus/* build/fuzz/corpus/
if ! build/fuzz/tests/fuzz/parse_fuzz -max_total_time="${QELMBAR_FUZZ_SECONDS:-60}" -max_len=8192 \
    -print_final_stats=1 -artifact_prefix=build/fuzz/artifacts/ build/fuzz/corpus >build/fuzz/log 2>&1; then
  tail -n 60 build/fuzz/log
  echo "fuzzing found a fault; the input is in build/fuzz/artifacts"
  exit 1
fi
grep -E '^(Done|stat::number_of_executed_units)' build/fuzz/log || true

echo "== hive fuzzing (log replay, hive reader; libFuzzer, ASan, UBSan), ${QELMBAR_HIVE_FUZZ_SECONDS:-30} s each"
cmake --build build/fuzz -j "$jobs" --target log_replay_fuzz hive_read_fuzz
for target in log_replay_fuzz hive_read_fuzz; do
  mkdir -p "build/fuzz/corpus-$target"
  cp "tests/fuzz/corpus-$target"/* "build/fuzz/corpus-$target/"
  if ! "build/fuzz/tests/fuzz/$target" -max_total_time="${QELMBAR_HIVE_FUZZ_SECONDS:-30}" -max_len=65536 \
      -timeout=10 -print_final_stats=1 -artifact_prefix=build/fuzz/artifacts/ "build/fuzz/corpus-$target" \
      >"build/fuzz/log-$target" 2>&1; then
    tail -n 60 "build/fuzz/log-$target"
    echo "fuzzing $target found a fault; the input is in build/fuzz/artifacts"
    exit 1
  fi
  grep -E '^(Done|stat::number_of_executed_units)' "build/fuzz/log-$target" || true
done

echo "== tests under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQELMBAR_SANITIZE=ON >/dev/null
cmake --build build/asan -j "$jobs"
if ! ctest --test-dir build/asan -j "$jobs" --output-on-failure >build/asan/log 2>&1; then
  cat build/asan/log
  exit 1
fi
tail -n 3 build/asan/log

echo "== tests"
ctest --test-dir build/host -j "$jobs" --output-on-failure

echo "== benchmarks, quick (printed; a slow machine fails nothing here)"
bench/run.sh --quick build/host

echo "== Wine scenarios (qelmbar.sys on Wine against the same boots on simulated machines)"
tests/wine/run.sh build/kernel build/host build/wine-scenarios
