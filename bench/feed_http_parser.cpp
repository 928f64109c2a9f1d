#include "bench/parsers.h"

#include <http_parser.h>

namespace bench {
namespace {

// What the callbacks note: the requests, and the bytes of URLs and header
// values seen, so that the parser has to hand them out.
struct Seen {
  long requests = 0;
  size_t textBytes = 0;
};

int OnText(http_parser* p, const char*, size_t length) {
  static_cast<Seen*>(p->data)->textBytes += length;
  return 0;
}
int OnComplete(http_parser* p) {
  ++static_cast<Seen*>(p->data)->requests;
  return 0;
}

http_parser_settings Settings() {
  http_parser_settings s{};
  s.on_url = OnText;
  s.on_header_value = OnText;
  s.on_message_complete = OnComplete;
  return s;
}

}  // namespace

long FeedHttpParser(const std::string& stream, size_t chunk) {
  static const http_parser_settings settings = Settings();
  http_parser parser;
  http_parser_init(&parser, HTTP_REQUEST);
  Seen seen;
  parser.data = &seen;
  const size_t size = stream.size();
  if (chunk == 0) chunk = size;
  for (size_t at = 0; at < size; at += chunk) {
    size_t n = size - at < chunk ? size - at : chunk;
    if (http_parser_execute(&parser, &settings, stream.data() + at, n) != n || HTTP_PARSER_ERRNO(&parser) != HPE_OK)
      return -1;
  }
  return seen.requests;
}

}  // namespace bench
