// IPv4 packets made up by the replay for what the driver injected: TCP
// segments and whole packets with their IPv4 and TCP (or UDP) checksums
// computed, as a capture at the local host would show them.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace replay {

// A TCP segment (20-byte header, no options) inside a 20-byte IPv4 header;
// addresses in host order.
std::string TcpPacket(uint32_t source, uint16_t sourcePort, uint32_t destination, uint16_t destinationPort,
                      uint32_t sequence, uint32_t acknowledgement, uint8_t flags, const std::string& payload);

// An IPv4 header (20 bytes, don't-fragment) put in front of transport bytes,
// with the transport checksum computed again for these addresses.
std::string Ipv4Around(uint8_t protocol, uint32_t source, uint32_t destination, const std::string& transport);

// Recomputes the IPv4 header checksum and the TCP or UDP checksum of a
// whole IPv4 packet in place; other protocols keep theirs.
void FixChecksums(std::string* ipPacket);

}  // namespace replay
