#!/usr/bin/env bash
# The main job: builds the library and runs the demo.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default
if [ -x build/default/tools/kstool/kstool ] && [ -f examples/demo.ks ]; then
  exec build/default/tools/kstool/kstool --script examples/demo.ks
fi
exec build/default/examples/store_and_hmac
