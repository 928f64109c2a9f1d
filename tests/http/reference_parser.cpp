#include "tests/http/reference_parser.h"

#include <cstring>

namespace nqtest {

uint32_t ReferenceParser::Parse(const uint8_t* data, uint32_t length) {
  uint32_t count = 0;
  if (state == 5) return 0;
  for (;;) {
    if (state == 1) return count;
    if (state == 4) state = 0;
    if (state == 0) {
      hasContentLength = 0;
      lineState = 0;
      lineIndex = 0;
      lineLength = 0;
      host[0] = 0;
      headerBytes = 0;
      bodyRemaining = 0;
    } else if (state == 3) {
      if (length <= bodyRemaining) {
        bodyRemaining -= length;
        if (bodyRemaining == 0) state = 4;
        return count;
      }
      data += bodyRemaining;
      length -= bodyRemaining;
      state = 4;
      continue;
    } else if (state != 2) {
      return count;
    }

    uint32_t i = 0;
    for (; i < length; ++i) {
      ++headerBytes;
      if (headerBytes > 4096) {
        lineState = 5;
        break;
      }
      char* line = lineIndex == 0 ? requestLine : headerLine;
      if (lineIndex > 0) {
        if (lineLength >= 256) lineLength = 255;
      } else if (lineLength >= 256) {
        for (int k = 0; k < 12; ++k) line[232 + k] = line[244 + k];
        lineLength = 244;
      }
      uint8_t byte = data[i];
      line[lineLength] = static_cast<char>(byte);
      ++lineLength;
      if (lineState == 0) {
        if (byte == '\n') lineState = 3;
        else if (byte == '\r') lineState = 1;
      } else if (lineState == 1) {
        lineState = byte == '\n' ? 2 : 5;
      } else {
        lineState = 5;
      }
      if (lineState == 5) break;
      if (lineState == 2 || lineState == 3) {
        lineLength -= lineState == 2 ? 2 : 1;
        line[lineLength] = 0;
        if (lineLength == 0) {
          lineState = 4;
          ++i;
          break;
        }
        if (lineIndex != 0) {
          if (lineLength > 16 && std::memcmp(line, "Content-Length:", 15) == 0) {
            hasContentLength = 1;
            uint64_t value = 0;
            for (int k = 15;; ++k) {
              char c = line[k];
              if (c == ' ') continue;
              if (c < '0' || c > '9') break;
              if (value <= 0xFFFFFFFFu) value = value * 10 + static_cast<uint64_t>(c - '0');
            }
            if (value > 0xFFFFFFFFu) {  // a count no 32-bit size holds: malformed
              lineState = 5;
              break;
            }
            bodyRemaining = static_cast<uint32_t>(value);
          }
          if (lineLength > 6 && std::memcmp(line, "Host:", 5) == 0) {
            int k = 0;
            do {
              host[k] = line[5 + k];
            } while (line[5 + k++] != 0);
          }
        }
        ++lineIndex;
        lineState = 0;
        lineLength = 0;
      }
    }

    if (lineState == 5) {
      state = 1;
      return count;
    }
    if (lineState != 4) {
      state = 2;
      return count;
    }
    uint32_t v = hasContentLength ? bodyRemaining : 0;
    if (uint64_t(headerBytes) + v > 0xFFFFFFFFu || !Store(v)) {
      state = 1;
      return count;
    }
    ++count;
    uint32_t rest = length - i;
    if (!hasContentLength) {
      if (rest == 0) {
        state = 4;
        return count;
      }
      data += i;
      length = rest;
      state = 4;
      continue;
    }
    if (rest == 0) {
      state = 3;
      return count;
    }
    if (rest == v) {
      state = 4;
      return count;
    }
    if (rest < v) {
      bodyRemaining = v - rest;
      state = 3;
      return count;
    }
    data += i + v;
    length -= i + v;
    state = 4;
  }
}

bool ReferenceParser::Store(uint32_t contentLength) {
  std::string line(requestLine);
  if (line.size() < 10 || line.find(" HTTP/1.") == std::string::npos) return false;
  std::string name(host);
  name.erase(0, name.find_first_not_of(' ') == std::string::npos ? name.size() : name.find_first_not_of(' '));
  name = name.substr(0, name.find(':'));
  queue.push_back({headerBytes + contentLength, line, name});
  return true;
}

}  // namespace nqtest
