#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The host platform's protected memory as a service that is not root meets it.
# Builds, then runs as an unprivileged user (run as root: KS_TEST_USER, default
# nobody; else the caller itself), once under a 64 KiB lock limit (older kernels' default, and
# many containers') and once under 8 MiB (today's usual one): the demo, kstool
# storing 50 keys, then 2000, and using each with HMAC and AES, the soak test
# (its locked memory must be what the region locked), the host platform's
# tests and the core-dump test (no marker secret in a core, locked or not). Under 64 KiB the
# programs whose blocks outgrow the limit (kstool with 2000 keys, the soak) say once that blocks
# are served unlocked, and the others (the demo, kstool with 50 keys: the library holds memory
# in proportion to what is stored and used) say nothing; under 8 MiB nothing may be left
# unlocked, and nothing is said.
#   bash scripts/test-unprivileged.sh
set -euo pipefail
cd "$(dirname "$0")/.."
user="${KS_TEST_USER:-nobody}"
switch=(setpriv --reuid="$user" --regid="$(id -g "$user")" --clear-groups --inh-caps=-all)
if [ "$(id -u)" != 0 ]; then
  user=$(id -un)
  switch=()
fi
bash scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default
b="$PWD/build/default"
chmod -R go+rX "$b"  # the tests run as another user
work=$(mktemp -d)
# A clone made under a private directory (mktemp -d makes one 0700) is out of
# the user's reach: as root, each directory above the tree that others cannot
# pass through is opened to them for this run only, and its mode put back after.
restore=()
if [ "$(id -u)" = 0 ]; then
  dir=$PWD
  while [ "$dir" != / ]; do
    if [ -z "$(find "$dir" -maxdepth 0 -perm -o=x)" ]; then
      restore+=("$(stat -c %a "$dir")" "$dir")
      chmod o+x "$dir"
    fi
    dir=$(dirname "$dir")
  done
fi
cleanup() {
  rm -rf "$work"
  for ((i = 0; i < ${#restore[@]}; i += 2)); do chmod "${restore[i]}" "${restore[i + 1]}"; done
}
trap cleanup EXIT
chown "$user" "$work"

# as_user LIMIT_KIB COMMAND...: the command as the user, without capabilities,
# under that lock limit (soft and hard), in the scratch directory.
as_user() {
  local limit=$1
  shift
  (ulimit -l "$limit" && cd "$work" && exec "${switch[@]}" env -i PATH="$PATH" HOME="$work" TMPDIR="$work" "$@")
}
if ! as_user 64 test -x "$b/tools/kstool/kstool" -a -r "$PWD/tests/core_dump/kstool_session.ks"; then
  echo "test-unprivileged: $user cannot read $PWD (every directory above it must be open to others)" >&2
  exit 1
fi

# Every message the host printed, one per line, for checking what was said.
said() { grep -o '^%KSH-[^:]*' "$work/err" | sort | uniq -c | tr -s ' ' || true; }
check_said() {  # WANTED (a line of said, or nothing)
  if [ "$(said)" != "$1" ]; then
    echo "test-unprivileged: the messages were [$(said)], not [$1]:" >&2
    cat "$work/err" >&2
    exit 1
  fi
}

for limit in 64 8192; do
  echo "== as $user under a lock limit of $limit KiB"
  if [ "$limit" = 64 ]; then unlocked=" 1 %KSH-4-UNLOCKED" all_locked=(); else unlocked="" all_locked=(--all-locked); fi

  as_user "$limit" "$b/tools/kstool/kstool" --script "$PWD/examples/demo.ks" >"$work/out" 2>"$work/err"
  check_said ""
  echo "demo: $(wc -l <"$work/out") lines"

  for keys in 50 2000; do
    for i in $(seq 1 "$keys"); do
      printf 'secret store key-%04d hex:%032x\nhmac sha1 key-%04d data\naes encrypt key-%04d hex:%032x\n' \
        "$i" "$i" "$i" "$i" "$((i * 7))"
    done >"$work/keys.ks"
    as_user "$limit" "$b/tools/kstool/kstool" <"$work/keys.ks" >"$work/out" 2>"$work/err"
    if [ "$keys" = 50 ]; then check_said ""; else check_said "$unlocked"; fi
    stored=$(grep -c '^ok$' "$work/out" || true)
    hmacs=$(grep -c '^hmac-sha1: ' "$work/out" || true)
    aes=$(grep -c '^ciphertext: ' "$work/out" || true)
    echo "kstool: $stored keys stored, $hmacs HMACs, $aes AES encryptions"
    [ "$stored $hmacs $aes $(wc -l <"$work/out")" = "$keys $keys $keys $((3 * keys))" ]
  done

  if [ "$limit" = 64 ]; then
    # require: a store holds only the key and the table's parts made for it,
    # which fit the limit: nothing is refused.
    as_user "$limit" env KSH_PROTECT=require "$b/tools/kstool/kstool" secret store a b >"$work/out" 2>"$work/err"
    check_said ""
    [ "$(cat "$work/out")" = ok ]
  fi
  as_user "$limit" "$b/tests/ks_soak" 30000 "${all_locked[@]}" 2>"$work/err"
  check_said "$unlocked"
  as_user "$limit" "$b/tests/ks_unit_tests" --gtest_filter='HostPlatform*:CoreDump*'
done
echo "test-unprivileged: passed"
