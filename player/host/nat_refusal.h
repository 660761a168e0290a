// The answer a NAT guest gets for a TCP connection the filter keeps from
// the engine: a reset from the destination, as a host without the service
// would send, so that the guest's program hears "refused" at once instead
// of waiting minutes for a connection that cannot come.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// For a guest's TCP segment that opens a connection (SYN without ACK), in
// an IPv4 packet without options and fragments or an IPv6 packet without
// extension headers: the Ethernet frame of its reset, the addresses and
// ports swapped, the checksums right. False for every other frame, which
// gets no answer.
bool TcpRefusal(const std::uint8_t* frame, std::size_t size, std::vector<std::uint8_t>* reset);
