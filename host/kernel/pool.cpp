// Non-paged pool with per-tag accounting, leak reports and failure injection.
#include "host/kernel/state.h"
#include "host/kernel/thread_tallies.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <unordered_map>

namespace host::pool {
namespace {
struct Block {
  size_t size;
  ULONG tag;
  uint64_t sequence;
};
struct Pool {
  std::mutex lock;
  std::unordered_map<const void*, Block> live;
  uint64_t allocations = 0;
  uint64_t failArmedAt = 0;
  unsigned failNth = 0;
  bool failEvery = false;
  bool failed = false;
  Failure last;
};
Pool& pool() { return detail::Forever<Pool>(); }

constexpr unsigned char kFreshFill = 0xA5;  // memory the driver did not initialise
constexpr unsigned char kFreedFill = 0xDD;

// ---- The lean pool -------------------------------------------------------------
// Each block carries its size and its tag's slot in a header in front.
struct LeanHeader {
  uint64_t magic;
  uint32_t size;
  uint32_t slot;
};
static_assert(sizeof(LeanHeader) == 16, "blocks stay 16-byte aligned");
constexpr uint64_t kLeanMagic = 0x4C45414E504F4F4Cull;
struct TagSlot {
  std::atomic<bool> used{false};
  std::atomic<ULONG> tag{0};
};
constexpr size_t kTagSlots = 64;
// Atomics only, constant-initialised and never destroyed: no call stands
// between an allocation and its counts.
struct Lean {
  std::atomic<bool> on{false};
  TagSlot slots[kTagSlots];
};
Lean gLean;
Lean& lean() { return gLean; }
std::mutex& SlotLock() { return detail::Forever<std::mutex>(); }  // taken only to give a tag its slot

// The counts, in each thread's own tally as a processor keeps its own: the
// allocations made, then blocks and bytes per tag slot.
constexpr size_t kLeanAllocations = 0;
constexpr size_t LeanBlocksOf(size_t slot) { return 1 + slot; }
constexpr size_t LeanBytesOf(size_t slot) { return 1 + kTagSlots + slot; }
using LeanTallies = detail::ThreadTallies<struct LeanCounting, 1 + 2 * kTagSlots>;

size_t SlotFor(ULONG tag) {
  Lean& l = lean();
  for (size_t i = 0; i < kTagSlots; ++i) {
    if (!l.slots[i].used.load(std::memory_order_acquire)) break;
    if (l.slots[i].tag.load(std::memory_order_relaxed) == tag) return i;
  }
  std::lock_guard<std::mutex> guard(SlotLock());
  for (size_t i = 0; i < kTagSlots; ++i) {
    if (!l.slots[i].used.load(std::memory_order_acquire)) {
      l.slots[i].tag.store(tag, std::memory_order_relaxed);
      l.slots[i].used.store(true, std::memory_order_release);
      return i;
    }
    if (l.slots[i].tag.load(std::memory_order_relaxed) == tag) return i;
  }
  return kTagSlots - 1;  // more tags than slots: the last one holds the rest
}

// Each thread keeps the lean blocks it frees on look-aside lists of its own,
// one per 16-byte size class, and takes them back from there first: the
// platform's per-processor look-aside path, with no locked instruction.
constexpr size_t kClassBytes = 16;
constexpr size_t kLookasideClasses = 64;  // blocks of up to 1 KB, header included
constexpr unsigned kLookasideDepth = 64;  // blocks kept per class
struct FreeBlock {
  FreeBlock* next;
};
struct Lookaside {
  FreeBlock* heads[kLookasideClasses];
  unsigned depth[kLookasideClasses];
  enum : unsigned char { Unused, InUse, Ended } state;
};
thread_local Lookaside tLookaside;  // constant-initialised: no guard on the hot path

// The class of a block of `bytes` (header included), 2 at least so that a
// free block holds its link; kLookasideClasses for blocks kept on no list.
size_t ClassOf(size_t bytes) {
  size_t c = (bytes + kClassBytes - 1) / kClassBytes;
  return c < 2 ? 2 : c < kLookasideClasses ? c : kLookasideClasses;
}

// Frees what the calling thread's lists hold when it ends.
struct LookasideDrain {
  ~LookasideDrain() {
    Lookaside& l = tLookaside;
    l.state = Lookaside::Ended;
    for (size_t c = 0; c < kLookasideClasses; ++c) {
      while (FreeBlock* block = l.heads[c]) {
        l.heads[c] = block->next;
        std::free(block);
      }
      l.depth[c] = 0;
    }
  }
};
__attribute__((noinline)) void StartLookaside() {
  thread_local LookasideDrain drain;
  (void)drain;
  tLookaside.state = Lookaside::InUse;
}

void* LookasideAllocate(size_t bytes) {
  size_t c = ClassOf(bytes);
  Lookaside& l = tLookaside;
  if (c < kLookasideClasses && l.heads[c] != nullptr) {
    FreeBlock* block = l.heads[c];
    l.heads[c] = block->next;
    --l.depth[c];
    return block;
  }
  return std::malloc(c < kLookasideClasses ? c * kClassBytes : bytes);
}

void LookasideFree(void* memory, size_t bytes) {
  size_t c = ClassOf(bytes);
  Lookaside& l = tLookaside;
  if (__builtin_expect(l.state == Lookaside::Unused, 0)) StartLookaside();
  if (c == kLookasideClasses || l.state != Lookaside::InUse || l.depth[c] == kLookasideDepth) {
    std::free(memory);
    return;
  }
  auto* block = static_cast<FreeBlock*>(memory);
  block->next = l.heads[c];
  l.heads[c] = block;
  ++l.depth[c];
}

void* LeanAllocate(SIZE_T size, ULONG tag) {
  LeanTallies::Local counts;
  counts.Add(kLeanAllocations, 1);
  auto* header = static_cast<LeanHeader*>(LookasideAllocate(sizeof(LeanHeader) + size));
  if (header == nullptr) return nullptr;
  size_t slot = SlotFor(tag);
  *header = LeanHeader{kLeanMagic, static_cast<uint32_t>(size), static_cast<uint32_t>(slot)};
  counts.Add(LeanBlocksOf(slot), 1);
  counts.Add(LeanBytesOf(slot), size);
  return header + 1;
}

bool LeanFree(void* block) {
  if (block == nullptr) return false;
  LeanHeader* header = static_cast<LeanHeader*>(block) - 1;
  if (header->magic != kLeanMagic) return false;
  header->magic = 0;
  LeanTallies::Local counts;
  counts.Subtract(LeanBlocksOf(header->slot), 1);
  counts.Subtract(LeanBytesOf(header->slot), header->size);
  LookasideFree(header, sizeof(LeanHeader) + header->size);
  return true;
}

size_t LeanBlocksOfTag(ULONG tag) {
  size_t n = 0;
  for (size_t i = 0; i < kTagSlots; ++i)
    if (lean().slots[i].used.load(std::memory_order_acquire) && lean().slots[i].tag.load(std::memory_order_relaxed) == tag)
      n += static_cast<size_t>(LeanTallies::Sum(LeanBlocksOf(i)));
  return n;
}

size_t LeanBlocks() {
  size_t n = 0;
  for (size_t i = 0; i < kTagSlots; ++i) n += static_cast<size_t>(LeanTallies::Sum(LeanBlocksOf(i)));
  return n;
}

bool ShouldFail(Pool& p) {
  if (p.failNth == 0) return false;
  uint64_t index = p.allocations - p.failArmedAt;  // 1-based since arming
  return index == p.failNth || (p.failEvery && index > p.failNth);
}
}  // namespace

void FailAllocation(unsigned nth, bool every) {
  std::lock_guard<std::mutex> guard(pool().lock);
  pool().failArmedAt = pool().allocations;
  pool().failNth = nth;
  pool().failEvery = every;
}

void ClearFailures() {
  std::lock_guard<std::mutex> guard(pool().lock);
  pool().failNth = 0;
}

uint64_t AllocationCount() {
  std::lock_guard<std::mutex> guard(pool().lock);
  return pool().allocations + LeanTallies::Sum(kLeanAllocations);
}

bool UseLeanAccounting(bool on) {
  std::lock_guard<std::mutex> guard(pool().lock);
  if (!pool().live.empty() || LeanBlocks() != 0) return false;
  lean().on.store(on, std::memory_order_release);
  return true;
}

std::vector<TagUse> LeanUse() {
  std::vector<TagUse> use;
  for (size_t i = 0; i < kTagSlots; ++i)
    if (lean().slots[i].used.load(std::memory_order_acquire))
      use.push_back({lean().slots[i].tag.load(std::memory_order_relaxed),
                     static_cast<size_t>(LeanTallies::Sum(LeanBlocksOf(i))),
                     static_cast<size_t>(LeanTallies::Sum(LeanBytesOf(i)))});
  return use;
}

std::vector<Allocation> OutstandingSince(uint64_t sequence) {
  std::lock_guard<std::mutex> guard(pool().lock);
  std::vector<Allocation> out;
  for (const auto& [address, block] : pool().live)
    if (block.sequence > sequence) out.push_back({address, block.size, block.tag, block.sequence});
  std::sort(out.begin(), out.end(), [](const Allocation& a, const Allocation& b) { return a.sequence < b.sequence; });
  return out;
}

std::vector<Allocation> Outstanding() { return OutstandingSince(0); }

size_t OutstandingCount(ULONG tag) {
  std::lock_guard<std::mutex> guard(pool().lock);
  size_t n = LeanBlocksOfTag(tag);
  for (const auto& entry : pool().live) n += entry.second.tag == tag;
  return n;
}

bool LastFailure(Failure* failure) {
  std::lock_guard<std::mutex> guard(pool().lock);
  if (pool().failed) *failure = pool().last;
  return pool().failed;
}

std::string TagText(ULONG tag) {
  if (tag == 0) return "(tag 0)";
  std::string text;
  for (int i = 0; i < 4; ++i) {
    char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
    text += (c >= 32 && c < 127) ? c : '.';
  }
  return text;
}

std::string LeakReport(const std::vector<Allocation>& allocations) {
  std::string text;
  for (const Allocation& a : allocations)
    text += "  #" + std::to_string(a.sequence) + " " + std::to_string(a.size) + " bytes, tag " + TagText(a.tag) + "\n";
  return text;
}
}  // namespace host::pool

using namespace host;

extern "C" PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE poolType, SIZE_T numberOfBytes, ULONG tag) {
  verifier::RequireIrql(poolType == PagedPool ? APC_LEVEL : DISPATCH_LEVEL, "ExAllocatePoolWithTag");
  // The lean pool costs what the platform's path would: it neither fails nor
  // counts calls.
  if (pool::lean().on.load(std::memory_order_acquire)) return pool::LeanAllocate(numberOfBytes, tag);
  if (faults::Check("ExAllocatePoolWithTag") != STATUS_SUCCESS) return nullptr;
  auto& p = pool::pool();
  std::lock_guard<std::mutex> guard(p.lock);
  ++p.allocations;
  if (pool::ShouldFail(p)) {
    p.failed = true;
    p.last = pool::Failure{p.allocations, numberOfBytes, tag, detail::CallerStack()};
    return nullptr;
  }
  void* block = std::malloc(numberOfBytes == 0 ? 1 : numberOfBytes);
  if (block == nullptr) return nullptr;
  std::memset(block, pool::kFreshFill, numberOfBytes);
  p.live[block] = pool::Block{numberOfBytes, tag, p.allocations};
  return block;
}

extern "C" VOID NTAPI ExFreePoolWithTag(PVOID block, ULONG tag) {
  verifier::RequireIrql(DISPATCH_LEVEL, "ExFreePoolWithTag");
  if (pool::lean().on.load(std::memory_order_acquire)) {
    if (!pool::LeanFree(block))
      verifier::Report("BAD_POOL_CALLER", "ExFreePoolWithTag of memory that is not an outstanding pool block");
    return;
  }
  auto& p = pool::pool();
  std::unique_lock<std::mutex> guard(p.lock);
  auto it = p.live.find(block);
  if (it == p.live.end()) {
    guard.unlock();
    verifier::Report("BAD_POOL_CALLER", "ExFreePoolWithTag of memory that is not an outstanding pool block");
    return;
  }
  if (it->second.tag != tag) {
    std::string detail = "ExFreePoolWithTag with tag " + pool::TagText(tag) + " for a block allocated with tag " +
                         pool::TagText(it->second.tag);
    guard.unlock();
    verifier::Report("BAD_POOL_CALLER", detail);
    guard.lock();
    it = p.live.find(block);
    if (it == p.live.end()) return;
  }
  std::memset(block, pool::kFreedFill, it->second.size);
  p.live.erase(it);
  std::free(block);
}
