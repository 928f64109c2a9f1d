// StoreRequest: turns a complete request header into a RequestRecord on the
// flow's request queue.
#include "core/driver/driver_state.h"
#include "core/http/http_parser.h"

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

}  // namespace

UINT32 StoreRequest(HttpParser* parser, const char* hostText, const char* requestLine, UINT32 headerBytes,
                    UINT32 contentLength) {
  SIZE_T lineLength = strlen(requestLine);
  if (!IsHttp1RequestLine(requestLine, lineLength)) return 0;

  char* lineCopy = AllocateText(lineLength);
  if (lineCopy == nullptr) return 0;
  SIZE_T hostLength = strlen(hostText);
  char* hostCopy = AllocateText(hostLength);
  if (hostCopy == nullptr) {
    FreeNonPaged(lineCopy);
    return 0;
  }

  // The host name: without leading spaces, and without a port.
  SIZE_T skip = 0;
  while (skip < hostLength && hostText[skip] == ' ') ++skip;
  memcpy(hostCopy, hostText + skip, hostLength - skip + 1);
  // The copy ends within hostLength bytes, so its NUL bounds the search.
  if (char* colon = strchr(hostCopy, ':')) *colon = '\0';
  memcpy(lineCopy, requestLine, lineLength + 1);

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
