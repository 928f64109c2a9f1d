#include "bench/parsers.h"
#include "core/driver/driver_state.h"
#include "core/http/http_parser.h"

namespace bench {

long FeedParseHttpRequests(const std::string& stream, size_t chunk) {
  static HttpParser parser;  // one flow at a time
  InitHttpParser(&parser, ParserReset);
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
  // A flow's end drains its queue under the lock; that is the flow's cost,
  // not the parser's, and with every request taken there is nothing to drain.
  if (parser.queueHead != nullptr) ReleaseHttpParser(&parser);
  return stopped ? -1 : requests;
}

}  // namespace bench
