#include "tools/replay/packet_build.h"

namespace replay {
namespace {

void Put16(std::string& s, size_t at, uint16_t v) {
  s[at] = static_cast<char>(v >> 8);
  s[at + 1] = static_cast<char>(v);
}

void Put32(std::string& s, size_t at, uint32_t v) {
  Put16(s, at, static_cast<uint16_t>(v >> 16));
  Put16(s, at + 2, static_cast<uint16_t>(v));
}

uint32_t Sum(const std::string& s, size_t from, size_t to, uint32_t sum = 0) {
  for (size_t i = from; i < to; i += 2) {
    uint32_t high = static_cast<uint8_t>(s[i]);
    uint32_t low = i + 1 < to ? static_cast<uint8_t>(s[i + 1]) : 0;
    sum += high << 8 | low;
  }
  return sum;
}

uint16_t Fold(uint32_t sum) {
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(~sum);
}

}  // namespace

void FixChecksums(std::string* ip) {
  std::string& p = *ip;
  if (p.size() < 20 || (static_cast<uint8_t>(p[0]) >> 4) != 4) return;
  size_t headerLength = (static_cast<uint8_t>(p[0]) & 15u) * 4u;
  if (headerLength < 20 || headerLength > p.size()) return;
  Put16(p, 10, 0);
  Put16(p, 10, Fold(Sum(p, 0, headerLength)));

  uint8_t protocol = static_cast<uint8_t>(p[9]);
  size_t length = p.size() - headerLength;
  size_t at = protocol == 6 ? 16 : protocol == 17 ? 6 : 0;
  if (at == 0 || length < at + 2) return;
  Put16(p, headerLength + at, 0);
  // The pseudo-header: both addresses, the protocol and the transport length.
  uint32_t sum = Sum(p, 12, 20);
  sum += protocol;
  sum += static_cast<uint32_t>(length);
  uint16_t checksum = Fold(Sum(p, headerLength, p.size(), sum));
  if (protocol == 17 && checksum == 0) checksum = 0xFFFF;  // 0 means none for UDP
  Put16(p, headerLength + at, checksum);
}

std::string Ipv4Around(uint8_t protocol, uint32_t source, uint32_t destination, const std::string& transport) {
  std::string p(20, '\0');
  p[0] = 0x45;
  Put16(p, 2, static_cast<uint16_t>(20 + transport.size()));
  Put16(p, 6, 0x4000);  // don't fragment
  p[8] = 64;            // time to live
  p[9] = static_cast<char>(protocol);
  Put32(p, 12, source);
  Put32(p, 16, destination);
  p += transport;
  FixChecksums(&p);
  return p;
}

std::string TcpPacket(uint32_t source, uint16_t sourcePort, uint32_t destination, uint16_t destinationPort,
                      uint32_t sequence, uint32_t acknowledgement, uint8_t flags, const std::string& payload) {
  std::string tcp(20, '\0');
  Put16(tcp, 0, sourcePort);
  Put16(tcp, 2, destinationPort);
  Put32(tcp, 4, sequence);
  Put32(tcp, 8, acknowledgement);
  tcp[12] = 5 << 4;  // header length in 32-bit words
  tcp[13] = static_cast<char>(flags);
  Put16(tcp, 14, 65535);  // window
  tcp += payload;
  return Ipv4Around(6, source, destination, tcp);
}

}  // namespace replay
