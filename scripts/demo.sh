#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The first thing to run: builds what `cmake --install` copies (the libraries,
# kstool and ks_trace_decode with their manual pages; no tests) and runs the
# demo script through kstool.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target installable
exec build/default/tools/kstool/kstool --script examples/demo.ks
