// Checks shared by the parser's tests and its fuzzer: the driver's parser
// against the byte-at-a-time reference, and the invariants that hold after
// every call.
#pragma once
#include "core/http/http_parser.h"
#include "tests/http/reference_parser.h"

#include <string>
#include <vector>

namespace nqtest {

// The records on a parser's queue, oldest first.
std::vector<const RequestRecord*> QueuedRequests(const HttpParser& parser);

// The first difference between the parser and the reference: result state,
// counters, the three line buffers byte for byte, and the queued requests.
// Empty when they agree.
std::string CompareWithReference(const HttpParser& parser, const ReferenceParser& reference);

// The invariants after a call that returned `returned`, with `queuedBefore`
// records queued before it and no allocation failing: the result equals the
// records the call queued, queueCount equals the nodes on the queue, every
// record's texts end with a NUL inside their pool blocks, the states are known
// ones and the header never counts past its bound. Empty when they hold.
std::string CheckInvariants(const HttpParser& parser, uint32_t returned, uint32_t queuedBefore);

// A fresh parser of an inspected flow and a reference, fed the same chunks and
// compared after every call. Keeps the first problem found.
class CheckedParser {
 public:
  CheckedParser();
  ~CheckedParser() { Release(); }
  CheckedParser(const CheckedParser&) = delete;
  CheckedParser& operator=(const CheckedParser&) = delete;

  // Puts both parsers in a state, as if earlier calls had left them there.
  void Start(uint32_t state) { parser_.state = reference_.state = state; }
  // One call of ParseHttpRequests; returns its result.
  uint32_t Feed(const void* data, uint32_t length);
  uint32_t Feed(const std::string& chunk) { return Feed(chunk.data(), static_cast<uint32_t>(chunk.size())); }
  // Feeds the bytes in chunks of the given sizes (0 is a zero-length call)
  // and the rest, if any, in one last call; returns the result of each call.
  std::vector<uint32_t> FeedChunks(const std::string& bytes, const std::vector<uint32_t>& sizes);
  // Takes every request off both queues and frees the parser's records.
  void Drain();
  // ReleaseHttpParser; the parser is not fed after it.
  void Release();

  HttpParser& Parser() { return parser_; }
  const ReferenceParser& Reference() const { return reference_; }
  const std::string& Problem() const { return problem_; }
  unsigned Calls() const { return calls_; }

 private:
  HttpParser parser_;
  ReferenceParser reference_;
  std::string problem_;
  unsigned calls_ = 0;
  bool released_ = false;
};

}  // namespace nqtest
