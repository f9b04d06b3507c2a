#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds everything and runs the whole test suite, the benchmark goal ratios
# and the core-dump test inside a Debian chroot for each OpenSSL row:
#   debian13  Debian 13 (trixie): its OpenSSL 3.5 and its GCC
#   unstable  Debian unstable (sid): the newest OpenSSL 3.x and its GCC
#   openssl4  Debian unstable with experimental's libssl-dev (the newest 4.x)
# The chroots are made with mmdebstrap from Debian's packages and kept between
# runs; nothing from another release is installed on this machine itself.
#
# Usage: scripts/test-matrix.sh [options] [ROW...]     (default: every row)
#   --prepare    make (or complete) the chroots and stop: build nothing
#   --update     bring a kept chroot up to date first (apt-get upgrade, and
#                experimental's newest libssl-dev in the openssl4 row)
#   --plain      also run the suite with the preset `plain` (the crypto plain
#                paths), where CMakePresets.json has it
#   --clean      build from nothing rather than on the row's last build
# Environment:
#   KS_CHROOT_DIR  where the chroots are kept (default: build/chroots)
#   KS_MIRROR      the Debian mirror (default: http://deb.debian.org/debian)
#   KS_JOBS        parallel build jobs (default: the number of cores)
#
# Must run as root (chroot, mount). A chroot is complete once its `.ready`
# file exists; one without it is made again.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
all_rows=(debian13 unstable openssl4)
chroot_dir="${KS_CHROOT_DIR:-$repo/build/chroots}"
mirror="${KS_MIRROR:-http://deb.debian.org/debian}"
jobs="${KS_JOBS:-$(nproc)}"
export DEBIAN_FRONTEND=noninteractive

# What the build, the suite, the benchmarks and the core-dump test need inside
# a chroot: the compilers and libraries, groff for the manual page, terminfo
# for the terminal session, gdb for the cores.
deps=(g++ cmake ninja-build pkgconf python3 libssl-dev libgtest-dev libgmock-dev libbenchmark-dev
      libbz2-dev libreadline-dev groff-base ncurses-base ncurses-bin binutils file gdb)

prepare_only=0 update=0 plain=0 clean=0 rows=()
for a in "$@"; do
  case "$a" in
    --prepare) prepare_only=1 ;;
    --update) update=1 ;;
    --plain) plain=1 ;;
    --clean) clean=1 ;;
    debian13 | unstable | openssl4) rows+=("$a") ;;
    -h | --help) sed -n '3,24p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "test-matrix: unknown argument '$a' (rows: ${all_rows[*]})" >&2; exit 2 ;;
  esac
done
[ ${#rows[@]} -eq 0 ] && rows=("${all_rows[@]}")
if [ "$(id -u)" -ne 0 ]; then
  echo "test-matrix: needs root (mmdebstrap, chroot and mount)" >&2
  exit 2
fi
command -v mmdebstrap >/dev/null || bash scripts/install-deps.sh mmdebstrap

suite_of() { case "$1" in debian13) echo trixie ;; *) echo sid ;; esac; }

# Mounts made by this script, unmounted (last first) whatever way it exits.
mounts=()
unmount_all() {
  local i
  for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do
    umount "${mounts[i]}" 2>/dev/null || umount -l "${mounts[i]}" || true
  done
  mounts=()
}
trap unmount_all EXIT
trap 'exit 130' INT TERM

mount_in() {  # mount_in CHROOT: /proc and a private /dev/pts
  mount -t proc proc "$1/proc" && mounts+=("$1/proc")
  mkdir -p "$1/dev/pts"
  mount -t devpts -o newinstance,ptmxmode=0666,mode=0620 devpts "$1/dev/pts" && mounts+=("$1/dev/pts")
  [ -e "$1/dev/ptmx" ] || ln -s pts/ptmx "$1/dev/ptmx"
}

in_chroot() {  # in_chroot CHROOT COMMAND: runs a shell command inside, in a clean environment
  env -i HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 \
    DEBIAN_FRONTEND=noninteractive chroot "$1" /bin/bash -c "set -euo pipefail; $2"
}

# A chroot may have another user's bind mounts inside it: it is removed only
# when nothing is mounted under it.
remove_chroot() {
  local dir
  dir=$(realpath -m "$1")
  if awk -v d="$dir/" 'index($2 "/", d) == 1 { found = 1 } END { exit !found }' /proc/mounts; then
    echo "test-matrix: $dir has mounts inside it; not removing it:" >&2
    awk -v d="$dir/" 'index($2 "/", d) == 1 { print "  " $2 }' /proc/mounts >&2
    return 1
  fi
  rm -rf --one-file-system "$dir"
}

# apt inside the chroot: a failing update (a mirror mid-sync) matters only when
# the install after it fails too.
apt_in() {  # apt_in CHROOT ARGS...: apt-get install ARGS inside
  in_chroot "$1" "apt-get update || echo 'test-matrix: apt-get update failed; trying with the lists at hand' >&2"
  in_chroot "$1" "apt-get install -y $(printf '%q ' "${@:2}")"
}

# Makes the row's chroot if it is not complete, and installs what it lacks.
ensure_chroot() {
  local row=$1 dir="$chroot_dir/$1" suite sources=() start missing upgrade=$update
  suite=$(suite_of "$row")
  if [ ! -f "$dir/.ready" ]; then
    start=$(date +%s)
    if [ -e "$dir" ]; then
      echo "test-matrix: $row: $dir is incomplete (no .ready): making it again"
      remove_chroot "$dir"
    fi
    [ -e "$dir.partial" ] && remove_chroot "$dir.partial"
    mkdir -p "$chroot_dir"
    sources=("deb $mirror $suite main")
    [ "$row" = openssl4 ] && sources+=("deb $mirror experimental main")
    echo "test-matrix: $row: making the chroot ($suite) in $dir"
    mmdebstrap --variant=apt --mode=root --format=directory \
      --aptopt='Acquire::Check-Valid-Until "false"' --aptopt='APT::Install-Recommends "false"' \
      --include="$(IFS=,; echo "${deps[*]}")" "$suite" "$dir.partial" "${sources[@]}"
    mv "$dir.partial" "$dir"
    upgrade=1
    echo "test-matrix: $row: chroot made in $(( $(date +%s) - start )) s"
  fi
  mount_in "$dir"
  missing=$(in_chroot "$dir" "for p in ${deps[*]}; do dpkg-query -W -f='\${Status}' \$p 2>/dev/null \
    | grep -q 'install ok installed' || echo \$p; done")
  if [ -n "$missing" ]; then
    # shellcheck disable=SC2086  # one package a word
    apt_in "$dir" $missing
  fi
  if [ "$upgrade" = 1 ]; then
    in_chroot "$dir" "apt-get update || echo 'test-matrix: apt-get update failed; trying with the lists at hand' >&2
      apt-get -y upgrade"
  fi
  # The 4.x row takes experimental's newest libssl-dev, whichever it is then.
  if [ "$row" = openssl4 ] && { [ "$upgrade" = 1 ] || ! in_chroot "$dir" "pkg-config --modversion libcrypto | grep -q '^[4-9]\.'"; }; then
    apt_in "$dir" -t experimental libssl-dev
  fi
  touch "$dir/.ready"
  unmount_all
}

# The presets a row runs: default, and plain when asked and the tree has it.
presets=(default)
if [ "$plain" = 1 ]; then
  if python3 -c 'import json,sys; sys.exit(all(p["name"] != "plain" for p in json.load(open("CMakePresets.json"))["configurePresets"]))'; then
    presets+=(plain)
  else
    echo "test-matrix: CMakePresets.json has no preset plain: the plain paths are not run"
  fi
fi

# A configure preset's build directory, relative to the source tree (through
# the presets it inherits from).
binary_dir() {
  python3 - "$1" <<'PY'
import json, sys
presets = {p["name"]: p for p in json.load(open("CMakePresets.json"))["configurePresets"]}
def find(name):
    p = presets[name]
    if "binaryDir" in p:
        return p["binaryDir"]
    inherits = p.get("inherits", [])
    for parent in [inherits] if isinstance(inherits, str) else inherits:
        found = find(parent)
        if found:
            return found
    return None
d = find(sys.argv[1]) or ""
print(d.replace("${presetName}", sys.argv[1]).replace("${sourceDir}/", ""))
PY
}

# Copies the tracked tree (as it is in the work tree) to /root/keystore inside
# the chroot, keeping the row's build directories there unless --clean.
copy_tree() {
  local dest="$1/root/keystore"
  mkdir -p "$dest"
  if [ "$clean" = 1 ]; then
    rm -rf --one-file-system "$dest"/build
  fi
  find "$dest" -mindepth 1 -maxdepth 1 ! -name build -exec rm -rf --one-file-system {} +
  git ls-files -z --cached | tar --null --files-from=- --ignore-failed-read -c | tar -x -C "$dest"
}

# Runs one preset's build, suite, goal ratios and core-dump test in a row.
# Called as a condition, so every step checks its own status.
run_preset() {  # run_preset CHROOT PRESET
  local dir=$1 p=$2 log="$1/root/matrix-$2" bdir
  bdir=$(binary_dir "$p")
  # Every compile error of the row at once (-k 0), and no warning anywhere.
  echo "test-matrix: $row: $p: build"
  in_chroot "$dir" "cd /root/keystore && cmake --preset $p && cmake --build --preset $p -j $jobs -- -k 0" 2>&1 |
    tee "$log.build" | { grep -v '^\[[0-9]*/[0-9]*\] \|^-- ' || true; } || return 1
  if grep -q 'warning:\|CMake Warning' "$log.build"; then
    echo "test-matrix: the build with preset $p has warnings (above)" >&2
    return 1
  fi
  # Every test runs: one skipped (a tool missing inside) fails the row.
  echo "test-matrix: $row: $p: the whole suite"
  in_chroot "$dir" "cd /root/keystore && ctest --preset $p -j $jobs" | tee "$log.ctest" || return 1
  if grep -q 'The following tests did not run' "$log.ctest"; then
    echo "test-matrix: tests were skipped with preset $p" >&2
    return 1
  fi
  # The core dump holds no secret, checked on its own: its skip would pass.
  echo "test-matrix: $row: $p: the core-dump test"
  in_chroot "$dir" "cd /root/keystore/$bdir && tests/ks_unit_tests --gtest_filter='CoreDump.*'" |
    tee "$log.core" || return 1
  if ! grep -q '^\[  PASSED  \] 1 test' "$log.core" || grep -q 'SKIPPED' "$log.core"; then
    echo "test-matrix: the core-dump test did not run to a pass with preset $p" >&2
    return 1
  fi
  # The goal ratios are printed, never a failure: a loaded machine moves them.
  if [ -x "$dir/root/keystore/$bdir/bench/ks_bench" ]; then
    echo "test-matrix: $row: $p: the goal ratios (scripts/bench-ratios.py)"
    in_chroot "$dir" "cd /root/keystore && python3 scripts/bench-ratios.py $bdir/bench/ks_bench" ||
      echo "test-matrix: $p: a performance goal is not met (above)"
  fi
}

declare -A result took version
failed=0
for row in "${rows[@]}"; do
  start=$(date +%s)
  ensure_chroot "$row"
  [ "$prepare_only" = 1 ] && continue
  dir="$chroot_dir/$row"
  version[$row]="OpenSSL $(in_chroot "$dir" "pkg-config --modversion libcrypto"), $(in_chroot "$dir" "gcc --version | head -n1")"
  echo "test-matrix: $row: ${version[$row]}"
  copy_tree "$dir"
  mount_in "$dir"
  result[$row]=passed
  for p in "${presets[@]}"; do
    if ! run_preset "$dir" "$p"; then
      result[$row]="failed ($p)"
      failed=1
      break
    fi
  done
  unmount_all
  took[$row]=$(( $(date +%s) - start ))
  echo "test-matrix: $row: ${result[$row]} in ${took[$row]} s"
done
[ "$prepare_only" = 1 ] && exit 0

echo
echo "| row | OpenSSL, compiler | presets | result | time (s) |"
echo "|---|---|---|---|---:|"
for row in "${rows[@]}"; do
  echo "| $row | ${version[$row]} | ${presets[*]} | ${result[$row]} | ${took[$row]} |"
done
exit "$failed"
