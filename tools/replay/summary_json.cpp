// The summary as one JSON object, with the figures the printed summary
// shows, for checks in scripts (nqwfp replay --summary-json FILE).
#include "tools/replay/log.h"
#include "tools/replay/summary.h"

namespace replay {
namespace {

using Buffer = fmt::memory_buffer;

void Flows(Buffer& b, const char* name, const Summary::FlowCounts& f) {
  fmt::format_to(fmt::appender(b),
                 "\"{}\":{{\"connects\":{},\"accepts\":{},\"permitted\":{},\"pendedPermitted\":{},\"blocked\":{},"
                 "\"pendedBlocked\":{},\"midStream\":{}}}",
                 name, f.connects, f.accepts, f.permitted, f.pendedPermitted, f.blocked, f.pendedBlocked, f.midStream);
}

void BytesTable(Buffer& b, const char* name, const std::map<std::pair<std::string, std::string>, Summary::Bytes>& t) {
  fmt::format_to(fmt::appender(b), "\"{}\":[", name);
  const char* comma = "";
  for (const auto& [key, row] : t) {
    fmt::format_to(fmt::appender(b), "{}{{\"process\":", comma);
    AppendJsonString(b, key.first);
    fmt::format_to(fmt::appender(b), ",\"remote\":");
    AppendJsonString(b, key.second);
    fmt::format_to(fmt::appender(b), ",\"sent\":{},\"heldBack\":{},\"received\":{}}}", row.sent, row.heldBack,
                   row.received);
    comma = ",";
  }
  b.push_back(']');
}

void Http(Buffer& b, const std::map<std::string, Summary::HttpCounts>& http) {
  fmt::format_to(fmt::appender(b), "\"http\":[");
  const char* comma = "";
  for (const auto& [host, h] : http) {
    fmt::format_to(fmt::appender(b), "{}{{\"host\":", comma);
    AppendJsonString(b, host);
    fmt::format_to(fmt::appender(b),
                   ",\"requests\":{},\"urlReply\":{},\"primary\":{},\"secondary\":{},\"exempt\":{},\"reported\":{},"
                   "\"notReported\":{},\"hostFromRequest\":{}}}",
                   h.requests, h.urlReplies, h.primary, h.secondary, h.exempted, h.reported, h.notReported,
                   h.hostFromRequest);
    comma = ",";
  }
  b.push_back(']');
}

}  // namespace

std::string Summary::Json() const {
  Buffer b;
  auto out = fmt::appender(b);
  fmt::format_to(out, "{{\"packets\":{{\"read\":{},\"replayed\":{},\"skipped\":{},\"notDelivered\":{},\"skippedBy\":{{",
                 read, replayed, Skipped(), NotDelivered());
  const char* comma = "";
  for (int i = 1; i < static_cast<int>(Skip::kCount); ++i) {
    if (skipped[i] == 0) continue;
    fmt::format_to(out, "{}\"{}\":{}", comma, SkipName(static_cast<Skip>(i)), skipped[i]);
    comma = ",";
  }
  fmt::format_to(out, "}},\"notDeliveredBy\":{{\"flowBlocked\":{},\"droppedByClient\":{},\"answeredByClient\":{}}}}},",
                 blockedFlowPackets, droppedByClient, answeredFlowPackets);
  b.append(std::string_view("\"flows\":{"));
  Flows(b, "tcp", tcp);
  b.push_back(',');
  Flows(b, "udp", udp);
  fmt::format_to(out, "}},\"pendedDecisions\":{{\"total\":{},\"permitted\":{},\"blocked\":{}}},", pended,
                 pendedPermitted, pendedBlocked);
  const StreamCounts& s = stream;
  fmt::format_to(out,
                 "\"stream\":{{\"indications\":{},\"toCallout\":{},\"blocked\":{},\"dropped\":{},\"replaced\":{},"
                 "\"answeredFlows\":{},\"injections\":{},\"retransmittedSegments\":{},\"retransmittedBytes\":{},"
                 "\"gaps\":{},\"gapBytes\":{},\"indicatedAgain\":{}}},",
                 s.indications, s.classified, s.dropped + s.replaced + s.answeredFlows, s.dropped, s.replaced,
                 s.answeredFlows, s.injections, s.retransmitted, s.retransmittedBytes, s.gaps, s.gapBytes,
                 s.indicatedAgain);
  fmt::format_to(out, "\"injectionsNotLogged\":{},\"bytes\":{{", injectionsNotLogged);
  BytesTable(b, "datagram", bytes);
  b.push_back(',');
  BytesTable(b, "stream", tcpBytes);
  b.append(std::string_view("},"));
  Http(b, http);
  fmt::format_to(out, ",\"heldAtMost\":{{\"flows\":{},\"endedFlows\":{},\"sockets\":{}}},\"classifies\":{},"
                 "\"flowsDeleted\":{},\"seconds\":{:.3f},\"packetsPerSecond\":",
                 peak.flows, peak.endedFlows, peak.sockets, classifies, flowsDeleted, seconds);
  double rate = PacketsPerSecond();
  if (rate < 0)
    b.append(std::string_view("null"));
  else
    fmt::format_to(out, "{:.0f}", rate);
  b.append(std::string_view("}\n"));
  return fmt::to_string(b);
}

}  // namespace replay
