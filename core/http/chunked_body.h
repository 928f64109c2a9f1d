// The chunked body of a request whose Transfer-Encoding ends in chunked:
// what ParseHttpRequests calls while it skips one (ParserSkippingBody with
// BodyChunked), lineState holding its ChunkState.
#pragma once
#include "core/http/http_parser.h"

// A request's header ended with a chunked Transfer-Encoding: its body is
// read chunk by chunk from here.
void StartChunkedBody(HttpParser* parser);

// Skips chunked body bytes. Returns the bytes taken; lineState is then
// LineHeaderEnd when the body ended with the last of them, LineError when the
// body is malformed or would make the request's size overflow 32 bits (the
// bad byte is not counted), otherwise the ChunkState to resume at.
UINT32 SkipChunkedBody(HttpParser* parser, const UINT8* data, UINT32 length);
