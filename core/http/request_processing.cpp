// HTTP request processing. The byte accounting ties the flow's stream bytes
// to its queued requests in stream order: a request's record stays queued
// until all of its bytes, body included, have passed, and a record marked
// blocked has every further segment that carries its bytes dropped.
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
  UINT32 result;  // the answer to the request decided in this call
  bool dropSegment;  // the segment carries bytes of a request already answered
  UINT32 earlierBytes;  // bytes before this segment not yet accounted to a released request
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

void MarkQueuedBlocked(HttpParser* parser) {
  KIRQL irql = KfAcquireSpinLock(&parser->queueLock);
  for (RequestNode* node = parser->queueHead; node != nullptr; node = node->next) node->record->blocked = 1;
  KfReleaseSpinLock(&parser->queueLock, irql);
}

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

// Copies reply bytes for the caller, when the flow can still be answered.
// A reply of no bytes (or none the client could point at), one on a flow
// that can no longer be answered, or one that cannot be copied is a
// disconnect alone: the request is refused all the same.
void TakeReply(Processing& p, const void* bytes, NqU32 length) {
  if (p.flow->canReplace == 0 || bytes == nullptr || length == 0) return;
  auto* buffer = static_cast<UINT8*>(AllocateNonPaged(length));
  if (buffer == nullptr) return;
  memcpy(buffer, bytes, length);
  *p.reply = buffer;
  *p.replyLength = length;
}

// The reply of a decision: the reply object's bytes, or without an object
// the client's default reply of that decision.
void TakeDecisionReply(Processing& p, const NqReplyObject* object, NqGetDefaultReplyFn defaultReply) {
  if (object != nullptr) {
    TakeReply(p, object->Bytes, object->Length);
    return;
  }
  NqU32 length = 0;
  const void* bytes = defaultReply(&length);
  TakeReply(p, bytes, length);
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
    TakeDecisionReply(p, p.primaryObject, client->GetPrimaryReply);
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
  TakeDecisionReply(p, p.secondaryObject, client->GetSecondaryReply);
  client->ReportHttpSecondary(processId, CurrentThreadId(), t.host, t.method, t.url, record->size,
                              static_cast<NqU32>(p.secondaryValue), static_cast<NqU32>(p.secondaryValue >> 32));
}

// A request met for the first time: looked up, decided and reported. On a
// flow that can still be answered a refusal carries the client's reply; on
// one that cannot, it is refused all the same, by a disconnect alone.
void AnswerRequest(Processing& p, RequestRecord* record) {
  RequestTexts texts;
  if (!ReadRequestTexts(p.flow, record, &texts)) return;
  ClientTable* client = ReadyClient();
  if (client == nullptr) return;
  NqU32 urlReplyLength = 0;
  if (const void* urlReply = client->GetUrlReply(texts.url, &urlReplyLength)) {
    *p.reportAsData = 0;
    TakeReply(p, urlReply, urlReplyLength);
    p.result = 1;
    return;
  }
  Decide(p, client, record, texts);
  if (*p.reportAsData != 0)
    client->ReportHttpRequest(ClientProcessId(p.flow), CurrentThreadId(), texts.host, texts.method, texts.url,
                              record->size, p.result);
}

// Frees the oldest record once all of its bytes have passed; true if it did.
bool ReleaseIfPassed(FlowContext* flow, const RequestRecord* record) {
  if (flow->pendingBytes < record->size) return false;
  flow->pendingBytes -= record->size;
  FreeOldest(&flow->parser);
  return true;
}

// A request met before ends in this segment and was let through: dropping
// the segment for an answer would cut its tail off at the server, which
// would then read the flow's next bytes as the rest of it.
void NoteEarlierTail(Processing& p, const RequestRecord* record) {
  if (record->size > p.earlierBytes && !record->blocked) p.flow->canReplace = 0;
  p.earlierBytes -= record->size < p.earlierBytes ? record->size : p.earlierBytes;
}

// One new request: records met before are accounted first, in stream order,
// so that the new one is always decided and reported.
void ProcessOneNewRequest(Processing& p) {
  for (;;) {
    RequestRecord* record = PeekOldest(&p.flow->parser);
    if (record == nullptr) return;
    if (record->blocked) p.dropSegment = true;
    bool seen = AlreadySeen(record);
    if (seen) NoteEarlierTail(p, record);
    if (!seen) AnswerRequest(p, record);
    if (!ReleaseIfPassed(p.flow, record) || !seen) return;
  }
}

void ReleaseReplyObjects(const Processing& p) {
  NqReplyObject* objects[2] = {p.primaryObject, p.secondaryObject};
  for (NqReplyObject* object : objects) {
    if (object == nullptr) continue;
    if (ClientTable* client = ReadyClient()) client->ReleaseReplyObject(object);
  }
}

// One of several new requests of a segment, decided on its own: a refusal
// of any of them refuses the segment.
void AnswerPipelinedRequest(Processing& p, RequestRecord* record) {
  UINT32 reportAsData = 1, reinject = 0;
  Processing one = p;
  one.reportAsData = &reportAsData;
  one.reinject = &reinject;
  one.result = 0;
  one.primaryObject = one.secondaryObject = nullptr;
  one.secondaryValue = 0;
  AnswerRequest(one, record);
  ReleaseReplyObjects(one);
  if (one.result != 0) p.result = 1;
  if (reportAsData == 0) *p.reportAsData = 0;
  if (reinject != 0) *p.reinject = 1;
}

// Several new requests in one segment: the flow can no longer be answered,
// each is decided and reported.
void ProcessPipelined(Processing& p) {
  p.flow->canReplace = 0;
  for (;;) {
    RequestRecord* record = PeekOldest(&p.flow->parser);
    if (record == nullptr) return;
    if (record->blocked) p.dropSegment = true;
    if (!AlreadySeen(record)) AnswerPipelinedRequest(p, record);
    if (!ReleaseIfPassed(p.flow, record)) return;
  }
}

// No new request: the segment's bytes go to the oldest request.
void AccountWithoutNewRequest(Processing& p) {
  HttpParser* parser = &p.flow->parser;
  RequestRecord* released = nullptr;
  KIRQL irql = KfAcquireSpinLock(&parser->queueLock);
  if (RequestNode* node = OldestNode(parser)) {
    RequestRecord* record = node->record;
    if (record->blocked) p.dropSegment = true;
    if (p.flow->pendingBytes >= record->size) {
      p.flow->pendingBytes -= record->size;
      QueuePopOldest(parser, &released);
    }
  }
  KfReleaseSpinLock(&parser->queueLock, irql);
  if (released != nullptr) FreeRequestRecord(released);
  if (parser->state != ParserSkippingBody && p.flow->pendingBytes != 0) p.flow->canReplace = 0;
}

// The first request completed in this call is the one that was being read
// before it: the newest `completed` records are this call's.
void MarkFirstCompletedBlocked(HttpParser* parser, UINT32 completed) {
  KIRQL irql = KfAcquireSpinLock(&parser->queueLock);
  RequestNode* node = parser->queueHead;
  for (UINT32 k = 1; node != nullptr && k < completed; ++k) node = node->next;
  if (node != nullptr) node->record->blocked = 1;
  KfReleaseSpinLock(&parser->queueLock, irql);
}

// A request whose first bytes were dropped must not reach the server in
// part: the rest of it is dropped too, to its end.
void DropRestOfTornRequest(Processing& p, UINT32 completed) {
  if (p.flow->dropInProgress == 0) return;
  p.dropSegment = true;
  if (completed == 0) return;
  MarkFirstCompletedBlocked(&p.flow->parser, completed);
  p.flow->dropInProgress = 0;
}

// After the segment: a header begun in it and let through (in place or
// re-injected) has reached the server in part, so no request of the flow
// can be answered any more; begun in a dropped segment, it is dropped to
// its end.
void NoteRequestInProgress(FlowContext* flow, UINT32 result) {
  if (flow->parser.state != ParserInHeader) return;
  if (result != 0)
    flow->dropInProgress = 1;
  else
    flow->canReplace = 0;
}

bool ParserEnded(const HttpParser* parser) {
  return parser->state == ParserDisabled || parser->state == ParserStopped;
}

// The parser stopped at a request whose body it cannot frame as a server
// would: any byte from there on may be a request of its own, so none passes.
bool FramingRefused(const HttpParser* parser) {
  return parser->state == ParserStopped && parser->bodyFraming == BodyRefused;
}

// This segment and every later one of the flow are dropped.
void CutOff(Processing& p) {
  p.flow->cutOff = 1;
  p.dropSegment = true;
}

// The flow is cut where the parser refused the framing, and where a request
// was refused that the flow could no longer answer: part of it, or of a
// request let through before it, may already be at the server, and any later
// byte could complete it.
void CutOffWhereNeeded(Processing& p) {
  if (FramingRefused(&p.flow->parser) || (p.result != 0 && p.flow->canReplace == 0)) CutOff(p);
}
}  // namespace

UINT32 ProcessHttpData(FlowContext* flow, const UINT8* data, UINT32 length, UINT8** reply, UINT32* replyLength,
                       UINT32* reinject, UINT32* reportAsData) {
  *reportAsData = 1;
  *replyLength = 0;
  *reinject = 0;
  *reply = nullptr;
  if (flow->cutOff != 0) return 1;  // inspection goes on, to drop every segment
  if (ParserEnded(&flow->parser)) {
    flow->httpEnabled = 0;
    return 0;
  }
  Processing p{flow, data, length, reply, replyLength, reinject, reportAsData, 0, false, flow->pendingBytes,
               nullptr, nullptr, 0};
  flow->pendingBytes += length;

  UINT32 completed = ParseHttpRequests(&flow->parser, data, length);
  // Requests completed before the parser stopped are still put to the
  // client: a malformed tail must not carry a request past it unseen.
  DropRestOfTornRequest(p, completed);
  if (ParserEnded(&flow->parser) && completed == 0) {
    RequestRecord* oldest = PeekOldest(&flow->parser);
    CutOffWhereNeeded(p);
    return (oldest != nullptr && oldest->blocked) || p.dropSegment ? 1 : 0;
  }
  if (completed == 1) {
    ProcessOneNewRequest(p);
  } else if (completed >= 2) {
    ProcessPipelined(p);
  } else {
    AccountWithoutNewRequest(p);
  }
  ReleaseReplyObjects(p);
  CutOffWhereNeeded(p);

  UINT32 result = p.result != 0 ? p.result : (p.dropSegment ? 1 : 0);
  // A dropped segment may hold part of a request still queued; the rest of
  // that request must not reach the server on its own either.
  if (result != 0) MarkQueuedBlocked(&flow->parser);
  NoteRequestInProgress(flow, result);
  return result;
}
