// Which host a capture was taken on: the local address of a replay.
#include "tools/replay/capture.h"
#include "tools/replay/decode.h"
#include "tools/replay/replay.h"

#include <pcap/dlt.h>

#include <algorithm>
#include <map>
#include <set>
#include <tuple>

namespace replay {
namespace {

bool Unusable(uint32_t a) { return a == 0 || a == 0xFFFFFFFFu || (a >> 28) == 0xE; }

// Linux cooked captures say whether the host sent a packet (type 4, outgoing).
bool MarkedOutgoing(int linkType, const Frame& f) {
  if (linkType == DLT_LINUX_SLL && f.capturedLength >= 2) return (f.data[0] << 8 | f.data[1]) == 4;
  if (linkType == DLT_LINUX_SLL2 && f.capturedLength >= 11) return f.data[10] == 4;
  return false;
}

using Counts = std::map<uint32_t, uint64_t>;

struct AddressCounts {
  Counts packets;   // packets an address sent or received
  Counts opens;     // connections it opened: SYNs sent, UDP conversations begun
  Counts outgoing;  // packets a Linux cooked capture marks as sent by it
  bool damaged = false;
};

uint64_t Of(const Counts& counts, uint32_t address) {
  auto it = counts.find(address);
  return it == counts.end() ? 0 : it->second;
}

bool CountAddresses(const std::string& capture, AddressCounts* counts, std::string* error) {
  CaptureReader reader;
  if (!reader.Open(capture, error)) return false;
  // UDP conversations by their two ends, the lower first.
  std::set<std::tuple<uint32_t, uint16_t, uint32_t, uint16_t>> conversations;
  Frame frame;
  std::string ignored;
  CaptureReader::Result status;
  while ((status = reader.Read(&frame, &ignored)) == CaptureReader::Result::kFrame) {
    Packet p;
    if (DecodeFrame(reader.linkType(), frame.data, frame.capturedLength, frame.wireLength, &p) != Skip::kNone) continue;
    if (Unusable(p.source) || Unusable(p.destination)) continue;
    if (MarkedOutgoing(reader.linkType(), frame)) ++counts->outgoing[p.source];
    ++counts->packets[p.source];
    ++counts->packets[p.destination];
    if (p.IsTcp() && (p.tcpFlags & (kTcpSyn | kTcpAck)) == kTcpSyn) ++counts->opens[p.source];
    if (p.IsUdp()) {
      auto a = std::make_pair(p.source, p.sourcePort), b = std::make_pair(p.destination, p.destinationPort);
      if (b < a) std::swap(a, b);
      if (conversations.emplace(a.first, a.second, b.first, b.second).second) ++counts->opens[p.source];
    }
  }
  counts->damaged = status == CaptureReader::Result::kError;
  return true;
}

// The address with the most packets, on a tie the one that opened the most
// connections; `except` left out.
uint32_t Busiest(const Counts& by, const AddressCounts& counts, uint32_t except) {
  uint32_t chosen = 0;
  for (const auto& [a, n] : by) {
    if (a == except) continue;
    if (chosen == 0 || std::make_pair(n, Of(counts.opens, a)) > std::make_pair(Of(by, chosen), Of(counts.opens, chosen)))
      chosen = a;
  }
  return chosen;
}

}  // namespace

bool ChooseLocalAddress(const std::string& capture, uint32_t* address, std::string* how, std::string* error) {
  AddressCounts counts;
  if (!CountAddresses(capture, &counts, error)) return false;
  if (counts.packets.empty()) {
    *error = "the capture holds no IPv4 packet to take the local address from; give it with --local";
    return false;
  }
  const bool marked = !counts.outgoing.empty();
  uint32_t chosen = *address = Busiest(marked ? counts.outgoing : counts.packets, counts, 0);
  uint32_t other = Busiest(counts.packets, counts, chosen);
  uint64_t packets = Of(counts.packets, chosen), opens = Of(counts.opens, chosen);
  if (marked) {
    *how = "the source of the packets the capture marks as outgoing";
  } else if (other == 0) {
    *how = "the only address in the capture, in " + std::to_string(packets) + " packets";
  } else if (Of(counts.packets, other) < packets) {
    *how = "in the most packets: " + std::to_string(packets) + ", the next " + Dotted(other) + " in " +
           std::to_string(Of(counts.packets, other));
  } else if (Of(counts.opens, other) == opens) {
    *how = "in as many packets as " + Dotted(other) + ", " + std::to_string(packets) +
           ", and opened as many connections, " + std::to_string(opens) + ": the lower address";
  } else {
    *how = "in as many packets as " + Dotted(other) + ", " + std::to_string(packets) + ", and opened more connections: " +
           std::to_string(opens) + " to its " + std::to_string(Of(counts.opens, other));
  }
  if (other != 0) *how += "; --local " + Dotted(other) + " replays that host instead";
  return true;
}

bool CheckLocalAddress(const std::string& capture, uint32_t address, std::string* error) {
  AddressCounts counts;
  if (!CountAddresses(capture, &counts, error)) return false;
  // A damaged capture is the replay's to report, after the packets before the damage.
  if (counts.packets.count(address) != 0 || counts.damaged) return true;
  *error = "--local " + Dotted(address) + " is in no IPv4 packet of the capture";
  *error += counts.packets.empty() ? ", which holds none"
                                   : "; the address in the most packets is " +
                                         Dotted(Busiest(counts.packets, counts, 0));
  return false;
}

}  // namespace replay
