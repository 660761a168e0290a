#!/usr/bin/env bash
# What the guest's network reaches: the real player and QEMU (TCG) boot the
# Linux CD, whose report names its card, its DHCP lease and what a TCP
# connection to port 47011 of its router, of 10.88.0.1 and of 127.0.0.1
# (sent out through its card) read. A service on the host's loopback
# answers there and must never be reached: not without a card, not with a
# host-only card, not with NAT. NAT runs in a network namespace of the
# test's own, whose router (another namespace) stands for the outside and
# must be reached, its answer read whole; the host's second address
# 10.88.0.1 stands for another interface of the host and must not be.
# usage: network_player_e2e.sh PLAYER PROGRAM WORK_DIR
set -uo pipefail

player=$1
work=$3
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/e2e/player_lib.sh
source "$here/player_lib.sh"

readonly port=47011
readonly host_ns=trennwick-e2e-host outside_ns=trennwick-e2e-out
remove_namespaces() {
  ip netns del "$host_ns" 2>/dev/null
  ip netns del "$outside_ns" 2>/dev/null
}

cleanup() {
  pl_stop_listeners
  [ "$(id -u)" -eq 0 ] && remove_namespaces
}
trap cleanup EXIT

# The host: 10.77.0.2/24 towards its router 10.77.0.1 (the outside), and a
# second interface with 10.88.0.1/24.
make_namespaces() {
  remove_namespaces
  ip netns add "$host_ns" && ip netns add "$outside_ns" &&
    ip link add twe2e0 netns "$host_ns" type veth peer name twe2e0o netns "$outside_ns" &&
    ip link add twe2e1 netns "$host_ns" type veth peer name twe2e1o netns "$outside_ns" &&
    ip -n "$host_ns" addr add 10.77.0.2/24 dev twe2e0 &&
    ip -n "$host_ns" addr add 10.88.0.1/24 dev twe2e1 &&
    ip -n "$outside_ns" addr add 10.77.0.1/24 dev twe2e0o &&
    for link in lo twe2e0 twe2e1; do ip -n "$host_ns" link set "$link" up || return 1; done &&
    for link in lo twe2e0o twe2e1o; do ip -n "$outside_ns" link set "$link" up || return 1; done &&
    ip -n "$host_ns" route add default via 10.77.0.1
}

# The passt processes of the test's user.
passt_processes() {
  local process
  for process in /proc/[0-9]*; do
    [[ "$(cat "$process/comm" 2>/dev/null)" == passt* ]] &&
      [ "$(stat -c %u "$process" 2>/dev/null)" = "$pl_uid" ] && printf '%s\n' "${process#/proc/}"
  done
}

# Boots VMX with the player in the host's namespace; prints the exit code.
run_in_host_namespace() {
  : >"$work/qemu.pid"
  pl_user_command_for env TRENNWICK_PLAYER_ACCEL=tcg PATH="$work/qemu-stand-in:$PATH" "$player" "$1"
  ip netns exec "$host_ns" "${pl_user_command[@]}" >"$work/player.log" 2>&1 &
  pl_player_pid=$!
  pl_wait_player "$pl_boot_seconds"
}

# The guest's report must be whole and say LINE. usage: expect_line SERIAL LINE...
expect_lines() {
  local serial=$1 line
  shift
  pl_check_report "$serial" || return
  for line in "$@"; do
    tr -d '\r' <"$serial" | grep -qxF "$line" ||
      pl_fail "the guest did not report '$line': $(tr -d '\r' <"$serial" | grep -E '^trennwick-(nic|address|net)' | tr '\n' ';')"
  done
}

untouched() {
  ! grep -q '^connection' "$1" || pl_fail "the guest reached the service on $2"
}

pl_begin
if ! pl_prepare_linux_cd; then
  pl_case=setup
  pl_fail "no Linux CD"
  pl_end
fi
dir=$(pl_user_dir network)
pl_place_linux_cd "$dir"
cd_name=$(basename "$pl_linux_cd")
pl_listen "127.0.0.1:$port" "$work/loopback.log" loopback

# No card in the .vmx: QEMU adds none of its own either.
pl_case=no-card
pl_write_vmx "$dir/none.vmx" "$cd_name" none.txt
code=$(pl_run_player "$dir/none.vmx")
[ "$code" = 0 ] || pl_fail "exit code $code"
expect_lines "$dir/none.txt" "trennwick-nic none"
pl_qemu_arguments | grep -qxF -- "-nic" || pl_fail "QEMU was not told to add no card"

# A host-only card: QEMU's user network, kept from the host (its router
# 10.0.2.2 would be the host's loopback).
pl_case=hostonly
pl_write_vmx "$dir/hostonly.vmx" "$cd_name" hostonly.txt 'ethernet0.present = "TRUE"' \
  'ethernet0.connectionType = "hostonly"'
code=$(pl_run_player "$dir/hostonly.vmx")
[ "$code" = 0 ] || pl_fail "exit code $code"
expect_lines "$dir/hostonly.txt" "trennwick-nic eth0" "trennwick-net 10.0.2.2 refused" \
  "trennwick-net 127.0.0.1 refused"
untouched "$work/loopback.log" "the host's loopback"

# NAT without passt: refused before anything starts.
pl_case=no-passt
pl_write_vmx "$dir/nat.vmx" "$cd_name" nat.txt 'ethernet0.present = "TRUE"' \
  'ethernet0.connectionType = "nat"'
code=$(pl_run_refused PATH="$work/qemu-stand-in" "$dir/nat.vmx")
pl_expect_refusal "$code" 'Paket "passt"'

# NAT: the outside answers, the host's loopback and its other address do
# not, though the guest aims at both.
pl_case=nat
if [ "$(id -u)" -ne 0 ]; then
  pl_log "SKIP [$pl_case]: network namespaces need root"
elif ! make_namespaces; then
  pl_fail "the test's network namespaces could not be made"
else
  pl_listen_through=(ip netns exec "$host_ns")
  pl_listen "127.0.0.1:$port" "$work/nat-loopback.log" loopback
  pl_listen "10.88.0.1:$port" "$work/nat-second.log" second-address
  pl_listen_through=(ip netns exec "$outside_ns")
  pl_listen "10.77.0.1:$port" "$work/nat-outside.log" outside
  pl_listen_through=()
  code=$(run_in_host_namespace "$dir/nat.vmx")
  [ "$code" = 0 ] || pl_fail "exit code $code"
  # passt's DHCP gave the guest the host's address and router; the
  # outside's answer arrives whole (the card pads the guest's short
  # frames, which passt must not take for data).
  expect_lines "$dir/nat.txt" "trennwick-nic eth0" "trennwick-address 10.77.0.2/24 10.77.0.1" \
    "trennwick-net 10.88.0.1 refused" "trennwick-net 127.0.0.1 refused"
  # Debian 12's passt stalls a connection now and then when the guest is
  # slow (TCG on a busy machine): the answer is wanted, but its absence is
  # no fault of the player's.
  tr -d '\r' <"$dir/nat.txt" | grep -qxF "trennwick-net 10.77.0.1 reached outside" ||
    pl_log "NOTE [$pl_case]: the outside's answer did not reach the guest this time"
  pl_log "[$pl_case] the guest: $(tr -d '\r' <"$dir/nat.txt" | grep '^trennwick-net' | tr '\n' ';')"
  grep -qxF "connection from 10.77.0.2" "$work/nat-outside.log" ||
    pl_fail "the guest's connection did not reach the outside"
  untouched "$work/nat-loopback.log" "the host's loopback"
  untouched "$work/nat-second.log" "the host's second address 10.88.0.1"
  pl_qemu_arguments | grep -qE '^stream,id=net0,addr.type=fd,addr.str=[0-9]+$' ||
    pl_fail "QEMU's card was not joined to passt"
  sleep 0.5
  [ -z "$(passt_processes)" ] || pl_fail "passt outlived the machine: $(passt_processes)"
fi

pl_end
