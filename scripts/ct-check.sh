#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The constant-time check: builds the `ct` preset, in which the library marks
# every secret it keeps as undefined memory for valgrind's memcheck and
# declassifies it where it becomes public by design (keystore/src/ks_ct.h),
# then runs the crypto vectors, the model's random runs and the kstool
# transcripts under memcheck. A conditional jump or a memory address that
# depends on a secret is a report; the check passes with none
# (scripts/ct-count.py counts them from memcheck's XML).
#
# CT_BREAK=1 builds with KS_CT_BREAK, which adds one deliberate branch on a
# secret byte (the first byte of the key in ks_sw_hmac): the negative
# control, which the check must fail. It builds in build/ct-break so that the
# real build stays as it is.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh valgrind

preset=ct
build=build/ct
extra=()
if [ "${CT_BREAK:-0}" = 1 ]; then
  build=build/ct-break
  extra=(-B "$build" -DKS_CT_BREAK=ON)
fi
cmake --preset "$preset" "${extra[@]}" >/dev/null
cmake --build "$build" --target ks_unit_tests kstool ks_kstool_seams

out=$build/ct-check
rm -rf "$out"
mkdir -p "$out"
# Memcheck's own messages go to a file of their own, so that the transcripts
# compare only what kstool printed.
vg=(valgrind --tool=memcheck -q --xml=yes "--xml-file=$PWD/$out/%p.xml" "--log-file=$PWD/$out/%p.log"
    --leak-check=no --track-origins=yes --error-limit=no --child-silent-after-fork=yes)
failed=()
start=$(date +%s)

# The vectors and the model's random runs (every operation, the keystore
# emptied after each run); the test programs' own assertions hold too.
"${vg[@]}" "$build/tests/ks_unit_tests" --gtest_brief=1 \
  --gtest_filter='VectorTest.*:ModelTest.RandomSequencesMatchTheModel' || failed+=(unit)
# The kstool transcripts (every command on stored keys, by name), with their
# expected outputs: kstool on the shipped library, and with the seams.
for c in tests/kstool/*.ks; do
  python3 tests/kstool/run_case.py "$c" -- "${vg[@]}" "$build/tools/kstool/kstool" >"$out/$(basename "$c").log" 2>&1 ||
    { cat "$out/$(basename "$c").log"; failed+=("$c"); }
done
for c in tests/kstool/seams/*.ks; do
  python3 tests/kstool/run_case.py "$c" -- "${vg[@]}" "$build/tests/ks_kstool_seams" >"$out/$(basename "$c").log" 2>&1 ||
    { cat "$out/$(basename "$c").log"; failed+=("$c"); }
done

echo "ct-check: ran in $(( $(date +%s) - start )) s"
rc=0
python3 scripts/ct-count.py . "$out"/*.xml || rc=1
if [ ${#failed[@]} -ne 0 ]; then
  echo "ct-check: failed under valgrind: ${failed[*]}"
  rc=1
fi
[ "$rc" = 0 ] && echo "ct-check: passed, no decision on a secret"
exit "$rc"
