#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Fails, naming the files, when a tracked C or C++ source is not laid out as
# .clang-format says (`scripts/check-format.sh --fix` rewrites them instead),
# when a tracked source or script file does not name its licence in its
# first lines, when a library source outside the crypto backend includes an
# OpenSSL header, or when the library's internal includes form a cycle or run
# up its layers (scripts/check-includes.py).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh clang-format >/dev/null
mapfile -t files < <(git ls-files '*.c' '*.cc' '*.h')
if [ "${1:-}" = "--fix" ]; then
  clang-format -i "${files[@]}"
  exit 0
fi
# Sources, scripts and build files carry an SPDX line in their first two
# lines (after a shebang); data files (vectors, goldens, corpora, command
# scripts for kstool) and documents do not.
mapfile -t licensed < <(git ls-files '*.c' '*.cc' '*.h' '*.py' '*.sh' '*.cmake' '*.msgs' '*.in' \
  'CMakeLists.txt' '*/CMakeLists.txt' '.ci/run' ':!cmake/debian/changelog.in')
unlicensed=()
for f in "${licensed[@]}"; do
  head -n 2 "$f" | grep -q 'SPDX-License-Identifier: Apache-2.0' || unlicensed+=("$f")
done
if [ ${#unlicensed[@]} -ne 0 ]; then
  printf 'no SPDX-License-Identifier line in its first two lines: %s\n' "${unlicensed[@]}" >&2
  exit 1
fi
# Only the crypto backend (keystore/src/ks_crypto_openssl*) includes OpenSSL's
# headers in the library, besides the two public headers whose contracts take
# OpenSSL's types (ks_epa.h: AES_KEY; ks_hmac.h: EVP_MD_CTX, for callers only).
mapfile -t openssl < <(git ls-files 'keystore/*.c' 'keystore/*.cc' 'keystore/*.h' |
  grep -vE '^keystore/src/ks_crypto_openssl[^/]*$|^keystore/include/keystore/ks_(epa|hmac)\.h$' |
  xargs -r grep -lE '^[[:space:]]*#[[:space:]]*include[[:space:]]*[<"]openssl/' || true)
if [ ${#openssl[@]} -ne 0 ]; then
  printf 'includes an OpenSSL header outside the crypto backend: %s\n' "${openssl[@]}" >&2
  exit 1
fi
# The library's internal includes: no cycle, none up a layer.
python3 scripts/check-includes.py
bad=()
for f in "${files[@]}"; do
  clang-format --dry-run --Werror "$f" >/dev/null 2>&1 || bad+=("$f")
done
if [ ${#bad[@]} -ne 0 ]; then
  printf 'not formatted (scripts/check-format.sh --fix): %s\n' "${bad[@]}" >&2
  exit 1
fi
echo "format: ${#files[@]} files as .clang-format says"
