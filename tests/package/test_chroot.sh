#!/usr/bin/env bash
# scripts/test as a new user meets it: in a bare Debian 12 root
# (debootstrap minbase, nothing installed by hand), on a clean clone of a
# commit of this repository, so that whatever the scripts need and the
# setup does not install fails here. Prints how long the run took. Needs
# root and Debian's mirror; the bare root is cached as a tarball in
# WORK_DIR, which holds the logs too.
# Usage: test_chroot.sh WORK_DIR [COMMIT]   (default: HEAD)
set -uo pipefail
repo=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mkdir -p "$1" && realpath "$1")
commit=$(git -C "$repo" rev-parse --verify "${2:-HEAD}^{commit}") || exit 1
source "$(dirname "$0")/bare_root.sh"
bare_root_make "$work" || exit 1

git clone -q --no-hardlinks "$repo" "$root/src/trennwick" &&
  git -C "$root/src/trennwick" checkout -q "$commit" || { echo "clone failed" >&2; exit 1; }
echo "scripts/test of $commit in a bare Debian 12 root (log: $work/test.log)"
start=$(date +%s)
in_root bash -c 'cd /src/trennwick && exec scripts/test' >"$work/test.log" 2>&1
status=$?
seconds=$(($(date +%s) - start))
tail -n 15 "$work/test.log"
printf 'scripts/test in the bare root: exit %d after %d min %02d s\n' "$status" $((seconds / 60)) $((seconds % 60))
exit "$status"
