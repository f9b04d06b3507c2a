#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds the fuzz preset and runs every fuzz target (build/fuzz/fuzz/fuzz_*)
# for about SECONDS each (default 60), starting from its seed corpus
# fuzz/<name>_corpus when there is one. New inputs go to a scratch directory,
# so the seed corpus stays as committed. A crash fails the script and leaves
# its reproducer in build/fuzz/artifacts/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"

cmake --preset fuzz
cmake --build --preset fuzz -j 2

artifacts="$PWD/build/fuzz/artifacts"
mkdir -p "$artifacts"
found=0
for bin in build/fuzz/fuzz/fuzz_*; do
  [ -f "$bin" ] && [ -x "$bin" ] || continue
  found=1
  name="${bin##*/fuzz_}"
  scratch="$(mktemp -d)"
  trap 'rm -rf "$scratch"' EXIT
  corpora=("$scratch")
  [ -d "fuzz/${name}_corpus" ] && corpora+=("fuzz/${name}_corpus")
  echo "== fuzz_${name}: ${seconds}s"
  "$bin" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$artifacts/${name}-" "${corpora[@]}"
  rm -rf "$scratch"
  trap - EXIT
done
if [ "$found" = 0 ]; then
  echo "no fuzz targets in build/fuzz/fuzz" >&2
  exit 1
fi
