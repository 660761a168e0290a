#!/usr/bin/env bash
# The Windows player under wine64 hands QEMU one ANSI command line. A
# stand-in QEMU beside the player records it byte for byte, and the
# arguments as the C runtime cuts it apart again. Checked for each run:
# the ANSI code page the run has; the window title in that code page (the
# en dash as 0x96 in Windows-1252, a hyphen where the code page has no en
# dash, UTF-8 where the code page is UTF-8, the "ü" of a UTF-8 .vmx as
# 0xFC); no UTF-8 sequence in a line of another code page; every file by
# its name as -blockdev nodes, no descriptors; the program, a folder with
# blanks and a title with commas and a backslash parsed back exactly; the
# player ending with QEMU's exit code.
#
# Wine without a display: the player takes a Windows desktop for granted,
# and its boxes return at once there, so nothing waits for an answer.
#
# usage: windows_player_arguments.sh PLAYER.exe STAND_IN.exe WORK_DIR
set -uo pipefail
# This script compares bytes; each run of the player gets its own locale.
export LC_ALL=C
player=$(realpath "$1")
stand_in=$(realpath "$2")
mkdir -p "$3"
work=$(realpath "$3")

wine_dir=/usr/lib/wine
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY=
stop_wine() {
  "$wine_dir/wineserver" -k 2>/dev/null
  "$wine_dir/wineserver" -w 2>/dev/null
}
# A server left from an earlier run goes; the prefix stays, which saves
# its set-up (a fresh one is made when there is none).
stop_wine
trap stop_wine EXIT
find "$work" -mindepth 1 -maxdepth 1 ! -name prefix -exec rm -rf {} +
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  "$wine_dir/wine64" wineboot </dev/null >"$work/wineboot.log" 2>&1
  "$wine_dir/wineserver" -w
fi

failures=0
current_case=""
fail() {
  failures=$((failures + 1))
  printf 'FAIL [%s]: %s\n' "$current_case" "$*" | cat -v
}

to_windows() { printf 'Z:%s' "$(printf '%s' "$1" | tr / '\\')"; }

# The player looks for QEMU beside itself first.
program_dir="$work/Programm Ordner"
machine="$work/Maschine mit Leerzeichen"
record="$work/record"
mkdir -p "$program_dir" "$machine" "$record"
cp "$player" "$program_dir/trennwick-player.exe"
cp "$stand_in" "$program_dir/qemu-system-x86_64.exe"
# The player reads the CDs' boot catalogs; any bytes will do.
head -c 65536 /dev/zero >"$machine/cd.iso"
# Under LC_ALL=C.UTF-8 Wine finds this name, which the file system holds
# in UTF-8, as "Pr\xFCfung.iso" in the ANSI code page.
cp "$machine/cd.iso" "$machine/Prüfung.iso"

write_vmx() {  # FILE LINE...
  local file=$1 line
  shift
  for line in "$@"; do printf '%s\r\n' "$line"; done >"$file"
}
cd_lines=('guestOS = "other-64"' 'memsize = "256"' 'ide1:0.present = "TRUE"'
  'ide1:0.deviceType = "cdrom-image"')
write_vmx "$machine/cd.vmx" 'displayName = "CD-Boot"' "${cd_lines[@]}" 'ide1:0.fileName = "cd.iso"'
# UTF-8 in the file, as .encoding says.
write_vmx "$machine/utf8.vmx" '.encoding = "UTF-8"' 'displayName = "Grüße, A\B"' \
  "${cd_lines[@]}" 'ide1:0.fileName = "Prüfung.iso"'

# Runs the player on VMX with LOCALE as Wine's, the stand-in ending with
# EXIT_CODE; sets player_code, line (the raw command line) and arguments.
run_player() {  # LOCALE EXIT_CODE VMX
  rm -f "$record"/*
  env LC_ALL="$1" TRENNWICK_PLAYER_ACCEL=tcg TRENNWICK_STAND_IN_EXIT="$2" \
    TRENNWICK_STAND_IN_RECORD="$(to_windows "$record")" \
    timeout 60 "$wine_dir/wine64" "$program_dir/trennwick-player.exe" "$(to_windows "$3")" \
    </dev/null >"$work/player-$current_case.log" 2>&1
  player_code=$?
  line=""
  arguments=()
  if [ ! -f "$record/arguments.bin" ]; then
    fail "QEMU was not started (exit code $player_code): $(tail -n 3 "$work/player-$current_case.log")"
    return 1
  fi
  line=$(cat "$record/command_line.bin")
  mapfile -d '' -t arguments <"$record/arguments.bin"
}

# The argument after the only OPTION; empty when there is not exactly one.
argument_of() {  # OPTION
  local i found=""
  for ((i = 1; i + 1 < ${#arguments[@]}; i++)); do
    if [ "${arguments[i]}" = "$1" ]; then
      [ -n "$found" ] && return 1
      found=${arguments[i + 1]}
    fi
  done
  printf '%s' "$found"
}

# What every run must show: its code page, QEMU's own name, the title, the
# CD by name in -blockdev nodes only, no UTF-8 unless the code page is
# UTF-8 (65001), the exit code.
check_run() {  # CODE_PAGE TITLE CD_FILE EXIT_CODE
  local code_page=$1 title=$2 cd=$3 exit_code=$4 i blockdev_files=""
  [ "$(tr -d '\r\n' <"$record/code_page.txt")" = "$code_page" ] ||
    fail "Wine's ANSI code page is $(cat "$record/code_page.txt"), not $code_page"
  [ "${arguments[0]}" = "$(to_windows "$program_dir/qemu-system-x86_64.exe")" ] ||
    fail "QEMU's own name parsed back as '${arguments[0]}'"
  [ "$(argument_of -name)" = "$title" ] ||
    fail "title '$(argument_of -name)', expected '$title'"
  if [ "$code_page" != 65001 ] && printf '%s' "$line" | grep -qaP '[\xC2-\xF4][\x80-\xBF]'; then
    fail "UTF-8 in the command line: $line"
  fi
  [[ "$line" == *"-add-fd"* || "$line" == *"/dev/fdset"* || "$line" == *" -drive "* ]] &&
    fail "a file handed over otherwise than by name: $line"
  for ((i = 0; i < ${#arguments[@]}; i++)); do
    [[ "${arguments[i]}" == *"filename="* ]] || continue
    [ "${arguments[i - 1]}" = -blockdev ] || fail "a file outside a -blockdev node: ${arguments[i]}"
    blockdev_files+="${arguments[i]#*filename=}"$'\n'
  done
  [ "$blockdev_files" = "$(to_windows "$cd"),read-only=on"$'\n' ] ||
    fail "files given to QEMU: ${blockdev_files:-none}"
  [ "$player_code" = "$exit_code" ] || fail "player ended with $player_code, QEMU with $exit_code"
}

readonly dash_1252=$'\x96'

current_case=windows-1252
# Wine takes the "C" locale as English (United States), code page 1252;
# its UTF-8 is the file system's encoding.
if run_player C.UTF-8 0 "$machine/cd.vmx"; then
  check_run 1252 "guest=CD-Boot $dash_1252 cd.iso $dash_1252 Software-Emulation" \
    "$machine/cd.iso" 0
fi

current_case=utf8-vmx
if run_player C.UTF-8 7 "$machine/utf8.vmx"; then
  check_run 1252 $'guest=Gr\xFC\xDFe,, A\\B '"$dash_1252"$' Pr\xFCfung.iso '"$dash_1252"' Software-Emulation' \
    "$machine/"$'Pr\xFCfung.iso' 7
  grep -q "Code 7" "$work/player-$current_case.log" || fail "QEMU's exit code was not reported"
fi

current_case=no-en-dash
# Shift-JIS (code page 932) has no en dash: a hyphen stands in.
if run_player ja_JP.UTF-8 0 "$machine/cd.vmx"; then
  check_run 932 "guest=CD-Boot - cd.iso - Software-Emulation" "$machine/cd.iso" 0
fi

current_case=utf8-code-page
# Windows' "Unicode UTF-8 for worldwide language support", which Wine gives
# a locale without a code page of its own: the en dash in UTF-8.
if run_player hi_IN.UTF-8 0 "$machine/cd.vmx"; then
  check_run 65001 $'guest=CD-Boot \xE2\x80\x93 cd.iso \xE2\x80\x93 Software-Emulation' \
    "$machine/cd.iso" 0
fi

if [ "$failures" -ne 0 ]; then
  echo "windows player arguments: $failures failures (logs in $work)" >&2
  exit 1
fi
echo "windows player arguments: passed"
