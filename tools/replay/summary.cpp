#include "tools/replay/summary.h"

namespace replay {

uint64_t Summary::Skipped() const {
  uint64_t n = 0;
  for (uint64_t s : skipped) n += s;
  return n;
}

namespace {
constexpr const char* kOthers = "(others)";
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
  if (wasPended) ++f.pended;
  if (midStream) ++f.midStream;
}

void Summary::PrintStream(FILE* out) const {
  const StreamCounts& s = stream;
  std::fprintf(out, "stream indications: %llu (%llu to the callout), %llu dropped, %llu replaced by injected data, "
               "%llu flows answered by the client; %llu stream injections\n",
               (unsigned long long)s.indications, (unsigned long long)s.classified, (unsigned long long)s.dropped,
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
  std::fprintf(out, "%s bytes reported, by process and remote endpoint:\n", what);
  for (const auto& [key, b] : counts)
    std::fprintf(out, "  %-24s %-21s sent %8llu  received %8llu\n", key.first.c_str(), key.second.c_str(),
                 (unsigned long long)b.sent, (unsigned long long)b.received);
}

void Summary::PrintHttp(FILE* out) const {
  if (http.empty()) return;
  std::fprintf(out, "HTTP requests, by host:\n");
  for (const auto& [host, h] : http)
    std::fprintf(out, "  %-24s %llu seen: %llu reported; answered by the client: %llu URL, %llu primary, "
                 "%llu secondary; %llu exempted\n",
                 host.c_str(), (unsigned long long)h.requests, (unsigned long long)h.reported,
                 (unsigned long long)h.urlReplies, (unsigned long long)h.primary, (unsigned long long)h.secondary,
                 (unsigned long long)h.exempted);
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
    std::fprintf(out, "flows %s: %llu (%llu connect, %llu accept): %llu permitted, %llu blocked", name,
                 (unsigned long long)(f.connects + f.accepts), (unsigned long long)f.connects,
                 (unsigned long long)f.accepts, (unsigned long long)f.permitted, (unsigned long long)f.blocked);
    if (f.pended != 0) std::fprintf(out, ", %llu of them pended", (unsigned long long)f.pended);
    if (f.midStream != 0) std::fprintf(out, "; %llu picked up mid-stream", (unsigned long long)f.midStream);
    std::fprintf(out, "\n");
  };
  flows("tcp", tcp);
  flows("udp", udp);
  std::fprintf(out, "pended decisions: %llu (%llu permitted, %llu blocked)\n", (unsigned long long)pended,
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
  double rate = seconds > 0 ? static_cast<double>(read) / seconds : 0;
  std::fprintf(out, "classify calls: %llu; %.3f s, %.0f packets per second\n", (unsigned long long)classifies,
               seconds, rate);
}

void HttpTally::OnCall(const client::Call& c, const std::string& remote) {
  const client::Arg* host = c.Find("host");
  if (c.slot == "GetUrlReply") {
    Close();
    open_ = true;
    remote_ = remote;
    counts_ = Summary::HttpCounts{};
    counts_.requests = 1;
    counts_.urlReplies = c.Value("found") != 0 ? 1 : 0;
  } else if (c.slot == "ReportHttpRequest" && !open_) {
    Summary::HttpCounts& h = summary_->HttpRow(host != nullptr ? host->text : remote);
    ++h.requests;
    ++h.reported;
    return;
  }
  if (!open_) return;
  if (host != nullptr) host_ = host->text;
  if (c.slot == "QueryHttpPrimary" || c.slot == "QueryHttpSecondary") {
    awaitingExempt_ = c.Value("result") == 0 ? kNone : c.slot == "QueryHttpPrimary" ? kPrimary : kSecondary;
  } else if (c.slot == "CheckHttpExempt") {
    if (c.Value("result") != 0) counts_.exempted = 1;
    else if (awaitingExempt_ == kPrimary) counts_.primary = 1;
    awaitingExempt_ = kNone;
  } else if (c.slot == "ReportHttpSecondary") {
    counts_.secondary = 1;
  } else if (c.slot == "ReportHttpRequest") {
    counts_.reported = 1;
    Close();
  }
}

void HttpTally::Close() {
  if (!open_) return;
  Summary::HttpCounts& h = summary_->HttpRow(host_.empty() ? remote_ : host_);
  h.requests += counts_.requests;
  h.reported += counts_.reported;
  h.urlReplies += counts_.urlReplies;
  h.primary += counts_.primary;
  h.secondary += counts_.secondary;
  h.exempted += counts_.exempted;
  open_ = false;
  host_.clear();
  awaitingExempt_ = kNone;
}

}  // namespace replay
