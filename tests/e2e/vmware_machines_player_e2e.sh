#!/usr/bin/env bash
# Machines as VMware writes them, through the real player as an ordinary
# user: the Linux CD boots from SCSI units above the LSI adapter's targets
# (unit 8 under BIOS, unit 15 under UEFI; unit 15's place under BIOS), an
# IDE disk of VMware's own type "ata-hardDisk" reaches QEMU, a disk on
# VMware's SAS adapter is seen by the guest, the window names the machine,
# its CD and the software emulation;
# an unknown drive type, SCSI unit 7, a refused /dev/kvm and a missing QEMU
# are told to the user; a disk split into 2 GB sparse files is read and
# written in its 2nd and 3rd file, an encrypted qcow2 is refused with
# nothing made beside it, a streamOptimized disk boots over a
# throw-away overlay and stays as it was, and so does a file the user let
# the machine read. Cases that need no guest use a QEMU stand-in that only
# notes its arguments.
# usage: bash vmware_machines_player_e2e.sh PLAYER PROGRAM WORK_DIR
set -uo pipefail
player=$1
work=$3
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=player_lib.sh
source "$here/player_lib.sh"

dash=$'\xe2\x80\x93'

# A QEMU that notes its arguments (NUL-separated) and ends at once; with
# FAIL_ACCEL set it fails when asked for that accelerator, as QEMU does
# when the accelerator cannot be opened.
make_recording_qemu() {
  local folder="$work/recording-qemu"
  mkdir -p "$folder"
  cat >"$folder/qemu-system-x86_64" <<EOF
#!/bin/sh
for argument in "\$@"; do
  if [ -n "\${FAIL_ACCEL:-}" ] && [ "\$argument" = "\$FAIL_ACCEL" ]; then exit 1; fi
done
printf '%s\\0' "\$@" >"$work/recorded-arguments"
EOF
  chmod 755 "$folder/qemu-system-x86_64"
  : >"$work/recorded-arguments"
  chown "$pl_uid:$pl_gid" "$work/recorded-arguments"
}

recorded() { tr '\0' '\n' <"$work/recorded-arguments"; }

# Boots VMX (TCG) and checks the guest's whole report on SERIAL; prints
# nothing, fails the case otherwise. With TITLE, QEMU's window must carry
# exactly that title while the machine runs.
boot_and_check() {
  local vmx=$1 serial=$2 firmware=$3 title=${4:-} code window="" name=""
  pl_start_player "$vmx"
  if [ -n "$title" ]; then
    for _ in $(seq 1200); do
      window=$(xdotool search --name '^QEMU \(' 2>/dev/null | head -n1)
      [ -n "$window" ] && break
      kill -0 "$pl_player_pid" 2>/dev/null || break
      sleep 0.1
    done
    [ -n "$window" ] && name=$(LC_ALL=C.UTF-8 xprop -id "$window" -notype _NET_WM_NAME 2>/dev/null |
      sed -n 's/^_NET_WM_NAME = "\(.*\)"$/\1/p')
  fi
  pl_wait_player "$pl_boot_seconds" >"$work/code"
  code=$(cat "$work/code")
  [ "$code" = 0 ] || pl_fail "the player ended with $code"
  pl_check_report "$serial" || return
  [ "$(pl_report_value "$serial" trennwick-firmware)" = "$firmware" ] ||
    pl_fail "the guest did not start from $firmware"
  if [ -n "$title" ] && [ "$name" != "QEMU ($title)" ]; then
    pl_fail "window title '$name', not 'QEMU ($title)'"
  fi
}

# A .vmx whose only CD lies on SCSI PLACE; more lines follow.
scsi_vmx() {
  local file=$1 place=$2 serial=$3
  shift 3
  pl_write_vmx "$file" "$pl_linux_cd" "$serial" 'ide1:0.present = "FALSE"' \
    'scsi0.present = "TRUE"' 'scsi0.virtualDev = "lsilogic"' "$place.present = \"TRUE\"" \
    "$place.deviceType = \"cdrom-image\"" "$place.fileName = \"$pl_linux_cd\"" "$@"
}

case_scsi_upper_units() {
  local dir disk cd_name
  dir=$(pl_user_dir machines)
  cd_name=$(basename "$pl_linux_cd")

  pl_case=scsi8-bios-ata-disk
  # VMware's own IDE disk type: the disk reaches QEMU as a disk, and the
  # machine still boots its CD first.
  disk="$dir/disk.img"
  truncate -s 8M "$disk"
  chown "$pl_uid:$pl_gid" "$disk"
  scsi_vmx "$dir/a.vmx" scsi0:8 "$dir/a-serial.log" 'ide0:0.present = "TRUE"' \
    'ide0:0.deviceType = "ata-hardDisk"' "ide0:0.fileName = \"$disk\""
  boot_and_check "$dir/a.vmx" "$dir/a-serial.log" bios "E2E $dash $cd_name $dash Software-Emulation"
  pl_qemu_arguments | grep -qx "driver=file,node-name=drive0-file,filename=/dev/fdset/[0-9]*" ||
    pl_fail "the ata-hardDisk image is no writable disk: $(pl_qemu_arguments | grep -F drive0)"
  pl_qemu_arguments | grep -qx "driver=raw,node-name=drive0,file=drive0-file" ||
    pl_fail "the ata-hardDisk image is not raw: $(pl_qemu_arguments | grep -F drive0)"
  pl_qemu_arguments | grep -qx 'ide-hd,bus=ide.0,unit=0,drive=drive0,bootindex=2' ||
    pl_fail "the ata-hardDisk is not on ide0:0"
  pl_qemu_arguments | grep -qx 'lsi53c895a,id=scsi0-1' || pl_fail "no second LSI adapter"

  pl_case=scsi15-bios
  # The BIOS boot from unit 8 shows that SeaBIOS boots a CD behind a
  # further LSI adapter; unit 15's place in QEMU's arguments says the rest.
  scsi_vmx "$dir/b.vmx" scsi0:15 "$dir/b-serial.log"
  make_recording_qemu
  pl_as_user env PATH="$work/recording-qemu:$PATH" "$player" "$dir/b.vmx" >"$work/player.log" 2>&1 ||
    pl_fail "the player ended with $?"
  recorded | grep -q '^scsi-cd,bus=scsi0-2.0,scsi-id=0,' ||
    pl_fail "unit 15 is not on the third adapter"

  pl_case=scsi15-uefi
  scsi_vmx "$dir/c.vmx" scsi0:15 "$dir/c-serial.log" 'firmware = "efi"'
  boot_and_check "$dir/c.vmx" "$dir/c-serial.log" efi
}

case_sas_disk() {
  local dir sectors expected
  dir=$(pl_user_dir machines)
  pl_case=sas-disk-seen
  # VMware's SAS adapter, as a machine made as "Windows Server" has it, with
  # the CD's bytes as its only disk: the firmware boots from it and the
  # guest's own driver finds the disk behind the adapter, not only the
  # adapter.
  cp "$pl_linux_cd" "$dir/sas.img"
  chown "$pl_uid:$pl_gid" "$dir/sas.img"
  expected=$(($(stat -c %s "$dir/sas.img") / 512))
  pl_write_vmx "$dir/sas.vmx" "$pl_linux_cd" "$dir/sas-serial.log" 'ide1:0.present = "FALSE"' \
    'scsi0.present = "TRUE"' 'scsi0.virtualDev = "lsisas1068"' 'scsi0:0.present = "TRUE"' \
    "scsi0:0.fileName = \"$dir/sas.img\""
  boot_and_check "$dir/sas.vmx" "$dir/sas-serial.log" bios
  pl_qemu_arguments | grep -qx 'megasas,id=scsi0' || pl_fail "the SAS adapter is no MegaRAID SAS"
  sectors=$(pl_report_value "$dir/sas-serial.log" trennwick-block | awk '$1 ~ /^sd/ { print $2 }')
  [ "$sectors" = "$expected" ] ||
    pl_fail "the guest does not see the disk on the SAS adapter: $(pl_report_value \
      "$dir/sas-serial.log" trennwick-block | tr '\n' ' ')"
}

case_refusals() {
  local dir
  dir=$(pl_user_dir machines)
  pl_case=unknown-device-type
  pl_write_vmx "$dir/t.vmx" "$pl_linux_cd" "$dir/t.log" 'ide0:0.present = "TRUE"' \
    'ide0:0.deviceType = "hardDisk"' "ide0:0.fileName = \"$dir/none.img\""
  pl_expect_refusal "$(pl_run_refused "$dir/t.vmx")" 'ide0:0.deviceType = "hardDisk"'

  pl_case=scsi-unit-7
  scsi_vmx "$dir/s.vmx" scsi0:7 "$dir/s.log"
  pl_expect_refusal "$(pl_run_refused "$dir/s.vmx")" "'scsi0:7.present'"

  pl_case=encrypted-qcow2
  # Told in German before QEMU starts; nothing is made beside the .vmx.
  mkdir -p "$dir/encrypted"
  # qemu-img times its key derivation by the thread's processor time, whose
  # ticks may miss so short a run ("Unable to get accurate CPU usage"): a
  # few tries.
  local try
  for try in 1 2 3 4 5; do
    qemu-img create -q -f qcow2 --object secret,id=key,data=e2e \
      -o encrypt.format=luks,encrypt.key-secret=key,encrypt.iter-time=50 \
      "$dir/encrypted/disk.qcow2" 64M 2>"$work/encrypted-qemu-img.log" && break
    [ "$try" = 5 ] && pl_fail "qemu-img made no encrypted image: $(cat "$work/encrypted-qemu-img.log")"
  done
  chown -R "$pl_uid:$pl_gid" "$dir/encrypted"
  pl_write_vmx "$dir/encrypted/e.vmx" "$pl_linux_cd" "$dir/encrypted/e.log" \
    'ide0:0.present = "TRUE"' 'ide0:0.fileName = "disk.qcow2"' 'firmware = "efi"'
  pl_expect_refusal "$(pl_run_refused "$dir/encrypted/e.vmx")" "Das Abbild ist mit LUKS verschl"
  grep -qF "$dir/encrypted/disk.qcow2" "$work/player.log" || pl_fail "the refusal names no file"
  [ "$(find "$dir/encrypted" -mindepth 1 | LC_ALL=C sort | tr '\n' ' ')" = \
    "$dir/encrypted/disk.qcow2 $dir/encrypted/e.vmx " ] ||
    pl_fail "made beside the .vmx: $(ls -A "$dir/encrypted")"
}

case_software_emulation_told() {
  local dir code title
  dir=$(pl_user_dir machines)
  make_recording_qemu
  pl_write_vmx "$dir/k.vmx" "$pl_linux_cd" "$dir/k.log"
  title="guest=E2E $dash $(basename "$pl_linux_cd") $dash Software-Emulation"

  pl_case=kvm-refused
  # The user is in no group kvm: /dev/kvm (0600 or 0660 root:kvm) refuses it.
  if [ -c /dev/kvm ] && ! pl_as_user test -r /dev/kvm; then
    pl_as_user env PATH="$work/recording-qemu:$PATH" "$player" "$dir/k.vmx" \
      >"$work/player.log" 2>&1
    code=$?
    [ "$code" = 0 ] || pl_fail "exit code $code"
    grep -q 'Permission denied\|Keine Berechtigung' "$work/player.log" ||
      pl_fail "stderr does not give the reason"
    grep -qF 'sudo adduser $USER kvm' "$work/player.log" || pl_fail "stderr does not say what helps"
    [ "$(recorded | pl_value_after -accel)" = tcg ] || pl_fail "not run with TCG"
    [ "$(recorded | pl_value_after -name)" = "$title" ] || pl_fail "title $(recorded | pl_value_after -name)"
  else
    pl_log "  skipped: /dev/kvm is missing or open to the user"
  fi

  pl_case=retry-title
  # A failed start with KVM is tried again with TCG, and the title says so.
  : >"$work/recorded-arguments"
  pl_as_user env FAIL_ACCEL=kvm TRENNWICK_PLAYER_ACCEL=kvm PATH="$work/recording-qemu:$PATH" \
    "$player" "$dir/k.vmx" >"$work/player.log" 2>&1
  code=$?
  [ "$code" = 0 ] || pl_fail "exit code $code"
  [ "$(recorded | pl_value_after -accel)" = tcg ] || pl_fail "not tried again with TCG"
  [ "$(recorded | pl_value_after -name)" = "$title" ] || pl_fail "title $(recorded | pl_value_after -name)"

  pl_case=qemu-missing
  mkdir -p "$work/no-qemu"
  pl_as_user env PATH="$work/no-qemu" "$player" "$dir/k.vmx" >"$work/player.log" 2>&1 &
  pl_player_pid=$!
  pl_answer_box '^Fehler$' Return
  pl_wait_player 30 >"$work/code"
  code=$(cat "$work/code")
  [ "$code" = 4 ] || pl_fail "exit code $code, not 4"
  grep -qF "im Suchpfad (PATH)" "$work/player.log" || pl_fail "stderr does not say where it looked"
  grep -qF '"qemu-system-x86"' "$work/player.log" || pl_fail "stderr names no package"
}

# Byte offsets in the 2nd and 3rd 2 GB extent of a split disk, where the
# guest reads a marker and writes after it.
probe_second=2684354560
probe_third=4831838208

# A sparse raw disk of SIZE at PATH whose first sector asks the guest to
# read the markers "extent-two" and "extent-three".
make_probe_disk() {
  local path=$1 size=$2
  rm -f "$path"
  truncate -s "$size" "$path"
  printf 'trennwick-probe %s %s' "$probe_second" "$probe_third" | dd of="$path" conv=notrunc 2>/dev/null
  printf 'extent-two' | dd of="$path" bs=512 seek=$((probe_second / 512)) conv=notrunc 2>/dev/null
  printf 'extent-three' | dd of="$path" bs=512 seek=$((probe_third / 512)) conv=notrunc 2>/dev/null
}

# The guest read both markers through the player (SERIAL its report).
check_markers_read() {
  local serial=$1
  [ "$(pl_report_value "$serial" "trennwick-read sda $probe_second")" = extent-two ] ||
    pl_fail "the guest did not read the 2nd extent: $(grep -a trennwick-read "$serial")"
  [ "$(pl_report_value "$serial" "trennwick-read sda $probe_third")" = extent-three ] ||
    pl_fail "the guest did not read the 3rd extent: $(grep -a trennwick-read "$serial")"
}

# The text the guest wrote after marker OFFSET of IMAGE (FORMAT), as QEMU's
# own tool reads it.
guest_wrote() {
  local image=$1 format=$2 offset=$3
  qemu-img convert -f "$format" -O raw "$image" "$work/disk.raw" &&
    dd if="$work/disk.raw" bs=512 skip=$((offset / 512 + 1)) count=1 2>/dev/null | tr -d '\0'
  rm -f "$work/disk.raw"
}

# The player's own folders for what it writes for QEMU, one a line. Other
# runs may make theirs meanwhile: a case compares with those there before.
image_folders() {
  find /tmp -maxdepth 1 -name 'trennwick_overlay_*' 2>/dev/null | LC_ALL=C sort
}

# No folder is left that was not there when the case began (BEFORE).
check_no_image_folder() {
  local left
  left=$(image_folders | LC_ALL=C comm -13 "$1" -)
  [ -z "$left" ] || pl_fail "left behind: $left"
}

case_split_disk() {
  local dir cd token
  dir=$(pl_user_dir split)
  cd="$dir/$(basename "$pl_linux_cd")"
  cp "$pl_linux_cd" "$cd"
  pl_case=split-sparse-disk
  image_folders >"$work/folders-before"
  # VMware Workstation's default for new disks: one sparse file per 2 GB.
  make_probe_disk "$work/split.raw" 5G
  qemu-img convert -f raw -O vmdk -o subformat=twoGbMaxExtentSparse "$work/split.raw" \
    "$dir/split.vmdk"
  rm -f "$work/split.raw"
  chown "$pl_uid:$pl_gid" "$dir"/split*.vmdk
  [ "$(find "$dir" -name 'split-s00?.vmdk' | wc -l)" = 3 ] || pl_fail "qemu-img made no 3 extents"
  pl_write_vmx "$dir/split.vmx" "$cd" "$dir/split-serial.log" 'ide0:0.present = "TRUE"' \
    'ide0:0.fileName = "split.vmdk"'
  boot_and_check "$dir/split.vmx" "$dir/split-serial.log" bios || return
  check_markers_read "$dir/split-serial.log"
  token=$(pl_report_value "$dir/split-serial.log" trennwick-begin)
  [ "$(guest_wrote "$dir/split.vmdk" vmdk "$probe_second")" = "written-$token" ] ||
    pl_fail "the guest's write did not reach the 2nd extent"
  [ "$(guest_wrote "$dir/split.vmdk" vmdk "$probe_third")" = "written-$token" ] ||
    pl_fail "the guest's write did not reach the 3rd extent"
  # QEMU read the descriptor the player wrote, as one vmdk node.
  pl_qemu_arguments | grep -qx 'driver=vmdk,node-name=drive0,file=drive0-file' ||
    pl_fail "no vmdk node: $(pl_qemu_arguments | grep -F drive0)"
  pl_qemu_arguments | grep -qF "$dir" && pl_fail "QEMU was given a name of the machine's files"
  check_no_image_folder "$work/folders-before"

  pl_case=stream-optimized-overlay
  image_folders >"$work/folders-before"
  # What an appliance carries: QEMU could only read it; the guest writes
  # into the player's overlay, the title says so, and the disk stays.
  make_probe_disk "$work/stream.raw" 5G
  qemu-img convert -f raw -O vmdk -o subformat=streamOptimized "$work/stream.raw" \
    "$dir/stream.vmdk"
  rm -f "$work/stream.raw"
  chown "$pl_uid:$pl_gid" "$dir/stream.vmdk"
  sha256sum "$dir/stream.vmdk" >"$work/stream.sum"
  pl_write_vmx "$dir/stream.vmx" "$cd" "$dir/stream-serial.log" 'ide0:0.present = "TRUE"' \
    'ide0:0.fileName = "stream.vmdk"'
  boot_and_check "$dir/stream.vmx" "$dir/stream-serial.log" bios \
    "E2E $dash $(basename "$cd") $dash $(printf '\xc3\x84')nderungen werden verworfen $dash Software-Emulation" ||
    return
  check_markers_read "$dir/stream-serial.log"
  sha256sum -c --quiet "$work/stream.sum" || pl_fail "the streamOptimized disk changed"
  pl_qemu_arguments | grep -qx 'driver=qcow2,node-name=drive0,file=drive0-file,backing=drive0-base' ||
    pl_fail "no overlay: $(pl_qemu_arguments | grep -F drive0)"
  check_no_image_folder "$work/folders-before"
}

# The player's folder of what it wrote for QEMU goes when a stop signal
# ends the machine: QEMU (a stand-in that waits) gets the signal passed on.
case_image_folder_gone_after_signal() {
  local dir signal folder
  dir=$(pl_user_dir stopped)
  cp "$pl_linux_cd" "$dir/"
  qemu-img create -q -f vmdk -o subformat=streamOptimized "$dir/small.vmdk" 64M
  chown "$pl_uid:$pl_gid" "$dir/small.vmdk"
  pl_write_vmx "$dir/small.vmx" "$dir/$(basename "$pl_linux_cd")" "$dir/small.log" \
    'ide0:0.present = "TRUE"' 'ide0:0.fileName = "small.vmdk"'
  mkdir -p "$work/waiting-qemu"
  printf '#!/bin/sh\nprintf "%%s\\n" "$$" >"%s/waiting.pid"\nexec sleep 120\n' "$work" \
    >"$work/waiting-qemu/qemu-system-x86_64"
  chmod 755 "$work/waiting-qemu/qemu-system-x86_64"
  for signal in TERM HUP INT; do
    pl_case=image-folder-gone-after-sig$signal
    : >"$work/waiting.pid"
    chown "$pl_uid:$pl_gid" "$work/waiting.pid"
    # A job of a script starts with SIGINT ignored, and the player keeps
    # what it was started ignoring; a terminal's Ctrl-C is not ignored.
    pl_user_command_for env --default-signal=INT TRENNWICK_PLAYER_ACCEL=tcg \
      PATH="$work/waiting-qemu:$PATH" "$player" "$dir/small.vmx"
    "${pl_user_command[@]}" >"$work/player.log" 2>&1 &
    pl_player_pid=$!
    for _ in $(seq 300); do
      [ -s "$work/waiting.pid" ] && break
      sleep 0.1
    done
    # The stand-in holds what QEMU would: the overlay in the player's folder.
    folder=$(find "/proc/$(cat "$work/waiting.pid")/fd" -type l -exec readlink {} + 2>/dev/null |
      grep -o '^/tmp/trennwick_overlay_[^/]*' | head -n1)
    [ -n "$folder" ] || pl_fail "QEMU holds no overlay in the player's folder"
    kill -"$signal" "$pl_player_pid"
    pl_wait_player 30 >"$work/code"
    [ "$(cat "$work/code")" = 124 ] && pl_fail "the player did not end"
    [ -n "$folder" ] && [ -e "$folder" ] && pl_fail "left behind: $folder"
  done
}

# A "Ja" to a file the question says is read leaves it as it was: the
# machine's own qcow2 over a disk outside its folder; the guest reads the
# disk's markers and writes, into the qcow2.
case_read_answer_keeps_file() {
  local dir outside token
  dir=$(pl_user_dir layered)
  outside=$(pl_user_dir outside)
  pl_case=read-answer-keeps-file
  cp "$pl_linux_cd" "$dir/"
  make_probe_disk "$outside/base.img" 5G
  qemu-img create -q -f qcow2 -F raw -b "$outside/base.img" "$dir/top.qcow2"
  chown "$pl_uid:$pl_gid" "$outside/base.img" "$dir/top.qcow2"
  sha256sum "$outside/base.img" >"$work/base.sum"
  pl_write_vmx "$dir/top.vmx" "$dir/$(basename "$pl_linux_cd")" "$dir/top-serial.log" \
    'ide0:0.present = "TRUE"' 'ide0:0.fileName = "top.qcow2"'
  pl_start_player "$dir/top.vmx"
  local window
  if ! window=$(pl_wait_window '^Trennwick-Player$'); then
    pl_fail "no question"
    pl_wait_player 30 >/dev/null
    return
  fi
  # The "Ja" button's mnemonic, in English or German.
  pl_keys_to "$window" y
  sleep 0.5
  xdotool search --onlyvisible --name '^Trennwick-Player$' >/dev/null 2>&1 &&
    xdotool key --clearmodifiers j
  pl_wait_player "$pl_boot_seconds" >"$work/code"
  [ "$(cat "$work/code")" = 0 ] || pl_fail "the player ended with $(cat "$work/code")"
  pl_check_report "$dir/top-serial.log" >/dev/null || return
  check_markers_read "$dir/top-serial.log"
  token=$(pl_report_value "$dir/top-serial.log" trennwick-begin)
  sha256sum -c --quiet "$work/base.sum" || pl_fail "the file read after \"Ja\" changed"
  [ "$(guest_wrote "$dir/top.qcow2" qcow2 "$probe_second")" = "written-$token" ] ||
    pl_fail "the guest's write is not in the machine's qcow2"
}

pl_begin
if pl_prepare_linux_cd; then
  # The machines share one folder with their CD, which is thus their own.
  pl_place_linux_cd "$(pl_user_dir machines)"
  case_refusals
  case_software_emulation_told
  case_scsi_upper_units
  case_image_folder_gone_after_signal
  case_split_disk
  case_read_answer_keeps_file
  case_sas_disk
else
  pl_case=linux-cd
  pl_fail "the Linux CD could not be made"
fi
pl_end
