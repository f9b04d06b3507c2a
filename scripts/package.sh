#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds the Debian packages (build/package/*.deb: libkeystore1,
# libkeystore-host1, libkeystore-dev, keystore-tools) from a release build
# for /usr, twice: in this tree and in a copy of it in another directory
# (build/package-twin/src), both with SOURCE_DATE_EPOCH taken from the last
# commit; every package must come out byte for byte the same. Then checks
# them: each library's symbols file matches the library (dpkg-gensymbols, in
# both builds), lintian reports no error and no hardening or symbols tag
# (pedantic, informational tags included), and the README's example builds
# and runs against the packages unpacked into a scratch root, where
# `man ks_hmac_sha1` works.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh dpkg-dev lintian doxygen man-db
SOURCE_DATE_EPOCH="${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}"
export SOURCE_DATE_EPOCH

# build TREE: the packages of the source tree TREE, in TREE/build/package.
build() {
  (
    cd "$1"
    cmake --preset package >/dev/null
    cmake --build --preset package
    version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/package/CMakeCache.txt)
    for lib in lib:libkeystore1:keystore/libkeystore.so hostlib:libkeystore-host1:host/libkeystore_host.so; do
      IFS=: read -r component package file <<<"$lib"
      mkdir -p "build/package/debian/$component"
      if ! dpkg-gensymbols -c4 -p"$package" -v"$version" -e"build/package/$file.$version" \
        -I"cmake/debian/$package.symbols" -O"build/package/debian/$component/symbols"; then
        echo "package: $file exports other symbols than cmake/debian/$package.symbols lists" \
          "(bash scripts/abi-check.sh --update records a deliberate change)" >&2
        exit 1
      fi
    done
    rm -f build/package/*.deb
    (cd build/package && cpack -G DEB >/dev/null)
  )
}

build .
twin=build/package-twin
rm -rf "$twin"
mkdir -p "$twin/src"
git ls-files -z --cached --others --exclude-standard |
  while IFS= read -r -d '' f; do [ -e "$f" ] && printf '%s\0' "$f"; done |
  tar --null -T - -cf - | tar -xf - -C "$twin/src"
build "$twin/src"

debs=(build/package/*.deb)
differ=()
for deb in "${debs[@]}"; do
  cmp -s "$deb" "$twin/src/$deb" || differ+=("$deb")
done
if [ ${#differ[@]} -ne 0 ] || [ "$(cd "$twin/src/build/package" && ls ./*.deb | wc -l)" -ne ${#debs[@]} ]; then
  for deb in "${differ[@]}"; do
    echo "package: $deb differs from $twin/src/$deb:" >&2
    rm -rf "$twin/a" "$twin/b"
    dpkg-deb -R "$deb" "$twin/a" && dpkg-deb -R "$twin/src/$deb" "$twin/b"
    diff -rq "$twin/a" "$twin/b" >&2 || true
  done
  echo "package: two builds from two directories differ (the second is kept in $twin)" >&2
  exit 1
fi
rm -rf "$twin"
echo "package: ${#debs[@]} packages built twice, from two directories, the same byte for byte"

# lintian: an error, or any hardening or symbols tag, fails the run; the
# remaining tags are printed.
if ! report=$(lintian --pedantic --display-info --fail-on error "${debs[@]}" 2>&1); then
  printf '%s\n' "$report"
  echo "package: lintian reported errors" >&2
  exit 1
fi
report=$(printf '%s\n' "$report" | grep -v 'running with root privileges' || true)
printf '%s\n' "$report"
if printf '%s\n' "$report" | grep -q -e 'hardening-' -e 'symbols'; then
  echo "package: lintian reported a hardening or symbols tag" >&2
  exit 1
fi
list=$(printf '%s;' "${debs[@]/#/$PWD/}")
cmake "-DPACKAGES=${list%;}" -DSOURCE_DIR="$PWD" -DWORK_DIR="$PWD/build/package/check" \
  -P tests/consumer/install_and_build.cmake
echo "package: ${debs[*]}"
