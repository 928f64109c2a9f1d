#include "tests/http/reference_parser.h"

#include <cctype>
#include <cstring>
#include <string>

namespace nqtest {

uint32_t ReferenceParser::Parse(const uint8_t* data, uint32_t length) {
  uint32_t count = 0;
  if (state == 5) return 0;
  for (;;) {
    if (state == 1) return count;
    if (state == 4) state = 0;
    if (state == 0) {
      hasContentLength = 0;
      bodyFraming = 0;
      lineState = 0;
      lineIndex = 0;
      lineLength = 0;
      host[0] = 0;
      headerBytes = 0;
      bodyRemaining = 0;
    } else if (state == 3 && bodyFraming == 1) {
      bool ended = false;
      uint32_t i = 0;
      while (i < length && !ended) {
        if (uint64_t(headerBytes) + lineIndex + 1 > 0xFFFFFFFFu || !ChunkedByte(data[i++], &ended)) {
          lineState = 5;
          bodyFraming = 2;
          state = 1;
          return count;
        }
        ++lineIndex;
      }
      if (!ended) return count;
      if (!queue.empty() && queue.back().bodyOpen) {
        queue.back().size = headerBytes + lineIndex;
        queue.back().bodyOpen = false;
      }
      data += i;
      length -= i;
      state = 4;
      if (length == 0) return count;
      continue;
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
      if (headerBytes > 65536) {
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
        if (lineLength == 0 && lineIndex == 0) {  // an empty line before the request line is skipped
          if (headerBytes > 256) {
            bodyFraming = 2;
            lineState = 5;
            break;
          }
          lineState = 0;
          continue;
        }
        if (lineLength == 0) {
          lineState = 4;
          ++i;
          break;
        }
        if (lineIndex != 0 && !ReadHeaderLine(line)) {
          lineState = 5;
          break;
        }
        ++lineIndex;
        lineState = 0;
        lineLength = 0;
      }
    }

    if (lineState == 5) {
      if (Http1RequestLine()) bodyFraming = 2;
      state = 1;
      return count;
    }
    if (lineState != 4) {
      state = 2;
      return count;
    }
    if (bodyFraming == 1) {
      if (!Store(0xFFFFFFFFu, true)) {
        state = 1;
        return count;
      }
      ++count;
      state = 3;
      lineState = 8;
      lineIndex = 0;
      bodyRemaining = 0;
      data += i;
      length -= i;
      continue;
    }
    uint32_t v = hasContentLength ? bodyRemaining : 0;
    if (uint64_t(headerBytes) + v > 0xFFFFFFFFu) {
      if (Http1RequestLine()) bodyFraming = 2;
      state = 1;
      return count;
    }
    if (!Store(headerBytes + v, false)) {
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

namespace {
// The line starts with the name (lower case, colon included) in any case.
bool NameIs(const char* line, const char* name) {
  for (; *name != 0; ++line, ++name)
    if (std::tolower(static_cast<unsigned char>(*line)) != *name) return false;
  return true;
}
}  // namespace

bool ReferenceParser::ReadHeaderLine(const char* line) {
  if (lineLength > 16 && NameIs(line, "content-length:")) {
    // Digits and blanks only, at least one digit, on a line that kept all
    // its bytes; otherwise the framing is refused.
    std::string value(line + 15);
    if (lineLength >= 254 || value.find_first_not_of("0123456789 \t") != std::string::npos ||
        value.find_first_of("0123456789") == std::string::npos) {
      bodyFraming = 2;
      return false;
    }
    uint64_t count = 0;
    for (char c : value)
      if (c != ' ' && c != '\t' && count <= 0xFFFFFFFFu) count = count * 10 + static_cast<uint64_t>(c - '0');
    if (count > 0xFFFFFFFFu) return false;  // a count no 32-bit size holds: malformed
    if (hasContentLength && count != bodyRemaining) {
      bodyFraming = 2;
      return false;
    }
    hasContentLength = 1;
    bodyRemaining = static_cast<uint32_t>(count);
  } else if (lineLength > 6 && NameIs(line, "host:")) {
    int k = 0;
    do {
      host[k] = line[5 + k];
    } while (line[5 + k++] != 0);
  } else if (lineLength >= 18 && NameIs(line, "transfer-encoding:")) {
    // The last non-empty item of the comma list, blanks trimmed, decides;
    // a line that filled its buffer may have lost bytes.
    std::string value(line + 18, lineLength - 18), last;
    size_t from = 0;
    while (from <= value.size()) {
      size_t comma = value.find(',', from);
      std::string item = value.substr(from, comma == std::string::npos ? std::string::npos : comma - from);
      size_t b = item.find_first_not_of(" \t"), e = item.find_last_not_of(" \t");
      if (b != std::string::npos) last = item.substr(b, e - b + 1);
      if (comma == std::string::npos) break;
      from = comma + 1;
    }
    for (char& c : last) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    bodyFraming = lineLength < 254 && last == "chunked" ? 1 : 2;
    if (bodyFraming == 2) return false;
  }
  return true;
}

bool ReferenceParser::ChunkedByte(uint8_t byte, bool* ended) {
  auto hex = [](uint8_t b) { return std::isxdigit(b) ? (std::isdigit(b) ? b - '0' : std::tolower(b) - 'a' + 10) : -1; };
  switch (lineState) {
    case 8:  // first digit of a size
    case 9:  // more digits
      if (hex(byte) >= 0) {
        if (uint64_t(bodyRemaining) * 16 + unsigned(hex(byte)) > 0xFFFFFFFFu) return false;
        bodyRemaining = bodyRemaining * 16 + unsigned(hex(byte));
        lineState = 9;
        return true;
      }
      if (lineState == 8) return false;
      if (byte == ';' || byte == ' ' || byte == '\t') {
        lineState = 10;
        return true;
      }
      if (byte != '\r' && byte != '\n') return false;
      break;
    case 10:  // extension
      break;
    case 11:  // the size line's CR
      if (byte != '\n') return false;
      lineState = bodyRemaining == 0 ? 15 : 12;
      return true;
    case 12:  // data
      if (--bodyRemaining == 0) lineState = 13;
      return true;
    case 13:  // after the data
      if (byte == '\r') {
        lineState = 14;
        return true;
      }
      if (byte != '\n') return false;
      lineState = 8;
      return true;
    case 14:
      if (byte != '\n') return false;
      lineState = 8;
      return true;
    case 15:  // trailer line start
      if (byte == '\r') lineState = 18;
      else if (byte == '\n') *ended = true;
      else lineState = 16;
      if (*ended) lineState = 4;
      return true;
    case 16:  // trailer text
      if (byte == '\r') lineState = 17;
      else if (byte == '\n') lineState = 15;
      return true;
    case 17:
      if (byte != '\n') return false;
      lineState = 15;
      return true;
    case 18:
      if (byte != '\n') return false;
      lineState = 4;
      *ended = true;
      return true;
    default:
      return false;
  }
  // The end of a size line, after its digits or in its extension.
  if (byte == '\r') {
    lineState = 11;
  } else if (byte == '\n') {
    lineState = bodyRemaining == 0 ? 15 : 12;
  }
  return true;
}

namespace {
bool IsHttp1Line(const std::string& line) { return line.size() >= 10 && line.find(" HTTP/1.") != std::string::npos; }
}  // namespace

bool ReferenceParser::Http1RequestLine() const { return lineIndex > 0 && IsHttp1Line(requestLine); }

bool ReferenceParser::Store(uint32_t size, bool bodyOpen) {
  std::string line(requestLine);
  if (!IsHttp1Line(line)) return false;
  std::string name(host);
  name.erase(0, name.find_first_not_of(" \t") == std::string::npos ? name.size() : name.find_first_not_of(" \t"));
  name = name.substr(0, name.find(':'));
  name.erase(name.find_last_not_of(" \t") + 1);
  queue.push_back({size, line, name, bodyOpen});
  return true;
}

}  // namespace nqtest
