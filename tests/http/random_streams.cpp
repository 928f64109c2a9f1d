#include "tests/http/random_streams.h"

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
  bool hasBody = false;
  for (uint32_t lines = Below(14); lines > 0; --lines) {
    switch (Below(12)) {
      case 0: text += "Host: " + Text(Below(20)); break;
      case 1: text += "Host:" + std::string(Below(4), ' ') + Text(Below(12)) + (OneIn(2) ? ":8080" : ""); break;
      case 2: text += "Host: " + Text(240 + Below(40)); break;
      case 3:
        body = Below(OneIn(4) ? 5000 : 60);
        hasBody = true;
        text += "Content-Length: " + std::to_string(body);
        break;
      case 4:
        text += OneIn(2) ? "Content-Length:" + std::to_string(Below(10)) : "content-length: 4";
        break;
      case 5: text += "Content-Length: " + Text(Below(6)); break;
      case 6: text += "X-Long: " + Text(240 + Below(600)); break;
      default: text += "X-Header-" + std::to_string(Below(100)) + ": " + Text(Below(60)); break;
    }
    text += LineEnd();
  }
  text += OneIn(20) ? "\n" : "\r\n";
  if (hasBody) text += Text(OneIn(6) ? Below(body + 10) : body);
  return text;
}

std::string RandomStreams::Stream() {
  std::string stream;
  for (uint32_t pieces = 1 + Below(5); pieces > 0; --pieces) {
    if (OneIn(15)) {
      for (uint32_t n = Below(300); n > 0; --n) stream += static_cast<char>(Below(256));
    } else if (OneIn(25)) {
      stream += "\r\n";
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
