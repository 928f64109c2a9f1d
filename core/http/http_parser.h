// The HTTP/1.x request header parser of an inspected flow, and the flow's
// request queue of complete requests.
//
// The parser is fed every chunk of a flow's outbound stream data in order. It
// finds the end of each request header, keeps the request line and the Host
// value, skips the body by Content-Length or, for a chunked Transfer-Encoding,
// chunk by chunk, and queues one RequestRecord per complete request. Header
// names are matched without regard to case, as servers match them. Every
// header is bounded to kMaxHeaderBytes, every line to its fixed 256-byte
// buffer; empty lines ahead of a request line are skipped, as servers skip
// them; anything that is not a well-formed HTTP/1.x request header stops the
// parser for the rest of the flow. Once the request line is an HTTP/1.x one,
// such a stop refuses the framing (BodyRefused): the bytes are a request the
// parser cannot follow, not another protocol.
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

// Above what servers accept (IIS 16 KB, nginx 32 KB by default): a header
// that a server serves must not stop the parser. Only the line buffers hold
// bytes, so the bound costs no memory.
constexpr UINT32 kMaxHeaderBytes = 65536;
// Empty lines ahead of a request line are skipped up to this many bytes.
constexpr UINT32 kMaxLeadingEmptyBytes = 256;
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
  UINT8 bodyOpen;     // its chunked body has not ended: size is kOpenRequestSize until it has
};

// Node of the request queue: a singly linked list from the newest to the
// oldest request.
struct RequestNode {
  RequestRecord* record;
  RequestNode* next;  // next older node, null at the oldest
};

// How the current request's body is framed. A server takes a request's
// Transfer-Encoding over its Content-Length and reads a chunked body to its
// last chunk: the parser must frame the stream as the server will, or a
// request could pass as body bytes. What it cannot frame it refuses.
enum BodyFraming : UINT8 {
  BodyByLength = 0,  // Content-Length bytes, none without one
  BodyChunked = 1,   // Transfer-Encoding ending in chunked: chunks up to the last one and its trailer
  BodyRefused = 2,   // framing the parser cannot follow (another coding, conflicting lengths, a bad
                     // chunk): the parser stopped and the flow's further data must be dropped
};

// While a chunked body is skipped (state ParserSkippingBody, BodyChunked),
// lineState holds where in the chunk syntax the parser stands, lineIndex the
// body bytes so far and bodyRemaining the chunk size being read, then the
// chunk's data bytes still to skip.
enum ChunkState : UINT32 {
  ChunkSizeStart = 8,   // the first hex digit of a chunk size
  ChunkSizeDigits = 9,  // more digits, an extension or the line end
  ChunkExtension = 10,  // after the digits: skipped to the line end
  ChunkSizeCR = 11,     // the size line's CR; its LF follows
  ChunkData = 12,       // bodyRemaining data bytes still to skip
  ChunkDataEnd = 13,    // the CR LF or LF after a chunk's data
  ChunkDataCR = 14,     // that CR; its LF follows
  TrailerStart = 15,    // the start of a trailer line, or the empty line that ends the body
  TrailerText = 16,     // inside a trailer line
  TrailerCR = 17,       // a trailer line's CR; its LF follows
  TrailerEndCR = 18,    // the CR of the empty line; its LF ends the body
};

// The size of a queued request whose chunked body has not ended yet: no
// count of passed bytes reaches it, so the record stays queued until the
// parser knows its size.
constexpr UINT32 kOpenRequestSize = 0xFFFFFFFFu;

struct HttpParser {
  UINT32 state;              // ParserState
  UINT32 headerBytes;        // bytes of the current header so far, line ends included
  UINT32 bodyRemaining;      // Content-Length value; while skipping, body bytes still to skip
  UINT8 hasContentLength;    // the current header had a Content-Length line
  UINT8 bodyFraming;         // BodyFraming of the current request
  UINT32 lineState;          // LineState; ChunkState in a chunked body
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
NQ_X86_ASSERT(__builtin_offsetof(HttpParser, bodyFraming) == 13);
NQ_X86_ASSERT(__builtin_offsetof(HttpParser, lineState) == 16);
NQ_X86_ASSERT(__builtin_offsetof(HttpParser, requestLine) == 24);
NQ_X86_ASSERT(__builtin_offsetof(HttpParser, host) == 536);
NQ_X86_ASSERT(__builtin_offsetof(HttpParser, lineLength) == 792);
NQ_X86_ASSERT(__builtin_offsetof(HttpParser, queueLock) == 796);
NQ_X86_ASSERT(__builtin_offsetof(HttpParser, queueCount) == 804);
NQ_X86_ASSERT(sizeof(HttpParser) == 808);
NQ_X86_ASSERT(sizeof(RequestRecord) == 16);
NQ_X86_ASSERT(__builtin_offsetof(RequestRecord, bodyOpen) == 13);
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
// True when the current header's request line has ended and is an HTTP/1.x
// request line, as StoreRequest checks it.
bool RequestLineIsHttp1(const HttpParser* parser);
// As StoreRequest, for a request whose chunked body follows: its record is
// queued with kOpenRequestSize and bodyOpen set.
UINT32 StoreOpenRequest(HttpParser* parser, const char* hostText, const char* requestLine);
// The chunked body of the newest record, if still queued and open, ended:
// sets its size and clears bodyOpen.
void CloseOpenRequest(HttpParser* parser, UINT32 size);

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
