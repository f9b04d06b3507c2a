#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds everything from nothing and runs every test: the README's test
# command. PRESET=asan runs the suite under AddressSanitizer + UBSan.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
preset="${PRESET:-default}"
cmake --preset "$preset"
cmake --build --preset "$preset"
ctest --preset "$preset"
