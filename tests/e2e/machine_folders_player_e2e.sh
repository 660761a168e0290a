#!/usr/bin/env bash
# Folders the user owns alone that are still no machine's folder, and a
# picked CD that is a link, against the real player as an ordinary user: a
# .vmx on the root of a file system mounted for the user (mode 0700, as a
# USB stick is mounted) and one in a mail program's private folder in /tmp
# name a file beside them; the player asks, "Nein" starts nothing, and the
# file stays as it was; a folder of the machine's own on the stick asks
# nothing. A download named like a CD that links to the user's key is asked
# about before anything is made. No guest boots.
# usage: bash machine_folders_player_e2e.sh PLAYER PROGRAM WORK_DIR
set -uo pipefail
player=$1
work=$3
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=player_lib.sh
source "$here/player_lib.sh"

# Waits for the player's question and answers with Return (its default,
# "Nein"); then checks that nothing started.
expect_question() {
  local code
  pl_answer_box '^Trennwick-Player$' Return
  pl_wait_player 30 >"$work/code"
  code=$(cat "$work/code")
  [ "$code" = 0 ] || pl_fail "exit code $code, not 0"
  [ -s "$work/qemu.pid" ] && pl_fail "QEMU was started"
}

# A .vmx in FOLDER whose second disk is FILE beside it, by its bare name.
write_vmx_naming() {
  local folder=$1 file=$2
  pl_write_vmx "$folder/m.vmx" "$pl_linux_cd" "$folder/serial.log" 'ide0:1.present = "TRUE"' \
    "ide0:1.fileName = \"$file\""
}

case_user_mount() {
  local stick="$work/stick" code
  pl_case=user-owned-mount
  if [ "$(id -u)" -ne 0 ]; then
    pl_log "  skipped: only root mounts a file system for the user"
    return
  fi
  mkdir -p "$stick"
  if ! mount -t tmpfs -o "uid=$pl_uid,gid=$pl_gid,mode=0700,size=64m" tmpfs "$stick"; then
    pl_fail "cannot mount a file system for the user"
    return
  fi
  pl_as_user sh -c 'printf "JFIF holiday\n" >"$1/photo.jpg"' sh "$stick"
  cp "$pl_linux_cd" "$stick/linux.iso" && chown "$pl_uid:$pl_gid" "$stick/linux.iso"
  pl_linux_cd_was=$pl_linux_cd
  pl_linux_cd="$stick/linux.iso"
  write_vmx_naming "$stick" photo.jpg
  pl_start_player "$stick/m.vmx"
  expect_question
  cmp -s <(printf 'JFIF holiday\n') "$stick/photo.jpg" || pl_fail "photo.jpg changed"
  # A folder of the machine's own on the stick asks nothing of its own files.
  pl_case=user-owned-mount-folder
  pl_as_user mkdir -m 700 "$stick/vm"
  pl_as_user sh -c 'truncate -s 1M "$1/disk.img"' sh "$stick/vm"
  pl_as_user cp "$stick/linux.iso" "$stick/vm/linux.iso"
  pl_linux_cd="$stick/vm/linux.iso"
  write_vmx_naming "$stick/vm" disk.img
  make_recording_qemu
  pl_as_user env TRENNWICK_PLAYER_ACCEL=tcg PATH="$work/recording-qemu:$PATH" "$player" \
    "$stick/vm/m.vmx" >"$work/player.log" 2>&1
  code=$?
  [ "$code" = 0 ] || pl_fail "exit code $code: $(cat "$work/player.log")"
  [ -s "$work/recorded-arguments" ] || pl_fail "QEMU was not started"
  pl_linux_cd=$pl_linux_cd_was
  umount "$stick"
}

# A QEMU that notes that it was started and ends at once.
make_recording_qemu() {
  mkdir -p "$work/recording-qemu"
  printf '#!/bin/sh\nprintf "%%s\\n" "$@" >"%s/recorded-arguments"\n' "$work" \
    >"$work/recording-qemu/qemu-system-x86_64"
  chmod 755 "$work/recording-qemu/qemu-system-x86_64"
  : >"$work/recorded-arguments"
  chown "$pl_uid:$pl_gid" "$work/recorded-arguments"
}

case_private_temporary_folder() {
  local folder
  pl_case=private-folder-in-tmp
  # As a mail program keeps its opened attachments.
  folder=/tmp/mozilla_${pl_user_name}0
  rm -rf "$folder"
  pl_as_user mkdir -m 700 "$folder"
  pl_as_user sh -c 'printf "%%PDF-1.4 bank statement\n" >"$1/statement.pdf"' sh "$folder"
  # The CD's cache may lie where the user cannot read (a clone below /root).
  cp "$pl_linux_cd" "$folder/linux.iso" && chown "$pl_uid:$pl_gid" "$folder/linux.iso"
  pl_linux_cd_was=$pl_linux_cd
  pl_linux_cd="$folder/linux.iso"
  write_vmx_naming "$folder" statement.pdf
  pl_linux_cd=$pl_linux_cd_was
  pl_start_player "$folder/m.vmx"
  expect_question
  cmp -s <(printf '%%PDF-1.4 bank statement\n') "$folder/statement.pdf" ||
    pl_fail "statement.pdf changed"
  rm -rf "$folder"
}

case_linked_cd() {
  local downloads key
  downloads=$(pl_user_dir home/Downloads)
  # A link to an image elsewhere among the user's files: asked about,
  # naming the file it points to; "Nein" makes nothing.
  pl_case=cd-link-out-of-its-folder
  pl_as_user mkdir -p "$pl_home/isos"
  cp "$pl_linux_cd" "$pl_home/isos/linux.iso" && chown "$pl_uid:$pl_gid" "$pl_home/isos/linux.iso"
  pl_as_user ln -s "$pl_home/isos/linux.iso" "$downloads/debian-12-netinst.iso"
  pl_start_player "$downloads/debian-12-netinst.iso"
  expect_question
  [ -z "$(find /tmp -maxdepth 1 -name 'trennwick_temp_*' -user "$pl_user_name")" ] ||
    pl_fail "a machine was made for the link"
  # A download named like a CD that links to the user's key is no CD by
  # its content: refused, the key never handed on.
  pl_case=cd-link-to-key
  key="$pl_home/.ssh/id_rsa"
  pl_as_user sh -c 'mkdir -m 700 -p "$1/.ssh" && printf "KEY\n" >"$1/.ssh/id_rsa" &&
    chmod 600 "$1/.ssh/id_rsa"' sh "$pl_home"
  pl_as_user ln -s "$key" "$downloads/ubuntu-24.04-desktop-amd64.iso"
  pl_expect_refusal "$(pl_run_refused "$downloads/ubuntu-24.04-desktop-amd64.iso")" \
    "ist weder ein CD-Abbild"
  [ -z "$(find /tmp -maxdepth 1 -name 'trennwick_temp_*' -user "$pl_user_name")" ] ||
    pl_fail "a machine was made for the link"
  cmp -s <(printf 'KEY\n') "$key" || pl_fail "the key changed"
}

pl_begin
if pl_prepare_linux_cd; then
  case_user_mount
  case_private_temporary_folder
  case_linked_cd
else
  pl_case=linux-cd
  pl_fail "the Linux CD could not be made"
fi
pl_end
