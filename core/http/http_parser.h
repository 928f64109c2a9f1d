// The HTTP/1.x request header parser of an inspected flow, and the flow's
// request queue of complete requests.
//
// The parser is fed every chunk of a flow's outbound stream data in order. It
// finds the end of each request header, keeps the request line and the Host
// value, skips the body by Content-Length and queues one RequestRecord per
// complete request. Every header is bounded to 4096 bytes, every line to its
// fixed 256-byte buffer; anything that is not a well-formed HTTP/1.x request
// header stops the parser for the rest of the flow.
#pragma once
#include "platform/wdk.h"

enum ParserState : UINT32 {
  ParserReset = 0,         // the next request starts: reset the per-request members first
  ParserStopped = 1,       // error; nothing more is parsed on this flow
  ParserInHeader = 2,      // a header is partly read; the next call resumes it
  ParserSkippingBody = 3,  // a header is complete; bodyRemaining body bytes are still to come
  ParserRequestDone = 4,   // a request ended exactly at the end of a chunk
  ParserDisabled = 5,      // the flow is not inspected
};

enum LineState : UINT32 {
  LineText = 0,       // inside a line
  LineSawCR = 1,      // the last byte was CR
  LineEndCRLF = 2,    // the line ended with CR LF
  LineEndLF = 3,      // the line ended with a bare LF
  LineHeaderEnd = 4,  // an empty line ended the header
  LineError = 5,      // malformed line or header too long
};

constexpr UINT32 kMaxHeaderBytes = 4096;
constexpr UINT32 kLineBufferSize = 256;
// The request line keeps its first kRequestLineHead bytes; past the buffer's
// end the kLineWindow bytes at the buffer's tail slide down to make room, so
// that the most recent bytes (the version text) stay.
constexpr UINT32 kRequestLineHead = 232;
constexpr UINT32 kLineWindow = 12;

// One complete request; non-paged pool, tag 0, like its two strings.
struct RequestRecord {
  UINT32 size;        // header bytes plus the Content-Length value
  char* requestLine;  // own copy, allocated with its length + 2
  char* host;         // Host text without leading spaces, cut at ':'; "" without a Host line
  UINT8 blocked;      // the client answers this request itself; created 0
};

// Node of the request queue: a singly linked list from the newest to the
// oldest request.
struct RequestNode {
  RequestRecord* record;
  RequestNode* next;  // next older node, null at the oldest
};

struct HttpParser {
  UINT32 state;              // ParserState
  UINT32 headerBytes;        // bytes of the current header so far, line ends included
  UINT32 bodyRemaining;      // Content-Length value; while skipping, body bytes still to skip
  UINT8 hasContentLength;    // the current header had a Content-Length line
  UINT32 lineState;          // LineState
  UINT32 lineIndex;          // lines of the current header completed; 0 in the request line
  char requestLine[kLineBufferSize];
  char headerLine[kLineBufferSize];
  char host[kLineBufferSize];  // text after "Host:" of the last Host line; "" without one
  UINT32 lineLength;           // write position in the current line buffer
  // The flow's request queue; queueLock guards these three members only.
  KSPIN_LOCK queueLock;
  RequestNode* queueHead;  // newest node, null when empty
  UINT32 queueCount;
};
NQ_X86_ASSERT(__builtin_offsetof(HttpParser, hasContentLength) == 12);
NQ_X86_ASSERT(__builtin_offsetof(HttpParser, requestLine) == 24);
NQ_X86_ASSERT(__builtin_offsetof(HttpParser, host) == 536);
NQ_X86_ASSERT(__builtin_offsetof(HttpParser, lineLength) == 792);
NQ_X86_ASSERT(__builtin_offsetof(HttpParser, queueLock) == 796);
NQ_X86_ASSERT(__builtin_offsetof(HttpParser, queueCount) == 804);
NQ_X86_ASSERT(sizeof(HttpParser) == 808);
NQ_X86_ASSERT(sizeof(RequestRecord) == 16);
NQ_X86_ASSERT(sizeof(RequestNode) == 8);

// A parser as an inspected flow starts it: members and buffers cleared, the
// queue empty with its lock released, and the given state (ParserReset for an
// inspected flow, ParserDisabled otherwise).
void InitHttpParser(HttpParser* parser, UINT32 state);

// Feeds the next length bytes of the flow's outbound stream; the caller keeps
// them. Returns the number of requests completed and accepted by StoreRequest
// in this call; state tells afterwards whether the parser stopped.
UINT32 ParseHttpRequests(HttpParser* parser, const UINT8* data, UINT32 length);

// Queues a complete request. Returns 1 for an HTTP/1.x request line (queued,
// or dropped when memory runs out after the check), 0 when the line is not
// one or its copies cannot be allocated.
UINT32 StoreRequest(HttpParser* parser, const char* hostText, const char* requestLine, UINT32 headerBytes,
                    UINT32 contentLength);

// Queue operations; the caller holds queueLock. QueuePushNewest returns 0
// when the node cannot be allocated; QueuePopOldest returns 0 on an empty
// queue and otherwise hands out the oldest record and frees its node.
UINT32 QueuePushNewest(HttpParser* queue, RequestRecord* record);
UINT32 QueuePopOldest(HttpParser* queue, RequestRecord** record);

// Frees a record's host text, its request-line text and the record.
void FreeRequestRecord(RequestRecord* record);

// Under queueLock, removes and frees every queued request, oldest first.
void DrainRequestQueue(HttpParser* parser);
// Empties the request queue for good: queueHead null, queueCount 0.
void ReleaseHttpParser(HttpParser* parser);

// position points at a space inside a NUL-terminated text. Ends the text
// before it there and returns the next space-delimited token, NUL-terminated
// in place, or null when no space follows that token.
char* SplitNextToken(char* position);
