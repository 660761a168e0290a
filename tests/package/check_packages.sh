#!/usr/bin/env bash
# What the packages in PACKAGE_DIR hold: the Windows programs of each ZIP
# are GUI programs within their size budget that import only system DLLs
# and carry icon, version and manifest; the .deb holds the programs, the
# menu and MIME entries, the icons, the metainfo, the manual pages, the
# copyright and the changelog, which pass their validators and lintian; the
# player is offered for CD images without taking another program's place.
# Usage: check_packages.sh PACKAGE_DIR
set -uo pipefail
packages=$(realpath "$1")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
readonly size_budget=$((256 * 1024))
# Windows' own DLLs, in lower case: the import tables spell them either way.
# bcrypt.dll hashes an appliance's files for its manifest (Vista and later).
readonly system_dlls='advapi32.dll bcrypt.dll comctl32.dll comdlg32.dll kernel32.dll msvcrt.dll ole32.dll shell32.dll user32.dll'

check_windows_program() {  # FILE OBJDUMP PE_KIND
  local exe=$1 objdump=$2 kind=$3 name dll resources
  name=$(basename "$exe")
  file "$exe" | grep -q "$kind executable (GUI)" || fail "$name: not a $kind GUI program: $(file -b "$exe")"
  for dll in $("$objdump" -p "$exe" | sed -n 's/^\tDLL Name: //p'); do
    [[ " $system_dlls " == *" ${dll,,} "* ]] || fail "$name imports $dll"
  done
  resources=$(wrestool -l "$exe")
  grep -q 'type=group_icon' <<<"$resources" || fail "$name has no icon"
  grep -q 'type=version' <<<"$resources" || fail "$name has no version resource"
  grep -q -- '--type=24 ' <<<"$resources" || fail "$name has no manifest"
}

# The player is offered for CD images and takes no program's place as their
# default. A desktop database as dpkg's trigger makes it, with GNOME's Disk
# Image Mounter and another image program installed before the package,
# asked through GIO as a file manager asks. The default that the desktop
# picks by itself stays; so does the one a user chose for the other
# program, whose name sorts after the player's.
check_cd_image_offer() {
  local share="$work/mime/share" apps="$work/mime/share/applications" before after recommended type
  mkdir -p "$apps" "$work/mime/home" "$work/mime/chosen" "$work/mime/system"
  ln -s /usr/share/mime "$share/mime"
  printf '[Desktop Entry]\nType=Application\nName=%s\nExec=true %%f\nMimeType=application/x-cd-image;\n' \
    "Disk Image Mounter" >"$apps/gnome-disk-image-mounter.desktop"
  printf '[Desktop Entry]\nType=Application\nName=%s\nExec=true %%f\nMimeType=application/x-cd-image;\n' \
    "Xfburn" >"$apps/xfburn.desktop"
  update-desktop-database "$apps"
  gio_as_user() {  # CONFIG_HOME COMMAND...
    env -i PATH="$work/deb/usr/bin:/usr/bin:/bin" HOME="$work/mime/home" XDG_CONFIG_HOME="$1" \
      XDG_CONFIG_DIRS="$work/mime/system" XDG_DATA_HOME="$work/mime/home/share" XDG_DATA_DIRS="$share" "${@:2}"
  }
  default_for_iso() { gio_as_user "$1" gio mime application/x-cd-image | sed -n '1s/^Default application for .*: //p'; }
  gio_as_user "$work/mime/chosen" gio mime application/x-cd-image xfburn.desktop >/dev/null
  before="$(default_for_iso "$work/mime/home/config") $(default_for_iso "$work/mime/chosen")"
  cp "$work"/deb/usr/share/applications/*.desktop "$apps/"
  update-desktop-database "$apps"
  after="$(default_for_iso "$work/mime/home/config") $(default_for_iso "$work/mime/chosen")"
  echo "default for ISO files before and after (desktop's, user's): $before / $after"
  [ "$before" = "gnome-disk-image-mounter.desktop xfburn.desktop" ] || fail "test setup: the defaults were '$before'"
  [ "$after" = "$before" ] || fail "the package changed the default for ISO files: '$before' became '$after'"
  head -c 4096 /dev/zero >"$work/mime/disc.iso"
  type=$(gio_as_user "$work/mime/home/config" gio info -a standard::content-type "$work/mime/disc.iso" |
    sed -n 's/^ *standard::content-type: //p')
  for type in "$type" application/x-iso9660-image; do
    recommended=$(gio_as_user "$work/mime/home/config" gio mime "$type" | sed -n '/^Recommended applications:/,$p')
    grep -qx $'\ttrennwick-player.desktop' <<<"$recommended" ||
      fail "the player is not offered for '$type' (an .iso file's type)"
  done
  # Defaults are the user's or the desktop's; the package sets none.
  find "$work/deb" -name '*mimeapps.list' -o -name defaults.list | grep . && fail "the package ships default applications"
}

# The player is offered for appliances (.ova and .ovf, told as a file
# manager tells them) and takes no program's place as their default: with
# VirtualBox installed, whose entry sorts after the player's and lists the
# appliance types itself, VirtualBox stays the default where nobody chose.
check_appliance_offer() {
  local root="$work/appliance" type recommended default file
  mkdir -p "$root/share/mime/packages" "$root/share/applications" "$root/home" "$root/config"
  cp /usr/share/mime/packages/freedesktop.org.xml "$work"/deb/usr/share/mime/packages/*.xml \
    "$root/share/mime/packages/"
  update-mime-database "$root/share/mime"
  printf '[Desktop Entry]\nType=Application\nName=VirtualBox\nExec=true %%f\nMimeType=%s\n' \
    "application/x-virtualbox-ova;application/x-virtualbox-ovf;" >"$root/share/applications/virtualbox.desktop"
  cp "$work"/deb/usr/share/applications/*.desktop "$root/share/applications/"
  update-desktop-database "$root/share/applications"
  printf '<?xml version="1.0"?>\n<Envelope xmlns="http://schemas.dmtf.org/ovf/envelope/1"/>\n' \
    >"$root/machine.ovf"
  tar -cf "$root/machine.ova" -C "$root" machine.ovf
  for file in machine.ova machine.ovf; do
    type=$(appliance_gio gio info -a standard::content-type "$root/$file" |
      sed -n 's/^ *standard::content-type: //p')
    default=$(appliance_gio gio mime "$type" | sed -n '1s/^Default application for .*: //p')
    recommended=$(appliance_gio gio mime "$type" | sed -n '/^Registered applications:/,$p')
    echo "$file: $type, default $default"
    [ "$default" = virtualbox.desktop ] || fail "the player took the default for $file ('$type'): $default"
    grep -qx $'\ttrennwick-player.desktop' <<<"$recommended" ||
      fail "the player is not offered for $file ('$type')"
  done
}
appliance_gio() {
  env -i PATH="$work/deb/usr/bin:/usr/bin:/bin" HOME="$work/appliance/home" \
    XDG_CONFIG_HOME="$work/appliance/config" XDG_CONFIG_DIRS="$work/appliance/config" \
    XDG_DATA_HOME="$work/appliance/home/share" XDG_DATA_DIRS="$work/appliance/share" "$@"
}

for arch in win32:i686:PE32 win64:x86_64:PE32+; do
  IFS=: read -r suffix tool kind <<<"$arch"
  zip=$(ls "$packages"/trennwick-*-"$suffix".zip 2>/dev/null | head -n1)
  [ -n "$zip" ] || { fail "no $suffix ZIP"; continue; }
  ls "$packages"/trennwick-*-"$suffix".exe >/dev/null 2>&1 || fail "no $suffix installer"
  mkdir -p "$work/$suffix"
  unzip -q -j "$zip" -d "$work/$suffix"
  for f in trennwick.exe trennwick-player.exe LIESMICH.txt; do
    [ -f "$work/$suffix/$f" ] || fail "$suffix ZIP lacks $f"
  done
  for exe in "$work/$suffix"/*.exe; do
    check_windows_program "$exe" "$tool-w64-mingw32-objdump" "$kind"
  done
  size=$(stat -c %s "$work/$suffix/trennwick.exe")
  echo "$suffix trennwick.exe: $size bytes"
  [ "$suffix" != win32 ] || [ "$size" -le "$size_budget" ] || fail "win32 trennwick.exe is $size bytes"
done

deb=$(ls "$packages"/trennwick_*.deb 2>/dev/null | head -n1)
if [ -z "$deb" ]; then
  fail "no .deb"
else
  dpkg-deb -x "$deb" "$work/deb"
  for f in usr/bin/trennwick usr/bin/trennwick-player \
    usr/share/applications/trennwick.desktop usr/share/applications/trennwick-player.desktop \
    usr/share/mime/packages/trennwick-vmx.xml usr/share/mime/packages/trennwick-appliance.xml \
    usr/share/icons/hicolor/scalable/apps/trennwick.svg \
    usr/share/icons/hicolor/48x48/apps/trennwick.png usr/share/metainfo/de.trennwick.Trennwick.metainfo.xml \
    usr/share/icons/hicolor/scalable/apps/trennwick-player.svg usr/share/icons/hicolor/48x48/apps/trennwick-player.png \
    usr/share/man/man1/trennwick.1.gz usr/share/man/man1/trennwick-player.1.gz \
    usr/share/doc/trennwick/copyright usr/share/doc/trennwick/changelog.gz; do
    [ -f "$work/deb/$f" ] || fail ".deb lacks /$f"
  done
  for f in "$work"/deb/usr/share/applications/*.desktop; do
    desktop-file-validate "$f" || fail "$(basename "$f") does not validate"
  done
  check_cd_image_offer
  check_appliance_offer
  appstreamcli validate --no-net "$work"/deb/usr/share/metainfo/*.xml >/dev/null ||
    fail "metainfo does not validate"
  depends=$(dpkg-deb -f "$deb" Depends)
  echo "Depends: $depends"
  echo "Recommends: $(dpkg-deb -f "$deb" Recommends)"
  [[ "$depends" == *libgtk-3-0* ]] || fail "Depends lacks the computed libgtk-3-0"
  # Every icon a .desktop file names is installed.
  for f in "$work"/deb/usr/share/applications/*.desktop; do
    icon=$(sed -n 's/^Icon=//p' "$f")
    [ -f "$work/deb/usr/share/icons/hicolor/scalable/apps/$icon.svg" ] ||
      fail "$(basename "$f") names the icon '$icon', which is not installed"
  done
  # Debian's rules: no error or warning of lintian, and the hardening that
  # lintian reports only as information. Its fortify test is a guess: a
  # program whose every checked call has a size unknown when compiled has
  # no __*_chk call to show, so the flag counts as there when one program
  # has a checked call.
  lintian --display-info --fail-on error,warning "$deb" >"$work/lintian.txt" 2>"$work/lintian.err" ||
    fail "lintian: $(cat "$work/lintian.txt" "$work/lintian.err")"
  grep -E ' hardening-no-(bindnow|pie|relro|stackprotector)' "$work/lintian.txt" &&
    fail "lintian: the programs lack hardening"
  # No pipe into grep -q: its early end would fail the writer (SIGPIPE)
  # and, with pipefail, the test.
  imports=$(objdump -T "$work"/deb/usr/bin/* | grep -v __stack_chk_fail)
  grep -q '__[a-z]*_chk' <<<"$imports" ||
    fail "no program calls a checked (_FORTIFY_SOURCE) function"
  echo "lintian: $(grep -c '^[EW]:' "$work/lintian.txt") errors and warnings, $(grep -c '^I:' "$work/lintian.txt") notes"
  file "$work/deb/usr/bin/trennwick" | grep -q 'stripped' && ! file "$work/deb/usr/bin/trennwick" | grep -q 'not stripped' ||
    fail "/usr/bin/trennwick is not stripped"
fi

if [ "$failures" -ne 0 ]; then
  echo "package contents: $failures failures" >&2
  exit 1
fi
echo "package contents: passed"
