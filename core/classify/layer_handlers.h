// What every layer handler is given, and the helpers they share: reading
// incoming values, writing verdicts, the self-injection test and the thread
// reported with an event.
#pragma once
#include "core/driver/driver_state.h"

struct ClassifyArgs {
  const FWPS_INCOMING_VALUES0* values;
  const FWPS_INCOMING_METADATA_VALUES0* meta;
  void* layerData;
  const FWPS_FILTER1* filter;
  UINT64 flowContext;
  FWPS_CLASSIFY_OUT0* out;

  // Incoming values are read by index, by the member their type calls for,
  // without looking at the type tag.
  UINT8 U8(UINT32 field) const { return values->incomingValue[field].value.uint8; }
  UINT16 U16(UINT32 field) const { return values->incomingValue[field].value.uint16; }
  UINT32 U32(UINT32 field) const { return values->incomingValue[field].value.uint32; }
  // IPv4 addresses arrive in host order; the driver keeps them in network order.
  UINT32 Address(UINT32 field) const { return __builtin_bswap32(U32(field)); }
};

constexpr UINT32 kLoopbackAddress = 0x0100007F;  // 127.0.0.1 in network order

// Layer handlers; each runs after the dispatcher's write-right test and
// PERMIT, except the flow-established one.
void ClassifyInboundPacket(const ClassifyArgs& args);
void ClassifyDatagramData(const ClassifyArgs& args);
void ClassifyResourceAssignment(const ClassifyArgs& args);
void ClassifyAuthListen(const ClassifyArgs& args);
void ClassifyAuthRecvAccept(const ClassifyArgs& args);
void ClassifyAuthConnect(const ClassifyArgs& args);
void ClassifyResourceRelease(const ClassifyArgs& args);
void ClassifyStreamData(const ClassifyArgs& args);
void ClassifyFlowEstablished(const ClassifyArgs& args);

// An inline block: the write right is taken away, no absorb flag.
inline void BlockInline(FWPS_CLASSIFY_OUT0* out) {
  out->rights &= ~FWPS_RIGHT_ACTION_WRITE;
  out->actionType = FWP_ACTION_BLOCK;
}

// A pended or absorbed block.
inline void BlockAndAbsorb(FWPS_CLASSIFY_OUT0* out) {
  BlockInline(out);
  out->flags |= FWPS_CLASSIFY_OUT_FLAG_ABSORB;
}

// Data this driver injected itself is not inspected a second time.
inline bool InjectedBySelf(HANDLE injectionHandle, const NET_BUFFER_LIST* list) {
  FWPS_PACKET_INJECTION_STATE state = FwpsQueryPacketInjectionState0(injectionHandle, list, nullptr);
  return state == FWPS_PACKET_INJECTED_BY_SELF || state == FWPS_PACKET_PREVIOUSLY_INJECTED_BY_SELF;
}

// The thread reported with stream and datagram events: the classifying
// thread only when it runs in the event's process.
inline NqThreadId ReportedThreadId(UINT64 processId) {
  if (static_cast<UINT32>(reinterpret_cast<ULONG_PTR>(PsGetCurrentProcessId())) != static_cast<UINT32>(processId))
    return 0;
  return reinterpret_cast<NqThreadId>(PsGetCurrentThreadId());
}

inline NqThreadId CurrentThreadId() { return reinterpret_cast<NqThreadId>(PsGetCurrentThreadId()); }
