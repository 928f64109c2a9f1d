// ParseHttpRequests: the header scanner. The scanner's rules are stated per
// byte (ScanByte); the bytes between line ends obey the simplest of them, so
// they are scanned and stored a machine word at a time (TakeText), with the
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

// High bit of each byte of w that is CR or LF. A borrow only runs upwards
// from a matching byte, so the lowest flag is always a true one.
inline ScanWord LineEnds(ScanWord w) {
  ScanWord cr = w ^ kCRs;
  ScanWord lf = w ^ kLFs;
  return (((cr - kOnes) & ~cr) | ((lf - kOnes) & ~lf)) & kHighBits;
}
// Non-zero when w has a byte below 0x0E, which every CR and LF is; cheaper
// than LineEnds and rarely true inside header text.
inline ScanWord Controls(ScanWord w) { return (w - kOnes * 0x0E) & ~w & kHighBits; }
inline UINT32 FirstFlagged(ScanWord flags) { return static_cast<UINT32>(__builtin_ctzl(flags)) / 8; }
inline ScanWord LoadWord(const UINT8* p) {
  ScanWord w;
  __builtin_memcpy(&w, p, sizeof(w));
  return w;
}

// Index of the first CR or LF among the n bytes at p, or n when there is none.
UINT32 FindLineEnd(const UINT8* p, UINT32 n) {
  UINT32 i = 0;
  for (; n - i >= sizeof(ScanWord); i += sizeof(ScanWord)) {
    ScanWord hit = LineEnds(LoadWord(p + i));
    if (hit != 0) return i + FirstFlagged(hit);
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
// The first n (at most 8) bytes of a text as one little-endian number, so
// that a header name is compared in one step.
constexpr UINT64 Bytes8(const char* text, UINT32 n) {
  UINT64 value = 0;
  for (UINT32 k = n; k > 0; --k) value = value << 8 | static_cast<UINT8>(text[k - 1]);
  return value;
}
inline UINT64 Load8(const char* text, UINT32 n) {
  UINT64 value;
  __builtin_memcpy(&value, text, sizeof(value));
  return n == 8 ? value : value & ((UINT64(1) << (8 * n)) - 1);
}

constexpr UINT64 kMaxContentLength = 0xFFFFFFFFu;

// The value of a Content-Length line from just after its colon: digits
// accumulate, spaces are skipped wherever they stand, anything else ends it.
// False when the value does not fit in 32 bits; the count stops growing once
// it is past that, however many digits follow.
bool ReadContentLength(const char* text, UINT32* out) {
  UINT64 value = 0;
  for (const char* c = text;; ++c) {
    if (*c >= '0' && *c <= '9') {
      if (value <= kMaxContentLength) value = value * 10 + static_cast<UINT64>(*c - '0');
    } else if (*c != ' ') {
      break;
    }
  }
  if (value > kMaxContentLength) return false;
  *out = static_cast<UINT32>(value);
  return true;
}

// A header line other than the request line ended; it is NUL-terminated at
// lineLength. The line buffer is read eight bytes at a time, never past its end.
// False when the line is malformed: a Content-Length that no 32-bit count holds.
bool ReadHeaderLine(HttpParser* parser) {
  const char* line = parser->headerLine;
  if (parser->lineLength > 16 && Load8(line, 8) == Bytes8("Content-", 8) &&
      Load8(line + 8, 7) == Bytes8("Length:", 7)) {
    parser->hasContentLength = 1;
    if (!ReadContentLength(line + 15, &parser->bodyRemaining)) return false;  // after "Content-Length:"
  }
  if (parser->lineLength > 6 && Load8(line, 5) == Bytes8("Host:", 5))
    memcpy(parser->host, line + 5, strlen(line + 5) + 1);
  return true;
}

// lineState is LineEndCRLF or LineEndLF. Removes the line end; returns false
// when the line was empty, which ends the header (LineHeaderEnd), or
// malformed (LineError).
inline __attribute__((always_inline)) bool EndLine(HttpParser* parser) {
  parser->lineLength -= parser->lineState == LineEndCRLF ? 2 : 1;
  CurrentLine(parser)[parser->lineLength] = '\0';
  if (parser->lineLength == 0) {
    parser->lineState = LineHeaderEnd;
    return false;
  }
  if (parser->lineIndex != 0 && !ReadHeaderLine(parser)) {
    parser->lineState = LineError;
    return false;
  }
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

// Stores a word of line text at out; returns false. When the word holds a
// line end, stores only the bytes before it, leaves the buffer's bytes from
// there on as they are, adds their number to *taken and returns true.
inline bool StoreWord(char* out, ScanWord w, UINT32* taken) {
  ScanWord hit = LineEnds(w);
  if (hit == 0) {
    __builtin_memcpy(out, &w, sizeof(w));
    *taken += sizeof(w);
    return false;
  }
  UINT32 k = FirstFlagged(hit);
  ScanWord keep = ~ScanWord(0) << (8 * k);
  ScanWord old;
  __builtin_memcpy(&old, out, sizeof(old));
  old = (w & ~keep) | (old & keep);
  __builtin_memcpy(out, &old, sizeof(old));
  *taken += k;
  return true;
}

// Inside a line every byte but CR and LF is only counted and stored. Takes
// such bytes from the n at p, up to the first CR or LF, and returns how many.
// While they fit into the line buffer, each word is stored as it is scanned.
UINT32 TakeText(HttpParser* parser, const UINT8* p, UINT32 n) {
  UINT32 fit = kLineBufferSize - parser->lineLength;
  if (fit > n) fit = n;
  char* out = CurrentLine(parser) + parser->lineLength;
  UINT32 i = 0;
  bool ended = false;
  while (fit - i >= 2 * sizeof(ScanWord)) {
    ScanWord a = LoadWord(p + i);
    ScanWord b = LoadWord(p + i + sizeof(a));
    if ((Controls(a) | Controls(b)) == 0) {
      __builtin_memcpy(out + i, &a, sizeof(a));
      __builtin_memcpy(out + i + sizeof(a), &b, sizeof(b));
      i += 2 * sizeof(ScanWord);
    } else if (StoreWord(out + i, a, &i) || StoreWord(out + i, b, &i)) {
      ended = true;
      break;
    }
  }
  if (!ended && fit - i >= sizeof(ScanWord)) ended = StoreWord(out + i, LoadWord(p + i), &i);
  if (!ended) {
    for (; i < fit && p[i] != '\r' && p[i] != '\n'; ++i) out[i] = static_cast<char>(p[i]);
  }
  parser->lineLength += i;
  parser->headerBytes += i;
  if (i == n || i < fit || p[i] == '\r' || p[i] == '\n') return i;
  // The line outgrows its buffer; the rest of the run takes the slow way.
  UINT32 rest = FindLineEnd(p + i, n - i);
  if (rest != 0) {
    StoreRun(parser, reinterpret_cast<const char*>(p + i), rest);
    parser->headerBytes += rest;
  }
  return i + rest;
}

// Scans header bytes until the header ends, the scan fails or the data run
// out. Returns the bytes consumed: when the header ended, the index just past
// its last byte.
UINT32 ScanHeader(HttpParser* parser, const UINT8* data, UINT32 length) {
  UINT32 i = 0;
  while (i < length) {
    if (parser->lineState == LineText) {
      UINT32 room = parser->headerBytes < kMaxHeaderBytes ? kMaxHeaderBytes - parser->headerBytes : 0;
      i += TakeText(parser, data + i, length - i < room ? length - i : room);
      if (i == length) break;
      // The common line end, CR LF within the bound and the buffer, in one step.
      if (data[i] == '\r' && length - i >= 2 && data[i + 1] == '\n' && parser->headerBytes + 2 <= kMaxHeaderBytes &&
          parser->lineLength + 2 <= kLineBufferSize) {
        char* end = CurrentLine(parser) + parser->lineLength;
        end[0] = '\r';
        end[1] = '\n';
        parser->lineLength += 2;
        parser->headerBytes += 2;
        parser->lineState = LineEndCRLF;
        i += 2;
        if (!EndLine(parser)) break;
        continue;
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
    // The request's size must be countable, or what follows it is misframed.
    if (UINT64(parser->headerBytes) + contentLength > kMaxContentLength) {
      parser->state = ParserStopped;
      return completed;
    }
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
