#include "tests/http/random_streams.h"

#include <cstdio>

namespace nqtest {

std::string RandomStreams::Text(size_t n) {
  static const char kChars[] = "abcdefghijklmnopqrstuvwxyz0123456789/-_.:;,=?&% ";
  std::string text;
  for (size_t k = 0; k < n; ++k) {
    if (OneIn(200)) text += OneIn(2) ? '\0' : '\t';
    else text += kChars[Below(sizeof(kChars) - 1)];
  }
  return text;
}

std::string RandomStreams::LineEnd() {
  switch (Below(40)) {
    case 0: return "\n";
    case 1: return "\r";
    case 2: return "\rX";
    case 3: case 4: case 5: return "\n";
    default: return "\r\n";
  }
}

std::string RandomStreams::Request() {
  static const char* kMethods[] = {"GET", "POST", "HEAD", "PUT", "X"};
  static const char* kVersions[] = {" HTTP/1.1", " HTTP/1.0", " HTTP/1.", " HTTP/2", "", " HTTP/1.1 "};
  static const size_t kLengths[] = {0, 1, 5, 20, 100, 217, 218, 230, 231, 232, 240, 243, 244, 250, 600, 1500};
  std::string text = kMethods[Below(5)];
  text += " /" + Text(OneIn(3) ? kLengths[Below(16)] + Below(30) : Below(40));
  text += OneIn(8) ? kVersions[Below(6)] : " HTTP/1.1";
  text += LineEnd();
  uint32_t body = 0;
  bool hasBody = false, chunked = false;
  for (uint32_t lines = Below(14); lines > 0; --lines) {
    switch (Below(14)) {
      case 0: text += (OneIn(4) ? "host: " : "Host: ") + Text(Below(20)); break;
      case 1:
        text += "Host:" + std::string(Below(4), OneIn(3) ? '\t' : ' ') + Text(Below(12)) + (OneIn(2) ? ":8080" : "") +
                std::string(OneIn(3) ? Below(3) : 0, OneIn(2) ? '\t' : ' ');
        break;
      case 2: text += "Host: " + Text(240 + Below(40)); break;
      case 3:
        // A second length mostly repeats the first; now and then it differs.
        if (!hasBody || OneIn(12)) body = Below(OneIn(4) ? 5000 : 60);
        hasBody = true;
        text += (OneIn(5) ? "CONTENT-length:" : "Content-Length:") + std::string(OneIn(6) ? "\t" : " ") +
                std::to_string(body) + (OneIn(8) ? " \t" : "");
        break;
      case 4:
        text += OneIn(2) ? "Content-Length:" + std::to_string(Below(10)) : "Content-Lengths: 4";
        break;
      case 5: text += OneIn(4) ? "Content-Length: " + Text(Below(6)) : "Accept: */*"; break;
      case 6: text += "X-Long: " + Text(240 + Below(600)); break;
      case 7: {
        if (!OneIn(3)) {
          text += "Accept: " + Text(Below(30));
          break;
        }
        static const char* kCodings[] = {"chunked", "Chunked", "gzip, chunked", " chunked ,", "gzip", "chunked, gzip",
                                         "", "chunkedx", "identity"};
        const char* coding = kCodings[OneIn(5) ? Below(9) : Below(4)];
        chunked = std::string(coding).find("chunked") != std::string::npos && std::string(coding) != "chunked, gzip" &&
                  std::string(coding) != "chunkedx";
        text += (OneIn(3) ? "transfer-encoding: " : "Transfer-Encoding: ") + std::string(coding);
        break;
      }
      default: text += "X-Header-" + std::to_string(Below(100)) + ": " + Text(Below(60)); break;
    }
    text += LineEnd();
  }
  text += OneIn(20) ? "\n" : "\r\n";
  if (chunked) {
    text += ChunkedBody();
  } else if (hasBody) {
    text += Text(OneIn(6) ? Below(body + 10) : body);
  }
  return text;
}

// Chunks of random sizes in either case of hex, with extensions and bare
// line feeds now and then, the last chunk and a trailer; one body in ten
// breaks the syntax somewhere.
std::string RandomStreams::ChunkedBody() {
  const bool broken = OneIn(10);
  ++chunkedBodies_;
  std::string body;
  for (uint32_t chunks = Below(5); chunks > 0; --chunks) {
    uint32_t size = Below(OneIn(5) ? 3000 : 40) + 1;
    char hex[16];
    std::snprintf(hex, sizeof(hex), OneIn(2) ? "%x" : "%X", size);
    body += (OneIn(8) ? "00" : "") + std::string(hex);
    if (OneIn(6)) body += OneIn(2) ? ";ext=1" : " ;name";
    body += OneIn(10) ? "\n" : "\r\n";
    body += Text(size);
    body += OneIn(10) ? "\n" : "\r\n";
  }
  body += OneIn(4) ? "000\r\n" : "0\r\n";
  if (OneIn(4)) body += "X-Trailer: " + Text(Below(30)) + (OneIn(5) ? "\n" : "\r\n");
  body += OneIn(8) ? "\n" : "\r\n";
  if (broken && !body.empty()) {
    static const char kBad[] = {'g', '\r', ' ', 'x', '\n'};
    body[Below(static_cast<uint32_t>(body.size()))] = kBad[Below(sizeof(kBad))];
  }
  return body;
}

std::string RandomStreams::Stream() {
  std::string stream;
  for (uint32_t pieces = 1 + Below(5); pieces > 0; --pieces) {
    if (OneIn(15)) {
      for (uint32_t n = Below(300); n > 0; --n) stream += static_cast<char>(Below(256));
    } else if (OneIn(25)) {
      stream += OneIn(30) ? std::string(260, '\n') : OneIn(2) ? "\r\n" : "\n";
    } else {
      stream += Request();
    }
  }
  return stream;
}

std::vector<uint32_t> RandomStreams::Chunks(size_t length, int style) {
  std::vector<uint32_t> sizes;
  size_t covered = 0;
  while (covered < length) {
    uint32_t size;
    switch (style) {
      case 1: size = 1; break;
      case 2: size = 1 + Below(3); break;
      case 3: size = 500 + Below(5000); break;
      default: {
        static const uint32_t kRanges[] = {1, 2, 4, 17, 300, 5000};
        size = Below(kRanges[Below(6)] + 1);
        break;
      }
    }
    sizes.push_back(size);
    covered += size;
  }
  return sizes;
}

}  // namespace nqtest
