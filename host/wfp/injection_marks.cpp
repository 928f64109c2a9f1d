// Which net buffer lists were injected through which injection handle.
// Injections record their mark here; FwpsQueryPacketInjectionState0 reads it.
#include "host/kernel/state.h"
#include "host/wfp_classify.h"

#include <map>

namespace host::wfp {
namespace {
struct Marks {
  std::mutex lock;
  std::map<const NET_BUFFER_LIST*, HANDLE> injectedBy;
};
Marks& marks() { return host::detail::Forever<Marks>(); }

HANDLE InjectorOf(const NET_BUFFER_LIST* list) {
  auto it = marks().injectedBy.find(list);
  return it == marks().injectedBy.end() ? nullptr : it->second;
}
}  // namespace

void MarkInjected(const NET_BUFFER_LIST* list, HANDLE injectionHandle) {
  std::lock_guard<std::mutex> guard(marks().lock);
  marks().injectedBy[list] = injectionHandle;
}

void ForgetInjected(const NET_BUFFER_LIST* list) {
  std::lock_guard<std::mutex> guard(marks().lock);
  marks().injectedBy.erase(list);
}
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
  std::lock_guard<std::mutex> guard(wfp::marks().lock);
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
