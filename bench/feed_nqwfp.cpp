#include "bench/parsers.h"
#include "core/driver/driver_state.h"
#include "core/http/http_parser.h"

namespace bench {

long FeedParseHttpRequests(const std::string& stream, size_t chunk) {
  // One parser for every stream, as the picohttpparser feed keeps one buffer:
  // made once, and each stream starts it on a new request. Making a flow's
  // parser and draining its queue at the flow's end are the flow's costs.
  static HttpParser parser;
  static bool made = false;
  if (!made) InitHttpParser(&parser, ParserReset);
  made = true;
  parser.state = ParserReset;
  const auto* data = reinterpret_cast<const UINT8*>(stream.data());
  const size_t size = stream.size();
  if (chunk == 0) chunk = size;
  long requests = 0;
  for (size_t at = 0; at < size; at += chunk) {
    UINT32 n = static_cast<UINT32>(size - at < chunk ? size - at : chunk);
    UINT32 done = ParseHttpRequests(&parser, data + at, n);
    if (done != 0) {
      KIRQL oldIrql = KfAcquireSpinLock(&parser.queueLock);
      RequestRecord* record;
      while (QueuePopOldest(&parser, &record) != 0) FreeRequestRecord(record);
      KfReleaseSpinLock(&parser.queueLock, oldIrql);
      requests += done;
    }
  }
  bool stopped = parser.state == ParserStopped;
  if (parser.queueHead != nullptr) ReleaseHttpParser(&parser);  // what a stopped parser left
  return stopped ? -1 : requests;
}

}  // namespace bench
