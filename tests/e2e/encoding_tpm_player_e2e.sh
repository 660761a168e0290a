#!/usr/bin/env bash
# The player reads a .vmx in the encoding it declares and gives a UEFI
# machine a TPM 2.0 through swtpm: the real player and QEMU (TCG) boot the
# Linux CD, whose report says what the guest found. Two boots; the other
# cases are refused before anything starts.
# usage: encoding_tpm_player_e2e.sh PLAYER PROGRAM WORK_DIR
set -uo pipefail

player=$1
work=$3
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/e2e/player_lib.sh
source "$here/player_lib.sh"

pl_begin
if ! pl_prepare_linux_cd; then
  pl_case=setup
  pl_fail "no Linux CD"
  pl_end
fi

# A Windows-1252 .vmx names a CD whose UTF-8 name holds umlauts.
pl_case=windows-1252
dir=$(pl_user_dir encoding)
cp "$pl_linux_cd" "$dir/Prüfung ä.iso"
chmod a+r "$dir/Prüfung ä.iso"
pl_write_vmx "$dir/m.vmx" $'Pr\xfcfung \xe4.iso' serial.txt '.encoding = "windows-1252"' \
  $'displayName = "M\xfcller"'
code=$(pl_run_player "$dir/m.vmx")
[ "$code" = 0 ] || pl_fail "exit code $code"
pl_check_report "$dir/serial.txt"
# The guest booted from the CD, which QEMU got as a descriptor, not by name.
pl_qemu_arguments | grep -qxF "driver=file,node-name=drive0-file,filename=/dev/fdset/1,read-only=on" ||
  pl_fail "QEMU did not get the CD as a descriptor: $(pl_qemu_arguments | grep -F filename= | head -n 1)"
pl_qemu_arguments | grep -qxF "guest=Müller – Prüfung ä.iso – Software-Emulation" || pl_fail "the display name did not reach QEMU in UTF-8"

# The same Windows-1252 name in a file that claims UTF-8: refused, with the key named.
pl_case=invalid-bytes
pl_write_vmx "$dir/wrong.vmx" $'Pr\xfcfung \xe4.iso' serial.txt
code=$(pl_run_refused "$dir/wrong.vmx")
pl_expect_refusal "$code" "'ide1:0.filename'"

# A TPM 2.0 that the UEFI guest finds, in a folder too deep for a socket
# address.
pl_case=tpm
deep=$(pl_user_dir "tpm-$(printf 'a%.0s' {1..50})")
deep=$(pl_user_dir "${deep#"$work"/}/$(printf 'b%.0s' {1..50})")
# The CD lies in the machine's folder, so that no question is asked.
cp "$pl_linux_cd" "$deep/cd.iso"
pl_write_vmx "$deep/m.vmx" cd.iso serial.txt 'firmware = "efi"' 'vtpm.present = "TRUE"'
code=$(pl_run_player "$deep/m.vmx")
[ "$code" = 0 ] || pl_fail "exit code $code"
pl_check_report "$deep/serial.txt"
[ "$(pl_report_value "$deep/serial.txt" trennwick-firmware)" = efi ] || pl_fail "no UEFI boot"
[ "$(pl_report_value "$deep/serial.txt" trennwick-tpm2)" = yes ] || pl_fail "the guest found no TPM2 table"
[ "$(stat -c '%a %u' "$deep/m-tpm")" = "700 $pl_uid" ] ||
  pl_fail "the state folder is not the user's private one: $(stat -c '%a %u' "$deep/m-tpm")"
[ -s "$deep/m-tpm/tpm2-00.permall" ] || pl_fail "swtpm kept no state"
[ -e "$deep/m-tpm/swtpm.sock" ] && pl_fail "swtpm's socket was left behind"
sleep 0.5
[ -z "$(pl_swtpm_processes)" ] || pl_fail "swtpm outlived the machine: $(pl_swtpm_processes)"

# A state folder that is a link (another's folder could be behind it).
pl_case=tpm-link
link=$(pl_user_dir tpm-link)
pl_as_user mkdir -m 700 "$link/elsewhere"
ln -s elsewhere "$link/m-tpm"
cp "$pl_linux_cd" "$link/cd.iso"
pl_write_vmx "$link/m.vmx" cd.iso serial.txt 'firmware = "efi"' 'vtpm.present = "TRUE"'
code=$(pl_run_refused "$link/m.vmx")
pl_expect_refusal "$code" "kein eigener, privater Ordner"
[ -z "$(ls -A "$link/elsewhere")" ] || pl_fail "something was written through the link"

# A TPM without UEFI, and a TPM without swtpm.
pl_case=tpm-bios
pl_write_vmx "$link/bios.vmx" cd.iso serial.txt 'vtpm.present = "TRUE"'
code=$(pl_run_refused "$link/bios.vmx")
pl_expect_refusal "$code" 'firmware = "efi"'
[ -e "$link/bios-tpm" ] && pl_fail "a state folder was made for a machine that cannot have a TPM"

pl_case=no-swtpm
pl_write_vmx "$link/ok.vmx" cd.iso serial.txt 'firmware = "efi"' 'vtpm.present = "TRUE"'
code=$(pl_run_refused PATH="$work/qemu-stand-in" "$link/ok.vmx")
pl_expect_refusal "$code" 'Paket "swtpm"'

pl_end
