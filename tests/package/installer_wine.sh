#!/usr/bin/env bash
# The Windows installer under wine64, in a Wine prefix of its own: a silent
# install puts the programs, the start-menu entry, C:\tmp, the player's
# .vmx association and the verbs of .iso, .ova and .ovf in place; the
# installed program shows its first box; a silent uninstall leaves nothing
# but the template the program wrote. The LIESMICH's commands for the ZIP
# make the same verbs.
# Usage: installer_wine.sh INSTALLER.exe WORK_DIR
set -uo pipefail
installer=$(realpath "$1")
work=$2
# A server left from an earlier run would serve the new prefix stale.
if [ -d "$work/wineprefix" ]; then
  WINEPREFIX="$(realpath "$work/wineprefix")" /usr/lib/wine/wineserver -k 2>/dev/null
  WINEPREFIX="$(realpath "$work/wineprefix")" /usr/lib/wine/wineserver -w 2>/dev/null
fi
rm -rf "$work"
mkdir -p "$work"
work=$(realpath "$work")

export WINEPREFIX="$work/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
wine_dir=/usr/lib/wine
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
wine() { "$wine_dir/wine64" "$@"; }

start_display() {
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
  xvfb_pid=$!
  for _ in $(seq 100); do
    [ -s "$work/display" ] && break
    sleep 0.1
  done
  export DISPLAY=":$(head -n1 "$work/display")"
  openbox >"$work/openbox.log" 2>&1 &
  openbox_pid=$!
}
stop_all() {
  "$wine_dir/wineserver" -k 2>/dev/null
  "$wine_dir/wineserver" -w 2>/dev/null
  kill "$openbox_pid" "$xvfb_pid" 2>/dev/null
  wait "$openbox_pid" "$xvfb_pid" 2>/dev/null
}
trap stop_all EXIT
start_display

wine wineboot </dev/null >"$work/wineboot.log" 2>&1
"$wine_dir/wineserver" -w
user_dir="$WINEPREFIX/drive_c/users/$(id -un)"
app="$user_dir/AppData/Local/Programs/Trennwick"
link="$user_dir/AppData/Roaming/Microsoft/Windows/Start Menu/Programs/Trennwick.lnk"
rm -rf "$WINEPREFIX/drive_c/tmp"
registry_value() { wine reg query "$1" /ve 2>/dev/null | tr -d '\r' | sed -n 's/.*REG_SZ *//p'; }
readonly iso_verb='HKCU\Software\Classes\SystemFileAssociations\.iso\shell\Trennwick'
iso_class_before=$(wine reg query 'HKCR\.iso' 2>&1 | tr -d '\r')

# ---- install
wine "$installer" /S </dev/null >"$work/install.log" 2>&1 || fail "installer ended with $?"
"$wine_dir/wineserver" -w
for f in trennwick.exe trennwick-player.exe LIESMICH.txt Uninstall.exe; do
  [ -f "$app/$f" ] || fail "installed $f missing"
done
[ -f "$link" ] || fail "start-menu entry missing"
cp "$app/LIESMICH.txt" "$work/"
[ -d "$WINEPREFIX/drive_c/tmp" ] || fail "C:\\tmp not created"
[ "$(registry_value 'HKCU\Software\Classes\.vmx')" = Trennwick.Player.vmx ] ||
  fail "player not registered for .vmx"
# Explorer names the type and shows the player's icon for .vmx files.
[ "$(registry_value 'HKCU\Software\Classes\Trennwick.Player.vmx')" = VMware-Konfiguration ] ||
  fail "the .vmx type has no name"
icon=$(registry_value 'HKCU\Software\Classes\Trennwick.Player.vmx\DefaultIcon')
[[ "$icon" == *'\trennwick-player.exe,0' ]] || fail "the .vmx type's icon is '$icon'"
wine reg query 'HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Trennwick' >/dev/null 2>&1 ||
  fail "no uninstall entry"
# .iso files get "Mit Trennwick starten" beside the verbs of the program
# that opens them, which stays: .iso's class and the default verb are untouched.
[ "$(registry_value "$iso_verb")" = "Mit Trennwick starten" ] || fail "no .iso verb"
iso_command=$(registry_value "$iso_verb\command")
[[ "$iso_command" == '"C:\users\'*'\AppData\Local\Programs\Trennwick\trennwick-player.exe" "%1"' ]] ||
  fail "the .iso verb runs '$iso_command'"
[ "$(wine reg query 'HKCR\.iso' 2>&1 | tr -d '\r')" = "$iso_class_before" ] || fail "the installer changed .iso's class"
default_verb=$(registry_value 'HKCU\Software\Classes\SystemFileAssociations\.iso\shell')
[ -z "$default_verb" ] || [ "$default_verb" = "(value not set)" ] ||
  fail "the installer set the default verb '$default_verb' for .iso files"
# Appliances get the same verb, and no default either.
for extension in .ova .ovf; do
  verb="HKCU\Software\Classes\SystemFileAssociations\\$extension\\shell\Trennwick"
  [ "$(registry_value "$verb")" = "Mit Trennwick starten" ] || fail "no $extension verb"
  [ "$(registry_value "$verb\command")" = "$iso_command" ] ||
    fail "the $extension verb runs '$(registry_value "$verb\command")'"
  default_verb=$(registry_value "HKCU\Software\Classes\SystemFileAssociations\\$extension\\shell")
  [ -z "$default_verb" ] || [ "$default_verb" = "(value not set)" ] ||
    fail "the installer set the default verb '$default_verb' for $extension files"
done

# ---- the installed program runs from its folder and shows its first box
(cd "$app" && exec "$wine_dir/wine64" trennwick.exe) </dev/null >"$work/program.log" 2>&1 &
program_pid=$!
window=""
for _ in $(seq 300); do
  window=$(xdotool search --onlyvisible --name . 2>/dev/null | head -n1)
  [ -n "$window" ] && break
  sleep 0.1
done
if [ -z "$window" ]; then
  fail "installed trennwick.exe showed no window"
else
  echo "window shown: $(xdotool getwindowname "$window")"
  import -window root "$work/program.png" 2>/dev/null || true
fi
kill "$program_pid" 2>/dev/null
"$wine_dir/wineserver" -k 2>/dev/null
"$wine_dir/wineserver" -w 2>/dev/null
wait "$program_pid" 2>/dev/null
# What the user made: the program's template, and anything below C:\tmp.
made=$(cd "$app" && ls | grep -vxE 'trennwick.exe|trennwick-player.exe|LIESMICH.txt|Uninstall.exe')
echo "made by the program: ${made:-nothing}"

# ---- uninstall: the uninstaller copies itself away and returns at once
wine "$app/Uninstall.exe" /S </dev/null >"$work/uninstall.log" 2>&1 || fail "uninstaller ended with $?"
for _ in $(seq 100); do
  [ -f "$app/Uninstall.exe" ] || break
  sleep 0.2
done
"$wine_dir/wineserver" -w
left=$( (cd "$app" 2>/dev/null && ls) | grep -vxF "$made")
[ -z "$left" ] || fail "left in the program's folder: $left"
[ -n "$made" ] || [ ! -e "$app" ] || fail "empty program folder left"
[ ! -e "$link" ] || fail "start-menu entry left"
[ ! -e "$WINEPREFIX/drive_c/tmp" ] || [ -n "$(ls -A "$WINEPREFIX/drive_c/tmp")" ] ||
  fail "the empty C:\\tmp it made is left"
wine reg query 'HKCU\Software\Classes\.vmx' >/dev/null 2>&1 && fail ".vmx association left"
wine reg query 'HKCU\Software\Classes\Trennwick.Player.vmx' >/dev/null 2>&1 && fail "player class left"
wine reg query 'HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Trennwick' >/dev/null 2>&1 &&
  fail "uninstall entry left"
wine reg query 'HKCU\Software\Classes\SystemFileAssociations\.iso' >/dev/null 2>&1 && fail ".iso verb left"
for extension in .ova .ovf; do
  wine reg query "HKCU\\Software\\Classes\\SystemFileAssociations\\$extension" >/dev/null 2>&1 &&
    fail "$extension verb left"
done

# ---- the LIESMICH's commands for the ZIP make and take back the same verb,
# typed into cmd as it says (in a batch file the percent sign is doubled)
liesmich_commands() {  # WHAT: "reg add" or "reg delete"
  iconv -f cp1252 -t utf-8 "$work/LIESMICH.txt" | tr -d '\r' | sed -n "s/^    \($1 .*\)/\1/p"
}
player_dir=$(wine winepath -w "$app" 2>/dev/null | tr -d '\r')
{
  while IFS= read -r line; do
    line=${line//'C:\Pfad\zu'/$player_dir}
    printf '%s\r\n' "${line//%1/%%1}"
  done < <(liesmich_commands "reg add")
} >"$work/by_hand.cmd"
[ "$(grep -c . "$work/by_hand.cmd")" = 6 ] || fail "the LIESMICH gives no six reg add lines"
wine cmd /c "$(wine winepath -w "$work/by_hand.cmd" 2>/dev/null | tr -d '\r')" >"$work/by_hand.log" 2>&1
for extension in .iso .ova .ovf; do
  verb="HKCU\Software\Classes\SystemFileAssociations\\$extension\\shell\Trennwick"
  [ "$(registry_value "$verb")" = "Mit Trennwick starten" ] ||
    fail "the LIESMICH's commands make no $extension verb"
  [ "$(registry_value "$verb\command")" = "$iso_command" ] ||
    fail "the LIESMICH's commands make the $extension verb run '$(registry_value "$verb\command")', not '$iso_command'"
done
liesmich_commands "reg delete" | sed 's/$/\r/' >"$work/by_hand_undo.cmd"
wine cmd /c "$(wine winepath -w "$work/by_hand_undo.cmd" 2>/dev/null | tr -d '\r')" >>"$work/by_hand.log" 2>&1
for extension in .iso .ova .ovf; do
  wine reg query "HKCU\Software\Classes\SystemFileAssociations\\$extension\\shell\Trennwick" >/dev/null 2>&1 &&
    fail "the LIESMICH's reg delete leaves the $extension verb"
done

if [ "$failures" -ne 0 ]; then
  echo "installer test: $failures failures (logs in $work)" >&2
  exit 1
fi
echo "installer test: passed"
