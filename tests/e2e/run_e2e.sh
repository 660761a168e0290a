#!/usr/bin/env bash
# Drives the real program in a real X server (Xvfb with openbox): answers
# its boxes and its open-file dialog with xdotool, lets a recording player
# stand in for the .vmx handler, and checks exit codes, the bytes of the
# files written, and that nothing is left behind.
#
# usage: run_e2e.sh linux|windows PROGRAM PLAYER WORK_DIR
set -uo pipefail

system=$1
program=$2
player=$3
work=$4
here=$(cd "$(dirname "$0")" && pwd)
golden_template="$here/expected/trennwick_template.txt"

rm -rf "$work"
mkdir -p "$work/record" "$work/images"
image_dir="$work/images"
: > "$image_dir/test image.iso"

failures=0
current_case=""

log() { printf '%s\n' "$*"; }

fail() {
  failures=$((failures + 1))
  log "FAIL [$current_case]: $*"
  import -window root "$work/failure-${current_case}-${failures}.png" 2>/dev/null || true
}

# ---------------------------------------------------------------- display
start_display() {
  local fd_file="$work/display"
  Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$fd_file" 2>"$work/xvfb.log" &
  xvfb_pid=$!
  for _ in $(seq 100); do
    [ -s "$fd_file" ] && break
    sleep 0.1
  done
  export DISPLAY=":$(head -n1 "$fd_file")"
  openbox >"$work/openbox.log" 2>&1 &
  openbox_pid=$!
  sleep 0.5
}

stop_display() {
  kill "$openbox_pid" "$xvfb_pid" 2>/dev/null
  wait "$openbox_pid" "$xvfb_pid" 2>/dev/null
}

# Waits for a visible window whose title matches the regex; prints its id.
wait_window() {
  local regex=$1 tries=${2:-200} ids
  for _ in $(seq "$tries"); do
    ids=$(xdotool search --onlyvisible --name "$regex" 2>/dev/null | head -n1)
    if [ -n "$ids" ]; then
      printf '%s\n' "$ids"
      return 0
    fi
    sleep 0.1
  done
  return 1
}

# Focuses a window and sends keys to it.
keys_to() {
  local window=$1
  shift
  xdotool windowfocus --sync "$window" 2>/dev/null || xdotool windowactivate --sync "$window"
  sleep 0.2
  xdotool key --clearmodifiers "$@"
}

type_to() {
  local window=$1 text=$2
  xdotool windowfocus --sync "$window" 2>/dev/null || xdotool windowactivate --sync "$window"
  sleep 0.2
  xdotool type --clearmodifiers --delay 5 "$text"
}

