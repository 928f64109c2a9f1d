#include "core/classify/stream_inject.h"

namespace {
constexpr UINT32 kReceiveDisconnect = FWPS_STREAM_FLAG_RECEIVE | FWPS_STREAM_FLAG_RECEIVE_DISCONNECT;

NTSTATUS StreamInject(const ClassifyArgs& args, UINT32 streamFlags, NET_BUFFER_LIST* list, SIZE_T length,
                      StreamInjectRecord* record) {
  return FwpsStreamInjectAsync0(gDriverState->streamInjection, nullptr, 0, args.meta->flowHandle,
                                args.filter->action.calloutId, args.values->layerId, streamFlags, list, length,
                                StreamInjectComplete, record);
}
}  // namespace

bool InjectStreamData(const ClassifyArgs& args, void* buffer, ULONG length, UINT32 streamFlags) {
  auto* record = static_cast<StreamInjectRecord*>(AllocateNonPaged(sizeof(StreamInjectRecord)));
  if (record == nullptr) return false;
  MDL* mdl = IoAllocateMdl(buffer, length, FALSE, FALSE, nullptr);
  if (mdl == nullptr) {
    FreeNonPaged(record);
    return false;
  }
  record->data = buffer;
  record->mdl = mdl;
  MmBuildMdlForNonPagedPool(mdl);
  NET_BUFFER_LIST* list = nullptr;
  NTSTATUS status = FwpsAllocateNetBufferAndNetBufferList0(gDriverState->nblPool, 0, 0, mdl, 0, length, &list);
  if (NT_SUCCESS(status)) {
    status = StreamInject(args, streamFlags, list, length, record);
    if (NT_SUCCESS(status)) return true;
    FwpsFreeNetBufferList0(list);
  }
  IoFreeMdl(mdl);
  FreeNonPaged(record);
  return false;
}

bool InjectReceiveDisconnect(const ClassifyArgs& args) {
  return NT_SUCCESS(StreamInject(args, kReceiveDisconnect, nullptr, 0, nullptr));
}

void BlockIndicatedSegment(const ClassifyArgs& args, FWPS_STREAM_CALLOUT_IO_PACKET0* ioPacket) {
  ioPacket->streamAction = FWPS_STREAM_ACTION_NONE;
  ioPacket->countBytesEnforced = ioPacket->streamData->dataLength;
  BlockInline(args.out);
}

VOID NTAPI StreamInjectComplete(PVOID context, NET_BUFFER_LIST* netBufferList, BOOLEAN dispatchLevel) {
  (void)dispatchLevel;
  // The list first: it still points at the record's MDL.
  if (netBufferList != nullptr) FwpsFreeNetBufferList0(netBufferList);
  auto* record = static_cast<StreamInjectRecord*>(context);
  if (record == nullptr) return;
  if (record->mdl != nullptr) IoFreeMdl(record->mdl);
  if (record->data != nullptr) FreeNonPaged(record->data);
  FreeNonPaged(record);
}
