#include "tests/http/parser_checks.h"

#include "host/host.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>

namespace nqtest {
namespace {

std::string Quoted(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
      out += static_cast<char>(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof(hex), "\\x%02X", c);
      out += hex;
    }
  }
  return out + "\"";
}

template <typename T>
std::string Differs(const char* what, T mine, T theirs) {
  if (mine == theirs) return "";
  return std::string(what) + " " + std::to_string(mine) + ", reference " + std::to_string(theirs);
}

// The first byte where two line buffers differ, "" when they agree.
std::string BufferDiffers(const char* what, const char* mine, const char* theirs) {
  for (int k = 0; k < 256; ++k) {
    if (mine[k] != theirs[k])
      return std::string(what) + "[" + std::to_string(k) + "] " + std::to_string(uint8_t(mine[k])) + ", reference " +
             std::to_string(uint8_t(theirs[k]));
  }
  return "";
}

// A text the record owns must end inside the pool block it starts.
std::string TextInBlock(const char* what, const char* text, const std::map<const void*, size_t>& blocks) {
  auto block = blocks.find(text);
  if (block == blocks.end()) return std::string(what) + " is not the start of a pool block";
  if (std::memchr(text, 0, block->second) == nullptr) return std::string(what) + " has no NUL inside its block";
  return "";
}

}  // namespace

std::vector<const RequestRecord*> QueuedRequests(const HttpParser& parser) {
  std::vector<const RequestRecord*> newestFirst;
  for (const RequestNode* node = parser.queueHead; node != nullptr && newestFirst.size() <= parser.queueCount;
       node = node->next)
    newestFirst.push_back(node->record);
  return std::vector<const RequestRecord*>(newestFirst.rbegin(), newestFirst.rend());
}

std::string CompareWithReference(const HttpParser& p, const ReferenceParser& r) {
  std::string d;
  if (!(d = Differs("state", p.state, r.state)).empty()) return d;
  if (!(d = Differs("headerBytes", p.headerBytes, r.headerBytes)).empty()) return d;
  if (!(d = Differs("bodyRemaining", p.bodyRemaining, r.bodyRemaining)).empty()) return d;
  if (!(d = Differs("hasContentLength", unsigned(p.hasContentLength), unsigned(r.hasContentLength))).empty()) return d;
  if (!(d = Differs("lineState", p.lineState, r.lineState)).empty()) return d;
  if (!(d = Differs("lineIndex", p.lineIndex, r.lineIndex)).empty()) return d;
  if (!(d = Differs("lineLength", p.lineLength, r.lineLength)).empty()) return d;
  if (!(d = BufferDiffers("requestLine", p.requestLine, r.requestLine)).empty()) return d;
  if (!(d = BufferDiffers("headerLine", p.headerLine, r.headerLine)).empty()) return d;
  if (!(d = BufferDiffers("host", p.host, r.host)).empty()) return d;
  std::vector<const RequestRecord*> queued = QueuedRequests(p);
  if (!(d = Differs("queued requests", queued.size(), r.queue.size())).empty()) return d;
  for (size_t k = 0; k < queued.size(); ++k) {
    const RequestRecord& mine = *queued[k];
    const ReferenceRequest& theirs = r.queue[k];
    std::string at = "request " + std::to_string(k) + ": ";
    if (mine.size != theirs.size) return at + Differs("size", mine.size, theirs.size);
    if (theirs.requestLine != mine.requestLine)
      return at + "requestLine " + Quoted(mine.requestLine) + ", reference " + Quoted(theirs.requestLine);
    if (theirs.host != mine.host) return at + "host " + Quoted(mine.host) + ", reference " + Quoted(theirs.host);
  }
  return "";
}

std::string CheckInvariants(const HttpParser& p, uint32_t returned, uint32_t queuedBefore) {
  if (p.state > ParserDisabled) return "unknown state " + std::to_string(p.state);
  if (p.lineState > LineError) return "unknown lineState " + std::to_string(p.lineState);
  // The byte that crosses the bound is counted, then the parser stops.
  uint32_t bound = p.state == ParserStopped ? kMaxHeaderBytes + 1 : kMaxHeaderBytes;
  if (p.headerBytes > bound) return "headerBytes " + std::to_string(p.headerBytes) + " past the bound";
  if (p.lineLength > kLineBufferSize) return "lineLength " + std::to_string(p.lineLength) + " past the buffer";
  if (p.queueCount != queuedBefore + returned)
    return "returned " + std::to_string(returned) + " but queued " + std::to_string(p.queueCount - queuedBefore);
  size_t nodes = 0;
  for (const RequestNode* node = p.queueHead; node != nullptr && nodes <= p.queueCount; node = node->next) ++nodes;
  if (nodes != p.queueCount)
    return "queueCount " + std::to_string(p.queueCount) + " with " + std::to_string(nodes) + " nodes";
  if (returned == 0) return "";
  // The records of this call are the newest ones, at the head.
  std::map<const void*, size_t> blocks;
  for (const host::pool::Allocation& a : host::pool::Outstanding()) blocks[a.address] = a.size;
  const RequestNode* node = p.queueHead;
  for (uint32_t k = 0; k < returned; ++k, node = node->next) {
    std::string d = TextInBlock("requestLine", node->record->requestLine, blocks);
    if (d.empty()) d = TextInBlock("host", node->record->host, blocks);
    if (!d.empty()) return d;
    if (node->record->blocked != 0) return "a new record is marked blocked";
  }
  return "";
}

CheckedParser::CheckedParser() { InitHttpParser(&parser_, ParserReset); }

uint32_t CheckedParser::Feed(const void* data, uint32_t length) {
  ++calls_;
  uint32_t before = parser_.queueCount;
  auto* bytes = static_cast<const UINT8*>(data);
  uint32_t returned = ParseHttpRequests(&parser_, bytes, length);
  uint32_t expected = reference_.Parse(bytes, length);
  if (problem_.empty()) {
    std::string d = Differs("result", returned, expected);
    if (d.empty()) d = CompareWithReference(parser_, reference_);
    if (d.empty()) d = CheckInvariants(parser_, returned, before);
    if (!d.empty()) problem_ = "call " + std::to_string(calls_) + ": " + d;
  }
  return returned;
}

std::vector<uint32_t> CheckedParser::FeedChunks(const std::string& bytes, const std::vector<uint32_t>& sizes) {
  std::vector<uint32_t> results;
  size_t at = 0;
  for (uint32_t size : sizes) {
    size_t n = std::min<size_t>(size, bytes.size() - at);
    results.push_back(Feed(bytes.data() + at, static_cast<uint32_t>(n)));
    at += n;
  }
  if (at < bytes.size()) results.push_back(Feed(bytes.data() + at, static_cast<uint32_t>(bytes.size() - at)));
  return results;
}

void CheckedParser::Drain() {
  KIRQL oldIrql = KfAcquireSpinLock(&parser_.queueLock);
  RequestRecord* record;
  while (QueuePopOldest(&parser_, &record) != 0) FreeRequestRecord(record);
  KfReleaseSpinLock(&parser_.queueLock, oldIrql);
  reference_.queue.clear();
}

void CheckedParser::Release() {
  if (released_) return;
  released_ = true;
  ReleaseHttpParser(&parser_);
  reference_.queue.clear();
}

}  // namespace nqtest
