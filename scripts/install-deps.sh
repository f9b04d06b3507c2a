#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Installs, from Debian's packages, whatever the build and the tests need and
# this machine lacks. Installs nothing when everything is there; a failing
# `apt-get update` (a mirror mid-sync) only matters when something is missing.
set -euo pipefail

# What the build and the tests need; scripts that need more (the API
# reference, the Debian packages) name it as arguments.
packages=(g++ cmake ninja-build pkgconf python3 libssl-dev libgtest-dev libgmock-dev libbenchmark-dev
          libbz2-dev libreadline-dev groff-base clang libclang-rt-14-dev binutils file gdb "$@")

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "install-deps: installing ${missing[*]}"
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update || echo "install-deps: apt-get update failed; trying with the lists at hand" >&2
$sudo apt-get install -y --no-install-recommends "${missing[@]}"
