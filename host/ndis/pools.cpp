// NDIS generic objects and NET_BUFFER_LIST pools. NDIS allocates them from
// its own memory, so they come from the host heap, not from the pool the
// driver's allocations are counted in. Each is kept with the arguments it was
// made from.
#include "host/kernel/state.h"
#include "host/wfp.h"

#include <cstdlib>

namespace host::ndis {
namespace {
struct Pools {
  std::mutex lock;
  std::vector<GenericObjectRecord> genericObjects;
  std::vector<NetBufferListPoolRecord> nblPools;
};
Pools& pools() { return detail::Forever<Pools>(); }

// The pool handle NdisAllocateNetBufferListPool returns; its bytes are NDIS's.
struct PoolObject {
  NET_BUFFER_LIST_POOL_PARAMETERS parameters;
};
}  // namespace

std::vector<GenericObjectRecord> GenericObjects() {
  std::lock_guard<std::mutex> guard(pools().lock);
  return pools().genericObjects;
}

std::vector<NetBufferListPoolRecord> NetBufferListPools() {
  std::lock_guard<std::mutex> guard(pools().lock);
  return pools().nblPools;
}

std::optional<NetBufferListPoolRecord> FindNetBufferListPool(NDIS_HANDLE pool) {
  std::lock_guard<std::mutex> guard(pools().lock);
  for (const NetBufferListPoolRecord& record : pools().nblPools)
    if (record.pool == pool) return record;
  return std::nullopt;
}
}  // namespace host::ndis

using namespace host;
using namespace host::ndis;

extern "C" PNDIS_GENERIC_OBJECT NTAPI NdisAllocateGenericObject(PDRIVER_OBJECT driverObject, ULONG tag, USHORT size) {
  verifier::RequireIrql(DISPATCH_LEVEL, "NdisAllocateGenericObject");
  if (faults::Check("NdisAllocateGenericObject")) return nullptr;
  // The caller's `size` bytes follow the object.
  auto* object = static_cast<PNDIS_GENERIC_OBJECT>(std::calloc(1, sizeof(NDIS_GENERIC_OBJECT) + size));
  if (object == nullptr) return nullptr;
  // NDIS's own object type code is not reproduced; nobody outside NDIS reads it.
  object->Header.Revision = 1;
  object->Header.Size = sizeof(NDIS_GENERIC_OBJECT);
  object->Caller = __builtin_return_address(0);
  object->DriverObject = driverObject;
  std::lock_guard<std::mutex> guard(pools().lock);
  pools().genericObjects.push_back({object, driverObject, tag, size});
  return object;
}

extern "C" NDIS_HANDLE NTAPI NdisAllocateNetBufferListPool(NDIS_HANDLE ndisHandle,
                                                           PNET_BUFFER_LIST_POOL_PARAMETERS parameters) {
  verifier::RequireIrql(DISPATCH_LEVEL, "NdisAllocateNetBufferListPool");
  if (faults::Check("NdisAllocateNetBufferListPool")) return nullptr;
  if (parameters == nullptr || parameters->Header.Type != NDIS_OBJECT_TYPE_DEFAULT ||
      parameters->Header.Revision < NET_BUFFER_LIST_POOL_PARAMETERS_REVISION_1 ||
      parameters->Header.Size < NDIS_SIZEOF_NET_BUFFER_LIST_POOL_PARAMETERS_REVISION_1)
    return nullptr;
  auto* pool = static_cast<PoolObject*>(std::calloc(1, sizeof(PoolObject)));
  if (pool == nullptr) return nullptr;
  pool->parameters = *parameters;
  std::lock_guard<std::mutex> guard(pools().lock);
  pools().nblPools.push_back({pool, ndisHandle, *parameters});
  return pool;
}
