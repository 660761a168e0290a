#!/usr/bin/env bash
# The .deb on a bare Debian 12 root (debootstrap minbase), as a new user
# meets it: apt-get installs it with everything it needs; an ordinary user
# in Xvfb starts Trennwick from its menu entry, its first run writes the
# template into the user's config folder and asks, with the folder's
# umlauts shown right; the player is the user's .vmx handler and is
# offered for CD images; its manual pages open; removing the package leaves
# none of its files. Needs root.
# The bare root is cached as a tarball in WORK_DIR.
# Usage: deb_chroot.sh PACKAGE.deb WORK_DIR
set -uo pipefail
deb=$(realpath "$1")
work=$(mkdir -p "$2" && realpath "$2")
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
source "$(dirname "$0")/bare_root.sh"
bare_root_make "$work" || exit 1

cp "$deb" "$root/tmp/"
in_root apt-get update -q >"$work/apt.log" 2>&1
in_root apt-get install -y -q "/tmp/$(basename "$deb")" >>"$work/apt.log" 2>&1 ||
  { fail "apt-get install of the package failed (see $work/apt.log)"; exit 1; }
rm -f "$root/tmp/$(basename "$deb")"
mapfile -t ours < <(in_root dpkg-query -L trennwick | while read -r f; do [ -f "$root$f" ] && echo "$f"; done)
for f in /usr/bin/trennwick /usr/bin/trennwick-player /usr/share/applications/trennwick.desktop \
  /usr/share/icons/hicolor/scalable/apps/trennwick.svg; do
  [ -f "$root$f" ] || fail "$f not installed"
done
# The triggers of shared-mime-info and desktop-file-utils have run.
grep -q 'application/x-vmware-vm' "$root/usr/share/mime/globs2" 2>/dev/null ||
  fail "MIME database does not know .vmx"
grep -q 'application/x-vmware-vm=.*trennwick-player.desktop' "$root/usr/share/applications/mimeinfo.cache" 2>/dev/null ||
  fail "desktop database does not name the player for .vmx"
grep -q 'application/x-cd-image=.*trennwick-player.desktop' "$root/usr/share/applications/mimeinfo.cache" 2>/dev/null ||
  fail "desktop database does not offer the player for CD images"

# The test's own tools, after the package's needs were checked.
in_root apt-get install -y -q --no-install-recommends xvfb xauth openbox xdotool xclip libglib2.0-bin man-db \
  >>"$work/apt.log" 2>&1 || fail "test tools not installable"
# The manual pages open as a user opens them, in German, with no warning.
for page in trennwick trennwick-player; do
  text=$(in_root env MANWIDTH=80 man --warnings -P cat "$page" 2>"$work/man-$page.err")
  grep -q '^BESCHREIBUNG' <<<"$text" || fail "man $page shows no page"
  [ ! -s "$work/man-$page.err" ] || fail "man $page warns: $(cat "$work/man-$page.err")"
done
in_root useradd -m -s /bin/sh anna
cat >"$root/tmp/as_user.sh" <<'EOF'
#!/bin/sh
# Runs as the ordinary user: the menu entry, the first box, its text.
export LANG=C.UTF-8 HOME=/home/anna XDG_CONFIG_HOME="/home/anna/Einstellungen für Übungen"
cd "$HOME"
Xvfb :7 -screen 0 1024x768x24 -nolisten tcp 2>/dev/null &
xvfb=$!
sleep 1
export DISPLAY=:7
openbox >/dev/null 2>&1 &
box=$!
echo "handler: $(gio mime application/x-vmware-vm 2>&1 | head -n1)"
gio launch /usr/share/applications/trennwick.desktop >/dev/null 2>&1 &
window=""
for _ in $(seq 200); do
  window=$(xdotool search --onlyvisible --name . 2>/dev/null | head -n1)
  [ -n "$window" ] && break
  sleep 0.1
done
if [ -n "$window" ]; then
  echo "window: $(xdotool getwindowname "$window")"
  xdotool windowactivate --sync "$window" 2>/dev/null
  sleep 0.5
  # The focus sits on the buttons; shift+Tab takes it to the selectable text.
  xdotool key --clearmodifiers shift+Tab
  sleep 0.2
  xdotool key --clearmodifiers ctrl+a ctrl+c
  sleep 0.5
  echo "text: $(xclip -o -selection clipboard 2>/dev/null | tr '\n' ' ')"
fi
ls "$XDG_CONFIG_HOME/trennwick" 2>/dev/null | sed 's/^/config: /'
pkill -u anna -x trennwick
kill $box $xvfb
EOF
chmod 755 "$root/tmp/as_user.sh"
out=$(in_root setpriv --reuid=anna --regid=anna --init-groups /tmp/as_user.sh 2>&1)
echo "$out"
echo "$out" | grep -q '^handler: .*trennwick-player.desktop' || fail "the player is not the user's .vmx handler"
echo "$out" | grep -q '^window: ' || fail "the menu entry showed no window"
echo "$out" | grep -q '^config: trennwick_template.txt' || fail "no template in the user's config folder"
echo "$out" | grep -q 'Einstellungen für Übungen' || fail "umlauts of the config folder not shown right in the box"
ls -A "$root/tmp" | grep -v -e '^as_user.sh$' -e '^\.X' | sed 's/^/left in \/tmp: /'

# Removing the package leaves none of its files.
in_root apt-get purge -y -q trennwick >>"$work/apt.log" 2>&1 || fail "apt-get purge failed"
for f in "${ours[@]}"; do
  [ -e "$root$f" ] && fail "$f left after removal"
done
ls "$root/usr/share/applications" "$root/usr/share/mime/packages" | grep -q trennwick &&
  fail "desktop or MIME entries left after removal"
grep -q 'x-vmware-vm' "$root/usr/share/mime/globs2" 2>/dev/null && fail "MIME database still knows .vmx"

undo_mounts
if [ "$failures" -ne 0 ]; then
  echo "package test: $failures failures (logs in $work)" >&2
  exit 1
fi
echo "package test: passed"
