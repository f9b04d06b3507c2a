#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Compares the ABI of libkeystore.so.1 and libkeystore_host.so.1, built by the
# default preset, with the baselines in tests/abi/baseline/ and fails when
# abidiff finds a change that a program built against the baseline could
# notice: a function or variable gone, a changed parameter, return or
# variable type, a changed layout of a record in the public headers. Added
# functions and variables pass.
#   bash scripts/abi-check.sh            check
#   bash scripts/abi-check.sh --update   record this build's ABI as the baseline, and its exported symbols
#                                        in the packages' symbols files (new ones at the project's version)
# The baselines describe what the public headers declare (abidw's view of the
# debug information, private types dropped), without source paths or build
# directories, so they are the same from any checkout. What C++ leaves in the
# libraries is left out: the host library's C++ symbols (standard library
# instantiations that leave with its objects), which no program links, and
# every type in a namespace (the public headers are C; the internal ones
# would otherwise land in whichever unit abidw meets first, an order that
# changes with the checkout's path). Baselines are of the x86-64 build.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh abigail-tools dpkg-dev
update=0
case "${1:-}" in
  --update) update=1 ;;
  "") ;;
  *) echo "usage: $0 [--update]" >&2; exit 2 ;;
esac
cmake --preset default >/dev/null
cmake --build --preset default --target keystore keystore_host >/dev/null
build="$PWD/build/default"
baseline=tests/abi/baseline
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cat >"$work/cxx.suppr" <<'SUPPR'
[suppress_function]
  symbol_name_regexp = ^_Z
  drop = yes
[suppress_variable]
  symbol_name_regexp = ^_Z
  drop = yes
[suppress_type]
  name_regexp = ::
  drop = yes
SUPPR

# abi LIBRARY HEADER_DIRS...: the library's ABI as baseline XML, on stdout.
abi() {
  local lib=$1 dirs=()
  shift
  for d in "$@"; do dirs+=(--headers-dir "$d"); done
  abidw --no-corpus-path --no-comp-dir-path --no-show-locs --no-elf-needed --drop-private-types \
    --drop-undefined-syms --type-id-style hash --suppressions "$work/cxx.suppr" "${dirs[@]}" "$lib" |
    sed -e "s|path='$build/|path='|" -e "s|path='$PWD/|path='|"
}
abi "$build/keystore/libkeystore.so" keystore/include >"$work/libkeystore.so.1.abi"
abi "$build/host/libkeystore_host.so" host/include keystore/include >"$work/libkeystore_host.so.1.abi"

if [ $update -eq 1 ]; then
  mkdir -p "$baseline"
  cp "$work"/*.abi "$baseline/"
  version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
  for lib in libkeystore1:keystore/libkeystore.so libkeystore-host1:host/libkeystore_host.so; do
    IFS=: read -r package file <<<"$lib"
    dpkg-gensymbols -q -t -p"$package" -v"$version" -e"$build/$file.$version" \
      -I"cmake/debian/$package.symbols" -O"$work/$package.symbols"
    cp "$work/$package.symbols" "cmake/debian/$package.symbols"
  done
  echo "abi-check: recorded $baseline/*.abi and cmake/debian/*.symbols; review them with git diff"
  exit 0
fi

failed=0
for name in libkeystore.so.1 libkeystore_host.so.1; do
  rc=0
  abidiff --no-added-syms --no-show-locs "$baseline/$name.abi" "$work/$name.abi" >"$work/report" || rc=$?
  if [ $rc -ne 0 ]; then
    cat "$work/report"
    echo "abi-check: $name differs from $baseline/$name.abi (abidiff exit $rc)" >&2
    failed=1
  fi
done
if [ $failed -ne 0 ]; then
  echo "abi-check: an incompatible change needs a new major version; a deliberate compatible one is" \
    "recorded with bash scripts/abi-check.sh --update" >&2
  exit 1
fi
echo "abi-check: libkeystore.so.1 and libkeystore_host.so.1 as in $baseline"
