#!/usr/bin/env bash
# The machine never outlives its player, and its lock says that it runs:
# the real player boots a real QEMU (TCG) with a CD that waits for a key,
# as an ordinary user in a private X server. SIGTERM and SIGHUP to the
# player end QEMU and remove the lock; a second player on the running
# machine starts nothing and says so; after SIGKILL QEMU ends all the same
# and the next player takes the stale lock over.
# usage: lifetime_player_e2e.sh PLAYER PROGRAM WORK_DIR
set -u
player=$1
work=$3
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=player_lib.sh
source "$here/player_lib.sh"

# Exit code of a player that finds its machine running (player_main.cpp).
exit_machine_locked=6
end_seconds=5

# The fields of /proc/PID/stat after the program's name (state first,
# then the parent's pid); empty when there is no such process. Read with
# builtins only: these are asked many times a second.
process_fields() {
  local line=""
  read -r line 2>/dev/null <"/proc/$1/stat" || true
  printf '%s' "${line##*) }"
}

# True while the process runs; a zombie nobody has reaped yet has ended.
running() {
  local fields
  fields=$(process_fields "$1")
  [ -n "$fields" ] && [ "${fields%% *}" != Z ]
}

# Waits up to SECONDS for PID to end; false when it still runs.
ends_within() {
  local pid=$1 seconds=$2 waited=0
  while running "$pid" && [ "$waited" -lt $((seconds * 10)) ]; do
    sleep 0.1
    waited=$((waited + 1))
  done
  ! running "$pid"
}

# A stand-in for QEMU that notes each start's process id, then becomes QEMU.
prepare_qemu_stand_in() {
  local stand_in="$work/qemu-stand-in"
  mkdir -p "$stand_in"
  printf '#!/bin/sh\nprintf "%%s\\n" "$$" >>"%s/qemu-starts"\nprintf "%%s\\n" "$$" >"%s/qemu.pid"\nexec %s "$@"\n' \
    "$work" "$work" "$(command -v qemu-system-x86_64)" >"$stand_in/qemu-system-x86_64"
  chmod 755 "$stand_in/qemu-system-x86_64"
  : >"$work/qemu.pid"
  : >"$work/qemu-starts"
  chown "$pl_uid:$pl_gid" "$work/qemu.pid" "$work/qemu-starts"
}

# The parent of process PID.
parent_of() {
  local fields
  fields=$(process_fields "$1")
  fields=${fields#* }
  printf '%s\n' "${fields%% *}"
}

# Starts the player and waits until its QEMU runs; sets qemu_pid and
# player_pid, QEMU's parent, which must be the player started.
start_machine() {
  : >"$work/qemu-starts"
  pl_start_player "$vmx"
  player_pid=""
  qemu_pid=""
  for _ in $(seq 300); do
    qemu_pid=$(cat "$work/qemu.pid" 2>/dev/null)
    if [ -n "$qemu_pid" ] && [ "$(cat "/proc/$qemu_pid/comm" 2>/dev/null)" = qemu-system-x86 ]; then
      player_pid=$(parent_of "$qemu_pid")
      # A moment for QEMU to open its window and boot the CD.
      sleep 2
      running "$qemu_pid" && [ "$player_pid" = "$pl_player_pid" ] && return 0
      break
    fi
    running "$pl_player_pid" || break
    sleep 0.1
  done
  pl_fail "QEMU did not start (player $player_pid, QEMU $qemu_pid: $(cat "/proc/$qemu_pid/comm" 2>&1))"
  return 1
}

# Waits for the player started last (up to 10 s, then it is killed); sets
# player_code. Not in a subshell: only this shell may wait for it.
wait_for_player() {
  ends_within "$player_pid" 10 || kill -KILL "$player_pid"
  wait "$pl_player_pid"
  player_code=$?
}

lock_names_player() {
  [ "$(cat "$lock/player.lck" 2>/dev/null)" = "pid=$player_pid" ]
}

# A stop signal to the player ends QEMU at once, and the player after it
# with 128 + the signal, without a box; the lock is gone.
case_stop_signal() {
  local signal=$1 number
  pl_case="stop-$signal"
  number=$(kill -l "$signal")
  start_machine || return
  lock_names_player || pl_fail "no lock naming the player while it runs ($(ls -la "$lock" 2>&1))"
  kill -s "$signal" "$player_pid"
  ends_within "$qemu_pid" "$end_seconds" || {
    pl_fail "QEMU still runs $end_seconds s after SIG$signal to the player"
    kill -9 "$qemu_pid"
  }
  wait_for_player
  [ "$player_code" = $((128 + number)) ] ||
    pl_fail "the player ended with $player_code, not $((128 + number))"
  [ ! -e "$lock" ] || pl_fail "the lock is still there"
}

# A second player on the running machine shows a box, starts no QEMU and
# leaves the first one's lock alone.
case_second_player() {
  pl_case=second-player
  local second_pid box="" code starts
  start_machine || return
  pl_as_user env TRENNWICK_PLAYER_ACCEL=tcg PATH="$work/qemu-stand-in:$PATH" \
    "$player" "$vmx" >"$work/second.log" 2>&1 &
  second_pid=$!
  for _ in $(seq 100); do
    box=$(xdotool search --onlyvisible --name '^Trennwick-Player$' 2>/dev/null | head -n1)
    [ -n "$box" ] && break
    sleep 0.1
  done
  if [ -n "$box" ]; then
    xdotool windowactivate --sync "$box" 2>/dev/null
    xdotool key --clearmodifiers Return
  else
    pl_fail "no box 'Trennwick-Player' from the second player"
  fi
  ends_within "$second_pid" 10 || kill "$second_pid"
  wait "$second_pid"
  code=$?
  [ "$code" = "$exit_machine_locked" ] || pl_fail "the second player ended with $code"
  grep -q "schon (Prozess $player_pid)" "$work/second.log" ||
    pl_fail "the second player did not say that the machine runs: $(cat "$work/second.log")"
  starts=$(wc -l <"$work/qemu-starts")
  [ "$starts" = 1 ] || pl_fail "QEMU was started $starts times"
  lock_names_player || pl_fail "the first player's lock was touched"
  running "$qemu_pid" || pl_fail "the first machine stopped"
  kill -TERM "$player_pid"
  ends_within "$qemu_pid" "$end_seconds" || kill -9 "$qemu_pid"
  wait_for_player
}

# SIGKILL leaves the player no say: QEMU ends by its parent-death signal,
# and the lock it left behind is stale; the next player takes it over.
case_killed_player() {
  pl_case=killed-player
  local killed
  start_machine || return
  killed=$player_pid
  kill -KILL "$player_pid"
  ends_within "$qemu_pid" "$end_seconds" || {
    pl_fail "QEMU still runs $end_seconds s after SIGKILL to the player"
    kill -9 "$qemu_pid"
  }
  wait_for_player
  [ "$(cat "$lock/player.lck" 2>/dev/null)" = "pid=$killed" ] ||
    pl_fail "the killed player's lock is not there as it was left"
  pl_case=stale-lock
  start_machine || return
  lock_names_player || pl_fail "the next player did not take the stale lock over"
  kill -TERM "$player_pid"
  ends_within "$qemu_pid" "$end_seconds" || kill -9 "$qemu_pid"
  wait_for_player
  [ ! -e "$lock" ] || pl_fail "the lock is still there"
}

pl_begin
machine=$(pl_user_dir machine)
vmx="$machine/lifetime.vmx"
lock="$vmx.lck"
if "$here/../../player/boot/make_boot_iso" "$here/../../player/boot/hello_boot.asm" \
  "$machine/hello.iso"; then
  chmod a+r "$machine/hello.iso"
  prepare_qemu_stand_in
  pl_write_vmx "$vmx" "$machine/hello.iso" "$machine/serial.txt"
  case_stop_signal TERM
  case_stop_signal HUP
  case_second_player
  case_killed_player
else
  pl_case=cd
  pl_fail "cannot build the CD image"
fi
pl_end
