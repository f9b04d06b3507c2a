#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Cross-builds everything for 32-bit ARM (armhf) and runs the whole test suite
# under qemu-arm. Installs the cross compiler and qemu-user from Debian, and
# extracts the armhf libraries it links into build/armhf-prefix (nothing armhf
# is installed system-wide). CI runs it: a failing `apt-get update` (a mirror
# mid-sync) is tolerated when nothing is missing, and a download that fails on
# stale lists is tried again once after an update.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
prefix="$repo/build/armhf-prefix"
builddir="$repo/build/armhf"
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }
update() { $sudo apt-get update || echo "test-armhf: apt-get update failed; trying with the lists at hand" >&2; }
# Runs an apt command; if it fails (lists naming files the mirror no longer
# has), updates the lists and runs it once more.
retry() { "$@" || { update && "$@"; }; }

# 1. Host tools.
bash scripts/install-deps.sh
missing=()
for p in g++-arm-linux-gnueabihf qemu-user binutils-arm-linux-gnueabihf; do installed "$p" || missing+=("$p"); done
if [ ${#missing[@]} -gt 0 ]; then
  update
  $sudo apt-get install -y --no-install-recommends "${missing[@]}"
fi

# 2. armhf package lists. The security suite's armhf index can lag amd64's,
# which makes apt-get update fail: that suite is restricted to amd64 (the
# armhf libraries come from the main suite, which is all this needs).
if ! dpkg --print-foreign-architectures | grep -qx armhf; then
  $sudo dpkg --add-architecture armhf
fi
for f in /etc/apt/sources.list.d/*.sources; do
  [ -f "$f" ] || continue
  if grep -q 'debian-security' "$f" && ! grep -q '^Architectures:' "$f"; then
    $sudo python3 - "$f" <<'PY'
import sys
path = sys.argv[1]
stanzas = open(path).read().split("\n\n")
out = []
for s in stanzas:
    if "debian-security" in s and "Architectures:" not in s:
        s = s.rstrip("\n") + "\nArchitectures: amd64"
    out.append(s)
open(path, "w").write("\n\n".join(out).rstrip("\n") + "\n")
PY
  fi
done
if [ -f /etc/apt/sources.list ] && grep -qE '^deb [^[]*debian-security' /etc/apt/sources.list; then
  $sudo sed -i -E 's#^deb (http[^ ]*debian-security)#deb [arch=amd64] \1#' /etc/apt/sources.list
fi

# 3. The armhf libraries, extracted into a private prefix.
pkgs=(libssl-dev libssl3 libbz2-dev libbz2-1.0 libgtest-dev libgmock-dev)
stamp="$prefix/.extracted-$(echo "${pkgs[*]}" | md5sum | cut -c1-8)"
if [ ! -f "$stamp" ]; then
  if ! apt-cache show libssl3:armhf >/dev/null 2>&1; then
    update
  fi
  rm -rf "$prefix" && mkdir -p "$prefix"
  debs=$(mktemp -d)
  (cd "$debs" && retry apt-get download "${pkgs[@]/%/:armhf}")
  for d in "$debs"/*.deb; do dpkg-deb -x "$d" "$prefix"; done
  rm -rf "$debs"
  touch "$stamp"
fi

# 4. Cross build and test under qemu.
start=$(date +%s)
unset OPENSSL_MODULES OPENSSL_CONF || true
cmake -S "$repo" -B "$builddir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/toolchain-armhf.cmake" -DKS_ARMHF_PREFIX="$prefix" \
  -DKS_BUILD_BENCH=OFF -DKS_BUILD_EXAMPLES=ON
cmake --build "$builddir" -j "$(nproc)"
ctest --test-dir "$builddir" --output-on-failure -j "$(nproc)"
# The 32-bit footprint figures (docs/performance.md).
ctest --test-dir "$builddir" -R '^footprint$' -V | grep -E '^[0-9]+: (footprint|start-up|[0-9]+ )' || true
echo "test-armhf: cross build and tests took $(( $(date +%s) - start )) s"
