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
# The launcher beside the player: only it, as the player's parent, makes a
# run Trennwick's own.
cp "$2" "$(dirname "$player")/trennwick"
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

# Sets `code` to the exit code of the player started last: pl_wait_player
# must run in this shell, the only one that can wait for the player.
player_exit() {
  pl_wait_player "$1" >"$work/player-exit"
  code=$(cat "$work/player-exit")
}

# A .vmx of the Linux CD with a serial port (SERIAL) and more lines.
write_vmx() {
  local name=$1 serial=$2
  shift 2
  pl_write_vmx "$vm/$name" linux.iso "$serial" "$@"
}

# A .vmx without CD or serial port: FILE, its lines (key = "value") after.
write_bare_vmx() {
  local file=$1 line
  shift
  {
    printf '.encoding = "UTF-8"\r\nconfig.version = "8"\r\nvirtualHW.version = "19"\r\n'
    printf 'displayName = "E2E"\r\nguestOS = "other-64"\r\nmemsize = "256"\r\n'
    for line in "$@"; do printf '%s\r\n' "$line"; done
  } >"$file"
  chown "$pl_uid:$pl_gid" "$file"
}

# Starts the player on VMX (a name in the machine's folder or a path),
# with `parent` (when set) as the player's parent process.
start_player() {
  local vmx=$1 real=$player
  [[ "$vmx" == /* ]] || vmx="$vm/$vmx"
  if [ -z "${parent:-}" ]; then
    pl_start_player "$vmx"
    return
  fi
  # A shell that runs two commands forks for the first: it stays the parent.
  player=$parent
  pl_start_player -c '"$0" "$1"; exit $?' "$real" "$vmx"
  player=$real
}

# The player asks about the files outside the folder; KEY answers (Return
# takes the default, "Nein"; Escape closes the box). Nothing may start.
case_answered_no() {
  pl_case=$1
  local vmx=$2 key=$3 window code
  start_player "$vmx"
  if ! window=$(pl_wait_window '^Trennwick-Player$'); then
    pl_fail "no question"
  else
    pl_keys_to "$window" "$key"
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
  start_player "$vmx"
  if window=$(pl_wait_window '^(Fehler|Trennwick-Player)$'); then
    [ "$(xdotool getwindowname "$window")" = Fehler ] || pl_fail "asked instead of refusing"
    pl_keys_to "$window" Return
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
case_answered_no qcow2-backing-outside qcow2-backing.vmx Return

# The data file is named while it is still empty; the victim's bytes come after.
pl_as_user rm -f "$home/victim2.bin"
pl_as_user qemu-img create -q -f qcow2 -o data_file="$home/victim2.bin" "$vm/data.qcow2" 1M
pl_as_user sh -c 'printf "victim two\n" >"$1"' sh "$home/victim2.bin"
make_victims
write_vmx qcow2-data.vmx serial-1.txt 'ide0:1.present = "TRUE"' 'ide0:1.fileName = "data.qcow2"'
case_answered_no qcow2-data-file-outside qcow2-data.vmx Return

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

# A qcow2 image NAME in the machine's folder over BACKING, which is not
# looked at.
qcow2_over() {
  pl_as_user qemu-img create -q -f qcow2 -u -b "$2" -F "${3:-raw}" "$vm/$1" 1M
}

# Refused at once: a FIFO must not be waited for.
case_refused_soon() {
  local started
  started=$(date +%s)
  case_refused "$@"
  [ $(($(date +%s) - started)) -lt 15 ] || pl_fail "the refusal took $(($(date +%s) - started)) s"
}

# Where a download lands the folder is the user's, not a machine's: a
# .vmx there asks before it uses the file beside it. First ~/Downloads
# where no user-dirs.dirs names the folders, then the name it gives.
downloads=$(pl_user_dir home/Downloads)
pl_as_user sh -c 'printf "%%PDF-1.4 tax\n" >"$1/tax.pdf"' sh "$downloads"
write_bare_vmx "$downloads/offer.vmx" 'ide0:0.present = "TRUE"' 'ide0:0.fileName = "tax.pdf"'
case_answered_no downloads-default "$downloads/offer.vmx" Return
pl_as_user sh -c 'printf "XDG_DOWNLOAD_DIR=\"\$HOME/Heruntergeladen\"\n" >"$1/.config/user-dirs.dirs"' \
  sh "$home"
downloads=$(pl_user_dir home/Heruntergeladen)
pl_as_user sh -c 'printf "%%PDF-1.4 tax\n" >"$1/tax.pdf"' sh "$downloads"
write_bare_vmx "$downloads/offer.vmx" 'ide0:0.present = "TRUE"' 'ide0:0.fileName = "tax.pdf"'
case_answered_no downloads-xdg "$downloads/offer.vmx" Return
cmp -s <(printf '%%PDF-1.4 tax\n') "$downloads/tax.pdf" || pl_fail "tax.pdf changed"

# A .vmx in the home itself naming a file there by its short name.
write_bare_vmx "$home/notes.vmx" 'ide0:0.present = "TRUE"' 'ide0:0.fileName = ".bashrc"'
case_answered_no home-bashrc "$home/notes.vmx" Return

# The .vmx itself as its disk or its serial output.
write_vmx self-disk.vmx serial-1.txt 'ide0:1.present = "TRUE"' 'ide0:1.fileName = "self-disk.vmx"'
case_refused self-disk self-disk.vmx "Die Konfiguration selbst"
write_vmx self-serial.vmx ../vm/self-serial.vmx
case_refused self-serial self-serial.vmx "Die Konfiguration selbst"

# Option text in a folder's and an image's name: QEMU gets neither name,
# and the image's backing file outside is asked about all the same.
tricky_folder='b,file=..'
tricky_disk='a,format=raw,file=x.qcow2'
pl_user_dir "home/vm/$tricky_folder" >/dev/null
qcow2_over tricky.qcow2 "$home/victim.bin"
pl_as_user mv "$vm/tricky.qcow2" "$vm/$tricky_folder/$tricky_disk"
write_vmx option-text.vmx serial-1.txt 'ide0:1.present = "TRUE"' \
  "ide0:1.fileName = \"$tricky_folder/$tricky_disk\""
case_answered_no option-text option-text.vmx Return

# Protocol names one and two layers down, each with a service behind it
# that must never be reached; FIFOs one and two layers down; a loop.
pl_as_user mkdir -p "$home/sockets"
# The services run as the user, whose socket folder it is.
pl_user_command_for
pl_listen_through=("${pl_user_command[@]}")
pl_listen "$home/sockets/user.sock" "$work/unix-service.log"
nbd_port=$((47200 + RANDOM % 400))
pl_listen "127.0.0.1:$nbd_port" "$work/tcp-service.log"
pl_listen_through=()
qcow2_over nbd-unix.qcow2 "nbd+unix:///x?socket=$home/sockets/user.sock"
write_vmx nbd-unix.vmx serial-1.txt 'ide0:1.present = "TRUE"' 'ide0:1.fileName = "nbd-unix.qcow2"'
case_refused protocol-depth-1 nbd-unix.vmx "Protokolladresse"
qcow2_over nbd-tcp-base.qcow2 "nbd://127.0.0.1:$nbd_port"
qcow2_over nbd-tcp.qcow2 nbd-tcp-base.qcow2 qcow2
write_vmx nbd-tcp.vmx serial-1.txt 'ide0:1.present = "TRUE"' 'ide0:1.fileName = "nbd-tcp.qcow2"'
case_refused protocol-depth-2 nbd-tcp.vmx "Protokolladresse"
qcow2_over json.qcow2 "json:{\"driver\":\"file\",\"filename\":\"$secret\"}"
write_vmx json.vmx serial-1.txt 'ide0:1.present = "TRUE"' 'ide0:1.fileName = "json.qcow2"'
case_refused protocol-json json.vmx "Protokolladresse"
sleep 0.5
pl_case=protocol-services
grep -q connection "$work/unix-service.log" && pl_fail "the Unix socket service was reached"
grep -q connection "$work/tcp-service.log" && pl_fail "the TCP service was reached"
pl_stop_listeners

pl_as_user mkfifo "$vm/pipe.img" "$vm/pipe-base"
write_vmx fifo-disk.vmx serial-1.txt 'ide0:1.present = "TRUE"' 'ide0:1.fileName = "pipe.img"'
case_refused_soon fifo-depth-1 fifo-disk.vmx "pipe.img"
qcow2_over fifo-over.qcow2 pipe-base
write_vmx fifo-base.vmx serial-1.txt 'ide0:1.present = "TRUE"' 'ide0:1.fileName = "fifo-over.qcow2"'
case_refused_soon fifo-depth-2 fifo-base.vmx "pipe-base"

qcow2_over loop-a.qcow2 loop-b.qcow2 qcow2
qcow2_over loop-b.qcow2 loop-a.qcow2 qcow2
write_vmx loop.vmx serial-1.txt 'ide0:1.present = "TRUE"' 'ide0:1.fileName = "loop-a.qcow2"'
case_refused_soon loop loop.vmx "schon zu seiner Kette"

# A machine shipped with its TPM state or UEFI store as a second name of
# a file of the user's: swtpm or QEMU would write into that file.
pl_as_user mkdir -m 700 "$vm/tpm-symlink-tpm" "$vm/tpm-hardlink-tpm"
pl_as_user ln -s "$home/victim.bin" "$vm/tpm-symlink-tpm/tpm2-00.permall"
write_vmx tpm-symlink.vmx serial-1.txt 'firmware = "efi"' 'vtpm.present = "TRUE"'
case_refused tpm-state-symlink tpm-symlink.vmx "privater Ordner"
pl_as_user ln "$home/victim.bin" "$vm/tpm-hardlink-tpm/tpm2-00.permall"
write_vmx tpm-hardlink.vmx serial-1.txt 'firmware = "efi"' 'vtpm.present = "TRUE"'
case_refused tpm-state-hardlink tpm-hardlink.vmx "privater Ordner"
pl_as_user rm "$vm/tpm-hardlink-tpm/tpm2-00.permall"
pl_as_user ln -s "$home/victim.bin" "$vm/store-symlink-efivars.fd"
write_vmx store-symlink.vmx serial-1.txt 'firmware = "efi"'
case_refused uefi-store-symlink store-symlink.vmx "UEFI-Variablenspeicher"
pl_as_user ln "$home/victim.bin" "$vm/store-hardlink-efivars.fd"
write_vmx store-hardlink.vmx serial-1.txt 'firmware = "efi"'
case_refused uefi-store-hardlink store-hardlink.vmx "UEFI-Variablenspeicher"
pl_as_user rm "$vm/store-hardlink-efivars.fd"
pl_case=tpm-untouched
[ "$(find "$vm" -name 'swtpm*' -o -name '.lock' | wc -l)" = 0 ] || pl_fail "swtpm ran for a refused machine"

# A folder named as the launcher names its run's, made by the user: only
# the launcher beside the player as its parent makes it Trennwick's own
# run, not the name, and not a program of that name from elsewhere.
fake_run=/tmp/trennwick_temp_e2e$$
pl_as_user mkdir -m 700 "$fake_run"
write_bare_vmx "$fake_run/trennwick.vmx" 'ide1:0.present = "TRUE"' \
  'ide1:0.deviceType = "cdrom-image"' "ide1:0.fileName = \"$vm/linux.iso\"" \
  'ide0:0.present = "TRUE"' "ide0:0.fileName = \"$home/.bashrc\""
case_answered_no launcher-named-folder "$fake_run/trennwick.vmx" Return
mkdir -p "$work/elsewhere"
cp "$(command -v bash)" "$work/elsewhere/trennwick"
parent="$work/elsewhere/trennwick"
case_answered_no launcher-named-parent "$fake_run/trennwick.vmx" Return
parent=""
rm -rf "$fake_run"

# "Ja": the machine boots and writes its report to the serial file outside
# its folder, through the descriptor the player opened; QEMU gets no name
# of the machine's files, neither the option text in the disk's name nor
# the backing file outside, which it reads and never writes. Beside the
# Linux CD lies a "film.iso" that is really a vmdk descriptor naming the
# user's key: CDs are raw bytes, so QEMU reads the descriptor's text and
# never the key.
pl_case=answered-yes
printf '# Disk DescriptorFile\nversion=1\nCID=fffffffe\nparentCID=ffffffff\ncreateType="monolithicFlat"\nRW 2048 FLAT "%s" 0\n' \
  "$secret" >"$vm/film.iso"
write_vmx outside-yes.vmx "$home/serial-outside.txt" 'ide0:1.present = "TRUE"' \
  "ide0:1.fileName = \"$tricky_folder/$tricky_disk\"" 'ide1:1.present = "TRUE"' \
  'ide1:1.deviceType = "cdrom-image"' 'ide1:1.fileName = "film.iso"'
pl_start_player "$vm/outside-yes.vmx"
if window=$(pl_wait_window '^Trennwick-Player$'); then
  # The "Ja" button's mnemonic, in English or German.
  pl_keys_to "$window" y
  sleep 0.5
  xdotool search --onlyvisible --name '^Trennwick-Player$' >/dev/null 2>&1 && pl_keys_to "$window" j
else
  pl_fail "no question"
fi
if descriptors=$(qemu_descriptors); then
  [[ "$descriptors" == *"$home/serial-outside.txt"* ]] ||
    pl_fail "QEMU does not hold the serial file: $descriptors"
  [[ "$descriptors" == *"$vm/film.iso"* ]] || pl_fail "QEMU does not hold film.iso: $descriptors"
  [[ "$descriptors" != *"$secret"* ]] || pl_fail "QEMU holds the key that film.iso names"
else
  pl_fail "QEMU did not start"
fi
player_exit "$pl_boot_seconds"
[ "$code" = 0 ] || pl_fail "exit code $code, expected 0"
pl_check_report "$home/serial-outside.txt"
pl_qemu_arguments | grep -q -e "$home" &&
  pl_fail "QEMU was given a name: $(pl_qemu_arguments | grep -e "$home")"
pl_qemu_arguments | grep -q '^fd=[0-9]*,set=[0-9]*$' || pl_fail "QEMU was given no descriptors"
[ "$(pl_qemu_arguments | grep -cx 'driver=raw,node-name=drive[0-9]*,file=drive[0-9]*-file,read-only=on')" = 2 ] ||
  pl_fail "not every CD is raw: $(pl_qemu_arguments | grep '^driver=')"
pl_qemu_arguments | grep -qx 'driver=qcow2,node-name=drive0,file=drive0-file,backing=drive0-1' ||
  pl_fail "the disk is no qcow2 node over its backing: $(pl_qemu_arguments | grep '^driver=')"
pl_qemu_arguments | grep -qx 'driver=file,node-name=drive0-1-file,filename=/dev/fdset/[0-9]*,read-only=on' ||
  pl_fail "the backing file is not read-only"
check_victims

pl_end
