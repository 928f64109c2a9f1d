// Which net buffer lists were injected through which injection handle. As
// on the platform, the injection leaves its mark on the net buffer list
// itself, in a field of the list that belongs to NDIS and never to a
// driver; FwpsQueryPacketInjectionState0 reads it there, with no lock and no
// look-up. The host builds every list zeroed, so an unmarked list reads as
// not injected.
#include "host/kernel/state.h"
#include "host/wfp_classify.h"

namespace host::wfp {
namespace {
HANDLE InjectorOf(const NET_BUFFER_LIST* list) { return static_cast<HANDLE>(list->NdisReserved[0]); }
}  // namespace

void MarkInjected(const NET_BUFFER_LIST* list, HANDLE injectionHandle) {
  const_cast<NET_BUFFER_LIST*>(list)->NdisReserved[0] = injectionHandle;
}

void ForgetInjected(const NET_BUFFER_LIST* list) { const_cast<NET_BUFFER_LIST*>(list)->NdisReserved[0] = nullptr; }
}  // namespace host::wfp

using namespace host;

extern "C" FWPS_PACKET_INJECTION_STATE NTAPI FwpsQueryPacketInjectionState0(HANDLE injectionHandle,
                                                                            const NET_BUFFER_LIST* list,
                                                                            HANDLE* injectionContext) {
  verifier::RequireIrql(DISPATCH_LEVEL, "FwpsQueryPacketInjectionState0");
  faults::Check("FwpsQueryPacketInjectionState0");
  if (injectionContext != nullptr) *injectionContext = nullptr;
  if (list == nullptr) {  // the platform would fault on it
    verifier::Report("BAD_NET_BUFFER_LIST", "FwpsQueryPacketInjectionState0 of a null NET_BUFFER_LIST");
    return FWPS_PACKET_NOT_INJECTED;
  }
  HANDLE injector = wfp::InjectorOf(list);
  if (injector == injectionHandle) return FWPS_PACKET_INJECTED_BY_SELF;
  // Derived from a packet this handle injected (cloned, and perhaps injected
  // again through another handle since).
  for (const NET_BUFFER_LIST* parent = list->ParentNetBufferList; parent != nullptr;
       parent = parent->ParentNetBufferList) {
    if (wfp::InjectorOf(parent) == injectionHandle) return FWPS_PACKET_PREVIOUSLY_INJECTED_BY_SELF;
  }
  return injector != nullptr ? FWPS_PACKET_INJECTED_BY_OTHER : FWPS_PACKET_NOT_INJECTED;
}
