#include "host/ndis.h"
#include "host/stack.h"

namespace host::stack {

StreamIndication::StreamIndication(const Socket& s, UINT64 flowHandle, UINT32 streamFlags,
                                   const std::vector<std::string>& pieces)
    : event_(FWPS_LAYER_STREAM_V4) {
  size_t total = 0;
  for (const std::string& piece : pieces) {
    NET_BUFFER_LIST* list = ndis::BuildNetBufferList(ndis::NetBufferSpec(piece));
    if (!lists_.empty()) lists_.back()->Next = list;
    lists_.push_back(list);
    total += piece.size();
  }
  Describe(s, flowHandle, streamFlags, total);
}

StreamIndication::StreamIndication(const Socket& s, UINT64 flowHandle, UINT32 streamFlags, const std::string& bytes,
                                   const std::vector<size_t>& mdlCuts)
    : event_(FWPS_LAYER_STREAM_V4) {
  lists_.push_back(ndis::BuildNetBufferList(ndis::NetBufferSpec(bytes, 0, mdlCuts)));
  Describe(s, flowHandle, streamFlags, bytes.size());
}

void StreamIndication::Describe(const Socket& s, UINT64 flowHandle, UINT32 streamFlags, size_t total) {
  streamData_.flags = streamFlags;
  streamData_.dataLength = total;
  if (!lists_.empty()) {
    NET_BUFFER_LIST* first = lists_.front();
    streamData_.netBufferListChain = first;
    streamData_.dataOffset.netBufferList = first;
    streamData_.dataOffset.netBuffer = first->FirstNetBuffer;
    streamData_.dataOffset.mdl = first->FirstNetBuffer->CurrentMdl;
    streamData_.dataOffset.mdlOffset = first->FirstNetBuffer->CurrentMdlOffset;
  }
  ioPacket_.streamData = &streamData_;
  bool outbound = (streamFlags & FWPS_STREAM_FLAG_SEND) != 0;
  event_.Set(FWPS_FIELD_STREAM_V4_IP_LOCAL_ADDRESS, s.localAddress)
      .Set(FWPS_FIELD_STREAM_V4_IP_REMOTE_ADDRESS, s.remoteAddress)
      .Set(FWPS_FIELD_STREAM_V4_IP_LOCAL_PORT, s.localPort)
      .Set(FWPS_FIELD_STREAM_V4_IP_REMOTE_PORT, s.remotePort)
      .Set(FWPS_FIELD_STREAM_V4_DIRECTION, outbound ? FWP_DIRECTION_OUTBOUND : FWP_DIRECTION_INBOUND)
      .FlowHandle(flowHandle)
      .ProcessId(s.processId);
  event_.layerData = &ioPacket_;
}

StreamIndication::~StreamIndication() {
  for (NET_BUFFER_LIST* list : lists_) {
    list->Next = nullptr;
    ndis::FreeNetBufferList(list);
  }
}

}  // namespace host::stack
