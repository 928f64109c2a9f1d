// Stream injection: data or a disconnect put into a flow's stream in place
// of an indicated segment.
#pragma once
#include "core/classify/layer_handlers.h"

// The completion context of a stream injection that carries data; both
// members are owned by the record once the injection is accepted.
struct StreamInjectRecord {
  void* data;  // the non-paged buffer that holds the injected bytes
  MDL* mdl;    // the MDL built over data
};
NQ_X86_ASSERT(sizeof(StreamInjectRecord) == 8);

// Injects length bytes of buffer (non-paged, length above 0) into the
// classified flow with the given stream flags. True when the platform
// accepted it: buffer then belongs to the injection. False: nothing of what
// was built is left, and buffer is still the caller's.
bool InjectStreamData(const ClassifyArgs& args, void* buffer, ULONG length, UINT32 streamFlags);

// Injects a disconnect alone towards the local application: no data, no
// net buffer list, nothing allocated. True when the platform accepted it.
bool InjectReceiveDisconnect(const ClassifyArgs& args);

// The segment indicated in this classify is dropped: the injection stands
// in for it.
void BlockIndicatedSegment(const ClassifyArgs& args, FWPS_STREAM_CALLOUT_IO_PACKET0* ioPacket);

// Completion of every stream injection. context is the injection's record,
// or null for a disconnect alone; netBufferList is null for one too.
VOID NTAPI StreamInjectComplete(PVOID context, NET_BUFFER_LIST* netBufferList, BOOLEAN dispatchLevel);
