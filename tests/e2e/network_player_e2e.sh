#!/usr/bin/env bash
# What the guest's network reaches: the real player and QEMU (TCG) boot the
# Linux CD, whose report names its card, its DHCP lease and what a TCP
# connection to port 47011 of its router, the DNS service, the outside,
# 10.88.0.1 and 127.0.0.1 (sent out through its card) read. The host's
# services must never be reached: not without a card, not with a host-only
# card, not with NAT. NAT runs in a network namespace of the test's own
# (the host), whose router (another namespace) stands for the outside and
# must be reached; the host's resolver lies on its loopback (127.0.0.53),
# as systemd-resolved's does. While the NAT guest runs, the host gains
# addresses (10.99.0.1/24, 2001:db8:99::1/64) and a local route
# (10.99.1.0/24); the guest then probes them, resolves a name through the
# host's resolver and downloads 64 MiB from the outside, checked by its
# sha256.
# usage: network_player_e2e.sh PLAYER PROGRAM WORK_DIR
set -uo pipefail

player=$1
work=$3
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/e2e/player_lib.sh
source "$here/player_lib.sh"

readonly port=47011
# Named by the run, so that two runs on one machine never share one.
readonly host_ns=trennwick-e2e-host-$$ outside_ns=trennwick-e2e-out-$$

remove_namespaces() {
  ip netns del "$host_ns" 2>/dev/null
  ip netns del "$outside_ns" 2>/dev/null
  rm -rf "/etc/netns/$host_ns"
}

# After pl_begin, whose run folder goes with the rest.
cleanup() {
  pl_stop_listeners
  [ "$(id -u)" -eq 0 ] && remove_namespaces
  pl_remove_run_folder
}

# The host: 10.77.0.2/24 and 2001:db8:77::2/64 towards its router
# 10.77.0.1, 2001:db8:77::1 (the outside), a second interface with
# 10.88.0.1/24, and its resolver on its loopback, which `ip netns exec`
# gives the player as /etc/resolv.conf.
make_namespaces() {
  remove_namespaces
  mkdir -p "/etc/netns/$host_ns" &&
    echo "nameserver 127.0.0.53" >"/etc/netns/$host_ns/resolv.conf" &&
    ip netns add "$host_ns" && ip netns add "$outside_ns" &&
    ip link add twe2e0 netns "$host_ns" type veth peer name twe2e0o netns "$outside_ns" &&
    ip link add twe2e1 netns "$host_ns" type veth peer name twe2e1o netns "$outside_ns" &&
    ip -n "$host_ns" addr add 10.77.0.2/24 dev twe2e0 &&
    ip -n "$host_ns" addr add 2001:db8:77::2/64 dev twe2e0 nodad &&
    ip -n "$host_ns" addr add 10.88.0.1/24 dev twe2e1 &&
    ip -n "$outside_ns" addr add 10.77.0.1/24 dev twe2e0o &&
    ip -n "$outside_ns" addr add 2001:db8:77::1/64 dev twe2e0o nodad &&
    for link in lo twe2e0 twe2e1; do ip -n "$host_ns" link set "$link" up || return 1; done &&
    for link in lo twe2e0o twe2e1o; do ip -n "$outside_ns" link set "$link" up || return 1; done &&
    ip -n "$host_ns" route add default via 10.77.0.1 &&
    ip -n "$host_ns" -6 route add default via 2001:db8:77::1
}

# The host's resolver on 127.0.0.53: every name of trennwick.test is the
# outside's address; no other name is known.
resolver() {
  ip netns exec "$host_ns" python3 - >"$work/resolver.log" 2>&1 <<'PY' &
import socket
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("127.0.0.53", 53))
print("listening", flush=True)
while True:
    query, peer = s.recvfrom(512)
    end = 12
    while query[end] != 0:
        end += query[end] + 1
    question = query[12:end + 5]
    qtype = query[end + 1:end + 3]
    print("query", query[13:end], flush=True)
    known = query[13:end].endswith(b"\x09trennwick\x04test") and qtype == b"\x00\x01"
    header = query[:2] + (b"\x81\x80" if known else b"\x81\x83") + b"\x00\x01" + \
        (b"\x00\x01" if known else b"\x00\x00") + b"\x00\x00\x00\x00"
    answer = b"\xc0\x0c\x00\x01\x00\x01\x00\x00\x00\x3c\x00\x04" + bytes([10, 77, 0, 1])
    s.sendto(header + question + (answer if known else b""), peer)
PY
  pl_listeners+=($!)
}

# The outside's web server: 64 MiB of random bytes at /blob.
web_server() {
  mkdir -p "$work/web"
  head -c $((64 * 1024 * 1024)) /dev/urandom >"$work/web/blob"
  blob_sha=$(sha256sum "$work/web/blob" | cut -d ' ' -f 1)
  ip netns exec "$outside_ns" python3 -m http.server --bind 10.77.0.1 --directory "$work/web" \
    47013 >"$work/web.log" 2>&1 &
  pl_listeners+=($!)
}

# Once the guest has probed, the host changes: new addresses and a local
# route. Then the outside hands the guest its plan (port 47012).
change_host_and_hand_plan() {
  local serial=$1 plan=$2
  for _ in $(seq 1800); do
    tr -d '\r' 2>/dev/null <"$serial" | grep -q '^trennwick-net 127.0.0.1 ' && break
    kill -0 "$pl_player_pid" 2>/dev/null || return 1
    sleep 0.1
  done
  ip -n "$host_ns" addr add 10.99.0.1/24 dev twe2e1 &&
    ip -n "$host_ns" addr add 2001:db8:99::1/64 dev twe2e1 nodad &&
    ip -n "$host_ns" route add local 10.99.1.0/24 dev lo || pl_fail "the host could not be changed"
  ip netns exec "$outside_ns" python3 - "$plan" >"$work/plan.log" 2>&1 <<'PY' &
import socket, sys
s = socket.socket()
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("10.77.0.1", 47012))
s.listen(8)
while True:
    c, peer = s.accept()
    c.sendall((sys.argv[1] + "\n").encode())
    c.close()
PY
  pl_listeners+=($!)
}

# Boots VMX with the player in the host's namespace in the background.
start_in_host_namespace() {
  : >"$work/qemu.pid"
  pl_user_command_for env TRENNWICK_PLAYER_ACCEL=tcg PATH="$work/qemu-stand-in:$PATH" "$player" "$1"
  ip netns exec "$host_ns" "${pl_user_command[@]}" >"$work/player.log" 2>&1 &
  pl_player_pid=$!
}

# The guest's report must be whole and say LINE. usage: expect_line SERIAL LINE...
expect_lines() {
  local serial=$1 line
  shift
  pl_check_report "$serial" || return
  for line in "$@"; do
    tr -d '\r' <"$serial" | grep -qxF "$line" ||
      pl_fail "the guest did not report '$line': $(tr -d '\r' <"$serial" | grep -E '^trennwick-(nic|address|net|dns|download)' | tr '\n' ';')"
  done
}

untouched() {
  ! grep -q '^connection' "$1" || pl_fail "the guest reached the service on $2: $(grep '^connection' "$1" | tr '\n' ';')"
}

pl_begin
trap cleanup EXIT
if ! pl_prepare_linux_cd; then
  pl_case=setup
  pl_fail "no Linux CD"
  pl_end
fi
dir=$(pl_user_dir network)
pl_place_linux_cd "$dir"
cd_name=$(basename "$pl_linux_cd")

# No card in the .vmx: QEMU adds none of its own either.
pl_case=no-card
pl_write_vmx "$dir/none.vmx" "$cd_name" none.txt
code=$(pl_run_player "$dir/none.vmx")
[ "$code" = 0 ] || pl_fail "exit code $code"
expect_lines "$dir/none.txt" "trennwick-nic none"
pl_qemu_arguments | grep -qxF -- "-nic" || pl_fail "QEMU was not told to add no card"

pl_case=nat
if [ "$(id -u)" -ne 0 ]; then
  pl_log "SKIP [nat, hostonly]: network namespaces need root"
elif ! make_namespaces; then
  pl_fail "the test's network namespaces could not be made"
else
  pl_listen_through=(ip netns exec "$host_ns")
  pl_listen "[::]:$port" "$work/nat-host.log" host
  pl_listen_through=(ip netns exec "$outside_ns")
  pl_listen "10.77.0.1:$port" "$work/nat-outside.log" outside
  pl_listen "[2001:db8:77::1]:$port" "$work/nat-outside6.log" outside6
  pl_listen_through=()
  resolver
  web_server

  # A host-only card: QEMU's user network restricted to the guest, which
  # reaches neither the host (its router 10.0.2.2 would be the host's
  # loopback) nor the outside.
  pl_case=hostonly
  pl_write_vmx "$dir/hostonly.vmx" "$cd_name" hostonly.txt 'ethernet0.present = "TRUE"' \
    'ethernet0.connectionType = "hostonly"'
  start_in_host_namespace "$dir/hostonly.vmx"
  pl_wait_player "$pl_boot_seconds" >"$work/code"
  code=$(cat "$work/code")
  [ "$code" = 0 ] || pl_fail "exit code $code"
  # Restricted, its DHCP names no router.
  expect_lines "$dir/hostonly.txt" "trennwick-nic eth0" "trennwick-address 10.0.2.15/24 " \
    "trennwick-net 10.0.2.2 refused" "trennwick-net 10.77.0.1 refused" \
    "trennwick-net 127.0.0.1 refused"
  untouched "$work/nat-host.log" "the host"
  untouched "$work/nat-outside.log" "the outside"

  # NAT with the card Windows machines have: the outside answers, by its
  # address and by a name the host's resolver gives; nothing of the host
  # does, neither before nor after it changed.
  pl_case=nat
  pl_write_vmx "$dir/nat.vmx" "$cd_name" nat.txt 'ethernet0.present = "TRUE"' \
    'ethernet0.connectionType = "nat"' 'ethernet0.virtualDev = "e1000e"'
  start_in_host_namespace "$dir/nat.vmx"
  change_host_and_hand_plan "$dir/nat.txt" \
    "probe 10.99.0.1 10.99.1.7 2001:db8:99::1 2001:db8:77::2 2001:db8:77::1;resolve outside.trennwick.test;download 1 check"
  pl_wait_player "$pl_boot_seconds" >"$work/code"
  code=$(cat "$work/code")
  [ "$code" = 0 ] || pl_fail "exit code $code"
  expect_lines "$dir/nat.txt" "trennwick-nic eth0" "trennwick-address 10.0.2.15/24 10.0.2.2" \
    "trennwick-net 10.0.2.2 refused" "trennwick-net 10.0.2.3 refused" \
    "trennwick-net 10.77.0.1 reached outside" "trennwick-net 10.88.0.1 refused" \
    "trennwick-net 127.0.0.1 refused" "trennwick-net 10.99.0.1 refused" \
    "trennwick-net 10.99.1.7 refused" "trennwick-net 2001:db8:99::1 refused" \
    "trennwick-net 2001:db8:77::2 refused" "trennwick-net 2001:db8:77::1 reached outside6" \
    "trennwick-dns outside.trennwick.test 10.77.0.1"
  tr -d '\r' <"$dir/nat.txt" | grep -q "^trennwick-download $blob_sha " ||
    pl_fail "the guest did not receive the 64 MiB whole"
  pl_log "[$pl_case] the guest: $(tr -d '\r' <"$dir/nat.txt" | grep -E '^trennwick-(net|dns|download)' | tr '\n' ';')"
  grep -q "trennwick" "$work/resolver.log" || pl_fail "the host's resolver was not asked"
  untouched "$work/nat-host.log" "the host"
  pl_qemu_arguments | grep -qE '^stream,id=net0,addr.type=fd,addr.str=[0-9]+$' ||
    pl_fail "QEMU's card was not joined to the player's NAT"
fi

pl_end
