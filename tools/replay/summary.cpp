#include "tools/replay/summary.h"

namespace replay {

uint64_t Summary::Skipped() const {
  uint64_t n = 0;
  for (uint64_t s : skipped) n += s;
  return n;
}

namespace {
constexpr const char* kOthers = "(others)";
// A run shorter than this measures start-up more than packets: no rate.
constexpr double kRateSeconds = 0.25;
}  // namespace

Summary::Bytes& Summary::BytesRow(std::map<std::pair<std::string, std::string>, Bytes>& table,
                                  const std::string& process, const std::string& remote) {
  auto it = table.find({process, remote});
  if (it != table.end()) return it->second;
  return table[{process, table.size() < kRows ? remote : kOthers}];
}

Summary::HttpCounts& Summary::HttpRow(const std::string& host) {
  auto it = http.find(host);
  if (it != http.end()) return it->second;
  return http[http.size() < kRows ? host : kOthers];
}

void Summary::FlowOpened(int protocol, bool outbound, bool blocked, bool wasPended, bool midStream) {
  FlowCounts& f = protocol == 6 ? tcp : udp;
  (outbound ? f.connects : f.accepts) += 1;
  (blocked ? f.blocked : f.permitted) += 1;
  if (wasPended) ++(blocked ? f.pendedBlocked : f.pendedPermitted);
  if (midStream) ++f.midStream;
}

void Summary::StreamSentUnderWay(Bytes& row, uint64_t length) {
  row.sent += length;
  streamSentUnderWay_.emplace_back(&row, length);
}

void Summary::StreamSegmentDone(bool heldBack) {
  for (auto& [row, length] : streamSentUnderWay_)
    if (heldBack) {
      row->sent -= length;
      row->heldBack += length;
    }
  streamSentUnderWay_.clear();
}

void Summary::CountHttp(const std::string& host, const char* outcome, bool hostFromRequest) {
  HttpCounts& h = HttpRow(host);
  ++h.requests;
  if (hostFromRequest) ++h.hostFromRequest;
  const std::string o = outcome;
  ++(o == "url-reply" ? h.urlReplies : o == "primary" ? h.primary : o == "secondary" ? h.secondary
     : o == "exempt" ? h.exempted : o == "reported" ? h.reported : h.notReported);
}

double Summary::PacketsPerSecond() const {
  return seconds >= kRateSeconds ? static_cast<double>(read) / seconds : -1;
}

void Summary::PrintStream(FILE* out) const {
  const StreamCounts& s = stream;
  std::fprintf(out, "stream indications: %llu (%llu to the callout), %llu blocked: %llu dropped, %llu replaced by "
               "injected data, %llu answered by the client (ending the flow); %llu stream injections\n",
               (unsigned long long)s.indications, (unsigned long long)s.classified,
               (unsigned long long)(s.dropped + s.replaced + s.answeredFlows), (unsigned long long)s.dropped,
               (unsigned long long)s.replaced, (unsigned long long)s.answeredFlows, (unsigned long long)s.injections);
  if (s.retransmitted != 0)
    std::fprintf(out, "  retransmitted, not indicated again: %llu segments, %llu bytes\n",
                 (unsigned long long)s.retransmitted, (unsigned long long)s.retransmittedBytes);
  if (s.gaps != 0)
    std::fprintf(out, "  missing from the capture: %llu gaps, %llu bytes\n", (unsigned long long)s.gaps,
                 (unsigned long long)s.gapBytes);
  if (s.indicatedAgain != 0)
    std::fprintf(out, "  indicated again after a verdict on their leading bytes: %llu\n",
                 (unsigned long long)s.indicatedAgain);
}

void Summary::PrintBytes(FILE* out, const char* what, const std::map<std::pair<std::string, std::string>, Bytes>& counts) {
  if (counts.empty()) {
    std::fprintf(out, "%s bytes reported: none\n", what);
    return;
  }
  std::fprintf(out, "%s bytes reported, by process and remote endpoint (sent: went on to the remote end; held back: "
               "in segments the driver blocked):\n", what);
  for (const auto& [key, b] : counts)
    std::fprintf(out, "  %-24s %-21s sent %8llu  held back %8llu  received %8llu\n", key.first.c_str(),
                 key.second.c_str(), (unsigned long long)b.sent, (unsigned long long)b.heldBack,
                 (unsigned long long)b.received);
}

void Summary::PrintHttp(FILE* out) const {
  if (http.empty()) return;
  std::fprintf(out, "HTTP requests the driver processed, by host:\n");
  bool fromRequest = false;
  for (const auto& [host, h] : http) {
    fromRequest = fromRequest || h.hostFromRequest != 0;
    std::fprintf(out, "  %-24s %llu: answered by the client %llu (%llu URL reply%s, %llu primary, %llu secondary), "
                 "exempted %llu, reported %llu, not reported %llu\n",
                 host.c_str(), (unsigned long long)h.requests,
                 (unsigned long long)(h.urlReplies + h.primary + h.secondary), (unsigned long long)h.urlReplies,
                 h.hostFromRequest != 0 ? "*" : "", (unsigned long long)h.primary, (unsigned long long)h.secondary,
                 (unsigned long long)h.exempted, (unsigned long long)h.reported, (unsigned long long)h.notReported);
  }
  std::fprintf(out, "  answered: the client's reply went to the application and the request never reached the "
               "server; exempted, reported, not reported: the request went on to the server, after a yes the "
               "exemption check took back, told to the client (ReportHttpRequest), or untold (a listed URL met "
               "when the flow could no longer be answered)\n");
  if (fromRequest)
    std::fprintf(out, "  * host read in the request's bytes: the client was asked for the URL alone "
                 "(GetUrlReply) and never saw this host\n");
}

void Summary::Print(FILE* out) const {
  std::fprintf(out, "packets: %llu read, %llu replayed, %llu skipped, %llu not delivered\n",
               (unsigned long long)read, (unsigned long long)replayed, (unsigned long long)Skipped(),
               (unsigned long long)NotDelivered());
  for (int i = 1; i < static_cast<int>(Skip::kCount); ++i)
    if (skipped[i] != 0) std::fprintf(out, "  skipped, %s: %llu\n", SkipName(static_cast<Skip>(i)), (unsigned long long)skipped[i]);
  if (blockedFlowPackets != 0)
    std::fprintf(out, "  not delivered, flow blocked: %llu\n", (unsigned long long)blockedFlowPackets);
  if (droppedByClient != 0)
    std::fprintf(out, "  not delivered, dropped by the client: %llu\n", (unsigned long long)droppedByClient);
  if (answeredFlowPackets != 0)
    std::fprintf(out, "  not delivered, answered by the client: %llu\n", (unsigned long long)answeredFlowPackets);

  auto flows = [out](const char* name, const FlowCounts& f) {
    std::fprintf(out, "flows %s: %llu (%llu connect, %llu accept): %llu permitted", name,
                 (unsigned long long)(f.connects + f.accepts), (unsigned long long)f.connects,
                 (unsigned long long)f.accepts, (unsigned long long)f.permitted);
    if (f.pendedPermitted != 0) std::fprintf(out, " (%llu of them pended)", (unsigned long long)f.pendedPermitted);
    std::fprintf(out, ", %llu blocked", (unsigned long long)f.blocked);
    if (f.pendedBlocked != 0) std::fprintf(out, " (%llu of them pended)", (unsigned long long)f.pendedBlocked);
    if (f.midStream != 0) std::fprintf(out, "; %llu picked up mid-stream", (unsigned long long)f.midStream);
    std::fprintf(out, "\n");
  };
  flows("tcp", tcp);
  flows("udp", udp);
  std::fprintf(out, "pended decisions (DecidePended): %llu (%llu permitted, %llu blocked)\n", (unsigned long long)pended,
               (unsigned long long)pendedPermitted, (unsigned long long)pendedBlocked);

  PrintStream(out);
  if (injectionsNotLogged != 0)
    std::fprintf(out, "injections the host forgot before the replay read them (not logged): %llu\n",
                 (unsigned long long)injectionsNotLogged);
  PrintBytes(out, "datagram", bytes);
  PrintBytes(out, "stream", tcpBytes);
  PrintHttp(out);
  std::fprintf(out, "held at most: %llu live flows, %llu ended TCP flows, %llu sockets\n",
               (unsigned long long)peak.flows, (unsigned long long)peak.endedFlows, (unsigned long long)peak.sockets);
  std::fprintf(out, "classify calls: %llu\n", (unsigned long long)classifies);
  double rate = PacketsPerSecond();
  if (rate < 0)
    std::fprintf(out, "replay time: %.3f s, too short to measure a rate\n", seconds);
  else
    std::fprintf(out, "replay time: %.3f s, %.0f packets per second\n", seconds, rate);
}

}  // namespace replay
