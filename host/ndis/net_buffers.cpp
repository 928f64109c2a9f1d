// NET_BUFFER_LIST, NET_BUFFER and MDL chains, and the NDIS routines that walk
// them. The structures keep their x86 layouts; what the host needs besides
// (the memory behind the MDLs) is kept in a side table.
#include "host/ndis.h"
#include "host/ndis/net_buffer_table.h"
#include "host/wfp/injection_state.h"
#include "host/wfp_classify.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>

namespace host::ndis {
namespace detail {

NetBufferTable& Table() { return host::detail::Forever<NetBufferTable>(); }

PMDL NewMdl(char* data, ULONG length) {
  auto* mdl = new MDL{};
  mdl->Size = sizeof(MDL);
  mdl->MdlFlags = MDL_SOURCE_IS_NONPAGED_POOL | MDL_MAPPED_TO_SYSTEM_VA;
  uintptr_t va = reinterpret_cast<uintptr_t>(data);
  mdl->StartVa = reinterpret_cast<PVOID>(va & ~uintptr_t(0xFFF));
  mdl->ByteOffset = static_cast<ULONG>(va & 0xFFF);
  mdl->MappedSystemVa = data;
  mdl->ByteCount = length;
  return mdl;
}

char* MdlData(const MDL* mdl) { return static_cast<char*>(mdl->MappedSystemVa); }

// Points CurrentMdl/CurrentMdlOffset at the byte DataOffset bytes into the chain.
void LocateDataStart(NET_BUFFER* nb) {
  ULONG offset = nb->DataOffset;
  PMDL mdl = nb->MdlChain;
  while (mdl != nullptr && offset >= mdl->ByteCount && mdl->Next != nullptr) {
    offset -= mdl->ByteCount;
    mdl = mdl->Next;
  }
  nb->CurrentMdl = mdl;
  nb->CurrentMdlOffset = offset;
}

}  // namespace detail

NET_BUFFER_LIST* BuildNetBufferList(const std::vector<NetBufferSpec>& buffers) {
  auto owned = std::make_unique<detail::OwnedList>();
  auto* list = new NET_BUFFER_LIST{};
  NET_BUFFER* previous = nullptr;
  for (const NetBufferSpec& layout : buffers) {
    auto* nb = new NET_BUFFER{};
    owned->buffers.push_back(nb);
    std::vector<size_t> cuts = layout.mdlCuts;
    cuts.push_back(layout.bytes.size());
    size_t start = 0;
    PMDL* link = &nb->MdlChain;
    for (size_t cut : cuts) {
      if (cut < start || cut > layout.bytes.size()) continue;
      size_t length = cut - start;
      auto storage = std::make_unique<char[]>(length == 0 ? 1 : length);
      std::memcpy(storage.get(), layout.bytes.data() + start, length);
      PMDL mdl = detail::NewMdl(storage.get(), static_cast<ULONG>(length));
      owned->memory.push_back(std::move(storage));
      owned->mdls.push_back(mdl);
      *link = mdl;
      link = &mdl->Next;
      start = cut;
    }
    nb->DataOffset = static_cast<ULONG>(std::min(layout.dataOffset, layout.bytes.size()));
    nb->DataLength = static_cast<ULONG>(layout.bytes.size() - nb->DataOffset);
    detail::LocateDataStart(nb);
    if (previous == nullptr)
      list->FirstNetBuffer = nb;
    else
      previous->Next = nb;
    previous = nb;
  }
  std::lock_guard<std::mutex> guard(detail::Table().lock);
  detail::Table().freed.erase(list);
  detail::Table().lists[list] = std::move(owned);
  return list;
}

NET_BUFFER_LIST* BuildNetBufferList(const NetBufferSpec& buffer) {
  return BuildNetBufferList(std::vector<NetBufferSpec>{buffer});
}

namespace detail {
void FreeRetreatMdls(NET_BUFFER* nb) {
  auto& retreats = Table().retreats;
  for (auto it = retreats.find(nb->MdlChain); it != retreats.end(); it = retreats.find(nb->MdlChain)) {
    PMDL mdl = it->first;
    nb->MdlChain = mdl->Next;
    retreats.erase(it);
    delete mdl;
  }
}

void ReportRetreatMdlsLeftBy(const host::detail::ThreadContext* thread) {
  unsigned left = 0;
  {
    std::lock_guard<std::mutex> guard(Table().lock);
    for (auto& [mdl, retreat] : Table().retreats) {
      if (retreat.thread != thread || retreat.reported) continue;
      retreat.reported = true;
      ++left;
    }
  }
  if (left != 0)
    host::verifier::Report("NET_BUFFER_RETREAT_MDL",
                           "a classify returned with an MDL that NdisRetreatNetBufferDataStart allocated still on "
                           "the net buffer (advance with FreeMdl TRUE to free it)");
}

void Destroy(NET_BUFFER_LIST* list, std::unique_ptr<OwnedList> owned) {
  host::wfp::ForgetInjected(list);
  if (!owned->clone)
    for (NET_BUFFER* nb : owned->buffers) FreeRetreatMdls(nb);
  NET_BUFFER_LIST* parent = list->ParentNetBufferList;
  for (PMDL mdl : owned->mdls) delete mdl;
  for (NET_BUFFER* nb : owned->buffers) delete nb;
  delete list;
  if (parent == nullptr) return;
  // A clone refers to its parent's memory; the parent goes once its owner
  // freed it and its last clone is gone.
  auto it = Table().lists.find(parent);
  if (it == Table().lists.end()) return;
  if (--parent->ChildRefCount == 0 && it->second->freeRequested) {
    auto parentOwned = std::move(it->second);
    Table().lists.erase(it);
    Destroy(parent, std::move(parentOwned));
  }
}

bool RefuseFree(const NET_BUFFER_LIST* list, const char* routine) {
  if (host::wfp::detail::InjectionHoldsList(list)) {
    host::verifier::Report("INJECTION_DATA_FREED", std::string(routine) +
                                                       " of a net buffer list an injection still holds (its "
                                                       "completion has not been called for it)");
    return true;
  }
  std::lock_guard<std::mutex> guard(Table().lock);
  if (Table().freed.count(list) != 0) {
    host::verifier::Report("NET_BUFFER_LIST_FREED_TWICE", std::string(routine) + " of a list already freed");
    return true;
  }
  return false;
}

unsigned LiveClones() {
  std::lock_guard<std::mutex> guard(Table().lock);
  unsigned n = 0;
  for (const auto& entry : Table().lists) n += entry.second->clone;
  return n;
}
}  // namespace detail

void FreeNetBufferList(NET_BUFFER_LIST* list) {
  if (detail::RefuseFree(list, "FreeNetBufferList")) return;
  std::lock_guard<std::mutex> guard(detail::Table().lock);
  auto it = detail::Table().lists.find(list);
  if (it == detail::Table().lists.end() || it->second->clone) {
    host::verifier::Report("BAD_NET_BUFFER_LIST", "freeing a NET_BUFFER_LIST the host did not build");
    return;
  }
  if (list->ChildRefCount > 0) {
    it->second->freeRequested = true;
    return;
  }
  auto owned = std::move(it->second);
  detail::Table().lists.erase(it);
  detail::Table().freed.insert(list);
  detail::Destroy(list, std::move(owned));
}

std::string DataBytes(const NET_BUFFER* nb) {
  std::string out;
  const MDL* mdl = nb->CurrentMdl;
  ULONG offset = nb->CurrentMdlOffset;
  size_t remaining = nb->DataLength;
  while (mdl != nullptr && remaining > 0) {
    size_t take = std::min<size_t>(remaining, mdl->ByteCount - std::min(offset, mdl->ByteCount));
    out.append(detail::MdlData(mdl) + offset, take);
    remaining -= take;
    offset = 0;
    mdl = mdl->Next;
  }
  return out;
}

unsigned LiveNetBufferLists() {
  std::lock_guard<std::mutex> guard(detail::Table().lock);
  unsigned n = 0;
  for (const auto& entry : detail::Table().lists) n += !entry.second->freeRequested;
  return n;
}

}  // namespace host::ndis

using namespace host;

extern "C" NTSTATUS NTAPI FwpsAllocateCloneNetBufferList0(NET_BUFFER_LIST* original, NDIS_HANDLE, NDIS_HANDLE,
                                                      ULONG allocateCloneFlags, NET_BUFFER_LIST** netBufferList) {
  verifier::RequireIrql(DISPATCH_LEVEL, "FwpsAllocateCloneNetBufferList0");
  if (NTSTATUS failure = faults::Check("FwpsAllocateCloneNetBufferList0")) return failure;
  if (allocateCloneFlags != 0) return STATUS_INVALID_PARAMETER;
  auto owned = std::make_unique<ndis::detail::OwnedList>();
  owned->clone = true;
  auto* clone = new NET_BUFFER_LIST{};
  NET_BUFFER* previous = nullptr;
  for (NET_BUFFER* nb = original->FirstNetBuffer; nb != nullptr; nb = nb->Next) {
    auto* copy = new NET_BUFFER{};
    copy->MdlChain = nb->MdlChain;
    copy->CurrentMdl = nb->CurrentMdl;
    copy->CurrentMdlOffset = nb->CurrentMdlOffset;
    copy->DataOffset = nb->DataOffset;
    copy->DataLength = nb->DataLength;
    owned->buffers.push_back(copy);
    if (previous == nullptr)
      clone->FirstNetBuffer = copy;
    else
      previous->Next = copy;
    previous = copy;
  }
  clone->ParentNetBufferList = original;
  std::lock_guard<std::mutex> guard(ndis::detail::Table().lock);
  ++original->ChildRefCount;
  ndis::detail::Table().freed.erase(clone);
  ndis::detail::Table().lists[clone] = std::move(owned);
  *netBufferList = clone;
  return STATUS_SUCCESS;
}

extern "C" void NTAPI FwpsFreeCloneNetBufferList0(NET_BUFFER_LIST* netBufferList, ULONG) {
  verifier::RequireIrql(DISPATCH_LEVEL, "FwpsFreeCloneNetBufferList0");
  if (ndis::detail::RefuseFree(netBufferList, "FwpsFreeCloneNetBufferList0")) return;
  std::lock_guard<std::mutex> guard(ndis::detail::Table().lock);
  auto& lists = ndis::detail::Table().lists;
  auto it = lists.find(netBufferList);
  if (it == lists.end() || !it->second->clone) {
    verifier::Report("BAD_CLONE_FREE", "FwpsFreeCloneNetBufferList0 of a list that is not an outstanding clone");
    return;
  }
  auto owned = std::move(it->second);
  lists.erase(it);
  ndis::detail::Destroy(netBufferList, std::move(owned));
}

namespace {
// Where (mdl, offset) lies in a net buffer's chain, counted from the chain's
// start as DataOffset is; false when the MDL is not on the chain.
bool ChainPosition(const NET_BUFFER* nb, const MDL* at, ULONG offset, ULONG* position) {
  ULONG before = 0;
  for (const MDL* m = nb->MdlChain; m != nullptr; m = m->Next) {
    if (m == at) {
      *position = before + offset;
      return true;
    }
    before += m->ByteCount;
  }
  return false;
}

// Copies up to `count` bytes from (mdl, offset) on along the MDL chain.
SIZE_T CopyFromMdls(const MDL* mdl, ULONG offset, SIZE_T count, char* out) {
  SIZE_T copied = 0;
  for (; mdl != nullptr && copied < count; mdl = mdl->Next, offset = 0) {
    if (offset >= mdl->ByteCount) {
      offset -= mdl->ByteCount;
      continue;
    }
    SIZE_T take = std::min<SIZE_T>(mdl->ByteCount - offset, count - copied);
    std::memcpy(out + copied, ndis::detail::MdlData(mdl) + offset, take);
    copied += take;
  }
  return copied;
}
}  // namespace

// The stream data start where its dataOffset says: that net buffer list, net
// buffer, MDL and offset into the MDL. From there they run to the end of that
// net buffer's data, then through every later net buffer and list of the
// chain, for dataLength bytes in all. The routine returns nothing: a copy
// that comes back short says so only through *bytesCopied, and a failure
// armed for it copies half of what was asked for.
extern "C" void NTAPI FwpsCopyStreamDataToBuffer0(const FWPS_STREAM_DATA0* streamData, PVOID buffer, SIZE_T bytesToCopy,
                                                  SIZE_T* bytesCopied) {
  verifier::RequireIrql(DISPATCH_LEVEL, "FwpsCopyStreamDataToBuffer0");
  bool shortCopy = faults::Check("FwpsCopyStreamDataToBuffer0") != STATUS_SUCCESS;
  SIZE_T copied = 0;
  char* out = static_cast<char*>(buffer);
  SIZE_T wanted = bytesToCopy < streamData->dataLength ? bytesToCopy : streamData->dataLength;
  if (shortCopy) wanted /= 2;
  const FWPS_STREAM_DATA_OFFSET0& from = streamData->dataOffset;
  const NET_BUFFER_LIST* list = from.netBufferList;
  const NET_BUFFER* nb = from.netBuffer;
  bool first = true;
  while (list != nullptr && copied < wanted) {
    for (; nb != nullptr && copied < wanted; nb = nb->Next) {
      const MDL* mdl = nb->CurrentMdl;
      ULONG offset = nb->CurrentMdlOffset;
      SIZE_T available = nb->DataLength;
      ULONG start = 0;
      if (first && from.mdl != nullptr) {
        if (!ChainPosition(nb, from.mdl, from.mdlOffset, &start) || start < nb->DataOffset ||
            start > nb->DataOffset + nb->DataLength) {
          verifier::Report("BAD_STREAM_DATA", "the stream data's offset is not inside its net buffer's data");
          *bytesCopied = copied;
          return;
        }
        mdl = from.mdl;
        offset = from.mdlOffset;
        available = nb->DataOffset + nb->DataLength - start;
      }
      first = false;
      copied += CopyFromMdls(mdl, offset, std::min<SIZE_T>(available, wanted - copied), out + copied);
    }
    list = list->Next;
    nb = list != nullptr ? list->FirstNetBuffer : nullptr;
  }
  *bytesCopied = copied;
}

extern "C" NTSTATUS NTAPI FwpsAllocateNetBufferAndNetBufferList0(NDIS_HANDLE poolHandle, USHORT contextSize,
                                                                 USHORT contextBackFill, MDL* mdlChain,
                                                                 ULONG dataOffset, SIZE_T dataLength,
                                                                 NET_BUFFER_LIST** netBufferList) {
  (void)contextSize;
  (void)contextBackFill;
  verifier::RequireIrql(DISPATCH_LEVEL, "FwpsAllocateNetBufferAndNetBufferList0");
  if (NTSTATUS failure = faults::Check("FwpsAllocateNetBufferAndNetBufferList0")) return failure;
  if (poolHandle == nullptr || netBufferList == nullptr) return STATUS_INVALID_PARAMETER;
  auto owned = std::make_unique<ndis::detail::OwnedList>();
  owned->allocated = true;
  auto* list = new NET_BUFFER_LIST{};
  list->NdisPoolHandle = poolHandle;
  if (mdlChain != nullptr) {
    auto* nb = new NET_BUFFER{};
    nb->MdlChain = mdlChain;
    nb->DataOffset = dataOffset;
    nb->DataLength = static_cast<ULONG>(dataLength);
    ndis::detail::LocateDataStart(nb);
    owned->buffers.push_back(nb);
    list->FirstNetBuffer = nb;
  }
  std::lock_guard<std::mutex> guard(ndis::detail::Table().lock);
  ndis::detail::Table().freed.erase(list);
  ndis::detail::Table().lists[list] = std::move(owned);
  *netBufferList = list;
  return STATUS_SUCCESS;
}

extern "C" void NTAPI FwpsFreeNetBufferList0(NET_BUFFER_LIST* netBufferList) {
  verifier::RequireIrql(DISPATCH_LEVEL, "FwpsFreeNetBufferList0");
  faults::Check("FwpsFreeNetBufferList0");  // nothing to fail; an action may run
  if (ndis::detail::RefuseFree(netBufferList, "FwpsFreeNetBufferList0")) return;
  std::lock_guard<std::mutex> guard(ndis::detail::Table().lock);
  auto& lists = ndis::detail::Table().lists;
  auto it = lists.find(netBufferList);
  if (it == lists.end() || !it->second->allocated) {
    verifier::Report("BAD_NET_BUFFER_LIST_FREE",
                     "FwpsFreeNetBufferList0 of a list FwpsAllocateNetBufferAndNetBufferList0 did not allocate");
    return;
  }
  auto owned = std::move(it->second);
  lists.erase(it);
  ndis::detail::Table().freed.insert(netBufferList);
  ndis::detail::Destroy(netBufferList, std::move(owned));
}

// NULL also when NDIS cannot get the memory it needs for the alignment asked
// for, storage or not: a failure armed for the routine returns NULL.
extern "C" PVOID NTAPI NdisGetDataBuffer(PNET_BUFFER nb, ULONG bytesNeeded, PVOID storage, UINT alignMultiple,
                                         UINT alignOffset) {
  verifier::RequireIrql(DISPATCH_LEVEL, "NdisGetDataBuffer");
  if (faults::Check("NdisGetDataBuffer") != STATUS_SUCCESS) return nullptr;
  if (nb == nullptr || bytesNeeded == 0 || nb->DataLength < bytesNeeded) return nullptr;
  const MDL* mdl = nb->CurrentMdl;
  ULONG offset = nb->CurrentMdlOffset;
  if (mdl != nullptr && offset + bytesNeeded <= mdl->ByteCount) {
    char* p = ndis::detail::MdlData(mdl) + offset;
    UINT multiple = alignMultiple == 0 ? 1 : alignMultiple;
    if (reinterpret_cast<uintptr_t>(p) % multiple == alignOffset % multiple) return p;
  }
  if (storage == nullptr) return nullptr;
  // Not contiguous: gather into the caller's storage.
  char* out = static_cast<char*>(storage);
  ULONG copied = 0;
  while (mdl != nullptr && copied < bytesNeeded) {
    ULONG take = std::min(bytesNeeded - copied, mdl->ByteCount - std::min(offset, mdl->ByteCount));
    std::memcpy(out + copied, ndis::detail::MdlData(mdl) + offset, take);
    copied += take;
    offset = 0;
    mdl = mdl->Next;
  }
  return storage;
}

// With too little data space in front of the data start, NDIS allocates a new
// MDL and chains it in front: the data then starts in memory of its own
// (not the bytes the stack keeps in front) and is no longer one block with
// what follows. The MDL stays until an advance with FreeMdl TRUE passes it.
extern "C" NDIS_STATUS NTAPI NdisRetreatNetBufferDataStart(PNET_BUFFER nb, ULONG delta, ULONG dataBackFill,
                                                           NET_BUFFER_ALLOCATE_MDL_HANDLER* allocateMdlHandler) {
  (void)allocateMdlHandler;  // NDIS's own allocation is modelled either way
  verifier::RequireIrql(DISPATCH_LEVEL, "NdisRetreatNetBufferDataStart");
  if (NTSTATUS failure = faults::Check("NdisRetreatNetBufferDataStart")) return failure;
  if (delta > nb->DataOffset) {
    ULONG shortfall = delta - nb->DataOffset;
    if (shortfall > 0xFFFFFFFFu - dataBackFill || nb->DataLength > 0xFFFFFFFFu - delta) return NDIS_STATUS_FAILURE;
    ULONG size = shortfall + dataBackFill;
    auto memory = std::make_unique<char[]>(size);
    std::memset(memory.get(), 0xCC, size);
    PMDL mdl = ndis::detail::NewMdl(memory.get(), size);
    std::lock_guard<std::mutex> guard(ndis::detail::Table().lock);
    mdl->Next = nb->MdlChain;
    nb->MdlChain = mdl;
    nb->DataOffset = dataBackFill;
    nb->DataLength += delta;
    ndis::detail::Table().retreats[mdl] =
        ndis::detail::RetreatMdl{nb, &host::detail::CurrentThread(), false, std::move(memory)};
    ndis::detail::LocateDataStart(nb);
    return NDIS_STATUS_SUCCESS;
  }
  nb->DataOffset -= delta;
  nb->DataLength += delta;
  ndis::detail::LocateDataStart(nb);
  return NDIS_STATUS_SUCCESS;
}

extern "C" VOID NTAPI NdisAdvanceNetBufferDataStart(PNET_BUFFER nb, ULONG delta, BOOLEAN freeMdl,
                                                    NET_BUFFER_FREE_MDL_HANDLER*) {
  verifier::RequireIrql(DISPATCH_LEVEL, "NdisAdvanceNetBufferDataStart");
  if (delta > nb->DataLength) {
    verifier::Report("NET_BUFFER_ADVANCE", "NdisAdvanceNetBufferDataStart past the end of the data");
    return;
  }
  nb->DataOffset += delta;
  nb->DataLength -= delta;
  if (freeMdl) {
    // MDLs a retreat allocated that the data start has passed.
    std::lock_guard<std::mutex> guard(ndis::detail::Table().lock);
    auto& retreats = ndis::detail::Table().retreats;
    for (auto it = retreats.find(nb->MdlChain); it != retreats.end() && nb->DataOffset >= it->first->ByteCount;
         it = retreats.find(nb->MdlChain)) {
      PMDL mdl = it->first;
      nb->DataOffset -= mdl->ByteCount;
      nb->MdlChain = mdl->Next;
      retreats.erase(it);
      delete mdl;
    }
  }
  ndis::detail::LocateDataStart(nb);
}
