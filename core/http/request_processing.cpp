// HTTP request processing. The byte accounting ties the flow's stream bytes
// to its queued requests in stream order: a request's record stays queued
// until all of its bytes, body included, have passed. A request the client
// answered keeps its record, marked blocked, until then, and every segment
// that carries its bytes is dropped while the client is ready.
//
// A flow can be answered (canReplace) until a segment completes two or more
// requests, or completes none while bytes of an unfinished header or beyond
// the last request are unaccounted. From then on its requests are only
// reported. A stopped parser ends inspection: the flow is let through.
#include "core/http/request_processing.h"

#include "core/classify/layer_handlers.h"
#include "core/http/bounded_printf.h"

namespace {
constexpr SIZE_T kAddressTextSize = 19;

// What one call works with and hands back.
struct Processing {
  FlowContext* flow;
  const UINT8* data;
  UINT32 length;
  UINT8** reply;
  UINT32* replyLength;
  UINT32* reinject;
  UINT32* reportAsData;
  UINT32 result;     // the answer to the request decided in this call
  bool dropSegment;  // the segment carries bytes of a request already answered
  NqReplyObject* primaryObject;
  NqReplyObject* secondaryObject;
  NqU64 secondaryValue;
};

// The texts the client gets for a request.
struct RequestTexts {
  const char* host;
  const char* method;
  const char* url;
  char addressText[kAddressTextSize];
};

NqU32 ClientProcessId(const FlowContext* flow) { return static_cast<NqU32>(flow->processId); }

RequestNode* OldestNode(HttpParser* parser) {
  RequestNode* node = parser->queueHead;
  while (node != nullptr && node->next != nullptr) node = node->next;
  return node;
}

// The oldest queued record, left queued; null on an empty queue. Only this
// flow's classify removes records while the flow lives.
RequestRecord* PeekOldest(HttpParser* parser) {
  KIRQL irql = KfAcquireSpinLock(&parser->queueLock);
  RequestNode* node = OldestNode(parser);
  RequestRecord* record = node != nullptr ? node->record : nullptr;
  KfReleaseSpinLock(&parser->queueLock, irql);
  return record;
}

void FreeOldest(HttpParser* parser) {
  RequestRecord* record = nullptr;
  KIRQL irql = KfAcquireSpinLock(&parser->queueLock);
  UINT32 taken = QueuePopOldest(parser, &record);
  KfReleaseSpinLock(&parser->queueLock, irql);
  if (taken != 0) FreeRequestRecord(record);
}

// The client's answer to a request holds only while the client is ready:
// with the ready flag clear every segment passes.
bool DropsSegment(const RequestRecord* record) { return record->blocked != 0 && ReadyClient() != nullptr; }

// A record whose request line was split once has no space left in it: it
// was met before and is only accounted from then on.
bool AlreadySeen(const RequestRecord* record) { return strchr(record->requestLine, ' ') == nullptr; }

// Host, method and URL of a request seen for the first time; false when its
// request line has no URL (it is then accounted, not reported).
bool ReadRequestTexts(const FlowContext* flow, RequestRecord* record, RequestTexts* texts) {
  texts->host = record->host;
  if (record->host[0] == '\0') {
    const auto* octets = reinterpret_cast<const UINT8*>(&flow->remoteAddress);
    BoundedPrintf(texts->addressText, kAddressTextSize, "%d.%d.%d.%d", octets[0], octets[1], octets[2], octets[3]);
    texts->host = texts->addressText;
  }
  char* space = strchr(record->requestLine, ' ');
  if (space == nullptr) return false;
  texts->url = SplitNextToken(space);
  texts->method = record->requestLine;
  return texts->url != nullptr;
}

// Copies reply bytes for the caller; false when they cannot be copied. A
// reply of no bytes (or none the client could point at) is a disconnect
// alone: nothing is allocated for it.
bool TakeReply(Processing& p, const void* bytes, NqU32 length) {
  if (bytes == nullptr || length == 0) return true;
  auto* buffer = static_cast<UINT8*>(AllocateNonPaged(length));
  if (buffer == nullptr) return false;
  memcpy(buffer, bytes, length);
  *p.reply = buffer;
  *p.replyLength = length;
  return true;
}

// The reply of a decision: the reply object's bytes, or without an object
// the client's default reply of that decision.
bool TakeDecisionReply(Processing& p, const NqReplyObject* object, NqGetDefaultReplyFn defaultReply) {
  if (object != nullptr) return TakeReply(p, object->Bytes, object->Length);
  NqU32 length = 0;
  const void* bytes = defaultReply(&length);
  return TakeReply(p, bytes, length);
}

// The two decision entries and the exemption check.
void Decide(Processing& p, ClientTable* client, RequestRecord* record, const RequestTexts& t) {
  NqU32 processId = ClientProcessId(p.flow);
  NqU32 unused;
  NqU32 value = client->QueryHttpPrimary(processId, CurrentThreadId(), t.host, t.method, t.url, record->size,
                                         &p.primaryObject, &unused);
  p.result = value;
  if (value != 0 && client->CheckHttpExempt(p.data, p.length) != 0) {
    p.result = 0;
    value = 0;
    *p.reportAsData = 0;
    *p.reinject = 1;
  }
  record->blocked = value != 0 ? 1 : 0;
  if (value != 0) {
    if (!TakeDecisionReply(p, p.primaryObject, client->GetPrimaryReply)) p.result = 0;
    return;
  }
  if (client->QueryHttpSecondary(processId, CurrentThreadId(), t.host, t.method, t.url, record->size,
                                 &p.secondaryObject, &p.secondaryValue) == 0)
    return;
  if (client->CheckHttpExempt(p.data, p.length) != 0) {
    *p.reportAsData = 0;
    *p.reinject = 1;
    client->ReportHttpSecondaryExempt(processId, CurrentThreadId(), t.host);
    return;
  }
  p.result = 1;
  if (!TakeDecisionReply(p, p.secondaryObject, client->GetSecondaryReply)) p.result = 0;
  client->ReportHttpSecondary(processId, CurrentThreadId(), t.host, t.method, t.url, record->size,
                              static_cast<NqU32>(p.secondaryValue), static_cast<NqU32>(p.secondaryValue >> 32));
}

void ReportRequest(ClientTable* client, const FlowContext* flow, const RequestRecord* record,
                   const RequestTexts& t, UINT32 replied) {
  client->ReportHttpRequest(ClientProcessId(flow), CurrentThreadId(), t.host, t.method, t.url, record->size,
                            replied);
}

// The one new request of a segment: looked up, decided while the flow can
// still be answered, and reported. An answered request is marked blocked.
void AnswerRequest(Processing& p, RequestRecord* record) {
  RequestTexts texts;
  if (!ReadRequestTexts(p.flow, record, &texts)) return;
  ClientTable* client = ReadyClient();
  if (client == nullptr) return;
  NqU32 urlReplyLength = 0;
  if (const void* urlReply = client->GetUrlReply(texts.url, &urlReplyLength)) {
    *p.reportAsData = 0;
    if (p.flow->canReplace == 1 && TakeReply(p, urlReply, urlReplyLength)) p.result = 1;
  } else {
    if (p.flow->canReplace == 1) Decide(p, client, record, texts);
    if (*p.reportAsData != 0) ReportRequest(client, p.flow, record, texts, p.result);
  }
  if (p.result != 0) record->blocked = 1;
}

// Frees the oldest record once all of its bytes have passed; true if it did.
bool ReleaseIfPassed(FlowContext* flow, const RequestRecord* record) {
  if (flow->pendingBytes < record->size) return false;
  flow->pendingBytes -= record->size;
  FreeOldest(&flow->parser);
  return true;
}

// One new request: records met before are accounted first, in stream order,
// so that the new one is decided and reported with this segment.
void ProcessOneNewRequest(Processing& p) {
  for (;;) {
    RequestRecord* record = PeekOldest(&p.flow->parser);
    if (record == nullptr) return;
    if (DropsSegment(record)) p.dropSegment = true;
    bool seen = AlreadySeen(record);
    if (!seen) AnswerRequest(p, record);
    if (!ReleaseIfPassed(p.flow, record) || !seen) return;
  }
}

// Several new requests in one segment: the flow can no longer be answered;
// each is reported, none is looked up or decided.
void ProcessPipelined(Processing& p) {
  p.flow->canReplace = 0;
  for (;;) {
    RequestRecord* record = PeekOldest(&p.flow->parser);
    if (record == nullptr) return;
    if (DropsSegment(record)) p.dropSegment = true;
    RequestTexts texts;
    if (ReadRequestTexts(p.flow, record, &texts)) {
      if (ClientTable* client = ReadyClient()) ReportRequest(client, p.flow, record, texts, 0);
    }
    if (!ReleaseIfPassed(p.flow, record)) return;
  }
}

// No new request: the segment's bytes go to the oldest request, which is
// released, at most this one, once they cover it.
void AccountWithoutNewRequest(Processing& p) {
  HttpParser* parser = &p.flow->parser;
  KIRQL irql = KfAcquireSpinLock(&parser->queueLock);
  if (RequestNode* node = OldestNode(parser)) {
    RequestRecord* record = node->record;
    if (DropsSegment(record)) p.dropSegment = true;
    if (p.flow->pendingBytes >= record->size) {
      p.flow->pendingBytes -= record->size;
      RequestRecord* released = nullptr;
      QueuePopOldest(parser, &released);
      FreeRequestRecord(released);
    }
  }
  KfReleaseSpinLock(&parser->queueLock, irql);
  if (parser->state != ParserSkippingBody && p.flow->pendingBytes != 0) p.flow->canReplace = 0;
}

bool ParserEnded(const HttpParser* parser) {
  return parser->state == ParserDisabled || parser->state == ParserStopped;
}

void ReleaseReplyObjects(const Processing& p) {
  NqReplyObject* objects[2] = {p.primaryObject, p.secondaryObject};
  for (NqReplyObject* object : objects) {
    if (object == nullptr) continue;
    if (ClientTable* client = ReadyClient()) client->ReleaseReplyObject(object);
  }
}
}  // namespace

UINT32 ProcessHttpData(FlowContext* flow, const UINT8* data, UINT32 length, UINT8** reply, UINT32* replyLength,
                       UINT32* reinject, UINT32* reportAsData) {
  *reportAsData = 1;
  *replyLength = 0;
  *reinject = 0;
  *reply = nullptr;
  if (ParserEnded(&flow->parser)) {
    flow->httpEnabled = 0;
    return 0;
  }
  flow->pendingBytes += length;
  Processing p{flow, data, length, reply, replyLength, reinject, reportAsData, 0, false, nullptr, nullptr, 0};

  UINT32 completed = ParseHttpRequests(&flow->parser, data, length);
  // Requests completed before the parser stopped are still processed; the
  // stop itself takes effect on the next call.
  if (ParserEnded(&flow->parser) && completed == 0) return 0;
  if (completed == 1) {
    ProcessOneNewRequest(p);
  } else if (completed >= 2) {
    ProcessPipelined(p);
  } else {
    AccountWithoutNewRequest(p);
  }
  ReleaseReplyObjects(p);
  if (p.result != 0) return p.result;
  return p.dropSegment ? 1 : 0;
}
