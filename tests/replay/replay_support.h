// Test support for capture replays: captures written byte by byte, replays
// of them with a policy, and the JSON-lines log read back.
#pragma once
#include "tests/support/machine.h"
#include "tools/replay/replay.h"

#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace nqtest {

// Frames of a capture, in order, each with its time stamp.
class CaptureBuilder {
 public:
  struct Record {
    int64_t micros;
    std::string bytes;
    size_t wireLength;  // longer than the bytes when the capture cut the frame
  };

  // IPv4 packets in Ethernet frames; addresses as dotted text.
  // Each direction of a connection numbers its bytes from 1000 on: a SYN
  // and a FIN take one number each, payload its length.
  CaptureBuilder& Tcp(const char* from, uint16_t fromPort, const char* to, uint16_t toPort, uint8_t flags,
                      const std::string& payload = "");
  // Moves a direction's next sequence number: back to send bytes again,
  // forward to leave bytes out of the capture.
  CaptureBuilder& Shift(const char* from, uint16_t fromPort, const char* to, uint16_t toPort, int32_t bytes);
  CaptureBuilder& Udp(const char* from, uint16_t fromPort, const char* to, uint16_t toPort, const std::string& payload);
  CaptureBuilder& Ip(const std::string& ipPacket);  // any IPv4 (or other) packet as the Ethernet payload
  CaptureBuilder& Frame(const std::string& linkFrame, size_t wireLength = 0);
  CaptureBuilder& Advance(double seconds);

  // The packets as the given link type frames them (Ethernet, Linux cooked
  // v1 and v2, raw IP, BSD loopback).
  std::string Pcap(int linkType = 1) const;
  std::string Pcapng() const;  // Ethernet

  std::vector<Record> records;

 private:
  uint32_t& NextSequence(const char* from, uint16_t fromPort, const char* to, uint16_t toPort);
  int64_t now_ = 1700000000ll * 1000000;
  std::map<std::string, uint32_t> next_;
};

// An IPv4 packet: a 20-byte header (protocol, source, destination) and the
// transport bytes; fragment bits as given.
std::string Ipv4Packet(uint8_t protocol, const char* from, const char* to, const std::string& transport,
                       uint16_t fragment = 0);
std::string TcpSegment(uint16_t fromPort, uint16_t toPort, uint8_t flags, const std::string& payload,
                       uint32_t sequence = 1000);
std::string UdpDatagram(uint16_t fromPort, uint16_t toPort, const std::string& payload);
std::string EthernetFrame(const std::string& ipPacket, uint16_t etherType = 0x0800);

// A packet of a pcapng file the replay wrote (--write, --write-passed).
struct WrittenPacket {
  uint32_t interface;
  uint64_t micros;
  std::string data;
  std::string comment;
  uint16_t linkType;  // its interface's
};
// Reads a pcapng file as this machine writes it, failing the test unless
// every block is whole, the section header comes first and every packet
// names an interface described before it.
std::vector<WrittenPacket> ReadPcapng(const std::string& path, std::string* application = nullptr);

// One log line: keys to values as text (strings without quotes), nested
// objects flattened ("data.length").
using LogLine = std::map<std::string, std::string>;
std::vector<LogLine> ParseLog(const std::string& jsonLines);
// Network-order value of an address as a client call carries it.
uint64_t NetValue(const std::string& dotted);

class ReplayTest : public MachineTest {
 protected:
  void TearDown() override;
  // Writes the capture and the policy to files and replays them.
  replay::ReplayResult Replay(const std::string& captureBytes, const std::string& policy = "",
                              const char* local = "10.0.0.2");
  std::string WriteFile(const std::string& name, const std::string& bytes);

  size_t mdlSplit = 0;       // stream data split over two MDLs this far in; 0: one MDL
  bool keepClientCalls = false;  // the stand-in client keeps the replay's calls for Client().Calls()
  std::string write, writePassed;  // pcapng files the replay writes; empty for none
  std::string summaryJson;         // the summary as JSON; empty for none
  std::vector<LogLine> log;  // the last replay's log
  std::vector<std::string> Steps(bool withInbound = false) const;  // "classify LAYER ACTION" and "call SLOT"
  std::vector<LogLine> Lines(const std::string& key, const std::string& value) const;

 private:
  std::vector<std::string> files_;
};

constexpr uint8_t kFin = 0x01, kSyn = 0x02, kRst = 0x04, kPsh = 0x08, kAck = 0x10, kUrg = 0x20;

}  // namespace nqtest
