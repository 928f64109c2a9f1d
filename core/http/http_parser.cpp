// ParseHttpRequests: the header scanner. The scanner's rules are stated per
// byte (ScanByte); the bytes between line ends obey the simplest of them, so
// they are found a machine word at a time and stored with one copy, with the
// same effect on counters and buffers as taking them one by one.
#include "core/http/http_parser.h"

namespace {

// ---- Finding line ends a word at a time --------------------------------------
typedef ULONG_PTR ScanWord;  // long is as wide as a pointer on every target here
constexpr ScanWord kOnes = ~ScanWord(0) / 0xFF;
constexpr ScanWord kHighBits = kOnes * 0x80;
constexpr ScanWord kCRs = kOnes * '\r';
constexpr ScanWord kLFs = kOnes * '\n';
static_assert(sizeof(ScanWord) == sizeof(unsigned long), "__builtin_ctzl takes a ScanWord");
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the lowest flagged byte comes first");

// High bit of each byte of w that is zero. A borrow only runs upwards from a
// zero byte, so the lowest flag is always a true one.
inline ScanWord ZeroBytes(ScanWord w) { return (w - kOnes) & ~w & kHighBits; }

// Index of the first CR or LF among the n bytes at p, or n when there is none.
UINT32 FindLineEnd(const UINT8* p, UINT32 n) {
  UINT32 i = 0;
  for (; n - i >= 2 * sizeof(ScanWord); i += 2 * sizeof(ScanWord)) {
    ScanWord a, b;
    __builtin_memcpy(&a, p + i, sizeof(a));
    __builtin_memcpy(&b, p + i + sizeof(a), sizeof(b));
    ScanWord hitA = ZeroBytes(a ^ kCRs) | ZeroBytes(a ^ kLFs);
    ScanWord hitB = ZeroBytes(b ^ kCRs) | ZeroBytes(b ^ kLFs);
    if (hitA != 0) return i + __builtin_ctzl(hitA) / 8;
    if (hitB != 0) return i + sizeof(a) + __builtin_ctzl(hitB) / 8;
  }
  for (; i < n; ++i)
    if (p[i] == '\r' || p[i] == '\n') return i;
  return n;
}

// ---- The current line buffer ---------------------------------------------------
inline char* CurrentLine(HttpParser* parser) {
  return parser->lineIndex == 0 ? parser->requestLine : parser->headerLine;
}

// Stores one byte at lineLength, making room first: a full header line keeps
// overwriting its last position; a full request line slides its window.
void StoreByte(HttpParser* parser, char byte) {
  char* line = CurrentLine(parser);
  if (parser->lineLength >= kLineBufferSize) {
    if (parser->lineIndex != 0) {
      parser->lineLength = kLineBufferSize - 1;
    } else {
      memcpy(line + kRequestLineHead, line + kRequestLineHead + kLineWindow, kLineWindow);
      parser->lineLength = kRequestLineHead + kLineWindow;
    }
  }
  line[parser->lineLength++] = byte;
}

// Stores n >= 1 bytes as n StoreByte calls would.
void StoreRun(HttpParser* parser, const char* bytes, UINT32 n) {
  char* line = CurrentLine(parser);
  UINT32 at = parser->lineLength;
  if (at < kLineBufferSize) {
    UINT32 take = n < kLineBufferSize - at ? n : kLineBufferSize - at;
    memcpy(line + at, bytes, take);
    at += take;
    bytes += take;
    n -= take;
    if (n == 0) {
      parser->lineLength = at;
      return;
    }
  }
  // The buffer is full and n bytes are left.
  if (parser->lineIndex != 0) {
    line[kLineBufferSize - 1] = bytes[n - 1];
    parser->lineLength = kLineBufferSize;
    return;
  }
  // Every block of up to kLineWindow bytes starts with a slide, so of a
  // longer run only its last block and the full block before it remain.
  const UINT32 windowEnd = kRequestLineHead + kLineWindow;
  if (n > kLineWindow) {
    UINT32 last = (n - 1) % kLineWindow + 1;
    memcpy(line + windowEnd, bytes + n - last - kLineWindow, kLineWindow);
    bytes += n - last;
    n = last;
  }
  memcpy(line + kRequestLineHead, line + windowEnd, kLineWindow);
  memcpy(line + windowEnd, bytes, n);
  parser->lineLength = windowEnd + n;
}

// ---- Complete lines --------------------------------------------------------------
inline bool StartsWith(const char* text, const char* prefix, UINT32 length) {
  for (UINT32 k = 0; k < length; ++k)
    if (text[k] != prefix[k]) return false;
  return true;
}

// A header line other than the request line ended; it is NUL-terminated at
// lineLength.
void ReadHeaderLine(HttpParser* parser) {
  const char* line = parser->headerLine;
  if (parser->lineLength > 16 && StartsWith(line, "Content-Length:", 15)) {
    parser->hasContentLength = 1;
    UINT32 value = 0;  // unchecked: a long number wraps around
    for (const char* c = line + 15;; ++c) {
      if (*c >= '0' && *c <= '9') {
        value = value * 10 + static_cast<UINT32>(*c - '0');
      } else if (*c != ' ') {
        break;
      }
    }
    parser->bodyRemaining = value;
  }
  if (parser->lineLength > 6 && StartsWith(line, "Host:", 5))
    memcpy(parser->host, line + 5, strlen(line + 5) + 1);
}

// lineState is LineEndCRLF or LineEndLF. Removes the line end; returns false
// when the line was empty, which ends the header (LineHeaderEnd).
bool EndLine(HttpParser* parser) {
  parser->lineLength -= parser->lineState == LineEndCRLF ? 2 : 1;
  CurrentLine(parser)[parser->lineLength] = '\0';
  if (parser->lineLength == 0) {
    parser->lineState = LineHeaderEnd;
    return false;
  }
  if (parser->lineIndex != 0) ReadHeaderLine(parser);
  ++parser->lineIndex;
  parser->lineState = LineText;
  parser->lineLength = 0;
  return true;
}

// The scanner's rules for one byte. Returns false when the scan ends with it:
// lineState is then LineError or LineHeaderEnd.
bool ScanByte(HttpParser* parser, UINT8 byte) {
  if (++parser->headerBytes > kMaxHeaderBytes) {
    parser->lineState = LineError;  // the byte is not stored
    return false;
  }
  StoreByte(parser, static_cast<char>(byte));
  switch (parser->lineState) {
    case LineText:
      parser->lineState = byte == '\n' ? LineEndLF : byte == '\r' ? LineSawCR : LineText;
      break;
    case LineSawCR:
      parser->lineState = byte == '\n' ? LineEndCRLF : LineError;
      break;
    default:
      parser->lineState = LineError;
      break;
  }
  if (parser->lineState == LineError) return false;
  if (parser->lineState == LineEndCRLF || parser->lineState == LineEndLF) return EndLine(parser);
  return true;
}

// Scans header bytes until the header ends, the scan fails or the data run
// out. Returns the bytes consumed: when the header ended, the index just past
// its last byte.
UINT32 ScanHeader(HttpParser* parser, const UINT8* data, UINT32 length) {
  UINT32 i = 0;
  while (i < length) {
    if (parser->lineState == LineText) {
      // Inside a line every byte but CR and LF only counts and is stored.
      UINT32 room = parser->headerBytes < kMaxHeaderBytes ? kMaxHeaderBytes - parser->headerBytes : 0;
      UINT32 run = FindLineEnd(data + i, length - i < room ? length - i : room);
      if (run != 0) {
        StoreRun(parser, reinterpret_cast<const char*>(data + i), run);
        parser->headerBytes += run;
        i += run;
        if (i == length) break;
      }
    }
    if (!ScanByte(parser, data[i++])) break;
  }
  return i;
}

void ResetRequest(HttpParser* parser) {
  parser->hasContentLength = 0;
  parser->lineState = LineText;
  parser->lineIndex = 0;
  parser->lineLength = 0;
  parser->host[0] = '\0';
  parser->headerBytes = 0;
  parser->bodyRemaining = 0;
}

}  // namespace

void InitHttpParser(HttpParser* parser, UINT32 state) {
  memset(parser, 0, sizeof(*parser));
  KeInitializeSpinLock(&parser->queueLock);
  parser->queueHead = nullptr;
  parser->state = state;
}

UINT32 ParseHttpRequests(HttpParser* parser, const UINT8* data, UINT32 length) {
  UINT32 completed = 0;
  if (parser->state == ParserDisabled) return 0;
  for (;;) {
    switch (parser->state) {
      case ParserRequestDone:
        parser->state = ParserReset;
        [[fallthrough]];
      case ParserReset:
        ResetRequest(parser);
        break;
      case ParserSkippingBody:
        if (length <= parser->bodyRemaining) {
          parser->bodyRemaining -= length;
          if (parser->bodyRemaining == 0) parser->state = ParserRequestDone;
          return completed;
        }
        data += parser->bodyRemaining;
        length -= parser->bodyRemaining;
        parser->state = ParserRequestDone;
        continue;
      case ParserInHeader:
        break;
      default:  // ParserStopped, and values the parser never sets
        return completed;
    }

    UINT32 used = ScanHeader(parser, data, length);
    if (parser->lineState == LineError) {
      parser->state = ParserStopped;
      return completed;
    }
    if (parser->lineState != LineHeaderEnd) {
      parser->state = ParserInHeader;
      return completed;
    }
    UINT32 contentLength = parser->hasContentLength ? parser->bodyRemaining : 0;
    if (StoreRequest(parser, parser->host, parser->requestLine, parser->headerBytes, contentLength) == 0) {
      parser->state = ParserStopped;
      return completed;
    }
    ++completed;

    UINT32 rest = length - used;
    if (rest == 0) {
      parser->state = parser->hasContentLength ? ParserSkippingBody : ParserRequestDone;
      return completed;
    }
    if (parser->hasContentLength) {
      if (rest == contentLength) {
        parser->state = ParserRequestDone;  // bodyRemaining keeps the value
        return completed;
      }
      if (rest < contentLength) {
        parser->bodyRemaining = contentLength - rest;
        parser->state = ParserSkippingBody;
        return completed;
      }
      used += contentLength;
    }
    // More data follows the request: the next one starts in this chunk.
    data += used;
    length -= used;
    parser->state = ParserRequestDone;
  }
}
