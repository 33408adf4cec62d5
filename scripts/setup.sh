#!/usr/bin/env bash
# Installs what the builds and tests need on a Debian 12 machine, once:
# packages already present are left alone.  Also unpacks NT's case table
# (l_intl.nls, from the Wine library package) into build/deps, where the
# case-folding test compares simkernel's table with it.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake ninja-build g++ clang libclang-rt-14-dev
          lld-14 llvm-14 clang-tidy-14
          g++-mingw-w64-x86-64 mingw-w64-x86-64-dev
          libgtest-dev libgmock-dev libbenchmark-dev python3
          libhivex-dev libhivex-bin libwin-hivex-perl libregf-utils reglookup xz-utils
          pkg-config wine64 osslsigncode openssl)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

nls=build/deps/usr/share/wine/nls/l_intl.nls
if [ ! -f /usr/share/wine/nls/l_intl.nls ] && [ ! -f "$nls" ]; then
  mkdir -p build/deps
  (cd build/deps && apt-get download libwine >/dev/null 2>&1 && dpkg -x libwine_*.deb . && rm -f libwine_*.deb) \
    || echo "setup: could not fetch l_intl.nls; the case-table comparison will be skipped"
fi
