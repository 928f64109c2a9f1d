// StoreRequest: turns a complete request header into a RequestRecord on the
// flow's request queue.
#include "core/driver/driver_state.h"
#include "core/http/http_parser.h"
#include "core/http/word_scan.h"

namespace {

// Allocates length + 2 bytes for a copy of a text of that length.
char* AllocateText(SIZE_T length) { return static_cast<char*>(AllocateNonPaged(length + 2)); }

constexpr char kVersionPrefix[] = " HTTP/1.";
static_assert(sizeof(kVersionPrefix) - 1 == sizeof(UINT64), "the prefix is compared as one 8-byte word");

// An HTTP/1.x request line: at least 10 characters with " HTTP/1." in them.
// Nearly every line ends with it and one more character, which is compared
// first, as one word; only other lines are searched.
bool IsHttp1RequestLine(const char* line, SIZE_T length) {
  if (length < 10) return false;
  UINT64 tail, prefix;
  __builtin_memcpy(&tail, line + length - sizeof(tail) - 1, sizeof(tail));
  __builtin_memcpy(&prefix, kVersionPrefix, sizeof(prefix));
  return tail == prefix || strstr(line, kVersionPrefix) != nullptr;
}

// How many bytes from the start of a text may be read a word at a time: the
// parser's own line buffers to their end, any other text only byte by byte.
SIZE_T Readable(const HttpParser* parser, const char* text) {
  return text == parser->requestLine || text == parser->host ? kLineBufferSize : 0;
}

// The Host text as its copy needs it, in one pass over the usual text: its
// length, the leading spaces to skip, and where the ':' of a port stands
// (at `length` when there is none).
struct HostText {
  SIZE_T length;
  SIZE_T skip;
  SIZE_T colon;
};
HostText MeasureHost(const char* text, SIZE_T readable) {
  HostText h{0, 0, 0};
  while (text[h.skip] == ' ') ++h.skip;  // the NUL ends the spaces
  const char* name = text + h.skip;
  const SIZE_T rest = readable > h.skip ? readable - h.skip : 0;
  const SIZE_T stop = word_scan::SpanUntil(name, rest, ':');
  h.colon = h.skip + stop;
  h.length = name[stop] == ':' ? h.colon + word_scan::TextLength(name + stop, rest > stop ? rest - stop : 0) : h.colon;
  return h;
}

}  // namespace

UINT32 StoreRequest(HttpParser* parser, const char* hostText, const char* requestLine, UINT32 headerBytes,
                    UINT32 contentLength) {
  SIZE_T lineLength = word_scan::TextLength(requestLine, Readable(parser, requestLine));
  if (!IsHttp1RequestLine(requestLine, lineLength)) return 0;

  char* lineCopy = AllocateText(lineLength);
  if (lineCopy == nullptr) return 0;
  const HostText host = MeasureHost(hostText, Readable(parser, hostText));
  char* hostCopy = AllocateText(host.length);
  if (hostCopy == nullptr) {
    FreeNonPaged(lineCopy);
    return 0;
  }

  // The host name: without leading spaces, and without a port.
  word_scan::CopyShort(hostCopy, hostText + host.skip, host.length - host.skip + 1);
  if (host.colon < host.length) hostCopy[host.colon - host.skip] = '\0';
  word_scan::CopyShort(lineCopy, requestLine, lineLength + 1);

  auto* record = static_cast<RequestRecord*>(AllocateNonPaged(sizeof(RequestRecord)));
  if (record == nullptr) {
    // The request still counts as complete; it is just not queued.
    FreeNonPaged(hostCopy);
    FreeNonPaged(lineCopy);
    return 1;
  }
  record->size = headerBytes + contentLength;
  record->requestLine = lineCopy;
  record->host = hostCopy;
  record->blocked = 0;

  KIRQL oldIrql = KfAcquireSpinLock(&parser->queueLock);
  UINT32 queued = QueuePushNewest(parser, record);
  KfReleaseSpinLock(&parser->queueLock, oldIrql);
  if (queued == 0) FreeRequestRecord(record);
  return 1;
}

void FreeRequestRecord(RequestRecord* record) {
  FreeNonPaged(record->host);
  FreeNonPaged(record->requestLine);
  FreeNonPaged(record);
}
