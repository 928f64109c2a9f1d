// Internal to the host filter engine: the one store behind the management
// routines, the callout registry, the BFE and the view.
#pragma once
#include "host/kernel/state.h"
#include "host/wfp.h"
#include "host/wfp/registry.h"

#include <atomic>
#include <deque>
#include <random>

namespace host::wfp::detail {

// A filter in the form handed to the callout's notify and classify functions.
struct RuntimeFilter {
  UINT64 weight;         // filter.weight points here: the deque keeps it in place
  FWPS_FILTER1 filter;   // context as the callout's notify function left it
};

struct Engine {
  std::mutex lock;
  EngineView objects;  // what View() hands out; the BFE starts RUNNING
  // runtimeFilters[i] belongs to objects.filters[i]; filters are never deleted.
  std::deque<RuntimeFilter> runtimeFilters;
  std::optional<FWPM_SERVICE_STATE> changeDuringSubscribe;
  // A callout's run-time identifier belongs to its key, whichever of
  // FwpsCalloutRegister1 and FwpmCalloutAdd0 names the key first.
  std::vector<std::pair<GUID, UINT32>> calloutIds;
  UINT32 nextCalloutId = 300;
  UINT64 nextFilterId = 70000;
  UINT64 nextProviderContextId = 1;
  uintptr_t nextHandle[3] = {0x00E10000, 0x00E20000, 0x00E30000};
  std::mt19937_64 keyGenerator{0x6E71776670ULL};  // fixed: the same keys on every run
  // Moves on, under the lock, whenever a filter or a run-time callout is
  // added: what a classify knows of a layer's targets is good until then.
  std::atomic<uint64_t> targetsVersion{1};
};
Engine& TheEngine();

// Kinds of handle the engine hands out, each from its own range.
enum class HandleKind { Session = 0, Injection = 1, BfeSubscription = 2 };

// The helpers below expect the engine lock held.
HANDLE NewHandleLocked(Engine& engine, HandleKind kind);
GUID NewKeyLocked(Engine& engine);  // a random (version 4) GUID
UINT32 CalloutIdLocked(Engine& engine, const GUID& key);
const SessionRecord* SessionLocked(Engine& engine, HANDLE handle);

bool IsZero(const GUID& guid);

inline const GUID& KeyOf(const ObjectRecord& record) { return record.key; }
inline const GUID& KeyOf(const RegisteredCalloutRecord& record) { return record.key; }

template <typename Container>
auto FindByKey(Container& records, const GUID& key) -> decltype(&*records.begin()) {
  for (auto& record : records)
    if (SameGuid(KeyOf(record), key)) return &record;
  return nullptr;
}

// How each platform routine of the engine starts: the IRQL it allows, then
// the failure a test may have armed for it.
#define NQ_ENGINE_ROUTINE(name, highestIrql)           \
  ::host::verifier::RequireIrql(highestIrql, name);    \
  if (NTSTATUS injected = ::host::faults::Check(name)) return injected

// The modelled layers.
struct LayerInfo {
  const GUID* key;
  UINT16 runtimeId;
  const char* name;
};
const LayerInfo* FindLayer(const GUID& layerKey);
const LayerInfo* FindLayer(UINT16 runtimeId);

}  // namespace host::wfp::detail
