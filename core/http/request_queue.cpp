// The flow's request queue: a singly linked list from the newest node
// (queueHead) to the oldest, guarded by queueLock. New requests go in at the
// head and are taken off at the tail, first in, first out.
#include "core/driver/driver_state.h"
#include "core/http/http_parser.h"

UINT32 QueuePushNewest(HttpParser* queue, RequestRecord* record) {
  auto* node = static_cast<RequestNode*>(AllocateNonPaged(sizeof(RequestNode)));
  if (node == nullptr) return 0;
  node->record = record;
  node->next = queue->queueHead;
  queue->queueHead = node;
  ++queue->queueCount;
  return 1;
}

UINT32 QueuePopOldest(HttpParser* queue, RequestRecord** record) {
  RequestNode* last = queue->queueHead;
  if (last == nullptr) return 0;
  RequestNode* before = nullptr;
  while (last->next != nullptr) {
    before = last;
    last = last->next;
  }
  *record = last->record;
  if (before == nullptr) {
    queue->queueHead = nullptr;
  } else {
    before->next = nullptr;
  }
  FreeNonPaged(last);
  --queue->queueCount;
  return 1;
}

void DrainRequestQueue(HttpParser* parser) {
  KIRQL oldIrql = KfAcquireSpinLock(&parser->queueLock);
  // queueCount and the list agree unless something broke the queue; the
  // list's end stops the walk in any case.
  RequestRecord* record;
  while (parser->queueCount != 0 && QueuePopOldest(parser, &record) != 0) FreeRequestRecord(record);
  KfReleaseSpinLock(&parser->queueLock, oldIrql);
}

void ReleaseHttpParser(HttpParser* parser) {
  DrainRequestQueue(parser);
  // Nodes still linked now would mean a broken count; free them, not their records.
  RequestNode* node = parser->queueHead;
  while (node != nullptr) {
    RequestNode* next = node->next;
    FreeNonPaged(node);
    node = next;
  }
  parser->queueCount = 0;
  parser->queueHead = nullptr;
}
