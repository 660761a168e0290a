#!/usr/bin/env bash
# Drives the real program in a real X server (Xvfb with openbox): answers
# its boxes and its open-file dialog with xdotool, lets a recording player
# stand in for the .vmx handler, and checks exit codes, the bytes of the
# files written, and that nothing is left behind.
#
# On Linux, given the QEMU player too, the last cases boot CD images
# through the whole road and read the guest's words from its serial port:
# a tiny CD built from source, then a real Linux CD (make_linux_cd, kept
# in TRENNWICK_E2E_CD_CACHE, by default linux-cd beside WORK_DIR) with the
# default template, with UEFI and on SATA.
#
# With TRENNWICK_E2E_MEASURE=N the player boots the Linux CD N times, and
# QEMU started by hand with the player's arguments as often, taking turns;
# each is timed from its start to the guest's token and the medians are
# printed.
#
# usage: run_e2e.sh linux|windows PROGRAM PLAYER WORK_DIR [QEMU_PLAYER]
set -uo pipefail

system=$1
program=$2
player=$3
work=$4
qemu_player=${5:-}
# The desktop starts the players from other directories.
program=$(realpath "$program")
player=$(realpath "$player")
[ -z "$qemu_player" ] || qemu_player=$(realpath "$qemu_player")
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/e2e/player_lib.sh
source "$here/player_lib.sh"
pl_output_log=program.log
# The template as each system writes it: Windows keeps the lone CR of the
# defined format, Linux writes LF.
golden_template="$here/expected/trennwick_template.txt"
[ "$system" = linux ] && golden_template="$here/expected/trennwick_template.lf.txt"

rm -rf "$work"
mkdir -p "$work/record" "$work/images"
pl_results=$work
image_dir="$work/images"
: > "$image_dir/test image.iso"

# ------------------------------------------------------- system specifics
case "$system" in
  linux)
    temp_root=/tmp
    program_name=trennwick
    # A desktop of its own: the recording player is the default
    # application for application/x-vmware-vm, which *.vmx files have.
    setup_system() {
      export HOME="$work/home" XDG_DATA_HOME="$work/xdg/data" XDG_CONFIG_HOME="$work/xdg/config"
      export XDG_DATA_DIRS="$XDG_DATA_HOME:/usr/local/share:/usr/share"
      export XDG_CACHE_HOME="$work/xdg/cache" GSETTINGS_BACKEND=memory NO_AT_BRIDGE=1
      export ASAN_OPTIONS=detect_leaks=0  # GTK keeps its caches until exit
      mkdir -p "$HOME" "$XDG_DATA_HOME/mime/packages" "$XDG_DATA_HOME/applications" "$XDG_CONFIG_HOME"
      cp "$here/../../player/desktop/trennwick-vmx.xml" "$XDG_DATA_HOME/mime/packages/"
      update-mime-database "$XDG_DATA_HOME/mime" >/dev/null
      cat >"$XDG_DATA_HOME/applications/trennwick-e2e-player.desktop" <<DESKTOP
[Desktop Entry]
Type=Application
Name=Recording player
Exec=$player %f
MimeType=application/x-vmware-vm;
NoDisplay=true
DESKTOP
      # The QEMU player, in the test's own X server (it refuses to start a
      # machine nobody could see); the guest talks through its serial port.
      # It is the copy beside the program that opened the file: only the
      # launcher beside the player makes a run the launcher's own.
      cat >"$XDG_DATA_HOME/player-beside-launcher" <<'SCRIPT'
#!/bin/sh
launcher=$(readlink "/proc/$PPID/exe")
exec env -u WAYLAND_DISPLAY TRENNWICK_PLAYER_ACCEL=tcg "${launcher%/*}/trennwick-player" "$@"
SCRIPT
      chmod 755 "$XDG_DATA_HOME/player-beside-launcher"
      cat >"$XDG_DATA_HOME/applications/trennwick-e2e-qemu.desktop" <<DESKTOP
[Desktop Entry]
Type=Application
Name=QEMU player
Exec=$XDG_DATA_HOME/player-beside-launcher %f
MimeType=application/x-vmware-vm;
NoDisplay=true
DESKTOP
      open_vmx_with trennwick-e2e-player.desktop
      export TRENNWICK_E2E_RECORD="$work/record"
      image_path="$image_dir/test image.iso"
      sep=/
    }
    open_vmx_with() {
      printf '[Default Applications]\napplication/x-vmware-vm=%s\n' "$1" >"$XDG_CONFIG_HOME/mimeapps.list"
    }
    run_program() { "$@"; }
    same_path() { [ "$1" = "$2" ]; }
    ;;
  windows)
    export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" LC_ALL=C
    temp_root="$WINEPREFIX/drive_c/tmp"
    program_name=trennwick.exe
    to_windows() { printf 'Z:%s' "$(printf '%s' "$1" | tr / '\\')"; }
    setup_system() {
      /usr/lib/wine/wineserver -p </dev/null >/dev/null 2>&1
      /usr/lib/wine/wine64 wineboot </dev/null >/dev/null 2>&1
      mkdir -p "$temp_root"
      # The recording player opens .vmx files, as VMware Player would.
      /usr/lib/wine/wine64 reg add 'HKCR\.vmx' /ve /d TrennwickE2E.vmx /f >/dev/null 2>&1
      /usr/lib/wine/wine64 reg add 'HKCR\TrennwickE2E.vmx\shell\open\command' /ve \
        /d "\"$(to_windows "$player")\" \"%1\"" /f >/dev/null 2>&1
      export TRENNWICK_E2E_RECORD
      TRENNWICK_E2E_RECORD=$(to_windows "$work/record")
      image_path=$(to_windows "$image_dir/test image.iso")
      sep='\'
    }
    stop_system() {
      /usr/lib/wine/wineserver -k 2>/dev/null
      /usr/lib/wine/wineserver -w 2>/dev/null
    }
    run_program() { /usr/lib/wine/wine64 "$@"; }
    same_path() { [ "${1,,}" = "${2,,}" ]; }
    ;;
  *)
    echo "usage: run_e2e.sh linux|windows PROGRAM PLAYER WORK_DIR" >&2
    exit 2
    ;;
esac

# ------------------------------------------------------------- the runs
# Types the image path into the open-file dialog and confirms it. Wine's
# dialog has its file-name field focused; in GTK's chooser a typed "/"
# opens the location entry and lands in it. With "here", a name alone is
# chosen in the folder the dialog shows: GTK's location entry (ctrl+L)
# takes it relative to that folder, so that no byte of the folder's name
# has to be typed. usage: choose_file PATH [here]
choose_file() {
  local window
  window=$(pl_wait_window 'ISO-Image ausw.*hlen$') || return 1
  pl_focus "$window"
  if [ "${2:-}" = here ]; then
    xdotool key --clearmodifiers ctrl+l
    sleep 0.3
  fi
  xdotool type --clearmodifiers --delay 5 "$1"
  sleep 0.3
  xdotool key Return
}

# The text of a message box as the user copies it out: the text is
# selectable, shift+Tab moves from the button to it, ctrl+A and ctrl+C copy
# it to the clipboard. Prints it; the box stays open.
read_box_text() {
  local window
  window=$(pl_wait_window "$1") || return 1
  printf '' | xclip -selection clipboard
  pl_keys_to "$window" shift+Tab
  sleep 0.2
  xdotool key --clearmodifiers ctrl+a ctrl+c
  sleep 0.3
  xclip -o -selection clipboard 2>/dev/null
}

# A fresh program folder holding the program, and on Linux the QEMU player
# beside it, as the package installs them.
new_program_folder() {
  local folder="$work/$1"
  mkdir -p "$folder" || return 1
  cp "$program" "$folder/$program_name"
  [ "$system" = linux ] && [ -n "$qemu_player" ] && cp "$qemu_player" "$folder/trennwick-player"
  printf '%s\n' "$folder"
}

# Starts the program in the background; its pid goes to $run_pid.
start_run() {
  rm -f "$work/exit_code"
  (run_program "$@" >"$work/program.log" 2>&1; echo $? >"$work/exit_code") &
  run_pid=$!
}

# Waits for the run to end (60 s at most) and prints its exit code.
run_exit_code() {
  for _ in $(seq 600); do
    if [ -s "$work/exit_code" ]; then
      cat "$work/exit_code"
      return 0
    fi
    sleep 0.1
  done
  kill "$run_pid" 2>/dev/null
  printf 'timeout\n'
}

expect_exit() {
  local expected=$1 got
  got=$(run_exit_code)
  [ "$got" = "$expected" ] || pl_fail "exit code $got, expected $expected"
}

temporary_directories() { find "$temp_root" -maxdepth 1 -name 'trennwick_temp_*' 2>/dev/null | sort; }

# The configuration that the golden template gives for an image path.
expected_config() {
  IMAGE="$1" perl -0777 -pe 's/\r\n|\r|\n/\r\n/g;
    s/\Qide1:0.fileName = "***isofile.iso***"\E/ide1:0.fileName = "$ENV{IMAGE}"/gi;
    $_ .= "\r\n"' "$golden_template"
}

case_help() {
  pl_case=help
  local folder
  folder=$(new_program_folder help)
  start_run "$folder/$program_name" --help
  pl_answer_box '^Trennwick f.*r VMWARE  --> Info$' Return
  expect_exit 1
  [ ! -e "$folder/trennwick_template.txt" ] || pl_fail "help wrote the template"

  pl_case=help-capitals
  start_run "$folder/$program_name" --HELP
  pl_answer_box '^Info$' n
  expect_exit 0
}

case_first_run() {
  pl_case=first-run
  local folder
  folder=$(new_program_folder first)
  start_run "$folder/$program_name"
  pl_answer_box '^Info$' n
  expect_exit 0
  cmp -s "$folder/trennwick_template.txt" "$golden_template" ||
    pl_fail "the template written is not the default template"

  pl_case=second-run
  start_run "$folder/$program_name"
  if window=$(pl_wait_window 'ISO-Image ausw.*hlen$'); then
    xdotool search --onlyvisible --name '^Info$' >/dev/null 2>&1 && pl_fail "asked again"
    pl_keys_to "$window" Escape
    pl_answer_box '^Fehler$' Return
  else
    pl_fail "no open-file dialog"
  fi
  expect_exit 0
}

case_cancel() {
  pl_case=cancel
  local folder before
  folder=$(new_program_folder cancel)
  cp "$golden_template" "$folder/trennwick_template.txt"
  before=$(temporary_directories)
  start_run "$folder/$program_name"
  if window=$(pl_wait_window 'ISO-Image ausw.*hlen$'); then
    pl_keys_to "$window" Escape
    pl_answer_box '^Fehler$' Return
  else
    pl_fail "no open-file dialog"
  fi
  expect_exit 0
  [ "$(temporary_directories)" = "$before" ] || pl_fail "a temporary directory was made"
}

case_normal_run() {
  pl_case=normal-run
  local folder before after config_path
  folder=$(new_program_folder normal)
  cp "$golden_template" "$folder/trennwick_template.txt"
  rm -f "$work/record/"*
  before=$(temporary_directories)
  start_run "$folder/$program_name"
  choose_file "$image_path" || pl_fail "no open-file dialog"
  expect_exit 0
  after=$(temporary_directories)
  [ "$after" = "$before" ] || pl_fail "the temporary directory is still there: $after"
  [ -f "$work/record/ended.txt" ] || pl_fail "the program did not wait for the player"
  expected_config "$image_path" >"$work/expected.vmx"
  cmp -s "$work/record/config.vmx" "$work/expected.vmx" ||
    pl_fail "the player got another configuration than the template gives"
  # The player was handed the configuration in its temporary directory and
  # ran there.
  local argument directory
  argument=$(head -n1 "$work/record/arguments.txt" 2>/dev/null | tr -d '\r')
  directory=$(head -n1 "$work/record/directory.txt" 2>/dev/null | tr -d '\r')
  case "$argument" in
    *trennwick_temp_*trennwick.vmx) ;;
    *) pl_fail "the player was handed '$argument'" ;;
  esac
  config_path="${argument%trennwick.vmx}"
  config_path="${config_path%"$sep"}"
  config_path="${config_path%"$sep"}"
  same_path "$directory" "$config_path" || pl_fail "the player ran in '$directory', not '$config_path'"
}

case_template_is_a_directory() {
  pl_case=template-directory
  local folder
  folder=$(new_program_folder directory)
  mkdir "$folder/trennwick_template.txt"
  start_run "$folder/$program_name"
  choose_file "$image_path" || pl_fail "no open-file dialog"
  pl_answer_box '^Fehler$' Return
  expect_exit 2
  [ -d "$folder/trennwick_template.txt" ] || pl_fail "the directory was replaced"
}

# Paths with umlauts in the boxes, on Linux: a folder named in UTF-8 reads
# as it is, one in Latin-1 bytes with GLib's replacement characters.
case_umlaut_paths() {
  pl_case=umlaut-utf8
  local folder text expected
  folder=$(new_program_folder "Übungen mit Umlauten äöüß")
  : >"$folder/test image.iso"
  # A template that cannot be created: its name leads nowhere.
  ln -s "$work/nowhere/trennwick_template.txt" "$folder/trennwick_template.txt"
  rm -f "$work/record/"*
  start_run "$folder/$program_name"
  text=$(read_box_text '^Info$')
  expected=$(printf 'Das Templatefile konnte nicht angelegt werden:\n%s\nSoll mit der eingebauten Standardkonfig fortgefahren werden?' \
    "$folder/trennwick_template.txt")
  [ "$text" = "$expected" ] || pl_fail "the box reads '$text', expected '$expected'"
  pl_answer_box '^Info$' y
  choose_file "test image.iso" here || pl_fail "no open-file dialog"
  expect_exit 0
  [ ! -e "$work/nowhere" ] || pl_fail "the template's folder was made"
  expected_config "$folder/test image.iso" >"$work/expected.vmx"
  cmp -s "$work/record/config.vmx" "$work/expected.vmx" ||
    pl_fail "the built-in template gave another configuration than the written one does"

  pl_case=umlaut-latin1
  local latin1
  latin1=$(printf 'Pr\xfcfung \xdcbungen')
  folder=$(new_program_folder "$latin1") || { pl_fail "cannot make a Latin-1 folder"; return; }
  : >"$folder/test image.iso"
  mkdir "$folder/trennwick_template.txt"
  start_run "$folder/$program_name"
  choose_file "test image.iso" here || pl_fail "no open-file dialog"
  text=$(read_box_text '^Fehler$')
  expected=$(printf "Kann die VM-Ware-Datei nicht lesen: '%s/Pr\xef\xbf\xbdfung \xef\xbf\xbd%s/trennwick_template.txt'." \
    "$work" bungen)
  [ "$text" = "$expected" ] || pl_fail "the box reads '$text', expected '$expected'"
  pl_answer_box '^Fehler$' Return
  expect_exit 2
}

# A CD image whose guest writes the token to its first serial port, and
# beside the program a template that sends that port into a file.
prepare_token_boot() {
  local folder=$1 token=$2 serial=$3
  "$here/../../player/boot/make_boot_iso" "$here/../../player/boot/token_boot.asm" \
    "$image_dir/token.iso" "$token" || return 1
  { cat "$golden_template"
    printf 'serial0.present = "TRUE"\rserial0.fileType = "file"\rserial0.fileName = "%s"\r' "$serial"
  } >"$folder/trennwick_template.txt"
}

# The whole road: a CD image built from source boots in QEMU, writes a
# token to its serial port and powers the guest off; the player ends, and
# the program removes its temporary directory.
case_boot() {
  pl_case=boot
  local folder before token serial="$work/serial.txt"
  token="trennwick-$RANDOM$RANDOM$RANDOM"
  folder=$(new_program_folder boot)
  prepare_token_boot "$folder" "$token" "$serial" || { pl_fail "cannot build the CD image"; return; }
  rm -f "$serial"
  open_vmx_with trennwick-e2e-qemu.desktop
  before=$(temporary_directories)
  start_run "$folder/$program_name"
  choose_file "$image_dir/token.iso" || pl_fail "no open-file dialog"
  expect_exit 0
  grep -q "$token" "$serial" 2>/dev/null || pl_fail "the guest's token did not arrive (serial: $(cat "$serial" 2>/dev/null))"
  [ "$(temporary_directories)" = "$before" ] || pl_fail "the temporary directory is still there"
  open_vmx_with trennwick-e2e-player.desktop
}

# ------------------------------------------------------ the Linux CD
# A real Linux CD (make_linux_cd) boots through the whole road. Its guest
# writes a report to its first serial port: a token new at every boot, the
# firmware it saw and the CPU's flags. QEMU is reached through the
# library's stand-in (pl_prepare_linux_cd), so that a hung guest can be
# ended and the drives QEMU was given can be checked.
linux_serial="$work/linux-serial.txt"
linux_boot_seconds=240
linux_tokens=()

# The golden template with the first serial port written to the report
# file, edited by the perl expression given.
linux_template() {
  local folder=$1 edit=${2:-}
  { perl -0777 -pe "$edit" "$golden_template"
    printf 'serial0.present = "TRUE"\rserial0.fileType = "file"\rserial0.fileName = "%s"\r' \
      "$linux_serial"
  } >"$folder/trennwick_template.txt"
}

# Picks the Linux CD in the dialog and waits for the run to end; a guest
# that has not ended in time is powered off.
boot_linux_cd() {
  local waited=0
  rm -f "$linux_serial" "$work/qemu.pid" "$work/qemu-arguments"
  [ ! -e "$linux_serial" ] || { pl_fail "cannot remove the old serial file"; return 1; }
  open_vmx_with trennwick-e2e-qemu.desktop
  PATH="$work/qemu-stand-in:$PATH" start_run "$1/$program_name"
  if ! choose_file "$pl_linux_cd"; then
    pl_fail "no open-file dialog"
    expect_exit 0
    return 1
  fi
  while [ ! -s "$work/exit_code" ] && [ "$waited" -lt $((linux_boot_seconds * 10)) ]; do
    sleep 0.1
    waited=$((waited + 1))
  done
  if [ ! -s "$work/exit_code" ]; then
    pl_fail "the guest did not end within $linux_boot_seconds s (serial: $(tail -c 300 "$linux_serial" 2>/dev/null))"
    [ -s "$work/qemu.pid" ] && kill "$(cat "$work/qemu.pid")" 2>/dev/null
  fi
  expect_exit 0
  open_vmx_with trennwick-e2e-player.desktop
}

# Checks that one whole report of a new boot arrived; prints its token.
check_linux_report() {
  local begin seen
  # One line each: a second report would be one of an earlier boot.
  pl_check_report "$linux_serial" || return 1
  begin=$pl_token
  for seen in "${linux_tokens[@]}"; do
    [ "$seen" != "$begin" ] || pl_fail "the token of an earlier boot arrived again"
  done
  linux_tokens+=("$begin")
}

# The default template: the CD on IDE, BIOS, and a processor with the
# instructions that today's distributions build for.
case_linux_default() {
  pl_case=linux-default
  local folder before flags
  folder=$(new_program_folder linux-default)
  linux_template "$folder"
  before=$(temporary_directories)
  boot_linux_cd "$folder" || return
  check_linux_report || return
  [ "$(pl_report_value "$linux_serial" trennwick-firmware)" = bios ] || pl_fail "the guest did not start from BIOS"
  flags=" $(tr -d '\r' <"$linux_serial" | sed -n 's/^flags[[:space:]]*: //p') "
  for flag in sse4_2 popcnt; do
    [[ "$flags" == *" $flag "* ]] || pl_fail "the guest's processor lacks $flag (flags:$flags)"
  done
  [ "$(temporary_directories)" = "$before" ] || pl_fail "the temporary directory is still there"
}

case_linux_efi() {
  pl_case=linux-efi
  local folder before
  folder=$(new_program_folder linux-efi)
  linux_template "$folder" '$_ .= "firmware = \"efi\"\r"'
  before=$(temporary_directories)
  boot_linux_cd "$folder" || return
  check_linux_report || return
  [ "$(pl_report_value "$linux_serial" trennwick-firmware)" = efi ] || pl_fail "the guest did not start from UEFI"
  # The firmware's private variables lay in the temporary directory.
  [ "$(temporary_directories)" = "$before" ] || pl_fail "the temporary directory is still there"
}

# The CD on the second place of the first SATA controller and nowhere
# else: the IDE place keeps only the name the program writes into it. (The
# template's lines end in LF on Linux, in CR alone on Windows.)
case_linux_sata() {
  pl_case=linux-sata
  local folder
  folder=$(new_program_folder linux-sata)
  linux_template "$folder" "s/(^|[\r\n])ide1:0\\.(present|deviceType|mode|startConnected)/\$1sata0:1.\$2/gi;
    \$_ .= \"sata0.present = \\\"TRUE\\\"\\rsata0:1.fileName = \\\"$pl_linux_cd\\\"\\r\""
  boot_linux_cd "$folder" || return
  check_linux_report || return
  # QEMU gets the CD as a descriptor set, on the SATA place and on no IDE one.
  local argument on_sata=no on_ide=no
  while IFS= read -r -d '' argument; do
    [[ "$argument" == ide-cd,bus=sata0.1,* ]] && on_sata=yes
    [[ "$argument" == ide-cd,bus=ide.* ]] && on_ide=yes
  done <"$work/qemu-arguments"
  [ "$on_sata" = yes ] || pl_fail "QEMU was not given the CD on SATA"
  [ "$on_ide" = no ] || pl_fail "QEMU was given a CD on IDE"
}

# A "film.iso" that is really a vmdk descriptor naming a secret file,
# picked in the dialog: the CD is raw bytes, so QEMU holds the chosen file
# and never the secret.
case_linux_disguised_iso() {
  pl_case=linux-disguised-iso
  local folder iso="$work/film.iso" secret="$work/disguised-secret" pid descriptors
  folder=$(new_program_folder linux-disguised)
  linux_template "$folder"
  head -c 1048576 /dev/urandom >"$secret"
  printf '# Disk DescriptorFile\nversion=1\nCID=fffffffe\nparentCID=ffffffff\ncreateType="monolithicFlat"\nRW 2048 FLAT "%s" 0\n' \
    "$secret" >"$iso"
  cp "$secret" "$work/disguised-secret.before"
  rm -f "$work/qemu.pid" "$work/qemu-arguments"
  open_vmx_with trennwick-e2e-qemu.desktop
  PATH="$work/qemu-stand-in:$PATH" start_run "$folder/$program_name"
  if ! choose_file "$iso"; then
    pl_fail "no open-file dialog"
    expect_exit 0
    return 1
  fi
  for _ in $(seq 600); do
    [ -s "$work/qemu.pid" ] && break
    sleep 0.1
  done
  pid=$(cat "$work/qemu.pid" 2>/dev/null)
  sleep 3
  descriptors=$(ls -l "/proc/${pid:-0}/fd" 2>/dev/null)
  [[ "$descriptors" == *"$iso"* ]] || pl_fail "QEMU does not hold the chosen image: $descriptors"
  [[ "$descriptors" != *"$secret"* ]] || pl_fail "QEMU holds the file the image names"
  tr '\0' '\n' <"$work/qemu-arguments" | grep -qx 'driver=raw,node-name=drive[0-9]*,file=drive[0-9]*-file,read-only=on' ||
    pl_fail "the CD is not raw"
  # Nothing boots from the descriptor's text: the machine is ended.
  [ -n "$pid" ] && kill "$pid" 2>/dev/null
  expect_exit 0
  cmp -s "$secret" "$work/disguised-secret.before" || pl_fail "the secret file changed"
  open_vmx_with trennwick-e2e-player.desktop
}

now() { date +%s.%N; }

# Waits for a report's first line in the serial file; prints the time then.
token_time() {
  local deadline
  deadline=$(echo "$(now) + $linux_boot_seconds" | bc)
  while [ "$(echo "$(now) < $deadline" | bc)" = 1 ]; do
    grep -aq '^trennwick-begin [0-9a-f]\{32\}' "$1" 2>/dev/null && { now; return 0; }
    sleep 0.005
  done
  return 1
}

median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# One timed boot: the command's start to the guest's token; prints the
# seconds. The guest powers itself off, so the command ends by itself.
timed_boot() {
  local start end pid
  rm -f "$linux_serial"
  start=$(now)
  # A session of its own, so that a hung guest ends with its player. Both
  # show the machine in the test's X server, as the player must.
  setsid env -u WAYLAND_DISPLAY "$@" >/dev/null 2>&1 &
  pid=$!
  if ! end=$(token_time "$linux_serial"); then
    kill -- -"$pid" 2>/dev/null
    wait "$pid"
    return 1
  fi
  wait "$pid"
  echo "$end - $start" | bc
}

# QEMU started by hand is given names where the player handed it
# descriptors: each /dev/fdset/N becomes the file of that set's first
# descriptor, as the stand-in saw it; -add-fd goes. Sets hand_arguments.
by_hand_arguments() {
  local -A fd_file set_file
  local fd file argument set
  while read -r fd file; do fd_file[$fd]=$file; done <"$work/qemu-files"
  hand_arguments=()
  while [ $# -gt 0 ]; do
    if [ "$1" = -add-fd ]; then
      fd=$(sed -n 's/.*\bfd=\([0-9]*\).*/\1/p' <<<"$2")
      set=$(sed -n 's/.*\bset=\([0-9]*\).*/\1/p' <<<"$2")
      [ -n "${set_file[$set]:-}" ] || set_file[$set]=${fd_file[$fd]//,/,,}
      shift 2
      continue
    fi
    hand_arguments+=("$1")
    shift
  done
  local i
  for i in "${!hand_arguments[@]}"; do
    argument=${hand_arguments[$i]}
    for set in "${!set_file[@]}"; do
      argument=${argument//\/dev\/fdset\/$set,/${set_file[$set]},}
      [[ "$argument" == *"/dev/fdset/$set" ]] &&
        argument="${argument%"/dev/fdset/$set"}${set_file[$set]}"
    done
    hand_arguments[$i]=$argument
  done
}

# The player started on the Linux CD against QEMU started by hand with the
# arguments the player gave it, N times each, taking turns at going first;
# each is timed from its start to the guest's token. Fails when the
# player's median is more than 5 % above QEMU's.
measure_boot() {
  local runs=$1 vmx_dir="$work/measure" seconds
  pl_case=measure
  mkdir -p "$vmx_dir"
  # The machine's CD and serial file lie in its folder, as its own: the
  # player asks nothing. A copy: a second name of the cached CD would be
  # asked about.
  local cd="$vmx_dir/$(basename "$pl_linux_cd")"
  cp "$pl_linux_cd" "$cd"
  linux_serial="$vmx_dir/serial.txt"
  { expected_config "$cd"
    printf 'serial0.present = "TRUE"\r\nserial0.fileType = "file"\r\nserial0.fileName = "%s"\r\n' \
      "$linux_serial"
  } >"$vmx_dir/trennwick.vmx"
  local player_run=(env TRENNWICK_PLAYER_ACCEL=tcg "$qemu_player" "$vmx_dir/trennwick.vmx")
  # A first boot through the stand-in gives QEMU's arguments.
  rm -f "$work/qemu-arguments"
  timed_boot env PATH="$work/qemu-stand-in:$PATH" "${player_run[@]}" >/dev/null ||
    { pl_fail "the player's first boot gave no token"; return; }
  local arguments=()
  while IFS= read -r -d '' argument; do arguments+=("$argument"); done <"$work/qemu-arguments"
  by_hand_arguments "${arguments[@]}"
  arguments=("${hand_arguments[@]}")
  local by_player=() by_hand=() turn
  for turn in $(seq "$runs"); do
    for who in $([ $((turn % 2)) = 1 ] && echo "player hand" || echo "hand player"); do
      if [ "$who" = player ]; then
        seconds=$(timed_boot "${player_run[@]}") || { pl_fail "no token from the player"; return; }
        by_player+=("$seconds")
      else
        seconds=$(timed_boot qemu-system-x86_64 "${arguments[@]}") ||
          { pl_fail "no token from QEMU by hand"; return; }
        by_hand+=("$seconds")
      fi
    done
  done
  local player_median hand_median ratio
  player_median=$(printf '%s\n' "${by_player[@]}" | median)
  hand_median=$(printf '%s\n' "${by_hand[@]}" | median)
  ratio=$(echo "scale=3; $player_median / $hand_median" | bc)
  pl_log "start to token, player:       ${by_player[*]} s; median $player_median s"
  pl_log "start to token, QEMU by hand: ${by_hand[*]} s; median $hand_median s"
  pl_log "ratio of the medians: $ratio"
  [ "$(echo "$ratio <= 1.05" | bc)" = 1 ] || pl_fail "the player is more than 5 % slower than QEMU by hand"
}

# ---------------------------------------------- what a run must not touch
# A player that hands the machine to a second process and returns at once:
# the run waits while that process holds the lock beside the configuration,
# so the process reads the whole configuration after 3 s, and only then is
# the directory removed. On Linux also: FIFOs as the template or the image
# never hang the run, and a parameter holding quotes is no help switch.
case_what_a_run_must_not_touch() {
  pl_case=handed-on
  local folder before started ended
  folder=$(new_program_folder handed)
  cp "$golden_template" "$folder/trennwick_template.txt"
  rm -f "$work/record/"*
  before=$(temporary_directories)
  started=$(date +%s)
  TRENNWICK_E2E_HAND_ON=1 start_run "$folder/$program_name"
  choose_file "$image_path" || pl_fail "no open-file dialog"
  expect_exit 0
  ended=$(date +%s)
  [ "$(cat "$work/record/handed-ended.txt" 2>/dev/null)" = read ] ||
    pl_fail "the second process did not read its configuration before the run ended"
  expected_config "$image_path" >"$work/expected.vmx"
  cmp -s "$work/record/handed-config.vmx" "$work/expected.vmx" ||
    pl_fail "the second process read another configuration than the template gives"
  [ $((ended - started)) -ge 3 ] || pl_fail "the run ended after $((ended - started)) s, before the lock went"
  [ "$(temporary_directories)" = "$before" ] || pl_fail "the temporary directory is still there"

  [ "$system" = linux ] || return 0
  pl_case=template-fifo
  folder=$(new_program_folder fifo)
  mkfifo "$folder/trennwick_template.txt"
  start_run "$folder/$program_name"
  choose_file "$image_path" || pl_fail "no open-file dialog"
  pl_answer_box '^Fehler$' Return
  expect_exit 2

  pl_case=image-fifo
  rm -f "$folder/trennwick_template.txt"
  cp "$golden_template" "$folder/trennwick_template.txt"
  mkfifo "$image_dir/pipe.iso"
  before=$(temporary_directories)
  start_run "$folder/$program_name"
  choose_file "$image_dir/pipe.iso" || pl_fail "no open-file dialog"
  pl_answer_box '^Fehler$' Return
  expect_exit 0
  [ "$(temporary_directories)" = "$before" ] || pl_fail "a temporary directory was made"
  rm -f "$image_dir/pipe.iso"

  pl_case=quoted-help
  start_run "$folder/$program_name" '--help" "x'
  if window=$(pl_wait_window 'ISO-Image ausw.*hlen$'); then
    pl_keys_to "$window" Escape
    pl_answer_box '^Fehler$' Return
  else
    pl_fail "a parameter holding quotes was taken as a help switch"
    pl_answer_box 'Info$' Return
  fi
  expect_exit 0
}

pl_start_display
setup_system
case_help
case_first_run
case_cancel
case_normal_run
case_template_is_a_directory
[ "$system" = linux ] && case_umlaut_paths
case_what_a_run_must_not_touch
if [ "$system" = linux ] && [ -n "$qemu_player" ]; then
  case_boot
  if pl_prepare_linux_cd; then
    case_linux_default
    case_linux_efi
    case_linux_sata
    case_linux_disguised_iso
    [ -n "${TRENNWICK_E2E_MEASURE:-}" ] && measure_boot "$TRENNWICK_E2E_MEASURE"
  else
    pl_case=linux-cd
    pl_fail "cannot build the Linux CD"
  fi
fi
declare -F stop_system >/dev/null && stop_system
pl_stop_display

if [ "$pl_failures" -eq 0 ]; then
  pl_log "end-to-end ($system): every case passed"
  exit 0
fi
pl_log "end-to-end ($system): $pl_failures failure(s); screenshots in $work"
exit 1
