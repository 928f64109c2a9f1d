// The three parsers of the benchmark, each fed one outbound stream in chunks
// of a given size (0: the whole stream in one piece) the way its interface
// wants it. Each returns the number of requests it completed, or -1 when it
// rejected the stream.
#pragma once
#include <cstddef>
#include <string>

namespace bench {

struct Parser {
  const char* name;
  long (*feed)(const std::string& stream, size_t chunk);
};

// The driver's ParseHttpRequests on a fresh flow's parser; completed
// requests are taken off the queue and freed after each call, as the
// request processing does. Its pool blocks come from the host platform.
long FeedParseHttpRequests(const std::string& stream, size_t chunk);
// nodejs http-parser 2.9, a streaming parser with callbacks.
long FeedHttpParser(const std::string& stream, size_t chunk);
// picohttpparser's phr_parse_request, which parses a whole header from a
// buffer: partial headers are kept and re-offered with last_len, bodies are
// skipped by Content-Length.
long FeedPicoHttpParser(const std::string& stream, size_t chunk);

constexpr Parser kParsers[] = {{"ParseHttpRequests", FeedParseHttpRequests},
                               {"http-parser 2.9", FeedHttpParser},
                               {"picohttpparser", FeedPicoHttpParser}};

}  // namespace bench
