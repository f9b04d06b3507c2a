#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The long soak run: builds the soak program and runs OPERATIONS (default
# 2,000,000) of its mixed load on a full keystore, with recording off, then
# on (a ring of 4096 records). Each run fails unless, after the warm-up, its
# resident memory stays within 1 MiB and its live blocks are exactly those the
# keystore's contents account for. The short run is in the test suite.
#   bash scripts/soak.sh [OPERATIONS]
set -euo pipefail
cd "$(dirname "$0")/.."
ops="${1:-2000000}"
bash scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target ks_soak
echo "recording off:"
env -u KSH_RECORD build/default/tests/ks_soak "$ops"
echo "recording on, 4096 records per recorder:"
KSH_RECORD=1 KSH_RECORD_CAPACITY=4096 build/default/tests/ks_soak "$ops"
