// Decoding captured frames down to IPv4 TCP and UDP packets.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace replay {

// Why a frame is not replayed. Every skipped frame is counted under one.
enum class Skip {
  kNone,
  kNotIp,          // ARP, LLDP and other non-IP link payloads
  kIpv6,
  kFragment,       // an IPv4 fragment (the stack would reassemble first)
  kTruncated,      // cut short by the capture's snap length
  kMalformed,      // an IPv4, TCP or UDP header that does not hold together
  kNotLocal,       // neither source nor destination is the local address
  kLocalToLocal,   // both are the local address
  kOutboundOther,  // sent by the local host, neither TCP nor UDP
  kCount
};
const char* SkipName(Skip skip);

constexpr uint8_t kTcpFin = 0x01, kTcpSyn = 0x02, kTcpRst = 0x04, kTcpPsh = 0x08, kTcpAck = 0x10, kTcpUrg = 0x20;

// One IPv4 packet of a frame; pointers into the frame.
struct Packet {
  const uint8_t* ip = nullptr;  // the IPv4 header
  size_t ipLength = 0;          // total length (link padding cut off)
  size_t ipHeaderLength = 0;
  uint8_t protocol = 0;
  uint32_t source = 0;          // addresses in host order
  uint32_t destination = 0;
  // TCP and UDP only:
  uint16_t sourcePort = 0;
  uint16_t destinationPort = 0;
  size_t transportHeaderLength = 0;
  uint8_t tcpFlags = 0;
  uint32_t tcpSequence = 0;

  bool IsTcp() const { return protocol == 6; }
  bool IsUdp() const { return protocol == 17; }
  const uint8_t* Transport() const { return ip + ipHeaderLength; }
  size_t TransportLength() const { return ipLength - ipHeaderLength; }
  const uint8_t* Payload() const { return Transport() + transportHeaderLength; }
  size_t PayloadLength() const { return TransportLength() - transportHeaderLength; }
};

// Decodes a frame of a libpcap link type. Fragments, IPv6, damaged and
// cut-short packets come back as a skip; other IP protocols decode with
// only their IPv4 header.
Skip DecodeFrame(int linkType, const uint8_t* frame, size_t capturedLength, size_t wireLength, Packet* packet);

// Dotted text of a host-order IPv4 address, and back (false if not one).
std::string Dotted(uint32_t hostOrder);
bool ParseIpv4(const std::string& text, uint32_t* hostOrder);

}  // namespace replay
