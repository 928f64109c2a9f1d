// The host platform's filter engine, classify side: turns a described
// network event into the classify call a Windows stack makes, with the
// incoming values at the platform's field indices and of the platform's
// types, the metadata and the layer data.
#pragma once
#include "host/host.h"

#include <deque>
#include <string>
#include <vector>

namespace host::wfp {

struct ClassifyEvent {
  UINT16 layerId = 0;
  // Incoming values by field index; every field of the layer is present,
  // typed as the platform types it, and zero unless set.
  std::vector<FWP_VALUE0> values;
  FWPS_INCOMING_METADATA_VALUES0 meta{};
  void* layerData = nullptr;
  UINT32 rights = FWPS_RIGHT_ACTION_WRITE;  // the write right is present unless an event says otherwise
  UINT64 flowContext = 0;
  KIRQL irql = DISPATCH_LEVEL;  // the IRQL the classify runs at

  // All fields of a modelled layer, typed and zero.
  explicit ClassifyEvent(UINT16 layer);
  ClassifyEvent(const ClassifyEvent& other);
  ClassifyEvent& operator=(const ClassifyEvent& other);

  // Sets a field, keeping the platform's type for it (64-bit values are
  // held by pointer, as on the platform).
  ClassifyEvent& Set(UINT32 field, UINT64 value);
  UINT64 Get(UINT32 field) const;
  // Metadata with its presence bit.
  ClassifyEvent& ProcessId(UINT64 pid);
  ClassifyEvent& EndpointHandle(UINT64 handle);
  ClassifyEvent& FlowHandle(UINT64 handle);
  ClassifyEvent& CompletionHandle(HANDLE handle);
  ClassifyEvent& HeaderSizes(UINT32 ipHeaderSize, UINT32 transportHeaderSize);
  ClassifyEvent& Direction(FWP_DIRECTION direction);

 private:
  std::deque<unsigned long long> wide_;  // storage behind 64-bit values
  void Rebind(const ClassifyEvent& other);
};

struct ClassifyResult {
  bool called = false;  // a callout was classified
  FWP_ACTION_TYPE actionType = FWP_ACTION_CONTINUE;
  UINT32 rights = 0;
  UINT32 flags = 0;
};

// Calls one classify function as the engine does, with the given filter.
ClassifyResult InvokeClassify(FWPS_CALLOUT_CLASSIFY_FN1* classifyFn, const FWPS_FILTER1& filter,
                              const ClassifyEvent& event);

// Classifies the event at its layer through the engine: the callout that the
// layer's filter names is called with that filter. Nothing is called when no
// filter at the layer names a registered callout.
ClassifyResult Classify(const ClassifyEvent& event);

// Field index names of the modelled layers, and the platform type of each.
FWP_DATA_TYPE FieldType(UINT16 layerId, UINT32 field);
UINT32 FieldCount(UINT16 layerId);
const char* LayerName(UINT16 layerId);

// Marks a net buffer list as injected through an injection handle, as the
// engine marks what a callout injects.
void MarkInjected(const NET_BUFFER_LIST* list, HANDLE injectionHandle);
void ForgetInjected(const NET_BUFFER_LIST* list);

// IPv4 addresses as the layers deliver them (host order) from dotted text.
UINT32 Ipv4(const char* dotted);

}  // namespace host::wfp
