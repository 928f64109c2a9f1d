// The chunked body of a request: its syntax byte by byte, its chunk data
// skipped by subtraction.
#include "core/http/chunked_body.h"

#include "core/http/word_scan.h"

namespace {

constexpr UINT64 kMaxRequestSize = 0xFFFFFFFFu;

// Index of a hex digit's value, or -1.
inline int HexValue(UINT8 byte) {
  if (byte >= '0' && byte <= '9') return byte - '0';
  byte = static_cast<UINT8>(byte | 0x20);
  return byte >= 'a' && byte <= 'f' ? byte - 'a' + 10 : -1;
}

constexpr UINT32 kChunkError = LineError, kBodyEnd = LineHeaderEnd;

// One byte of a chunked body's syntax (not of a chunk's data). Returns the
// next ChunkState; kChunkError when the byte breaks the syntax, kBodyEnd
// when it ended the body.
UINT32 ChunkSyntaxByte(HttpParser* parser, UINT8 byte) {
  switch (parser->lineState) {
    case ChunkSizeStart:
    case ChunkSizeDigits: {
      int digit = HexValue(byte);
      if (digit >= 0) {
        if (parser->bodyRemaining > (kMaxRequestSize >> 4)) return kChunkError;  // no 32-bit size holds it
        parser->bodyRemaining = parser->bodyRemaining << 4 | static_cast<UINT32>(digit);
        return ChunkSizeDigits;
      }
      if (parser->lineState == ChunkSizeStart) return kChunkError;  // a size has one digit at least
      [[fallthrough]];
    }
    case ChunkExtension:
      if (byte == '\r') return ChunkSizeCR;
      if (byte != '\n') {
        bool extension = byte == ';' || word_scan::IsBlank(byte) || parser->lineState == ChunkExtension;
        return extension ? static_cast<UINT32>(ChunkExtension) : kChunkError;
      }
      [[fallthrough]];
    case ChunkSizeCR:
      if (byte != '\n') return kChunkError;
      return parser->bodyRemaining == 0 ? TrailerStart : ChunkData;  // the last chunk has size 0
    case ChunkDataEnd:
      if (byte == '\r') return ChunkDataCR;
      [[fallthrough]];
    case ChunkDataCR:
      return byte == '\n' ? static_cast<UINT32>(ChunkSizeStart) : kChunkError;
    case TrailerStart:
      if (byte == '\r') return TrailerEndCR;
      if (byte == '\n') return kBodyEnd;
      return TrailerText;
    case TrailerText:
      if (byte == '\r') return TrailerCR;
      return byte == '\n' ? TrailerStart : TrailerText;
    case TrailerCR:
      return byte == '\n' ? static_cast<UINT32>(TrailerStart) : kChunkError;
    case TrailerEndCR:
      return byte == '\n' ? kBodyEnd : kChunkError;
    default:
      return kChunkError;
  }
}

}  // namespace

// Skips chunked body bytes: chunk data by subtraction, the syntax around it
// byte by byte. Returns the bytes taken; lineState is kBodyEnd when the body
// ended with the last of them, kChunkError when the body is malformed or
// would make the request's size overflow 32 bits (the bad byte is not
// counted), otherwise the ChunkState to resume at.
UINT32 SkipChunkedBody(HttpParser* parser, const UINT8* data, UINT32 length) {
  const UINT64 room = kMaxRequestSize - parser->headerBytes - parser->lineIndex;
  const UINT32 n = length < room ? length : static_cast<UINT32>(room);
  UINT32 i = 0;
  while (i < n && parser->lineState != kBodyEnd) {
    if (parser->lineState == ChunkData) {
      UINT32 skip = n - i < parser->bodyRemaining ? n - i : parser->bodyRemaining;
      parser->bodyRemaining -= skip;
      i += skip;
      if (parser->bodyRemaining == 0) parser->lineState = ChunkDataEnd;
      continue;
    }
    UINT32 next = ChunkSyntaxByte(parser, data[i]);
    if (next == kChunkError) break;
    parser->lineState = next;
    ++i;
  }
  parser->lineIndex += i;
  if (parser->lineState != kBodyEnd && i < length) parser->lineState = kChunkError;
  return i;
}

// A request's header ended with a chunked Transfer-Encoding: its body is
// read chunk by chunk from here.
void StartChunkedBody(HttpParser* parser) {
  parser->state = ParserSkippingBody;
  parser->lineState = ChunkSizeStart;
  parser->lineIndex = 0;
  parser->bodyRemaining = 0;
}

