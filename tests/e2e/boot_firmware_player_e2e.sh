#!/usr/bin/env bash
# The CD picked boots: the real player and QEMU (TCG), as an ordinary user,
# give a machine the firmware its boot CD asks for. A CD that boots only
# with UEFI, opened as `trennwick-player CD` with the template's BIOS,
# boots with UEFI; a CD that boots only with BIOS boots so from a .vmx
# that asks for UEFI and a TPM. A CD that looks like Windows setup media
# gets Secure Boot, a TPM, 4096 MB and two processors; that machine is
# stopped by SIGTERM to its player once QEMU runs. The throw-away machine
# of `trennwick-player CD` leaves no folder behind either way.
# usage: boot_firmware_player_e2e.sh PLAYER PROGRAM WORK_DIR
set -uo pipefail

player=$1
work=$3
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/e2e/player_lib.sh
source "$here/player_lib.sh"

dash=$'\xe2\x80\x93'
golden_template="$here/expected/trennwick_template.lf.txt"

# A variant of the Linux CD (make_linux_cd's options), copied into the
# user's folder DIR as NAME (a hard link would be asked about); prints its
# path there.
variant_cd() {
  local dir=$1 name=$2 cd
  shift 2
  cd=$("$here/make_linux_cd" "$@" "$(dirname "$pl_linux_cd")" 2>>"$work/linux-cd.log") || return 1
  cp "$cd" "$dir/$name"
  chmod a+r "$dir/$name"
  printf '%s\n' "$dir/$name"
}

# The template beside the player, as the launcher keeps it: the default
# one with the first serial port written to SERIAL.
write_template() {
  {
    cat "$golden_template"
    printf 'serial0.present = "TRUE"\nserial0.fileType = "file"\nserial0.fileName = "%s"\n' "$1"
  } >"$(dirname "$player")/trennwick_template.txt"
}

# Waits until QEMU of the player started last runs; a notice box on the
# way (what a Windows setup lacks here) is closed. False when the player
# ended first.
wait_for_qemu() {
  local window
  for _ in $(seq 600); do
    [ -s "$work/qemu.pid" ] && return 0
    kill -0 "$pl_player_pid" 2>/dev/null || return 1
    window=$(xdotool search --onlyvisible --name '^Trennwick-Player$' 2>/dev/null | head -n 1)
    [ -n "$window" ] && xdotool windowactivate --sync "$window" key Return 2>/dev/null
    sleep 0.1
  done
  return 1
}

# The folder of the throw-away machine whose configuration names CD.
machine_folder_for() {
  grep -lF -- "$1" /tmp/trennwick_temp_*/trennwick.vmx 2>/dev/null | head -n 1 | xargs -r dirname
}

# `trennwick-player CD` with the template's BIOS and a CD that boots only
# with UEFI: the guest starts from UEFI, and the machine's folder goes.
case_uefi_only_cd() {
  pl_case=uefi-only-cd
  local cd serial folder code
  cd=$(variant_cd "$cds" uefi-only.iso --only uefi) || {
    pl_fail "no UEFI-only CD"
    return
  }
  serial="$serials/uefi-only.txt"
  write_template "$serial"
  pl_start_player "$cd"
  wait_for_qemu || pl_fail "QEMU did not start"
  folder=$(machine_folder_for "$cd")
  [ -n "$folder" ] || pl_fail "no machine folder names the CD while it runs"
  pl_wait_player "$pl_boot_seconds" >"$work/code"
  code=$(cat "$work/code")
  [ "$code" = 0 ] || pl_fail "exit code $code"
  pl_check_report "$serial"
  [ "$(pl_report_value "$serial" trennwick-firmware)" = efi ] || pl_fail "the guest did not start from UEFI"
  [ "$(pl_qemu_arguments | pl_value_after -name)" = "guest=CD-Boot $dash uefi-only.iso $dash UEFI,, von der CD verlangt $dash Software-Emulation" ] ||
    pl_fail "title $(pl_qemu_arguments | pl_value_after -name)"
  [ -z "$folder" ] || [ ! -e "$folder" ] || pl_fail "the machine's folder $folder is still there"
}

# A .vmx that asks for UEFI and a TPM, with a CD that boots only with
# BIOS: BIOS, and neither a TPM nor a UEFI store is made.
case_bios_only_cd() {
  pl_case=bios-only-cd
  local dir code
  dir=$(pl_user_dir bios-machine)
  variant_cd "$dir" bios-only.iso --only bios >/dev/null || {
    pl_fail "no BIOS-only CD"
    return
  }
  pl_write_vmx "$dir/m.vmx" bios-only.iso serial.txt 'firmware = "efi"' 'vtpm.present = "TRUE"'
  code=$(pl_run_player "$dir/m.vmx")
  [ "$code" = 0 ] || pl_fail "exit code $code"
  pl_check_report "$dir/serial.txt"
  [ "$(pl_report_value "$dir/serial.txt" trennwick-firmware)" = bios ] || pl_fail "the guest did not start from BIOS"
  [ "$(pl_report_value "$dir/serial.txt" trennwick-tpm2)" = no ] || pl_fail "the guest found a TPM"
  pl_qemu_arguments | grep -q -e '^if=pflash' -e '^tpm-crb' && pl_fail "QEMU got UEFI or a TPM"
  [ "$(pl_qemu_arguments | pl_value_after -name)" = "guest=E2E $dash bios-only.iso $dash BIOS,, von der CD verlangt $dash Software-Emulation" ] ||
    pl_fail "title $(pl_qemu_arguments | pl_value_after -name)"
  [ ! -e "$dir/m-tpm" ] && [ ! -e "$dir/m-efivars.fd" ] || pl_fail "a TPM folder or UEFI store was made"
}

# Windows setup media through `trennwick-player CD`: QEMU's arguments are
# read while it runs; SIGTERM to the player then ends QEMU and swtpm, and
# the machine's folder goes.
case_windows_setup_cd() {
  pl_case=windows-setup-cd
  local cd folder code memory spare processors
  cd=$(variant_cd "$cds" win11.iso --windows-setup) || {
    pl_fail "no Windows setup CD"
    return
  }
  write_template "$serials/windows.txt"
  pl_start_player "$cd"
  if ! wait_for_qemu; then
    pl_fail "QEMU did not start"
    pl_wait_player 5 >/dev/null
    return
  fi
  sleep 2
  folder=$(machine_folder_for "$cd")
  [ -n "$folder" ] || pl_fail "no machine folder names the CD while it runs"
  [ "$(pl_qemu_arguments | pl_value_after -machine)" = q35,smm=on ] || pl_fail "machine $(pl_qemu_arguments | pl_value_after -machine), not q35,smm=on"
  [ "$(pl_qemu_arguments | pl_value_after -global)" = driver=cfi.pflash01,property=secure,value=on ] ||
    pl_fail "the firmware's flash is not secure"
  pl_qemu_arguments | grep -qx 'if=pflash,unit=0,format=raw,readonly=on,file=.*\.ms\.fd' ||
    pl_fail "no Secure Boot firmware: $(pl_qemu_arguments | grep pflash)"
  pl_qemu_arguments | grep -qx 'tpm-crb,tpmdev=tpm0' || pl_fail "no TPM"
  [ -n "$(pl_swtpm_processes)" ] || pl_fail "no swtpm runs"
  # 4096 MB and two processors, as far as the host spares them.
  spare=$(($(getconf _PHYS_PAGES) * $(getconf PAGE_SIZE) / 1048576 - 2048))
  memory=4096
  [ "$spare" -lt "$memory" ] && memory=$spare
  processors=$(getconf _NPROCESSORS_ONLN)
  [ "$processors" -gt 2 ] && processors=2
  [ "$(pl_qemu_arguments | pl_value_after -m)" = "$memory" ] || pl_fail "memory $(pl_qemu_arguments | pl_value_after -m), not $memory"
  [ "$(pl_qemu_arguments | pl_value_after -smp)" = "$processors" ] || pl_fail "processors $(pl_qemu_arguments | pl_value_after -smp), not $processors"
  [[ "$(pl_qemu_arguments | pl_value_after -name)" == *"$dash Windows-Setup $dash"* ]] || pl_fail "title $(pl_qemu_arguments | pl_value_after -name)"
  kill -TERM "$pl_player_pid"
  pl_wait_player 20 >"$work/code"
  code=$(cat "$work/code")
  [ "$code" = 143 ] || pl_fail "the player ended with $code, not 143"
  sleep 0.5
  [ -z "$(pl_swtpm_processes)" ] || pl_fail "swtpm outlived the player"
  kill -0 "$(cat "$work/qemu.pid")" 2>/dev/null && pl_fail "QEMU outlived the player"
  [ -z "$folder" ] || [ ! -e "$folder" ] || pl_fail "the machine's folder $folder is still there"
}

pl_begin
if ! pl_prepare_linux_cd; then
  pl_case=setup
  pl_fail "no Linux CD"
  pl_end
fi
cds=$(pl_user_dir cds)
serials=$(pl_user_dir serials)
case_uefi_only_cd
case_bios_only_cd
case_windows_setup_cd
pl_end
