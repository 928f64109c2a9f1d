// HTTP request processing: the step of the stream handler that feeds a
// flow's outbound segment to its parser, puts each complete request to the
// client and, when the client answers a request itself, builds the reply.
#pragma once
#include "core/http/flow_context.h"

// data and length are the caller's copy of the segment. Sets *reportAsData
// to 1 and *reply, *replyLength, *reinject to 0 first. A non-zero result
// means the segment is not to be sent; *reply, when not null, is then a
// non-paged buffer of *replyLength bytes that the caller owns and delivers
// to the local application (null: a disconnect alone). *reinject asks for
// the copy to be sent by injection, *reportAsData for the segment to be
// reported.
UINT32 ProcessHttpData(FlowContext* flow, const UINT8* data, UINT32 length, UINT8** reply, UINT32* replyLength,
                       UINT32* reinject, UINT32* reportAsData);
