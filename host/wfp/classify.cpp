// Building the classify arguments of an event and calling a callout with
// them, as the filter engine does.
#include "host/wfp_classify.h"

#include "host/kernel/state.h"
#include "host/ndis/net_buffer_table.h"
#include "host/wfp/operations.h"

#include <cstdio>
#include <cstring>

namespace host::wfp {

ClassifyEvent::ClassifyEvent(UINT16 layer) : layerId(layer) {
  UINT32 count = FieldCount(layer);
  values.count = count;
  for (UINT32 i = 0; i < count; ++i) {
    values[i].type = FieldType(layer, i);
    values[i].uint64 = nullptr;
    // The platform writes only the member of a value's type; the rest of the
    // union is whatever was there. Reading an 8- or 16-bit field through a
    // wider member must not find zeros.
    if (values[i].type == FWP_UINT8 || values[i].type == FWP_UINT16) {
      std::memset(&values[i].uint64, 0xA5, sizeof(values[i].uint64));
      if (values[i].type == FWP_UINT8)
        values[i].uint8 = 0;
      else
        values[i].uint16 = 0;
    }
    if (values[i].type == FWP_UINT64) {
      wide_[i] = 0;
      values[i].uint64 = &wide_[i];
    }
  }
}

ClassifyEvent::ClassifyEvent(const ClassifyEvent& other) { *this = other; }

ClassifyEvent& ClassifyEvent::operator=(const ClassifyEvent& other) {
  if (this == &other) return *this;
  layerId = other.layerId;
  values = other.values;
  meta = other.meta;
  layerData = other.layerData;
  rights = other.rights;
  flowContext = other.flowContext;
  irql = other.irql;
  RebindWideValues();
  return *this;
}

void ClassifyEvent::RebindWideValues() {
  for (UINT32 i = 0; i < values.count; ++i) {
    FWP_VALUE0& v = values[i];
    if (v.type == FWP_UINT64 && v.uint64 != nullptr) {
      wide_[i] = *v.uint64;
      v.uint64 = &wide_[i];
    }
  }
}

ClassifyEvent& ClassifyEvent::Set(UINT32 field, UINT64 value) {
  if (field >= values.size()) {
    verifier::Report("HOST_USAGE", "ClassifyEvent::Set of a field the layer does not have");
    return *this;
  }
  FWP_VALUE0& v = values[field];
  switch (v.type) {
    case FWP_UINT8: v.uint8 = static_cast<UINT8>(value); break;
    case FWP_UINT16: v.uint16 = static_cast<UINT16>(value); break;
    case FWP_UINT64: *v.uint64 = value; break;
    case FWP_EMPTY: v.type = FWP_UINT32; v.uint32 = static_cast<UINT32>(value); break;
    default: v.uint32 = static_cast<UINT32>(value); break;
  }
  return *this;
}

UINT64 ClassifyEvent::Get(UINT32 field) const {
  if (field >= values.size()) return 0;
  const FWP_VALUE0& v = values[field];
  switch (v.type) {
    case FWP_UINT8: return v.uint8;
    case FWP_UINT16: return v.uint16;
    case FWP_UINT64: return *v.uint64;
    case FWP_EMPTY: return 0;
    default: return v.uint32;
  }
}

ClassifyEvent& ClassifyEvent::ProcessId(UINT64 pid) {
  meta.processId = pid;
  meta.currentMetadataValues |= FWPS_METADATA_FIELD_PROCESS_ID;
  return *this;
}
ClassifyEvent& ClassifyEvent::EndpointHandle(UINT64 handle) {
  meta.transportEndpointHandle = handle;
  meta.currentMetadataValues |= FWPS_METADATA_FIELD_TRANSPORT_ENDPOINT_HANDLE;
  return *this;
}
ClassifyEvent& ClassifyEvent::FlowHandle(UINT64 handle) {
  meta.flowHandle = handle;
  meta.currentMetadataValues |= FWPS_METADATA_FIELD_FLOW_HANDLE;
  return *this;
}
ClassifyEvent& ClassifyEvent::CompletionHandle(HANDLE handle) {
  meta.completionHandle = handle;
  meta.currentMetadataValues |= FWPS_METADATA_FIELD_COMPLETION_HANDLE;
  return *this;
}
ClassifyEvent& ClassifyEvent::HeaderSizes(UINT32 ipHeaderSize, UINT32 transportHeaderSize) {
  meta.ipHeaderSize = ipHeaderSize;
  meta.transportHeaderSize = transportHeaderSize;
  meta.currentMetadataValues |= FWPS_METADATA_FIELD_IP_HEADER_SIZE | FWPS_METADATA_FIELD_TRANSPORT_HEADER_SIZE;
  return *this;
}
ClassifyEvent& ClassifyEvent::Direction(FWP_DIRECTION direction) {
  meta.packetDirection = direction;
  meta.currentMetadataValues |= FWPS_METADATA_FIELD_PACKET_DIRECTION;
  return *this;
}

namespace {
// What the engine makes of a stream classify: the action covers the leading
// countBytesEnforced bytes and the rest is indicated again; more data asked
// for holds the indication back; a connection allowed or dropped ends the
// inspection either way.
void ReadBackStreamAction(const FWPS_STREAM_CALLOUT_IO_PACKET0& io, ClassifyResult* result) {
  result->stream = true;
  result->streamAction = io.streamAction;
  result->countBytesEnforced = io.countBytesEnforced;
  result->countBytesRequired = io.countBytesRequired;
  SIZE_T indicated = io.streamData != nullptr ? io.streamData->dataLength : 0;
  if (io.countBytesEnforced > indicated)
    verifier::Report("STREAM_BYTES_ENFORCED", "countBytesEnforced is larger than the indicated stream data");
  bool decided = result->actionType == FWP_ACTION_PERMIT || result->actionType == FWP_ACTION_BLOCK;
  if (io.streamAction == FWPS_STREAM_ACTION_NONE && decided && io.countBytesEnforced < indicated)
    result->bytesIndicatedAgain = indicated - io.countBytesEnforced;
}
}  // namespace

ClassifyResult InvokeClassify(FWPS_CALLOUT_CLASSIFY_FN1* classifyFn, const FWPS_FILTER1& filter,
                              const ClassifyEvent& event) {
  // The callout gets its own copies, as it would get the engine's.
  FWPS_INCOMING_VALUE0 incoming[kMaxLayerFields];
  for (UINT32 i = 0; i < event.values.count; ++i) incoming[i].value = event.values[i];
  FWPS_INCOMING_VALUES0 fixed{};
  fixed.layerId = event.layerId;
  fixed.valueCount = event.values.count;
  fixed.incomingValue = incoming;
  FWPS_INCOMING_METADATA_VALUES0 meta = event.meta;
  FWPS_FILTER1 filterCopy = filter;
  HANDLE completionHandle = nullptr;
  if (detail::IsPendableLayer(event.layerId) && meta.completionHandle == nullptr &&
      (event.Get(detail::FlagsField(event.layerId)) & FWP_CONDITION_FLAG_IS_REAUTHORIZE) == 0) {
    completionHandle = detail::BeginOperation(classifyFn, filter, event);
    meta.completionHandle = completionHandle;
    meta.currentMetadataValues |= FWPS_METADATA_FIELD_COMPLETION_HANDLE;
  }

  FWPS_CLASSIFY_OUT0 out{};
  out.actionType = FWP_ACTION_NONE;  // the callout is expected to write its own
  out.rights = event.rights;
  out.filterId = filter.filterId;

  // The stream layer's out members start cleared at every classify.
  auto* ioPacket = event.layerId == FWPS_LAYER_STREAM_V4 ? static_cast<FWPS_STREAM_CALLOUT_IO_PACKET0*>(event.layerData)
                                                         : nullptr;
  if (ioPacket != nullptr) {
    ioPacket->countBytesRequired = 0;
    ioPacket->countBytesEnforced = 0;
    ioPacket->streamAction = FWPS_STREAM_ACTION_NONE;
  }

  auto& self = host::detail::CurrentThread();
  KIRQL saved = self.irql;
  self.irql = event.irql;
  classifyFn(&fixed, &meta, event.layerData, nullptr, &filterCopy, event.flowContext, &out);
  if (!self.heldLocks.empty()) verifier::Report("LOCK_HELD", "a classify function returned with a spin lock held");
  ndis::detail::ReportRetreatMdlsLeftBy(&self);
  self.irql = saved;

  ClassifyResult result;
  result.called = true;
  result.actionType = out.actionType;
  result.rights = out.rights;
  result.flags = out.flags;
  if (completionHandle != nullptr && detail::EndOperation(completionHandle)) {
    result.completionHandle = completionHandle;
    result.pended = true;
  }
  if (ioPacket != nullptr) ReadBackStreamAction(*ioPacket, &result);
  return result;
}

UINT32 Ipv4(const char* dotted) {
  unsigned a, b, c, d;
  char tail;
  if (std::sscanf(dotted, "%u.%u.%u.%u%c", &a, &b, &c, &d, &tail) != 4 || a > 255 || b > 255 || c > 255 || d > 255)
    return 0;
  return (a << 24) | (b << 16) | (c << 8) | d;
}

}  // namespace host::wfp
