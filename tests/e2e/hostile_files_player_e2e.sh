#!/usr/bin/env bash
# Hostile files against the real player and the real QEMU (TCG), as an
# ordinary user in a private X server: a .vmx or an image from anywhere
# reaches only what it is given. Every victim file must stay byte for byte
# as it was, and QEMU must never hold a file that only an image names.
# usage: hostile_files_player_e2e.sh PLAYER PROGRAM WORK_DIR
set -u
player=$1
work=$3
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=player_lib.sh
source "$here/player_lib.sh"

pl_begin
if ! pl_prepare_linux_cd; then
  pl_case=linux-cd
  pl_fail "cannot build the Linux CD"
  pl_end
fi
home=$pl_home
vm=$(pl_user_dir home/vm)
secret="$home/.ssh/id_ed25519"
# The CD lies in the machine's folder, so that only the hostile files are asked about.
cp "$pl_linux_cd" "$vm/linux.iso" && chmod a+r "$vm/linux.iso"

# The user's own files that no .vmx of a stranger may touch.
make_victims() {
  pl_as_user sh -c '
    mkdir -p "$1/.ssh" "$1/.config/autostart" && chmod 700 "$1/.ssh"
    printf "alias ls=ls\n" >"$1/.bashrc"
    printf "PATH=\$PATH\n" >"$1/.profile"
    printf "clear\n" >"$1/.bash_logout"
    printf "victim one\n" >"$1/victim.bin"
    printf "victim two\n" >"$1/victim2.bin"
    printf "SECRET-KEY-%s\n" "$(date +%N)" >"$1/.ssh/id_ed25519" && chmod 600 "$1/.ssh/id_ed25519"' \
    sh "$home"
  (cd "$home" && find . -path ./vm -prune -o -type f ! -name 'serial-*' -print0 | sort -z |
    xargs -0 sha256sum) >"$work/victims.sum"
}

check_victims() {
  (cd "$home" && sha256sum --quiet -c "$work/victims.sum") >"$work/victims.check" 2>&1 ||
    pl_fail "a victim file changed: $(head -n 3 "$work/victims.check")"
  [ ! -e "$home/.config/autostart/x.desktop" ] || pl_fail "a file was created in autostart"
}

wait_window() {
  local regex=$1 ids
  for _ in $(seq 300); do
    ids=$(xdotool search --onlyvisible --name "$regex" 2>/dev/null | head -n1)
    if [ -n "$ids" ]; then
      printf '%s\n' "$ids"
      return 0
    fi
    sleep 0.1
  done
  return 1
}

# Sets `code` to the exit code of the player started last: pl_wait_player
# must run in this shell, the only one that can wait for the player.
player_exit() {
  pl_wait_player "$1" >"$work/player-exit"
  code=$(cat "$work/player-exit")
}

press() {
  xdotool windowfocus --sync "$1" 2>/dev/null || xdotool windowactivate --sync "$1"
  sleep 0.3
  shift
  xdotool key --clearmodifiers "$@"
}

# A .vmx of the Linux CD with a serial port (SERIAL) and more lines.
write_vmx() {
  local name=$1 serial=$2
  shift 2
  pl_write_vmx "$vm/$name" linux.iso "$serial" "$@"
}

# The player asks about the files outside the folder; KEY answers (Return
# takes the default, "Nein"; Escape closes the box). Nothing may start.
case_answered_no() {
  pl_case=$1
  local vmx=$2 key=$3 window code
  pl_start_player "$vm/$vmx"
  if ! window=$(wait_window '^Trennwick-Player$'); then
    pl_fail "no question"
  else
    press "$window" "$key"
  fi
  player_exit 30
  [ "$code" = 0 ] || pl_fail "exit code $code, expected 0"
  [ ! -s "$work/qemu.pid" ] || pl_fail "QEMU was started"
  check_victims
}

# Refused without a question: an error box, exit code 3, nothing started.
case_refused() {
  pl_case=$1
  local vmx=$2 window code
  pl_start_player "$vm/$vmx"
  if window=$(wait_window '^(Fehler|Trennwick-Player)$'); then
    [ "$(xdotool getwindowname "$window")" = Fehler ] || pl_fail "asked instead of refusing"
    press "$window" Return
  else
    pl_fail "no box"
  fi
  player_exit 30
  [ "$code" = 3 ] || pl_fail "exit code $code, expected 3"
  [ ! -s "$work/qemu.pid" ] || pl_fail "QEMU was started"
  [ -z "${3:-}" ] || grep -q -- "$3" "$work/player.log" || pl_fail "the message lacks '$3'"
  check_victims
}

# Waits for QEMU of the player started last and prints what it holds open.
qemu_descriptors() {
  local pid
  for _ in $(seq 600); do
    [ -s "$work/qemu.pid" ] && break
    sleep 0.1
  done
  pid=$(cat "$work/qemu.pid" 2>/dev/null)
  [ -n "$pid" ] || return 1
  sleep 2
  ls -l "/proc/$pid/fd" 2>/dev/null
}

make_victims

write_vmx disk-outside.vmx serial-1.txt 'ide0:1.present = "TRUE"' "ide0:1.fileName = \"$home/.bashrc\""
case_answered_no disk-outside disk-outside.vmx Return

write_vmx disk-dotdot.vmx serial-1.txt 'ide0:1.present = "TRUE"' 'ide0:1.fileName = "../.ssh/../.bashrc"'
case_answered_no disk-dotdot-closed disk-dotdot.vmx Escape

write_vmx serial-outside.vmx "$home/.profile"
case_answered_no serial-outside serial-outside.vmx Return

pl_as_user ln -s "$home/.bash_logout" "$vm/log.txt"
write_vmx serial-link.vmx log.txt
case_answered_no serial-link serial-link.vmx Return

write_vmx serial-autostart.vmx "$home/.config/autostart/x.desktop"
case_answered_no serial-autostart serial-autostart.vmx Return

printf '# Disk DescriptorFile\nversion=1\nCID=fffffffe\nparentCID=ffffffff\ncreateType="monolithicFlat"\nRW 2048 FLAT "%s" 0\n' \
  "$home/victim.bin" >"$vm/flat.vmdk"
write_vmx vmdk-flat.vmx serial-1.txt 'ide0:1.present = "TRUE"' 'ide0:1.fileName = "flat.vmdk"'
case_answered_no vmdk-flat-outside vmdk-flat.vmx Return

pl_as_user qemu-img create -q -f qcow2 -u -b "$secret" -F raw "$vm/backing.qcow2" 1M
write_vmx qcow2-backing.vmx serial-1.txt 'ide0:1.present = "TRUE"' 'ide0:1.fileName = "backing.qcow2"'
case_refused qcow2-backing-outside qcow2-backing.vmx "$secret"

# The data file is named while it is still empty; the victim's bytes come after.
pl_as_user rm -f "$home/victim2.bin"
pl_as_user qemu-img create -q -f qcow2 -o data_file="$home/victim2.bin" "$vm/data.qcow2" 1M
pl_as_user sh -c 'printf "victim two\n" >"$1"' sh "$home/victim2.bin"
make_victims
write_vmx qcow2-data.vmx serial-1.txt 'ide0:1.present = "TRUE"' 'ide0:1.fileName = "data.qcow2"'
case_refused qcow2-data-file-outside qcow2-data.vmx "victim2.bin"

write_vmx network.vmx serial-1.txt 'ide0:1.present = "TRUE"' 'ide0:1.fileName = "//server/share/x.img"'
case_refused network-path network.vmx "Netzwerkpfad"

write_vmx process.vmx serial-1.txt 'ide0:1.present = "TRUE"' 'ide0:1.fileName = "/proc/self/fd/0"'
case_refused process-path process.vmx "/proc/self/fd/0"

pl_as_user mkfifo "$vm/fifo"
write_vmx fifo.vmx fifo
case_refused serial-fifo fifo.vmx "fifo"

# Larger than any .vmx: refused before it is read, at once.
write_vmx large.vmx serial-1.txt
head -c 2097152 /dev/zero | tr '\0' '#' >>"$vm/large.vmx"
started=$(date +%s)
case_refused large-vmx large.vmx "1 MiB"
[ $(($(date +%s) - started)) -lt 20 ] || pl_fail "the large .vmx took $(($(date +%s) - started)) s"

# A NUL byte in a value: the message names the key.
write_vmx nul.vmx serial-1.txt
printf 'ide0:1.present = "TRUE"\r\nide0:1.fileName = "a\0/../../.bashrc"\r\n' >>"$vm/nul.vmx"
case_refused nul-byte nul.vmx "ide0:1.fileName"

# A "film.iso" in the folder that is really a vmdk descriptor naming the
# user's key: CDs are raw bytes, so QEMU reads the descriptor's text and
# never the key. The Linux CD beside it boots and powers the guest off.
pl_case=disguised-iso
printf '# Disk DescriptorFile\nversion=1\nCID=fffffffe\nparentCID=ffffffff\ncreateType="monolithicFlat"\nRW 2048 FLAT "%s" 0\n' \
  "$secret" >"$vm/film.iso"
write_vmx disguised.vmx serial-disguised.txt 'ide1:1.present = "TRUE"' \
  'ide1:1.deviceType = "cdrom-image"' 'ide1:1.fileName = "film.iso"'
pl_start_player "$vm/disguised.vmx"
if descriptors=$(qemu_descriptors); then
  [[ "$descriptors" == *"$vm/film.iso"* ]] || pl_fail "QEMU does not hold film.iso: $descriptors"
  [[ "$descriptors" != *"$secret"* ]] || pl_fail "QEMU holds the key that film.iso names"
else
  pl_fail "QEMU did not start"
fi
player_exit "$pl_boot_seconds"
[ "$code" = 0 ] || pl_fail "exit code $code, expected 0"
pl_check_report "$vm/serial-disguised.txt" >/dev/null
pl_qemu_arguments | grep -q 'film' && pl_fail "QEMU was given a name: $(pl_qemu_arguments | grep film)"
[ "$(pl_qemu_arguments | grep -c 'media=cdrom,readonly=on,format=raw')" = 2 ] ||
  pl_fail "not every CD is raw: $(pl_qemu_arguments | grep media=cdrom)"
check_victims

# "Ja": the machine boots and writes its report to the serial file outside
# its folder, through the descriptor the player opened; QEMU gets no name
# of the machine's files.
pl_case=answered-yes
write_vmx outside-yes.vmx "$home/serial-outside.txt"
pl_start_player "$vm/outside-yes.vmx"
if window=$(wait_window '^Trennwick-Player$'); then
  # The "Ja" button's mnemonic, in English or German.
  press "$window" y
  sleep 0.5
  xdotool search --onlyvisible --name '^Trennwick-Player$' >/dev/null 2>&1 && press "$window" j
else
  pl_fail "no question"
fi
if descriptors=$(qemu_descriptors); then
  [[ "$descriptors" == *"$home/serial-outside.txt"* ]] ||
    pl_fail "QEMU does not hold the serial file: $descriptors"
else
  pl_fail "QEMU did not start"
fi
player_exit "$pl_boot_seconds"
[ "$code" = 0 ] || pl_fail "exit code $code, expected 0"
pl_check_report "$home/serial-outside.txt" >/dev/null
pl_qemu_arguments | grep -q -e "$home" &&
  pl_fail "QEMU was given a name: $(pl_qemu_arguments | grep -e "$home")"
pl_qemu_arguments | grep -q '^fd=[0-9]*,set=[0-9]*$' || pl_fail "QEMU was given no descriptors"
check_victims

pl_end
