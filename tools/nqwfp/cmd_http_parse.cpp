// nqwfp http-parse: feeds the bytes of an outbound stream to a fresh HTTP
// request parser, as the driver does for an inspected flow, and shows what it
// makes of them: one JSON line per completed request and a last line with the
// parser's state.
#include "core/http/http_parser.h"
#include "host/host.h"
#include "tools/nqwfp/command.h"
#include "tools/replay/end_check.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char* const kStateNames[] = {"ParserReset",        "ParserStopped",     "ParserInHeader",
                                   "ParserSkippingBody", "ParserRequestDone", "ParserDisabled"};

// JSON string; bytes outside printable ASCII are written as \u00XX.
std::string Json(const char* text) {
  if (text == nullptr) return "null";
  std::string out = "\"";
  for (const unsigned char* c = reinterpret_cast<const unsigned char*>(text); *c != 0; ++c) {
    if (*c == '"' || *c == '\\') {
      out += '\\';
      out += static_cast<char>(*c);
    } else if (*c < 0x20 || *c >= 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof(escaped), "\\u%04X", *c);
      out += escaped;
    } else {
      out += static_cast<char>(*c);
    }
  }
  return out + "\"";
}

bool ReadAll(const std::string& path, std::string* bytes) {
  FILE* in = path == "-" ? stdin : std::fopen(path.c_str(), "rb");
  if (in == nullptr) return false;
  char buffer[65536];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof(buffer), in)) > 0) bytes->append(buffer, n);
  bool ok = std::ferror(in) == 0;
  if (in != stdin) std::fclose(in);
  return ok;
}

// Takes the call's requests off the queue, oldest first, prints and frees them.
unsigned PrintRequests(HttpParser* parser, unsigned call) {
  unsigned printed = 0;
  RequestRecord* record;
  for (;;) {
    KIRQL oldIrql = KfAcquireSpinLock(&parser->queueLock);
    UINT32 taken = QueuePopOldest(parser, &record);
    KfReleaseSpinLock(&parser->queueLock, oldIrql);
    if (taken == 0) return printed;
    std::string line = Json(record->requestLine);
    // Split as the request processing splits it: the method up to the first
    // space, the URL from SplitNextToken at that space.
    const char* method = nullptr;
    const char* url = nullptr;
    if (char* space = std::strchr(record->requestLine, ' ')) {
      url = SplitNextToken(space);
      method = record->requestLine;
    }
    std::printf("{\"call\":%u,\"size\":%u,\"requestLine\":%s,\"host\":%s,\"method\":%s,\"url\":%s}\n", call,
                static_cast<unsigned>(record->size), line.c_str(), Json(record->host).c_str(), Json(method).c_str(),
                Json(url).c_str());
    FreeRequestRecord(record);
    ++printed;
  }
}

size_t chunk = 0;  // 0: the whole input in one call
std::string path;

void DefineHttpParse(nqwfp::Arguments& arguments) {
  arguments.Positional("FILE", "the stream's bytes (- for standard input)", &path);
  arguments.Number("--chunk", "N", "feed the bytes in calls of N bytes, at most 2147483647 (default: all in one call)",
                   1, 0x7FFFFFFF, [](uint64_t n) { chunk = static_cast<size_t>(n); });
}

int RunHttpParse() {
  std::string bytes;
  if (!ReadAll(path, &bytes)) {
    std::fprintf(stderr, "nqwfp http-parse: cannot read %s: %s\n", path.c_str(), std::strerror(errno));
    return 1;
  }
  if (bytes.size() > 0xFFFFFFFFu) {
    std::fprintf(stderr, "nqwfp http-parse: %s is larger than 4 GiB\n", path.c_str());
    return 1;
  }
  if (chunk == 0 || chunk > bytes.size()) chunk = bytes.size();

  // The parser runs where the driver runs it: in the stream classify, at
  // DISPATCH_LEVEL, on a flow that starts inspected.
  replay::EndCheck check;
  static HttpParser parser;
  InitHttpParser(&parser, ParserReset);
  host::kernel::SetCurrentIrql(DISPATCH_LEVEL);
  unsigned calls = 0;
  unsigned requests = 0;
  size_t at = 0;
  do {
    size_t n = bytes.size() - at < chunk ? bytes.size() - at : chunk;
    ParseHttpRequests(&parser, reinterpret_cast<const UINT8*>(bytes.data() + at), static_cast<UINT32>(n));
    requests += PrintRequests(&parser, ++calls);
    at += n;
  } while (at < bytes.size());
  std::printf("{\"state\":%u,\"stateName\":\"%s\",\"calls\":%u,\"requests\":%u,\"bytes\":%zu}\n",
              static_cast<unsigned>(parser.state),
              parser.state <= ParserDisabled ? kStateNames[parser.state] : "unknown", calls, requests, bytes.size());
  ReleaseHttpParser(&parser);
  host::kernel::SetCurrentIrql(PASSIVE_LEVEL);

  return replay::ReportProblems("nqwfp http-parse", check.Problems());
}

const nqwfp::Command kHttpParse{"http-parse",
                                "feed an outbound stream to the HTTP request parser and print its requests as JSON",
                                DefineHttpParse, RunHttpParse};

}  // namespace
