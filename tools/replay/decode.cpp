#include "tools/replay/decode.h"

#include <pcap/dlt.h>

#include <cstdio>

namespace replay {
namespace {

uint16_t Be16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
uint32_t Be32(const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }

constexpr uint16_t kEtherIpv4 = 0x0800, kEtherIpv6 = 0x86DD;

// What the link layer carries: an ether type (or a stand-in for BSD
// address families), and where the network packet starts.
struct LinkPayload {
  Skip skip = Skip::kNone;
  uint16_t etherType = 0;
  size_t offset = 0;
};

LinkPayload Unwrap(int linkType, const uint8_t* f, size_t n) {
  LinkPayload out;
  switch (linkType) {
    case DLT_EN10MB: {
      if (n < 14) return {Skip::kTruncated};
      size_t at = 12;
      uint16_t type = Be16(f + at);
      for (int tags = 0; (type == 0x8100 || type == 0x88A8 || type == 0x9100) && tags < 2; ++tags) {
        at += 4;
        if (n < at + 2) return {Skip::kTruncated};
        type = Be16(f + at);
      }
      out.etherType = type;
      out.offset = at + 2;
      return out;
    }
    case DLT_LINUX_SLL:
      if (n < 16) return {Skip::kTruncated};
      out.etherType = Be16(f + 14);
      out.offset = 16;
      return out;
    case DLT_LINUX_SLL2:
      if (n < 20) return {Skip::kTruncated};
      out.etherType = Be16(f);
      out.offset = 20;
      return out;
    case DLT_NULL:
    case DLT_LOOP: {
      if (n < 4) return {Skip::kTruncated};
      // DLT_NULL is in the capturing host's byte order, DLT_LOOP in network order.
      uint32_t family = Be32(f);
      if (linkType == DLT_NULL && (family & 0xFFFF) == 0) family = __builtin_bswap32(family);
      out.offset = 4;
      if (family == 2)
        out.etherType = kEtherIpv4;
      else if (family == 24 || family == 28 || family == 30 || family == 10)
        out.etherType = kEtherIpv6;
      return out;
    }
    default: {  // raw IP: the version tells
      if (n < 1) return {Skip::kTruncated};
      unsigned version = f[0] >> 4;
      out.etherType = version == 4 ? kEtherIpv4 : version == 6 ? kEtherIpv6 : 0;
      return out;
    }
  }
}

}  // namespace

const char* SkipName(Skip skip) {
  switch (skip) {
    case Skip::kNone: return "none";
    case Skip::kNotIp: return "not IP";
    case Skip::kIpv6: return "IPv6";
    case Skip::kFragment: return "IP fragment";
    case Skip::kTruncated: return "truncated";
    case Skip::kMalformed: return "malformed header";
    case Skip::kNotLocal: return "not to or from the local address";
    case Skip::kLocalToLocal: return "local address on both ends";
    case Skip::kOutboundOther: return "sent, neither TCP nor UDP";
    case Skip::kCount: break;
  }
  return "?";
}

Skip DecodeFrame(int linkType, const uint8_t* frame, size_t capturedLength, size_t wireLength, Packet* packet) {
  *packet = Packet{};
  LinkPayload link = Unwrap(linkType, frame, capturedLength);
  if (link.skip != Skip::kNone) return link.skip;
  if (link.etherType == kEtherIpv6) return Skip::kIpv6;
  if (link.etherType != kEtherIpv4) return Skip::kNotIp;

  const uint8_t* ip = frame + link.offset;
  size_t captured = capturedLength - link.offset;
  // Bytes the packet had on the wire past the link header, when the capture cut it.
  bool cut = wireLength > capturedLength;
  if (captured < 20) return cut || captured == 0 ? Skip::kTruncated : Skip::kMalformed;
  if ((ip[0] >> 4) != 4) return Skip::kMalformed;
  size_t headerLength = size_t(ip[0] & 0x0F) * 4;
  size_t total = Be16(ip + 2);
  if (headerLength < 20 || total < headerLength) return Skip::kMalformed;
  if (captured < total) return cut ? Skip::kTruncated : Skip::kMalformed;
  uint16_t fragment = Be16(ip + 6);
  if ((fragment & 0x2000) != 0 || (fragment & 0x1FFF) != 0) return Skip::kFragment;

  packet->ip = ip;
  packet->ipLength = total;  // link padding beyond the IP length is dropped
  packet->ipHeaderLength = headerLength;
  packet->protocol = ip[9];
  packet->source = Be32(ip + 12);
  packet->destination = Be32(ip + 16);

  const uint8_t* t = ip + headerLength;
  size_t tlen = total - headerLength;
  if (packet->IsTcp()) {
    if (tlen < 20) return Skip::kMalformed;
    size_t offset = size_t(t[12] >> 4) * 4;
    if (offset < 20 || offset > tlen) return Skip::kMalformed;
    packet->transportHeaderLength = offset;
    packet->tcpFlags = t[13];
    packet->tcpSequence = Be32(t + 4);
  } else if (packet->IsUdp()) {
    if (tlen < 8) return Skip::kMalformed;
    size_t length = Be16(t + 4);
    if (length < 8 || length > tlen) return Skip::kMalformed;
    packet->ipLength = headerLength + length;  // bytes past the UDP length are not the datagram's
    packet->transportHeaderLength = 8;
  } else {
    return Skip::kNone;
  }
  packet->sourcePort = Be16(t);
  packet->destinationPort = Be16(t + 2);
  return Skip::kNone;
}

std::string Dotted(uint32_t a) {
  char text[16];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", a >> 24, (a >> 16) & 0xFF, (a >> 8) & 0xFF, a & 0xFF);
  return text;
}

bool ParseIpv4(const std::string& text, uint32_t* out) {
  unsigned a, b, c, d;
  char tail;
  if (std::sscanf(text.c_str(), "%3u.%3u.%3u.%3u%c", &a, &b, &c, &d, &tail) != 4) return false;
  if (a > 255 || b > 255 || c > 255 || d > 255) return false;
  *out = a << 24 | b << 16 | c << 8 | d;
  return true;
}

}  // namespace replay
