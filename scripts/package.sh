#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds the Debian packages (build/package/*.deb: libkeystore1,
# libkeystore-host1, libkeystore-dev, keystore-tools) from a release build
# for /usr, then checks them: lintian reports no error, and the example
# consumer builds and runs against the packages unpacked into a scratch root,
# where `man ks_hmac_sha1` works.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh dpkg-dev lintian doxygen man-db
cmake --preset package >/dev/null
cmake --build --preset package
rm -f build/package/*.deb
(cd build/package && cpack -G DEB)
debs=(build/package/*.deb)
# lintian's warnings are printed; an error fails the run.
if ! report=$(lintian --fail-on error "${debs[@]}" 2>&1); then
  printf '%s\n' "$report"
  echo "package: lintian reported errors" >&2
  exit 1
fi
printf '%s\n' "$report" | grep -v 'running with root privileges' || true
list=$(printf '%s;' "${debs[@]/#/$PWD/}")
cmake "-DPACKAGES=${list%;}" -DSOURCE_DIR="$PWD" -DWORK_DIR="$PWD/build/package/check" \
  -P tests/consumer/install_and_build.cmake
echo "package: ${debs[*]}"
