// ParseHttpRequests: the header scanner. The scanner's rules are stated per
// byte (ScanByte); the bytes between line ends obey the simplest of them. So
// a whole line that lies in the data, under the header bound and within its
// buffer, is found and stored a machine word at a time together with its
// CR LF or LF, and ended once (ScanLine); from the start of a line, such
// lines follow one another in one tight loop (TakeLines). A line near any of
// those ends takes the general way: its text a word at a time where that is
// plain (TakeText), the rest byte by byte. Either way counters and buffers
// come out as taking the bytes one by one would leave them. While a header
// is scanned its line members live in a LineCursor, so that the line bytes
// stored through char pointers do not make the compiler reload them.
#include "core/http/http_parser.h"
#include "core/http/word_scan.h"

namespace {

using namespace word_scan;

// Index of the first CR or LF among the n bytes at p, or n when there is none.
UINT32 FindLineEnd(const UINT8* p, UINT32 n) {
  UINT32 i = 0;
  for (; n - i >= kWordBytes; i += kWordBytes) {
    ScanWord w = LoadWord(p + i);
    if (Controls(w) == 0) continue;
    ScanWord hit = LineEnds(w);
    if (hit != 0) return i + FirstFlagged(hit);
  }
  for (; i < n; ++i)
    if (IsLineEnd(p[i])) return i;
  return n;
}

// ---- The current line ------------------------------------------------------------
// The parser's line members while a header is scanned.
struct LineCursor {
  char* line;  // requestLine while lineIndex is 0, headerLine after it
  UINT32 lineLength;
  UINT32 headerBytes;
  UINT32 lineIndex;
  UINT32 lineState;
};

LineCursor OpenCursor(HttpParser* parser) {
  return LineCursor{parser->lineIndex == 0 ? parser->requestLine : parser->headerLine, parser->lineLength,
                    parser->headerBytes, parser->lineIndex, parser->lineState};
}
void CloseCursor(HttpParser* parser, const LineCursor& c) {
  parser->lineLength = c.lineLength;
  parser->headerBytes = c.headerBytes;
  parser->lineIndex = c.lineIndex;
  parser->lineState = c.lineState;
}

// Stores one byte at lineLength, making room first: a full header line keeps
// overwriting its last position; a full request line slides its window.
void StoreByte(LineCursor* c, char byte) {
  if (c->lineLength >= kLineBufferSize) {
    if (c->lineIndex != 0) {
      c->lineLength = kLineBufferSize - 1;
    } else {
      memcpy(c->line + kRequestLineHead, c->line + kRequestLineHead + kLineWindow, kLineWindow);
      c->lineLength = kRequestLineHead + kLineWindow;
    }
  }
  c->line[c->lineLength++] = byte;
}

// Stores n >= 1 bytes into a full line buffer (lineLength 256) as n
// StoreByte calls would, with the buffer rule applied once for the run.
void StoreOverflow(LineCursor* c, const char* bytes, UINT32 n) {
  char* line = c->line;
  if (c->lineIndex != 0) {  // every byte lands on the last position; the last one stays
    line[kLineBufferSize - 1] = bytes[n - 1];
    c->lineLength = kLineBufferSize;
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
  c->lineLength = windowEnd + n;
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
// length. The line buffer is read eight bytes at a time, never past its end.
// False when the line is malformed: a Content-Length that no 32-bit count holds.
inline __attribute__((always_inline)) bool ReadHeaderLine(HttpParser* parser, UINT32 length) {
  const char* line = parser->headerLine;
  UINT64 head = Load8(line, 8);
  if (head == Bytes8("Content-", 8) && length > 16 && Load8(line + 8, 7) == Bytes8("Length:", 7)) {
    parser->hasContentLength = 1;
    if (!ReadContentLength(line + 15, &parser->bodyRemaining)) return false;  // after "Content-Length:"
  } else if (length > 6 && (head & 0xFFFFFFFFFFull) == Bytes8("Host:", 5)) {
    const char* text = line + 5;  // after "Host:", read up to the buffer's end
    CopyShort(parser->host, text, TextLength(text, kLineBufferSize - 5) + 1);
  }
  return true;
}

// A line ended and lineLength no longer counts its line end. Writes the NUL
// there; returns false when the line was empty, which ends the header
// (LineHeaderEnd), or malformed (LineError).
inline __attribute__((always_inline)) bool FinishLine(HttpParser* parser, LineCursor* c) {
  c->line[c->lineLength] = '\0';
  if (c->lineLength == 0) {
    c->lineState = LineHeaderEnd;
    return false;
  }
  if (c->lineIndex != 0 && !ReadHeaderLine(parser, c->lineLength)) {
    c->lineState = LineError;
    return false;
  }
  ++c->lineIndex;
  c->lineState = LineText;
  c->lineLength = 0;
  c->line = parser->headerLine;
  return true;
}

// lineState is LineEndCRLF or LineEndLF: removes the line end, then as FinishLine.
inline __attribute__((always_inline)) bool EndLine(HttpParser* parser, LineCursor* c) {
  c->lineLength -= c->lineState == LineEndCRLF ? 2 : 1;
  return FinishLine(parser, c);
}

// The scanner's rules for one byte. Returns false when the scan ends with it:
// lineState is then LineError or LineHeaderEnd.
bool ScanByte(HttpParser* parser, LineCursor* c, UINT8 byte) {
  if (++c->headerBytes > kMaxHeaderBytes) {
    c->lineState = LineError;  // the byte is not stored
    return false;
  }
  StoreByte(c, static_cast<char>(byte));
  switch (c->lineState) {
    case LineText:
      c->lineState = byte == '\n' ? LineEndLF : byte == '\r' ? LineSawCR : LineText;
      break;
    case LineSawCR:
      c->lineState = byte == '\n' ? LineEndCRLF : LineError;
      break;
    default:
      c->lineState = LineError;
      break;
  }
  if (c->lineState == LineError) return false;
  if (c->lineState == LineEndCRLF || c->lineState == LineEndLF) return EndLine(parser, c);
  return true;
}

// Inside a line every byte but CR and LF is only counted and stored. Takes
// such bytes from the n at p, up to the first CR or LF, and returns how many.
// While they fit into the line buffer, each word is stored as it is scanned;
// of the word that holds the line end only the bytes before it are stored.
UINT32 TakeText(LineCursor* c, const UINT8* p, UINT32 n) {
  UINT32 fit = kLineBufferSize - c->lineLength;
  if (fit > n) fit = n;
  char* out = c->line + c->lineLength;
  UINT32 i = 0;
  for (; fit - i >= kWordBytes; i += kWordBytes) {
    ScanWord w = LoadWord(p + i);
    if (Controls(w) != 0) {
      ScanWord hit = LineEnds(w);
      if (hit != 0) {
        UINT32 k = FirstFlagged(hit);
        ScanWord keep = ~ScanWord(0) << (8 * k);  // the buffer's bytes from the line end on
        StoreWord(out + i, (w & ~keep) | (LoadWord(out + i) & keep));
        i += k;
        c->lineLength += i;
        c->headerBytes += i;
        return i;
      }
    }
    StoreWord(out + i, w);
  }
  for (; i < fit && !IsLineEnd(p[i]); ++i) out[i] = static_cast<char>(p[i]);
  c->lineLength += i;
  c->headerBytes += i;
  if (i < fit || i == n) return i;
  // The line outgrows its buffer; the rest of its text is stored in one go.
  UINT32 rest = FindLineEnd(p + i, n - i);
  if (rest != 0) {
    StoreOverflow(c, reinterpret_cast<const char*>(p + i), rest);
    c->headerBytes += rest;
  }
  return i + rest;
}

// Stores the first n (1 to 8) bytes of w at out and leaves the bytes after
// them as they are.
inline void StoreHead(char* out, ScanWord w, UINT32 n) {
  const ScanWord keep = ~ScanWord(0) << (8 * n - 1) << 1;  // two shifts: none is by the word's width
  StoreWord(out, (w & ~keep) | (LoadWord(out) & keep));
}

// What ScanLine took: `taken` bytes, stored; when `ended`, they end with the
// line's CR LF or LF, which starts at `end`.
struct LineRun {
  UINT32 taken;
  UINT32 end;
  bool ended;
};

// The common case, in one pass: in LineText, the rest of the line, its text
// and its CR LF or LF, lies within the n bytes at p, and n is no more than
// the bytes left under the header bound and in the line buffer. Scans the
// line a word at a time and stores it at out, line end included. Otherwise
// it takes whole words of text only, which TakeText would take alike, and
// leaves the rest to the general rules.
inline __attribute__((always_inline)) LineRun ScanLine(char* out, const UINT8* p, UINT32 n) {
  UINT32 k = 0, first = kWordBytes;  // first: the CR or LF within the word at k
  ScanWord w = 0;
  for (; n - k >= kWordBytes; k += kWordBytes) {
    w = LoadWord(p + k);
    const ScanWord controls = Controls(w);
    if (controls != 0) {
      // The lowest flag is exact: nearly always the line end itself.
      first = FirstFlagged(controls);
      if (IsLineEnd(p[k + first])) break;
      const ScanWord hit = LineEnds(w);  // a tab, NUL or byte above 0x8D came first
      if (hit != 0) {
        first = FirstFlagged(hit);
        break;
      }
      first = kWordBytes;
    }
    StoreWord(out + k, w);
  }
  if (first < kWordBytes) {
    UINT32 end = k + first;  // the CR or LF
    UINT32 endBytes = p[end] == '\n' ? 1 : end + 2 <= n && p[end + 1] == '\n' ? 2 : 0;
    if (endBytes != 0) {
      UINT32 taken = end + endBytes;
      StoreHead(out + k, w, end + 1 - k);  // up to the CR or LF
      out[taken - 1] = '\n';               // the LF, which may follow a CR in the next word
      return LineRun{taken, end, true};
    }
  }
  return LineRun{k, 0, false};
}

// ScanLine at the cursor. Sets *ended when it took the whole line up to and
// including its line end (lineLength then without it). Returns the bytes taken.
inline __attribute__((always_inline)) UINT32 TakeLine(LineCursor* c, const UINT8* p, UINT32 n, bool* ended) {
  const LineRun run = ScanLine(c->line + c->lineLength, p, n);
  c->lineLength += run.ended ? run.end : run.taken;
  c->headerBytes += run.taken;
  *ended = run.ended;
  return run.taken;
}

// The lines of a header, from the start of a line, a whole line a turn
// while each lies in the length bytes at data, within the header bound and
// its line buffer: the common case, with its few values kept in registers
// and each line ended as FinishLine ends it. Returns the bytes taken and
// leaves the cursor as the general rules would: after the line that ended
// the scan, or inside the line it could not take whole.
inline __attribute__((always_inline)) UINT32 TakeLines(HttpParser* parser, LineCursor* c, const UINT8* data,
                                                       UINT32 length) {
  char* out = c->line;
  const UINT32 room = kMaxHeaderBytes - c->headerBytes;
  const UINT32 limit = length < room ? length : room;
  UINT32 at = 0, lineIndex = c->lineIndex, lineLength = 0, lineState = LineText;
  for (;;) {
    const UINT32 fit = limit - at < kLineBufferSize ? limit - at : kLineBufferSize;
    const LineRun run = ScanLine(out, data + at, fit);
    at += run.taken;
    if (!run.ended) {  // the general rules go on inside the line
      lineLength = run.taken;
      break;
    }
    out[run.end] = '\0';
    if (run.end == 0) {
      lineState = LineHeaderEnd;
      break;
    }
    if (lineIndex != 0 && !ReadHeaderLine(parser, run.end)) {
      lineState = LineError;
      lineLength = run.end;
      break;
    }
    ++lineIndex;
    out = parser->headerLine;
  }
  c->line = out;
  c->headerBytes += at;
  c->lineIndex = lineIndex;
  c->lineLength = lineLength;
  c->lineState = lineState;
  return at;
}

// Scans header bytes until the header ends, the scan fails or the data run
// out. Returns the bytes consumed: when the header ended, the index just past
// its last byte.
UINT32 ScanHeader(HttpParser* parser, const UINT8* data, UINT32 length) {
  LineCursor c = OpenCursor(parser);
  UINT32 i = 0;
  while (i < length) {
    // At the start of a line under the bound: as many whole lines as lie in the data.
    if (c.lineState == LineText && c.lineLength == 0 && c.headerBytes <= kMaxHeaderBytes) {
      i += TakeLines(parser, &c, data + i, length - i);
      if (c.lineState != LineText || i == length) break;
    }
    if (c.lineState == LineText) {
      UINT32 room = c.headerBytes < kMaxHeaderBytes ? kMaxHeaderBytes - c.headerBytes : 0;
      UINT32 reach = length - i < room ? length - i : room;
      UINT32 fit = reach < kLineBufferSize - c.lineLength ? reach : kLineBufferSize - c.lineLength;
      if (fit >= kWordBytes) {
        bool ended;
        UINT32 taken = TakeLine(&c, data + i, fit, &ended);
        i += taken;
        if (ended) {
          if (!FinishLine(parser, &c)) break;
          continue;
        }
        room -= taken;
      }
      i += TakeText(&c, data + i, length - i < room ? length - i : room);
      if (i == length) break;
      // CR LF within the bound and the buffer, in one step.
      if (data[i] == '\r' && length - i >= 2 && data[i + 1] == '\n' && c.headerBytes + 2 <= kMaxHeaderBytes &&
          c.lineLength + 2 <= kLineBufferSize) {
        char* end = c.line + c.lineLength;
        end[0] = '\r';
        end[1] = '\n';
        c.lineLength += 2;
        c.headerBytes += 2;
        c.lineState = LineEndCRLF;
        i += 2;
        if (!EndLine(parser, &c)) break;
        continue;
      }
    }
    if (!ScanByte(parser, &c, data[i++])) break;
  }
  CloseCursor(parser, c);
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
