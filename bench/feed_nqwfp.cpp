#include "bench/parsers.h"
#include "core/driver/driver_state.h"
#include "core/http/http_parser.h"

#include <cstring>

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
  ReleaseHttpParser(&parser);
  return stopped ? -1 : requests;
}

PoolTraffic RecordPoolTraffic(const std::vector<std::string>& streams) {
  PoolTraffic traffic;
  HttpParser parser;
  for (const std::string& stream : streams) {
    InitHttpParser(&parser, ParserReset);
    ParseHttpRequests(&parser, reinterpret_cast<const UINT8*>(stream.data()), static_cast<UINT32>(stream.size()));
    for (RequestNode* node = parser.queueHead; node != nullptr; node = node->next)
      traffic.texts.emplace_back(strlen(node->record->requestLine), strlen(node->record->host));
    ReleaseHttpParser(&parser);
  }
  return traffic;
}

long ReplayPoolTraffic(const PoolTraffic& traffic) {
  static KSPIN_LOCK lock;
  for (const auto& [lineLength, hostLength] : traffic.texts) {
    void* line = AllocateNonPaged(lineLength + 2);
    void* host = AllocateNonPaged(hostLength + 2);
    void* record = AllocateNonPaged(sizeof(RequestRecord));
    KIRQL oldIrql = KfAcquireSpinLock(&lock);
    void* node = AllocateNonPaged(sizeof(RequestNode));
    KfReleaseSpinLock(&lock, oldIrql);
    oldIrql = KfAcquireSpinLock(&lock);
    FreeNonPaged(node);
    KfReleaseSpinLock(&lock, oldIrql);
    FreeNonPaged(host);
    FreeNonPaged(line);
    FreeNonPaged(record);
  }
  return static_cast<long>(traffic.texts.size());
}

}  // namespace bench
