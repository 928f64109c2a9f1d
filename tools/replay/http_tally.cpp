#include "tools/replay/http_tally.h"

namespace replay {
namespace {

// The value of the last header line `name` (with its colon) between `from`
// and `to`, leading spaces dropped, up to the line's end or `stop`.
std::string LastHeader(const std::string& s, size_t from, size_t to, const char* name, char stop) {
  const std::string key = std::string("\r\n") + name;
  std::string value;
  for (size_t at = s.find(key, from); at != std::string::npos && at < to; at = s.find(key, at + 2)) {
    size_t i = at + key.size();
    while (i < to && s[i] == ' ') ++i;
    size_t end = i;
    while (end < to && s[end] != '\r' && s[end] != stop) ++end;
    value = s.substr(i, end - i);
  }
  return value;
}

uint64_t ContentLength(const std::string& s, size_t from, size_t to) {
  uint64_t length = 0;
  for (char c : LastHeader(s, from, to, "Content-Length:", '\r')) {
    if (c == ' ') continue;
    if (c < '0' || c > '9') break;
    length = length * 10 + static_cast<uint64_t>(c - '0');
  }
  return length;
}

}  // namespace

bool ReadRequest(const std::string& sent, const std::string& url, RequestBytes* request) {
  const std::string target = " " + url + " HTTP/1.";
  for (size_t at = sent.rfind(target); at != std::string::npos; at = at == 0 ? std::string::npos : sent.rfind(target, at - 1)) {
    size_t headerEnd = sent.find("\r\n\r\n", at);
    if (headerEnd == std::string::npos) continue;
    size_t lineStart = sent.rfind('\n', at);
    lineStart = lineStart == std::string::npos ? 0 : lineStart + 1;
    request->method = sent.substr(lineStart, at - lineStart);
    request->host = LastHeader(sent, at, headerEnd + 2, "Host:", ':');
    request->size = headerEnd + 4 - lineStart + ContentLength(sent, at, headerEnd + 2);
    return true;
  }
  return false;
}

void HttpTally::Open(const ClassifyPlace& place) {
  open_ = true;
  record_ = HttpRecord{};
  record_.packet = place.packet;
  record_.flow = place.flow;
  record_.processId = place.processId;
  urlFound_ = secondary_ = exempt_ = awaitingExempt_ = false;
}

void HttpTally::TakeTexts(const client::Call& c) {
  if (const client::Arg* host = c.Find("host")) record_.host = host->text;
  if (const client::Arg* method = c.Find("method")) record_.method = method->text;
  if (const client::Arg* url = c.Find("url")) record_.url = url->text;
  if (c.Find("requestSize") != nullptr) record_.size = c.Value("requestSize");
  if (c.Find("processId") != nullptr) record_.processId = c.Value("processId");
  record_.hostFromRequest = false;
}

void HttpTally::OnCall(const client::Call& c, const ClassifyPlace& place, const std::string& sent,
                       const std::string& remote) {
  if (c.slot == "GetUrlReply") {
    if (open_) Close(Outcome(false));
    Open(place);
    record_.url = c.Find("url") != nullptr ? c.Find("url")->text : "";
    record_.host = remote;
    urlFound_ = c.Value("found") != 0;
    RequestBytes request;
    if (urlFound_ && ReadRequest(sent, record_.url, &request)) {
      record_.method = request.method;
      record_.size = request.size;
      if (!request.host.empty()) {
        record_.host = request.host;
        record_.hostFromRequest = true;
      }
    }
    return;
  }
  if (c.slot == "ReportHttpRequest") {
    if (!open_) Open(place);  // one of several requests completed together: only reported
    TakeTexts(c);
    Close(c.Value("replied") == 0 ? "reported" : secondary_ ? "secondary" : "primary");
    return;
  }
  if (!open_) return;
  if (c.slot == "QueryHttpPrimary" || c.slot == "QueryHttpSecondary") {
    TakeTexts(c);
    awaitingExempt_ = c.Value("result") != 0;
  } else if (c.slot == "CheckHttpExempt") {
    if (awaitingExempt_ && c.Value("result") != 0) exempt_ = true;
    awaitingExempt_ = false;
  } else if (c.slot == "ReportHttpSecondaryExempt") {
    exempt_ = true;
  } else if (c.slot == "ReportHttpSecondary") {
    secondary_ = true;
  }
}

void HttpTally::SegmentDone(bool answered) {
  if (open_) Close(Outcome(answered));
}

// A request that was not reported: answered by its URL, sent on after an
// exemption, or a listed URL that came when the flow could no longer be
// answered.
const char* HttpTally::Outcome(bool answered) const {
  if (urlFound_) return answered ? "url-reply" : "not-reported";
  return exempt_ ? "exempt" : "not-reported";
}

void HttpTally::Close(const char* outcome) {
  open_ = false;
  record_.outcome = outcome;
  log_->Http(record_);
  summary_->CountHttp(record_.host, outcome, record_.hostFromRequest);
}

}  // namespace replay
