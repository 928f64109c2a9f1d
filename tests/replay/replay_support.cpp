#include "tests/replay/replay_support.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

namespace nqtest {
namespace {

void Put16(std::string& s, uint16_t v) { s += char(v >> 8), s += char(v); }
void Put32(std::string& s, uint32_t v) { Put16(s, uint16_t(v >> 16)), Put16(s, uint16_t(v)); }
void Le16(std::string& s, uint16_t v) { s += char(v), s += char(v >> 8); }
void Le32(std::string& s, uint32_t v) { Le16(s, uint16_t(v)), Le16(s, uint16_t(v >> 16)); }

uint32_t Addr(const char* dotted) {
  unsigned a = 0, b = 0, c = 0, d = 0;
  std::sscanf(dotted, "%u.%u.%u.%u", &a, &b, &c, &d);
  return a << 24 | b << 16 | c << 8 | d;
}

uint32_t Native32(const std::string& s, size_t at) {
  uint32_t v;
  std::memcpy(&v, s.data() + at, 4);
  return v;
}
uint16_t Native16(const std::string& s, size_t at) {
  uint16_t v;
  std::memcpy(&v, s.data() + at, 2);
  return v;
}

// The IP packet inside an Ethernet frame built by EthernetFrame.
std::string IpOf(const std::string& frame) { return frame.substr(14); }

}  // namespace

std::string Ipv4Packet(uint8_t protocol, const char* from, const char* to, const std::string& transport,
                       uint16_t fragment) {
  std::string h;
  h += char(0x45), h += char(0);
  Put16(h, uint16_t(20 + transport.size()));
  Put16(h, 0x1234);
  Put16(h, fragment);
  h += char(64), h += char(protocol);
  Put16(h, 0);
  Put32(h, Addr(from));
  Put32(h, Addr(to));
  return h + transport;
}

std::string TcpSegment(uint16_t fromPort, uint16_t toPort, uint8_t flags, const std::string& payload,
                       uint32_t sequence) {
  std::string t;
  Put16(t, fromPort), Put16(t, toPort);
  Put32(t, sequence), Put32(t, (flags & kAck) ? 2000 : 0);
  t += char(5 << 4), t += char(flags);
  Put16(t, 65535), Put16(t, 0), Put16(t, 0);
  return t + payload;
}

std::string UdpDatagram(uint16_t fromPort, uint16_t toPort, const std::string& payload) {
  std::string u;
  Put16(u, fromPort), Put16(u, toPort), Put16(u, uint16_t(8 + payload.size())), Put16(u, 0);
  return u + payload;
}

std::string EthernetFrame(const std::string& ipPacket, uint16_t etherType) {
  std::string f = std::string("\x02\x00\x00\x00\x00\x02\x02\x00\x00\x00\x00\x01", 12);
  Put16(f, etherType);
  return f + ipPacket;
}

CaptureBuilder& CaptureBuilder::Frame(const std::string& linkFrame, size_t wireLength) {
  records.push_back({now_, linkFrame, wireLength == 0 ? linkFrame.size() : wireLength});
  now_ += 1000;
  return *this;
}

CaptureBuilder& CaptureBuilder::Ip(const std::string& ipPacket) { return Frame(EthernetFrame(ipPacket)); }

uint32_t& CaptureBuilder::NextSequence(const char* from, uint16_t fromPort, const char* to, uint16_t toPort) {
  std::string key = std::string(from) + ":" + std::to_string(fromPort) + ">" + to + ":" + std::to_string(toPort);
  return next_.emplace(key, 1000u).first->second;
}

CaptureBuilder& CaptureBuilder::Tcp(const char* from, uint16_t fromPort, const char* to, uint16_t toPort,
                                    uint8_t flags, const std::string& payload) {
  uint32_t& next = NextSequence(from, fromPort, to, toPort);
  uint32_t sequence = next;
  next += static_cast<uint32_t>(payload.size()) + ((flags & kSyn) ? 1 : 0) + ((flags & kFin) ? 1 : 0);
  return Ip(Ipv4Packet(6, from, to, TcpSegment(fromPort, toPort, flags, payload, sequence)));
}

CaptureBuilder& CaptureBuilder::Shift(const char* from, uint16_t fromPort, const char* to, uint16_t toPort,
                                      int32_t bytes) {
  NextSequence(from, fromPort, to, toPort) += static_cast<uint32_t>(bytes);
  return *this;
}

CaptureBuilder& CaptureBuilder::Udp(const char* from, uint16_t fromPort, const char* to, uint16_t toPort,
                                    const std::string& payload) {
  return Ip(Ipv4Packet(17, from, to, UdpDatagram(fromPort, toPort, payload)));
}

CaptureBuilder& CaptureBuilder::Advance(double seconds) {
  now_ += static_cast<int64_t>(seconds * 1e6);
  return *this;
}

std::string CaptureBuilder::Pcap(int linkType) const {
  std::string out;
  Le32(out, 0xA1B2C3D4), Le16(out, 2), Le16(out, 4), Le32(out, 0), Le32(out, 0), Le32(out, 65535);
  Le32(out, uint32_t(linkType));
  for (const Record& r : records) {
    std::string frame = r.bytes;
    if (linkType != 1) {
      std::string ip = IpOf(frame);
      uint16_t type = uint16_t(uint8_t(frame[12]) << 8 | uint8_t(frame[13]));
      if (linkType == 113) {  // Linux cooked v1: packet type, ARPHRD, address length, address, protocol
        frame.clear();
        Put16(frame, 0), Put16(frame, 1), Put16(frame, 6);
        frame += std::string(8, '\0');
        Put16(frame, type);
      } else if (linkType == 276) {  // Linux cooked v2: protocol, reserved, interface, ARPHRD, type, address
        frame.clear();
        Put16(frame, type), Put16(frame, 0), Put32(frame, 2), Put16(frame, 1);
        frame += char(0), frame += char(6);
        frame += std::string(8, '\0');
      } else if (linkType == 0) {  // BSD loopback: address family in the writer's byte order
        frame.clear();
        Le32(frame, type == 0x86DD ? 24 : 2);
      } else {  // raw IP
        frame.clear();
      }
      frame += ip;
    }
    size_t wire = r.wireLength - r.bytes.size() + frame.size();
    Le32(out, uint32_t(r.micros / 1000000)), Le32(out, uint32_t(r.micros % 1000000));
    Le32(out, uint32_t(frame.size())), Le32(out, uint32_t(wire));
    out += frame;
  }
  return out;
}

std::string CaptureBuilder::Pcapng() const {
  auto block = [](uint32_t type, const std::string& body) {
    std::string b;
    std::string padded = body + std::string((4 - body.size() % 4) % 4, '\0');
    Le32(b, type), Le32(b, uint32_t(12 + padded.size()));
    b += padded;
    Le32(b, uint32_t(12 + padded.size()));
    return b;
  };
  std::string shb;
  Le32(shb, 0x1A2B3C4D), Le16(shb, 1), Le16(shb, 0), Le32(shb, 0xFFFFFFFF), Le32(shb, 0xFFFFFFFF);
  std::string idb;
  Le16(idb, 1), Le16(idb, 0), Le32(idb, 65535);
  std::string out = block(0x0A0D0D0A, shb) + block(1, idb);
  for (const Record& r : records) {
    std::string epb;
    Le32(epb, 0), Le32(epb, uint32_t(uint64_t(r.micros) >> 32)), Le32(epb, uint32_t(r.micros));
    Le32(epb, uint32_t(r.bytes.size())), Le32(epb, uint32_t(r.wireLength));
    out += block(6, epb + r.bytes);
  }
  return out;
}

// A small reader for the flat objects the log writes (one level of nesting).
std::vector<LogLine> ParseLog(const std::string& text) {
  std::vector<LogLine> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    LogLine out;
    size_t i = 0;
    std::string prefix;
    auto word = [&](std::string* w) {  // a quoted string at i
      if (i >= line.size() || line[i] != '"') return false;
      ++i;
      w->clear();
      while (i < line.size() && line[i] != '"') {
        if (line[i] == '\\' && i + 1 < line.size()) ++i;
        *w += line[i++];
      }
      ++i;
      return true;
    };
    if (line.empty() || line[i++] != '{') {
      ADD_FAILURE() << "not a JSON object: " << line;
      continue;
    }
    while (i < line.size()) {
      if (line[i] == ',') { ++i; continue; }
      if (line[i] == '}') { ++i; prefix.clear(); continue; }
      std::string key, value;
      if (!word(&key) || i >= line.size() || line[i++] != ':') {
        ADD_FAILURE() << "bad log line: " << line;
        break;
      }
      if (line[i] == '{') {
        prefix = key + ".";
        ++i;
        continue;
      }
      if (line[i] == '"') {
        word(&value);
      } else {
        while (i < line.size() && line[i] != ',' && line[i] != '}') value += line[i++];
      }
      out[prefix + key] = value;
    }
    lines.push_back(out);
  }
  return lines;
}

uint64_t NetValue(const std::string& dotted) {
  return __builtin_bswap32(Addr(dotted.c_str()));  // the first octet in the lowest byte
}

std::string ReplayTest::WriteFile(const std::string& name, const std::string& bytes) {
  std::string path = "/tmp/nqwfp-replay-test-" + std::to_string(getpid()) + "-" + name;
  std::ofstream(path, std::ios::binary) << bytes;
  files_.push_back(path);
  return path;
}

void ReplayTest::TearDown() {
  for (const std::string& f : files_) std::remove(f.c_str());
  MachineTest::TearDown();
}

std::vector<WrittenPacket> ReadPcapng(const std::string& path, std::string* application) {
  std::ifstream in(path, std::ios::binary);
  std::string f((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<WrittenPacket> packets;
  std::vector<uint16_t> interfaces;
  size_t at = 0;
  EXPECT_GE(f.size(), 28u) << path;
  EXPECT_EQ(Native32(f, 0), 0x0A0D0D0Au) << "a section header first";
  while (at + 12 <= f.size()) {
    uint32_t type = Native32(f, at), length = Native32(f, at + 4);
    EXPECT_TRUE(length % 4 == 0 && length >= 12 && at + length <= f.size()) << "block at " << at;
    if (!(length % 4 == 0 && length >= 12 && at + length <= f.size())) break;
    EXPECT_EQ(Native32(f, at + length - 4), length) << "trailing length at " << at;
    std::string body = f.substr(at + 8, length - 12);
    size_t options = 0;
    if (type == 0x0A0D0D0A) {
      EXPECT_EQ(Native32(body, 0), 0x1A2B3C4Du);
      options = 16;
    } else if (type == 1) {
      interfaces.push_back(Native16(body, 0));
      options = 8;
    } else if (type == 6) {
      uint32_t interface = Native32(body, 0), captured = Native32(body, 12);
      EXPECT_LT(interface, interfaces.size()) << "an interface described before";
      packets.push_back({interface, uint64_t(Native32(body, 4)) << 32 | Native32(body, 8), body.substr(20, captured),
                         "", interface < interfaces.size() ? interfaces[interface] : uint16_t(0)});
      options = 20 + (captured + 3) / 4 * 4;
    }
    // Options: code, length, value padded to 32 bits, up to the end marker.
    while (options + 4 <= body.size() && Native16(body, options) != 0) {
      uint16_t code = Native16(body, options), size = Native16(body, options + 2);
      std::string value = body.substr(options + 4, size);
      if (type == 6 && code == 1) packets.back().comment = value;
      if (type == 0x0A0D0D0A && code == 4 && application != nullptr) *application = value;
      options += 4 + (size + 3u) / 4 * 4;
    }
    at += length;
  }
  EXPECT_EQ(at, f.size()) << "no bytes after the last whole block";
  return packets;
}

replay::ReplayResult ReplayTest::Replay(const std::string& captureBytes, const std::string& policy,
                                        const char* local) {
  replay::ReplayOptions options;
  options.capture = WriteFile("capture", captureBytes);
  if (!policy.empty()) options.policy = WriteFile("policy", policy);
  if (local != nullptr) {
    options.haveLocal = true;
    options.localAddress = Addr(local);
  }
  std::ostringstream out;
  options.logStream = &out;
  options.progress = 0;
  options.mdlSplit = mdlSplit;
  options.keepClientCalls = keepClientCalls;
  options.write = write;
  options.writePassed = writePassed;
  options.summaryJson = summaryJson;
  replay::ReplayResult r = replay::Replay(options);
  log = ParseLog(out.str());
  return r;
}

std::vector<std::string> ReplayTest::Steps(bool withInbound) const {
  std::vector<std::string> steps;
  for (const LogLine& l : log) {
    if (l.count("classify")) {
      if (!withInbound && l.at("classify") == "INBOUND_IPPACKET_V4") continue;
      std::string s = l.at("classify") + " " + l.at("action");
      if (l.count("absorb") && l.at("absorb") == "true") s += " absorb";
      if (l.count("reauthorize") && l.at("reauthorize") == "true") s += " reauthorize";
      steps.push_back(s);
    } else if (l.count("call")) {
      if (!withInbound && l.at("call") == "InspectInboundPacket") continue;
      steps.push_back(l.at("call"));
    } else if (l.count("lookup")) {
      steps.push_back("lookup " + l.at("lookup"));
    } else if (l.count("injection")) {
      steps.push_back("injection " + l.at("injection"));
    }
  }
  return steps;
}

std::vector<LogLine> ReplayTest::Lines(const std::string& key, const std::string& value) const {
  std::vector<LogLine> out;
  for (const LogLine& l : log)
    if (l.count(key) && l.at(key) == value) out.push_back(l);
  return out;
}

}  // namespace nqtest
