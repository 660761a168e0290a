#!/usr/bin/env bash
# Appliances through the real player as an ordinary user. An .ova laid out
# as VMware's export lays it out (the envelope first, then a
# streamOptimized disk made by qemu-img and the Linux CD, then the
# manifest) boots under TCG to the guest's own power-off, the guest reading
# a marker on the disk and writing after it, and so does the same appliance
# as an .ovf beside its files; afterwards the appliance is byte for byte
# what it was and the player left nothing behind. Broken
# and hostile appliances ("..", a link, a disk past the end, a 200 MB
# envelope, XML entities, a manifest that does not match) and a file that
# is none of what the player opens are refused with a box, before QEMU
# starts and with nothing written.
# usage: bash appliance_player_e2e.sh PLAYER PROGRAM WORK_DIR
set -uo pipefail
player=$1
work=$3
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=player_lib.sh
source "$here/player_lib.sh"

# Everything that lies in the appliances' folder and the temporary root's
# entries of the test's user, with the appliances' digests: what must be
# the same after every case.
snapshot() {
  {
    (cd "$apps" && find . -printf '%p %s %T@\n' | sort && sha256sum ./* 2>/dev/null)
    find /tmp -maxdepth 1 -user "$pl_uid" -printf '%p\n' | sort
    find "$pl_home" -printf '%p\n' | sort
  } >"$work/snapshot-$1"
}

unchanged() {
  snapshot after
  cmp -s "$work/snapshot-before" "$work/snapshot-after" ||
    pl_fail "something was written or left behind: $(diff "$work/snapshot-before" "$work/snapshot-after" | head -n 5)"
}

# An envelope of VMware's export: one CPU, 768 MB, the disk on SATA, the CD
# (FILE2, when given) on IDE.
write_envelope() {
  local file=$1 disk=$2 cd=${3:-} cdfile="" cdresource=""
  if [ -n "$cd" ]; then
    cdfile="<File ovf:href=\"$cd\" ovf:id=\"file2\"/>"
    cdresource="<rasd:HostResource>ovf:/file/file2</rasd:HostResource>"
  fi
  cat >"$file" <<EOF
<?xml version="1.0" encoding="UTF-8"?>
<Envelope xmlns="http://schemas.dmtf.org/ovf/envelope/1"
    xmlns:ovf="http://schemas.dmtf.org/ovf/envelope/1"
    xmlns:rasd="http://schemas.dmtf.org/wbem/wscim/1/cim-schema/2/CIM_ResourceAllocationSettingData"
    xmlns:vmw="http://www.vmware.com/schema/ovf">
  <References>
    <File ovf:href="$disk" ovf:id="file1"/>
    $cdfile
  </References>
  <DiskSection>
    <Info>Virtual disk information</Info>
    <Disk ovf:capacity="64" ovf:capacityAllocationUnits="byte * 2^20" ovf:diskId="vmdisk1"
        ovf:fileRef="file1" ovf:format="http://www.vmware.com/interfaces/specifications/vmdk.html#streamOptimized"/>
  </DiskSection>
  <VirtualSystem ovf:id="e2e">
    <Info>A virtual machine</Info>
    <Name>E2E-Appliance</Name>
    <VirtualHardwareSection>
      <Info>Virtual hardware requirements</Info>
      <Item><rasd:InstanceID>1</rasd:InstanceID><rasd:ResourceType>3</rasd:ResourceType>
        <rasd:VirtualQuantity>1</rasd:VirtualQuantity></Item>
      <Item><rasd:AllocationUnits>byte * 2^20</rasd:AllocationUnits><rasd:InstanceID>2</rasd:InstanceID>
        <rasd:ResourceType>4</rasd:ResourceType><rasd:VirtualQuantity>768</rasd:VirtualQuantity></Item>
      <Item><rasd:Address>0</rasd:Address><rasd:InstanceID>3</rasd:InstanceID>
        <rasd:ResourceSubType>vmware.sata.ahci</rasd:ResourceSubType><rasd:ResourceType>20</rasd:ResourceType></Item>
      <Item><rasd:Address>1</rasd:Address><rasd:InstanceID>4</rasd:InstanceID>
        <rasd:ResourceType>5</rasd:ResourceType></Item>
      <Item><rasd:AddressOnParent>0</rasd:AddressOnParent><rasd:HostResource>ovf:/disk/vmdisk1</rasd:HostResource>
        <rasd:InstanceID>5</rasd:InstanceID><rasd:Parent>3</rasd:Parent><rasd:ResourceType>17</rasd:ResourceType></Item>
      <Item><rasd:AddressOnParent>0</rasd:AddressOnParent>$cdresource
        <rasd:InstanceID>6</rasd:InstanceID><rasd:Parent>4</rasd:Parent><rasd:ResourceType>15</rasd:ResourceType></Item>
    </VirtualHardwareSection>
  </VirtualSystem>
</Envelope>
EOF
}

# VMware's manifest of the files named, in the current folder.
write_manifest() {
  local file=$1 name
  shift
  for name in "$@"; do printf 'SHA256(%s)= %s\n' "$name" "$(sha256sum "$name" | cut -d' ' -f1)"; done >"$file"
}

# Runs the player on FILE, which it must refuse with a box naming TEXT;
# then nothing may have changed. usage: expect_refusal FILE TEXT
expect_refusal() {
  snapshot before
  pl_expect_refusal "$(pl_run_refused "$1")" "$2"
  unchanged
}

# An appliance has no serial port: the stand-in gives QEMU one, into a file
# of the test's, so that the guest's report can be read.
give_qemu_a_serial_port() {
  local stand_in="$work/qemu-stand-in/qemu-system-x86_64"
  printf '#!/bin/sh\nprintf "%%s\\n" "$$" >"%s/qemu.pid"\nprintf "%%s\\0" "$@" >"%s/qemu-arguments"\nexec %s "$@" -serial file:%s\n' \
    "$work" "$work" "$(command -v qemu-system-x86_64)" "$work/serial.log" >"$stand_in"
  chmod 755 "$stand_in"
}

# Boots FILE under TCG to the guest's power-off; checks QEMU's memory,
# that the guest read the disk's marker and wrote after it, and that the
# appliance and everything around it stay as they were.
expect_boot() {
  local file=$1 code
  snapshot before
  : >"$work/serial.log"
  chown "$pl_uid:$pl_gid" "$work/serial.log"
  pl_start_player "$file"
  pl_wait_player "$pl_boot_seconds" >"$work/code"
  code=$(cat "$work/code")
  [ "$code" = 0 ] || pl_fail "exit code $code"
  [ -s "$work/qemu.pid" ] || pl_fail "QEMU never started"
  pl_check_report "$work/serial.log" >/dev/null
  [ "$(pl_report_value "$work/serial.log" "trennwick-read sda $probe")" = appliance-data ] ||
    pl_fail "the guest did not read the disk's marker: $(grep -a trennwick- "$work/serial.log" | head -n 12)"
  pl_qemu_arguments | grep -qxF 768 || pl_fail "QEMU did not get the envelope's 768 MB"
  pl_qemu_arguments | grep -F -- "$(basename "$file")" | grep -v '^guest=' &&
    pl_fail "QEMU got the appliance by its name"
  unchanged
}

pl_begin
if ! pl_prepare_linux_cd; then
  pl_case=setup
  pl_fail "no Linux CD"
  pl_end
fi
give_qemu_a_serial_port
apps=$(pl_user_dir apps)
build=$(pl_user_dir build)
# Where the guest reads a marker on the appliance's disk and writes after it.
probe=1048576

# The pieces of the appliance, made as VMware's export makes them.
(
  cd "$build" || exit 1
  qemu-img create -q -f raw disk.raw 64M
  printf 'trennwick-probe %s' "$probe" | dd of=disk.raw conv=notrunc status=none
  printf 'appliance-data' | dd of=disk.raw bs=512 seek=$((probe / 512)) conv=notrunc status=none
  qemu-img convert -O vmdk -o subformat=streamOptimized disk.raw e2e-disk1.vmdk
  cp "$pl_linux_cd" tools.iso
  write_envelope e2e.ovf e2e-disk1.vmdk tools.iso
  write_manifest e2e.mf e2e.ovf e2e-disk1.vmdk tools.iso
  tar -b1 --format=ustar -cf "$apps/e2e.ova" e2e.ovf e2e-disk1.vmdk tools.iso e2e.mf
)
chown -R "$pl_uid:$pl_gid" "$apps"

pl_case=ova
expect_boot "$apps/e2e.ova"

pl_case=ovf
mkdir -p "$apps/ovf"
cp "$build"/e2e.ovf "$build"/e2e-disk1.vmdk "$build"/tools.iso "$build"/e2e.mf "$apps/ovf/"
chown -R "$pl_uid:$pl_gid" "$apps/ovf"
expect_boot "$apps/ovf/e2e.ovf"
rm -rf "$apps/ovf"

# Hostile and broken appliances.
(
  cd "$build" || exit 1
  tar -b1 -P --transform 's,^e2e-disk1,../e2e-disk1,' -cf "$apps/dotdot.ova" e2e.ovf e2e-disk1.vmdk 2>/dev/null
  ln -sf /etc/shadow e2e-link.vmdk
  tar -b1 -cf "$apps/link.ova" e2e.ovf e2e-link.vmdk
  tar -b1 -cf "$apps/cut.ova" e2e.ovf e2e-disk1.vmdk
  truncate -s -1024 "$apps/cut.ova"
  mkdir -p big && truncate -s 200M big/e2e.ovf
  tar -b1 -cf "$apps/big.ova" -C big e2e.ovf
  mkdir -p laughs && {
    printf '<?xml version="1.0"?>\n<!DOCTYPE Envelope [\n<!ENTITY a "aaaaaaaaaa">\n'
    printf '<!ENTITY b "&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;">\n<!ENTITY c "&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;">\n]>\n'
    printf '<Envelope xmlns="http://schemas.dmtf.org/ovf/envelope/1"><c>&c;</c></Envelope>\n'
  } >laughs/e2e.ovf
  tar -b1 -cf "$apps/laughs.ova" -C laughs e2e.ovf
  mkdir -p altered && cp e2e.ovf e2e-disk1.vmdk e2e.mf altered/ &&
    printf 'X' | dd of=altered/e2e-disk1.vmdk bs=1 seek=1000 conv=notrunc status=none
  write_envelope altered/e2e.ovf e2e-disk1.vmdk
  (cd altered && write_manifest e2e.mf e2e.ovf &&
    printf 'SHA256(e2e-disk1.vmdk)= %s\n' "$(sha256sum ../e2e-disk1.vmdk | cut -d' ' -f1)" >>e2e.mf)
  tar -b1 -cf "$apps/altered.ova" -C altered e2e.ovf e2e-disk1.vmdk e2e.mf
  printf 'Nur eine Notiz.\n' >"$apps/notes.ova"
)
rm -rf "$build/big"
chown -R "$pl_uid:$pl_gid" "$apps"

pl_case=dotdot
expect_refusal "$apps/dotdot.ova" "../e2e-disk1.vmdk"
pl_case=link
expect_refusal "$apps/link.ova" "Verknüpfung"
pl_case=cut
expect_refusal "$apps/cut.ova" "unvollständig"
pl_case=big-envelope
expect_refusal "$apps/big.ova" "zu groß"
rm -f "$apps/big.ova"
pl_case=entities
expect_refusal "$apps/laughs.ova" "DOCTYPE"
pl_case=manifest
expect_refusal "$apps/altered.ova" "Prüfsumme"
pl_case=not-an-appliance
expect_refusal "$apps/notes.ova" "weder ein CD-Abbild"

pl_end
