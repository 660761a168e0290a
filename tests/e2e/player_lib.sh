# Shared by the *_player_e2e.sh scripts: the real player and the real QEMU
# (TCG) in a private X server, run as an ordinary user, booting the Linux
# CD of make_linux_cd. Sourced, not run. The caller sets `work` (the folder
# for what a failed run leaves to look at), `player` (trennwick-player) and
# `here` (this folder), then calls pl_begin, which moves `work` and `player`
# to a run folder the user can reach; it ends with pl_end, which exits with
# the outcome.
#
# As root (CI), every program under test runs as the user trennwick-e2e,
# made here when missing: root hides every permission fault a user meets.

pl_failures=0
pl_case=""
pl_linux_cd=""
pl_boot_seconds=${TRENNWICK_E2E_BOOT_SECONDS:-240}
pl_user_name=trennwick-e2e

pl_log() { printf '%s\n' "$*"; }

pl_fail() {
  pl_failures=$((pl_failures + 1))
  pl_log "FAIL [$pl_case]: $*"
  pl_log "  player output: $(tail -n 5 "$work/player.log" 2>/dev/null)"
  import -window root "$work/failure-${pl_case}-${pl_failures}.png" 2>/dev/null || true
}

pl_start_display() {
  Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
  pl_xvfb_pid=$!
  for _ in $(seq 100); do
    [ -s "$work/display" ] && break
    sleep 0.1
  done
  export DISPLAY=":$(head -n1 "$work/display")"
  openbox >"$work/openbox.log" 2>&1 &
  pl_openbox_pid=$!
  sleep 0.5
}

pl_stop_display() {
  kill "$pl_openbox_pid" "$pl_xvfb_pid" 2>/dev/null
  wait "$pl_openbox_pid" "$pl_xvfb_pid" 2>/dev/null
}

# The user's home lies in the work folder, so that nothing of a real user
# is ever touched.
pl_setup_user() {
  pl_home="$work/home"
  mkdir -p "$pl_home"
  if [ "$(id -u)" -eq 0 ]; then
    id -u "$pl_user_name" >/dev/null 2>&1 ||
      useradd --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin \
        --user-group "$pl_user_name"
    pl_uid=$(id -u "$pl_user_name")
    pl_gid=$(id -g "$pl_user_name")
    chown "$pl_uid:$pl_gid" "$pl_home"
  else
    pl_uid=$(id -u)
    pl_gid=$(id -g)
  fi
  chmod 0700 "$pl_home"
}

# The command line that runs a command as the test's user, with a desktop
# session's environment of its own, in pl_user_command. Each step execs the
# next, so a command started from it in the background keeps its process id.
pl_user_command_for() {
  pl_user_command=(env -u WAYLAND_DISPLAY -u XDG_RUNTIME_DIR HOME="$pl_home"
    USER="$pl_user_name" DISPLAY="$DISPLAY" XDG_CONFIG_HOME="$pl_home/.config"
    XDG_DATA_HOME="$pl_home/.local/share" XDG_CACHE_HOME="$pl_home/.cache"
    GSETTINGS_BACKEND=memory NO_AT_BRIDGE=1 ASAN_OPTIONS=detect_leaks=0 "$@")
  if [ "$(id -u)" -eq 0 ]; then
    pl_user_command=(setpriv --reuid="$pl_uid" --regid="$pl_gid" --clear-groups
      "${pl_user_command[@]}")
  fi
}

# Runs a command as the test's user.
pl_as_user() {
  pl_user_command_for "$@"
  "${pl_user_command[@]}"
}

# A folder of the user's own in the work folder; prints its path.
pl_user_dir() {
  local dir="$work/$1"
  mkdir -p "$dir"
  chown "$pl_uid:$pl_gid" "$dir"
  printf '%s\n' "$dir"
}

# The Linux CD (built once and cached beside the work folder), readable by
# the user, and a stand-in for QEMU that notes its process id and its
# arguments (NUL-separated) in the work folder before it becomes QEMU.
pl_prepare_linux_cd() {
  local cache=${TRENNWICK_E2E_CD_CACHE:-$(dirname "$pl_results")/linux-cd}
  pl_linux_cd=$("$here/make_linux_cd" "$cache" 2>"$work/linux-cd.log") || {
    pl_log "  make_linux_cd: $(tail -n 5 "$work/linux-cd.log")"
    return 1
  }
  chmod a+r "$pl_linux_cd"
  local stand_in="$work/qemu-stand-in"
  mkdir -p "$stand_in"
  printf '#!/bin/sh\nprintf "%%s\\n" "$$" >"%s/qemu.pid"\nprintf "%%s\\0" "$@" >"%s/qemu-arguments"\nexec %s "$@"\n' \
    "$work" "$work" "$(command -v qemu-system-x86_64)" >"$stand_in/qemu-system-x86_64"
  chmod 755 "$stand_in/qemu-system-x86_64"
  # The user writes the stand-in's notes.
  : >"$work/qemu.pid"
  : >"$work/qemu-arguments"
  chown "$pl_uid:$pl_gid" "$work/qemu.pid" "$work/qemu-arguments"
}

# Copies the Linux CD into the user's folder DIR and points pl_linux_cd at
# it: a machine whose CD lies outside its own folder, or has a second name
# there (a hard link), would be asked about first. The user may not be
# able to reach the cache, which lies in the build tree.
pl_place_linux_cd() {
  local placed
  placed="$1/$(basename "$pl_linux_cd")"
  cp "$pl_linux_cd" "$placed"
  pl_linux_cd=$placed
}

# Writes a .vmx that boots CD from ide1:0 with the first serial port
# written to SERIAL; further lines (key = "value", without line end) follow.
# usage: pl_write_vmx FILE CD SERIAL [LINE...]
pl_write_vmx() {
  local file=$1 cd=$2 serial=$3 line
  shift 3
  {
    printf '.encoding = "UTF-8"\r\nconfig.version = "8"\r\nvirtualHW.version = "19"\r\n'
    printf 'displayName = "E2E"\r\nguestOS = "other-64"\r\nmemsize = "768"\r\n'
    printf 'ide1:0.present = "TRUE"\r\nide1:0.deviceType = "cdrom-image"\r\n'
    printf 'ide1:0.fileName = "%s"\r\n' "$cd"
    printf 'serial0.present = "TRUE"\r\nserial0.fileType = "file"\r\nserial0.fileName = "%s"\r\n' "$serial"
    for line in "$@"; do printf '%s\r\n' "$line"; done
  } >"$file"
  chown "$pl_uid:$pl_gid" "$file"
}

# Starts the player on VMX as the user in the background, with TCG and the
# QEMU stand-in first in PATH; sets pl_player_pid, the player's own process
# id. Output: $work/player.log.
pl_start_player() {
  : >"$work/qemu.pid"
  pl_user_command_for env TRENNWICK_PLAYER_ACCEL=tcg PATH="$work/qemu-stand-in:$PATH" \
    "$player" "$@"
  "${pl_user_command[@]}" >"$work/player.log" 2>&1 &
  pl_player_pid=$!
}

# Waits for the player started last; a machine still running after
# SECONDS is ended. Prints the player's exit code (124: it had to be ended).
# Only the shell that started the player can wait for it: not in $(...).
pl_wait_player() {
  local seconds=$1 waited=0
  while kill -0 "$pl_player_pid" 2>/dev/null && [ "$waited" -lt $((seconds * 10)) ]; do
    sleep 0.1
    waited=$((waited + 1))
  done
  if kill -0 "$pl_player_pid" 2>/dev/null; then
    [ -s "$work/qemu.pid" ] && kill "$(cat "$work/qemu.pid")" 2>/dev/null
    sleep 1
    kill "$pl_player_pid" 2>/dev/null
    wait "$pl_player_pid" 2>/dev/null
    echo 124
    return
  fi
  wait "$pl_player_pid"
  echo $?
}

# Runs the player on a .vmx to its end (the Linux guest powers itself off);
# prints the exit code. usage: pl_run_player VMX [ARGUMENT...]
pl_run_player() {
  pl_start_player "$@"
  pl_wait_player "$pl_boot_seconds"
}

# The value of one report line of the guest (e.g. trennwick-firmware).
pl_report_value() {
  tr -d '\r' 2>/dev/null <"$1" | sed -n "s/^$2 //p"
}

# True when SERIAL holds one whole report of one boot; prints its token.
pl_check_report() {
  local begin end
  begin=$(pl_report_value "$1" trennwick-begin)
  end=$(pl_report_value "$1" trennwick-end)
  if ! [[ "$begin" =~ ^[0-9a-f]{32}$ ]] || [ "$begin" != "$end" ]; then
    pl_fail "no whole report with one token arrived (serial: $(tail -c 300 "$1" 2>/dev/null))"
    return 1
  fi
  printf '%s\n' "$begin"
}

# The arguments the stand-in gave QEMU last, one a line.
pl_qemu_arguments() {
  tr '\0' '\n' <"$work/qemu-arguments"
}

# The run folder: the checkout may lie below a folder that the test's user
# cannot enter (a home of mode 0700, a clone in /root), so the player under
# test is copied into a fresh folder in /tmp that everybody may enter and
# only the caller may change, and the work folder lies beside it.
pl_make_run_folder() {
  pl_run_folder=$(mktemp -d /tmp/trennwick-e2e.XXXXXX)
  trap pl_remove_run_folder EXIT
  chmod 755 "$pl_run_folder"
  mkdir "$pl_run_folder/bin"
  cp "$player" "$pl_run_folder/bin/"
  player="$pl_run_folder/bin/$(basename "$player")"
  chmod 755 "$player"
}

# Folders a case left without write access (or owned by the test's user)
# must not stop the removal of a run folder made without root.
pl_remove_run_folder() {
  [ -n "${pl_run_folder:-}" ] || return 0
  chmod -R u+rwX "$pl_run_folder" 2>/dev/null
  rm -rf "$pl_run_folder"
}

# What a failed run leaves to look at (logs, serial output, screenshots;
# no CD images), copied to the folder the caller named.
pl_keep_results() {
  (cd "$work" && find . -type f -size -2M -print0 | cpio -0pdm --quiet "$pl_results") 2>/dev/null
}

pl_begin() {
  rm -rf "$work"
  mkdir -p "$work"
  pl_results=$(cd "$work" && pwd)
  pl_make_run_folder
  work="$pl_run_folder/work"
  mkdir "$work"
  # The user reaches the work folder's files it is given.
  chmod 755 "$work"
  cd "$work" || exit 1
  pl_start_display
  pl_setup_user
}

pl_end() {
  pl_stop_display
  if [ "$pl_failures" -eq 0 ]; then
    pl_log "$(basename "$0"): every case passed"
    exit 0
  fi
  pl_keep_results
  pl_log "$(basename "$0"): $pl_failures failure(s); logs and screenshots in $pl_results"
  exit 1
}

# Waits for a box of the player titled TITLE and gives it the focus;
# false when none came within 30 s.
pl_focus_box() {
  local window=""
  for _ in $(seq 300); do
    window=$(xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -n1)
    [ -n "$window" ] && break
    sleep 0.1
  done
  [ -n "$window" ] || return 1
  xdotool windowfocus --sync "$window" 2>/dev/null || xdotool windowactivate --sync "$window"
  sleep 0.2
}

# Waits for a box of the player titled TITLE and closes it with Return.
pl_close_box() {
  pl_focus_box "$1" && xdotool key --clearmodifiers Return
}

# Runs the player on FILE, which it must refuse with a box; checks exit
# code 3, that QEMU never started, and that stderr holds TEXT.
pl_expect_refusal() {
  local file=$1 text=$2 code
  pl_start_player "$file"
  pl_close_box Fehler || pl_fail "no error box"
  # Not in $(...): only this shell can wait for the player it started.
  pl_wait_player 60 >"$work/code"
  code=$(cat "$work/code")
  [ "$code" = 3 ] || pl_fail "exit code $code, not 3"
  [ -s "$work/qemu.pid" ] && pl_fail "QEMU was started"
  grep -qF -- "$text" "$work/player.log" || pl_fail "stderr does not say: $text"
}
