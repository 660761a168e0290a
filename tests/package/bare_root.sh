# A bare Debian 12 root (debootstrap minbase, nothing else), unpacked anew
# from a tarball cached in the work folder; sourced by the tests that use
# one. Needs root and Debian's mirror for the first tarball.
# After bare_root_make WORK_DIR: $root is the root, in_root runs a command
# in it with a clean environment, and undo_mounts (trapped on EXIT) ends
# the processes left in it and takes its mounts down.
root=""
mounts=()

undo_mounts() {
  local i proc
  # A process still inside (a wineserver, a test's X server) holds the
  # mounts; only processes of this root are ended, each by its id.
  if [ -n "$root" ]; then
    for proc in /proc/[0-9]*; do
      [ "$(readlink "$proc/root" 2>/dev/null)" = "$root" ] && kill -9 "${proc#/proc/}" 2>/dev/null
    done
  fi
  for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do
    umount -l "${mounts[i]}" 2>/dev/null
  done
  mounts=()
}
trap undo_mounts EXIT

mount_into() {  # WHAT WHERE MOUNT-OPTION...
  mkdir -p "$root$2"
  mount "${@:3}" "$1" "$root$2" && mounts+=("$root$2")
}

bare_root_make() {  # WORK_DIR
  local work=$1 tarball="$1/bookworm-minbase.tar.gz"
  root="$work/root"
  if [ ! -f "$tarball" ]; then
    rm -rf "$work/fresh"
    debootstrap --variant=minbase bookworm "$work/fresh" http://deb.debian.org/debian >"$work/debootstrap.log" 2>&1 ||
      { echo "debootstrap failed (see $work/debootstrap.log)" >&2; return 1; }
    tar -C "$work/fresh" -czf "$tarball.part" . && mv "$tarball.part" "$tarball"
    rm -rf "$work/fresh"
  fi
  # A root left by a run that was killed may still have the host's /dev and
  # /sys mounted in it: those go first, and the removal never crosses into
  # another file system.
  local leftover
  awk -v root="$root/" 'index($2 "/", root) == 1 { print $2 }' /proc/self/mounts | sort -r |
    while read -r leftover; do umount -l "$leftover"; done
  rm -rf --one-file-system "$root"
  mkdir -p "$root"
  tar -C "$root" -xzf "$tarball"
  cp /etc/resolv.conf "$root/etc/resolv.conf"
  # Its own mount, as a container's or a machine's root is: `ip netns exec`
  # makes / a slave mount, which only a mount's root can be.
  mount --bind "$root" "$root" && mounts+=("$root")
  mount_into proc /proc -t proc
  mount_into /sys /sys --rbind
  mount_into /dev /dev --rbind
}

in_root() { chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive "$@"; }
